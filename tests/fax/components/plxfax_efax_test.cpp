// `plxfax send | receive` against fax programs we did not write, through the simulated modem:
// efax on the other modem of `modemsim --pair` receives what our engine sends and sends what
// our engine receives; and our engine sends through each modem class (1, 2, 2.0) to SpanDSP's
// fax machine at the far end of the line. Every page is compared pixel by pixel with the one
// sent: libtiff reads the TIFFs efax and SpanDSP write, our PLF reader and T.4 decoder the file
// our engine receives.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <tiffio.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <span>
#include <string>
#include <thread>
#include <vector>

#include "fax/engine/peer_programs.h"
#include "fax/image/mono_bitmap.h"
#include "fax/image/plf.h"
#include "fax/image/t4.h"
#include "support/temp_dir.h"

extern char** environ;

namespace pellora::fax {
namespace {

namespace fs = std::filesystem;
using pellora::test::readFile;
using pellora::test::TempDir;
using test::Bitmap;
using test::spawn;
using test::waitForText;

constexpr int kWidth = 1728;
constexpr int kRowBytes = kWidth / 8;
// Our engine puts this many blank scan lines above every page it sends, and its header line,
// when it has one, between those and the page.
constexpr int kLeadingBlankLines = 8;

// The second page: a frame, a thick diagonal, rules and a chequered band. Like the first
// (peer_programs.h) it is sparse enough to cross the line in a few seconds at 9600 bit/s, and
// long enough (a second or more) for efax, which divides by the whole seconds a page took.
Bitmap framedPage() {
    Bitmap b{kWidth, 900, {}};
    b.bits.assign(static_cast<std::size_t>(kRowBytes) * b.height, 0);
    for (int y = 0; y < b.height; ++y)
        for (int x = 0; x < b.width; ++x) {
            const bool black = x < 4 || x >= kWidth - 4 || y < 3 || y >= b.height - 3 || std::abs(x - 2 * y) < 7 ||
                               (y % 128 == 64 && x >= 200 && x < 1500) ||
                               (y >= 600 && y < 700 && x >= 900 && (x / 48 + y / 25) % 2 == 0);
            if (black) b.bits[static_cast<std::size_t>(y) * kRowBytes + x / 8] |= static_cast<std::uint8_t>(0x80 >> (x % 8));
        }
    return b;
}

bool rowBlank(const Bitmap& b, int y) {
    const auto* row = b.bits.data() + static_cast<std::size_t>(y) * ((b.width + 7) / 8);
    return std::all_of(row, row + (b.width + 7) / 8, [](std::uint8_t v) { return v == 0; });
}

// Pixels of `sent` that differ in the bottom rows of `got`, which may carry more rows above
// (our blank lines and header, efax's header band). -1 when the sizes do not fit.
int wrongPixelsAtBottom(const Bitmap& got, const Bitmap& sent) {
    if (got.width != sent.width || got.height < sent.height) return -1;
    const int offset = got.height - sent.height;
    int wrong = 0;
    for (int y = 0; y < sent.height; ++y)
        for (int x = 0; x < sent.width; ++x) wrong += got.pixel(x, y + offset) != sent.pixel(x, y);
    return wrong;
}

// Every page of a fax TIFF, 1 = black whatever the photometric interpretation.
std::vector<Bitmap> readTiffPages(const std::string& path) {
    std::vector<Bitmap> pages;
    TIFFSetWarningHandler(nullptr);
    TIFF* tif = TIFFOpen(path.c_str(), "r");
    if (!tif) return pages;
    do {
        std::uint32_t width = 0, length = 0;
        std::uint16_t photometric = PHOTOMETRIC_MINISWHITE;
        TIFFGetField(tif, TIFFTAG_IMAGEWIDTH, &width);
        TIFFGetField(tif, TIFFTAG_IMAGELENGTH, &length);
        TIFFGetField(tif, TIFFTAG_PHOTOMETRIC, &photometric);
        Bitmap page{static_cast<int>(width), static_cast<int>(length), {}};
        const std::size_t rowBytes = (width + 7) / 8;
        page.bits.assign(rowBytes * length, 0);
        std::vector<std::uint8_t> row(static_cast<std::size_t>(std::max<tmsize_t>(TIFFScanlineSize(tif), 0)));
        for (std::uint32_t y = 0; y < length && row.size() >= rowBytes; ++y) {
            if (TIFFReadScanline(tif, row.data(), y) < 0) {
                page.height = static_cast<int>(y);  // a short page shows as a size mismatch
                break;
            }
            for (std::size_t i = 0; i < rowBytes; ++i)
                page.bits[y * rowBytes + i] = photometric == PHOTOMETRIC_MINISBLACK ? ~row[i] : row[i];
        }
        page.bits.resize(rowBytes * static_cast<std::size_t>(page.height));
        pages.push_back(std::move(page));
    } while (TIFFReadDirectory(tif));
    TIFFClose(tif);
    return pages;
}

// Every page of a PLF file, decoded.
std::vector<Bitmap> readPlfPages(const std::string& path) {
    std::vector<Bitmap> pages;
    PlfReader reader;
    if (reader.open(path) != 0) return pages;
    for (unsigned k = 1; k <= reader.header().pageCount; ++k) {
        if (reader.locatePage(k) != 0) break;
        Bitmap page{kWidth, 0, {}};
        T4Decoder decoder;
        std::span<const std::uint8_t> chunk;
        while (!decoder.pageEnded() && reader.readChunk(chunk) == 1)
            decoder.decode(chunk, [&](std::span<const std::uint8_t> line) {
                page.bits.insert(page.bits.end(), line.begin(), line.begin() + std::min<std::size_t>(line.size(), kRowBytes));
                page.bits.resize(static_cast<std::size_t>(++page.height) * kRowBytes, 0);
                return true;
            });
        pages.push_back(std::move(page));
    }
    return pages;
}

// Writes the bitmaps as the pages of one PLF file, normal resolution, coded without a margin
// so that every pixel stays where it is.
int writePlf(const std::string& path, const std::vector<Bitmap>& pages) {
    PlfWriter writer;
    if (int rc = writer.create(path)) return rc;
    for (const Bitmap& page : pages) {
        writer.setPageFlags(false, false);
        T4Encoder encoder(page.width, 0);
        for (int y = 0; y < page.height; ++y) {
            std::span<const std::uint8_t> row(page.bits.data() + static_cast<std::size_t>(y) * kRowBytes, kRowBytes);
            if (int rc = writer.writeLine(encoder.encodeLine(row))) return rc;
        }
        if (int rc = writer.endPage()) return rc;
    }
    return writer.close();
}



class PlxfaxPeer : public ::testing::Test {
protected:
    void SetUp() override {
        if (std::system("command -v efax >/dev/null && command -v efix >/dev/null") != 0)
            FAIL() << "efax or efix missing (scripts/install-deps.sh installs them)";
        fs::create_directory(dir_ / "tmp");
        pages_ = {test::testPage(0), framedPage()};
        ASSERT_EQ(writePlf(path("pages.PLF"), pages_), 0);
    }
    // Whatever still runs after a failure is stopped, so that no modem or program outlives
    // the test; the folder goes with dir_.
    void TearDown() override {
        for (pid_t pid : running_) {
            ::kill(pid, SIGTERM);
            test::waitFor(pid, 5);
        }
    }

    std::string path(const std::string& name) const { return (dir_ / name).string(); }

    pid_t start(const std::vector<std::string>& args, const std::string& log) {
        const pid_t pid = spawn(args, path(log), {"TMPDIR=" + path("tmp")});
        if (pid > 0) running_.push_back(pid);
        return pid;
    }
    // Exit status, or -1 when it was still running after `seconds` (then it is killed): the
    // limit only keeps a hanging peer from hanging the test.
    int finish(pid_t pid, int seconds) {
        running_.erase(std::remove(running_.begin(), running_.end(), pid), running_.end());
        return pid > 0 ? test::waitFor(pid, seconds) : -1;
    }

    // The pair of Class 1 modems: calls from A ring on B.
    void startPair() {
        sim_ = start({PELLORA_MODEMSIM, "--pty", path("modemA"), "--pair", path("modemB"), "--speed", "2",
                      "--timeout", "100"},
                     "modemsim.log");
        ASSERT_GT(sim_, 0);
        ASSERT_TRUE(test::waitForPath(path("modemA")) && test::waitForPath(path("modemB")))
            << readFile(dir_ / "modemsim.log");
    }

    std::string logs() const {
        std::string all;
        for (const auto& e : fs::directory_iterator(dir_.path()))
            if (e.path().extension() == ".log") all += "--- " + e.path().filename().string() + "\n" + readFile(e.path());
        return all;
    }

    TempDir dir_;
    std::vector<Bitmap> pages_;
    std::vector<pid_t> running_;
    pid_t sim_ = -1;
};

// Our engine calls, efax answers and stores each page as a TIFF of its own.
TEST_F(PlxfaxPeer, OurEngineSendsTwoPagesToEfax) {
    startPair();
    // efax waits (-w) for the modem, which answers by itself on the first ring (S0=1).
    const pid_t efax = start({"efax", "-d", path("modemB"), "-o1", "-iS0=1", "-w", "-r", path("recv")}, "efax.log");
    ASSERT_TRUE(waitForText(dir_ / "efax.log", "waiting for activity", 20)) << logs();
    const pid_t plxfax = start({PELLORA_PLXFAX, "send", "--device", path("modemA"), "--class", "1", "5551234",
                                path("pages.PLF")},
                               "plxfax.log");
    EXPECT_EQ(finish(plxfax, 90), 0) << logs();
    EXPECT_EQ(finish(efax, 20), 0) << logs();
    EXPECT_EQ(finish(sim_, 20), 0) << logs();

    for (int i = 0; i < 2; ++i) {
        SCOPED_TRACE("page " + std::to_string(i + 1));
        const auto got = readTiffPages(path("recv.00" + std::to_string(i + 1)));
        ASSERT_EQ(got.size(), 1u) << logs();
        ASSERT_EQ(got[0].width, kWidth);
        ASSERT_EQ(got[0].height, pages_[i].height + kLeadingBlankLines);
        EXPECT_EQ(wrongPixelsAtBottom(got[0], pages_[i]), 0);
        for (int y = 0; y < kLeadingBlankLines; ++y) EXPECT_TRUE(rowBlank(got[0], y)) << "row " << y;
    }
    EXPECT_FALSE(fs::exists(path("recv.003")));
    EXPECT_TRUE(fs::is_empty(dir_ / "tmp")) << "the joined file is removed";
}

// efax calls and sends two TIFF pages (efix makes them from the same bitmaps); our engine
// answers and stores the fax as FAX0001.PLF.
TEST_F(PlxfaxPeer, EfaxSendsTwoPagesToOurEngine) {
    for (int i = 0; i < 2; ++i) {
        const std::string name = "page" + std::to_string(i + 1);
        test::writePbm(pages_[i], path(name + ".pbm"));
        ASSERT_EQ(std::system(("efix -ipbm -otiffg3 -n " + path(name + ".tif") + " " + path(name + ".pbm") +
                               " >/dev/null 2>&1")
                                  .c_str()),
                  0);
    }
    startPair();
    fs::create_directory(dir_ / "inbox");
    const pid_t plxfax = start({PELLORA_PLXFAX, "receive", "--device", path("modemB"), "--class", "1", "--dir",
                                path("inbox"), "--one"},
                               "plxfax.log");
    ASSERT_TRUE(waitForText(dir_ / "plxfax.log", "Waiting for incoming call", 20)) << logs();
    const pid_t efax = start({"efax", "-d", path("modemA"), "-o1", "-t", "5551234", path("page1.tif"),
                              path("page2.tif")},
                             "efax.log");
    EXPECT_EQ(finish(efax, 90), 0) << logs();
    EXPECT_EQ(finish(plxfax, 20), 0) << logs();
    EXPECT_EQ(finish(sim_, 20), 0) << logs();

    const auto got = readPlfPages(path("inbox/FAX0001.PLF"));
    ASSERT_EQ(got.size(), 2u) << logs();
    for (int i = 0; i < 2; ++i) {
        SCOPED_TRACE("page " + std::to_string(i + 1));
        ASSERT_EQ(got[i].width, kWidth);
        // efax's header band sits above the page, its descenders drawn over the page's first
        // rows: there only the page's black must have arrived.
        EXPECT_EQ(test::wrongPixelsBelowHeader(got[i], pages_[i]), 0);
    }
    EXPECT_NE(readFile(dir_ / "plxfax.log").find("received " + path("inbox/FAX0001.PLF")), std::string::npos)
        << logs();
    EXPECT_FALSE(fs::exists(dir_ / "inbox" / "FAX0002.PLF"));
}

// One run per modem class: our engine drives the modem over its pseudo-terminal while SpanDSP's
// fax machine on the simulated line receives into a multi-page TIFF.
struct ClassCase {
    const char* name;
    const char* modemClass;
    const char* header;  // --header text, or nullptr for none
};

void PrintTo(const ClassCase& c, std::ostream* os) { *os << c.name; }

class PlxfaxSendsThroughEachClass : public PlxfaxPeer, public ::testing::WithParamInterface<ClassCase> {};

TEST_P(PlxfaxSendsThroughEachClass, TwoPagesArriveIntact) {
    const ClassCase& c = GetParam();
    sim_ = start({PELLORA_MODEMSIM, "--pty", path("modem"), "--class", c.modemClass, "--speed", "2",
                  "--far-receive", path("out.tif"), "--timeout", "100"},
                 "modemsim.log");
    ASSERT_TRUE(test::waitForPath(path("modem"))) << logs();
    std::vector<std::string> args = {PELLORA_PLXFAX, "send", "--device", path("modem"), "--class", c.modemClass};
    if (c.header) args.insert(args.end(), {"--header", c.header});
    args.insert(args.end(), {"5551234", path("pages.PLF")});
    const pid_t plxfax = start(args, "plxfax.log");
    EXPECT_EQ(finish(plxfax, 90), 0) << logs();
    EXPECT_EQ(finish(sim_, 20), 0) << logs();
    EXPECT_NE(readFile(dir_ / "modemsim.log").find("fax went through (2 page(s)"), std::string::npos) << logs();

    const auto got = readTiffPages(path("out.tif"));
    ASSERT_EQ(got.size(), 2u) << logs();
    for (int i = 0; i < 2; ++i) {
        SCOPED_TRACE("page " + std::to_string(i + 1));
        ASSERT_EQ(got[i].width, kWidth);
        EXPECT_EQ(wrongPixelsAtBottom(got[i], pages_[i]), 0);
        const int above = got[i].height - pages_[i].height;
        if (!c.header) {
            ASSERT_EQ(above, kLeadingBlankLines);
            for (int y = 0; y < above; ++y) EXPECT_TRUE(rowBlank(got[i], y)) << "row " << y;
        } else {
            // The blank lines, then the header line's text right above the page.
            ASSERT_GT(above, kLeadingBlankLines);
            for (int y = 0; y < kLeadingBlankLines; ++y) EXPECT_TRUE(rowBlank(got[i], y)) << "row " << y;
            bool text = false;
            for (int y = kLeadingBlankLines; y < above; ++y) text = text || !rowBlank(got[i], y);
            EXPECT_TRUE(text) << "no header text above the page";
        }
    }
    EXPECT_TRUE(fs::is_empty(dir_ / "tmp")) << "the joined file is removed";
}

INSTANTIATE_TEST_SUITE_P(Classes, PlxfaxSendsThroughEachClass,
                         ::testing::Values(ClassCase{"Class1", "1", nullptr},
                                           ClassCase{"Class2", "2", "Page $P of $N"},
                                           ClassCase{"Class20", "2.0", nullptr}),
                         [](const auto& p) { return std::string(p.param.name); });

}  // namespace
}  // namespace pellora::fax
