// Helpers of the converter tests: reading a converted PLF file back into pages of raster
// lines, and small writers of the image formats the converter reads.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "fax/image/convert/fax_converter.h"
#include "fax/image/fax_errors.h"
#include "fax/image/mono_bitmap.h"
#include "fax/image/plf.h"
#include "fax/image/t4.h"
#include "fax/image/test_util.h"

namespace pellora::fax::test {

using Line = std::vector<uint8_t>;

struct ConvertedPage {
    PlfPageHeader header;
    std::vector<std::vector<uint8_t>> records;  // the coded line records, end of page included
    std::vector<Line> lines;                    // the decoded raster lines
};

// Reads every page of a converted file. Fails the test (through the empty result and
// `*error`) when the file is not well formed.
inline std::vector<ConvertedPage> readPages(const std::string& name, int* error = nullptr) {
    std::vector<ConvertedPage> pages;
    PlfReader r;
    int rc = r.open(name);
    if (rc == 0) {
        for (unsigned k = 1; k <= r.header().pageCount && rc == 0; ++k) {
            ConvertedPage p;
            if ((rc = r.locatePage(k, &p.header))) break;
            std::vector<uint8_t> stream;
            for (;;) {
                std::span<const uint8_t> chunk;
                rc = r.readChunk(chunk);
                if (rc <= 0) break;
                p.records.emplace_back(chunk.begin(), chunk.end());
                stream.insert(stream.end(), chunk.begin(), chunk.end());
            }
            if (rc < 0) break;
            rc = 0;
            p.lines = decodeAll(stream);
            pages.push_back(std::move(p));
        }
    }
    if (error) *error = rc;
    return pages;
}

// The pixel of a decoded line.
inline bool black(const Line& l, int x) {
    return x >= 0 && std::size_t(x / 8) < l.size() && ((l[std::size_t(x / 8)] >> (7 - x % 8)) & 1);
}

inline bool blankLine(const Line& l) {
    for (uint8_t b : l)
        if (b) return false;
    return true;
}

// The line a bitmap row should decode to when placed `shift` pixels from the left of a
// line of `width` pixels (pixels past the coded part, width - margin, cut off).
inline Line placedRow(const MonoBitmap& bm, int y, int shift, int width, int coded) {
    Line l(std::size_t(width / 8), 0);
    for (int x = 0; x < bm.width(); ++x) {
        const int px = shift + x;
        if (px >= coded) break;
        if (bm.pixel(x, y)) l[std::size_t(px / 8)] |= uint8_t(0x80u >> (px % 8));
    }
    return l;
}

inline void put16le(std::vector<uint8_t>& v, unsigned x) {
    v.push_back(uint8_t(x));
    v.push_back(uint8_t(x >> 8));
}
inline void put32le(std::vector<uint8_t>& v, uint32_t x) {
    for (int k = 0; k < 4; ++k) v.push_back(uint8_t(x >> (8 * k)));
}

// A BMP file of a bitmap: 1 bit with the usual black/white palette (or the reverse with
// `invertPalette`), or 4, 8, 24 or 32 bits with every pixel of colour `ink` where black and
// `paper` elsewhere.
inline std::vector<uint8_t> makeBmp(const MonoBitmap& bm, int bpp, bool topDown = false,
                                    bool invertPalette = false, uint32_t ink = 0x000000,
                                    uint32_t paper = 0xFFFFFF) {
    const int w = bm.width(), h = bm.height();
    const std::size_t stride = (std::size_t(w) * std::size_t(bpp) + 31) / 32 * 4;
    const unsigned colours = bpp <= 8 ? 1u << bpp : 0;
    const uint32_t offset = 14 + 40 + colours * 4;
    std::vector<uint8_t> v{'B', 'M'};
    put32le(v, uint32_t(offset + stride * std::size_t(h)));
    put32le(v, 0);
    put32le(v, offset);
    put32le(v, 40);
    put32le(v, uint32_t(w));
    put32le(v, uint32_t(topDown ? -h : h));
    put16le(v, 1);
    put16le(v, unsigned(bpp));
    put32le(v, 0);
    put32le(v, uint32_t(stride * std::size_t(h)));
    put32le(v, 7874);
    put32le(v, 7874);
    put32le(v, 0);
    put32le(v, 0);
    // Palette: index 0 ink, 1 paper (1 bit: 0 black, 1 white unless inverted).
    for (unsigned i = 0; i < colours; ++i) {
        uint32_t c = i == 0 ? ink : i == 1 ? paper : 0x808080;
        if (bpp == 1) c = (i == 0) != invertPalette ? 0x000000 : 0xFFFFFF;
        put32le(v, c);
    }
    for (int row = 0; row < h; ++row) {
        const int y = topDown ? row : h - 1 - row;
        std::vector<uint8_t> line(stride, 0);
        for (int x = 0; x < w; ++x) {
            const bool b = bm.pixel(x, y);
            switch (bpp) {
                case 1:
                    if (b == invertPalette) line[std::size_t(x / 8)] |= uint8_t(0x80u >> (x % 8));
                    break;
                case 4:
                    line[std::size_t(x / 2)] |= uint8_t((b ? 0 : 1) << (x % 2 ? 0 : 4));
                    break;
                case 8:
                    line[std::size_t(x)] = b ? 0 : 1;
                    break;
                default: {
                    const uint32_t c = b ? ink : paper;
                    const std::size_t at = std::size_t(x) * std::size_t(bpp / 8);
                    line[at] = uint8_t(c);
                    line[at + 1] = uint8_t(c >> 8);
                    line[at + 2] = uint8_t(c >> 16);
                }
            }
        }
        v.insert(v.end(), line.begin(), line.end());
    }
    return v;
}

// A PCX file of a bitmap (one bit, run-length encoded, runs kept within a row).
inline std::vector<uint8_t> makePcx(const MonoBitmap& bm, uint8_t version = 5,
                                    unsigned bytesPerLine = 0) {
    const int w = bm.width();
    const unsigned rb = unsigned(w + 7) / 8;
    if (bytesPerLine == 0) bytesPerLine = (rb + 1) & ~1u;
    std::vector<uint8_t> v(128, 0);
    v[0] = 10;
    v[1] = version;
    v[2] = 1;
    v[3] = 1;
    v[8] = uint8_t(w - 1);
    v[9] = uint8_t((w - 1) >> 8);
    v[10] = uint8_t(bm.height() - 1);
    v[11] = uint8_t((bm.height() - 1) >> 8);
    v[65] = 1;
    v[66] = uint8_t(bytesPerLine);
    v[67] = uint8_t(bytesPerLine >> 8);
    for (int y = 0; y < bm.height(); ++y) {
        std::vector<uint8_t> row(bytesPerLine, 0xFF);  // PCX: set bits are white
        for (unsigned i = 0; i < rb && i < bytesPerLine; ++i) row[i] = uint8_t(~bm.row(y)[i]);
        for (std::size_t i = 0; i < row.size();) {
            std::size_t n = 1;
            while (i + n < row.size() && row[i + n] == row[i] && n < 63) ++n;
            if (n > 1 || row[i] >= 192) {
                v.push_back(uint8_t(192 + n));
                v.push_back(row[i]);
            } else {
                v.push_back(row[i]);
            }
            i += n;
        }
    }
    return v;
}

inline std::vector<uint8_t> makeDcx(const std::vector<std::vector<uint8_t>>& pages) {
    std::vector<uint8_t> v;
    put32le(v, 987654321);
    uint32_t at = uint32_t(4 + 4 * (pages.size() + 1));
    for (const auto& p : pages) {
        put32le(v, at);
        at += uint32_t(p.size());
    }
    put32le(v, 0);
    for (const auto& p : pages) v.insert(v.end(), p.begin(), p.end());
    return v;
}

struct TiffOptions {
    bool motorola = false;
    bool packBits = false;
    int photometric = 0;   // 0 min-is-white, 1 min-is-black
    int rowsPerStrip = 0;  // 0: one strip
    int bitsPerSample = 1;
    bool secondDirectory = false;
    bool shortArrays = false;  // two strips: offsets and counts as SHORT pairs inside the entries
};

// A bilevel TIFF of a bitmap.
inline std::vector<uint8_t> makeTiff(const MonoBitmap& bm, const TiffOptions& o) {
    const bool mm = o.motorola;
    auto p16 = [&](std::vector<uint8_t>& v, unsigned x) {
        if (mm) {
            v.push_back(uint8_t(x >> 8));
            v.push_back(uint8_t(x));
        } else {
            put16le(v, x);
        }
    };
    auto p32 = [&](std::vector<uint8_t>& v, uint32_t x) {
        if (mm) {
            for (int k = 3; k >= 0; --k) v.push_back(uint8_t(x >> (8 * k)));
        } else {
            put32le(v, x);
        }
    };
    auto set32 = [&](std::vector<uint8_t>& v, std::size_t at, uint32_t x) {
        std::vector<uint8_t> t;
        p32(t, x);
        std::copy(t.begin(), t.end(), v.begin() + std::ptrdiff_t(at));
    };
    const int h = bm.height();
    const std::size_t rb = std::size_t(bm.width() + 7) / 8;
    const int rps = o.rowsPerStrip > 0 ? o.rowsPerStrip : h;
    const int strips = (h + rps - 1) / rps;
    std::vector<uint8_t> v;
    v.push_back(mm ? 'M' : 'I');
    v.push_back(mm ? 'M' : 'I');
    p16(v, 42);
    p32(v, 0);  // IFD offset, set below
    // Strip data.
    std::vector<uint32_t> offsets, counts;
    for (int s = 0; s < strips; ++s) {
        offsets.push_back(uint32_t(v.size()));
        const std::size_t start = v.size();
        for (int y = s * rps; y < std::min(h, (s + 1) * rps); ++y) {
            std::vector<uint8_t> row(rb);
            for (std::size_t i = 0; i < rb; ++i)
                row[i] = o.photometric ? uint8_t(~bm.row(y)[i]) : bm.row(y)[i];
            if (o.photometric && bm.width() % 8)  // padding of min-is-black rows is black
                row[rb - 1] |= uint8_t(0xFFu >> (bm.width() % 8));
            if (!o.packBits) {
                v.insert(v.end(), row.begin(), row.end());
                continue;
            }
            for (std::size_t i = 0; i < rb;) {
                std::size_t n = 1;
                while (i + n < rb && row[i + n] == row[i] && n < 128) ++n;
                if (n >= 2) {
                    v.push_back(uint8_t(257 - n));
                    v.push_back(row[i]);
                    i += n;
                } else {
                    std::size_t lit = 1;
                    while (i + lit < rb && lit < 128 &&
                           !(i + lit + 1 < rb && row[i + lit] == row[i + lit + 1]))
                        ++lit;
                    v.push_back(uint8_t(lit - 1));
                    v.insert(v.end(), row.begin() + std::ptrdiff_t(i),
                             row.begin() + std::ptrdiff_t(i + lit));
                    i += lit;
                }
            }
        }
        counts.push_back(uint32_t(v.size() - start));
    }
    uint32_t offArray = 0, cntArray = 0;
    if (strips > 1) {
        offArray = uint32_t(v.size());
        for (auto x : offsets) p32(v, x);
        cntArray = uint32_t(v.size());
        for (auto x : counts) p32(v, x);
    }
    if (v.size() % 2) v.push_back(0);
    set32(v, 4, uint32_t(v.size()));
    struct E {
        unsigned tag, type;
        uint32_t count, value;
    };
    std::vector<E> es = {{256, 4, 1, uint32_t(bm.width())},
                         {257, 4, 1, uint32_t(h)},
                         {258, 3, 1, unsigned(o.bitsPerSample)},
                         {259, 3, 1, o.packBits ? 32773u : 1u},
                         {262, 3, 1, unsigned(o.photometric)},
                         {273, 4, uint32_t(strips), strips > 1 ? offArray : offsets[0]},
                         {278, 4, 1, uint32_t(rps)},
                         {279, 4, uint32_t(strips), strips > 1 ? cntArray : counts[0]}};
    p16(v, unsigned(es.size()));
    for (const auto& e : es) {
        p16(v, e.tag);
        if (o.shortArrays && strips == 2 && (e.tag == 273 || e.tag == 279)) {
            const auto& items = e.tag == 273 ? offsets : counts;
            p16(v, 3);
            p32(v, 2);
            p16(v, items[0]);
            p16(v, items[1]);
            continue;
        }
        p16(v, e.type);
        p32(v, e.count);
        if (e.type == 3 && e.count == 1) {
            p16(v, e.value);
            p16(v, 0);
        } else {
            p32(v, e.value);
        }
    }
    const std::size_t next = v.size();
    p32(v, 0);
    if (o.secondDirectory) {  // a second image directory pointing at the same strips
        set32(v, next, uint32_t(v.size()));
        p16(v, unsigned(es.size()));
        for (const auto& e : es) {
            p16(v, e.tag);
            p16(v, e.type);
            p32(v, e.count);
            if (e.type == 3 && e.count == 1) {
                p16(v, e.value);
                p16(v, 0);
            } else {
                p32(v, e.value);
            }
        }
        p32(v, 0);
    }
    return v;
}

}  // namespace pellora::fax::test
