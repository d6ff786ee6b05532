// Checks against independent programs: netpbm's G3 coder and decoder, its PCX and BMP
// readers, and ImageMagick. netpbm reads and writes G3 first-bit-most-significant, so our
// least-significant-first data goes through -reversebits.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <sstream>

#include "fax/image/unpacker.h"
#include "test_util.h"

namespace pellora::fax {
namespace {

using Bytes = std::vector<uint8_t>;

bool have(const char* program) {
    const std::string cmd = std::string("command -v ") + program + " >/dev/null 2>&1";
    return std::system(cmd.c_str()) == 0;
}

int run(const std::string& cmd) {
    return std::system((cmd + " 2>/dev/null").c_str());
}

// Reads a PBM, PGM or PPM file (raw or plain) into a bitmap; dark pixels are black.
MonoBitmap readPnm(const std::string& name) {
    Bytes f = test::readFile(name);
    std::size_t at = 0;
    auto skipSpace = [&] {
        for (;;) {
            while (at < f.size() && std::isspace(f[at])) ++at;
            if (at < f.size() && f[at] == '#')
                while (at < f.size() && f[at] != '\n') ++at;
            else
                break;
        }
    };
    auto number = [&] {
        skipSpace();
        int v = 0;
        while (at < f.size() && std::isdigit(f[at])) v = v * 10 + (f[at++] - '0');
        return v;
    };
    if (f.size() < 2 || f[0] != 'P') return {};
    const char kind = char(f[1]);
    at = 2;
    const int w = number(), h = number();
    const int maxval = (kind == '1' || kind == '4') ? 1 : number();
    ++at;  // the single whitespace before raster data
    MonoBitmap bm(w, h);
    if (kind == '4') {
        const std::size_t rb = std::size_t(w + 7) / 8;
        for (int y = 0; y < h; ++y)
            for (int x = 0; x < w; ++x)
                if (f.at(at + std::size_t(y) * rb + std::size_t(x / 8)) & (0x80 >> (x % 8)))
                    bm.setPixel(x, y, true);
    } else if (kind == '5' || kind == '6') {
        const int ch = kind == '6' ? 3 : 1;
        for (int y = 0; y < h; ++y)
            for (int x = 0; x < w; ++x) {
                int sum = 0;
                for (int c = 0; c < ch; ++c) sum += f.at(at++);
                if (sum * 2 < maxval * ch) bm.setPixel(x, y, true);
            }
    } else if (kind == '1') {
        for (int y = 0; y < h; ++y)
            for (int x = 0; x < w; ++x)
                if (number() == 1) bm.setPixel(x, y, true);
    }
    return bm;
}

void writePbm(const std::string& name, const MonoBitmap& bm) {
    std::ostringstream head;
    head << "P4\n" << bm.width() << " " << bm.height() << "\n";
    const std::string h = head.str();
    Bytes out(h.begin(), h.end());
    for (int y = 0; y < bm.height(); ++y) {
        auto r = bm.row(y);
        out.insert(out.end(), r.begin(), r.begin() + (bm.width() + 7) / 8);
    }
    test::writeFile(name, out);
}

MonoBitmap fromLines(const std::vector<Bytes>& lines, int width) {
    MonoBitmap bm(width, int(lines.size()));
    for (std::size_t y = 0; y < lines.size(); ++y)
        std::copy(lines[y].begin(), lines[y].end(), bm.row(int(y)).begin());
    return bm;
}

std::vector<MonoBitmap> testImages() {
    return {test::textLikePage(1728, 300, 11), test::randomPage(1728, 40, 12, 50),
            test::randomPage(1728, 40, 13, 4), test::textLikePage(2048, 120, 14),
            test::randomPage(2048, 30, 15, 90)};
}

TEST(PeerG3, OurCodedPagesDecodeInNetpbmToOurPixels) {
    if (!have("g3topbm")) FAIL() << "netpbm not installed (scripts/install-deps.sh installs it)";
    test::TempDir dir;
    for (const auto& page : testImages()) {
        for (int margin : {0, 50}) {
            SCOPED_TRACE(testing::Message() << page.width() << " margin " << margin);
            Bytes stream = test::codedStream(page, margin);
            test::writeFile(dir.file("ours.g3"), stream);
            auto lines = test::decodeAll(stream);
            ASSERT_EQ(lines.size(), std::size_t(page.height()));
            ASSERT_EQ(
                run("g3topbm -reversebits " + dir.file("ours.g3") + " > " + dir.file("peer.pbm")),
                0);
            MonoBitmap peer = readPnm(dir.file("peer.pbm"));
            EXPECT_EQ(peer, fromLines(lines, page.width()));
            if (margin == 0) {
                EXPECT_EQ(peer, page);
            }
        }
    }
}

TEST(PeerG3, NetpbmCodedPagesDecodeInOursAsInNetpbm) {
    if (!have("pbmtog3") || !have("g3topbm")) FAIL() << "netpbm not installed (scripts/install-deps.sh installs it)";
    test::TempDir dir;
    for (const auto& page : testImages()) {
        SCOPED_TRACE(testing::Message() << page.width());
        writePbm(dir.file("in.pbm"), page);
        const std::string opts = page.width() == 1728 ? "" : " -nofixedwidth";
        ASSERT_EQ(run("pbmtog3 -reversebits" + opts + " " + dir.file("in.pbm") + " > " +
                      dir.file("peer.g3")),
                  0);
        ASSERT_EQ(run("g3topbm -reversebits " + dir.file("peer.g3") + " > " + dir.file("peer.pbm")),
                  0);
        unsigned errors = 0;
        auto lines = test::decodeAll(test::readFile(dir.file("peer.g3")), 1 << 30, &errors);
        EXPECT_EQ(errors, 0u);
        MonoBitmap ours = fromLines(lines, page.width());
        EXPECT_EQ(ours, readPnm(dir.file("peer.pbm")));
        EXPECT_EQ(ours, page);
    }
}

TEST(PeerExports, PcxDcxAndBmpOpenWithTheSamePixels) {
    const bool netpbm = have("pcxtoppm") && have("bmptopnm") && have("ppmtopcx");
    const char* im = "/usr/bin/convert-im6.q16";
    const bool magick = std::filesystem::exists(im);
    if (!netpbm || !magick) FAIL() << "netpbm or ImageMagick not installed (scripts/install-deps.sh installs them)";
    test::TempDir dir;
    std::vector<MonoBitmap> pages = {test::textLikePage(1728, 200, 21),
                                     test::randomPage(2048, 50, 22, 50),
                                     test::randomPage(1728, 30, 23, 2)};
    pages[2].setPixel(103, 4, true);  // trims to an odd number of bytes, padded to even
    for (std::size_t i = 0; i < pages.size(); ++i) {
        SCOPED_TRACE(testing::Message() << "page " << i);
        ASSERT_EQ(test::writePlf(dir.file("P.PLF"), {pages[i]}, true), 0);
        TFaxUnpacker u;
        u.SetInFileName(dir.file("P.PLF"));
        MonoBitmap bm = u.PageToBitmap(1);
        u.PageToPcxFile(1);
        u.PageToDcxFile(1);
        u.PageToBmpFile(1);

        const std::string pcx = dir.file("P.PCX"), dcx = dir.file("P.DCX"), bmp = dir.file("P.BMP"),
                          out = dir.file("out.pnm");
        ASSERT_EQ(run("pcxtoppm " + pcx + " > " + out), 0);
        EXPECT_EQ(readPnm(out), bm) << "pcxtoppm";
        ASSERT_EQ(run("bmptopnm " + bmp + " > " + out), 0);
        EXPECT_EQ(readPnm(out), bm) << "bmptopnm";
        ASSERT_EQ(run(std::string(im) + " " + bmp + " -depth 8 pgm:" + out), 0);
        EXPECT_EQ(readPnm(out), bm) << "ImageMagick BMP";
        // ImageMagick 6 reads every one-bit PCX inverted, netpbm's own too; so our PCX and
        // DCX must read in it exactly as netpbm's PCX of the same pixels does.
        writePbm(dir.file("bm.pbm"), bm);
        ASSERT_EQ(run("ppmtopcx -packed " + dir.file("bm.pbm") + " > " + dir.file("ref.pcx")), 0);
        ASSERT_EQ(run(std::string(im) + " " + dir.file("ref.pcx") +
                      " -depth 8 pgm:" + dir.file("ref.pgm")),
                  0);
        const MonoBitmap ref = readPnm(dir.file("ref.pgm"));
        ASSERT_EQ(ref.width(), bm.width());
        for (const std::string& f : {pcx, dcx}) {
            ASSERT_EQ(run(std::string(im) + " " + f + "[0] -depth 8 pgm:" + out), 0) << f;
            EXPECT_EQ(readPnm(out), ref) << "ImageMagick " << f;
        }
    }
}

}  // namespace
}  // namespace pellora::fax
