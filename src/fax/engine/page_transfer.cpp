#include "fax/engine/page_transfer.h"

#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <ctime>

#include "fax/engine/responses.h"
#include "fax/image/fax_errors.h"
#include "fax/image/t4.h"

namespace pellora::fax {

// --- EscapeWriter --------------------------------------------------------------------------

int EscapeWriter::flush() {
    if (buffer_.empty()) return 0;
    int rc = out_.write(buffer_.data(), static_cast<int>(buffer_.size()));
    buffer_.clear();
    return rc < 0 ? rc : 0;
}

int EscapeWriter::put(std::uint8_t byte) {
    buffer_.push_back(byte);
    return buffer_.size() >= kSize ? flush() : 0;
}

int EscapeWriter::writeUnit(std::span<const std::uint8_t> data) {
    for (std::uint8_t b : data) {
        if (int rc = put(b)) return rc;
        if (b == kDLE)
            if (int rc = put(b)) return rc;
    }
    return flush();
}

long EscapeWriter::writePaddedLine(std::span<const std::uint8_t> line, int minBytes) {
    if (int rc = writeUnit(line)) return rc;
    long pad = std::clamp<long>(long(minBytes) - long(line.size()), 0, long(kSize));
    for (long i = 0; i < pad; ++i)
        if (int rc = put(0)) return rc;
    if (int rc = flush()) return rc;
    return std::max<long>(long(line.size()), minBytes);
}

int EscapeWriter::writeRaw(std::span<const std::uint8_t> data) {
    for (std::uint8_t b : data)
        if (int rc = put(b)) return rc;
    return flush();
}

int EscapeWriter::writeBlankLine(int minBytes) {
    for (std::uint8_t b : kBlankScanLine)
        if (int rc = put(b)) return rc;
    if (minBytes >= 7)
        for (int i = 0; i < minBytes - 5; ++i)
            if (int rc = put(0)) return rc;
    return flush();
}

int EscapeWriter::topUp(int bufferMinimum) {
    int missing = std::min<int>(bufferMinimum - out_.outputUsed(), int(kSize));
    for (int i = 0; i < missing; ++i)
        if (int rc = put(0)) return rc;
    return flush();
}

// --- PageSource ----------------------------------------------------------------------------

std::string withDefaultExtension(const std::string& name, const std::string& ext) {
    std::size_t slash = name.find_last_of("\\/");
    std::size_t dot = name.rfind('.');
    bool hasExt = dot != std::string::npos && (slash == std::string::npos || dot > slash);
    return hasExt ? name : name + "." + ext;
}

int PageSource::open(const std::string& name, const std::string& ext) {
    close();
    name_ = withDefaultExtension(name, ext);
    if (name.empty()) return ecFileNotFound;
    errno = 0;
    file_ = std::fopen(name_.c_str(), "rb");
    if (!file_) return ioErrorCode(errno ? errno : ENOENT, false);
    std::uint8_t raw[kPlfHeaderSize];
    errno = 0;
    if (std::fread(raw, 1, sizeof raw, file_) != sizeof raw) {
        int rc = std::ferror(file_) ? ioErrorCode(errno ? errno : EIO, false) : ecFaxBadFormat;
        close();
        return rc;
    }
    if (!header_.decode(raw)) {
        close();
        return ecFaxBadFormat;
    }
    return 0;
}

void PageSource::close() {
    if (file_) std::fclose(file_);
    file_ = nullptr;
}

int PageSource::seekPage(unsigned n) {
    if (!file_) return ecInvalidHandle;
    if (n == 0 || n > header_.pageCount) return ecReadBeyondEof;
    long pos = static_cast<long>(header_.firstPageOffset);
    for (unsigned i = 1; i < n; ++i) {
        std::uint8_t ph[kPlfPageHeaderSize];
        if (std::fseek(file_, pos, SEEK_SET) != 0) return ioErrorCode(errno, false);
        if (std::fread(ph, 1, sizeof ph, file_) != sizeof ph) return ecReadBeyondEof;
        std::uint32_t len = std::uint32_t(ph[0]) | std::uint32_t(ph[1]) << 8 |
                            std::uint32_t(ph[2]) << 16 | std::uint32_t(ph[3]) << 24;
        pos += static_cast<long>(kPlfPageHeaderSize + len);
    }
    if (std::fseek(file_, pos, SEEK_SET) != 0) return ioErrorCode(errno, false);
    return 0;
}

int PageSource::readPageHeader() {
    if (!file_) return ecInvalidHandle;
    std::uint8_t ph[kPlfPageHeaderSize];
    errno = 0;
    if (std::fread(ph, 1, sizeof ph, file_) != sizeof ph)
        return std::ferror(file_) ? ioErrorCode(errno ? errno : EIO, false) : ecReadBeyondEof;
    page_.imageLength = std::uint32_t(ph[0]) | std::uint32_t(ph[1]) << 8 |
                        std::uint32_t(ph[2]) << 16 | std::uint32_t(ph[3]) << 24;
    page_.pageFlags = std::uint16_t(ph[4] | ph[5] << 8);
    read_ = 0;
    return 0;
}

int PageSource::readUnit(std::vector<std::uint8_t>& unit, int minBytes, long* counted) {
    unit.clear();
    *counted = 0;
    if (!file_) return ecInvalidHandle;
    long left = long(page_.imageLength) - read_;
    if (left <= 0) return 0;
    errno = 0;
    if (page_.lengthWords()) {
        std::uint8_t lw[2];
        if (std::fread(lw, 1, 2, file_) != 2)
            return std::ferror(file_) ? ioErrorCode(errno ? errno : EIO, false) : ecReadBeyondEof;
        std::size_t n = std::min<std::size_t>(std::size_t(lw[0] | lw[1] << 8), 4096);
        unit.resize(n);
        if (n && std::fread(unit.data(), 1, n, file_) != n)
            return std::ferror(file_) ? ioErrorCode(errno ? errno : EIO, false) : ecReadBeyondEof;
        // A coded line is stored with one whole zero byte of fill after its codes. On the line
        // that byte is only time: the next line's EOL brings fill bits of its own, four more
        // than any code can need (no code ends in more than three zero bits). Padding to the
        // minimum line length, when it is wanted, comes back below.
        if (unit.size() >= 2 && unit.back() == 0) unit.pop_back();
        if (unit.size() < std::size_t(std::max(minBytes, 0))) unit.resize(std::size_t(minBytes), 0);
        *counted = long(n) + 2;
    } else {
        std::size_t n = std::size_t(std::min<long>(left, 4096));
        unit.resize(n);
        if (std::fread(unit.data(), 1, n, file_) != n)
            return std::ferror(file_) ? ioErrorCode(errno ? errno : EIO, false) : ecReadBeyondEof;
        *counted = long(n);
    }
    read_ += *counted;
    // A padded empty record still counts as a unit.
    return unit.empty() ? 1 : static_cast<int>(unit.size());
}

// --- page data pump ------------------------------------------------------------------------

int pumpPageData(PageSource& source, EscapeWriter& writer, PageOutput& out, PumpState& state,
                 Clock& clock, long statusIntervalSeconds, const std::function<void()>& statusDue) {
    ClockMs timerEnd = clock.now() + 3 * statusIntervalSeconds * 1000;
    std::vector<std::uint8_t> unit;
    for (int i = 0; i < state.maxSendCount; ++i) {
        if (out.outputUsed() > state.bufferMinimum || out.outputFree() < 4096) break;
        if (clock.now() >= timerEnd) {
            if (statusDue) statusDue();
            timerEnd = clock.now() + 2 * statusIntervalSeconds * 1000;
        }
        if (state.bytesTransferred < state.pageLength) {
            long counted = 0;
            int rc = source.readUnit(unit, state.minBytesPerLine, &counted);
            if (rc < 0) return rc;
            if (rc == 0) {  // the file ended before ImageLength: the page is what there was
                state.bytesTransferred = state.pageLength;
                continue;
            }
            if (int w = writer.writeUnit(unit)) return w;
            state.bytesTransferred += counted;
        } else {
            if (state.appendDleEtx) {
                const std::uint8_t end[2] = {kDLE, kETX};
                if (int w = writer.writeRaw(end)) return w;
            }
            return prPageDone;
        }
    }
    return prMore;
}

// --- header line -----------------------------------------------------------------------------

int headerPageNumber(int currentPage, int coverPages, bool sendingCover) {
    if (sendingCover) return 1;
    return coverPages > 0 ? currentPage + 1 : currentPage;
}

namespace {
std::string localTimeText(const char* format) {
    std::time_t now = std::time(nullptr);
    std::tm tm{};
    localtime_r(&now, &tm);
    char buf[64];
    std::size_t n = std::strftime(buf, sizeof buf, format, &tm);
    return std::string(buf, n);
}

// A value must not bring a '$' back into the text, or expansion would never end.
std::string withoutDollars(std::string v) {
    std::erase(v, '$');
    return v;
}
}  // namespace

std::string expandTags(std::string_view text, const TagValues& values) {
    std::string out(text);
    for (std::size_t at = out.find('$'); at != std::string::npos; at = out.find('$')) {
        // The tag is the '$', its letter and the letters and digits that follow, so that
        // "$P/$N" and "($I)" keep their punctuation.
        std::size_t end = at + 1;
        while (end < out.size() && std::isalnum(static_cast<unsigned char>(out[end]))) ++end;
        char letter = at + 1 < out.size() ? static_cast<char>(std::toupper(static_cast<unsigned char>(out[at + 1]))) : 0;
        std::string value;
        switch (letter) {
            case 'D': value = values.date.empty() ? localTimeText("%x") : values.date; break;
            case 'T': value = values.time.empty() ? localTimeText("%X") : values.time; break;
            case 'F': value = values.sender; break;
            case 'I': value = values.stationId; break;
            case 'N': value = std::to_string(values.totalPages); break;
            case 'P': value = std::to_string(values.pageNumber); break;
            case 'R': value = values.recipient; break;
            case 'S': value = values.title; break;
            default: break;
        }
        out.replace(at, end - at, withoutDollars(std::move(value)));
    }
    if (out.size() > 255) out.resize(255);
    return out;
}

long sendHeaderLine(const std::string& expandedText, LineRenderer* renderer, bool highResolution,
                    int lineWidth, EscapeWriter& writer, int minBytesPerLine, int bufferMinimum) {
    long counted = 0;
    if (renderer && !expandedText.empty())
        if (int rc = renderer->prepare(highResolution)) return rc;
    for (int i = 0; i < 8; ++i)
        if (int rc = writer.writeBlankLine(minBytesPerLine)) return rc;
    // The top-ups keep the modem fed while the text is drawn; with no text the page data
    // follows at once, and fill bytes would only cost line time.
    if (!renderer || expandedText.empty()) return counted;
    if (int rc = writer.topUp(bufferMinimum)) return rc;
    {
        T4Encoder encoder(lineWidth, 0);
        std::vector<std::uint8_t> raster(4096);
        for (int row = 0; row < renderer->rows(); ++row) {
            std::fill(raster.begin(), raster.end(), 0);
            renderer->drawRow(expandedText, row,
                              std::span<std::uint8_t>(raster.data(), std::size_t(lineWidth / 8)));
            auto coded = encoder.encodeLine(std::span<const std::uint8_t>(raster.data(), std::size_t(lineWidth / 8)));
            long n = writer.writePaddedLine(coded, minBytesPerLine);
            if (n < 0) return n;
            counted += n;
        }
        if (int rc = writer.topUp(bufferMinimum)) return rc;
    }
    return counted;
}

// --- received file ---------------------------------------------------------------------------

std::uint8_t reverseBits(std::uint8_t b) {
    b = std::uint8_t((b & 0xF0) >> 4 | (b & 0x0F) << 4);
    b = std::uint8_t((b & 0xCC) >> 2 | (b & 0x33) << 2);
    return std::uint8_t((b & 0xAA) >> 1 | (b & 0x55) << 1);
}

int ReceivedFile::create(const std::string& name, const std::string& remoteId) {
    close();
    name_ = name;
    header_ = PlfHeader{};
    header_.dateTime = dosDateTimeNow();
    header_.stationId = remoteId.substr(0, 20);
    header_.stationId.resize(20, ' ');
    header_.pageCount = 0;
    header_.firstPageOffset = kPlfHeaderSize;
    pageOffsets_.clear();
    errno = 0;
    file_ = name.empty() ? nullptr : std::fopen(name.c_str(), "w+b");
    if (!file_) return ioErrorCode(errno ? errno : ENOENT, true);
    auto raw = header_.encode();
    if (std::fwrite(raw.data(), 1, raw.size(), file_) != raw.size() || std::fflush(file_) != 0) {
        int rc = errno && errno != ENOSPC ? ioErrorCode(errno, true) : ecDeviceWriteError;
        close();
        return rc;
    }
    return 0;
}

void ReceivedFile::close() {
    pageOpen_ = false;
    if (file_) std::fclose(file_);
    file_ = nullptr;
    block_.clear();
}

int ReceivedFile::writeAt(long offset, const void* data, std::size_t n) {
    long back = std::ftell(file_);
    errno = 0;
    if (std::fseek(file_, offset, SEEK_SET) != 0) return ioErrorCode(errno, true);
    if (std::fwrite(data, 1, n, file_) != n) return errno ? ioErrorCode(errno, true) : ecDeviceWriteError;
    if (std::fseek(file_, back, SEEK_SET) != 0) return ioErrorCode(errno, true);
    return 0;
}

int ReceivedFile::startPage(bool highResolution, bool wide) {
    if (!file_) return ecInvalidHandle;
    if (int rc = flushBlock()) return rc;
    std::fseek(file_, 0, SEEK_END);
    pageOffsets_.push_back(std::ftell(file_));
    pageFlags_ = std::uint16_t((highResolution ? pfHighResolution : 0) | (wide ? pfWideWidth : 0));
    std::uint8_t ph[kPlfPageHeaderSize] = {};
    ph[4] = std::uint8_t(pageFlags_);
    errno = 0;
    if (std::fwrite(ph, 1, sizeof ph, file_) != sizeof ph)
        return errno ? ioErrorCode(errno, true) : ecDeviceWriteError;
    stored_ = 0;
    afterDLE_ = false;
    pageOpen_ = true;
    return 0;
}

int ReceivedFile::discardPage() {
    if (!file_ || !pageOpen_ || pageOffsets_.empty()) return 0;
    block_.clear();
    long at = pageOffsets_.back();
    pageOffsets_.pop_back();
    pageOpen_ = false;
    stored_ = 0;
    afterDLE_ = false;
    std::fflush(file_);
    errno = 0;
    if (::ftruncate(::fileno(file_), at) != 0 || std::fseek(file_, at, SEEK_SET) != 0)
        return ioErrorCode(errno ? errno : EIO, true);
    return 0;
}

int ReceivedFile::flushBlock() {
    if (block_.empty() || !file_) return 0;
    errno = 0;
    std::size_t n = std::fwrite(block_.data(), 1, block_.size(), file_);
    std::size_t want = block_.size();
    block_.clear();
    if (n != want) return errno && errno != ENOSPC ? ioErrorCode(errno, true) : ecDeviceWriteError;
    if (std::fflush(file_) != 0) return errno && errno != ENOSPC ? ioErrorCode(errno, true) : ecDeviceWriteError;
    return 0;
}

int ReceivedFile::store(const ByteSource& source, bool reverse, bool* pageEnded) {
    *pageEnded = false;
    if (!file_) return ecInvalidHandle;
    for (std::size_t taken = 0; taken < kMaxPerCall; ++taken) {
        int c = source();
        if (c < 0) break;
        auto byte = static_cast<std::uint8_t>(c);
        if (afterDLE_) {
            afterDLE_ = false;
            if (byte == kETX) {
                *pageEnded = true;
                return flushBlock();
            }
            // DLE DLE and DLE with anything else both keep the second byte.
        } else if (byte == kDLE) {
            afterDLE_ = true;
            continue;
        }
        block_.push_back(reverse ? reverseBits(byte) : byte);
        ++stored_;
        if (block_.size() >= kBlock)
            if (int rc = flushBlock()) return rc;
    }
    return 0;
}

int ReceivedFile::endPage(const std::string& remoteId) {
    if (!file_) return ecInvalidHandle;
    // Ending a page twice (a failure right after a page end) must not count it twice.
    if (!pageOpen_ || pageOffsets_.empty()) return 0;
    pageOpen_ = false;
    if (int rc = flushBlock()) return rc;
    header_.pageCount = std::uint16_t(header_.pageCount + 1);
    header_.stationId = remoteId.substr(0, 20);
    header_.stationId.resize(20, ' ');
    header_.dateTime = dosDateTimeNow();
    auto raw = header_.encode();
    if (int rc = writeAt(0, raw.data(), raw.size())) return rc;
    std::uint8_t ph[kPlfPageHeaderSize] = {};
    auto len = static_cast<std::uint32_t>(stored_);
    for (int i = 0; i < 4; ++i) ph[i] = std::uint8_t(len >> (8 * i));
    ph[4] = std::uint8_t(pageFlags_);
    if (int rc = writeAt(pageOffsets_.back(), ph, sizeof ph)) return rc;
    if (std::fflush(file_) != 0) return ecDeviceWriteError;
    return 0;
}

}  // namespace pellora::fax
