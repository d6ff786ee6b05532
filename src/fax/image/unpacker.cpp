#include "fax/image/unpacker.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <cstring>
#include <filesystem>
#include <new>

#include "fax/image/fax_errors.h"
#include "fax/image/image_export.h"
#include "core_iface/message_pump.h"

namespace pellora::fax {
namespace {

// Each input byte squeezed to four pixels: output pixel k is black when input pixel 2k or
// 2k+1 is; the result sits in the low nibble, leftmost pixel in bit 3.
constexpr std::array<uint8_t, 256> makeHalfTable() {
    std::array<uint8_t, 256> t{};
    for (unsigned b = 0; b < 256; ++b) {
        uint8_t v = 0;
        for (unsigned k = 0; k < 4; ++k)
            if (b & (0xC0u >> (2 * k))) v = uint8_t(v | (0x08u >> k));
        t[b] = v;
    }
    return t;
}
constexpr std::array<uint8_t, 256> kHalf = makeHalfTable();

bool allZero(std::span<const uint8_t> line) {
    for (uint8_t b : line)
        if (b) return false;
    return true;
}

}  // namespace

UnpackEngine::UnpackEngine(LineConsumer lines, StatusConsumer status)
    : lines_(std::move(lines)), status_(std::move(status)) {}

void UnpackEngine::setFlags(unsigned f) {
    if (f & ufDoubleHeight) flags_ &= ~unsigned(ufHalfWidth);
    if (f & ufHalfWidth) flags_ &= ~unsigned(ufDoubleHeight);
    flags_ |= f;
    if ((flags_ & ufDoubleHeight) && (flags_ & ufHalfWidth)) flags_ &= ~unsigned(ufHalfWidth);
}

void UnpackEngine::clearFlags(unsigned f) {
    flags_ &= ~f;
}

int UnpackEngine::setWhitespace(unsigned from, unsigned to) {
    if (to > from) return ecBadArgument;
    wsFrom_ = from;
    wsTo_ = to;
    return 0;
}

void UnpackEngine::setScaling(unsigned hm, unsigned hd, unsigned vm, unsigned vd) {
    horizMult_ = hm ? hm : 1;
    horizDiv_ = hd ? hd : 1;
    vertMult_ = vm ? vm : 1;
    vertDiv_ = vd ? vd : 1;
}

int UnpackEngine::readHeader(const std::string& fileName, PlfHeader* header) {
    PlfReader r;
    int rc = r.open(fileName);
    if (rc == 0 && header) *header = r.header();
    return rc;
}

int UnpackEngine::locatePage(const std::string& fileName, unsigned page, PlfPageHeader* ph) {
    PlfReader r;
    if (int rc = r.open(fileName)) return rc;
    return r.locatePage(page, ph);
}

// Applies resolution correction and hands the line on.
int UnpackEngine::pass(std::span<const uint8_t> line) {
    const LineConsumer& consumer = *active_;
    if (!pageHeader_.highResolution()) {
        if (flags_ & ufDoubleHeight) {
            if (int rc = consumer(false, false, line, pageNum_)) return rc;
        } else if ((flags_ & ufHalfWidth) && !line.empty()) {
            const std::size_t n = line.size() / 2;
            half_.resize(n);
            for (std::size_t i = 0; i < n; ++i)
                half_[i] = uint8_t((kHalf[line[2 * i]] << 4) | kHalf[line[2 * i + 1]]);
            return consumer(false, false, half_, pageNum_);
        }
    }
    return consumer(false, false, line, pageNum_);
}

// Whitespace compression: runs of blank lines are held back; a run of at least From blank
// lines comes out as To empty lines, a shorter one as it was (as empty lines).
int UnpackEngine::deliver(std::span<const uint8_t> line) {
    const bool compress = wsFrom_ > 0 && wsTo_ > 0;
    if (compress && allZero(line)) {
        ++wsPending_;
        return 0;
    }
    if (compress && wsPending_ > 0) {
        const unsigned n = wsPending_ >= wsFrom_ ? wsTo_ : wsPending_;
        wsPending_ = 0;
        for (unsigned i = 0; i < n; ++i)
            if (int rc = pass({})) return rc;
    }
    return pass(line);
}

int UnpackEngine::unpackWith(const std::string& fileName, unsigned page,
                             const LineConsumer& consumer) {
    codeErrors_ = 0;
    linesDecoded_ = 0;
    wsPending_ = 0;
    PlfReader reader;
    if (int rc = reader.open(fileName)) return rc;
    if (int rc = reader.locatePage(page, &pageHeader_)) return rc;
    pageNum_ = page;
    active_ = &consumer;
    if (int rc = consumer(true, false, {}, page)) return rc;

    decoder_.startPage();
    int result = 0;
    auto sink = [&](std::span<const uint8_t> line) {
        ++linesDecoded_;
        if (int rc = deliver(line)) {
            result = rc;
            return false;
        }
        if ((flags_ & ufYield) && pump_ && linesDecoded_ % 16 == 0 && !pump_->processPending()) {
            result = ecGotQuitMsg;
            return false;
        }
        return (flags_ & ufAbort) == 0;
    };
    for (;;) {
        std::span<const uint8_t> chunk;
        const int rc = reader.readChunk(chunk);
        if (rc < 0) return rc;
        if (rc == 0) break;  // ImageLength consumed
        decoder_.decode(chunk, sink);
        if (result) return result;
        if (status_)
            status_(fileName, page, std::min(reader.bytesRead(), pageHeader_.imageLength),
                    pageHeader_.imageLength);
        if (decoder_.pageEnded() || decoder_.stopped() || (flags_ & ufAbort)) break;
    }
    codeErrors_ = decoder_.codeErrors();

    if (wsPending_ > 0 && wsFrom_ != wsTo_) {
        const unsigned n = wsPending_ >= wsFrom_ ? wsTo_ : wsPending_;
        wsPending_ = 0;
        for (unsigned i = 0; i < n; ++i)
            if (int rc = pass({})) return rc;
    }
    return consumer(false, true, {}, page);
}

int UnpackEngine::unpackPage(const std::string& fileName, unsigned page) {
    static const LineConsumer none = [](bool, bool, std::span<const uint8_t>, unsigned) {
        return 0;
    };
    return unpackWith(fileName, page, lines_ ? lines_ : none);
}

int UnpackEngine::collect(const std::string& fileName, unsigned page, MonoBitmap* out) {
    std::vector<uint8_t> store;
    std::size_t slot = 216;
    unsigned count = 0;
    std::size_t widest = 1;
    LineConsumer collector = [&](bool starting, bool ending, std::span<const uint8_t> data,
                                 unsigned) -> int {
        if (starting) {
            slot = pageHeader_.wide() ? 256 : 216;
            count = 0;
            widest = 1;
            try {
                store.assign(slot * 1024, 0);
            } catch (const std::bad_alloc&) {
                return ecOutOfMemory;
            }
            return 0;
        }
        if (ending) return 0;
        if (count >= kMaxBitmapLines) return ecOutOfMemory;
        if (count > 0 && count % 1024 == 0) {
            try {
                store.resize(store.size() + slot * 1024, 0);
            } catch (const std::bad_alloc&) {
                return ecOutOfMemory;
            }
        }
        uint8_t* dst = store.data() + std::size_t(count) * slot;
        const std::size_t n = std::min(data.size(), slot);
        if (n) std::memcpy(dst, data.data(), n);
        for (std::size_t i = n; i-- > 0;)
            if (dst[i]) {
                widest = std::max(widest, i + 1);
                break;
            }
        ++count;
        return 0;
    };
    if (int rc = unpackWith(fileName, page, collector)) return rc;

    if (count == 0) {
        *out = MonoBitmap();
        return 0;
    }
    const std::size_t wb = (widest + 1) & ~std::size_t(1);
    MonoBitmap bm;
    try {
        bm = MonoBitmap(int(wb * 8), int(count));
    } catch (const std::bad_alloc&) {
        return ecCantMakeBitmap;
    }
    for (unsigned y = 0; y < count; ++y)
        std::memcpy(bm.row(int(y)).data(), store.data() + std::size_t(y) * slot, wb);
    store.clear();
    store.shrink_to_fit();

    if (horizMult_ != horizDiv_ || vertMult_ != vertDiv_) {
        const uint64_t w = uint64_t(bm.width()) * horizMult_ / horizDiv_;
        const uint64_t h = uint64_t(count) * vertMult_ / vertDiv_;
        if (w == 0 || h == 0 || w > INT32_MAX || h > INT32_MAX ||
            ((w + 15) / 16 * 2) * h > kMaxScaledBytes)
            return ecCantMakeBitmap;
        try {
            bm = scaleBitmap(bm, int(w), int(h));
        } catch (const std::bad_alloc&) {
            return ecCantMakeBitmap;
        }
    }
    *out = std::move(bm);
    return 0;
}

int UnpackEngine::pageToBitmap(const std::string& fileName, unsigned page, MonoBitmap* out) {
    return collect(fileName, page, out);
}

int UnpackEngine::pageToPcxFile(const std::string& fileName, unsigned page,
                                const std::string& outName) {
    MonoBitmap bm;
    if (int rc = collect(fileName, page, &bm)) return rc;
    if (bm.empty()) return ecCantMakeBitmap;
    return writeWholeFile(outName, encodePcx(bm));
}

int UnpackEngine::pageToDcxFile(const std::string& fileName, unsigned page,
                                const std::string& outName) {
    MonoBitmap bm;
    if (int rc = collect(fileName, page, &bm)) return rc;
    if (bm.empty()) return ecCantMakeBitmap;
    return writeWholeFile(outName, encodeDcx(bm));
}

int UnpackEngine::pageToBmpFile(const std::string& fileName, unsigned page,
                                const std::string& outName) {
    MonoBitmap bm;
    if (int rc = collect(fileName, page, &bm)) return rc;
    std::vector<uint8_t> bytes;
    if (int rc = encodeBmp(bm, &bytes)) return rc;
    return writeWholeFile(outName, bytes);
}

MonoBitmap scaleBitmap(const MonoBitmap& src, int dstWidth, int dstHeight) {
    // Rows rounded up to an even number of bytes, as page bitmaps are.
    const std::size_t stride = std::size_t((dstWidth + 15) / 16) * 2;
    MonoBitmap dst(dstWidth, dstHeight, stride);
    if (src.empty() || dst.empty()) return dst;
    const int sw = src.width(), sh = src.height();
    // Source column range of each destination column.
    std::vector<int> x0(static_cast<std::size_t>(dstWidth)), x1(static_cast<std::size_t>(dstWidth));
    for (int x = 0; x < dstWidth; ++x) {
        x0[x] = int(int64_t(x) * sw / dstWidth);
        x1[x] = std::max(x0[x] + 1, int(int64_t(x + 1) * sw / dstWidth));
    }
    std::vector<uint8_t> merged(src.stride());
    for (int y = 0; y < dstHeight; ++y) {
        const int ya = int(int64_t(y) * sh / dstHeight);
        const int yb = std::max(ya + 1, int(int64_t(y + 1) * sh / dstHeight));
        std::fill(merged.begin(), merged.end(), uint8_t(0));
        for (int sy = ya; sy < yb && sy < sh; ++sy) {
            auto r = src.row(sy);
            for (std::size_t i = 0; i < merged.size(); ++i) merged[i] |= r[i];
        }
        auto out = dst.row(y);
        for (int x = 0; x < dstWidth; ++x) {
            bool black = false;
            for (int sx = x0[x]; sx < x1[x] && sx < sw && !black; ++sx)
                black = (merged[std::size_t(sx >> 3)] >> (7 - (sx & 7))) & 1;
            if (black) out[std::size_t(x >> 3)] |= uint8_t(0x80u >> (x & 7));
        }
    }
    return dst;
}

// ---------------------------------------------------------------------------------------

TCustomFaxUnpacker::TCustomFaxUnpacker() = default;
TCustomFaxUnpacker::~TCustomFaxUnpacker() = default;

void TCustomFaxUnpacker::SetOptions(TUnpackerOptionsSet options) {
    options_ = options;
    if (engine_) {
        // Called from an event during an operation: steer the running engine.
        if (options & uoYield)
            engine_->setFlags(UnpackEngine::ufYield);
        else
            engine_->clearFlags(UnpackEngine::ufYield);
        if (options & uoAbort) engine_->setFlags(UnpackEngine::ufAbort);
    }
}

namespace {
bool sameNameIgnoringCase(const std::string& a, const std::string& b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (std::tolower(static_cast<unsigned char>(a[i])) !=
            std::tolower(static_cast<unsigned char>(b[i])))
            return false;
    return true;
}
}  // namespace

void TCustomFaxUnpacker::SetInFileName(const std::string& name) {
    if (sameNameIgnoringCase(name, inFileName_)) return;
    inFileName_ = name;
    std::filesystem::path p(name);
    OutFileName = p.replace_extension().string();
}

std::string TCustomFaxUnpacker::OutputName(const std::string& ext) const {
    if (OutFileName.empty()) {
        std::filesystem::path p(inFileName_);
        return p.replace_extension(ext).string();
    }
    std::filesystem::path p(OutFileName);
    if (p.has_extension()) return OutFileName;
    return OutFileName + "." + ext;
}

void TCustomFaxUnpacker::OutputLine(bool starting, bool ending, std::span<const uint8_t> data,
                                    unsigned pageNum) {
    if (OnOutputLine) OnOutputLine(*this, starting, ending, data, unsigned(data.size()), pageNum);
}

void TCustomFaxUnpacker::Status(const std::string& fName, unsigned pageNum, uint32_t bytesUnpacked,
                                uint32_t bytesToUnpack) {
    if (OnStatus) OnStatus(*this, fName, pageNum, bytesUnpacked, bytesToUnpack);
}

UnpackEngine& TCustomFaxUnpacker::makeEngine() {
    engine_ = std::make_unique<UnpackEngine>(
        [this](bool starting, bool ending, std::span<const uint8_t> data, unsigned page) {
            OutputLine(starting, ending, data, page);
            return 0;
        },
        [this](const std::string& f, unsigned page, uint32_t done, uint32_t total) {
            Status(f, page, done, total);
        });
    unsigned f = 0;
    if (options_ & uoYield) f |= UnpackEngine::ufYield;
    if (options_ & uoAbort) f |= UnpackEngine::ufAbort;
    if (AutoScaleMode == asDoubleHeight) f |= UnpackEngine::ufDoubleHeight;
    if (AutoScaleMode == asHalfWidth) f |= UnpackEngine::ufHalfWidth;
    engine_->setFlags(f);
    engine_->setMessagePump(pump_);
    if (WhitespaceCompression) raiseFaxError(engine_->setWhitespace(WhitespaceFrom, WhitespaceTo));
    if (Scaling) engine_->setScaling(horizMult_, horizDiv_, vertMult_, vertDiv_);
    return *engine_;
}

unsigned TCustomFaxUnpacker::GetPageCount() {
    PlfHeader h;
    if (makeEngine().readHeader(inFileName_, &h) != 0) return 0;
    return h.pageCount;
}

bool TCustomFaxUnpacker::pageOneFlag(uint16_t flag) {
    PlfPageHeader ph;
    raiseFaxError(makeEngine().locatePage(inFileName_, 1, &ph));
    return (ph.pageFlags & flag) != 0;
}

bool TCustomFaxUnpacker::IsHighResolution() {
    return pageOneFlag(pfHighResolution);
}
bool TCustomFaxUnpacker::IsWide() {
    return pageOneFlag(pfWideWidth);
}

MonoBitmap TCustomFaxUnpacker::PageToBitmap(unsigned page) {
    MonoBitmap bm;
    raiseFaxError(makeEngine().pageToBitmap(inFileName_, page, &bm));
    return bm;
}

void TCustomFaxUnpacker::PageToPcxFile(unsigned page) {
    raiseFaxError(makeEngine().pageToPcxFile(inFileName_, page, OutputName("PCX")));
}

void TCustomFaxUnpacker::PageToDcxFile(unsigned page) {
    raiseFaxError(makeEngine().pageToDcxFile(inFileName_, page, OutputName("DCX")));
}

void TCustomFaxUnpacker::PageToBmpFile(unsigned page) {
    raiseFaxError(makeEngine().pageToBmpFile(inFileName_, page, OutputName("BMP")));
}

}  // namespace pellora::fax
