#include "fax/image/plf.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <system_error>

#include "fax/image/fax_errors.h"
#include "fax/image/output_file.h"
#include "fax/image/t4.h"

namespace pellora::fax {
namespace {

constexpr std::size_t kStationIdMax = 20;

void put16(uint8_t* p, uint16_t v) {
    p[0] = uint8_t(v);
    p[1] = uint8_t(v >> 8);
}
void put32(uint8_t* p, uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = uint8_t(v >> (8 * i));
}
uint16_t get16(const uint8_t* p) {
    return uint16_t(p[0] | (p[1] << 8));
}
uint32_t get32(const uint8_t* p) {
    return uint32_t(p[0]) | (uint32_t(p[1]) << 8) | (uint32_t(p[2]) << 16) | (uint32_t(p[3]) << 24);
}

int seekTo(std::FILE* f, uint64_t offset) {
    if (offset > uint64_t(INT64_MAX)) return ecSeekError;
    if (fseeko(f, off_t(offset), SEEK_SET) != 0) return ioErrorCode(errno, false);
    return 0;
}

// Reads exactly n bytes; a short read is a read beyond the end of the file.
int readExact(std::FILE* f, void* buf, std::size_t n) {
    errno = 0;
    if (std::fread(buf, 1, n, f) == n) return 0;
    if (std::ferror(f)) return ioErrorCode(errno ? errno : EIO, false);
    return ecReadBeyondEof;
}

int writeExact(std::FILE* f, const void* buf, std::size_t n) {
    errno = 0;
    if (n == 0 || std::fwrite(buf, 1, n, f) == n) return 0;
    return ioErrorCode(errno ? errno : EIO, true);
}

// Opens for reading: -2 for an empty name or a missing file.
int openFile(const std::string& name, const char* mode, std::FILE** out) {
    *out = nullptr;
    if (name.empty()) return ecFileNotFound;
    errno = 0;
    std::FILE* f = std::fopen(name.c_str(), mode);
    if (!f) return ioErrorCode(errno ? errno : ENOENT, false);
    *out = f;
    return 0;
}

int sizeOf(std::FILE* f, uint64_t* size) {
    if (fseeko(f, 0, SEEK_END) != 0) return ioErrorCode(errno, false);
    off_t end = ftello(f);
    if (end < 0) return ioErrorCode(errno, false);
    *size = uint64_t(end);
    if (fseeko(f, 0, SEEK_SET) != 0) return ioErrorCode(errno, false);
    return 0;
}

// Reads the header of an open PLF file and walks its chain of pages, checking that every
// page lies inside the file. `chainEnd` is the end of the last page's data.
int walkChain(std::FILE* f, uint64_t size, PlfHeader* header, uint64_t* chainEnd) {
    uint8_t raw[kPlfHeaderSize];
    if (size < kPlfHeaderSize) return ecFaxBadFormat;
    if (int rc = seekTo(f, 0)) return rc;
    if (int rc = readExact(f, raw, sizeof raw)) return rc;
    if (!header->decode(raw)) return ecFaxBadFormat;
    uint64_t pos = header->firstPageOffset;
    for (unsigned k = 0; k < header->pageCount; ++k) {
        if (pos + kPlfPageHeaderSize > size) return ecFaxBadFormat;
        uint8_t ph[kPlfPageHeaderSize];
        if (int rc = seekTo(f, pos)) return rc;
        if (int rc = readExact(f, ph, sizeof ph)) return rc;
        pos += kPlfPageHeaderSize + get32(ph);
        if (pos > size) return ecFaxBadFormat;
    }
    if (header->pageCount == 0 && pos > size) return ecFaxBadFormat;
    *chainEnd = pos;
    return 0;
}

}  // namespace

// ---------------------------------------------------------------------------------------

std::vector<uint8_t> PlfHeader::encode() const {
    std::vector<uint8_t> b(kPlfHeaderSize, 0);
    std::memcpy(b.data(), kPlfSignature, 6);
    put32(&b[6], dateTime);
    const std::size_t n = std::min(stationId.size(), kStationIdMax);
    b[10] = uint8_t(n);
    std::memset(&b[11], ' ', kStationIdMax);
    std::memcpy(&b[11], stationId.data(), n);
    put16(&b[32], pageCount);
    put32(&b[34], firstPageOffset);
    return b;
}

bool PlfHeader::decode(std::span<const uint8_t> b) {
    if (b.size() < kPlfHeaderSize || std::memcmp(b.data(), kPlfSignature, 6) != 0) return false;
    dateTime = get32(&b[6]);
    const std::size_t n = std::min<std::size_t>(b[10], kStationIdMax);
    stationId.assign(reinterpret_cast<const char*>(&b[11]), n);
    pageCount = get16(&b[32]);
    firstPageOffset = get32(&b[34]);
    return true;
}

uint32_t dosDateTime(const std::tm& t) {
    const int year = t.tm_year + 1900;
    if (year < 1980 || year > 2099) return 0;
    return uint32_t(t.tm_sec / 2) | (uint32_t(t.tm_min) << 5) | (uint32_t(t.tm_hour) << 11) |
           (uint32_t(t.tm_mday) << 16) | (uint32_t(t.tm_mon + 1) << 21) |
           (uint32_t(year - 1980) << 25);
}

uint32_t dosDateTimeNow() {
    std::time_t now = std::time(nullptr);
    std::tm local{};
    if (!localtime_r(&now, &local)) return 0;
    return dosDateTime(local);
}

bool isPlfFile(const std::string& name) {
    std::FILE* f = nullptr;
    if (openFile(name, "rb", &f) != 0) return false;
    char sig[6];
    const bool ok = std::fread(sig, 1, 6, f) == 6 && std::memcmp(sig, kPlfSignature, 6) == 0;
    std::fclose(f);
    return ok;
}

// ---------------------------------------------------------------------------------------

int PlfReader::fail(int code) {
    close();
    return code;
}

void PlfReader::close() {
    if (file_) std::fclose(file_);
    file_ = nullptr;
    pageLocated_ = false;
}

int PlfReader::readAt(uint64_t offset, void* buf, std::size_t n) {
    if (int rc = seekTo(file_, offset)) return rc;
    return readExact(file_, buf, n);
}

int PlfReader::open(const std::string& name) {
    close();
    header_ = PlfHeader{};
    if (int rc = openFile(name, "rb", &file_)) return rc;
    if (int rc = sizeOf(file_, &size_)) return fail(rc);
    uint8_t raw[kPlfHeaderSize];
    if (size_ < kPlfHeaderSize) return fail(ecFaxBadFormat);
    if (int rc = readExact(file_, raw, sizeof raw)) return fail(rc);
    if (!header_.decode(raw)) return fail(ecFaxBadFormat);
    return 0;
}

int PlfReader::locatePage(unsigned k, PlfPageHeader* page) {
    if (!file_) return ecFaxBadFormat;
    pageLocated_ = false;
    if (k == 0) return 0;
    if (k > header_.pageCount) return ecFaxBadFormat;
    uint64_t pos = header_.firstPageOffset;
    PlfPageHeader ph;
    for (unsigned i = 1; i <= k; ++i) {
        if (pos + kPlfPageHeaderSize > size_) return ecFaxBadFormat;
        uint8_t raw[kPlfPageHeaderSize];
        if (int rc = readAt(pos, raw, sizeof raw)) return fail(rc);
        ph.imageLength = get32(raw);
        ph.pageFlags = get16(raw + 4);
        if (i < k) pos += kPlfPageHeaderSize + uint64_t(ph.imageLength);
    }
    page_ = ph;
    pageData_ = pos + kPlfPageHeaderSize;
    pageRead_ = 0;
    pageLocated_ = true;
    if (page) *page = ph;
    return 0;
}

int PlfReader::readChunk(std::span<const uint8_t>& chunk) {
    chunk = {};
    if (!file_ || !pageLocated_) return ecFaxBadFormat;
    if (pageRead_ >= page_.imageLength) return 0;
    const uint32_t left = page_.imageLength - pageRead_;
    const uint64_t at = pageData_ + pageRead_;
    if (page_.lengthWords()) {
        if (left < 2 || at + 2 > size_) return ecFaxBadFormat;
        uint8_t lw[2];
        if (int rc = readAt(at, lw, 2)) return fail(rc);
        const uint32_t n = get16(lw);
        // Writers never produce a record longer than the coding buffer, nor one that runs
        // into the next page: such a page is damaged.
        if (n > kPlfMaxRecord || n > left - 2 || at + 2 + n > size_) return ecFaxBadFormat;
        buf_.resize(n);
        if (n) {
            if (int rc = readExact(file_, buf_.data(), n)) return fail(rc);
        }
        pageRead_ += 2 + n;
        chunk = {buf_.data(), n};
        return 1;
    }
    if (at >= size_) return ecFaxBadFormat;  // the data ends before ImageLength
    const uint64_t avail = std::min<uint64_t>(size_ - at, left);
    const std::size_t n = std::size_t(std::min<uint64_t>(avail, kPlfMaxRecord));
    buf_.resize(n);
    if (int rc = readAt(at, buf_.data(), n)) return fail(rc);
    pageRead_ += uint32_t(n);
    chunk = {buf_.data(), n};
    return 1;
}

// ---------------------------------------------------------------------------------------

PlfWriter::~PlfWriter() {
    if (file_) abandon();
}

int PlfWriter::fail(int code) {
    if (file_) {
        std::fclose(file_);
        file_ = nullptr;
        removeOutput(name_);
    }
    buf_.clear();
    buf_.shrink_to_fit();
    error_ = code;
    return code;
}

void PlfWriter::abandon() {
    if (file_) fail(ecFileNotFound);
}

void PlfWriter::setPageFlags(bool highResolution, bool wide) {
    flags_ = uint16_t(pfLengthWords | (highResolution ? pfHighResolution : 0) |
                      (wide ? pfWideWidth : 0));
}

int PlfWriter::create(const std::string& name) {
    if (file_) abandon();
    error_ = 0;
    pageCount_ = 0;
    inPage_ = false;
    name_ = name;
    if (name.empty()) return error_ = ecFileNotFound;
    errno = 0;
    file_ = std::fopen(name.c_str(), "w+b");
    if (!file_) return error_ = ioErrorCode(errno ? errno : EACCES, true);
    std::setvbuf(file_, nullptr, _IONBF, 0);  // we keep our own 4096-byte block
    buf_.clear();
    buf_.reserve(kPlfMaxRecord);
    PlfHeader h;
    auto raw = h.encode();
    return put(raw.data(), raw.size());
}

int PlfWriter::flush() {
    if (buf_.empty()) return 0;
    if (int rc = writeExact(file_, buf_.data(), buf_.size())) return fail(rc);
    buf_.clear();
    return 0;
}

// Small writes gather in a 4096-byte block; larger ones top the block up, write it, write
// whole blocks directly and keep the rest.
int PlfWriter::put(const void* data, std::size_t n) {
    if (error_) return error_;
    if (!file_) return ecFileNotFound;
    const uint8_t* p = static_cast<const uint8_t*>(data);
    if (buf_.size() + n < kPlfMaxRecord) {
        buf_.insert(buf_.end(), p, p + n);
        return 0;
    }
    const std::size_t top = kPlfMaxRecord - buf_.size();
    buf_.insert(buf_.end(), p, p + top);
    if (int rc = flush()) return rc;
    p += top;
    n -= top;
    const std::size_t whole = n - n % kPlfMaxRecord;
    if (whole) {
        if (int rc = writeExact(file_, p, whole)) return fail(rc);
        p += whole;
        n -= whole;
    }
    buf_.assign(p, p + n);
    return 0;
}

int PlfWriter::position(uint64_t* pos) {
    if (int rc = flush()) return rc;
    off_t at = ftello(file_);
    if (at < 0) return fail(ioErrorCode(errno, true));
    *pos = uint64_t(at);
    return 0;
}

int PlfWriter::writeAt(uint64_t offset, const void* data, std::size_t n) {
    if (int rc = flush()) return rc;
    if (int rc = seekTo(file_, offset)) return fail(rc);
    if (int rc = writeExact(file_, data, n)) return fail(rc);
    if (fseeko(file_, 0, SEEK_END) != 0) return fail(ioErrorCode(errno, true));
    return 0;
}

int PlfWriter::writeLine(std::span<const uint8_t> coded) {
    if (error_) return error_;
    if (!file_) return ecFileNotFound;
    if (coded.empty() || coded.size() > kPlfMaxRecord) return ecBadArgument;
    if (uint64_t(imageLength_) + 2 + coded.size() > UINT32_MAX && inPage_) return ecBadArgument;
    if (!inPage_) {
        // The page begins with its first record: its header is completed at the page's end.
        if (pageCount_ == UINT16_MAX) return ecBadArgument;
        if (int rc = position(&pageStart_)) return rc;
        pageFlags_ = flags_;
        imageLength_ = 0;
        uint8_t ph[kPlfPageHeaderSize] = {};
        put16(ph + 4, pageFlags_);
        if (int rc = put(ph, sizeof ph)) return rc;
        inPage_ = true;
    }
    uint8_t lw[2];
    put16(lw, uint16_t(coded.size()));
    if (int rc = put(lw, 2)) return rc;
    if (int rc = put(coded.data(), coded.size())) return rc;
    imageLength_ += uint32_t(2 + coded.size());
    return 0;
}

int PlfWriter::endPage() {
    if (error_) return error_;
    const auto& eop = T4Encoder::endOfPage();
    if (int rc = writeLine(eop)) return rc;
    ++pageCount_;
    uint8_t ph[kPlfPageHeaderSize] = {};
    put32(ph, imageLength_);
    put16(ph + 4, pageFlags_);
    inPage_ = false;
    return writeAt(pageStart_, ph, sizeof ph);
}

int PlfWriter::close() {
    if (error_) return error_;
    if (!file_) return ecFileNotFound;
    PlfHeader h;
    h.dateTime = dosDateTimeNow();
    h.stationId = stationId_.substr(0, kStationIdMax);
    h.pageCount = pageCount_;
    auto raw = h.encode();
    if (int rc = writeAt(0, raw.data(), raw.size())) return rc;
    errno = 0;
    std::FILE* f = file_;
    file_ = nullptr;
    if (std::fclose(f) != 0) {
        const int rc = ioErrorCode(errno ? errno : EIO, true);
        removeOutput(name_);
        return error_ = rc;
    }
    buf_.clear();
    return 0;
}

// ---------------------------------------------------------------------------------------

int appendPlfFile(const std::string& dest, const std::string& source) {
    std::error_code ec;
    if (dest.empty() || source.empty() || !std::filesystem::exists(dest, ec) ||
        !std::filesystem::exists(source, ec))
        return ecFileNotFound;

    std::FILE* d = nullptr;
    std::FILE* s = nullptr;
    std::vector<uint8_t> block;
    uint64_t destSize = 0;
    bool written = false;
    auto finish = [&](int rc) {
        if (s) std::fclose(s);
        if (d && std::fclose(d) != 0 && rc == 0) rc = ioErrorCode(errno ? errno : EIO, true);
        if (rc != 0 && written) {
            // Take back the copied pages: the header still counts only the old ones.
            std::error_code ignored;
            std::filesystem::resize_file(dest, destSize, ignored);
        }
        return rc;
    };

    try {
        block.resize(kPlfMaxRecord);
    } catch (const std::bad_alloc&) {
        return ecOutOfMemory;
    }
    errno = 0;
    d = std::fopen(dest.c_str(), "r+b");
    if (!d) return finish(ioErrorCode(errno ? errno : EACCES, true));
    PlfHeader dh;
    uint64_t destEnd = 0;
    if (int rc = sizeOf(d, &destSize)) return finish(rc);
    if (int rc = walkChain(d, destSize, &dh, &destEnd)) return finish(rc);

    if (int rc = openFile(source, "rb", &s)) return finish(rc);
    PlfHeader sh;
    uint64_t srcSize = 0, srcEnd = 0;
    if (int rc = sizeOf(s, &srcSize)) return finish(rc);
    // The source's extent is fixed before copying, so appending a file to itself ends.
    if (int rc = walkChain(s, srcSize, &sh, &srcEnd)) return finish(rc);
    if (uint32_t(dh.pageCount) + sh.pageCount > UINT16_MAX) return finish(ecBadArgument);

    if (int rc = seekTo(d, destEnd)) return finish(rc);
    written = true;
    uint64_t from = sh.pageCount ? sh.firstPageOffset : srcEnd;
    uint64_t left = srcEnd - from;
    uint64_t copied = 0;
    while (left > 0) {
        const std::size_t n = std::size_t(std::min<uint64_t>(left, block.size()));
        if (int rc = seekTo(s, from + copied)) return finish(rc);
        if (int rc = readExact(s, block.data(), n)) return finish(rc);
        if (int rc = seekTo(d, destEnd + copied)) return finish(rc);
        if (int rc = writeExact(d, block.data(), n)) return finish(rc);
        copied += n;
        left -= n;
    }
    dh.pageCount = uint16_t(dh.pageCount + sh.pageCount);
    // Rewrite the pages count only; signature, date, station and first offset stay as read.
    uint8_t count[2];
    put16(count, dh.pageCount);
    if (std::fflush(d) != 0) return finish(ioErrorCode(errno, true));
    if (int rc = seekTo(d, 32)) return finish(rc);
    if (int rc = writeExact(d, count, 2)) return finish(rc);
    if (std::fflush(d) != 0) return finish(ioErrorCode(errno, true));
    int rc = finish(0);
    d = nullptr;
    if (rc == 0 && destSize > destEnd + copied) {
        // Bytes that lay behind the old last page would now follow the new last page.
        std::filesystem::resize_file(dest, destEnd + copied, ec);
        if (ec) return ioErrorCode(ec.value(), true);
    }
    return rc;
}

}  // namespace pellora::fax
