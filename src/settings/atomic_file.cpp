#include "settings/atomic_file.h"

#include <atomic>
#include <chrono>
#include <fstream>
#include <string>
#include <system_error>

#ifndef _WIN32
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#endif

namespace pellora::settings {
namespace fs = std::filesystem;

namespace {

// A name that no other writer (another thread, another copy of the program) picks at the
// same moment; creation is exclusive anyway, this only keeps collisions rare.
fs::path temporaryNameFor(const fs::path& target, int attempt) {
    static std::atomic<unsigned> counter{0};
    const auto ticks = static_cast<unsigned long long>(
        std::chrono::steady_clock::now().time_since_epoch().count());
    std::string name = target.filename().string();
    name += ".";
    name += std::to_string(ticks % 1000000007ULL);
    name += "-";
    name += std::to_string(counter.fetch_add(1));
    name += "-";
    name += std::to_string(attempt);
    name += ".tmp";
    return target.parent_path() / name;
}

fs::path resolveTarget(const fs::path& path) {
    std::error_code ec;
    if (fs::is_symlink(fs::symlink_status(path, ec))) {
        const fs::path resolved = fs::weakly_canonical(path, ec);
        if (!ec) return resolved;
    }
    return path;
}

#ifndef _WIN32

bool writeAll(int fd, std::string_view data) {
    while (!data.empty()) {
        const ssize_t n = ::write(fd, data.data(), data.size());
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        data.remove_prefix(static_cast<std::size_t>(n));
    }
    return true;
}

void syncFolder(const fs::path& folder) {
    // Makes the rename itself durable. Best effort: some file systems refuse it.
    const int fd = ::open(folder.empty() ? "." : folder.c_str(), O_RDONLY | O_DIRECTORY);
    if (fd < 0) return;
    ::fsync(fd);
    ::close(fd);
}

#endif

}  // namespace

bool replaceFileAtomically(const fs::path& path, std::string_view contents) {
    const fs::path target = resolveTarget(path);
    std::error_code ec;
    if (fs::is_directory(target, ec)) return false;

#ifndef _WIN32
    // A new file gets the usual 0666 narrowed by the umask; a replaced one keeps its bits.
    mode_t mode = 0666;
    bool keepMode = false;
    struct stat existing{};
    if (::stat(target.c_str(), &existing) == 0) {
        mode = existing.st_mode & 07777;
        keepMode = true;
    }

    fs::path temporary;
    int fd = -1;
    for (int attempt = 0; attempt < 16 && fd < 0; ++attempt) {
        temporary = temporaryNameFor(target, attempt);
        fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC,
                    keepMode ? 0600 : mode);
        if (fd < 0 && errno != EEXIST) return false;
    }
    if (fd < 0) return false;

    bool ok = writeAll(fd, contents);
    if (ok && keepMode) ok = ::fchmod(fd, mode) == 0;
    if (ok) ok = ::fsync(fd) == 0;
    if (::close(fd) != 0) ok = false;
    if (ok) ok = ::rename(temporary.c_str(), target.c_str()) == 0;
    if (!ok) {
        ::unlink(temporary.c_str());
        return false;
    }
    syncFolder(target.parent_path());
    return true;
#else
    fs::path temporary;
    for (int attempt = 0; attempt < 16; ++attempt) {
        temporary = temporaryNameFor(target, attempt);
        if (!fs::exists(temporary, ec)) break;
    }
    {
        std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
        if (!out) return false;
        out.write(contents.data(), static_cast<std::streamsize>(contents.size()));
        out.flush();
        if (!out) {
            out.close();
            fs::remove(temporary, ec);
            return false;
        }
    }
    fs::rename(temporary, target, ec);
    if (ec) {
        fs::remove(temporary, ec);
        return false;
    }
    return true;
#endif
}

}  // namespace pellora::settings
