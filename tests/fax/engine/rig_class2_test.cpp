// The rig's Class 2 and Class 2.0 modems in-process and in simulated time, driven by a
// scripted DTE through the serial line: the +F commands and reports, pages sent to SpanDSP's
// fax machine and received from it, rejected pages and the scripted faults. Pages are made
// with our T.4 coder and checked pixel by pixel against what libtiff reads from the far
// machine's file, and against what the modem hands over when receiving.
#include <gtest/gtest.h>
#include <tiffio.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <deque>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "fax/image/t4.h"
#include "tools/modemsim/rig.h"

namespace pellora::fax {
namespace {

using modemsim::Fault;
using modemsim::FarEnd;
using modemsim::FaultKind;
using modemsim::ModemRig;
using modemsim::RigOptions;
using modemsim::SimSerialLine;

constexpr std::uint8_t kDle = 0x10, kEtx = 0x03, kDc1 = 0x11, kDc2 = 0x12;

// A page as raster lines: 216 bytes each, most significant bit leftmost, set bit black.
using Page = std::vector<std::vector<std::uint8_t>>;

Page makePage(int lines, int variant) {
    Page page(static_cast<std::size_t>(lines), std::vector<std::uint8_t>(216, 0));
    for (int y = 0; y < lines; ++y)
        for (int x = 0; x < 1728; ++x) {
            bool black = variant == 0 ? (y % 40 < 6 && x < 1200) || (x / 64 + y / 16) % 5 == 0
                                      : (x + 2 * y) % 151 < 9 || (y > lines / 2 && x > 1500);
            if (black) page[y][x / 8] |= static_cast<std::uint8_t>(0x80 >> (x % 8));
        }
    return page;
}

// T.4 1-D data as the DTE sends it: first bit in the least significant bit, ending in RTC.
std::vector<std::uint8_t> encode(const Page& page) {
    T4Encoder encoder(kNormalWidth, 0);
    std::vector<std::uint8_t> out;
    for (const auto& line : page) {
        auto coded = encoder.encodeLine(line);
        out.insert(out.end(), coded.begin(), coded.end());
    }
    const auto& end = T4Encoder::endOfPage();
    out.insert(out.end(), end.begin(), end.end());
    return out;
}

Page decode(const std::vector<std::uint8_t>& data) {
    Page page;
    T4Decoder decoder;
    decoder.startPage();
    decoder.decode(data, [&](std::span<const std::uint8_t> line) {
        page.emplace_back(line.begin(), line.end());
        return true;
    });
    return page;
}

std::uint8_t reversedBits(std::uint8_t b) {
    std::uint8_t r = 0;
    for (int i = 0; i < 8; ++i)
        if (b & (1 << i)) r = static_cast<std::uint8_t>(r | 0x80 >> i);
    return r;
}

struct TiffPage {
    Page lines;
    float yResolution = 0;
};

// Every page of a TIFF as libtiff decodes it (1 = black, as fax TIFFs store it).
std::vector<TiffPage> readTiff(const std::string& path) {
    std::vector<TiffPage> pages;
    TIFF* tif = TIFFOpen(path.c_str(), "r");
    if (!tif) return pages;
    do {
        TiffPage p;
        std::uint32_t width = 0, length = 0;
        std::uint16_t photometric = PHOTOMETRIC_MINISWHITE;
        TIFFGetField(tif, TIFFTAG_IMAGEWIDTH, &width);
        TIFFGetField(tif, TIFFTAG_IMAGELENGTH, &length);
        TIFFGetField(tif, TIFFTAG_PHOTOMETRIC, &photometric);
        TIFFGetField(tif, TIFFTAG_YRESOLUTION, &p.yResolution);
        std::vector<std::uint8_t> row(static_cast<std::size_t>(TIFFScanlineSize(tif)));
        for (std::uint32_t y = 0; y < length; ++y) {
            if (TIFFReadScanline(tif, row.data(), y) < 0) break;
            std::vector<std::uint8_t> line(row.begin(), row.begin() + std::min<std::size_t>(row.size(), 216));
            if (photometric == PHOTOMETRIC_MINISBLACK)
                for (auto& b : line) b = static_cast<std::uint8_t>(~b);
            p.lines.push_back(line);
        }
        pages.push_back(std::move(p));
    } while (TIFFReadDirectory(tif));
    TIFFClose(tif);
    return pages;
}

// A TIFF of fax pages for the far machine to send: normal resolution, 1-D coding.
void writeTiff(const std::string& path, const std::vector<Page>& pages) {
    TIFF* tif = TIFFOpen(path.c_str(), "w");
    ASSERT_NE(tif, nullptr);
    for (std::size_t n = 0; n < pages.size(); ++n) {
        TIFFSetField(tif, TIFFTAG_SUBFILETYPE, FILETYPE_PAGE);
        TIFFSetField(tif, TIFFTAG_IMAGEWIDTH, 1728);
        TIFFSetField(tif, TIFFTAG_IMAGELENGTH, static_cast<std::uint32_t>(pages[n].size()));
        TIFFSetField(tif, TIFFTAG_BITSPERSAMPLE, 1);
        TIFFSetField(tif, TIFFTAG_SAMPLESPERPIXEL, 1);
        TIFFSetField(tif, TIFFTAG_COMPRESSION, COMPRESSION_CCITTFAX3);
        TIFFSetField(tif, TIFFTAG_GROUP3OPTIONS, 0);
        TIFFSetField(tif, TIFFTAG_FILLORDER, FILLORDER_LSB2MSB);
        TIFFSetField(tif, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_MINISWHITE);
        TIFFSetField(tif, TIFFTAG_RESOLUTIONUNIT, RESUNIT_INCH);
        TIFFSetField(tif, TIFFTAG_XRESOLUTION, 204.0f);
        TIFFSetField(tif, TIFFTAG_YRESOLUTION, 98.0f);
        TIFFSetField(tif, TIFFTAG_ROWSPERSTRIP, static_cast<std::uint32_t>(pages[n].size()));
        TIFFSetField(tif, TIFFTAG_PAGENUMBER, static_cast<std::uint16_t>(n), static_cast<std::uint16_t>(pages.size()));
        for (std::size_t y = 0; y < pages[n].size(); ++y) {
            auto line = pages[n][y];
            TIFFWriteScanline(tif, line.data(), static_cast<std::uint32_t>(y), 0);
        }
        TIFFWriteDirectory(tif);
    }
    TIFFClose(tif);
}

bool isFinal(const std::string& l) {
    for (const char* r : {"OK", "ERROR", "CONNECT", "NO CARRIER", "BUSY", "NO DIALTONE", "NO ANSWER", "VOICE"})
        if (l == r) return true;
    return false;
}

// A scripted DTE on the rig's serial line, in simulated time: it writes bytes while the
// modem's CTS allows and reads lines and raw bytes.
class ScriptedDte {
public:
    ScriptedDte(SimClock& clock, std::shared_ptr<SimSerialLine> line) : clock_(clock), line_(std::move(line)) {}

    void write(const std::vector<std::uint8_t>& data) {
        for (std::size_t at = 0; at < data.size();) {
            int n = 0;
            if (line_->portLines().cts)
                n = line_->portWrite(data.data() + at, static_cast<int>(std::min<std::size_t>(256, data.size() - at)));
            else
                ++ctsWaits;
            at += static_cast<std::size_t>(n);
            if (n == 0) clock_.sleepFor(10);
        }
    }
    int ctsWaits = 0;  // times the modem's CTS held a write back
    void write(const std::string& s) { write(std::vector<std::uint8_t>(s.begin(), s.end())); }

    // Sends the command and returns the lines up to its final result code (all lines seen
    // when `waitMs` of simulated time passed first).
    std::vector<std::string> command(const std::string& cmd, ClockMs waitMs = 10000) {
        write(cmd + "\r");
        return lines(waitMs);
    }

    std::vector<std::string> lines(ClockMs waitMs, bool untilFinal = true) {
        std::vector<std::string> out;
        ClockMs end = clock_.now() + waitMs;
        for (;;) {
            while (!in_.empty()) {
                char c = static_cast<char>(in_.front());
                in_.pop_front();
                if (c == '\r' || c == '\n') {
                    if (!partial_.empty()) out.push_back(partial_);
                    partial_.clear();
                    if (untilFinal && !out.empty() && isFinal(out.back())) return out;
                } else {
                    partial_ += c;
                }
            }
            if (clock_.now() >= end) return out;
            pump();
        }
    }

    // The next raw byte, or -1 when `waitMs` passed first.
    int byte(ClockMs waitMs = 10000) {
        ClockMs end = clock_.now() + waitMs;
        while (in_.empty()) {
            if (clock_.now() >= end) return -1;
            pump();
        }
        int b = in_.front();
        in_.pop_front();
        return b;
    }

    // Page data after CONNECT: undoubles DLE, stops at DLE ETX. Empty on a time-out.
    std::vector<std::uint8_t> pageData(ClockMs waitMs = 60000) {
        std::vector<std::uint8_t> data;
        for (;;) {
            int b = byte(waitMs);
            if (b < 0) return {};
            if (b != kDle) {
                data.push_back(static_cast<std::uint8_t>(b));
                continue;
            }
            b = byte(waitMs);
            if (b == kEtx) return data;
            if (b == kDle) data.push_back(kDle);
            if (b < 0) return {};
        }
    }

private:
    void pump() {
        std::uint8_t buf[512];
        int n = line_->portRead(buf, sizeof buf);
        if (n > 0) in_.insert(in_.end(), buf, buf + n);
        else clock_.sleepFor(10);
    }
    SimClock& clock_;
    std::shared_ptr<SimSerialLine> line_;
    std::deque<std::uint8_t> in_;
    std::string partial_;
};

std::vector<std::uint8_t> quoted(const std::vector<std::uint8_t>& data) {
    std::vector<std::uint8_t> out;
    for (auto b : data) {
        out.push_back(b);
        if (b == kDle) out.push_back(kDle);
    }
    return out;
}

std::string last(const std::vector<std::string>& lines) { return lines.empty() ? "" : lines.back(); }

std::string joined(const std::vector<std::string>& lines) {
    std::string s;
    for (const auto& l : lines) s += (s.empty() ? "" : " | ") + l;
    return s;
}

struct Class2Rig {
    SimClock clock;
    ClockThreadScope me{clock};
    std::string dir;
    std::unique_ptr<ModemRig> rig;
    std::unique_ptr<ScriptedDte> dte;
    bool c20;

    Class2Rig(int modemClass, RigOptions options = {}, const std::vector<Page>& farPages = {}) : c20(modemClass == 20) {
        char tmpl[] = "/tmp/pellora-rig2-XXXXXX";
        dir = ::mkdtemp(tmpl);
        options.modemClass = modemClass;
        options.tiff = dir + "/far.tif";
        if (!farPages.empty()) writeTiff(options.tiff, farPages);
        rig = std::make_unique<ModemRig>(clock, options);
        dte = std::make_unique<ScriptedDte>(clock, rig->serialLine());
        rig->start();
    }
    ~Class2Rig() {
        dte.reset();
        rig->stop();
        rig.reset();
        std::filesystem::remove_all(dir);
    }

    // The class names of the commands and reports.
    std::string fclass() const { return c20 ? "2.0" : "2"; }
    std::string params() const { return c20 ? "FIS" : "FDIS"; }

    // What our engine sends to prepare a Class 2 or 2.0 modem for sending.
    void prepare(const std::string& sessionParams = "0,5,0,2,0,0,0,0") {
        EXPECT_EQ(last(dte->command("ATE0")), "OK");
        EXPECT_EQ(last(dte->command("AT+FCLASS=" + fclass())), "OK");
        EXPECT_EQ(last(dte->command("AT+FCR=1")), "OK");
        EXPECT_EQ(last(dte->command(std::string(c20 ? "AT+FLI" : "AT+FLID") + "=\"555 0199\"")), "OK");
        EXPECT_EQ(last(dte->command("AT+FAA=0")), "OK");
        if (c20) {
            EXPECT_EQ(last(dte->command("AT+FLO=2")), "OK");
            EXPECT_EQ(last(dte->command("AT+FNR=1,1,1,0")), "OK");
        }
        if (!sessionParams.empty()) {
            EXPECT_EQ(last(dte->command("AT+" + params() + "=" + sessionParams)), "OK");
        }
    }

    // AT+FDT up to CONNECT (and DC1 for Class 2); returns the lines before CONNECT.
    std::vector<std::string> startPage() {
        auto lines = dte->command("AT+FDT", 30000);
        EXPECT_EQ(last(lines), "CONNECT") << joined(lines);
        if (!c20) {
            int b;
            while ((b = dte->byte()) == '\n') {
            }
            EXPECT_EQ(b, kDc1);
        }
        lines.pop_back();
        return lines;
    }

    // The page data and its end; for Class 2.0 `end` is ',', ';' or '.'.
    void sendPage(const Page& page, char end = 0) {
        auto data = quoted(encode(page));
        data.push_back(kDle);
        data.push_back(c20 ? static_cast<std::uint8_t>(end) : kEtx);
        dte->write(data);
    }
};

std::string farText(Class2Rig& f) { return f.rig->farResult() + " / " + f.rig->farFrames(); }

TEST(ModemRigClass2, ListsItsClassAndAnswersItsCommands) {
    struct Case {
        int modemClass;
        const char* classes;
        const char* other;  // the other class's selection, refused
    };
    for (const Case& c : {Case{2, "0,2", "AT+FCLASS=2.0"}, Case{20, "0,2.0", "AT+FCLASS=2"}}) {
        SCOPED_TRACE(c.modemClass);
        Class2Rig f(c.modemClass);
        // Echo is on until ATE0.
        auto lines = f.dte->command("AT+FCLASS=?");
        ASSERT_EQ(lines.size(), 3u) << joined(lines);
        EXPECT_EQ(lines[0], "AT+FCLASS=?");
        EXPECT_EQ(lines[1], c.classes);
        EXPECT_EQ(last(f.dte->command("ATE0Q0V1X4S0=0S2=43")), "OK");
        lines = f.dte->command("AT+FCLASS=?");
        ASSERT_EQ(lines.size(), 2u) << joined(lines);
        EXPECT_EQ(lines[0], c.classes);
        EXPECT_EQ(last(f.dte->command("AT+FCLASS=" + f.fclass())), "OK");
        EXPECT_EQ(last(f.dte->command("AT+FCLASS=1")), "ERROR");
        EXPECT_EQ(last(f.dte->command(c.other)), "ERROR");
        EXPECT_EQ(last(f.dte->command("AT+FCLASS=0")), "OK");
        EXPECT_EQ(last(f.dte->command("AT+" + f.params() + "=1")), "OK") << "the short form sets the resolution";
        lines = f.dte->command("AT+" + f.params() + "?");
        ASSERT_EQ(lines.size(), 2u);
        EXPECT_EQ(lines[0].substr(0, 6), "1,5,0,");
        EXPECT_EQ(last(f.dte->command("AT+" + f.params() + "=1,9,0,2,0,0,0,0")), "ERROR") << "no bit rate 9";
        EXPECT_EQ(last(f.dte->command("AT+FXYZ=3")), "OK") << "unknown commands change nothing";
        EXPECT_EQ(last(f.dte->command("AT+FDT")), "ERROR") << "no call";
        EXPECT_EQ(last(f.dte->command("AT+FDR")), "ERROR") << "no call";
        EXPECT_EQ(last(f.dte->command("ATH")), "OK");
        EXPECT_TRUE(f.dte->command("hello").empty()) << "a line without AT gets no answer";
    }
}

// Sends a normal page and a fine page to the far machine, with our engine's commands.
TEST(ModemRigClass2, SendsTwoPagesOfDifferentResolution) {
    for (int modemClass : {2, 20}) {
        SCOPED_TRACE(modemClass);
        Class2Rig f(modemClass);
        const bool c20 = f.c20;
        Page first = makePage(120, 0), second = makePage(240, 1);
        f.prepare();
        ClockMs dialled = f.clock.now();
        auto lines = f.dte->command("ATDT5551234", 60000);
        ASSERT_EQ(lines.size(), 4u) << joined(lines);
        EXPECT_EQ(lines[0], c20 ? "+FCO" : "+FCON");
        EXPECT_EQ(lines[1], std::string(c20 ? "+FCI" : "+FCSI") + ":\"         +1 555 0100\"");
        // The far machine takes fine pages, V.17 (14400), 1728 wide, unlimited length, 2-D.
        EXPECT_EQ(lines[2], std::string(c20 ? "+FIS" : "+FDIS") + ":1,5,0,2,1,0,0,0");
        EXPECT_EQ(lines[3], "OK");
        EXPECT_GT(f.clock.now() - dialled, 3000) << "answer, CED and DIS take time";

        auto before = f.startPage();
        ASSERT_EQ(before.size(), 1u);
        EXPECT_EQ(before[0], std::string(c20 ? "+FCS" : "+FDCS") + ":0,5,0,2,0,0,0,0");
        f.sendPage(first, ';');
        if (c20) {
            EXPECT_EQ(joined(f.dte->lines(60000)), "OK") << farText(f);
        } else {
            EXPECT_EQ(joined(f.dte->lines(60000)), "OK");
            EXPECT_EQ(joined(f.dte->command("AT+FET=1", 60000)), "+FPTS:1 | OK") << farText(f);
        }
        EXPECT_EQ(last(f.dte->command("AT+" + f.params() + "=1")), "OK");
        before = f.startPage();
        ASSERT_EQ(before.size(), 1u);
        EXPECT_EQ(before[0].substr(0, c20 ? 7 : 8), std::string(c20 ? "+FCS" : "+FDCS") + ":1,");
        f.sendPage(second, '.');
        if (c20) {
            EXPECT_EQ(joined(f.dte->lines(60000)), "+FHS:0 | OK") << farText(f);
        } else {
            EXPECT_EQ(joined(f.dte->lines(60000)), "OK");
            EXPECT_EQ(joined(f.dte->command("AT+FET=2", 60000)), "+FPTS:1 | +FHNG:0 | OK") << farText(f);
        }
        EXPECT_EQ(last(f.dte->command("ATH")), "OK");
        f.dte->lines(2000, false);
        EXPECT_TRUE(f.rig->finished());
        EXPECT_TRUE(f.rig->faxOk()) << farText(f);
        EXPECT_EQ(f.rig->farPages(), 2);

        auto got = readTiff(f.dir + "/far.tif");
        ASSERT_EQ(got.size(), 2u);
        EXPECT_LT(got[0].yResolution, 120) << "normal resolution";
        EXPECT_GT(got[1].yResolution, 150) << "fine resolution";
        EXPECT_TRUE(got[0].lines == first) << "page 1 differs";
        EXPECT_TRUE(got[1].lines == second) << "page 2 differs";
    }
}

TEST(ModemRigClass2, ReceivesTwoPagesFromTheFarSender) {
    for (int modemClass : {2, 20}) {
        SCOPED_TRACE(modemClass);
        Page first = makePage(150, 1), second = makePage(90, 0);
        RigOptions options;
        options.far = FarEnd::Send;
        options.rings = 3;
        Class2Rig f(modemClass, options, {first, second});
        const bool c20 = f.c20;
        f.prepare("");
        EXPECT_EQ(last(f.dte->command(std::string(c20 ? "AT+FCC" : "AT+FDCC") + "=1,5,0,2,0,0,0,0")), "OK");
        auto rings = f.dte->lines(1500, false);
        ASSERT_EQ(rings.size(), 1u);
        EXPECT_EQ(rings[0], "RING");
        auto lines = f.dte->command("ATA", 60000);
        ASSERT_EQ(lines.size(), 4u) << joined(lines);
        EXPECT_EQ(lines[0], c20 ? "+FCO" : "+FCON");
        EXPECT_EQ(lines[1], std::string(c20 ? "+FTI" : "+FTSI") + ":\"         +1 555 0100\"");
        EXPECT_EQ(lines[2], std::string(c20 ? "+FCS" : "+FDCS") + ":0,5,0,2,0,0,0,0");
        EXPECT_EQ(lines[3], "OK");

        std::vector<Page> received;
        for (int n = 0; n < 2; ++n) {
            SCOPED_TRACE(n);
            EXPECT_EQ(last(f.dte->command("AT+FDR", 30000)), "CONNECT");
            f.dte->write(std::vector<std::uint8_t>{kDc2});
            auto data = f.dte->pageData();
            ASSERT_FALSE(data.empty());
            if (!c20)
                for (auto& b : data) b = reversedBits(b);  // Class 2 hands the first bit over in the MSB
            received.push_back(decode(data));
            auto after = f.dte->lines(10000);
            EXPECT_EQ(joined(after), std::string(c20 ? "+FPS" : "+FPTS") + ":1 | +FET:" + (n == 0 ? "0" : "2") + " | OK");
        }
        EXPECT_EQ(joined(f.dte->lines(30000)), std::string(c20 ? "+FHS" : "+FHNG") + ":0 | OK");
        EXPECT_EQ(last(f.dte->command("ATH")), "OK");
        ASSERT_EQ(received.size(), 2u);
        EXPECT_TRUE(received[0] == first) << "page 1 differs: " << received[0].size() << " lines";
        EXPECT_TRUE(received[1] == second) << "page 2 differs: " << received[1].size() << " lines";
        f.dte->lines(2000, false);
        EXPECT_TRUE(f.rig->faxOk()) << farText(f);
    }
}

// Sending with one of the far machine's answers scripted: a rejected page (RTN) is sent
// again by the DTE, as our engine does, and the far machine ends up with both pages.
struct RejectCase {
    const char* name;
    int modemClass;
    int rejectedPage;
};

void PrintTo(const RejectCase& c, std::ostream* os) { *os << c.name; }

class ModemRigClass2Reject : public ::testing::TestWithParam<RejectCase> {};

TEST_P(ModemRigClass2Reject, RejectedPageIsSentAgain) {
    const RejectCase& c = GetParam();
    RigOptions options;
    options.faults = {{FaultKind::Rtn, c.rejectedPage, ""}};
    Class2Rig f(c.modemClass, options);
    const bool c20 = f.c20;
    // Long pages: the far machine hears noise from half a second into the spoilt page on.
    const Page pages[2] = {makePage(600, 0), makePage(500, 1)};
    f.prepare();
    ASSERT_EQ(last(f.dte->command("ATDT5551234", 60000)), "OK");
    for (int n = 0; n < 2; ++n) {
        SCOPED_TRACE(n + 1);
        bool lastPage = n == 1;
        for (int attempt = 0; attempt < 2; ++attempt) {
            bool rejected = n + 1 == c.rejectedPage && attempt == 0;
            f.startPage();
            f.sendPage(pages[n], lastPage ? '.' : ',');
            std::string result;
            if (c20) {
                result = joined(f.dte->lines(120000));
            } else {
                ASSERT_EQ(joined(f.dte->lines(120000)), "OK");
                result = joined(f.dte->command(lastPage ? "AT+FET=2" : "AT+FET=0", 120000));
            }
            if (rejected) {
                // Class 2 reports the rejection; Class 2.0 says ERROR and tells on AT+FPS?.
                EXPECT_EQ(result, c20 ? "ERROR" : "+FPTS:2 | OK") << farText(f);
                if (c20) {
                    EXPECT_EQ(joined(f.dte->command("AT+FPS?")), "+FPS:2 | OK");
                }
                continue;
            }
            std::string expected = c20 ? (lastPage ? "+FHS:0 | OK" : "OK")
                                       : (lastPage ? "+FPTS:1 | +FHNG:0 | OK" : "+FPTS:1 | OK");
            EXPECT_EQ(result, expected) << farText(f);
            break;
        }
    }
    EXPECT_EQ(last(f.dte->command("ATH")), "OK");
    f.dte->lines(2000, false);
    EXPECT_TRUE(f.rig->faxOk()) << farText(f);
    EXPECT_NE(f.rig->farFrames().find("<RTN"), std::string::npos) << farText(f);
    auto got = readTiff(f.dir + "/far.tif");
    ASSERT_EQ(got.size(), 2u) << "the rejected copy is not stored";
    EXPECT_TRUE(got[0].lines == pages[0]);
    EXPECT_TRUE(got[1].lines == pages[1]);
}

INSTANTIATE_TEST_SUITE_P(
    Pages, ModemRigClass2Reject,
    ::testing::Values(RejectCase{"Class2FirstPage", 2, 1}, RejectCase{"Class2LastPage", 2, 2},
                      RejectCase{"Class20FirstPage", 20, 1}, RejectCase{"Class20LastPage", 20, 2}),
    [](const auto& p) { return std::string(p.param.name); });

// Call placement and commands under the scripted faults, for both classes.
struct CallFaultCase {
    const char* name;
    std::string fault;  // as modemsim takes it; "CLASS" stands for the class's command name
    std::string command;
    std::string result;  // the final result code
};

void PrintTo(const CallFaultCase& c, std::ostream* os) { *os << c.name; }

class ModemRigClass2Faults : public ::testing::TestWithParam<std::tuple<int, CallFaultCase>> {};

TEST_P(ModemRigClass2Faults, AnswerAsTheFaultSays) {
    auto [modemClass, c] = GetParam();
    auto replace = [&](std::string s) {
        if (auto at = s.find("CLASS"); at != std::string::npos) s.replace(at, 5, modemClass == 20 ? "FIS" : "FDIS");
        return s;
    };
    RigOptions options;
    Fault fault;
    ASSERT_TRUE(modemsim::parseFault(replace(c.fault), fault)) << c.fault;
    options.faults = {fault};
    Class2Rig f(modemClass, options);
    f.prepare("");
    auto lines = f.dte->command(replace(c.command), 90000);
    EXPECT_EQ(last(lines), c.result) << joined(lines);
    EXPECT_EQ(last(f.dte->command("AT")), "OK") << "the modem answers commands afterwards";
}

INSTANTIATE_TEST_SUITE_P(
    Faults, ModemRigClass2Faults,
    ::testing::Combine(::testing::Values(2, 20),
                       ::testing::Values(CallFaultCase{"Busy", "busy", "ATDT1", "BUSY"},
                                         CallFaultCase{"NoDialTone", "no-dial-tone", "ATDT1", "NO DIALTONE"},
                                         CallFaultCase{"Voice", "voice", "ATDP1", "VOICE"},
                                         CallFaultCase{"NoAnswer", "no-answer", "ATDT1", "NO ANSWER"},
                                         CallFaultCase{"NoCarrier", "no-carrier", "ATDT1", "NO CARRIER"},
                                         CallFaultCase{"SilentFarEnd", "silence", "ATDT1", "NO CARRIER"},
                                         CallFaultCase{"ParametersRefused", "error:AT+CLASS=",
                                                       "AT+CLASS=0,5,0,2,0,0,0,0", "ERROR"})),
    [](const auto& p) {
        return std::string(std::get<1>(p.param).name) + (std::get<0>(p.param) == 20 ? "Class20" : "Class2");
    });

TEST(ModemRigClass2, ReportsARemoteThatCannotTakeFinePages) {
    RigOptions options;
    options.faults = {{FaultKind::NoFine, 1, ""}};
    Class2Rig f(2, options);
    f.prepare();
    auto lines = f.dte->command("ATDT5551234", 60000);
    ASSERT_EQ(lines.size(), 4u) << joined(lines);
    EXPECT_EQ(lines[2], "+FDIS:0,5,0,2,1,0,0,0") << "vertical resolution 0: normal only";
    EXPECT_EQ(last(f.dte->command("ATH")), "OK");
}

TEST(ModemRigClass2, ALineLostInMidPageEndsWithAHangupReport) {
    for (int modemClass : {2, 20}) {
        SCOPED_TRACE(modemClass);
        RigOptions options;
        options.faults = {{FaultKind::CarrierLost, 1, ""}};
        Class2Rig f(modemClass, options);
        f.prepare();
        ASSERT_EQ(last(f.dte->command("ATDT5551234", 60000)), "OK");
        f.startPage();
        f.sendPage(makePage(600, 0), '.');
        std::vector<std::string> lines;
        if (modemClass == 20) {
            lines = f.dte->lines(120000);
        } else {
            ASSERT_EQ(joined(f.dte->lines(60000)), "OK");
            lines = f.dte->command("AT+FET=2", 120000);
        }
        // No page status: the remote never answered. A hang-up code other than 0, and ERROR.
        ASSERT_EQ(lines.size(), 2u) << joined(lines);
        std::string report = modemClass == 20 ? "+FHS:" : "+FHNG:";
        EXPECT_EQ(lines[0].substr(0, report.size()), report);
        EXPECT_NE(lines[0], report + "0");
        EXPECT_EQ(lines[1], "ERROR");
        EXPECT_EQ(last(f.dte->command("ATH")), "OK");
        EXPECT_FALSE(f.rig->faxOk());
    }
}

TEST(ModemRigClass2, HoldsTheDteBackWithCtsAtALowRate) {
    Class2Rig f(2);
    f.prepare("0,1,0,2,0,0,0,0");  // 4800 bit/s: the serial line is four times faster
    auto lines = f.dte->command("ATDT5551234", 60000);
    ASSERT_EQ(last(lines), "OK");
    auto before = f.startPage();
    ASSERT_EQ(before.size(), 1u);
    EXPECT_EQ(before[0], "+FDCS:0,1,0,2,0,0,0,0");
    Page page = makePage(400, 0);
    f.sendPage(page);
    EXPECT_GT(f.dte->ctsWaits, 0);
    EXPECT_EQ(joined(f.dte->lines(120000)), "OK");
    EXPECT_EQ(joined(f.dte->command("AT+FET=2", 120000)), "+FPTS:1 | +FHNG:0 | OK") << farText(f);
    EXPECT_EQ(last(f.dte->command("ATH")), "OK");
    f.dte->lines(2000, false);
    auto got = readTiff(f.dir + "/far.tif");
    ASSERT_EQ(got.size(), 1u);
    EXPECT_TRUE(got[0].lines == page);
    EXPECT_NE(f.rig->farFrames().find(">DCS"), std::string::npos);
}

TEST(ModemRigClass2, RefusedCallHangsUp) {
    for (int modemClass : {2, 20}) {
        SCOPED_TRACE(modemClass);
        RigOptions options;
        options.far = FarEnd::Send;
        Class2Rig f(modemClass, options, {makePage(50, 0)});
        f.prepare("");
        ASSERT_EQ(joined(f.dte->lines(1500, false)), "RING");
        ASSERT_EQ(last(f.dte->command("ATA", 60000)), "OK");
        EXPECT_EQ(joined(f.dte->command("AT+FKS")), std::string(modemClass == 20 ? "+FHS" : "+FHNG") + ":2 | OK");
        EXPECT_FALSE(f.rig->finished() && f.rig->faxOk());
        EXPECT_EQ(last(f.dte->command("AT+FDR")), "ERROR") << "the call is over";
    }
}

}  // namespace
}  // namespace pellora::fax
