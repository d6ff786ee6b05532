// The built-in fax fonts: two bitmap fonts of 256 glyphs, indexed by Windows-1252 code,
// compiled into the core as one 16384-byte resource:
//
//   bytes    0..4095   the small font:    16 bytes a glyph, 8 rows of 2 bytes, 12 pixels wide
//   bytes 4096..16383  the standard font: 48 bytes a glyph, 16 rows of 3 bytes, 20 pixels wide
//
// Rows run top to bottom, most significant bit leftmost, a set bit black; only the first
// `width` bits of a row belong to the glyph. tools/fontgen draws the resource.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

namespace pellora::fax {

enum TFaxFont { ffStandard, ffSmall };

inline constexpr std::size_t kFaxFontResourceSize = 16384;
inline constexpr int ecFontResourceBad = -8052;

// One of the two fonts, ready to draw: at high resolution every glyph row is stored twice.
struct FaxFont {
    int width = 0;     // pixels per glyph row
    int rows = 0;      // rows per glyph (doubled at high resolution)
    int rowBytes = 0;  // bytes stored per glyph row
    std::vector<uint8_t> glyphs;

    std::span<const uint8_t> glyphRow(uint8_t ch, int row) const {
        return {glyphs.data() + (std::size_t(ch) * std::size_t(rows) + std::size_t(row)) *
                                    std::size_t(rowBytes),
                std::size_t(rowBytes)};
    }
};

// The resource compiled into the core.
std::span<const uint8_t> faxFontResource();

// Loads `type` from `resource`; -8052 when the resource is missing or not 16384 bytes.
int loadFaxFont(TFaxFont type, bool highResolution, FaxFont* out,
                std::span<const uint8_t> resource = faxFontResource());

}  // namespace pellora::fax
