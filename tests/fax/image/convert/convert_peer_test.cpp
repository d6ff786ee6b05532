// Our image readers against independent ones: libtiff tools, ImageMagick and netpbm write
// the TIFF, PCX and BMP fixtures at test time, and tifftopnm, pcxtoppm and bmptopnm say what
// pixels they hold. The converted page must decode to the same pixels, placed by the rules
// of margin, centring and double width.
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <sstream>

#include "fax/image/convert/convert_util.h"
#include "fax/image/convert/fax_converter.h"

namespace pellora::fax::test {
namespace {

const char* kImageMagick = "/usr/bin/convert-im6.q16";

int run(const std::string& cmd) {
    return std::system((cmd + " 2>/dev/null").c_str());
}

// A netpbm image (P4, P5 or P6) as colours 0x00RRGGBB.
struct Pnm {
    int width = 0, height = 0;
    std::vector<uint32_t> rgb;
    uint32_t at(int x, int y) const {
        return rgb[std::size_t(y) * std::size_t(width) + std::size_t(x)];
    }
    bool dark(int x, int y) const {
        const uint32_t c = at(x, y);
        return ((c >> 16) & 0xFF) + ((c >> 8) & 0xFF) + (c & 0xFF) < 383;
    }
};

bool readPnm(const std::string& name, Pnm* out) {
    const auto bytes = readFile(name);
    std::size_t pos = 0;
    auto token = [&]() {
        std::string t;
        while (pos < bytes.size()) {
            const char c = char(bytes[pos]);
            if (c == '#') {
                while (pos < bytes.size() && bytes[pos] != '\n') ++pos;
            } else if (std::isspace(static_cast<unsigned char>(c))) {
                if (!t.empty()) break;
                ++pos;
            } else {
                t += c;
                ++pos;
            }
        }
        return t;
    };
    const std::string magic = token();
    if (magic != "P4" && magic != "P5" && magic != "P6") return false;
    out->width = std::stoi(token());
    out->height = std::stoi(token());
    const int maxval = magic == "P4" ? 1 : std::stoi(token());
    ++pos;  // the single white space before the raster
    out->rgb.assign(std::size_t(out->width) * std::size_t(out->height), 0);
    const int bytesPerSample = maxval > 255 ? 2 : 1;
    for (int y = 0; y < out->height; ++y) {
        if (magic == "P4") {
            const std::size_t rb = std::size_t(out->width + 7) / 8;
            for (int x = 0; x < out->width; ++x) {
                const bool black = (bytes.at(pos + std::size_t(x / 8)) >> (7 - x % 8)) & 1;
                out->rgb[std::size_t(y * out->width + x)] = black ? 0 : 0xFFFFFF;
            }
            pos += rb;
            continue;
        }
        const int samples = magic == "P5" ? 1 : 3;
        for (int x = 0; x < out->width; ++x) {
            uint32_t c[3];
            for (int s = 0; s < samples; ++s) {
                unsigned v = bytes.at(pos);
                if (bytesPerSample == 2) v = v << 8 | bytes.at(pos + 1);
                pos += std::size_t(bytesPerSample);
                c[s] = uint32_t(v * 255 / unsigned(maxval));
            }
            if (samples == 1) c[1] = c[2] = c[0];
            out->rgb[std::size_t(y * out->width + x)] = c[0] << 16 | c[1] << 8 | c[2];
        }
    }
    return true;
}

void writePbm(const std::string& name, const MonoBitmap& bm) {
    std::ofstream f(name, std::ios::binary);
    f << "P4\n" << bm.width() << " " << bm.height() << "\n";
    for (int y = 0; y < bm.height(); ++y)
        f.write(reinterpret_cast<const char*>(bm.row(y).data()),
                std::streamsize((bm.width() + 7) / 8));
}

// Where the converter puts image pixel x: its line position and how many positions it takes.
struct Where {
    int first, count;
};

// The placement rules written out: the image's row starts `offset` bytes into the line,
// the margin comes in front, and with double width every position (margin included) doubles.
Where place(int x, int w, bool centre, bool doubleOk, int M = 50, int W = 1728) {
    const bool dw = doubleOk && 2 * w <= W - M;
    int offset = 0;
    if (centre && W - w > 15) offset = dw ? (W - 2 * w) / 32 : (W - w) / 16;
    const int p = M + 8 * offset + x;
    return dw ? Where{2 * p, 2} : Where{p, 1};
}

// Converts `file` and checks every pixel of the page against `peer`; `colour` images are
// thresholded with the matrix.
void expectSamePixels(const std::string& file, TFaxInputDocumentType kind, const Pnm& peer,
                      unsigned options, bool colour = false, std::size_t page = 0) {
    TFaxConverter c;
    c.InputDocumentType = kind;
    c.SetDocumentFile(file);
    c.SetOptions(options);
    ASSERT_EQ(c.Convert(), 0) << file;
    const auto pages = readPages(c.OutputName());
    ASSERT_GT(pages.size(), page);
    const auto& lines = pages[page].lines;
    ASSERT_EQ(int(lines.size()), peer.height) << file;
    const bool centre = options & coCenterImage, dw = options & coDoubleWidth;
    for (int y = 0; y < peer.height; ++y) {
        std::vector<bool> want(1728, false);
        for (int x = 0; x < peer.width; ++x) {
            bool b;
            if (colour) {
                const uint32_t px = peer.at(x, y);
                const int sum = int((px >> 16) & 0xFF) + int((px >> 8) & 0xFF) + int(px & 0xFF);
                b = sum <= colourThreshold(x, y);
            } else {
                b = peer.dark(x, y);
            }
            const Where wh = place(x, peer.width, centre, dw);
            for (int k = 0; k < wh.count; ++k)
                if (wh.first + k < 1728) want[std::size_t(wh.first + k)] = b;
        }
        for (int x = 0; x < 1728; ++x)
            ASSERT_EQ(black(lines[std::size_t(y)], x), want[std::size_t(x)])
                << file << " options " << options << " x " << x << " y " << y;
    }
}

class PeerFixture : public ::testing::Test {
  protected:
    TempDir dir;
    std::string f(const std::string& n) const { return dir.file(n); }
    Pnm peer(const std::string& tool, const std::string& file) {
        Pnm p;
        EXPECT_EQ(run(tool + " " + file + " > " + f("peer.pnm")), 0) << tool << " " << file;
        EXPECT_TRUE(readPnm(f("peer.pnm"), &p));
        return p;
    }
};

TEST_F(PeerFixture, TiffFromLibtiffAndImageMagick) {
    const MonoBitmap bm = textLikePage(613, 97, 41);
    writePbm(f("src.pbm"), bm);
    ASSERT_EQ(run("ppm2tiff -c none " + f("src.pbm") + " " + f("base.tif")), 0);
    struct Case {
        const char* name;
        std::string cmd;
    } cases[] = {
        {"libtiff none II", "cp " + f("base.tif") + " " + f("t.tif")},
        {"libtiff packbits MM strips",
         "tiffcp -c packbits -B -r 7 " + f("base.tif") + " " + f("t.tif")},
        {"libtiff none II row strips",
         "tiffcp -c none -L -r 1 " + f("base.tif") + " " + f("t.tif")},
        {"libtiff packbits II one strip",
         "tiffcp -c packbits -L -r 1000 " + f("base.tif") + " " + f("t.tif")},
        {"IM min-is-black none LSB strips",
         std::string(kImageMagick) + " " + f("src.pbm") +
             " -define quantum:polarity=min-is-black -compress none -endian LSB"
             " -define tiff:rows-per-strip=8 tiff:" +
             f("t.tif")},
        {"IM min-is-black packbits MSB",
         std::string(kImageMagick) + " " + f("src.pbm") +
             " -define quantum:polarity=min-is-black -compress RLE -endian MSB"
             " -define tiff:rows-per-strip=5 tiff:" +
             f("t.tif")},
        {"IM min-is-white packbits LSB one strip",
         std::string(kImageMagick) + " " + f("src.pbm") +
             " -compress RLE -endian LSB -define tiff:rows-per-strip=97 tiff:" + f("t.tif")},
    };
    for (const auto& k : cases) {
        SCOPED_TRACE(k.name);
        ASSERT_EQ(run(k.cmd), 0);
        const Pnm p = peer("tifftopnm", f("t.tif"));
        ASSERT_EQ(p.width, 613);
        expectSamePixels(f("t.tif"), idTiff, p, 0);
        expectSamePixels(f("t.tif"), idTiff, p, coCenterImage);
        expectSamePixels(f("t.tif"), idTiff, p, coDoubleWidth | coCenterImage | coYield);
    }
    // An 8-bit TIFF is refused before any line is coded.
    ASSERT_EQ(run(std::string(kImageMagick) + " -size 30x10 gradient: -depth 8 tiff:" + f("g.tif")),
              0);
    TFaxConverter c;
    c.InputDocumentType = idTiff;
    c.SetDocumentFile(f("g.tif"));
    EXPECT_EQ(c.Convert(), -8002);
    EXPECT_FALSE(std::filesystem::exists(c.OutputName()));
}

TEST_F(PeerFixture, PcxAndDcxFromNetpbm) {
    const MonoBitmap a = textLikePage(1203, 67, 5), b = textLikePage(331, 40, 6);
    writePbm(f("a.pbm"), a);
    writePbm(f("b.pbm"), b);
    ASSERT_EQ(run("ppmtopcx " + f("a.pbm") + " > " + f("a.pcx")), 0);
    ASSERT_EQ(run("ppmtopcx " + f("b.pbm") + " > " + f("b.pcx")), 0);
    const Pnm pa = peer("pcxtoppm", f("a.pcx"));
    const Pnm pb = peer("pcxtoppm", f("b.pcx"));
    for (unsigned opts : {0u, unsigned(coCenterImage), unsigned(coDoubleWidth | coCenterImage)}) {
        expectSamePixels(f("a.pcx"), idPcx, pa, opts);
        expectSamePixels(f("b.pcx"), idPcx, pb, opts);
    }
    // The same pages in a DCX directory, in the order b, a, b.
    writeFile(f("d.dcx"),
              makeDcx({readFile(f("b.pcx")), readFile(f("a.pcx")), readFile(f("b.pcx"))}));
    expectSamePixels(f("d.dcx"), idDcx, pb, coCenterImage, false, 0);
    expectSamePixels(f("d.dcx"), idDcx, pa, coCenterImage, false, 1);
    expectSamePixels(f("d.dcx"), idDcx, pb, coCenterImage, false, 2);

    // ImageMagick writes its PCX pages with 24 bits: refused, in PCX and DCX alike.
    ASSERT_EQ(run(std::string(kImageMagick) + " " + f("a.pbm") + " " + f("b.pbm") +
                  " dcx:" + f("im.dcx")),
              0);
    TFaxConverter c;
    c.InputDocumentType = idDcx;
    c.SetDocumentFile(f("im.dcx"));
    EXPECT_EQ(c.Convert(), -8002);
}

TEST_F(PeerFixture, BmpFromImageMagickAndNetpbm) {
    const MonoBitmap bm = textLikePage(517, 83, 8);
    writePbm(f("src.pbm"), bm);
    const std::string im = std::string(kImageMagick) + " " + f("src.pbm");
    struct Case {
        const char* name;
        std::string cmd;
    } mono[] = {
        {"IM 1 bit", im + " -type bilevel bmp3:" + f("m.bmp")},
        {"IM 24 bit", im + " -type truecolor bmp3:" + f("m.bmp")},
        {"IM 32 bit bitfields", im + " -type truecolormatte bmp:" + f("m.bmp")},
        {"netpbm 1 bit", "ppmtobmp -bpp 1 " + f("src.pbm") + " > " + f("m.bmp")},
        {"netpbm 4 bit", "ppmtobmp -bpp 4 " + f("src.pbm") + " > " + f("m.bmp")},
        {"netpbm 8 bit", "ppmtobmp -bpp 8 " + f("src.pbm") + " > " + f("m.bmp")},
        {"netpbm 24 bit",
         "pnmtopnm -plain " + f("src.pbm") + " | ppmtoppm | ppmtobmp -bpp 24 > " + f("m.bmp")},
    };
    for (const auto& k : mono) {
        SCOPED_TRACE(k.name);
        ASSERT_EQ(run(k.cmd), 0);
        const Pnm p = peer("bmptopnm", f("m.bmp"));
        ASSERT_EQ(p.width, 517);
        // black and white survive the colour path's matrix unchanged
        expectSamePixels(f("m.bmp"), idBmp, p, 0);
        expectSamePixels(f("m.bmp"), idBmp, p, coDoubleWidth | coCenterImage);
    }
    // Shades of grey and colour go through the threshold matrix.
    struct Colour {
        const char* name;
        std::string cmd;
    } colour[] = {
        {"IM grey 8 bit",
         std::string(kImageMagick) +
             " -size 300x64 gradient:black-gray50 -type palette bmp3:" + f("c.bmp")},
        {"IM colour 24 bit",
         std::string(kImageMagick) +
             " -size 256x64 gradient:navy-maroon -type truecolor bmp3:" + f("c.bmp")},
        {"IM colour 32 bit", std::string(kImageMagick) +
                                 " -size 256x64 gradient:black-olive"
                                 " -type truecolormatte bmp:" +
                                 f("c.bmp")},
    };
    for (const auto& k : colour) {
        SCOPED_TRACE(k.name);
        ASSERT_EQ(run(k.cmd), 0);
        const Pnm p = peer("bmptopnm", f("c.bmp"));
        expectSamePixels(f("c.bmp"), idBmp, p, 0, true);
        expectSamePixels(f("c.bmp"), idBmp, p, coCenterImage, true);
    }
}

}  // namespace
}  // namespace pellora::fax::test
