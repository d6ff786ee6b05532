// fontgen: draws the two built-in fax fonts from an outline font and writes them in the
// layout the converter loads (16384 bytes):
//
//   bytes    0..4095   small font:    256 glyphs x 16 bytes (8 rows of 2 bytes, 12 pixels used)
//   bytes 4096..16383  standard font: 256 glyphs x 48 bytes (16 rows of 3 bytes, 20 pixels used)
//
// Glyphs are indexed by Windows-1252 code; rows run top to bottom, most significant bit
// leftmost, a set bit black. The cells are drawn for fax pixels at normal resolution, which
// are about twice as tall as they are wide (204 x 98 dpi), so the outline is rendered with
// those two resolutions, supersampled and thresholded by coverage.
//
// usage: fontgen FONT.ttf OUT.bin [PREVIEW.pbm]
// The committed resource was made from DejaVu Sans Mono (fonts-dejavu-core) with
//   fontgen /usr/share/fonts/truetype/dejavu/DejaVuSansMono-Bold.ttf faxfont.bin
#include <ft2build.h>
#include FT_FREETYPE_H

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <vector>

namespace {

// Unicode code points of Windows-1252 bytes 0x80..0x9F; 0 for the five unassigned ones.
constexpr uint32_t kCp1252High[32] = {
    0x20AC, 0,      0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0,      0x017D, 0,      0,      0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0,      0x017E, 0x0178};

uint32_t cp1252(int c) {
    if (c < 32 || c == 127) return 0;  // control codes stay blank
    if (c >= 0x80 && c < 0xA0) return kCp1252High[c - 0x80];
    return uint32_t(c);
}

struct Cell {
    int width;      // pixels drawn per row
    int rows;       // rows per glyph
    int rowBytes;   // bytes stored per row
    double points;  // em size in points
    int baseline;   // row (from the top) the baseline lies under
    bool hinted;    // the font's own hinting at the cell's resolution, else supersampled
};

constexpr int kSuper = 4;  // supersampling factor in both directions
constexpr int kHorizDpi = 204;
constexpr int kVertDpi = 98;

// Renders one glyph with the font's hinting for one-bit output, as it will be printed. At
// eight rows a glyph only stays legible when its stems are snapped to the pixel grid.
void drawHinted(FT_Face face, const Cell& cell, uint32_t cp, uint8_t* out) {
    if (cp == 0) return;
    const FT_UInt index = FT_Get_Char_Index(face, cp);
    if (index == 0) return;
    if (FT_Load_Glyph(face, index, FT_LOAD_RENDER | FT_LOAD_TARGET_MONO | FT_LOAD_MONOCHROME))
        return;
    const FT_GlyphSlot g = face->glyph;
    const FT_Bitmap& bm = g->bitmap;
    const int originX = (cell.width - int(g->advance.x >> 6)) / 2;
    for (unsigned y = 0; y < bm.rows; ++y)
        for (unsigned x = 0; x < bm.width; ++x) {
            if (!(bm.buffer[std::size_t(y) * std::size_t(std::abs(bm.pitch)) + x / 8] &
                  (0x80u >> (x % 8))))
                continue;
            const int px = originX + g->bitmap_left + int(x);
            const int py = cell.baseline - g->bitmap_top + int(y);
            if (px < 0 || py < 0 || px >= cell.width || py >= cell.rows) continue;
            out[py * cell.rowBytes + px / 8] |= uint8_t(0x80u >> (px % 8));
        }
}

// Renders one glyph supersampled and keeps the pixels covered beyond `threshold`.
void drawGlyph(FT_Face face, const Cell& cell, uint32_t cp, double threshold, uint8_t* out) {
    if (cp == 0) return;
    const FT_UInt index = FT_Get_Char_Index(face, cp);
    if (index == 0) return;
    if (FT_Load_Glyph(face, index, FT_LOAD_NO_HINTING | FT_LOAD_RENDER)) return;
    const FT_GlyphSlot g = face->glyph;
    const FT_Bitmap& bm = g->bitmap;

    const int sw = cell.width * kSuper, sh = cell.rows * kSuper;
    std::vector<int> cover(std::size_t(sw) * std::size_t(sh), 0);
    // Centre the advance in the cell; the baseline sits at a fixed row.
    const int advance = int(g->advance.x >> 6);
    const int originX = (sw - advance) / 2;
    const int originY = cell.baseline * kSuper;
    for (unsigned y = 0; y < bm.rows; ++y)
        for (unsigned x = 0; x < bm.width; ++x) {
            const int px = originX + g->bitmap_left + int(x);
            const int py = originY - g->bitmap_top + int(y);
            if (px < 0 || py < 0 || px >= sw || py >= sh) continue;
            cover[std::size_t(py) * std::size_t(sw) + std::size_t(px)] =
                bm.buffer[std::size_t(y) * std::size_t(std::abs(bm.pitch)) + x];
        }
    for (int r = 0; r < cell.rows; ++r)
        for (int c = 0; c < cell.width; ++c) {
            int sum = 0;
            for (int yy = 0; yy < kSuper; ++yy)
                for (int xx = 0; xx < kSuper; ++xx)
                    sum += cover[std::size_t(r * kSuper + yy) * std::size_t(sw) +
                                 std::size_t(c * kSuper + xx)];
            if (sum >= int(threshold * 255 * kSuper * kSuper))
                out[r * cell.rowBytes + c / 8] |= uint8_t(0x80u >> (c % 8));
        }
}

std::vector<uint8_t> drawFont(FT_Face face, const Cell& cell, double threshold) {
    const unsigned scale = cell.hinted ? 1 : kSuper;
    FT_Set_Char_Size(face, 0, FT_F26Dot6(cell.points * 64), kHorizDpi * scale, kVertDpi * scale);
    const std::size_t glyphBytes = std::size_t(cell.rows * cell.rowBytes);
    std::vector<uint8_t> out(256 * glyphBytes, 0);
    for (int c = 0; c < 256; ++c) {
        if (cell.hinted)
            drawHinted(face, cell, cp1252(c), &out[c * glyphBytes]);
        else
            drawGlyph(face, cell, cp1252(c), threshold, &out[c * glyphBytes]);
    }
    return out;
}

// All glyphs of both fonts on one image, 16 to a row, rows doubled to look as on paper.
void writePreview(const char* name, const std::vector<uint8_t>& small, const Cell& sc,
                  const std::vector<uint8_t>& standard, const Cell& tc) {
    const int width = 16 * (tc.width + 2);
    const int height = 2 * (16 * (sc.rows + 1) + 16 * (tc.rows + 1) + 4);
    std::vector<uint8_t> px(std::size_t(width) * std::size_t(height), 0);
    auto draw = [&](const std::vector<uint8_t>& font, const Cell& cell, int top) {
        for (int c = 0; c < 256; ++c) {
            const int gx = (c % 16) * (tc.width + 2), gy = top + (c / 16) * (cell.rows + 1);
            for (int r = 0; r < cell.rows; ++r)
                for (int x = 0; x < cell.width; ++x) {
                    const uint8_t b = font[std::size_t(c * cell.rows * cell.rowBytes +
                                                       r * cell.rowBytes + x / 8)];
                    if (b & (0x80 >> (x % 8))) {
                        px[std::size_t(2 * (gy + r)) * std::size_t(width) + std::size_t(gx + x)] =
                            1;
                        px[std::size_t(2 * (gy + r) + 1) * std::size_t(width) +
                           std::size_t(gx + x)] = 1;
                    }
                }
        }
    };
    draw(small, sc, 0);
    draw(standard, tc, 16 * (sc.rows + 1) + 4);
    std::FILE* f = std::fopen(name, "w");
    if (!f) return;
    std::fprintf(f, "P1\n%d %d\n", width, height);
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) std::fputc(px[std::size_t(y * width + x)] ? '1' : '0', f);
        std::fputc('\n', f);
    }
    std::fclose(f);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: fontgen FONT.ttf OUT.bin [PREVIEW.pbm]\n");
        return 2;
    }
    FT_Library lib;
    FT_Face face;
    if (FT_Init_FreeType(&lib) || FT_New_Face(lib, argv[1], 0, &face)) {
        std::fprintf(stderr, "fontgen: cannot load %s\n", argv[1]);
        return 1;
    }
    // Eight rows need the font's hinting; sixteen rows read better supersampled (heavier
    // strokes, which survive a fax machine's printing).
    const Cell small{12, 8, 2, 5.5, 6, true};
    const Cell standard{20, 16, 3, 10.5, 13, false};
    const auto s = drawFont(face, small, 0.30);
    const auto t = drawFont(face, standard, 0.40);

    std::FILE* f = std::fopen(argv[2], "wb");
    if (!f || std::fwrite(s.data(), 1, s.size(), f) != s.size() ||
        std::fwrite(t.data(), 1, t.size(), f) != t.size() || std::fclose(f) != 0) {
        std::fprintf(stderr, "fontgen: cannot write %s\n", argv[2]);
        return 1;
    }
    if (argc > 3) writePreview(argv[3], s, small, t, standard);
    FT_Done_Face(face);
    FT_Done_FreeType(lib);
    return 0;
}
