// A one-bit-per-pixel image laid out like fax raster lines: each row is `stride` bytes, the
// most significant bit of a byte is the leftmost pixel, and a set bit is black.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace pellora::fax {

class MonoBitmap {
  public:
    MonoBitmap() = default;
    // A white bitmap; the stride is the width rounded up to whole bytes unless given larger.
    MonoBitmap(int width, int height, std::size_t stride = 0);

    int width() const { return width_; }
    int height() const { return height_; }
    std::size_t stride() const { return stride_; }
    bool empty() const { return width_ == 0 || height_ == 0; }

    std::span<uint8_t> row(int y) { return {bits_.data() + std::size_t(y) * stride_, stride_}; }
    std::span<const uint8_t> row(int y) const {
        return {bits_.data() + std::size_t(y) * stride_, stride_};
    }
    std::vector<uint8_t>& bits() { return bits_; }
    const std::vector<uint8_t>& bits() const { return bits_; }

    bool pixel(int x, int y) const {
        return (bits_[std::size_t(y) * stride_ + std::size_t(x >> 3)] >> (7 - (x & 7))) & 1;
    }
    void setPixel(int x, int y, bool black) {
        uint8_t& b = bits_[std::size_t(y) * stride_ + std::size_t(x >> 3)];
        const uint8_t mask = uint8_t(0x80u >> (x & 7));
        b = black ? uint8_t(b | mask) : uint8_t(b & ~mask);
    }

    friend bool operator==(const MonoBitmap&, const MonoBitmap&) = default;

  private:
    int width_ = 0;
    int height_ = 0;
    std::size_t stride_ = 0;
    std::vector<uint8_t> bits_;
};

inline MonoBitmap::MonoBitmap(int width, int height, std::size_t stride)
    : width_(width < 0 ? 0 : width), height_(height < 0 ? 0 : height) {
    stride_ = std::size_t(width_ + 7) / 8;
    if (stride > stride_) stride_ = stride;
    bits_.assign(stride_ * std::size_t(height_), 0);
}

}  // namespace pellora::fax
