// Moving page data between PLF files and the modem: the page source a transmitter reads, the
// DLE doubling and minimum line length of everything sent, blank scan lines and the top-up
// that keeps the modem fed, the header line with its $ tags, and the received file a receiver
// writes page by page.
//
// These pieces know nothing of the state machines or the serial port: they write into a
// PageOutput and read from a ByteSource, so they are tested on their own.
#pragma once

#include <cstdint>
#include <cstdio>
#include <functional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "fax/engine/clock.h"
#include "fax/image/plf.h"

namespace pellora::fax {

// Where page data goes: the port's output buffer.
class PageOutput {
public:
    virtual ~PageOutput() = default;
    // Queues all `length` bytes; 0 or a negative code.
    virtual int write(const std::uint8_t* data, int length) = 0;
    virtual int outputUsed() = 0;
    virtual int outputFree() = 0;
};

// Stages outgoing page data, doubles every DLE on the way and hands the result to the output
// whenever the 8192-byte buffer is full and at the end of each unit.
class EscapeWriter {
public:
    static constexpr std::size_t kSize = 8192;

    explicit EscapeWriter(PageOutput& out) : out_(out) { buffer_.reserve(kSize); }

    // One unit of page data (a coded line or a block): DLE-doubled, then written out.
    int writeUnit(std::span<const std::uint8_t> data);
    // A rendered or coded line padded with zero bytes up to `minBytes` (at most 8192 bytes
    // of padding). Returns the bytes the line counts for: the larger of its length and
    // `minBytes`, or a negative code.
    long writePaddedLine(std::span<const std::uint8_t> line, int minBytes);
    // The bytes as they are (no doubling): DLE ETX and the Class 2.0 page end codes.
    int writeRaw(std::span<const std::uint8_t> data);
    // A blank scan line: EOL, the white codes for 1728 and 0, fill; then, when `minBytes` is
    // 7 or more, minBytes - 5 zero bytes.
    int writeBlankLine(int minBytes);
    // Zero bytes until the output holds `bufferMinimum` bytes (at most 8192 at a time).
    int topUp(int bufferMinimum);

private:
    int put(std::uint8_t byte);
    int flush();
    PageOutput& out_;
    std::vector<std::uint8_t> buffer_;
};

inline constexpr std::uint8_t kBlankScanLine[6] = {0x00, 0x80, 0xB2, 0x59, 0x01, 0x00};

// The fax file (or a PLF cover) a transmitter reads, walked page by page.
class PageSource {
public:
    PageSource() = default;
    ~PageSource() { close(); }
    PageSource(const PageSource&) = delete;
    PageSource& operator=(const PageSource&) = delete;

    // Opens `name` ("." + ext appended when the name has no extension) read-only and reads
    // the file header: 0, the negated I/O code, or -8001 for a file that is not PLF.
    int open(const std::string& name, const std::string& ext);
    void close();
    bool isOpen() const { return file_ != nullptr; }
    const PlfHeader& header() const { return header_; }
    const std::string& fileName() const { return name_; }

    // Positions at page n's header: -100 when n is 0 or above PageCount.
    int seekPage(unsigned n);
    // Reads the 16-byte page header at the current position; the data follows.
    int readPageHeader();
    const PlfPageHeader& page() const { return page_; }

    // One unit of page data. With line records: the length word (above 4096 read as 4096)
    // and that many bytes, padded with zero bytes to `minBytes`; `counted` = length + 2.
    // Without: a block of up to 4096 bytes that never runs past the page's end. Returns the
    // unit's size (> 0), 0 at the end of the page, or a negative code.
    int readUnit(std::vector<std::uint8_t>& unit, int minBytes, long* counted);
    long bytesRead() const { return read_; }

private:
    std::FILE* file_ = nullptr;
    std::string name_;
    PlfHeader header_;
    PlfPageHeader page_;
    long read_ = 0;
};

// The file name with "." + ext appended when it has no extension (no '.' after the last
// folder separator).
std::string withDefaultExtension(const std::string& name, const std::string& ext);

// What one output-room notification of the page data pump needs and changes.
struct PumpState {
    long bytesTransferred = 0;
    long pageLength = 0;
    int minBytesPerLine = 0;
    int maxSendCount = 50;
    int bufferMinimum = 1000;
    bool appendDleEtx = false;  // Class 1 ends the page's data with DLE ETX
};

enum PumpResult { prMore = 0, prPageDone = 1 };

// Sends page data until MaxSendCount units went out, the output holds more than
// BufferMinimum bytes or has less than 4096 bytes of room. `statusDue` runs when the local
// timer (3 x StatusInterval, then 2 x) expires. prMore, prPageDone, or a negative code.
int pumpPageData(PageSource& source, EscapeWriter& writer, PageOutput& out, PumpState& state,
                 Clock& clock, long statusIntervalSeconds, const std::function<void()>& statusDue);

// Values of the header line's $ tags.
struct TagValues {
    std::string sender;       // $F
    std::string stationId;    // $I
    std::string recipient;    // $R
    std::string title;        // $S
    int totalPages = 0;       // $N: TotalPages + CoverPages
    int pageNumber = 0;       // $P
    std::string date, time;   // $D, $T; empty: now, in the locale's short date and long time
};

// The page number a header shows: 1 on the cover, the page counted behind the cover after it.
int headerPageNumber(int currentPage, int coverPages, bool sendingCover);

// Replaces every $ tag (the '$', its letter and any letters and digits that follow) by its
// value, chosen by the letter after the '$' in either case; unknown letters remove the tag.
// The result is cut to 255 characters.
std::string expandTags(std::string_view text, const TagValues& values);

// Draws text for the header line and text covers one pixel row at a time.
class LineRenderer {
public:
    virtual ~LineRenderer() = default;
    // Prepares for a page of this resolution: 0 or an error code (a font that cannot load).
    virtual int prepare(bool highResolution) = 0;
    // Pixel rows of one line of text.
    virtual int rows() const = 0;
    // Draws row `row` of `text` (Windows-1252) into a cleared raster line.
    virtual void drawRow(std::string_view text, int row, std::span<std::uint8_t> raster) = 0;
};

// The header line above a page: 8 blank lines, a top-up, the text row by row (coded as T.4
// lines, DLE-doubled and padded), and a top-up again. An empty text sends the blank lines only.
// Returns the bytes counted (the padded lengths) or a negative code.
long sendHeaderLine(const std::string& expandedText, LineRenderer* renderer, bool highResolution,
                    int lineWidth, EscapeWriter& writer, int minBytesPerLine, int bufferMinimum);

// Where received page bytes come from: the next byte, or -1 when none waits.
using ByteSource = std::function<int()>;

// A received fax as it is written: the file header, then pages whose headers are completed as
// each page ends, so the file is a readable PLF file after every page.
class ReceivedFile {
public:
    static constexpr std::size_t kBlock = 4096;
    static constexpr std::size_t kMaxPerCall = 10000;

    ReceivedFile() = default;
    ~ReceivedFile() { close(); }
    ReceivedFile(const ReceivedFile&) = delete;
    ReceivedFile& operator=(const ReceivedFile&) = delete;

    // Creates the file with a header (StationID = the remote's, PageCount 0): 0 or the
    // negated I/O code.
    int create(const std::string& name, const std::string& remoteId);
    bool isOpen() const { return file_ != nullptr; }
    void close();
    const std::string& fileName() const { return name_; }

    // Writes the page header of a new page (ImageLength 0) and resets the DLE state.
    int startPage(bool highResolution, bool wide);
    // Stores the page bytes of one data call (at most 10000 taken): DLE DLE is one 0x10, DLE
    // ETX ends the page, DLE and another byte keeps the byte. `reverseBits` (Class 2 modems)
    // reverses the bit order of every stored byte. 0 or a negative code (-160 short write).
    int store(const ByteSource& source, bool reverseBits, bool* pageEnded);
    // Completes the page: writes what is buffered, counts the page in the file header (with
    // the remote's ID and the time), and rewrites the page header with the bytes stored.
    // Nothing (0) when no page is open.
    int endPage(const std::string& remoteId);
    // Drops the open page (its header and data): the file is cut back to where it began, so
    // the page can arrive again. Nothing when no page is open.
    int discardPage();
    bool pageOpen() const { return pageOpen_; }
    long bytesStored() const { return stored_; }
    unsigned pagesEnded() const { return header_.pageCount; }

private:
    int flushBlock();
    int writeAt(long offset, const void* data, std::size_t n);
    std::FILE* file_ = nullptr;
    std::string name_;
    PlfHeader header_;
    std::vector<long> pageOffsets_;
    std::vector<std::uint8_t> block_;
    std::uint16_t pageFlags_ = 0;
    long stored_ = 0;
    bool afterDLE_ = false;
    bool pageOpen_ = false;
};

std::uint8_t reverseBits(std::uint8_t b);

}  // namespace pellora::fax
