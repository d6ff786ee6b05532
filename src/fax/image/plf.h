// PLF fax files: a 64-byte file header, then pages, each a 16-byte page header followed by
// `ImageLength` bytes of T.4 coded data. All integers are little-endian.
//
// Page data with the LengthWords flag is a sequence of line records (2-byte length n, then n
// bytes holding one coded line, ending with the end-of-page record); without it, one
// continuous coded stream whose lines are separated by EOL codes alone (received pages).
//
// Functions return 0 (or a positive count) on success and a negative error code on failure
// (see fax_errors.h): -8001 for anything that is not a well-formed PLF file, -2 for a missing
// file, other negated runtime I/O numbers for failed file operations.
#pragma once

#include <cstdint>
#include <cstdio>
#include <ctime>
#include <span>
#include <string>
#include <vector>

namespace pellora::fax {

inline constexpr uint16_t pfHighResolution = 1;  // fine vertical resolution
inline constexpr uint16_t pfWideWidth = 2;       // 2048-pixel lines instead of 1728
inline constexpr uint16_t pfLengthWords = 4;     // page data is a sequence of line records

inline constexpr std::size_t kPlfHeaderSize = 64;
inline constexpr std::size_t kPlfPageHeaderSize = 16;
inline constexpr std::size_t kPlfMaxRecord = 4096;
inline constexpr char kPlfSignature[6] = {'P', 'L', 'F', '1', '0', 0x1A};

struct PlfHeader {
    uint32_t dateTime = 0;  // packed DOS date and time the file was completed
    std::string stationId;  // at most 20 characters
    uint16_t pageCount = 0;
    uint32_t firstPageOffset = kPlfHeaderSize;

    // The 64 bytes on disk (signature included).
    std::vector<uint8_t> encode() const;
    // Fills the fields from 64 bytes; false when the signature is not exactly PLF's.
    bool decode(std::span<const uint8_t> bytes);
};

struct PlfPageHeader {
    uint32_t imageLength = 0;
    uint16_t pageFlags = 0;

    bool highResolution() const { return pageFlags & pfHighResolution; }
    bool wide() const { return pageFlags & pfWideWidth; }
    bool lengthWords() const { return pageFlags & pfLengthWords; }
    int lineWidth() const { return wide() ? 2048 : 1728; }
};

// Packed DOS date and time; 0 for years outside 1980..2099.
uint32_t dosDateTime(const std::tm& t);
uint32_t dosDateTimeNow();

// Opens `name` read-only and answers whether it begins with the PLF signature. Any failure
// answers false.
bool isPlfFile(const std::string& name);

// Reads a PLF file: its header, the chain of pages, and one page's coded data.
class PlfReader {
  public:
    PlfReader() = default;
    ~PlfReader() { close(); }
    PlfReader(const PlfReader&) = delete;
    PlfReader& operator=(const PlfReader&) = delete;

    // Opens the file and reads its header: -2 for an empty name or missing file, -8001 when
    // the signature does not match (or the file is shorter than a header).
    int open(const std::string& name);
    void close();
    bool isOpen() const { return file_ != nullptr; }
    const PlfHeader& header() const { return header_; }
    uint64_t fileSize() const { return size_; }

    // Walks the page chain to page k (1-based) and positions the reader at its data.
    // -8001 when k exceeds PageCount or the chain leaves the file. Page 0 succeeds at once.
    int locatePage(unsigned k, PlfPageHeader* page = nullptr);

    // The located page's coded data piece by piece: a record's coded line on pages with
    // length words, else blocks of up to 4096 bytes. Returns 1 with `chunk` set, 0 at the
    // page's end (ImageLength consumed), or a negative code: -8001 for data that ends before
    // ImageLength or a record that is longer than 4096 bytes or runs past the page.
    int readChunk(std::span<const uint8_t>& chunk);
    // Bytes of the located page's data consumed so far (length words included).
    uint32_t bytesRead() const { return pageRead_; }
    const PlfPageHeader& page() const { return page_; }

  private:
    int fail(int code);
    int readAt(uint64_t offset, void* buf, std::size_t n);

    std::FILE* file_ = nullptr;
    uint64_t size_ = 0;
    PlfHeader header_;
    PlfPageHeader page_;
    uint64_t pageData_ = 0;  // file offset of the located page's data
    uint32_t pageRead_ = 0;
    bool pageLocated_ = false;
    std::vector<uint8_t> buf_;
};

// Writes a PLF file of line records. On any write, seek or flush failure the writer closes
// the output, deletes it and returns the negated I/O code; every later call returns it too.
// A writer destroyed before close() succeeded deletes its output as well.
class PlfWriter {
  public:
    PlfWriter() = default;
    ~PlfWriter();
    PlfWriter(const PlfWriter&) = delete;
    PlfWriter& operator=(const PlfWriter&) = delete;

    // Creates (or truncates) the file and writes a header holding only the signature and
    // FirstPageOffset, so a reader sees PageCount 0 until the file is closed.
    int create(const std::string& name);
    // Page flags of the pages begun from now on (LengthWords is always added).
    void setPageFlags(bool highResolution, bool wide);
    void setStationId(const std::string& id) { stationId_ = id; }

    // Appends one coded line (1..4096 bytes) as a line record, beginning a page if needed.
    int writeLine(std::span<const uint8_t> coded);
    // Writes the end-of-page record and completes the page header.
    int endPage();
    // Completes the file header (date, station, page count) and closes the file.
    int close();
    // Closes and deletes the output.
    void abandon();

    uint16_t pageCount() const { return pageCount_; }

  private:
    int put(const void* data, std::size_t n);
    int flush();
    int position(uint64_t* pos);
    int writeAt(uint64_t offset, const void* data, std::size_t n);
    int fail(int code);

    std::FILE* file_ = nullptr;
    std::string name_;
    std::string stationId_;
    int error_ = 0;
    uint16_t flags_ = pfLengthWords;
    uint16_t pageCount_ = 0;
    bool inPage_ = false;
    uint64_t pageStart_ = 0;
    uint32_t imageLength_ = 0;
    uint16_t pageFlags_ = 0;
    std::vector<uint8_t> buf_;
};

// Appends every page of `source` to `dest`: the pages are copied after the end of dest's
// last page and dest's PageCount grows by source's; dest keeps its DateTime and StationID.
// -2 when either file is missing, -8001 when either is not a well-formed PLF file. On a
// failure dest is left as it was.
int appendPlfFile(const std::string& dest, const std::string& source);

}  // namespace pellora::fax
