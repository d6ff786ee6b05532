// The converter's input readers. Each turns its input into raster lines for the fax coder:
// Open, then Get line until it answers the end of a page (and no more pages), then Close.
//
// The line buffer handed to Get line holds kLineBufferSize bytes, cleared to white before
// every call; of it the coder uses W/8 bytes (most significant bit leftmost, set bit black).
// A reader never answers a row and the end of a page in the same call: the row of a call
// that ends a page is not used.
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "fax/image/mono_bitmap.h"

namespace pellora::fax {

class MessagePump;

// Option bits of the converter (TFaxCvtOptions).
enum TFaxCvtOption : unsigned {
    coDoubleWidth = 1,
    coHalfHeight = 2,
    coCenterImage = 4,
    coYield = 8,
    coYieldOften = 16,
};
using TFaxCvtOptionsSet = unsigned;

inline constexpr std::size_t kLineBufferSize = 4096;

// What the readers need to know of the conversion.
struct ConvertSettings {
    TFaxCvtOptionsSet options = coDoubleWidth | coCenterImage | coYield;
    bool highResolution = false;
    int width = 1728;  // W
    int margin = 50;   // M
    MessagePump* pump = nullptr;
};

// Where an image of a given width goes on the fax line.
struct Placement {
    bool doubleWidth = false;  // every pixel coded twice
    bool halfHeight = false;   // only odd-numbered lines coded
    unsigned offset = 0;       // bytes the rows are moved to the right

    friend bool operator==(const Placement&, const Placement&) = default;
};

// Double width when asked for, at normal resolution, and the doubled image fits beside the
// margin; half height when asked for, at normal resolution, without double width; centred
// (in whole bytes) when asked for and the line is more than 15 pixels wider than the image.
Placement placeImage(const ConvertSettings& s, long imageWidth);

// Line of a reader's answer.
struct LineResult {
    unsigned len = 0;
    bool endOfPage = false;
    bool morePages = false;
};

class InputReader {
  public:
    virtual ~InputReader() = default;
    // 0 or a negative code; a reader that fails closes what it opened.
    virtual int open(const std::string& name) = 0;
    // Fills `line` (kLineBufferSize bytes); 0 or a negative code.
    virtual int getLine(std::span<uint8_t> line, LineResult* result) = 0;
    virtual void close() = 0;

    // Placement of the current page (image readers set it when they open an image).
    const Placement& placement() const { return placement_; }
    // Input consumed so far and in all, as each reader counts it.
    uint64_t bytesConverted() const { return bytesConverted_; }
    uint64_t bytesToConvert() const { return bytesToConvert_; }

  protected:
    Placement placement_;
    uint64_t bytesConverted_ = 0;
    uint64_t bytesToConvert_ = 0;
};

// A read-only input file with the sizes the readers need. Short reads are reported by the
// caller (each format has its own code for them).
class InputFile {
  public:
    InputFile() = default;
    ~InputFile() { close(); }
    InputFile(const InputFile&) = delete;
    InputFile& operator=(const InputFile&) = delete;

    int open(const std::string& name);  // 0 or the negated I/O code
    void close();
    bool isOpen() const { return f_ != nullptr; }
    uint64_t size() const { return size_; }
    int seek(uint64_t offset);  // 0 or -156
    // Reads up to n bytes; the count read, or a negative I/O code.
    long read(void* buf, std::size_t n);

  private:
    std::FILE* f_ = nullptr;
    uint64_t size_ = 0;
};

std::unique_ptr<InputReader> makeTiffReader(const ConvertSettings& s);
std::unique_ptr<InputReader> makePcxReader(const ConvertSettings& s);
std::unique_ptr<InputReader> makeDcxReader(const ConvertSettings& s);
std::unique_ptr<InputReader> makeBmpReader(const ConvertSettings& s);
// Reads `bitmap` (set bit black), which must outlive the reader. -1002 when it is missing
// or empty.
std::unique_ptr<InputReader> makeBitmapReader(const ConvertSettings& s, const MonoBitmap* bitmap);

// A BMP file decoded as the bitmap reader sees it. Exposed for tests and tools.
struct BmpImage {
    int width = 0, height = 0;
    int bitsPerPixel = 0;
    std::size_t stride = 0;  // bytes per stored row
    bool topDown = false;
    // Monochrome images: row bytes with set bits black (the palette applied).
    MonoBitmap mono;
    // Other depths: the file's bytes and where the pixels start; colours through colour().
    std::vector<uint8_t> data;
    std::size_t pixelOffset = 0;
    std::vector<uint32_t> palette;  // 0x00RRGGBB
    uint32_t masks[3] = {0, 0, 0};  // red, green, blue for 16- and 32-bit bitfields
    bool bitfields = false;

    // Colour of pixel (x, y), y counted from the top, as 0x00RRGGBB.
    uint32_t colour(int x, int y) const;
};
// Decodes a BMP file's bytes: -8002 for anything but a BMP of 1, 4, 8, 16, 24 or 32 bits
// per pixel, uncompressed, with bit fields, or run-length coded (4 and 8 bits).
int decodeBmp(std::vector<uint8_t> bytes, BmpImage* out);

// The colour path's 32 x 32 threshold matrix: a pixel is black when R + G + B is at most
// T[x mod 32][y mod 32].
int colourThreshold(int x, int y);

}  // namespace pellora::fax
