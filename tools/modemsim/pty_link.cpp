#include "tools/modemsim/pty_link.h"

#include <fcntl.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace pellora::modemsim {

PtyLink::PtyLink(const std::string& path) : link_(path) {
    master_ = ::posix_openpt(O_RDWR | O_NOCTTY);
    if (master_ < 0 || ::grantpt(master_) != 0 || ::unlockpt(master_) != 0) {
        error_ = std::string("cannot create a pseudo-terminal: ") + std::strerror(errno);
        if (master_ >= 0) ::close(master_);
        master_ = -1;
        return;
    }
    slavePath_ = ::ptsname(master_);
    ::fcntl(master_, F_SETFL, ::fcntl(master_, F_GETFL) | O_NONBLOCK);
    // Hold the slave open and raw before any DTE opens it: otherwise the DTE's first open
    // meets a cooked line (echo, CR translation, XON/XOFF taken out of page data) and the
    // master sees a hang-up whenever the DTE closes.
    slave_ = ::open(slavePath_.c_str(), O_RDWR | O_NOCTTY);
    termios t;
    if (slave_ >= 0 && ::tcgetattr(slave_, &t) == 0) {
        ::cfmakeraw(&t);
        t.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF);
        ::tcsetattr(slave_, TCSANOW, &t);
    }
    ::unlink(link_.c_str());
    if (::symlink(slavePath_.c_str(), link_.c_str()) != 0) {
        error_ = "cannot create the symlink " + link_ + ": " + std::strerror(errno);
        ::close(slave_);
        ::close(master_);
        master_ = slave_ = -1;
    }
}

PtyLink::~PtyLink() {
    if (master_ < 0) return;
    ::unlink(link_.c_str());
    ::close(slave_);
    ::close(master_);
}

int PtyLink::takeFromDte(std::uint8_t* buffer, int max) {
    flush();
    ssize_t n = ::read(master_, buffer, static_cast<std::size_t>(max));
    return n > 0 ? static_cast<int>(n) : 0;
}

void PtyLink::giveToDte(const std::uint8_t* data, int length) {
    pending_.insert(pending_.end(), data, data + length);
    flush();
}

void PtyLink::flush() {
    while (!pending_.empty()) {
        std::uint8_t buf[1024];
        int k = static_cast<int>(std::min<std::size_t>(sizeof buf, pending_.size()));
        std::copy_n(pending_.begin(), k, buf);
        ssize_t n = ::write(master_, buf, static_cast<std::size_t>(k));
        if (n <= 0) return;  // the DTE is not reading: try again next step
        pending_.erase(pending_.begin(), pending_.begin() + n);
    }
}

}  // namespace pellora::modemsim
