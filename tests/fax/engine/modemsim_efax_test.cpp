// The rig proved with a fax program we did not write: efax drives `modemsim` over a
// pseudo-terminal as a Class 1, Class 2 or Class 2.0 modem, sending a page to the simulated
// far fax machine and receiving one from it; and a scripted DTE of ours sends a page through
// the Class 2 modem in real time. The pages are checked pixel by pixel with libtiff's and
// netpbm's tools.
#include <gtest/gtest.h>
#include <poll.h>
#include <termios.h>

#include <algorithm>
#include <filesystem>
#include <span>
#include <string>

#include "fax/image/t4.h"
#include "peer_programs.h"

namespace {

namespace fs = std::filesystem;
using namespace pellora::fax::test;

class ModemsimEfax : public ::testing::Test {
protected:
    void SetUp() override {
        if (run("command -v efax >/dev/null && command -v efix >/dev/null && "
                "command -v tifftopnm >/dev/null && command -v tiffinfo >/dev/null") != 0)
            FAIL() << "efax, efix, tifftopnm or tiffinfo missing (scripts/install-deps.sh installs them)";
        char tmpl[] = "/tmp/pellora-modemsim-XXXXXX";
        dir_ = ::mkdtemp(tmpl);
        page_ = testPage();
        writePbm(page_, dir_ + "/page.pbm");
        ASSERT_EQ(run("cd " + dir_ + " && efix -ipbm -otiffg3 -n page.tif page.pbm >/dev/null 2>&1"), 0);
    }
    void TearDown() override {
        if (!dir_.empty() && !HasFailure()) fs::remove_all(dir_);
    }
    std::string dir_;
    Bitmap page_;
};

// efax's option for a class, and modemsim's.
struct ClassCase {
    const char* name;
    const char* efaxOption;
    const char* modemClass;
};

void PrintTo(const ClassCase& c, std::ostream* os) { *os << c.name; }

class ModemsimEfaxSends : public ModemsimEfax, public ::testing::WithParamInterface<ClassCase> {};
class ModemsimEfaxReceives : public ModemsimEfax, public ::testing::WithParamInterface<ClassCase> {};

TEST_P(ModemsimEfaxSends, APageToTheFarReceiver) {
    std::string pty = dir_ + "/modem";
    pid_t sim = spawn({PELLORA_MODEMSIM, "--pty", pty, "--class", GetParam().modemClass, "--speed", "2",
                       "--far-receive", dir_ + "/out.tif", "--timeout", "60"},
                      dir_ + "/modemsim.log");
    waitForPath(pty);
    pid_t efax = spawn({"efax", "-d", pty, GetParam().efaxOption, "-t", "5551234", dir_ + "/page.tif"},
                       dir_ + "/efax.log");
    EXPECT_EQ(waitFor(efax, 70), 0) << slurp(dir_ + "/efax.log");
    EXPECT_EQ(waitFor(sim, 30), 0) << slurp(dir_ + "/modemsim.log");

    std::string info = dir_ + "/info.txt";
    run("tiffinfo " + dir_ + "/out.tif > " + info + " 2>&1");
    EXPECT_NE(slurp(info).find("Image Width: 1728"), std::string::npos) << slurp(info);
    // Asked for one-dimensional coding, the far machine stores it so.
    EXPECT_EQ(slurp(info).find("2-d encoding"), std::string::npos) << slurp(info);
    ASSERT_EQ(run("tifftopnm " + dir_ + "/out.tif > " + dir_ + "/out.pbm 2>/dev/null"), 0);
    Bitmap got = readPbm(dir_ + "/out.pbm");
    ASSERT_EQ(got.width, 1728);
    EXPECT_EQ(wrongPixelsBelowHeader(got, page_), 0);
}

INSTANTIATE_TEST_SUITE_P(Classes, ModemsimEfaxSends,
                         ::testing::Values(ClassCase{"Class1", "-o1", "1"}, ClassCase{"Class2", "-o2", "2"}),
                         [](const auto& p) { return std::string(p.param.name); });

TEST_P(ModemsimEfaxReceives, APageFromTheFarSender) {
    std::string pty = dir_ + "/modem";
    pid_t sim = spawn({PELLORA_MODEMSIM, "--pty", pty, "--class", GetParam().modemClass, "--speed", "2",
                       "--far-send", dir_ + "/page.tif", "--rings", "3", "--timeout", "60"},
                      dir_ + "/modemsim.log");
    waitForPath(pty);
    pid_t efax = spawn({"efax", "-d", pty, GetParam().efaxOption, "-r", dir_ + "/recv"}, dir_ + "/efax.log");
    EXPECT_EQ(waitFor(efax, 70), 0) << slurp(dir_ + "/efax.log");
    EXPECT_EQ(waitFor(sim, 30), 0) << slurp(dir_ + "/modemsim.log");
    // efax warns of pages that ended without RTC or with bad lines.
    EXPECT_EQ(slurp(dir_ + "/efax.log").find("reception errors"), std::string::npos) << slurp(dir_ + "/efax.log");
    ASSERT_TRUE(fs::exists(dir_ + "/recv.001")) << slurp(dir_ + "/efax.log");
    ASSERT_EQ(run("tifftopnm " + dir_ + "/recv.001 > " + dir_ + "/recv.pbm 2>/dev/null"), 0);
    Bitmap got = readPbm(dir_ + "/recv.pbm");
    ASSERT_EQ(got.width, page_.width);
    ASSERT_EQ(got.height, page_.height);
    EXPECT_EQ(got.bits, page_.bits);
}

// Class 2 hands received data over with the first bit in the most significant bit, Class 2.0
// as it came; efax reads either.
INSTANTIATE_TEST_SUITE_P(Classes, ModemsimEfaxReceives,
                         ::testing::Values(ClassCase{"Class1", "-o1", "1"}, ClassCase{"Class2", "-o2", "2"},
                                           ClassCase{"Class20", "-o0", "2.0"}),
                         [](const auto& p) { return std::string(p.param.name); });

// A DTE of our own on the pseudo-terminal, in real time: the exchange our engine has with a
// Class 2 modem when it sends a page, byte for byte.
class PtyDte {
public:
    explicit PtyDte(const std::string& path) {
        fd_ = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
        termios t;
        if (fd_ >= 0 && ::tcgetattr(fd_, &t) == 0) {
            ::cfmakeraw(&t);
            ::tcsetattr(fd_, TCSANOW, &t);
        }
    }
    ~PtyDte() {
        if (fd_ >= 0) ::close(fd_);
    }
    bool ok() const { return fd_ >= 0; }

    void write(const std::vector<std::uint8_t>& data) {
        for (std::size_t at = 0; at < data.size();) {
            ssize_t n = ::write(fd_, data.data() + at, data.size() - at);
            if (n > 0) at += static_cast<std::size_t>(n);
            else wait(POLLOUT, 20);
        }
    }
    void write(const std::string& s) { write(std::vector<std::uint8_t>(s.begin(), s.end())); }

    // The lines up to a final result code, or those seen in `ms` milliseconds.
    std::vector<std::string> command(const std::string& cmd, int ms = 10000) {
        if (!cmd.empty()) write(cmd + "\r");
        std::vector<std::string> lines;
        std::string line;
        auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
        while (std::chrono::steady_clock::now() < end) {
            int c = byte(20);
            if (c < 0) continue;
            if (c == '\r' || c == '\n') {
                if (line.empty()) continue;
                lines.push_back(line);
                line.clear();
                for (const char* f : {"OK", "ERROR", "CONNECT", "NO CARRIER", "BUSY"})
                    if (lines.back() == f) return lines;
            } else {
                line += static_cast<char>(c);
            }
        }
        return lines;
    }

    int byte(int ms) {
        std::uint8_t b;
        if (::read(fd_, &b, 1) == 1) return b;
        wait(POLLIN, ms);
        return ::read(fd_, &b, 1) == 1 ? b : -1;
    }

private:
    void wait(short events, int ms) {
        pollfd p{fd_, events, 0};
        ::poll(&p, 1, ms);
    }
    int fd_ = -1;
};

std::string joined(const std::vector<std::string>& lines) {
    std::string s;
    for (const auto& l : lines) s += (s.empty() ? "" : " | ") + l;
    return s;
}

TEST_F(ModemsimEfax, ScriptedDteSendsAPageThroughAClass2Modem) {
    std::string pty = dir_ + "/modem";
    pid_t sim = spawn({PELLORA_MODEMSIM, "--pty", pty, "--class", "2", "--speed", "2", "--far-receive",
                       dir_ + "/out.tif", "--timeout", "60"},
                      dir_ + "/modemsim.log");
    ASSERT_TRUE(waitForPath(pty));
    PtyDte dte(pty);
    ASSERT_TRUE(dte.ok());
    EXPECT_EQ(joined(dte.command("ATE0")), "ATE0 | OK") << "echo is on until ATE0";
    for (const char* cmd : {"AT+FCLASS=2", "AT+FCR=1", "AT+FLID=\"555 0199\"", "AT+FAA=0",
                            "AT+FDIS=0,5,0,2,0,0,0,0"})
        EXPECT_EQ(joined(dte.command(cmd)), "OK") << cmd;
    EXPECT_EQ(joined(dte.command("ATDT5551234", 30000)), "+FCON | +FCSI:\"         +1 555 0100\" | +FDIS:1,5,0,2,1,0,0,0 | OK");
    EXPECT_EQ(joined(dte.command("AT+FDT", 30000)), "+FDCS:0,5,0,2,0,0,0,0 | CONNECT");
    int c;
    while ((c = dte.byte(5000)) == '\n') {
    }
    EXPECT_EQ(c, 0x11) << "DC1 when the modem is ready for the page";

    // The page: 1-D lines of our coder, first bit in the least significant bit, DLE doubled.
    pellora::fax::T4Encoder encoder(pellora::fax::kNormalWidth, 0);
    std::vector<std::uint8_t> data;
    auto put = [&](std::span<const std::uint8_t> bytes) {
        for (std::uint8_t b : bytes) {
            data.push_back(b);
            if (b == 0x10) data.push_back(0x10);
        }
    };
    const int lines = 300;
    for (int y = 0; y < lines; ++y)
        put(encoder.encodeLine(std::span<const std::uint8_t>(page_.bits.data() + y * 216, 216)));
    put(pellora::fax::T4Encoder::endOfPage());
    data.push_back(0x10);
    data.push_back(0x03);
    dte.write(data);
    EXPECT_EQ(joined(dte.command("", 30000)), "OK");
    EXPECT_EQ(joined(dte.command("AT+FET=2", 30000)), "+FPTS:1 | +FHNG:0 | OK");
    EXPECT_EQ(joined(dte.command("ATH")), "OK");
    EXPECT_EQ(waitFor(sim, 30), 0) << slurp(dir_ + "/modemsim.log");

    ASSERT_EQ(run("tifftopnm " + dir_ + "/out.tif > " + dir_ + "/out.pbm 2>/dev/null"), 0);
    Bitmap got = readPbm(dir_ + "/out.pbm");
    ASSERT_EQ(got.width, 1728);
    ASSERT_EQ(got.height, lines);
    EXPECT_TRUE(std::equal(got.bits.begin(), got.bits.end(), page_.bits.begin()));
}

TEST(ModemsimCommandLine, RefusesWhatItCannotDo) {
    struct Case {
        std::string args;
        int status;
    };
    const Case cases[] = {
        {"", 2},
        {"--pty /tmp/x", 2},
        {"--pty /tmp/x --far-receive a.tif --pair /tmp/y", 2},
        {"--pty /tmp/x --class 3 --far-receive a.tif", 2},
        {"--pty /tmp/x --class 2 --pair /tmp/y", 2},
        {"--pty /tmp/x --far-receive a.tif --fault nonsense", 2},
        {"--pty /tmp/x --far-receive a.tif --fault error", 2},
        {"--pty /tmp/x --far-send a.tif --rings 0", 2},
    };
    for (const Case& c : cases) {
        int status = run(std::string(PELLORA_MODEMSIM) + " " + c.args + " >/dev/null 2>&1");
        EXPECT_TRUE(WIFEXITED(status)) << c.args;
        EXPECT_EQ(WEXITSTATUS(status), c.status) << c.args;
    }
}

}  // namespace
