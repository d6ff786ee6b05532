// The unpacker: resolution correction, whitespace compression, bitmap collection, scaling,
// the exporters and the component's rules.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>

#include "fax/image/fax_errors.h"
#include "fax/image/image_export.h"
#include "core_iface/message_pump.h"
#include "fax/image/unpacker.h"
#include "test_util.h"

namespace pellora::fax {
namespace {

using Bytes = std::vector<uint8_t>;

using test::get16;
using test::get32;

struct Collected {
    std::vector<Bytes> lines;
    int starts = 0, ends = 0;
};

UnpackEngine::LineConsumer collectInto(Collected& c) {
    return [&c](bool starting, bool ending, std::span<const uint8_t> data, unsigned) {
        if (starting)
            ++c.starts;
        else if (ending)
            ++c.ends;
        else
            c.lines.emplace_back(data.begin(), data.end());
        return 0;
    };
}

MonoBitmap blankPage(int width, int height) {
    return MonoBitmap(width, height);
}

TEST(UnpackEngine, NormalResolutionIsCorrectedForAspect) {
    test::TempDir dir;
    ASSERT_EQ(test::writePlf(dir.file("N.PLF"), {test::textLikePage(1728, 1100, 1)}, false), 0);
    ASSERT_EQ(test::writePlf(dir.file("H.PLF"), {test::textLikePage(1728, 2200, 1)}, true), 0);
    struct Case {
        const char* file;
        unsigned flags;
        std::size_t lines, bytes;
    };
    const Case cases[] = {{"N.PLF", UnpackEngine::ufDoubleHeight, 2200, 216},
                          {"H.PLF", UnpackEngine::ufDoubleHeight, 2200, 216},
                          {"N.PLF", UnpackEngine::ufHalfWidth, 1100, 108},
                          {"H.PLF", UnpackEngine::ufHalfWidth, 2200, 216},
                          {"N.PLF", 0, 1100, 216}};
    for (const auto& c : cases) {
        Collected got;
        UnpackEngine e(collectInto(got));
        e.setFlags(c.flags);
        ASSERT_EQ(e.unpackPage(dir.file(c.file), 1), 0);
        EXPECT_EQ(got.lines.size(), c.lines) << c.file << " " << c.flags;
        EXPECT_EQ(got.lines.front().size(), c.bytes) << c.file << " " << c.flags;
        EXPECT_EQ(got.starts, 1);
        EXPECT_EQ(got.ends, 1);
    }
}

TEST(UnpackEngine, HalfWidthOrsPixelPairs) {
    test::TempDir dir;
    MonoBitmap page(1728, 1);
    for (int x : {0, 3, 5, 1726}) page.setPixel(x, 0, true);
    ASSERT_EQ(test::writePlf(dir.file("N.PLF"), {page}, false), 0);
    Collected got;
    UnpackEngine e(collectInto(got));
    e.setFlags(UnpackEngine::ufHalfWidth);
    ASSERT_EQ(e.unpackPage(dir.file("N.PLF"), 1), 0);
    ASSERT_EQ(got.lines.size(), 1u);
    Bytes expect(108, 0);
    expect[0] = 0x80 | 0x40 | 0x20;  // pixels 0, 1 (from 3), 2 (from 5)
    expect[107] = 0x01;              // pixel 863 (from 1726)
    EXPECT_EQ(got.lines[0], expect);
}

TEST(UnpackEngine, FlagsDoubleHeightAndHalfWidthExcludeEachOther) {
    UnpackEngine e;
    e.setFlags(UnpackEngine::ufDoubleHeight);
    e.setFlags(UnpackEngine::ufHalfWidth);
    EXPECT_EQ(e.flags(), unsigned(UnpackEngine::ufHalfWidth));
    e.setFlags(UnpackEngine::ufDoubleHeight | UnpackEngine::ufYield);
    EXPECT_EQ(e.flags(), unsigned(UnpackEngine::ufDoubleHeight | UnpackEngine::ufYield));
}

TEST(UnpackEngine, WhitespaceCompression) {
    test::TempDir dir;
    auto make = [](int blanks) {
        MonoBitmap page(1728, blanks + 2);
        page.setPixel(100, 0, true);
        page.setPixel(200, blanks + 1, true);
        return page;
    };
    struct Case {
        int blanks;
        unsigned from, to;
        std::size_t emptyLines;
    };
    const Case cases[] = {
        {30, 10, 2, 2}, {5, 10, 2, 5}, {10, 10, 2, 2}, {9, 10, 2, 9}, {30, 0, 0, 30}};
    for (const auto& c : cases) {
        ASSERT_EQ(test::writePlf(dir.file("W.PLF"), {make(c.blanks)}, true), 0);
        Collected got;
        UnpackEngine e(collectInto(got));
        ASSERT_EQ(e.setWhitespace(c.from, c.to), 0);
        ASSERT_EQ(e.unpackPage(dir.file("W.PLF"), 1), 0);
        ASSERT_EQ(got.lines.size(), c.emptyLines + 2) << c.blanks << " " << c.from;
        EXPECT_EQ(got.lines.front().size(), 216u);
        EXPECT_EQ(got.lines.back().size(), 216u);
        if (c.from > 0) {
            for (std::size_t i = 1; i + 1 < got.lines.size(); ++i)
                EXPECT_TRUE(got.lines[i].empty());
        }
    }
    // Trailing blank lines are flushed by the same rule.
    MonoBitmap tail(1728, 31);
    tail.setPixel(1, 0, true);
    ASSERT_EQ(test::writePlf(dir.file("T.PLF"), {tail}, true), 0);
    Collected got;
    UnpackEngine e(collectInto(got));
    ASSERT_EQ(e.setWhitespace(10, 2), 0);
    ASSERT_EQ(e.unpackPage(dir.file("T.PLF"), 1), 0);
    EXPECT_EQ(got.lines.size(), 3u);

    UnpackEngine bad;
    EXPECT_EQ(bad.setWhitespace(2, 5), ecBadArgument);
}

TEST(UnpackEngine, BitmapIsTrimmedToTheRightmostBlackByte) {
    test::TempDir dir;
    MonoBitmap page(1728, 20);
    page.setPixel(100 * 8 + 3, 7, true);
    page.setPixel(5, 2, true);
    MonoBitmap blank = blankPage(1728, 20);
    MonoBitmap wide(2048, 10);
    wide.setPixel(2047, 3, true);
    ASSERT_EQ(test::writePlf(dir.file("P.PLF"), {page, blank, wide}, true), 0);

    UnpackEngine e;
    MonoBitmap bm;
    ASSERT_EQ(e.pageToBitmap(dir.file("P.PLF"), 1, &bm), 0);
    EXPECT_EQ(bm.width(), 816);
    EXPECT_EQ(bm.height(), 20);
    EXPECT_TRUE(bm.pixel(803, 7));
    EXPECT_TRUE(bm.pixel(5, 2));
    ASSERT_EQ(e.pageToBitmap(dir.file("P.PLF"), 2, &bm), 0);
    EXPECT_EQ(bm.width(), 16);
    EXPECT_EQ(bm.height(), 20);
    ASSERT_EQ(e.pageToBitmap(dir.file("P.PLF"), 3, &bm), 0);
    EXPECT_EQ(bm.width(), 2048);
    EXPECT_TRUE(bm.pixel(2047, 3));
}

TEST(UnpackEngine, ScalingHalvesBothSidesAndKeepsThinStrokes) {
    test::TempDir dir;
    MonoBitmap page(1728, 400);
    for (int x = 0; x < 1728; ++x) page.setPixel(x, 101, true);  // a one-pixel rule
    for (int y = 0; y < 400; ++y) page.setPixel(301, y, true);
    ASSERT_EQ(test::writePlf(dir.file("S.PLF"), {page}, true), 0);
    UnpackEngine e;
    e.setScaling(1, 2, 1, 2);
    MonoBitmap bm;
    ASSERT_EQ(e.pageToBitmap(dir.file("S.PLF"), 1, &bm), 0);
    EXPECT_EQ(bm.width(), 864);
    EXPECT_EQ(bm.height(), 200);
    EXPECT_TRUE(bm.pixel(400, 50));
    EXPECT_TRUE(bm.pixel(150, 199));
    EXPECT_FALSE(bm.pixel(400, 51));

    e.setScaling(3, 1, 1, 1);
    ASSERT_EQ(e.pageToBitmap(dir.file("S.PLF"), 1, &bm), 0);
    EXPECT_EQ(bm.width(), 3 * 1728);
    EXPECT_TRUE(bm.pixel(903, 0) && bm.pixel(904, 0) && bm.pixel(905, 0));
    EXPECT_FALSE(bm.pixel(906, 0));

    e.setScaling(100000, 1, 100000, 1);  // absurd: refused, not attempted
    EXPECT_EQ(e.pageToBitmap(dir.file("S.PLF"), 1, &bm), ecCantMakeBitmap);
}

class QuitPump : public MessagePump {
  public:
    int calls = 0;
    bool processPending() override { return ++calls < 3; }
};

TEST(UnpackEngine, YieldsEverySixteenLinesAndStopsOnQuit) {
    test::TempDir dir;
    ASSERT_EQ(test::writePlf(dir.file("Y.PLF"), {test::textLikePage(1728, 200, 1)}, true), 0);
    QuitPump pump;
    Collected got;
    UnpackEngine e(collectInto(got));
    e.setMessagePump(&pump);
    e.setFlags(UnpackEngine::ufYield);
    EXPECT_EQ(e.unpackPage(dir.file("Y.PLF"), 1), ecGotQuitMsg);
    EXPECT_EQ(pump.calls, 3);
    EXPECT_EQ(got.lines.size(), 48u);
}

TEST(TFaxUnpacker, PropertiesAndOutputNames) {
    TFaxUnpacker u;
    EXPECT_EQ(u.Options(), TUnpackerOptionsSet(uoYield));
    EXPECT_EQ(u.AutoScaleMode, asDoubleHeight);
    u.SetInFileName("/tmp/faxes/FAX0001.PLF");
    EXPECT_EQ(u.OutFileName, "/tmp/faxes/FAX0001");
    EXPECT_EQ(u.OutputName("PCX"), "/tmp/faxes/FAX0001.PCX");
    u.OutFileName = "/tmp/out.img";
    u.SetInFileName("/tmp/faxes/fax0001.plf");  // the same name in other case: no change
    EXPECT_EQ(u.OutFileName, "/tmp/out.img");
    EXPECT_EQ(u.OutputName("BMP"), "/tmp/out.img");
    u.OutFileName.clear();
    EXPECT_EQ(u.OutputName("DCX"), "/tmp/faxes/FAX0001.DCX");
    u.SetHorizDiv(0);
    EXPECT_EQ(u.HorizDiv(), 1u);
    u.SetHorizDiv(3);
    EXPECT_EQ(u.HorizDiv(), 3u);
}

TEST(TFaxUnpacker, FailuresRaiseTheirExceptions) {
    test::TempDir dir;
    TFaxUnpacker u;
    u.SetInFileName(dir.file("missing.PLF"));
    EXPECT_EQ(u.GetPageCount(), 0u);
    EXPECT_THROW(u.IsHighResolution(), EInOutError);
    EXPECT_THROW(u.PageToBitmap(1), EInOutError);
    EXPECT_FALSE(std::filesystem::exists(dir.file("missing.PCX")));

    ASSERT_EQ(test::writePlf(dir.file("A.PLF"), {test::textLikePage(1728, 20, 1)}, false), 0);
    u.SetInFileName(dir.file("A.PLF"));
    EXPECT_EQ(u.GetPageCount(), 1u);
    EXPECT_FALSE(u.IsHighResolution());
    EXPECT_FALSE(u.IsWide());
    EXPECT_THROW(u.PageToPcxFile(2), EFaxBadFormat);
    EXPECT_FALSE(std::filesystem::exists(dir.file("A.PCX")));
    u.WhitespaceCompression = true;
    u.WhitespaceFrom = 2;
    u.WhitespaceTo = 5;
    EXPECT_THROW(u.PageToBitmap(1), EBadArgument);
}

TEST(TFaxUnpacker, AbortFromTheStatusEventEndsThePageEarly) {
    test::TempDir dir;
    ASSERT_EQ(test::writePlf(dir.file("A.PLF"), {test::textLikePage(1728, 600, 1)}, true), 0);
    TFaxUnpacker u;
    u.SetInFileName(dir.file("A.PLF"));
    uint32_t last = 0, total = 0;
    u.OnStatus = [&](TCustomFaxUnpacker& sender, const std::string&, unsigned page, uint32_t done,
                     uint32_t all) {
        EXPECT_EQ(page, 1u);
        EXPECT_LE(done, all);
        EXPECT_GE(done, last);
        last = done;
        total = all;
        if (done > all / 4) sender.SetOptions(sender.Options() | uoAbort);
    };
    MonoBitmap bm = u.PageToBitmap(1);
    EXPECT_GT(bm.height(), 0);
    EXPECT_LT(bm.height(), 600);
    EXPECT_LT(last, total);
}

// The exporters, checked byte by byte here; the peer tests open them in other programs.
Bytes unpackPcxRows(const Bytes& f, std::size_t at, int lines, std::size_t bytesPerLine) {
    Bytes out;
    for (int y = 0; y < lines; ++y) {
        std::size_t n = 0;
        while (n < bytesPerLine) {
            uint8_t b = f.at(at++);
            if (b >= 192) {
                const uint8_t v = f.at(at++);
                for (int i = 0; i < b - 192; ++i, ++n) out.push_back(uint8_t(~v));
            } else {
                out.push_back(uint8_t(~b));
                ++n;
            }
        }
        EXPECT_EQ(n, bytesPerLine) << "a run crosses a line end";
    }
    return out;
}

TEST(Exporters, PcxDcxAndBmpLayouts) {
    test::TempDir dir;
    auto page = test::textLikePage(1728, 60, 7);
    for (int x = 0; x < 1728; x += 2) page.setPixel(x, 3, true);  // no runs at all
    ASSERT_EQ(test::writePlf(dir.file("E.PLF"), {page}, true), 0);
    TFaxUnpacker u;
    u.SetInFileName(dir.file("E.PLF"));
    MonoBitmap bm = u.PageToBitmap(1);
    const std::size_t wb = std::size_t(bm.width() / 8);
    u.PageToPcxFile(1);
    u.PageToDcxFile(1);
    u.PageToBmpFile(1);

    Bytes pcx = test::readFile(dir.file("E.PCX"));
    ASSERT_GE(pcx.size(), 128u);
    EXPECT_EQ(pcx[0], 10);
    EXPECT_EQ(pcx[1], 2);
    EXPECT_EQ(pcx[2], 1);
    EXPECT_EQ(pcx[3], 1);
    EXPECT_EQ(get16(pcx, 8), wb * 8 - 1);
    EXPECT_EQ(get16(pcx, 10), bm.height() - 1);
    EXPECT_EQ(pcx[65], 1);
    EXPECT_EQ(get16(pcx, 66), wb);
    EXPECT_EQ(unpackPcxRows(pcx, 128, bm.height(), wb), bm.bits());

    Bytes dcx = test::readFile(dir.file("E.DCX"));
    EXPECT_EQ(get32(dcx, 0), 987654321u);
    EXPECT_EQ(get32(dcx, 4), 4100u);
    EXPECT_EQ(get32(dcx, 8), 0u);
    EXPECT_EQ(Bytes(dcx.begin() + 4100, dcx.end()), pcx);

    Bytes bmp = test::readFile(dir.file("E.BMP"));
    const std::size_t stride = (wb + 3) / 4 * 4;
    ASSERT_EQ(bmp.size(), stride * std::size_t(bm.height()) + 62);
    EXPECT_EQ(bmp[0], 'B');
    EXPECT_EQ(bmp[1], 'M');
    EXPECT_EQ(get32(bmp, 2), bmp.size());
    EXPECT_EQ(get32(bmp, 10), 62u);
    EXPECT_EQ(get32(bmp, 14), 40u);
    EXPECT_EQ(get32(bmp, 18), wb * 8);
    EXPECT_EQ(get32(bmp, 22), uint32_t(bm.height()));
    EXPECT_EQ(get16(bmp, 26), 1);
    EXPECT_EQ(get16(bmp, 28), 1);
    EXPECT_EQ(Bytes(bmp.begin() + 54, bmp.begin() + 62), (Bytes{0, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0}));
    // Bottom row first, inverted.
    for (int y = 0; y < bm.height(); ++y) {
        const std::size_t at = 62 + std::size_t(bm.height() - 1 - y) * stride;
        for (std::size_t i = 0; i < wb; ++i) ASSERT_EQ(uint8_t(~bmp[at + i]), bm.row(y)[i]);
        for (std::size_t i = wb; i < stride; ++i) ASSERT_EQ(bmp[at + i], 0xFF);
    }
}

TEST(Exporters, BmpRefusesPagesOf32768LinesAndLeavesNoFile) {
    test::TempDir dir;
    // 16384 normal-resolution lines become 32768 with double height.
    ASSERT_EQ(test::writePlf(dir.file("L.PLF"), {blankPage(1728, 16384)}, false), 0);
    TFaxUnpacker u;
    u.SetInFileName(dir.file("L.PLF"));
    try {
        u.PageToBmpFile(1);
        FAIL() << "no exception";
    } catch (const EFaxException& e) {
        EXPECT_EQ(e.code(), ecBmpTooBig);
    }
    EXPECT_FALSE(std::filesystem::exists(dir.file("L.BMP")));
    u.AutoScaleMode = asNone;
    u.PageToBmpFile(1);
    EXPECT_TRUE(std::filesystem::exists(dir.file("L.BMP")));
}

TEST(Exporters, AFailedWriteLeavesNoFile) {
    test::TempDir dir;
    ASSERT_EQ(writeWholeFile(dir.file("none/x.bmp"), Bytes(10, 1)), ecFileNotFound);
    if (std::filesystem::exists("/dev/full")) {
        const std::string link = dir.file("full.bmp");
        std::filesystem::create_symlink("/dev/full", link);
        EXPECT_EQ(writeWholeFile(link, Bytes(100000, 1)), ecDiskFull);
        EXPECT_TRUE(std::filesystem::exists("/dev/full"));
    }
}

}  // namespace
}  // namespace pellora::fax
