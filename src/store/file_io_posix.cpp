#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "store/file_io.h"
#include "store/table_error.h"

namespace pellora::store {

namespace {
[[noreturn]] void fail(const std::filesystem::path& path, const char* what) {
    int err = errno;
    throw TableError(err == ENOENT ? TableError::Kind::NotFound : TableError::Kind::Io,
                     std::string("cannot ") + what + " " + path.string() + ": " +
                         std::strerror(err));
}
}  // namespace

File::~File() { close(); }

File::File(File&& other) noexcept : fd_(other.fd_), path_(std::move(other.path_)) {
    other.fd_ = -1;
}

File& File::operator=(File&& other) noexcept {
    if (this != &other) {
        close();
        fd_ = other.fd_;
        path_ = std::move(other.path_);
        other.fd_ = -1;
    }
    return *this;
}

File File::open(const std::filesystem::path& path, Mode mode) {
    int flags = O_RDWR | O_CLOEXEC;
    if (mode == Mode::CreateTruncate) flags |= O_CREAT | O_TRUNC;
    int fd = ::open(path.c_str(), flags, 0644);
    if (fd < 0) fail(path, "open");
    struct stat st {};
    if (::fstat(fd, &st) == 0 && !S_ISREG(st.st_mode)) {
        ::close(fd);
        throw TableError(TableError::Kind::BadFormat, path.string() + " is not a regular file");
    }
    File f;
    f.fd_ = fd;
    f.path_ = path;
    return f;
}

bool File::tryLockExclusive() { return ::flock(fd_, LOCK_EX | LOCK_NB) == 0; }

std::uint64_t File::size() const {
    struct stat st {};
    if (::fstat(fd_, &st) != 0) fail(path_, "examine");
    return static_cast<std::uint64_t>(st.st_size);
}

std::size_t File::readSome(std::uint64_t offset, void* data, std::size_t length) const {
    std::size_t done = 0;
    auto* p = static_cast<char*>(data);
    while (done < length) {
        ssize_t n = ::pread(fd_, p + done, length - done, static_cast<off_t>(offset + done));
        if (n < 0) {
            if (errno == EINTR) continue;
            fail(path_, "read");
        }
        if (n == 0) break;
        done += static_cast<std::size_t>(n);
    }
    return done;
}

void File::readAt(std::uint64_t offset, void* data, std::size_t length) const {
    if (readSome(offset, data, length) != length)
        throw TableError(TableError::Kind::BadFormat, path_.string() + " is shorter than expected");
}

void File::writeAt(std::uint64_t offset, const void* data, std::size_t length) {
    std::size_t done = 0;
    const auto* p = static_cast<const char*>(data);
    while (done < length) {
        ssize_t n = ::pwrite(fd_, p + done, length - done, static_cast<off_t>(offset + done));
        if (n < 0) {
            if (errno == EINTR) continue;
            fail(path_, "write");
        }
        done += static_cast<std::size_t>(n);
    }
}

void File::truncate(std::uint64_t length) {
    if (::ftruncate(fd_, static_cast<off_t>(length)) != 0) fail(path_, "truncate");
}

void File::sync() {
    if (::fdatasync(fd_) != 0) fail(path_, "flush");
}

void File::close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
}

void replaceFile(const std::filesystem::path& source, const std::filesystem::path& target) {
    if (::rename(source.c_str(), target.c_str()) != 0) fail(target, "replace");
}

void syncDirectory(const std::filesystem::path& dir) {
    int fd = ::open(dir.empty() ? "." : dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return;
    ::fsync(fd);
    ::close(fd);
}

}  // namespace pellora::store
