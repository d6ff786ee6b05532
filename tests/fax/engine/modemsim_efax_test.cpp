// The rig proved with a fax program we did not write: efax drives `modemsim` over a
// pseudo-terminal, sending a page to the simulated far fax machine and receiving one from it.
// The pages are checked pixel by pixel with libtiff's and netpbm's tools.
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fcntl.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace {

namespace fs = std::filesystem;

struct Bitmap {
    int width = 0, height = 0;
    std::vector<std::uint8_t> bits;  // PBM rows, most significant bit leftmost, 1 = black
    bool pixel(int x, int y) const {
        return bits[static_cast<std::size_t>(y) * ((width + 7) / 8) + x / 8] & (0x80 >> (x % 8));
    }
};

// A 1000-line page: efax divides by the whole seconds a page took, so a page must last a
// second or more on the line.
Bitmap testPage() {
    Bitmap b{1728, 1000, {}};
    b.bits.assign(216 * 1000, 0);
    for (int y = 0; y < b.height; ++y)
        for (int x = 0; x < b.width; ++x) {
            bool black = (y >= 20 && y < 40) || (y >= 80 && y < 180 && x >= 100 && x < 300) ||
                         x == 1000 || (y % 100 == 50 && x < 864) ||
                         (y >= 400 && y < 464 && (x / 32 + y / 32) % 2 == 0);
            if (black) b.bits[y * 216 + x / 8] |= static_cast<std::uint8_t>(0x80 >> (x % 8));
        }
    return b;
}

void writePbm(const Bitmap& b, const std::string& path) {
    std::ofstream out(path, std::ios::binary);
    out << "P4\n" << b.width << " " << b.height << "\n";
    out.write(reinterpret_cast<const char*>(b.bits.data()), static_cast<std::streamsize>(b.bits.size()));
}

Bitmap readPbm(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    Bitmap b;
    std::string magic;
    in >> magic >> b.width >> b.height;
    in.get();
    if (magic != "P4" || b.width <= 0 || b.height <= 0) return {};
    b.bits.resize(static_cast<std::size_t>((b.width + 7) / 8) * b.height);
    in.read(reinterpret_cast<char*>(b.bits.data()), static_cast<std::streamsize>(b.bits.size()));
    return b;
}

int run(const std::string& command) { return std::system(command.c_str()); }

pid_t spawn(const std::vector<std::string>& args, const std::string& log) {
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
    pid_t pid = -1;
    posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    return pid;
}

// Exit status, or -1 when it had to be killed after `seconds`.
int waitFor(pid_t pid, int seconds) {
    auto end = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    int status = 0;
    while (std::chrono::steady_clock::now() < end) {
        if (::waitpid(pid, &status, WNOHANG) == pid) return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    ::kill(pid, SIGKILL);
    ::waitpid(pid, &status, 0);
    return -1;
}

std::string slurp(const std::string& path) {
    std::ifstream in(path);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

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

TEST_F(ModemsimEfax, EfaxSendsAPageToTheFarReceiver) {
    std::string pty = dir_ + "/modem";
    pid_t sim = spawn({PELLORA_MODEMSIM, "--pty", pty, "--speed", "2", "--far-receive",
                       dir_ + "/out.tif", "--timeout", "60"},
                      dir_ + "/modemsim.log");
    for (int i = 0; i < 100 && !fs::exists(pty); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    pid_t efax = spawn({"efax", "-d", pty, "-o1", "-t", "5551234", dir_ + "/page.tif"},
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
    // efax puts a header line of its own above the page; the descenders of its text reach
    // into the page's first rows, drawn over them.
    ASSERT_EQ(got.width, 1728);
    ASSERT_GE(got.height, page_.height);
    int offset = got.height - page_.height;
    int wrong = 0;
    for (int y = 0; y < page_.height; ++y)
        for (int x = 0; x < page_.width; ++x) {
            bool g = got.pixel(x, y + offset), e = page_.pixel(x, y);
            wrong += y < 8 ? (e && !g) : g != e;
        }
    EXPECT_EQ(wrong, 0);
}

TEST_F(ModemsimEfax, EfaxReceivesAPageFromTheFarSender) {
    std::string pty = dir_ + "/modem";
    pid_t sim = spawn({PELLORA_MODEMSIM, "--pty", pty, "--speed", "2", "--far-send",
                       dir_ + "/page.tif", "--rings", "3", "--timeout", "60"},
                      dir_ + "/modemsim.log");
    for (int i = 0; i < 100 && !fs::exists(pty); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    pid_t efax = spawn({"efax", "-d", pty, "-o1", "-r", dir_ + "/recv"}, dir_ + "/efax.log");
    EXPECT_EQ(waitFor(efax, 70), 0) << slurp(dir_ + "/efax.log");
    EXPECT_EQ(waitFor(sim, 30), 0) << slurp(dir_ + "/modemsim.log");
    ASSERT_TRUE(fs::exists(dir_ + "/recv.001")) << slurp(dir_ + "/efax.log");
    ASSERT_EQ(run("tifftopnm " + dir_ + "/recv.001 > " + dir_ + "/recv.pbm 2>/dev/null"), 0);
    Bitmap got = readPbm(dir_ + "/recv.pbm");
    ASSERT_EQ(got.width, page_.width);
    ASSERT_EQ(got.height, page_.height);
    EXPECT_EQ(got.bits, page_.bits);
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
        {"--pty /tmp/x --class 2 --far-receive a.tif", 2},
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
