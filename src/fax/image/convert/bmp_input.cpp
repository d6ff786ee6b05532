// BMP input and the in-memory bitmap input. BMP files are decoded here: 1, 4, 8, 16, 24 and
// 32 bits per pixel, uncompressed, with bit-field masks or run-length coded, bottom-up or
// top-down. One-bit images are monochrome and copied row by row; every other depth is
// reduced to black and white with the converter's threshold matrix.
#include <algorithm>
#include <climits>
#include <cstring>
#include <fstream>

#include "fax/image/convert/image_input.h"
#include "fax/image/fax_errors.h"
#include "core_iface/message_pump.h"

namespace pellora::fax {

namespace {

uint16_t le16(const uint8_t* p) {
    return uint16_t(p[0] | p[1] << 8);
}
uint32_t le32(const uint8_t* p) {
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

// The 8-bit value of the field `mask` selects in v.
unsigned maskedComponent(uint32_t v, uint32_t mask) {
    if (mask == 0) return 0;
    int shift = 0;
    while (!((mask >> shift) & 1)) ++shift;
    const uint32_t field = mask >> shift;
    const uint64_t value = (v & mask) >> shift;
    return unsigned(value * 255 / field);
}

// Colours nearer black than white print black.
bool darkColour(uint32_t rgb) {
    return ((rgb >> 16) & 0xFF) + ((rgb >> 8) & 0xFF) + (rgb & 0xFF) < 383;
}

constexpr unsigned long long kMaxRlePixels = 32ull << 20;

// Expands RLE8 or RLE4 data into one palette index a byte, rows top to bottom. Pixels the
// data never reaches keep index 0; data that runs past the image is ignored.
std::vector<uint8_t> decodeRle(const uint8_t* p, std::size_t n, int w, int h, bool four) {
    std::vector<uint8_t> px(std::size_t(w) * std::size_t(h), 0);
    long x = 0, y = 0;  // y counts up from the bottom row
    auto put = [&](unsigned idx) {
        if (x < w && y < h)
            px[std::size_t(h - 1 - y) * std::size_t(w) + std::size_t(x)] = uint8_t(idx);
        ++x;
    };
    std::size_t i = 0;
    while (i + 1 < n && y < h) {
        const unsigned count = p[i], value = p[i + 1];
        i += 2;
        if (count > 0) {
            for (unsigned k = 0; k < count && x < w; ++k)
                put(four ? (k % 2 ? value & 15 : value >> 4) : value);
            continue;
        }
        if (value == 0) {  // end of line
            x = 0;
            ++y;
        } else if (value == 1) {  // end of bitmap
            break;
        } else if (value == 2) {  // move right and up
            if (i + 1 >= n) break;
            x += p[i];
            y += p[i + 1];
            i += 2;
        } else {  // `value` pixels as they are, padded to a whole word
            const std::size_t bytes = four ? (value + 1) / 2 : value;
            for (unsigned k = 0; k < value && i + (four ? k / 2 : k) < n; ++k)
                put(four ? (k % 2 ? p[i + k / 2] & 15 : p[i + k / 2] >> 4) : p[i + k]);
            i += bytes + (bytes & 1);
        }
    }
    return px;
}

}  // namespace

uint32_t BmpImage::colour(int x, int y) const {
    const std::size_t row = std::size_t(topDown ? y : height - 1 - y);
    const uint8_t* p = data.data() + pixelOffset + row * stride;
    auto fromPalette = [&](unsigned idx) { return idx < palette.size() ? palette[idx] : 0u; };
    switch (bitsPerPixel) {
        case 1:
            return fromPalette((p[x / 8] >> (7 - x % 8)) & 1);
        case 4:
            return fromPalette((p[x / 2] >> (x % 2 ? 0 : 4)) & 15);
        case 8:
            return fromPalette(p[x]);
        case 16: {
            const uint32_t v = le16(p + 2 * x);
            return maskedComponent(v, masks[0]) << 16 | maskedComponent(v, masks[1]) << 8 |
                   maskedComponent(v, masks[2]);
        }
        case 24:
            return uint32_t(p[3 * x + 2]) << 16 | uint32_t(p[3 * x + 1]) << 8 | p[3 * x];
        default: {
            const uint32_t v = le32(p + 4 * x);
            return maskedComponent(v, masks[0]) << 16 | maskedComponent(v, masks[1]) << 8 |
                   maskedComponent(v, masks[2]);
        }
    }
}

int decodeBmp(std::vector<uint8_t> bytes, BmpImage* out) {
    const std::size_t size = bytes.size();
    if (size < 26 || bytes[0] != 'B' || bytes[1] != 'M') return ecBadGraphicsFormat;
    const uint8_t* b = bytes.data();
    const uint32_t pixelOffset = le32(b + 10);
    const uint32_t hs = le32(b + 14);
    BmpImage img;
    long long w = 0, h = 0;
    unsigned planes = 0, compression = 0, clrUsed = 0;
    std::size_t paletteAt = 0, entry = 4;
    if (hs == 12) {  // OS/2 core header: 16-bit sizes, three-byte palette entries
        w = le16(b + 18);
        h = le16(b + 20);
        planes = le16(b + 22);
        img.bitsPerPixel = le16(b + 24);
        paletteAt = 26;
        entry = 3;
    } else if (hs >= 40 && hs <= 124 && size >= 54) {
        w = int32_t(le32(b + 18));
        h = int32_t(le32(b + 22));
        planes = le16(b + 26);
        img.bitsPerPixel = le16(b + 28);
        compression = le32(b + 30);
        clrUsed = le32(b + 46);
        paletteAt = 14 + hs;
    } else {
        return ecBadGraphicsFormat;
    }
    const int bpp = img.bitsPerPixel;
    if (planes != 1 || !(bpp == 1 || bpp == 4 || bpp == 8 || bpp == 16 || bpp == 24 || bpp == 32))
        return ecBadGraphicsFormat;
    if (h < 0) {
        img.topDown = true;
        h = -h;
    }
    if (w < 1 || h < 1) return ecBadGraphicsFormat;

    if (compression == 3 || compression == 6) {  // bit fields: masks follow the 40-byte header
        if (bpp != 16 && bpp != 32) return ecBadGraphicsFormat;
        if (size < 66) return ecBadGraphicsFormat;
        img.masks[0] = le32(b + 54);
        img.masks[1] = le32(b + 58);
        img.masks[2] = le32(b + 62);
        img.bitfields = true;
        if (hs == 40) paletteAt += compression == 3 ? 12 : 16;
    } else if (compression == 1 || compression == 2) {
        if (bpp != (compression == 1 ? 8 : 4) || img.topDown) return ecBadGraphicsFormat;
    } else if (compression != 0) {
        return ecBadGraphicsFormat;
    } else if (bpp == 16) {
        img.masks[0] = 0x7C00;
        img.masks[1] = 0x03E0;
        img.masks[2] = 0x001F;
    } else if (bpp == 32) {
        img.masks[0] = 0xFF0000;
        img.masks[1] = 0xFF00;
        img.masks[2] = 0xFF;
    }

    if (bpp <= 8) {
        std::size_t n = clrUsed ? clrUsed : std::size_t(1) << bpp;
        n = std::min<std::size_t>(n, std::size_t(1) << bpp);
        if (paletteAt + n * entry > size) return ecBadGraphicsFormat;
        for (std::size_t i = 0; i < n; ++i) {
            const uint8_t* e = b + paletteAt + i * entry;
            img.palette.push_back(uint32_t(e[2]) << 16 | uint32_t(e[1]) << 8 | e[0]);
        }
    }

    if (compression == 1 || compression == 2) {
        if (pixelOffset >= size) return ecBadGraphicsFormat;
        // Run-length data can describe a huge image in a few bytes; a fax page is far
        // below this many pixels.
        if ((unsigned long long)w * (unsigned long long)h > kMaxRlePixels)
            return ecBadGraphicsFormat;
        img.width = int(w);
        img.height = int(h);
        img.data =
            decodeRle(b + pixelOffset, size - pixelOffset, img.width, img.height, compression == 2);
        img.bitsPerPixel = 8;  // one palette index a byte from here on
        img.stride = std::size_t(img.width);
        img.pixelOffset = 0;
        img.topDown = true;
        *out = std::move(img);
        return 0;
    }

    const unsigned long long stride = ((unsigned long long)w * unsigned(bpp) + 31) / 32 * 4;
    if (pixelOffset > size || stride == 0 || stride > size ||
        (unsigned long long)h > (size - pixelOffset) / stride)
        return ecBadGraphicsFormat;
    img.width = int(w);
    img.height = int(h);
    img.stride = std::size_t(stride);
    img.pixelOffset = pixelOffset;

    if (bpp == 1) {
        // Monochrome: the palette decides which index prints black.
        const bool black0 = darkColour(img.palette.size() > 0 ? img.palette[0] : 0);
        const bool black1 = darkColour(img.palette.size() > 1 ? img.palette[1] : 0);
        img.mono = MonoBitmap(img.width, img.height);
        const std::size_t rb = std::size_t(img.width + 7) / 8;
        for (int y = 0; y < img.height; ++y) {
            const uint8_t* src =
                b + pixelOffset + std::size_t(img.topDown ? y : img.height - 1 - y) * img.stride;
            auto dst = img.mono.row(y);
            for (std::size_t i = 0; i < rb; ++i) {
                const uint8_t v = src[i];
                dst[i] = uint8_t((black1 ? v : 0) | (black0 ? uint8_t(~v) : 0));
            }
            if (img.width % 8) dst[rb - 1] &= uint8_t(0xFF00u >> (img.width % 8));
        }
    } else {
        img.data = std::move(bytes);
    }
    *out = std::move(img);
    return 0;
}

namespace {

class BitmapReader : public InputReader {
  public:
    BitmapReader(const ConvertSettings& s, const MonoBitmap* bitmap, bool fromFile)
        : s_(s), bitmap_(bitmap), fromFile_(fromFile) {}

    int open(const std::string& name) override {
        if (fromFile_) {
            InputFile f;
            if (int rc = f.open(name)) return rc;
            std::vector<uint8_t> bytes(std::size_t(f.size()));
            const long got = f.read(bytes.data(), bytes.size());
            if (got < 0) return int(got);
            bytes.resize(std::size_t(got));
            if (int rc = decodeBmp(std::move(bytes), &bmp_)) return rc;
            if (bmp_.bitsPerPixel == 1) {
                mono_ = &bmp_.mono;
            } else {
                colour_ = true;
            }
            width_ = bmp_.width;
            height_ = bmp_.height;
            stride_ = bmp_.stride;
        } else {
            if (!bitmap_ || bitmap_->empty()) return ecBadArgument;
            mono_ = bitmap_;
            width_ = bitmap_->width();
            height_ = bitmap_->height();
            stride_ = bitmap_->stride();
        }
        row_ = 0;
        placement_ = placeImage(s_, width_);
        bytesToConvert_ = uint64_t(stride_) * uint64_t(height_);
        return 0;
    }

    int getLine(std::span<uint8_t> line, LineResult* r) override {
        *r = {};
        if (row_ >= height_) {
            r->endOfPage = true;
            return 0;
        }
        const std::size_t off = std::min<std::size_t>(placement_.offset, line.size());
        if (!colour_) {
            const auto src = mono_->row(row_);
            const std::size_t rb = std::size_t(width_ + 7) / 8;
            const std::size_t n = std::min(rb, line.size() - off);
            std::memcpy(line.data() + off, src.data(), n);
            if (n == rb && width_ % 8) line[off + rb - 1] &= uint8_t(0xFF00u >> (width_ % 8));
        } else {
            const long room = long(line.size() - off) * 8;
            const int w = int(std::min<long>(width_, room));
            uint8_t* dst = line.data() + off;
            for (int x = 0; x < w; ++x) {
                const uint32_t c = bmp_.colour(x, row_);
                const int sum = int((c >> 16) & 0xFF) + int((c >> 8) & 0xFF) + int(c & 0xFF);
                // At or below the threshold: with "below" a pure black pixel would print white
                // wherever the matrix holds 0, one pixel in 256 of every black area.
                if (sum <= colourThreshold(x, row_)) dst[x / 8] |= uint8_t(0x80u >> (x % 8));
                if ((x & 7) == 7 && s_.pump && (s_.options & coYield) && !s_.pump->processPending())
                    return ecGotQuitMsg;
            }
        }
        ++row_;
        bytesConverted_ += stride_;
        r->len = unsigned(s_.width / 8);
        return 0;
    }

    void close() override {
        bmp_ = BmpImage{};
        mono_ = nullptr;
        colour_ = false;
    }

  private:
    ConvertSettings s_;
    const MonoBitmap* bitmap_;
    bool fromFile_;
    BmpImage bmp_;
    const MonoBitmap* mono_ = nullptr;
    bool colour_ = false;
    int width_ = 0, height_ = 0;
    std::size_t stride_ = 0;
    int row_ = 0;
};

}  // namespace

std::unique_ptr<InputReader> makeBmpReader(const ConvertSettings& s) {
    return std::make_unique<BitmapReader>(s, nullptr, true);
}

std::unique_ptr<InputReader> makeBitmapReader(const ConvertSettings& s, const MonoBitmap* bitmap) {
    return std::make_unique<BitmapReader>(s, bitmap, false);
}

}  // namespace pellora::fax
