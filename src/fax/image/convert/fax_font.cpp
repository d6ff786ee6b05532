#include "fax/image/convert/fax_font.h"

namespace pellora::fax {

namespace detail {
extern const uint8_t kFaxFontResource[];
extern const std::size_t kFaxFontResourceSize;
}  // namespace detail

std::span<const uint8_t> faxFontResource() {
    return {detail::kFaxFontResource, detail::kFaxFontResourceSize};
}

int loadFaxFont(TFaxFont type, bool highResolution, FaxFont* out,
                std::span<const uint8_t> resource) {
    if (resource.size() != kFaxFontResourceSize) return ecFontResourceBad;
    const bool small = type == ffSmall;
    const int rows = small ? 8 : 16;
    const int rowBytes = small ? 2 : 3;
    const std::size_t base = small ? 0 : 4096;
    const std::size_t glyphBytes = std::size_t(rows * rowBytes);
    const int repeat = highResolution ? 2 : 1;

    FaxFont f;
    f.width = small ? 12 : 20;
    f.rows = rows * repeat;
    f.rowBytes = rowBytes;
    f.glyphs.reserve(256 * glyphBytes * std::size_t(repeat));
    for (std::size_t g = 0; g < 256; ++g)
        for (int r = 0; r < rows; ++r) {
            const auto* row = resource.data() + base + g * glyphBytes + std::size_t(r * rowBytes);
            for (int k = 0; k < repeat; ++k) f.glyphs.insert(f.glyphs.end(), row, row + rowBytes);
        }
    *out = std::move(f);
    return 0;
}

}  // namespace pellora::fax
