// Page transfer on its own: DLE doubling both ways, padding to MinBytesPerLine, blank lines
// and top-up, the page source and the data pump, $ tags and the header line, and received
// files rewritten page by page.
#include "fax/engine/header_renderer.h"
#include "fax/engine/page_transfer.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "fax/engine/responses.h"
#include "fax/image/fax_errors.h"
#include "fax/image/plf.h"
#include "fax/image/t4.h"

namespace pellora::fax {
namespace {

using Bytes = std::vector<std::uint8_t>;

// Decodes coded lines; an EOL is added so that the last line is delivered too.
std::vector<Bytes> decodeLines(Bytes coded) {
    coded.insert(coded.end(), {0x00, 0x80});
    return detail::decodePageBitwise(coded);
}

// An output buffer that drains at once (used() reports what the test says) and keeps all.
class MemoryOutput : public PageOutput {
public:
    int write(const std::uint8_t* data, int length) override {
        all.insert(all.end(), data, data + length);
        if (countWritten) used += length;
        ++writes;
        return 0;
    }
    int outputUsed() override { return used; }
    int outputFree() override { return 8192 - std::min(used, 8192); }
    Bytes all;
    int used = 0;
    bool countWritten = false;
    int writes = 0;
};

class TempDir {
public:
    TempDir() {
        char tmpl[] = "/tmp/pellora-page-XXXXXX";
        path_ = ::mkdtemp(tmpl);
    }
    ~TempDir() { std::filesystem::remove_all(path_); }
    std::string file(const std::string& name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

TEST(EscapeWriter, DoublesEveryDleOfPageData) {
    struct Case {
        Bytes in, out;
    };
    const Case cases[] = {
        {{0x00, 0x10, 0x03}, {0x00, 0x10, 0x10, 0x03}},
        {{0x10, 0x10}, {0x10, 0x10, 0x10, 0x10}},
        {{0x11, 0x13, 0x03}, {0x11, 0x13, 0x03}},
        {{}, {}},
    };
    for (const Case& c : cases) {
        MemoryOutput out;
        EscapeWriter w(out);
        ASSERT_EQ(w.writeUnit(c.in), 0);
        EXPECT_EQ(out.all, c.out);
    }
    // A unit of 5000 DLEs is 10000 bytes: the 8192-byte stage goes out when full.
    MemoryOutput out;
    EscapeWriter w(out);
    ASSERT_EQ(w.writeUnit(Bytes(5000, 0x10)), 0);
    EXPECT_EQ(out.all, Bytes(10000, 0x10));
    EXPECT_EQ(out.writes, 2);
    // Raw bytes (DLE ETX at the page end) are not doubled.
    MemoryOutput raw;
    EscapeWriter rw(raw);
    const std::uint8_t end[2] = {kDLE, kETX};
    ASSERT_EQ(rw.writeRaw(end), 0);
    EXPECT_EQ(raw.all, (Bytes{0x10, 0x03}));
}

TEST(EscapeWriter, PadsLinesToTheMinimumLength) {
    struct Case {
        Bytes line;
        int minBytes;
        long counted;
        std::size_t written;
    };
    const Case cases[] = {
        {{0x00, 0x80, 0x10}, 10, 10, 11},  // the DLE goes out twice, padding counts the line
        {{1, 2, 3, 4}, 0, 4, 4},
        {{1, 2, 3, 4}, 4, 4, 4},
        {{1, 2, 3, 4}, 2, 4, 4},
        {{}, 100000, 100000, 8192},       // padding stops at 8192
    };
    for (const Case& c : cases) {
        MemoryOutput out;
        EscapeWriter w(out);
        EXPECT_EQ(w.writePaddedLine(c.line, c.minBytes), c.counted);
        EXPECT_EQ(out.all.size(), c.written);
    }
}

TEST(EscapeWriter, BlankLinesAndTopUp) {
    MemoryOutput out;
    EscapeWriter w(out);
    ASSERT_EQ(w.writeBlankLine(6), 0);
    EXPECT_EQ(out.all, (Bytes{0x00, 0x80, 0xB2, 0x59, 0x01, 0x00}));
    out.all.clear();
    ASSERT_EQ(w.writeBlankLine(24), 0);
    EXPECT_EQ(out.all.size(), 6u + 19u);
    // The blank line decodes as one white line of 1728 pixels.
    auto lines = decodeLines(out.all);
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0], Bytes(216, 0));

    MemoryOutput q;
    q.countWritten = true;
    q.used = 300;
    EscapeWriter tw(q);
    ASSERT_EQ(tw.topUp(1000), 0);
    EXPECT_EQ(q.all, Bytes(700, 0));
    ASSERT_EQ(tw.topUp(1000), 0);
    EXPECT_EQ(q.all.size(), 700u) << "nothing when the buffer holds enough";
    q.used = 0;
    q.all.clear();
    ASSERT_EQ(tw.topUp(20000), 0);
    EXPECT_EQ(q.all.size(), 8192u);
}

// A PLF file whose pages hold the given coded lines as line records.
std::string writePlf(const std::string& name, const std::vector<std::vector<Bytes>>& pages,
                     bool high = false) {
    PlfWriter w;
    EXPECT_EQ(w.create(name), 0);
    w.setPageFlags(high, false);
    for (const auto& page : pages) {
        for (const auto& line : page) EXPECT_EQ(w.writeLine(line), 0);
        EXPECT_EQ(w.endPage(), 0);
    }
    EXPECT_EQ(w.close(), 0);
    return name;
}

TEST(PageSource, OpensSeeksAndRefuses) {
    TempDir dir;
    writePlf(dir.file("doc.plf"), {{{0, 0x80, 1, 2, 3, 4}}, {{0, 0x80, 5, 6, 7, 8}}}, true);
    PageSource s;
    EXPECT_EQ(s.open(dir.file("doc"), "plf"), 0) << "the extension is added";
    EXPECT_EQ(s.fileName(), dir.file("doc.plf"));
    EXPECT_EQ(s.header().pageCount, 2);
    EXPECT_EQ(s.seekPage(0), ecReadBeyondEof);
    EXPECT_EQ(s.seekPage(3), ecReadBeyondEof);
    ASSERT_EQ(s.seekPage(2), 0);
    ASSERT_EQ(s.readPageHeader(), 0);
    EXPECT_TRUE(s.page().highResolution());
    EXPECT_TRUE(s.page().lengthWords());
    Bytes unit;
    long counted = 0;
    ASSERT_GT(s.readUnit(unit, 0, &counted), 0);
    EXPECT_EQ(unit, (Bytes{0, 0x80, 5, 6, 7, 8}));
    EXPECT_EQ(counted, 8);

    EXPECT_EQ(s.open(dir.file("missing.plf"), "plf"), ecFileNotFound);
    std::ofstream(dir.file("text.plf")) << "not a fax file at all, but long enough to hold a header of 64 bytes";
    EXPECT_EQ(s.open(dir.file("text.plf"), "plf"), ecFaxBadFormat);
    EXPECT_FALSE(s.isOpen());
    EXPECT_EQ(withDefaultExtension("dir.x/fax", "PLF"), "dir.x/fax.PLF");
    EXPECT_EQ(withDefaultExtension("fax.tmp", "PLF"), "fax.tmp");
}

// Pumps a whole page into memory.
Bytes pumpWholePage(const std::string& file, int minBytes, bool class1, long* transferred) {
    PageSource s;
    EXPECT_EQ(s.open(file, "plf"), 0);
    EXPECT_EQ(s.seekPage(1), 0);
    EXPECT_EQ(s.readPageHeader(), 0);
    MemoryOutput out;
    EscapeWriter w(out);
    PumpState st;
    st.pageLength = s.page().imageLength;
    st.minBytesPerLine = minBytes;
    st.maxSendCount = 3;
    st.appendDleEtx = class1;
    SimClock clock;
    int calls = 0, rc = prMore;
    while ((rc = pumpPageData(s, w, out, st, clock, 1, nullptr)) == prMore && ++calls < 10000) {
    }
    EXPECT_EQ(rc, prPageDone);
    *transferred = st.bytesTransferred;
    EXPECT_EQ(st.bytesTransferred, st.pageLength);
    return out.all;
}

TEST(PagePump, PadsShortLinesAndDoublesDles) {
    TempDir dir;
    const Bytes a = {0x00, 0x80, 0x10, 0x22, 0x33, 0x44};  // a DLE inside
    Bytes b = {0x00, 0x80, 0x55, 0x66, 0x77, 0x88, 0x99, 0xAA};
    // Stored with the coder's whole fill byte at the end, which never goes on the line.
    Bytes bStored = b;
    bStored.push_back(0x00);
    std::string file = writePlf(dir.file("p.plf"), {{a, bStored}});
    long transferred = 0;

    // Scan-time index 0: nothing padded.
    Bytes plain = pumpWholePage(file, 0, false, &transferred);
    auto eopStored = T4Encoder::endOfPage();
    const Bytes eop(eopStored.begin(), eopStored.end() - 1);  // its fill byte dropped too
    Bytes expect = {0x00, 0x80, 0x10, 0x10, 0x22, 0x33, 0x44};
    expect.insert(expect.end(), b.begin(), b.end());
    expect.insert(expect.end(), eop.begin(), eop.end());  // the end-of-page record
    EXPECT_EQ(plain, expect);

    // MinBytesPerLine 10: each line padded with zeros to 10 bytes (the DLE still doubled).
    Bytes padded = pumpWholePage(file, 10, true, &transferred);
    Bytes expect2 = {0x00, 0x80, 0x10, 0x10, 0x22, 0x33, 0x44, 0, 0, 0, 0};
    expect2.insert(expect2.end(), b.begin(), b.end());
    expect2.insert(expect2.end(), {0, 0});
    expect2.insert(expect2.end(), eop.begin(), eop.end());
    expect2.insert(expect2.end(), {0x10, 0x03});  // Class 1 ends the page with DLE ETX
    EXPECT_EQ(padded, expect2);
}

TEST(PagePump, StopsWhenTheBufferIsFullEnoughAndKeepsTheStatusGoing) {
    TempDir dir;
    std::vector<Bytes> lines(200, Bytes{0x00, 0x80, 0x01, 0x02, 0x03, 0x04});
    std::string file = writePlf(dir.file("p.plf"), {lines});
    PageSource s;
    ASSERT_EQ(s.open(file, "plf"), 0);
    ASSERT_EQ(s.seekPage(1), 0);
    ASSERT_EQ(s.readPageHeader(), 0);
    MemoryOutput out;
    out.countWritten = true;
    EscapeWriter w(out);
    PumpState st;
    st.pageLength = s.page().imageLength;
    st.minBytesPerLine = 100;
    st.bufferMinimum = 1000;
    SimClock clock;
    ASSERT_EQ(pumpPageData(s, w, out, st, clock, 1, nullptr), prMore);
    EXPECT_EQ(st.bytesTransferred, 11 * 8) << "units go out until more than 1000 bytes wait";
    out.used = 0;
    st.maxSendCount = 2;
    ASSERT_EQ(pumpPageData(s, w, out, st, clock, 1, nullptr), prMore);
    EXPECT_EQ(st.bytesTransferred, 13 * 8) << "at most MaxSendCount units";
}

TEST(PagePump, PagesWithoutLineRecordsGoOutInBlocks) {
    TempDir dir;
    // A received page: one stream of 10000 bytes, no length words.
    ReceivedFile rf;
    ASSERT_EQ(rf.create(dir.file("r.plf"), "REMOTE"), 0);
    ASSERT_EQ(rf.startPage(false, false), 0);
    Bytes data(10000);
    for (std::size_t i = 0; i < data.size(); ++i) data[i] = std::uint8_t(i % 7 == 0 ? 0x20 : i);
    std::size_t at = 0;
    Bytes withEnd;
    for (auto b : data) {
        withEnd.push_back(b);
        if (b == kDLE) withEnd.push_back(b);
    }
    withEnd.insert(withEnd.end(), {kDLE, kETX});
    bool ended = false;
    while (!ended) {
        ByteSource src = [&]() -> int { return at < withEnd.size() ? withEnd[at++] : -1; };
        ASSERT_EQ(rf.store(src, false, &ended), 0);
    }
    ASSERT_EQ(rf.endPage("REMOTE"), 0);
    rf.close();
    long transferred = 0;
    Bytes sent = pumpWholePage(dir.file("r.plf"), 50, false, &transferred);
    EXPECT_EQ(transferred, 10000);
    EXPECT_EQ(sent, Bytes(withEnd.begin(), withEnd.end() - 2)) << "no padding without line records";
}

TEST(HeaderTags, ExpandsEveryKnownTagAndRemovesOthers) {
    TagValues v;
    v.sender = "Acme";
    v.stationId = "+1 555 0100";
    v.recipient = "Bob";
    v.title = "Offer";
    v.totalPages = 3;
    v.pageNumber = 2;
    v.date = "01/02/03";
    v.time = "10:11:12";
    struct Case {
        const char* in;
        const char* out;
    };
    const Case cases[] = {
        {"$P/$N", "2/3"},
        {"Page $p of $n", "Page 2 of 3"},
        {"From $F ($I) to $R: $S", "From Acme (+1 555 0100) to Bob: Offer"},
        {"$D $T", "01/02/03 10:11:12"},
        {"a $X b", "a  b"},
        {"$Xyz end", " end"},
        {"$", ""},
        {"$$P", "2"},  // a lone '$' is a tag without a letter
        {"$Pxyz9 and $Q1-x", "2 and -x"},  // letters and digits after the tag letter belong to it
        {"no tags", "no tags"},
    };
    for (const Case& c : cases) EXPECT_EQ(expandTags(c.in, v), c.out) << c.in;
    TagValues dollars;
    dollars.sender = "$F$F";  // a value must not bring the tag back
    EXPECT_EQ(expandTags("x $F y", dollars), "x FF y");
    EXPECT_EQ(expandTags(std::string(300, 'a'), v).size(), 255u);
    TagValues now;
    EXPECT_FALSE(expandTags("$D", now).empty()) << "the date of today";
}

TEST(HeaderTags, PageNumbersWithAndWithoutACover) {
    // A two-page fax with a cover: 1/3 on the cover, then 2/3 and 3/3.
    EXPECT_EQ(headerPageNumber(1, 1, true), 1);
    EXPECT_EQ(headerPageNumber(1, 1, false), 2);
    EXPECT_EQ(headerPageNumber(2, 1, false), 3);
    // Without a cover the page itself.
    EXPECT_EQ(headerPageNumber(1, 0, false), 1);
    EXPECT_EQ(headerPageNumber(2, 0, false), 2);
}

// Draws a black bar over the first `cols` pixels of every row.
class BarRenderer : public LineRenderer {
public:
    int prepare(bool high) override {
        rows_ = high ? 16 : 8;
        return failWith;
    }
    int rows() const override { return rows_; }
    void drawRow(std::string_view text, int, std::span<std::uint8_t> raster) override {
        for (std::size_t i = 0; i < text.size() && i < raster.size(); ++i) raster[i] = 0xFF;
    }
    int failWith = 0;

private:
    int rows_ = 0;
};

TEST(HeaderLine, EightBlankLinesThenTheRenderedRows) {
    MemoryOutput out;
    EscapeWriter w(out);
    BarRenderer r;
    long counted = sendHeaderLine("", &r, false, 1728, w, 0, 0);
    EXPECT_EQ(counted, 0);
    auto lines = decodeLines(out.all);
    EXPECT_EQ(lines.size(), 8u) << "an empty header still puts 8 blank lines above the page";

    for (bool high : {false, true}) {
        MemoryOutput o2;
        EscapeWriter w2(o2);
        counted = sendHeaderLine("ABCD", &r, high, 1728, w2, 40, 0);
        auto decoded = decodeLines(o2.all);
        std::size_t rows = high ? 16 : 8;
        ASSERT_EQ(decoded.size(), 8u + rows);
        for (std::size_t i = 0; i < 8; ++i) EXPECT_EQ(decoded[i], Bytes(216, 0));
        Bytes bar(216, 0);
        std::fill(bar.begin(), bar.begin() + 4, 0xFF);
        for (std::size_t i = 8; i < decoded.size(); ++i) EXPECT_EQ(decoded[i], bar);
        EXPECT_GE(counted, long(rows) * 40);
    }
    r.failWith = -8052;
    MemoryOutput o3;
    EscapeWriter w3(o3);
    EXPECT_EQ(sendHeaderLine("x", &r, false, 1728, w3, 0, 0), -8052);
    EXPECT_TRUE(o3.all.empty());
}

// The renderers behind the header line: the built-in fonts (rows doubled at fine resolution)
// and a system font (drawn twice as large at fine resolution).
TEST(HeaderRenderers, DrawTextRowsAtBothResolutions) {
    auto blackPixels = [](LineRenderer& r, std::string_view text) {
        int n = 0;
        for (int row = 0; row < r.rows(); ++row) {
            std::vector<std::uint8_t> raster(216, 0);
            r.drawRow(text, row, raster);
            for (auto b : raster) n += std::popcount(b);
            EXPECT_EQ(raster[0], 0) << "text starts after the left margin";
        }
        return n;
    };
    FaxFontRenderer small(ffSmall);
    ASSERT_EQ(small.prepare(false), 0);
    const int normalRows = small.rows();
    const int normalInk = blackPixels(small, "Page 1/3");
    EXPECT_GT(normalInk, 0);
    EXPECT_EQ(blackPixels(small, "        "), 0) << "blanks draw nothing";
    ASSERT_EQ(small.prepare(true), 0);
    EXPECT_EQ(small.rows(), 2 * normalRows);
    EXPECT_EQ(blackPixels(small, "Page 1/3"), 2 * normalInk) << "every row twice";

    SystemFontRenderer system(TFont{"DejaVu Sans", 10, 0});
    ASSERT_EQ(system.prepare(false), 0);
    const int sysRows = system.rows();
    EXPECT_GT(sysRows, 5);
    EXPECT_GT(blackPixels(system, "Page 1/3"), 0);
    ASSERT_EQ(system.prepare(true), 0);
    EXPECT_GE(system.rows(), 2 * sysRows - 2);

    SystemFontRenderer tooBig(TFont{"DejaVu Sans", 0, 0});
    EXPECT_NE(tooBig.prepare(false), 0) << "a font that cannot be drawn fails the header";
}

TEST(HeaderLine, TopsUpTheOutputBeforeAndAfterTheText) {
    MemoryOutput out;
    out.countWritten = true;
    EscapeWriter w(out);
    BarRenderer r;
    sendHeaderLine("AB", &r, false, 1728, w, 0, 2000);
    EXPECT_GE(out.all.size(), 2000u);
    // The trailing top-up leaves BufferMinimum queued... and trailing zeros are fill.
    EXPECT_EQ(out.all.back(), 0);
}

TEST(ReceivedPage, StoresDleDleOnceAndEndsAtDleEtx) {
    TempDir dir;
    struct Case {
        Bytes wire;
        bool reverse;
        Bytes stored;
    };
    const Case cases[] = {
        {{0x01, 0x10, 0x10, 0x02, 0x10, 0x03, 0x77}, false, {0x01, 0x10, 0x02}},
        {{0x10, 0x41, 0x42, 0x10, 0x03}, false, {0x41, 0x42}},  // DLE + other: the DLE is dropped
        {{0x01, 0x10, 0x10, 0xF0, 0x10, 0x03}, true, {0x80, 0x08, 0x0F}},  // Class 2 reverses
    };
    for (const Case& c : cases) {
        ReceivedFile rf;
        ASSERT_EQ(rf.create(dir.file("r.plf"), "ID"), 0);
        ASSERT_EQ(rf.startPage(true, true), 0);
        std::size_t at = 0;
        ByteSource src = [&]() -> int { return at < c.wire.size() ? c.wire[at++] : -1; };
        bool ended = false;
        ASSERT_EQ(rf.store(src, c.reverse, &ended), 0);
        EXPECT_TRUE(ended);
        EXPECT_LT(at, c.wire.size() + 1);
        EXPECT_EQ(rf.bytesStored(), long(c.stored.size()));
        ASSERT_EQ(rf.endPage("ID"), 0);
        rf.close();
        PlfReader reader;
        ASSERT_EQ(reader.open(dir.file("r.plf")), 0);
        PlfPageHeader ph;
        ASSERT_EQ(reader.locatePage(1, &ph), 0);
        EXPECT_EQ(ph.imageLength, c.stored.size());
        EXPECT_TRUE(ph.highResolution());
        EXPECT_TRUE(ph.wide());
        EXPECT_FALSE(ph.lengthWords());
        std::span<const std::uint8_t> chunk;
        ASSERT_EQ(reader.readChunk(chunk), 1);
        EXPECT_EQ(Bytes(chunk.begin(), chunk.end()), c.stored);
    }
    EXPECT_EQ(reverseBits(0x01), 0x80);
    EXPECT_EQ(reverseBits(0x10), 0x08);
    for (int b = 0; b < 256; ++b) EXPECT_EQ(reverseBits(reverseBits(std::uint8_t(b))), b);
}

TEST(ReceivedPage, TakesAtMost10000BytesPerCallAndKeepsTheDleAcrossCalls) {
    TempDir dir;
    ReceivedFile rf;
    ASSERT_EQ(rf.create(dir.file("r.plf"), "ID"), 0);
    ASSERT_EQ(rf.startPage(false, false), 0);
    Bytes wire(25000, 0x55);
    wire[9999] = kDLE;  // the DLE is the last byte of the first call
    wire[10000] = kETX;
    std::size_t at = 0;
    ByteSource src = [&]() -> int { return at < wire.size() ? wire[at++] : -1; };
    bool ended = false;
    ASSERT_EQ(rf.store(src, false, &ended), 0);
    EXPECT_FALSE(ended);
    EXPECT_EQ(at, 10000u);
    ASSERT_EQ(rf.store(src, false, &ended), 0);
    EXPECT_TRUE(ended) << "the DLE of the first call and the ETX of the second end the page";
    EXPECT_EQ(rf.bytesStored(), 9999);
}

TEST(ReceivedFile, HeadersAreRewrittenPageByPage) {
    TempDir dir;
    std::string name = dir.file("FAX0001.PLF");
    ReceivedFile rf;
    ASSERT_EQ(rf.create(name, "REMOTE STATION"), 0);
    {
        PlfReader r;
        ASSERT_EQ(r.open(name), 0);
        EXPECT_EQ(r.header().pageCount, 0);
        EXPECT_EQ(r.header().stationId, "REMOTE STATION      ") << "padded to 20";
        EXPECT_EQ(r.header().firstPageOffset, 64u);
    }
    for (int page = 1; page <= 3; ++page) {
        ASSERT_EQ(rf.startPage(page == 2, false), 0);
        Bytes wire(std::size_t(1000 * page), std::uint8_t(page));
        wire.insert(wire.end(), {kDLE, kETX});
        std::size_t at = 0;
        ByteSource src = [&]() -> int { return at < wire.size() ? wire[at++] : -1; };
        bool ended = false;
        ASSERT_EQ(rf.store(src, false, &ended), 0);
        ASSERT_TRUE(ended);
        ASSERT_EQ(rf.endPage(page == 3 ? "NEW ID" : "REMOTE STATION"), 0);
        // After every page the file is a complete PLF file with that many pages.
        PlfReader r;
        ASSERT_EQ(r.open(name), 0);
        EXPECT_EQ(r.header().pageCount, page);
        for (int k = 1; k <= page; ++k) {
            PlfPageHeader ph;
            ASSERT_EQ(r.locatePage(unsigned(k), &ph), 0);
            EXPECT_EQ(ph.imageLength, 1000u * unsigned(k));
            EXPECT_EQ(ph.highResolution(), k == 2);
        }
        if (page == 3) {
            EXPECT_EQ(r.header().stationId, "NEW ID              ");
        }
    }
    rf.close();
}

TEST(ReceivedFile, ADiscardedPageLeavesNoTraceAndAPageEndsOnce) {
    TempDir dir;
    std::string name = dir.file("FAX0001.PLF");
    ReceivedFile rf;
    ASSERT_EQ(rf.create(name, "R"), 0);
    auto storePage = [&](std::uint8_t fill, std::size_t n) {
        Bytes wire(n, fill);
        wire.insert(wire.end(), {kDLE, kETX});
        std::size_t at = 0;
        ByteSource src = [&]() -> int { return at < wire.size() ? wire[at++] : -1; };
        bool ended = false;
        ASSERT_EQ(rf.store(src, false, &ended), 0);
    };
    ASSERT_EQ(rf.startPage(false, false), 0);
    storePage(1, 500);
    ASSERT_EQ(rf.endPage("R"), 0);
    EXPECT_EQ(rf.endPage("R"), 0) << "a second end (a failure right after the page) does nothing";
    ASSERT_EQ(rf.startPage(false, false), 0);
    storePage(2, 7000);  // more than a block: some of it is on disk already
    ASSERT_EQ(rf.discardPage(), 0);
    ASSERT_EQ(rf.startPage(true, false), 0);
    storePage(3, 300);
    ASSERT_EQ(rf.endPage("R"), 0);
    rf.close();
    PlfReader r;
    ASSERT_EQ(r.open(name), 0);
    ASSERT_EQ(r.header().pageCount, 2);
    PlfPageHeader ph;
    ASSERT_EQ(r.locatePage(2, &ph), 0);
    EXPECT_EQ(ph.imageLength, 300u);
    EXPECT_TRUE(ph.highResolution());
    EXPECT_EQ(r.fileSize(), 64u + 16 + 500 + 16 + 300) << "nothing of the dropped page is left";
}

TEST(ReceivedFile, AShortWriteIsDeviceWriteError) {
    if (!std::filesystem::exists("/dev/full")) GTEST_SKIP() << "no /dev/full";
    ReceivedFile rf;
    int rc = rf.create("/dev/full", "X");
    if (rc == 0) {
        rc = rf.startPage(false, false);
        if (rc == 0) {
            Bytes wire(5000, 0x33);
            std::size_t at = 0;
            ByteSource src = [&]() -> int { return at < wire.size() ? wire[at++] : -1; };
            bool ended = false;
            rc = rf.store(src, false, &ended);
        }
    }
    EXPECT_EQ(rc, ecDeviceWriteError);
}

}  // namespace
}  // namespace pellora::fax
