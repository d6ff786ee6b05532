#include "fax/engine/header_renderer.h"

#include <algorithm>

namespace pellora::fax {

namespace {
// Copies `width` pixels (most significant bit first) from `bits` to the raster at `x`.
void blitBits(std::span<const std::uint8_t> bits, int width, std::span<std::uint8_t> raster, int x) {
    const int limit = static_cast<int>(raster.size()) * 8;
    for (int i = 0; i < width && x + i < limit; ++i) {
        if (!((bits[std::size_t(i >> 3)] >> (7 - (i & 7))) & 1)) continue;
        int at = x + i;
        raster[std::size_t(at >> 3)] |= std::uint8_t(0x80 >> (at & 7));
    }
}
}  // namespace

int FaxFontRenderer::prepare(bool highResolution) {
    if (loaded_ && loadedHigh_ == highResolution) return 0;
    if (int rc = loadFaxFont(type_, highResolution, &font_)) return rc;
    loaded_ = true;
    loadedHigh_ = highResolution;
    return 0;
}

void FaxFontRenderer::drawRow(std::string_view text, int row, std::span<std::uint8_t> raster) {
    if (!loaded_ || row < 0 || row >= font_.rows) return;
    int x = kRenderLeftMargin;
    for (char c : text) {
        if (x >= static_cast<int>(raster.size()) * 8) break;
        blitBits(font_.glyphRow(static_cast<std::uint8_t>(c), row), font_.width, raster, x);
        x += font_.width;
    }
}

int SystemFontRenderer::prepare(bool highResolution) {
    // Fonts are measured at screen resolution, as the converter's enhanced text is; a fine
    // page has twice the rows per inch, so the font is drawn twice as large.
    TFont font = font_;
    if (highResolution) font.Size *= 2;
    if (int rc = rasterizer_.open(font)) return rc;
    rows_ = std::clamp(rasterizer_.textHeight(), 1, 1024);
    drawnText_.clear();
    drawn_ = MonoBitmap();
    return 0;
}

void SystemFontRenderer::drawRow(std::string_view text, int row, std::span<std::uint8_t> raster) {
    if (!rasterizer_.isOpen() || row < 0 || row >= rows_) return;
    const int width = static_cast<int>(raster.size()) * 8;
    if (drawn_.width() != width || drawn_.height() != rows_ || drawnText_ != text) {
        drawn_ = MonoBitmap(width, rows_);
        rasterizer_.draw(drawn_, kRenderLeftMargin, 0, cp1252ToUnicode(text));
        drawnText_ = std::string(text);
    }
    auto src = drawn_.row(row);
    std::copy_n(src.begin(), std::min(src.size(), raster.size()), raster.begin());
}

std::unique_ptr<LineRenderer> makeLineRenderer(bool enhanced, const TFont& font, bool cover) {
    if (enhanced) return std::make_unique<SystemFontRenderer>(font);
    return std::make_unique<FaxFontRenderer>(cover ? ffStandard : ffSmall);
}

}  // namespace pellora::fax
