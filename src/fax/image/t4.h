// One-dimensional T.4 (Modified Huffman) coding of fax raster lines.
//
// Raster lines: W/8 bytes, most significant bit = leftmost pixel, set bit = black.
// Coded data: the first transmitted bit is bit 0 of byte 0 (least significant first).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>
#include <vector>

namespace pellora::fax {

inline constexpr int kNormalWidth = 1728;
inline constexpr int kWideWidth = 2048;
inline constexpr std::size_t kCodeBufferSize = 4096;  // longest coded line a record may hold

// Codes one raster line at a time. Every coded line starts with four fill bits and an EOL
// (bytes 00 80), so its EOL ends on a byte boundary, and ends with zero fill.
class T4Encoder {
  public:
    // width: a multiple of 8 up to 2048 (1728 or 2048 in practice); margin: white pixels put
    // in front of the line, the line's last `margin` pixels are not coded.
    explicit T4Encoder(int width = kNormalWidth, int margin = 50, bool doubleWidth = false);

    void setWidth(int width);
    void setMargin(int margin);
    void setDoubleWidth(bool on) { doubleWidth_ = on; }
    int width() const { return width_; }
    int margin() const { return margin_; }
    bool doubleWidth() const { return doubleWidth_; }

    // Codes `raster` (width/8 bytes; missing bytes count as white). The result stays valid
    // until the next call.
    std::span<const uint8_t> encodeLine(std::span<const uint8_t> raster);

    // Seven EOL codes, the first behind four fill bits, then eight zero bits: the end of a page.
    static const std::array<uint8_t, 12>& endOfPage();
    // A coded all-white line of the given width (1728 or 2048), without running the coder.
    static std::span<const uint8_t> blankLine(int width);

  private:
    int width_ = kNormalWidth;
    int margin_ = 50;
    bool doubleWidth_ = false;
    std::vector<uint8_t> out_;
    std::vector<uint8_t> padded_;
};

// Decodes one page of coded data, fed in pieces, into raster lines. Never fails on bad
// data: code errors are counted and the decoder resynchronises on the next EOL; lines that
// are not exactly 216 or 256 bytes long are dropped; data before the page's first EOL is
// ignored. The page ends after three consecutive EOL codes.
class T4Decoder {
  public:
    // Receives each accepted line; returns false to stop decoding the page.
    using LineSink = std::function<bool(std::span<const uint8_t> line)>;

    static constexpr std::size_t kLineBufferSize = 512;

    T4Decoder();

    void startPage();

    // Decodes `data`; returns the number of bytes taken. All bytes are taken unless the page
    // ended (three EOLs) or the sink asked to stop; a code cut by the end of `data` is
    // completed by the next call.
    std::size_t decode(std::span<const uint8_t> data, const LineSink& sink);

    bool pageEnded() const { return ended_; }  // three consecutive EOLs seen
    bool stopped() const { return stopped_; }  // the sink asked to stop
    unsigned codeErrors() const { return errors_; }
    unsigned linesDelivered() const { return lines_; }

  private:
    bool emitEol(const LineSink& sink);

    uint64_t acc_ = 0;  // pending bits, next bit in bit 0
    int nbits_ = 0;
    bool black_ = false;
    bool inFill_ = false;    // eleven or more zero bits seen: an EOL once a one arrives
    bool skipOnes_ = false;  // after a code error: ones are ignored up to the next zero
    bool waitEol_ = true;    // nothing before the page's first EOL counts
    bool ended_ = false;
    bool stopped_ = false;
    unsigned eolCount_ = 0;
    unsigned errors_ = 0;
    unsigned lines_ = 0;
    unsigned pos_ = 0;    // pixel position in the line buffer
    unsigned dirty_ = 0;  // end of the last black run in the line buffer
    // The line buffer with slack: a black run that passes the fit test may end a few pixels
    // past 512 bytes.
    std::array<uint8_t, kLineBufferSize + 16> line_{};
};

namespace detail {
// The decoding of a page by walking the code trees one bit at a time, the plain reading of
// the rules that T4Decoder implements with tables. Kept as the reference for tests.
std::vector<std::vector<uint8_t>> decodePageBitwise(std::span<const uint8_t> data,
                                                    unsigned* codeErrors = nullptr);
}  // namespace detail

}  // namespace pellora::fax
