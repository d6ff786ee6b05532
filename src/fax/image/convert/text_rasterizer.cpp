#include "fax/image/convert/text_rasterizer.h"

#include <fontconfig/fontconfig.h>
#include <ft2build.h>
#include FT_FREETYPE_H
#include FT_SYNTHESIS_H
#include FT_TRUETYPE_TABLES_H

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <mutex>
#include <unordered_map>

#include "fax/image/fax_errors.h"

namespace pellora::fax {

namespace {

constexpr char32_t kCp1252High[32] = {
    0x20AC, 0xFFFD, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0xFFFD, 0x017D, 0xFFFD, 0xFFFD, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0xFFFD, 0x017E, 0x0178};

// Sizes beyond this many pixels per em are refused: no fax line is that tall, and FreeType
// would happily allocate glyph bitmaps of any size.
constexpr int kMaxPixelsPerEm = 4000;

// fontconfig's configuration is loaded once per process (it scans the font folders) and
// released at exit, with fontconfig's own caches, so leak checkers see a clean process.
FcConfig* fontConfig() {
    static std::once_flag once;
    static FcConfig* config = nullptr;
    std::call_once(once, [] {
        if (!FcInit()) return;
        config = FcConfigGetCurrent();
        std::atexit([] { FcFini(); });
    });
    return config;
}

struct Glyph {
    int left = 0, top = 0;  // bitmap offset from the pen position (top: above the baseline)
    int width = 0, rows = 0;
    int advance = 0;            // pixels
    std::vector<uint8_t> bits;  // rows of (width + 7) / 8 bytes, MSB first
};

}  // namespace

std::u32string cp1252ToUnicode(std::string_view text) {
    std::u32string out;
    out.reserve(text.size());
    for (unsigned char c : text)
        out.push_back(c >= 0x80 && c < 0xA0 ? kCp1252High[c - 0x80] : char32_t(c));
    return out;
}

struct TextRasterizer::Impl {
    FT_Library lib = nullptr;
    FT_Face face = nullptr;
    std::string file, family;
    int ppem = 0, ascent = 0, descent = 0;
    bool embolden = false, oblique = false, underline = false, strikeOut = false;
    int underlinePos = 0, underlineThick = 1, strikePos = 0, strikeThick = 1;
    mutable std::unordered_map<char32_t, Glyph> cache;

    ~Impl() {
        if (face) FT_Done_Face(face);
        if (lib) FT_Done_FreeType(lib);
    }

    const Glyph& glyph(char32_t ch) const {
        auto it = cache.find(ch);
        if (it != cache.end()) return it->second;
        Glyph g;
        const FT_UInt index = FT_Get_Char_Index(face, FT_ULong(ch));
        // One-bit rendering with the font's hinting: the crisp, unsmoothed text a fax needs.
        if (FT_Load_Glyph(face, index, FT_LOAD_TARGET_MONO) == 0) {
            FT_GlyphSlot slot = face->glyph;
            if (embolden) FT_GlyphSlot_Embolden(slot);
            if (oblique) FT_GlyphSlot_Oblique(slot);
            g.advance = int((slot->advance.x + 32) >> 6);
            if (FT_Render_Glyph(slot, FT_RENDER_MODE_MONO) == 0) {
                const FT_Bitmap& bm = slot->bitmap;
                g.left = slot->bitmap_left;
                g.top = slot->bitmap_top;
                g.width = int(bm.width);
                g.rows = int(bm.rows);
                const std::size_t rb = std::size_t(g.width + 7) / 8;
                g.bits.resize(rb * std::size_t(g.rows));
                for (int y = 0; y < g.rows; ++y) {
                    const uint8_t* src = bm.buffer + std::ptrdiff_t(y) * std::ptrdiff_t(bm.pitch);
                    if (bm.pixel_mode == FT_PIXEL_MODE_MONO) {
                        std::copy(src, src + rb,
                                  g.bits.begin() + std::ptrdiff_t(rb * std::size_t(y)));
                    } else {  // a font that insists on grey levels: threshold them
                        for (int x = 0; x < g.width; ++x)
                            if (src[x] >= 128)
                                g.bits[rb * std::size_t(y) + std::size_t(x / 8)] |=
                                    uint8_t(0x80u >> (x % 8));
                    }
                }
            }
        }
        return cache.emplace(ch, std::move(g)).first->second;
    }
};

TextRasterizer::TextRasterizer() = default;
TextRasterizer::~TextRasterizer() = default;

bool TextRasterizer::isOpen() const {
    return impl_ && impl_->face;
}
int TextRasterizer::textHeight() const {
    return impl_ ? impl_->ascent + impl_->descent : 0;
}
int TextRasterizer::ascent() const {
    return impl_ ? impl_->ascent : 0;
}
int TextRasterizer::pixelsPerEm() const {
    return impl_ ? impl_->ppem : 0;
}

const std::string& TextRasterizer::fontFile() const {
    static const std::string empty;
    return impl_ ? impl_->file : empty;
}
const std::string& TextRasterizer::familyName() const {
    static const std::string empty;
    return impl_ ? impl_->family : empty;
}

int TextRasterizer::open(const TFont& font, int dpi) {
    impl_.reset();
    if (font.Size < 1 || dpi < 1) return ecBadArgument;
    const long ppem = std::lround(double(font.Size) * dpi / 72.0);
    if (ppem < 1 || ppem > kMaxPixelsPerEm) return ecBadArgument;

    FcConfig* config = fontConfig();
    if (!config) return kFontUnavailable;
    FcPattern* pat = FcPatternCreate();
    FcPatternAddString(pat, FC_FAMILY, reinterpret_cast<const FcChar8*>(font.Name.c_str()));
    FcPatternAddInteger(pat, FC_WEIGHT, font.Style & fsBold ? FC_WEIGHT_BOLD : FC_WEIGHT_REGULAR);
    FcPatternAddInteger(pat, FC_SLANT, font.Style & fsItalic ? FC_SLANT_ITALIC : FC_SLANT_ROMAN);
    FcPatternAddBool(pat, FC_SCALABLE, FcTrue);
    FcConfigSubstitute(config, pat, FcMatchPattern);
    FcDefaultSubstitute(pat);
    FcResult result = FcResultNoMatch;
    FcPattern* match = FcFontMatch(config, pat, &result);
    FcPatternDestroy(pat);
    if (!match) return kFontUnavailable;

    auto impl = std::make_unique<Impl>();
    FcChar8* file = nullptr;
    FcChar8* family = nullptr;
    int index = 0, weight = FC_WEIGHT_REGULAR, slant = FC_SLANT_ROMAN;
    FcPatternGetString(match, FC_FILE, 0, &file);
    FcPatternGetString(match, FC_FAMILY, 0, &family);
    FcPatternGetInteger(match, FC_INDEX, 0, &index);
    FcPatternGetInteger(match, FC_WEIGHT, 0, &weight);
    FcPatternGetInteger(match, FC_SLANT, 0, &slant);
    if (file) impl->file = reinterpret_cast<const char*>(file);
    if (family) impl->family = reinterpret_cast<const char*>(family);
    FcPatternDestroy(match);
    if (impl->file.empty()) return kFontUnavailable;

    if (FT_Init_FreeType(&impl->lib) ||
        FT_New_Face(impl->lib, impl->file.c_str(), index, &impl->face) ||
        FT_Set_Pixel_Sizes(impl->face, 0, FT_UInt(ppem))) {
        return kFontUnavailable;
    }
    // Styles the chosen face does not have are made up, as the screen does.
    impl->embolden = (font.Style & fsBold) && weight < FC_WEIGHT_DEMIBOLD;
    impl->oblique = (font.Style & fsItalic) && slant == FC_SLANT_ROMAN;
    impl->underline = font.Style & fsUnderline;
    impl->strikeOut = font.Style & fsStrikeOut;
    impl->ppem = int(ppem);

    // Line height as Windows measures it: the OS/2 "win" ascent and descent when the font
    // has them (Liberation's match Arial's), else the face's ascender and descender.
    FT_Face face = impl->face;
    const double scale = double(ppem) / double(face->units_per_EM ? face->units_per_EM : 1000);
    auto* os2 = static_cast<TT_OS2*>(FT_Get_Sfnt_Table(face, FT_SFNT_OS2));
    if (os2 && os2->version != 0xFFFF && (os2->usWinAscent || os2->usWinDescent)) {
        // Rounded up, as FreeType rounds hinted metrics, so no descender is ever clipped.
        impl->ascent = int(std::ceil(os2->usWinAscent * scale));
        impl->descent = int(std::ceil(os2->usWinDescent * scale));
        impl->strikePos = int(std::lround(os2->yStrikeoutPosition * scale));
        impl->strikeThick = std::max(1, int(std::lround(os2->yStrikeoutSize * scale)));
    } else {
        impl->ascent = int(std::ceil(face->ascender * scale));
        impl->descent = int(std::ceil(-face->descender * scale));
        impl->strikePos = impl->ascent / 3;
        impl->strikeThick = std::max(1, impl->ppem / 14);
    }
    impl->underlinePos = std::max(1, int(std::lround(-face->underline_position * scale)));
    impl->underlineThick = std::max(1, int(std::lround(face->underline_thickness * scale)));
    if (impl->ascent + impl->descent < 1) impl->ascent = impl->ppem;
    impl_ = std::move(impl);
    return 0;
}

int TextRasterizer::textWidth(std::u32string_view text) const {
    if (!isOpen()) return 0;
    int w = 0;
    for (char32_t c : text)
        if (c >= 32) w += impl_->glyph(c).advance;
    return w;
}

void TextRasterizer::draw(MonoBitmap& surface, int x, int y, std::u32string_view text) const {
    if (!isOpen()) return;
    const int baseline = y + impl_->ascent;
    const int W = surface.width(), H = surface.height();
    int pen = x;
    for (char32_t c : text) {
        if (c < 32 || c == 127) continue;
        if (pen >= W) break;
        const Glyph& g = impl_->glyph(c);
        const std::size_t rb = std::size_t(g.width + 7) / 8;
        for (int gy = 0; gy < g.rows; ++gy) {
            const int py = baseline - g.top + gy;
            if (py < 0 || py >= H) continue;
            for (int gx = 0; gx < g.width; ++gx) {
                const int px = pen + g.left + gx;
                if (px < 0 || px >= W) continue;
                if (g.bits[rb * std::size_t(gy) + std::size_t(gx / 8)] & (0x80u >> (gx % 8)))
                    surface.setPixel(px, py, true);
            }
        }
        pen += g.advance;
    }
    auto rule = [&](int top, int thick) {
        for (int ry = top; ry < top + thick; ++ry) {
            if (ry < 0 || ry >= H) continue;
            for (int px = std::max(0, x); px < std::min(W, pen); ++px)
                surface.setPixel(px, ry, true);
        }
    };
    if (impl_->underline)
        rule(std::min(baseline + impl_->underlinePos, y + textHeight() - impl_->underlineThick),
             impl_->underlineThick);
    if (impl_->strikeOut) rule(baseline - impl_->strikePos, impl_->strikeThick);
}

}  // namespace pellora::fax
