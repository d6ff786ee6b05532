// Two fax programs we did not write fax each other through `modemsim --pair`: efax sends two
// pages from one pseudo-terminal, another efax answers on the second and stores them. The
// received pages are compared pixel by pixel with the sent ones (libtiff's and netpbm's tools).
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "peer_programs.h"

namespace {

namespace fs = std::filesystem;
using namespace pellora::fax::test;

class ModemsimPair : public ::testing::Test {
protected:
    void SetUp() override {
        if (run("command -v efax >/dev/null && command -v efix >/dev/null && command -v tifftopnm >/dev/null") != 0)
            FAIL() << "efax, efix or tifftopnm missing (scripts/install-deps.sh installs them)";
        char tmpl[] = "/tmp/pellora-modemsim-pair-XXXXXX";
        dir_ = ::mkdtemp(tmpl);
        for (int i = 0; i < 2; ++i) {
            pages_[i] = testPage(i);
            std::string name = "page" + std::to_string(i + 1);
            writePbm(pages_[i], dir_ + "/" + name + ".pbm");
            ASSERT_EQ(run("cd " + dir_ + " && efix -ipbm -otiffg3 -n " + name + ".tif " + name +
                          ".pbm >/dev/null 2>&1"),
                      0);
        }
    }
    void TearDown() override {
        if (!dir_.empty() && !HasFailure()) fs::remove_all(dir_);
    }
    std::string dir_;
    Bitmap pages_[2];
};

TEST_F(ModemsimPair, EfaxSendsTwoPagesToEfax) {
    std::string caller = dir_ + "/modemA", callee = dir_ + "/modemB";
    pid_t sim = spawn({PELLORA_MODEMSIM, "--pty", caller, "--pair", callee, "--speed", "2", "--timeout", "50"},
                      dir_ + "/modemsim.log");
    ASSERT_TRUE(waitForPath(caller) && waitForPath(callee)) << slurp(dir_ + "/modemsim.log");
    // The receiver waits (-w) for its modem to answer by itself on the first ring (S0=1).
    pid_t receiver = spawn({"efax", "-d", callee, "-o1", "-iS0=1", "-w", "-r", dir_ + "/recv"},
                           dir_ + "/receiver.log");
    std::this_thread::sleep_for(std::chrono::seconds(1));
    pid_t sender = spawn({"efax", "-d", caller, "-o1", "-t", "5551234", dir_ + "/page1.tif", dir_ + "/page2.tif"},
                         dir_ + "/sender.log");
    EXPECT_EQ(waitFor(sender, 60), 0) << slurp(dir_ + "/sender.log");
    EXPECT_EQ(waitFor(receiver, 15), 0) << slurp(dir_ + "/receiver.log");
    EXPECT_EQ(waitFor(sim, 15), 0) << slurp(dir_ + "/modemsim.log");

    for (int i = 0; i < 2; ++i) {
        SCOPED_TRACE(i + 1);
        std::string received = dir_ + "/recv.00" + std::to_string(i + 1);
        ASSERT_TRUE(fs::exists(received)) << slurp(dir_ + "/receiver.log");
        ASSERT_EQ(run("tifftopnm " + received + " > " + received + ".pbm 2>/dev/null"), 0);
        Bitmap got = readPbm(received + ".pbm");
        ASSERT_EQ(got.width, 1728);
        EXPECT_EQ(wrongPixelsBelowHeader(got, pages_[i]), 0);
    }
    EXPECT_FALSE(fs::exists(dir_ + "/recv.003"));
}

}  // namespace
