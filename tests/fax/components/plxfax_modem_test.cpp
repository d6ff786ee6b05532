// The fax components and `plxfax send | receive | modem-check` against the simulated modem:
// SpanDSP's T.31 modem with SpanDSP's fax machine at the far end of the line judges whether a
// fax went through.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "fax/components/event_queue_notifier.h"
#include "fax/components/fax_log.h"
#include "fax/components/send_fax.h"
#include "fax/image/plf.h"
#include "fax/image/t4.h"
#include "fax/engine/peer_programs.h"
#include "fax/image/test_util.h"
#include "support/temp_dir.h"

extern char** environ;

namespace pellora::fax {
namespace {

namespace fs = std::filesystem;
using pellora::test::readFile;
using pellora::test::TempDir;
using test::spawn;
using test::spawnTo;
using test::waitFor;
using test::waitForText;




class ModemTest : public ::testing::Test {
protected:
    void SetUp() override {
        fs::create_directory(dir_ / "tmp");
        for (int f = 0; f < 3; ++f) {
            const std::string name = (dir_ / ("page" + std::to_string(f) + ".PLF")).string();
            ASSERT_EQ(test::writePlf(name, {test::textLikePage(1728, 64, 7u + unsigned(f))}, false), 0);
            files_.push_back(name);
        }
    }
    void TearDown() override {
        if (sim_ > 0) {
            ::kill(sim_, SIGTERM);
            waitFor(sim_, 10);
        }
    }
    // Starts modemsim on a pty; the far machine receives unless other arguments are given.
    std::string startModem(std::vector<std::string> extra = {}) {
        const std::string pty = (dir_ / "modem").string();
        std::vector<std::string> args = {PELLORA_MODEMSIM, "--pty", pty, "--speed", "2", "--timeout", "120"};
        if (extra.empty()) extra = {"--far-receive", (dir_ / "out.tif").string()};
        args.insert(args.end(), extra.begin(), extra.end());
        sim_ = spawn(args, (dir_ / "modemsim.log").string());
        for (int i = 0; i < 200 && !fs::exists(pty); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(20));
        return pty;
    }
    // Runs plxfax to its end with its own temporary folder; stdout and stderr in out_, err_.
    int plxfax(const std::vector<std::string>& args, int limitSeconds = 120) {
        std::vector<std::string> all = {PELLORA_PLXFAX};
        all.insert(all.end(), args.begin(), args.end());
        const pid_t pid = spawnTo(all, (dir_ / "out.txt").string(), (dir_ / "err.txt").string(),
                                {"TMPDIR=" + (dir_ / "tmp").string()});
        const int rc = waitFor(pid, limitSeconds);
        out_ = readFile(dir_ / "out.txt");
        err_ = readFile(dir_ / "err.txt");
        return rc;
    }
    int modemResult() {
        const int rc = waitFor(sim_, 30);
        sim_ = -1;
        return rc;
    }
    bool temporaryFolderEmpty() const { return fs::is_empty(dir_ / "tmp"); }

    TempDir dir_;
    std::vector<std::string> files_;
    pid_t sim_ = -1;
    std::string out_, err_;
};

TEST_F(ModemTest, ModemCheckListsTheClasses) {
    const std::string pty = startModem();
    EXPECT_EQ(plxfax({"modem-check", "--device", pty}), 0) << err_;
    EXPECT_EQ(out_, pty + ": fax classes 1\n");
}

TEST_F(ModemTest, ModemCheckWithoutADevice) {
    EXPECT_EQ(plxfax({"modem-check", "--device", (dir_ / "no-such-tty").string()}), 1);
    EXPECT_NE(err_.find("comport doesn't exist"), std::string::npos) << err_;
}

TEST_F(ModemTest, SendJoinsTheFilesIntoOneFax) {
    const std::string pty = startModem();
    const std::string history = (dir_ / "FAXHIST.HIS").string();
    EXPECT_EQ(plxfax({"send", "--device", pty, "--history", history, "--station", "+1 555 0199",
                      "5550100", files_[0], files_[1], files_[2]}),
              0)
        << out_ << err_;
    EXPECT_EQ(modemResult(), 0) << readFile(dir_ / "modemsim.log");
    EXPECT_NE(readFile(dir_ / "modemsim.log").find("(3 page(s)"), std::string::npos)
        << readFile(dir_ / "modemsim.log");
    EXPECT_TRUE(temporaryFolderEmpty());
    const std::string h = readFile(history);
    EXPECT_NE(h.find("Transmit " + files_[2] + " to 5550100 started at "), std::string::npos) << h;
    EXPECT_NE(h.find(" finished OK at "), std::string::npos) << h;
    // Not on a terminal: one line per status change, ending with the page confirmed.
    EXPECT_NE(out_.find("Dialing"), std::string::npos) << out_;
    EXPECT_NE(out_.find("Page accepted by remote | page 3/3"), std::string::npos) << out_;
}

TEST_F(ModemTest, SendGivesUpOnABusyNumberWithTheErrorText) {
    const std::string pty = startModem({"--far-receive", (dir_ / "out.tif").string(), "--fault", "busy:5"});
    EXPECT_EQ(plxfax({"send", "--device", pty, "--attempts", "2", "--retry-wait", "1", "5550100",
                      files_[0], files_[1]}),
              1)
        << out_ << err_;
    EXPECT_EQ(err_, "plxfax send: Called fax number was busy\n");
    EXPECT_NE(out_.find("Busy, waiting until redial..."), std::string::npos) << out_;
    EXPECT_TRUE(temporaryFolderEmpty());
}

// Decoded lines of every page of a PLF file.
std::vector<std::vector<std::vector<std::uint8_t>>> decodePages(const std::string& name) {
    std::vector<std::vector<std::vector<std::uint8_t>>> pages;
    PlfReader r;
    if (r.open(name) != 0) return pages;
    for (unsigned k = 1; k <= r.header().pageCount; ++k) {
        std::vector<std::vector<std::uint8_t>> lines;
        if (r.locatePage(k) != 0) break;
        T4Decoder dec;
        std::span<const std::uint8_t> chunk;
        while (r.readChunk(chunk) == 1 && !dec.pageEnded())
            dec.decode(chunk, [&](std::span<const std::uint8_t> l) {
                lines.emplace_back(l.begin(), l.end());
                return true;
            });
        pages.push_back(std::move(lines));
    }
    return pages;
}

TEST_F(ModemTest, ReceiveStoresTheFaxUnderTheDefaultName) {
    if (std::system("command -v efix >/dev/null") != 0)
        FAIL() << "efix missing (scripts/install-deps.sh installs it)";
    // The far machine sends a page made by efix from a bitmap of ours.
    const MonoBitmap page = test::textLikePage(1728, 64, 99);
    {
        std::ofstream pbm(dir_ / "page.pbm", std::ios::binary);
        pbm << "P4\n1728 64\n";
        for (int y = 0; y < page.height(); ++y) {
            auto row = page.row(y);
            pbm.write(reinterpret_cast<const char*>(row.data()), 216);
        }
    }
    ASSERT_EQ(std::system(("cd " + dir_.path().string() +
                           " && efix -ipbm -otiffg3 -n page.tif page.pbm >/dev/null 2>&1").c_str()),
              0);
    fs::create_directory(dir_ / "inbox");
    test::writeFile((dir_ / "inbox" / "FAX0001.PLF").string(), {'o', 'l', 'd'});
    const std::string pty = startModem({"--far-send", (dir_ / "page.tif").string(), "--rings", "3"});
    const std::string history = (dir_ / "FAXHIST.HIS").string();
    EXPECT_EQ(plxfax({"receive", "--device", pty, "--dir", (dir_ / "inbox").string(), "--one",
                      "--history", history}),
              0)
        << out_ << err_;
    EXPECT_EQ(modemResult(), 0) << readFile(dir_ / "modemsim.log");
    // FAX0001.PLF was taken: the fax is the next number, and the old file is untouched.
    const std::string received = (dir_ / "inbox" / "FAX0002.PLF").string();
    EXPECT_EQ(readFile(dir_ / "inbox" / "FAX0001.PLF"), "old");
    const auto pages = decodePages(received);
    ASSERT_EQ(pages.size(), 1u) << out_;
    ASSERT_GE(pages[0].size(), 64u);
    int wrongRows = 0;
    for (int y = 0; y < 64; ++y) {
        auto expected = page.row(y);
        if (!std::equal(expected.begin(), expected.begin() + 216, pages[0][std::size_t(y)].begin()))
            ++wrongRows;
    }
    EXPECT_EQ(wrongRows, 0);
    const std::string h = readFile(history);
    EXPECT_NE(h.find("Receive " + received + " from "), std::string::npos) << h;
    EXPECT_NE(h.find("Receive finished OK at "), std::string::npos) << h;
    EXPECT_NE(out_.find("received " + received), std::string::npos) << out_;
}

TEST_F(ModemTest, CtrlCCancelsCleanly) {
    const std::string pty = startModem();
    std::vector<std::string> all = {PELLORA_PLXFAX, "receive", "--device", pty, "--dir", dir_.path().string()};
    const pid_t pid = spawnTo(all, (dir_ / "out.txt").string(), (dir_ / "err.txt").string());
    ASSERT_TRUE(waitForText(dir_ / "out.txt", "Waiting for incoming call", 60)) << readFile(dir_ / "err.txt");
    ::kill(pid, SIGINT);
    EXPECT_EQ(waitFor(pid, 60), 130);
    EXPECT_NE(readFile(dir_ / "out.txt").find("User abort"), std::string::npos) << readFile(dir_ / "out.txt");
    EXPECT_NE(readFile(dir_ / "err.txt").find("plxfax receive: Cancel requested"), std::string::npos)
        << readFile(dir_ / "err.txt");
}

TEST_F(ModemTest, WrongCommandLinesPrintTheUsage) {
    const struct {
        std::vector<std::string> args;
        const char* says;
    } cases[] = {
        {{"send", "5550100", "a.PLF"}, "--device DEV is required"},
        {{"send", "--device", "/dev/null", "5550100"}, "expected a phone number and at least one PLF file"},
        {{"send", "--device", "/dev/null", "--bps", "fast", "1", "a.PLF"}, "--bps needs a number"},
        {{"send", "--device", "/dev/null", "--class", "3", "1", "a.PLF"}, "--class wants auto, 1, 2 or 2.0"},
        {{"send", "--device", "/dev/null", "--colour", "1", "a.PLF"}, "unknown option --colour"},
        {{"receive", "--device"}, "--device needs a value"},
        {{"receive", "--device", "/dev/null", "--rings", "0"}, "--rings needs a number from 1 to 99"},
        {{"modem-check"}, "--device DEV is required"},
        {{"modem-check", "--device", "/dev/null", "--one"}, "unknown argument --one"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(plxfax(c.args), 2) << c.says;
        EXPECT_NE(err_.find(c.says), std::string::npos) << err_;
        EXPECT_NE(err_.find("usage: plxfax " + c.args[0]), std::string::npos) << err_;
    }
}

TEST_F(ModemTest, ABadFileIsRefusedBeforeTheModemIsUsed) {
    pellora::test::writeFile(dir_ / "letter.txt", "no fax");
    EXPECT_EQ(plxfax({"send", "--device", "/dev/null", "5550100", (dir_ / "letter.txt").string()}), 1);
    EXPECT_NE(err_.find("File is not a PLF file"), std::string::npos) << err_;
}

// The component itself: the joined file is what the session sends, and it is gone at the finish.
TEST_F(ModemTest, JoinedFileIsSentAndRemovedAtTheFinish) {
    const std::string pty = startModem({"--far-receive", (dir_ / "out.tif").string(), "--fault", "busy:3"});
    TComPort port;  // outlives the component
    EventQueueNotifier queue;
    TSendFax send(queue, &queue);
    send.setComPort(&port);
    port.setDeviceName(pty);
    ASSERT_EQ(port.open(), 0) << port.lastErrorText();
    send.PhoneNumber = "5550100";
    send.FaxFileList = files_;
    send.DialAttempts = 1;
    TFaxLog log;
    log.FaxHistoryName = (dir_ / "FAXHIST.HIS").string();
    log.setFax(&send);
    std::string handedOver;
    std::vector<int> logCodes;
    send.OnFaxLog = [&](TCustomAbstractFax& cp, TFaxLogCode code) {
        logCodes.push_back(code);
        if (code == lcTransmitStart) handedOver = cp.session().faxFile();
    };
    bool finished = false;
    int finishCode = 0;
    bool tempGoneAtFinish = false;
    send.OnFaxFinish = [&](TCustomAbstractFax& cp, int code) {
        finished = true;
        finishCode = code;
        tempGoneAtFinish = static_cast<TSendFax&>(cp).temporaryFile().empty();
    };

    send.BeginTransmit();
    const std::string joined = send.temporaryFile();
    ASSERT_FALSE(joined.empty());
    EXPECT_EQ(fs::path(joined).filename().string().rfind("~FX", 0), 0u);
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(120);
    while (!finished && std::chrono::steady_clock::now() < end) {
        EXPECT_TRUE(fs::exists(joined));
        queue.waitAndProcess(std::chrono::milliseconds(100));
    }
    ASSERT_TRUE(finished);
    EXPECT_EQ(handedOver, joined);
    EXPECT_EQ(finishCode, -8064);
    EXPECT_TRUE(tempGoneAtFinish);
    EXPECT_FALSE(fs::exists(joined));
    EXPECT_EQ(logCodes, (std::vector<int>{lcTransmitStart, lcTransmitFail}));
    // One start line per listed file, then the failure.
    const std::string h = readFile(dir_ / "FAXHIST.HIS");
    std::size_t starts = 0;
    for (std::size_t at = 0; (at = h.find("started at", at)) != std::string::npos; ++at) ++starts;
    EXPECT_EQ(starts, 3u) << h;
    EXPECT_NE(h.find("  (Called fax number was busy) 0\r\n\r\n"), std::string::npos) << h;
}

}  // namespace
}  // namespace pellora::fax
