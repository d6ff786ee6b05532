// The fax unpacker: reads pages of a PLF file, decodes them and delivers raster lines, which
// it can collect into a page bitmap or write out as a PCX, DCX or BMP file.
//
// UnpackEngine is the working part (the viewer drives it directly); TFaxUnpacker is the
// component with properties and events, which raises the fax exceptions for failures.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "fax/image/mono_bitmap.h"
#include "fax/image/plf.h"
#include "fax/image/t4.h"

namespace pellora::fax {

class MessagePump;

class UnpackEngine {
  public:
    enum Flag : unsigned { ufYield = 1, ufDoubleHeight = 2, ufHalfWidth = 4, ufAbort = 8 };

    // Receives the page's lines between a Starting and an Ending call; a line of length 0 is
    // an empty (white) line. Returns 0, or a negative code that ends the unpack with it.
    using LineConsumer = std::function<int(bool starting, bool ending,
                                           std::span<const uint8_t> data, unsigned pageNum)>;
    using StatusConsumer = std::function<void(const std::string& fileName, unsigned pageNum,
                                              uint32_t bytesUnpacked, uint32_t bytesToUnpack)>;

    // Pages collected into bitmaps are limited to this many lines (after doubling); a longer
    // page fails with -8 rather than growing without end.
    static constexpr unsigned kMaxBitmapLines = 65536;
    // Scaled bitmaps are limited to this many bytes; larger ones fail with -8005.
    static constexpr uint64_t kMaxScaledBytes = uint64_t(256) << 20;

    UnpackEngine(LineConsumer lines = {}, StatusConsumer status = {});

    void setFlags(unsigned f);  // double height and half width exclude each other
    void clearFlags(unsigned f);
    unsigned flags() const { return flags_; }
    int setWhitespace(unsigned from, unsigned to);  // -1002 when to > from
    void setScaling(unsigned horizMult, unsigned horizDiv, unsigned vertMult, unsigned vertDiv);
    void setMessagePump(MessagePump* pump) { pump_ = pump; }
    void setLineConsumer(LineConsumer c) { lines_ = std::move(c); }
    void setStatusConsumer(StatusConsumer c) { status_ = std::move(c); }

    int readHeader(const std::string& fileName, PlfHeader* header);
    int locatePage(const std::string& fileName, unsigned page, PlfPageHeader* pageHeader);

    // Decodes one page through the line consumer.
    int unpackPage(const std::string& fileName, unsigned page);
    // Decodes one page into a bitmap trimmed at the right to its rightmost black byte (width
    // a multiple of 16 pixels) and scaled by the scale factors. A page without lines gives
    // an empty bitmap.
    int pageToBitmap(const std::string& fileName, unsigned page, MonoBitmap* out);

    int pageToPcxFile(const std::string& fileName, unsigned page, const std::string& outName);
    int pageToDcxFile(const std::string& fileName, unsigned page, const std::string& outName);
    int pageToBmpFile(const std::string& fileName, unsigned page, const std::string& outName);

    const PlfPageHeader& pageHeader() const { return pageHeader_; }
    unsigned codeErrors() const { return codeErrors_; }

  private:
    int deliver(std::span<const uint8_t> line);
    int pass(std::span<const uint8_t> line);
    int unpackWith(const std::string& fileName, unsigned page, const LineConsumer& consumer);
    int collect(const std::string& fileName, unsigned page, MonoBitmap* out);

    LineConsumer lines_;
    StatusConsumer status_;
    const LineConsumer* active_ = nullptr;
    MessagePump* pump_ = nullptr;
    unsigned flags_ = 0;
    unsigned wsFrom_ = 0, wsTo_ = 0, wsPending_ = 0;
    unsigned horizMult_ = 1, horizDiv_ = 1, vertMult_ = 1, vertDiv_ = 1;
    unsigned pageNum_ = 0;
    unsigned linesDecoded_ = 0;
    unsigned codeErrors_ = 0;
    PlfPageHeader pageHeader_;
    T4Decoder decoder_;
    std::vector<uint8_t> half_;
};

// Scales a bitmap to dstWidth x dstHeight. Enlarging repeats pixels; shrinking keeps a pixel
// black when any source pixel that falls on it is black, so thin strokes survive.
MonoBitmap scaleBitmap(const MonoBitmap& src, int dstWidth, int dstHeight);

// ---------------------------------------------------------------------------------------

enum TUnpackerOption : unsigned { uoYield = 1, uoAbort = 2 };
using TUnpackerOptionsSet = unsigned;
enum TAutoScaleMode { asNone, asDoubleHeight, asHalfWidth };

class TCustomFaxUnpacker;
using TUnpackOutputLineEvent =
    std::function<void(TCustomFaxUnpacker& sender, bool starting, bool ending,
                       std::span<const uint8_t> data, unsigned len, unsigned pageNum)>;
using TUnpackStatusEvent =
    std::function<void(TCustomFaxUnpacker& sender, const std::string& fName, unsigned pageNum,
                       uint32_t bytesUnpacked, uint32_t bytesToUnpack)>;

class TCustomFaxUnpacker {
  public:
    TCustomFaxUnpacker();
    virtual ~TCustomFaxUnpacker();

    TUnpackerOptionsSet Options() const { return options_; }
    void SetOptions(TUnpackerOptionsSet options);
    const std::string& InFileName() const { return inFileName_; }
    void SetInFileName(const std::string& name);
    unsigned HorizMult() const { return horizMult_; }
    unsigned HorizDiv() const { return horizDiv_; }
    unsigned VertMult() const { return vertMult_; }
    unsigned VertDiv() const { return vertDiv_; }
    void SetHorizMult(unsigned v) {
        if (v) horizMult_ = v;
    }
    void SetHorizDiv(unsigned v) {
        if (v) horizDiv_ = v;
    }
    void SetVertMult(unsigned v) {
        if (v) vertMult_ = v;
    }
    void SetVertDiv(unsigned v) {
        if (v) vertDiv_ = v;
    }

    bool WhitespaceCompression = false;
    unsigned WhitespaceFrom = 0;
    unsigned WhitespaceTo = 0;
    bool Scaling = false;
    TAutoScaleMode AutoScaleMode = asDoubleHeight;
    std::string OutFileName;
    TUnpackOutputLineEvent OnOutputLine;
    TUnpackStatusEvent OnStatus;

    // Where pending messages run while decoding with uoYield (none: no yielding).
    void SetMessagePump(MessagePump* pump) { pump_ = pump; }

    // PageCount of InFileName; 0 when the file cannot be read.
    unsigned GetPageCount();
    bool IsHighResolution();
    bool IsWide();
    MonoBitmap PageToBitmap(unsigned page);
    void PageToPcxFile(unsigned page);
    void PageToDcxFile(unsigned page);
    void PageToBmpFile(unsigned page);

    // The name an export writes: OutFileName with an extension as is, without one with
    // `ext` added, and when empty InFileName with its extension replaced by `ext`.
    std::string OutputName(const std::string& ext) const;

  protected:
    virtual void OutputLine(bool starting, bool ending, std::span<const uint8_t> data,
                            unsigned pageNum);
    virtual void Status(const std::string& fName, unsigned pageNum, uint32_t bytesUnpacked,
                        uint32_t bytesToUnpack);

  private:
    UnpackEngine& makeEngine();
    bool pageOneFlag(uint16_t flag);

    TUnpackerOptionsSet options_ = uoYield;
    std::string inFileName_;
    unsigned horizMult_ = 1, horizDiv_ = 1, vertMult_ = 1, vertDiv_ = 1;
    MessagePump* pump_ = nullptr;
    std::unique_ptr<UnpackEngine> engine_;
};

class TFaxUnpacker : public TCustomFaxUnpacker {};

}  // namespace pellora::fax
