// A pseudo-terminal pair for tests: the test holds the master side and plays the modem, the
// code under test opens the slave by its path.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

namespace pellora::fax::test {

class PtyPair {
public:
    PtyPair() {
        master_ = ::posix_openpt(O_RDWR | O_NOCTTY);
        ::grantpt(master_);
        ::unlockpt(master_);
        path_ = ::ptsname(master_);
        ::fcntl(master_, F_SETFL, ::fcntl(master_, F_GETFL) | O_NONBLOCK);
        // Keep the slave open and raw so the master never sees a hang-up in between.
        slave_ = ::open(path_.c_str(), O_RDWR | O_NOCTTY);
        termios t;
        ::tcgetattr(slave_, &t);
        ::cfmakeraw(&t);
        ::tcsetattr(slave_, TCSANOW, &t);
    }
    ~PtyPair() {
        ::close(slave_);
        ::close(master_);
    }
    const std::string& path() const { return path_; }
    int master() const { return master_; }

    void send(const std::vector<std::uint8_t>& bytes) {
        std::size_t done = 0;
        while (done < bytes.size()) {
            ssize_t n = ::write(master_, bytes.data() + done, bytes.size() - done);
            if (n > 0) done += static_cast<std::size_t>(n);
            else wait(POLLOUT, 50);
        }
    }
    void send(const std::string& s) { send(std::vector<std::uint8_t>(s.begin(), s.end())); }

    // Reads until `count` bytes came or `timeoutMs` passed.
    std::vector<std::uint8_t> receive(std::size_t count, int timeoutMs = 3000) {
        std::vector<std::uint8_t> out;
        auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        while (out.size() < count && std::chrono::steady_clock::now() < end) {
            std::uint8_t buf[4096];
            ssize_t n = ::read(master_, buf, std::min(sizeof buf, count - out.size()));
            if (n > 0) out.insert(out.end(), buf, buf + n);
            else wait(POLLIN, 20);
        }
        return out;
    }

private:
    void wait(short events, int ms) {
        pollfd p{master_, events, 0};
        ::poll(&p, 1, ms);
    }
    int master_ = -1;
    int slave_ = -1;
    std::string path_;
};

}  // namespace pellora::fax::test
