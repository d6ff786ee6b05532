// The renderers behind the header line and text cover pages: the built-in fax fonts (the
// small one for the header, the large one for covers) or a system font through the
// TextRasterizer when enhanced text is on. Both draw one pixel row of a text line at a time
// into a raster line for the T.4 coder.
#pragma once

#include <memory>
#include <string_view>

#include "fax/engine/page_transfer.h"
#include "fax/image/convert/fax_font.h"
#include "fax/image/convert/text_rasterizer.h"
#include "fax/image/mono_bitmap.h"

namespace pellora::fax {

// Text starts this many pixels from the left edge, as on converted pages.
inline constexpr int kRenderLeftMargin = 50;

class FaxFontRenderer : public LineRenderer {
public:
    explicit FaxFontRenderer(TFaxFont type) : type_(type) {}
    int prepare(bool highResolution) override;
    int rows() const override { return font_.rows; }
    void drawRow(std::string_view text, int row, std::span<std::uint8_t> raster) override;

private:
    TFaxFont type_;
    FaxFont font_;
    bool loaded_ = false, loadedHigh_ = false;
};

class SystemFontRenderer : public LineRenderer {
public:
    explicit SystemFontRenderer(TFont font) : font_(std::move(font)) {}
    int prepare(bool highResolution) override;
    int rows() const override { return rows_; }
    void drawRow(std::string_view text, int row, std::span<std::uint8_t> raster) override;

private:
    TFont font_;
    TextRasterizer rasterizer_;
    int rows_ = 0;
    // The last text drawn, kept so that its rows are not drawn again for every row.
    std::string drawnText_;
    MonoBitmap drawn_;
};

// The renderer for the header line (small font) or text covers (large font): the system
// font when `enhanced`, else the built-in one.
std::unique_ptr<LineRenderer> makeLineRenderer(bool enhanced, const TFont& font, bool cover);

}  // namespace pellora::fax
