#include "fax/engine/posix_port_device.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <set>

#include "fax/image/fax_errors.h"

namespace pellora::fax {

namespace {

// Devices this process has open (resolved paths): a second open is refused with -2008
// before the lock file, which would only say "ours".
std::mutex gOpenMutex;
std::set<std::string> gOpenDevices;
std::atomic<int> gLockSerial{0};

std::string resolved(const std::string& path) {
    char buf[PATH_MAX];
    if (::realpath(path.c_str(), buf) == nullptr) return {};
    return buf;
}

speed_t speedFor(long bps) {
    switch (bps) {
        case 300: return B300;
        case 1200: return B1200;
        case 2400: return B2400;
        case 4800: return B4800;
        case 9600: return B9600;
        case 19200: return B19200;
        case 38400: return B38400;
        case 57600: return B57600;
        case 115200: return B115200;
        case 230400: return B230400;
        default: return 0;
    }
}

// --- UUCP lock files ---------------------------------------------------------------------

enum class LockResult { Locked, InUse, NoFolder, NotWritable, Failed };

long readLockPid(const std::string& file) {
    int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return -1;
    char buf[64] = {};
    ssize_t n = ::read(fd, buf, sizeof buf - 1);
    ::close(fd);
    if (n <= 0) return 0;
    // HDB locks hold the PID as text; old binary locks hold a 4-byte integer.
    if (n == 4 && (buf[0] < '0' || buf[0] > '9') && buf[0] != ' ') {
        std::int32_t pid;
        std::memcpy(&pid, buf, 4);
        return pid;
    }
    return std::strtol(buf, nullptr, 10);
}

bool processAlive(long pid) {
    if (pid <= 0) return false;
    if (::kill(static_cast<pid_t>(pid), 0) == 0) return true;
    return errno == EPERM;  // exists, belongs to someone else
}

LockResult takeLock(const std::string& dir, const std::string& lockFile, int& err) {
    struct stat st;
    if (::stat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return LockResult::NoFolder;
    // Write the PID into a private file, then link it to the lock name: the link either
    // creates the whole lock at once or fails because the lock exists.
    std::string temp = dir + "/LTMP." + std::to_string(::getpid()) + "." + std::to_string(gLockSerial++);
    int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) {
        err = errno;
        return (errno == EACCES || errno == EPERM || errno == EROFS) ? LockResult::NotWritable
                                                                     : LockResult::Failed;
    }
    char text[16];
    int len = std::snprintf(text, sizeof text, "%10ld\n", static_cast<long>(::getpid()));
    bool ok = ::write(fd, text, static_cast<size_t>(len)) == len;
    ::close(fd);
    if (!ok) {
        ::unlink(temp.c_str());
        err = EIO;
        return LockResult::Failed;
    }
    LockResult result = LockResult::Failed;
    for (int attempt = 0; attempt < 2; ++attempt) {
        if (::link(temp.c_str(), lockFile.c_str()) == 0) {
            result = LockResult::Locked;
            break;
        }
        if (errno != EEXIST) {
            err = errno;
            result = (errno == EACCES || errno == EPERM || errno == EROFS)
                         ? LockResult::NotWritable
                         : LockResult::Failed;
            break;
        }
        long pid = readLockPid(lockFile);
        if (processAlive(pid)) {
            result = LockResult::InUse;
            break;
        }
        ::unlink(lockFile.c_str());  // stale: its owner is gone
    }
    ::unlink(temp.c_str());
    return result;
}

// --- the device ----------------------------------------------------------------------------

class PosixPortDevice final : public PortDevice {
public:
    PosixPortDevice(int fd, std::string key, std::string lockFile, bool modemLines)
        : fd_(fd), key_(std::move(key)), lockFile_(std::move(lockFile)),
          modemLines_(modemLines) {
        if (::pipe(wakePipe_) == 0) {
            for (int p : wakePipe_) {
                ::fcntl(p, F_SETFL, ::fcntl(p, F_GETFL) | O_NONBLOCK);
                ::fcntl(p, F_SETFD, FD_CLOEXEC);
            }
        }
    }

    ~PosixPortDevice() override {
        ::tcflush(fd_, TCIOFLUSH);
        ::ioctl(fd_, TIOCNXCL);
        ::close(fd_);
        if (wakePipe_[0] >= 0) ::close(wakePipe_[0]);
        if (wakePipe_[1] >= 0) ::close(wakePipe_[1]);
        if (!lockFile_.empty() && readLockPid(lockFile_) == ::getpid()) ::unlink(lockFile_.c_str());
        std::lock_guard lock(gOpenMutex);
        gOpenDevices.erase(key_);
    }

    int read(std::uint8_t* buffer, int max) override {
        ssize_t n = ::read(fd_, buffer, static_cast<size_t>(max));
        if (n >= 0) return static_cast<int>(n);
        if (errno == EAGAIN || errno == EINTR) return 0;
        // The other end of a pseudo-terminal went away: nothing to read until it comes back.
        if (errno == EIO) return 0;
        return ioErrorCode(errno, false);
    }

    int write(const std::uint8_t* data, int length) override {
        ssize_t n = ::write(fd_, data, static_cast<size_t>(length));
        if (n >= 0) return static_cast<int>(n);
        if (errno == EAGAIN || errno == EINTR || errno == EIO) return 0;
        return ioErrorCode(errno, true);
    }

    int pendingOutput() override {
        int queued = 0;
        if (::ioctl(fd_, TIOCOUTQ, &queued) != 0) return 0;
        return std::max(queued, 0);
    }

    void setLines(bool dtr, bool rts) override {
        if (!modemLines_) return;  // a pseudo-terminal has no control lines
        int bits = TIOCM_DTR;
        ::ioctl(fd_, dtr ? TIOCMBIS : TIOCMBIC, &bits);
        bits = TIOCM_RTS;
        ::ioctl(fd_, rts ? TIOCMBIS : TIOCMBIC, &bits);
    }

    ModemLines lines() override {
        ModemLines l;
        int bits = 0;
        if (!modemLines_ || ::ioctl(fd_, TIOCMGET, &bits) != 0) return l;
        l.dcd = bits & TIOCM_CAR;
        l.cts = bits & TIOCM_CTS;
        l.dsr = bits & TIOCM_DSR;
        l.ri = bits & TIOCM_RNG;
        return l;
    }

    int setBaud(long bps) override {
        speed_t speed = speedFor(bps);
        if (speed == 0) return ecBaudRate;
        termios t;
        if (::tcgetattr(fd_, &t) != 0) return ioErrorCode(errno, true);
        ::cfsetispeed(&t, speed);
        ::cfsetospeed(&t, speed);
        if (::tcsetattr(fd_, TCSANOW, &t) != 0) return ecBaudRate;
        return 0;
    }

    bool setHardwareFlow(bool on) override {
        termios t;
        if (::tcgetattr(fd_, &t) != 0) return false;
        if (on) t.c_cflag |= CRTSCTS;
        else t.c_cflag &= ~static_cast<tcflag_t>(CRTSCTS);
        ::tcsetattr(fd_, TCSANOW, &t);
        // The driver holds output while CTS is off; on a pseudo-terminal there is no CTS at all.
        return true;
    }

    void discardInput() override { ::tcflush(fd_, TCIFLUSH); }
    void discardOutput() override { ::tcflush(fd_, TCOFLUSH); }

    void wait(Clock& clock, ClockMs deadline, bool wantWrite) override {
        pollfd fds[2] = {{fd_, static_cast<short>(POLLIN | (wantWrite ? POLLOUT : 0)), 0},
                         {wakePipe_[0], POLLIN, 0}};
        if (clock.isRealTime()) {
            int timeout = -1;
            if (deadline != kForever) {
                ClockMs left = deadline - clock.now();
                timeout = static_cast<int>(std::clamp<ClockMs>(left, 0, INT_MAX));
            }
            pollAndDrain(fds, timeout);
            return;
        }
        // Simulated time: look at the device now and then, and let simulated time move on
        // in small steps between the looks.
        simClock_ = &clock;
        if (pollAndDrain(fds, 1) > 0) return;
        clock.waitUntil(simWakeup_, std::min(deadline, clock.now() + 5));
    }

    void wake() override {
        if (wakePipe_[1] >= 0) {
            char c = 1;
            [[maybe_unused]] ssize_t n = ::write(wakePipe_[1], &c, 1);
        }
        if (Clock* c = simClock_.load()) c->wake(simWakeup_);
    }

    ClockMs linePollInterval() const override { return modemLines_ ? kTickMs : kForever; }

private:
    int pollAndDrain(pollfd* fds, int timeout) {
        int n = ::poll(fds, 2, timeout);
        if (n > 0 && (fds[1].revents & POLLIN)) {
            char buf[64];
            while (::read(wakePipe_[0], buf, sizeof buf) > 0) {
            }
        }
        // A pseudo-terminal whose other side is closed reports POLLHUP at once and for ever,
        // often with POLLIN although a read only gives EIO; do not spin on it. Bytes that did
        // come before the hang-up are read a moment later.
        if (n > 0 && (fds[0].revents & POLLHUP) && !(fds[1].revents & POLLIN)) ::usleep(20000);
        return n;
    }

    int fd_;
    std::string key_;
    std::string lockFile_;
    bool modemLines_;
    int wakePipe_[2] = {-1, -1};
    std::atomic<Clock*> simClock_{nullptr};
    Wakeup simWakeup_;
};

std::string permissionText(const std::string& path) {
    return "No permission to open " + path +
           ": the user must be a member of the group that owns the device (usually 'dialout')";
}

}  // namespace

std::string lockFileNameFor(const std::string& path) {
    std::string real = resolved(path);
    if (real.empty()) real = path;
    std::string name;
    if (real.rfind("/dev/", 0) == 0) {
        name = real.substr(5);
        std::replace(name.begin(), name.end(), '/', '_');
    } else {
        auto slash = real.find_last_of('/');
        name = slash == std::string::npos ? real : real.substr(slash + 1);
    }
    return "LCK.." + name;
}

PosixOpenResult openPosixPortDevice(const std::string& path, const PosixOpenOptions& options) {
    PosixOpenResult r;
    std::string key = resolved(path);
    if (key.empty()) {
        r.code = errno == EACCES ? ecAccessDenied : ecBadId;
        r.text = errno == EACCES ? permissionText(path) : "No such serial device: " + path;
        return r;
    }
    {
        std::lock_guard lock(gOpenMutex);
        if (!gOpenDevices.insert(key).second) {
            r.code = ecAlreadyOpen;
            r.text = path + " is already open in this program";
            return r;
        }
    }
    auto forget = [&] {
        std::lock_guard lock(gOpenMutex);
        gOpenDevices.erase(key);
    };

    std::string lockFile;
    int err = 0;
    std::string lockPath = options.lockDirectory + "/" + lockFileNameFor(path);
    switch (takeLock(options.lockDirectory, lockPath, err)) {
        case LockResult::Locked: lockFile = lockPath; break;
        case LockResult::NoFolder: break;  // a system without a lock folder: exclusive open only
        case LockResult::InUse:
            forget();
            r.code = ecHardware;
            r.text = path + " is in use by another program (lock file " + lockPath + ", PID " +
                     std::to_string(readLockPid(lockPath)) + ")";
            return r;
        case LockResult::NotWritable:
            forget();
            r.code = ecAccessDenied;
            r.text = "The lock folder " + options.lockDirectory +
                     " is not writable, so the port cannot be locked (" + std::strerror(err) + ")";
            return r;
        case LockResult::Failed:
            forget();
            r.code = ecAccessDenied;
            r.text = "Cannot create the lock file " + lockPath + " (" + std::strerror(err) + ")";
            return r;
    }
    auto unlock = [&] {
        if (!lockFile.empty()) ::unlink(lockFile.c_str());
        forget();
    };

    int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        int e = errno;
        unlock();
        if (e == EACCES || e == EPERM) {
            r.code = ecAccessDenied;
            r.text = permissionText(path);
        } else if (e == EBUSY) {
            r.code = ecHardware;
            r.text = path + " is in use by another program";
        } else {
            r.code = ecBadId;
            r.text = "No such serial device: " + path + " (" + std::strerror(e) + ")";
        }
        return r;
    }
    termios t;
    if (!::isatty(fd) || ::tcgetattr(fd, &t) != 0) {
        ::close(fd);
        unlock();
        r.code = ecBadId;
        r.text = path + " is not a serial device";
        return r;
    }
    ::ioctl(fd, TIOCEXCL);
    // Raw 8N1 with no translation of any byte and no flow control in the kernel: the port
    // does software flow itself, with its own levels, and binary page data passes untouched.
    ::cfmakeraw(&t);
    t.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF | IXANY);
    t.c_cflag &= ~static_cast<tcflag_t>(CSTOPB | PARENB | CSIZE | CRTSCTS);
    t.c_cflag |= CS8 | CREAD | CLOCAL | HUPCL;
    t.c_cc[VMIN] = 0;
    t.c_cc[VTIME] = 0;
    speed_t speed = speedFor(options.baud);
    if (speed == 0) speed = B19200;
    ::cfsetispeed(&t, speed);
    ::cfsetospeed(&t, speed);
    ::tcsetattr(fd, TCSANOW, &t);
    int bits = 0;
    bool modemLines = ::ioctl(fd, TIOCMGET, &bits) == 0;
    r.device = std::make_unique<PosixPortDevice>(fd, key, lockFile, modemLines);
    return r;
}

}  // namespace pellora::fax
