// The image inputs: placement, BMP (every depth), the in-memory bitmap, TIFF, PCX and DCX,
// and the codes of bad files.
#include <gtest/gtest.h>

#include <filesystem>

#include "fax/image/convert/convert_util.h"
#include "fax/image/convert/fax_converter.h"
#include "fax/image/convert/image_input.h"

namespace pellora::fax::test {
namespace {

namespace fs = std::filesystem;

struct Result {
    int rc = 0;
    std::vector<ConvertedPage> pages;
    bool outputLeft = false;
};

// Converts the file bytes as `kind`; margin 0 and no placement options unless `setup` says.
template <class Setup>
Result convertBytes(const std::vector<uint8_t>& bytes, TFaxInputDocumentType kind, Setup setup) {
    TempDir dir;
    const std::string in = dir.file("image.img");
    writeFile(in, bytes);
    TFaxConverter c;
    c.InputDocumentType = kind;
    c.SetDocumentFile(in);
    c.LeftMargin = 0;
    c.SetOptions(0);
    setup(c);
    Result r;
    r.rc = c.Convert();
    r.outputLeft = fs::exists(c.OutputName());
    if (r.rc == 0) r.pages = readPages(c.OutputName());
    return r;
}

Result convertBytes(const std::vector<uint8_t>& bytes, TFaxInputDocumentType kind) {
    return convertBytes(bytes, kind, [](TFaxConverter&) {});
}

// Expects `page` to hold the bitmap's rows shifted by `shift` pixels.
void expectRows(const ConvertedPage& page, const MonoBitmap& bm, int shift = 0, int margin = 0) {
    ASSERT_EQ(int(page.lines.size()), bm.height());
    for (int y = 0; y < bm.height(); ++y)
        ASSERT_EQ(page.lines[std::size_t(y)], placedRow(bm, y, shift + margin, 1728, 1728))
            << "row " << y;
}

TEST(Placement, Rules) {
    struct Case {
        unsigned options;
        bool high;
        int W, M;
        long w;
        Placement expect;
    } cases[] = {
        // 1664 wide at M = 50 with centring: 4 bytes right, too wide to double
        {coCenterImage, false, 1728, 50, 1664, {false, false, 4}},
        // 800 wide with the default options: doubled, (1728 - 1600) div 32 = 4 bytes
        {coDoubleWidth | coCenterImage | coYield, false, 1728, 50, 800, {true, false, 4}},
        {coDoubleWidth | coCenterImage, false, 1728, 50, 839, {true, false, 1}},
        {coDoubleWidth | coCenterImage, false, 1728, 50, 840, {false, false, 55}},
        {coDoubleWidth | coCenterImage, true, 1728, 50, 800, {false, false, 58}},
        {coDoubleWidth, false, 2048, 0, 1024, {true, false, 0}},
        {coCenterImage, false, 1728, 50, 1713, {false, false, 0}},  // W - w = 15: no centring
        {coCenterImage, false, 1728, 50, 1712, {false, false, 1}},
        {coCenterImage, false, 1728, 50, 3000, {false, false, 0}},
        {coHalfHeight, false, 1728, 50, 1664, {false, true, 0}},
        {coHalfHeight | coDoubleWidth, false, 1728, 50, 800, {true, false, 0}},
        {coHalfHeight, true, 1728, 50, 1664, {false, false, 0}},
    };
    for (const auto& k : cases) {
        ConvertSettings s;
        s.options = k.options;
        s.highResolution = k.high;
        s.width = k.W;
        s.margin = k.M;
        EXPECT_EQ(placeImage(s, k.w), k.expect) << k.w << " options " << k.options;
    }
}

TEST(ColourThreshold, MatrixValues) {
    // The matrix repeats every 16 pixels and takes the values 0, 10, ..., 310.
    std::vector<int> seen(32, 0);
    for (int y = 0; y < 32; ++y)
        for (int x = 0; x < 32; ++x) {
            const int t = colourThreshold(x, y);
            ASSERT_EQ(t % 10, 0);
            ASSERT_GE(t, 0);
            ASSERT_LE(t, 310);
            ++seen[std::size_t(t / 10)];
            EXPECT_EQ(t, colourThreshold(x + 16, y));
            EXPECT_EQ(t, colourThreshold(x, y + 16));
        }
    for (int v = 0; v < 32; ++v) EXPECT_GT(seen[std::size_t(v)], 0) << v * 10;
    // A few entries worked by hand: F(0,0) = 0; F(1,0): (1*2)|0|0 = 2, then 4, 8, 16 -> 16
    EXPECT_EQ(colourThreshold(0, 0), 0);
    EXPECT_EQ(colourThreshold(1, 0), 160);
    EXPECT_EQ(colourThreshold(0, 1), 10 * (1 | 2) * 8 - 0);  // (2|1)=3, 6, 12, 24 -> 240
    EXPECT_EQ(colourThreshold(15, 15), 150);
}

TEST(BmpInput, MonochromePageOfTheDocumentBuilder) {
    // The builder's page: 1664 x 2156, margin 50, no centring: one coded line a row.
    const MonoBitmap bm = textLikePage(1664, 2156, 7);
    auto r = convertBytes(makeBmp(bm, 1), idBmp, [](TFaxConverter& c) {
        c.LeftMargin = 50;
        c.SetOptions(coYield);
        c.Resolution = frHigh;
    });
    ASSERT_EQ(r.rc, 0);
    ASSERT_EQ(r.pages.size(), 1u);
    EXPECT_EQ(r.pages[0].records.size(), 2156u + 1);
    EXPECT_EQ(r.pages[0].header.pageFlags, pfLengthWords | pfHighResolution);
    expectRows(r.pages[0], bm, 0, 50);
}

TEST(BmpInput, EveryDepthAndLayout) {
    const MonoBitmap bm = textLikePage(203, 61, 3);
    struct Case {
        int bpp;
        bool topDown, invert;
    } cases[] = {{1, false, false},  {1, true, false},   {1, false, true},
                 {4, false, false},  {8, false, false},  {8, true, false},
                 {24, false, false}, {32, false, false}, {24, true, false}};
    for (const auto& k : cases) {
        auto r = convertBytes(makeBmp(bm, k.bpp, k.topDown, k.invert), idBmp);
        ASSERT_EQ(r.rc, 0) << k.bpp;
        ASSERT_EQ(r.pages.size(), 1u);
        // Pure black and pure white survive the threshold matrix unchanged.
        expectRows(r.pages[0], bm);
    }
}

TEST(BmpInput, ColourPathThresholdsWithTheMatrix) {
    MonoBitmap bm(64, 40);
    for (int y = 0; y < 40; ++y)
        for (int x = 0; x < 64; ++x) bm.setPixel(x, y, (x / 16 + y / 10) % 2 == 0);
    struct Case {
        uint32_t ink;
    } cases[] = {{0x000000}, {0x101010}, {0x303030}, {0x402000}, {0x606060}, {0x808080}};
    for (const auto& k : cases) {
        for (int bpp : {8, 24, 32}) {
            auto r = convertBytes(makeBmp(bm, bpp, false, false, k.ink, 0xFFFFFF), idBmp);
            ASSERT_EQ(r.rc, 0);
            const int sum =
                int((k.ink >> 16) & 0xFF) + int((k.ink >> 8) & 0xFF) + int(k.ink & 0xFF);
            for (int y = 0; y < 40; ++y)
                for (int x = 0; x < 64; ++x) {
                    const bool want = bm.pixel(x, y) && sum <= colourThreshold(x, y);
                    ASSERT_EQ(black(r.pages[0].lines[std::size_t(y)], x), want)
                        << std::hex << k.ink << std::dec << " " << bpp << " " << x << "," << y;
                }
        }
    }
}

TEST(BmpInput, CentringAndDoubleWidth) {
    const MonoBitmap bm = textLikePage(800, 20, 5);
    // Default options: doubled and moved 4 bytes; the margin is doubled with the line. The
    // centring offset leaves the margin out, so the doubled image's last pixels fall off the
    // line: 2 * (50 + 32 + 800) = 1764 > 1728.
    auto r = convertBytes(makeBmp(bm, 1), idBmp, [](TFaxConverter& c) {
        c.SetOptions(coDoubleWidth | coCenterImage | coYield);
        c.LeftMargin = 50;
    });
    ASSERT_EQ(r.rc, 0);
    const auto& lines = r.pages[0].lines;
    ASSERT_EQ(lines.size(), 20u);
    for (int y = 0; y < 20; ++y)
        for (int x = 0; x < 800; ++x) {
            const int at = 2 * (50 + 32 + x);
            if (at + 1 >= 1728) {
                ASSERT_EQ(x, 782) << "the first pixel cut off";
                break;
            }
            ASSERT_EQ(black(lines[std::size_t(y)], at), bm.pixel(x, y)) << x << "," << y;
            ASSERT_EQ(black(lines[std::size_t(y)], at + 1), bm.pixel(x, y)) << x << "," << y;
        }
    // Centring only: 1664 wide goes 4 bytes right.
    const MonoBitmap wide = textLikePage(1664, 12, 9);
    r = convertBytes(makeBmp(wide, 1), idBmp, [](TFaxConverter& c) {
        c.SetOptions(coCenterImage);
        c.LeftMargin = 50;
    });
    ASSERT_EQ(r.rc, 0);
    expectRows(r.pages[0], wide, 32, 50);
}

TEST(BmpInput, BadFiles) {
    const MonoBitmap bm = textLikePage(40, 10, 1);
    auto good = makeBmp(bm, 1);
    auto bad = [](std::vector<uint8_t> v, std::size_t at, uint8_t value) {
        v[at] = value;
        return v;
    };
    auto truncated = good;
    truncated.resize(good.size() - 3);
    auto rle = bad(makeBmp(bm, 24), 30, 1);  // run-length coding is for 4 and 8 bits only
    struct Case {
        const char* what;
        std::vector<uint8_t> bytes;
    } cases[] = {{"not BM", bad(good, 0, 'X')},
                 {"depth 2", bad(good, 28, 2)},
                 {"two planes", bad(good, 26, 2)},
                 {"run-length with 24 bits", rle},
                 {"JPEG inside", bad(makeBmp(bm, 24), 30, 4)},
                 {"pixels cut short", truncated},
                 {"zero width", bad(bad(bad(bad(good, 18, 0), 19, 0), 20, 0), 21, 0)},
                 {"header size 20", bad(good, 14, 20)},
                 {"empty", {}}};
    for (const auto& k : cases) {
        auto r = convertBytes(k.bytes, idBmp);
        EXPECT_EQ(r.rc, -8002) << k.what;
        EXPECT_FALSE(r.outputLeft) << k.what;
    }
    TFaxConverter c;
    c.InputDocumentType = idBmp;
    TempDir dir;
    writeFile(dir.file("x.bmp"), bad(good, 0, 'X'));
    c.SetDocumentFile(dir.file("x.bmp"));
    try {
        c.ConvertToFile();
        ADD_FAILURE();
    } catch (const EBadGraphicsFormat& e) {
        EXPECT_EQ(e.code(), -8002);
        EXPECT_STREQ(e.what(), "Unsupported graphics file format");
    }
}

// An 8 x 3 image coded as RLE8 or RLE4: runs, an absolute stretch, a jump, end of line and
// end of bitmap. Index 0 is black, 1 white.
TEST(BmpInput, RunLengthCoded) {
    auto make = [](bool four, const std::vector<uint8_t>& data) {
        std::vector<uint8_t> v{'B', 'M'};
        const uint32_t offset = 14 + 40 + 8;
        put32le(v, uint32_t(offset + data.size()));
        put32le(v, 0);
        put32le(v, offset);
        put32le(v, 40);
        put32le(v, 8);
        put32le(v, 3);
        put16le(v, 1);
        put16le(v, four ? 4 : 8);
        put32le(v, four ? 2 : 1);
        put32le(v, uint32_t(data.size()));
        put32le(v, 0);
        put32le(v, 0);
        put32le(v, 2);  // two palette entries
        put32le(v, 0);
        put32le(v, 0x000000);
        put32le(v, 0xFFFFFF);
        v.insert(v.end(), data.begin(), data.end());
        return v;
    };
    // bottom row: 3 white, 2 black, 3 white; middle: absolute B W B, then a jump of 2 right
    // and 1 up (the rest of the middle row and the top row's first 5 pixels stay index 0,
    // black); top: the rest white
    const std::vector<uint8_t> rle8 = {3, 1, 2, 0, 3, 1, 0, 0, 0, 3, 0,
                                       1, 0, 0, 0, 2, 2, 1, 3, 1, 0, 1};
    const std::vector<uint8_t> rle4 = {3,    0x11, 2, 0x00, 3, 0x11, 0, 0,    0, 3,
                                       0x01, 0x00, 0, 2,    2, 1,    3, 0x11, 0, 1};
    const char* expect[3] = {"BBBBBWWW", "BWBBBBBB", "WWWBBWWW"};
    for (bool four : {false, true}) {
        BmpImage img;
        ASSERT_EQ(decodeBmp(make(four, four ? rle4 : rle8), &img), 0) << four;
        for (int y = 0; y < 3; ++y)
            for (int x = 0; x < 8; ++x)
                EXPECT_EQ(img.colour(x, y) == 0, expect[y][x] == 'B')
                    << four << " " << x << "," << y;
    }
    // A tiny file claiming a huge image is refused rather than expanded.
    auto huge = make(false, rle8);
    put32le(huge, 0);
    for (int k = 0; k < 4; ++k) huge[18 + std::size_t(k)] = k == 3 ? 0x10 : 0;
    for (int k = 0; k < 4; ++k) huge[22 + std::size_t(k)] = k == 3 ? 0x10 : 0;
    BmpImage img;
    EXPECT_EQ(decodeBmp(huge, &img), -8002);
}

TEST(BitmapInput, ConvertsTheCoreBitmap) {
    TempDir dir;
    MonoBitmap bm = textLikePage(1664, 300, 11);
    TFaxConverter c;
    c.OutFileName = dir.file("page");
    c.SetOptions(coYield);
    c.ConvertBitmapToFile(&bm);
    const auto pages = readPages(dir.file("page.PLF"));
    ASSERT_EQ(pages.size(), 1u);
    expectRows(pages[0], bm, 0, 50);

    // Padding bits beyond the width never print.
    MonoBitmap odd(13, 2, 4);
    std::fill(odd.bits().begin(), odd.bits().end(), 0xFF);
    c.LeftMargin = 0;
    c.ConvertBitmapToFile(&odd);
    const auto p2 = readPages(dir.file("page.PLF"));
    for (int x = 0; x < 40; ++x) EXPECT_EQ(black(p2[0].lines[0], x), x < 13) << x;

    EXPECT_EQ(c.ConvertBitmap(nullptr), -1002);
    MonoBitmap empty;
    EXPECT_THROW(c.ConvertBitmapToFile(&empty), EBadArgument);
}

TEST(TiffInput, Variants) {
    const MonoBitmap bm = textLikePage(301, 57, 21);
    struct Case {
        TiffOptions o;
    } cases[] = {{{false, false, 0, 0}},
                 {{true, false, 0, 0}},
                 {{false, true, 0, 0}},
                 {{true, true, 0, 0}},
                 {{false, false, 1, 0}},
                 {{true, true, 1, 0}},
                 {{false, false, 0, 10}},
                 {{true, true, 1, 7}},
                 {{false, true, 0, 1}},
                 {{false, false, 0, 0, 1, true}},
                 // two strips whose SHORT offsets and counts sit inside their entries
                 {{false, true, 0, 30, 1, false, true}},
                 {{true, false, 1, 30, 1, false, true}}};
    for (const auto& k : cases) {
        auto r = convertBytes(makeTiff(bm, k.o), idTiff);
        ASSERT_EQ(r.rc, 0) << k.o.motorola << k.o.packBits << k.o.photometric << k.o.rowsPerStrip;
        ASSERT_EQ(r.pages.size(), 1u);  // one page even with a second directory
        expectRows(r.pages[0], bm);
    }
}

TEST(TiffInput, BadFiles) {
    const MonoBitmap bm = textLikePage(64, 30, 2);
    TiffOptions eight;
    eight.bitsPerSample = 8;
    auto good = makeTiff(bm, {});
    auto magic = good;
    magic[0] = 'X';
    auto cut = good;
    cut.resize(60);  // the directory sits at the end: it is cut off
    // Strip data that ends early: the directory first, then too little data.
    auto shortData = makeTiff(bm, {});
    {
        // point the strip at the last 10 bytes of the file
        shortData = good;
        for (std::size_t e = 0; e < 8; ++e) {
            const std::size_t at = (good[4] | good[5] << 8 | good[6] << 16) + 2 + e * 12;
            if (shortData[at] == 273 % 256 && shortData[at + 1] == 1) {
                const uint32_t off = uint32_t(good.size() - 10);
                for (int b = 0; b < 4; ++b)
                    shortData[at + 8 + std::size_t(b)] = uint8_t(off >> (8 * b));
            }
        }
    }
    auto compression = good;
    for (std::size_t e = 0; e < 8; ++e) {
        const std::size_t at = (good[4] | good[5] << 8 | good[6] << 16) + 2 + e * 12;
        if (compression[at] == 259 % 256 && compression[at + 1] == 1) compression[at + 8] = 4;
    }
    struct Case {
        const char* what;
        std::vector<uint8_t> bytes;
        int code;
    } cases[] = {{"8 bits per sample", makeTiff(bm, eight), -8002},
                 {"byte order mark", magic, -8002},
                 {"fax compression", compression, -8002},
                 {"directory cut off", cut, -161},
                 {"data ends early", shortData, -161},
                 {"empty", {}, -8002}};
    for (const auto& k : cases) {
        auto r = convertBytes(k.bytes, idTiff);
        EXPECT_EQ(r.rc, k.code) << k.what;
        EXPECT_FALSE(r.outputLeft) << k.what;
        if (k.code == -8002) {
            EXPECT_TRUE(r.pages.empty());
        }
    }
}

TEST(PcxInput, RowsWidthsAndRuns) {
    const MonoBitmap bm = textLikePage(333, 45, 4);
    auto r = convertBytes(makePcx(bm), idPcx);
    ASSERT_EQ(r.rc, 0);
    ASSERT_EQ(r.pages.size(), 1u);
    expectRows(r.pages[0], bm);

    // Xmax - Xmin may equal W; one more is refused.
    const MonoBitmap full(1729, 2);
    EXPECT_EQ(convertBytes(makePcx(full), idPcx).rc, 0);
    const MonoBitmap over(1730, 2);
    EXPECT_EQ(convertBytes(makePcx(over), idPcx).rc, -8002);

    // Padding bytes of a row (BytesPerLine beyond the width) stay white.
    MonoBitmap narrow(10, 3);
    narrow.setPixel(9, 1, true);
    r = convertBytes(makePcx(narrow, 5, 8), idPcx);
    ASSERT_EQ(r.rc, 0);
    for (int x = 0; x < 80; ++x) EXPECT_EQ(black(r.pages[0].lines[1], x), x == 9) << x;
}

TEST(PcxInput, OldVersionsDropARunThatOverrunsTheRow) {
    // Two rows of 2 bytes; the first row's second run (3 bytes) overruns it.
    std::vector<uint8_t> head = makePcx(MonoBitmap(16, 1));
    head.resize(128);
    head[66] = 2;
    const std::vector<uint8_t> data = {0x00, 0xC3, 0x0F, 0xC2, 0xF0};
    auto make = [&](uint8_t version) {
        auto v = head;
        v[1] = version;
        v.insert(v.end(), data.begin(), data.end());
        return v;
    };
    auto old = convertBytes(make(3), idPcx);
    ASSERT_EQ(old.rc, 0);
    ASSERT_EQ(old.pages[0].lines.size(), 2u);
    EXPECT_EQ(old.pages[0].lines[0][0], 0xFF);  // literal 00 inverted
    EXPECT_EQ(old.pages[0].lines[0][1], 0x00);  // the overrunning run is not drawn
    auto now = convertBytes(make(5), idPcx);
    ASSERT_EQ(now.rc, 0);
    EXPECT_EQ(now.pages[0].lines[0][1], 0xF0);  // drawn
    EXPECT_EQ(now.pages[0].lines[1][0], 0x0F);
}

TEST(PcxInput, BadHeaders) {
    auto good = makePcx(textLikePage(40, 5, 1));
    auto bad = [&](std::size_t at, uint8_t v) {
        auto b = good;
        b[at] = v;
        return b;
    };
    struct Case {
        const char* what;
        std::vector<uint8_t> bytes;
    } cases[] = {{"manufacturer", bad(0, 11)},
                 {"encoding", bad(2, 0)},
                 {"8 bits", bad(3, 8)},
                 {"four planes", bad(65, 4)},
                 {"zero bytes per line", bad(66, 0)},
                 {"short header", {10, 5, 1, 1}}};
    for (const auto& k : cases) {
        auto r = convertBytes(k.bytes, idPcx);
        EXPECT_EQ(r.rc, -8002) << k.what;
        EXPECT_FALSE(r.outputLeft);
    }
    // A header without data: one empty page.
    auto headerOnly = good;
    headerOnly.resize(128);
    auto r = convertBytes(headerOnly, idPcx);
    ASSERT_EQ(r.rc, 0);
    ASSERT_EQ(r.pages.size(), 1u);
    EXPECT_EQ(r.pages[0].records.size(), 1u);
}

TEST(DcxInput, PagesInDirectoryOrder) {
    const MonoBitmap a = textLikePage(100, 10, 1), b = textLikePage(900, 7, 2),
                     c = textLikePage(64, 20, 3);
    auto r = convertBytes(makeDcx({makePcx(a), makePcx(b), makePcx(c)}), idDcx,
                          [](TFaxConverter& cv) { cv.SetOptions(coCenterImage); });
    ASSERT_EQ(r.rc, 0);
    ASSERT_EQ(r.pages.size(), 3u);
    // each page placed by its own width
    expectRows(r.pages[0], a, (1728 - 100) / 16 * 8);
    expectRows(r.pages[1], b, (1728 - 900) / 16 * 8);
    expectRows(r.pages[2], c, (1728 - 64) / 16 * 8);

    // Status counts the encoded bytes of all pages.
    TempDir dir;
    const auto dcx = makeDcx({makePcx(a), makePcx(c)});
    writeFile(dir.file("d.dcx"), dcx);
    TFaxConverter cv;
    cv.InputDocumentType = idDcx;
    cv.SetDocumentFile(dir.file("d"));
    uint64_t done = 0, all = 0;
    cv.OnStatus = [&](TCustomFaxConverter&, bool, bool, unsigned, unsigned, uint64_t d, uint64_t t,
                      bool&) {
        done = d;
        all = t;
    };
    cv.ConvertToFile();
    EXPECT_EQ(all, dcx.size() - 4 - 12 - 2 * 128);
    EXPECT_EQ(done, all);
}

TEST(DcxInput, BadFiles) {
    auto good = makeDcx({makePcx(textLikePage(40, 5, 1))});
    auto magic = good;
    magic[0] ^= 1;
    auto noPages = good;
    std::fill(noPages.begin() + 4, noPages.begin() + 8, 0);
    auto badPage = good;
    badPage[12] = 0;  // the page's PCX manufacturer byte
    struct Case {
        const char* what;
        std::vector<uint8_t> bytes;
    } cases[] = {{"magic", magic}, {"no pages", noPages}, {"page header", badPage}};
    for (const auto& k : cases) EXPECT_EQ(convertBytes(k.bytes, idDcx).rc, -8002) << k.what;
}

}  // namespace
}  // namespace pellora::fax::test
