// Helpers for tests that run other programs against `modemsim` over pseudo-terminals: start
// and wait for a program, and the bitmaps (PBM) used to compare the pages that crossed.
#pragma once

#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fcntl.h>

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace pellora::fax::test {

struct Bitmap {
    int width = 0, height = 0;
    std::vector<std::uint8_t> bits;  // PBM rows, most significant bit leftmost, 1 = black
    bool pixel(int x, int y) const {
        return bits[static_cast<std::size_t>(y) * ((width + 7) / 8) + x / 8] & (0x80 >> (x % 8));
    }
};

// A 1000-line page, 1728 wide: efax divides by the whole seconds a page took, so a page must
// last a second or more on the line. `variant` 0 and 1 give two different pages.
inline Bitmap testPage(int variant = 0) {
    Bitmap b{1728, 1000, {}};
    b.bits.assign(216 * 1000, 0);
    for (int y = 0; y < b.height; ++y)
        for (int x = 0; x < b.width; ++x) {
            bool black = variant == 0
                             ? (y >= 20 && y < 40) || (y >= 80 && y < 180 && x >= 100 && x < 300) ||
                                   x == 1000 || (y % 100 == 50 && x < 864) ||
                                   (y >= 400 && y < 464 && (x / 32 + y / 32) % 2 == 0)
                             : (y >= 30 && (x + y) % 97 < 3) || (y >= 600 && y < 900 && x >= 1200) ||
                                   (y % 7 == 0 && x % 16 < 4);
            if (black) b.bits[y * 216 + x / 8] |= static_cast<std::uint8_t>(0x80 >> (x % 8));
        }
    return b;
}

inline void writePbm(const Bitmap& b, const std::string& path) {
    std::ofstream out(path, std::ios::binary);
    out << "P4\n" << b.width << " " << b.height << "\n";
    out.write(reinterpret_cast<const char*>(b.bits.data()), static_cast<std::streamsize>(b.bits.size()));
}

inline Bitmap readPbm(const std::string& path) {
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

// Pixels that differ between what efax received and the page sent. efax puts a header band of
// its own above the page; the descenders of its text reach into the page's first 8 rows, drawn
// over them, so there only the page's black must be present. -1 when the sizes do not fit.
inline int wrongPixelsBelowHeader(const Bitmap& got, const Bitmap& sent) {
    if (got.width != sent.width || got.height < sent.height) return -1;
    int offset = got.height - sent.height;
    int wrong = 0;
    for (int y = 0; y < sent.height; ++y)
        for (int x = 0; x < sent.width; ++x) {
            bool g = got.pixel(x, y + offset), e = sent.pixel(x, y);
            wrong += y < 8 ? (e && !g) : g != e;
        }
    return wrong;
}

inline int run(const std::string& command) { return std::system(command.c_str()); }

// Starts a program with stdin from /dev/null, stdout in `out` and stderr in `err` (the same
// file when they are equal); `env` adds to the environment. -1 when it cannot start.
inline pid_t spawnTo(const std::vector<std::string>& args, const std::string& out, const std::string& err,
                     const std::vector<std::string>& env = {}) {
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    std::vector<std::string> envStrings;
    for (char** e = environ; *e; ++e) envStrings.emplace_back(*e);
    envStrings.insert(envStrings.end(), env.begin(), env.end());
    std::vector<char*> envp;
    for (auto& e : envStrings) envp.push_back(e.data());
    envp.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (err == out)
        posix_spawn_file_actions_adddup2(&actions, 1, 2);
    else
        posix_spawn_file_actions_addopen(&actions, 2, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    pid_t pid = -1;
    if (posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), envp.data()) != 0) pid = -1;
    posix_spawn_file_actions_destroy(&actions);
    return pid;
}

// Starts a program with stdout and stderr in `log`; `env` adds to the environment.
inline pid_t spawn(const std::vector<std::string>& args, const std::string& log,
                   const std::vector<std::string>& env = {}) {
    return spawnTo(args, log, log, env);
}

// Exit status, or -1 when it had to be killed after `seconds`.
inline int waitFor(pid_t pid, int seconds) {
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

// Waits up to two seconds for `modemsim` to make its pseudo-terminal's symlink.
inline bool waitForPath(const std::string& path) {
    for (int i = 0; i < 100; ++i) {
        if (std::filesystem::exists(path)) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
}

inline std::string slurp(const std::string& path) {
    std::ifstream in(path);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

// Waits up to `seconds` for `text` to show up in the file.
inline bool waitForText(const std::filesystem::path& file, const std::string& text, int seconds) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    while (std::chrono::steady_clock::now() < end) {
        if (slurp(file.string()).find(text) != std::string::npos) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return false;
}

}  // namespace pellora::fax::test
