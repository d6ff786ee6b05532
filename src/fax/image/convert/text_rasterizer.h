// Text drawn with a system font into one-bit bitmaps, for the converter's enhanced text and
// the header line. FreeType renders, fontconfig finds the font: the same font stack Qt uses,
// so a family chosen in a Qt font dialog is drawn alike here. Windows family names resolve
// through fontconfig's aliases ("Arial" to Liberation Sans, "MS Sans Serif" to the default
// sans family).
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "fax/image/mono_bitmap.h"

namespace pellora::fax {

enum TFontStyle : unsigned { fsBold = 1, fsItalic = 2, fsUnderline = 4, fsStrikeOut = 8 };
using TFontStyles = unsigned;

// A font as the application chooses it: family, size in points, styles.
struct TFont {
    std::string Name = "MS Sans Serif";
    int Size = 8;
    TFontStyles Style = 0;

    friend bool operator==(const TFont&, const TFont&) = default;
};

// Windows-1252 bytes as Unicode code points (the five unassigned codes become U+FFFD).
std::u32string cp1252ToUnicode(std::string_view text);

class TextRasterizer {
  public:
    // Code for a font that cannot be found or loaded at all.
    static constexpr int kFontUnavailable = -8073;

    TextRasterizer();
    ~TextRasterizer();
    TextRasterizer(const TextRasterizer&) = delete;
    TextRasterizer& operator=(const TextRasterizer&) = delete;

    // Selects `font` for drawing at `dpi` pixels per inch (a point is 1/72 inch, rounded to
    // whole pixels per em as the screen does). 0, -1002 for a size below 1 or absurdly large,
    // or kFontUnavailable.
    int open(const TFont& font, int dpi = 96);
    bool isOpen() const;

    // The height of a line of text (ascent plus descent): the height of "Wy".
    int textHeight() const;
    int ascent() const;
    int pixelsPerEm() const;
    // The advance width of `text` in pixels.
    int textWidth(std::u32string_view text) const;
    // The font file fontconfig chose, and its family name.
    const std::string& fontFile() const;
    const std::string& familyName() const;

    // Draws `text` black with its top-left corner at (x, y); pixels outside the bitmap are
    // clipped. Control characters draw nothing.
    void draw(MonoBitmap& surface, int x, int y, std::u32string_view text) const;

  private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace pellora::fax
