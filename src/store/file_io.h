// The few file operations the table engine needs beyond the standard library: positioned
// reads and writes on an open file and an exclusive lock that other processes honour.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>

namespace pellora::store {

class File {
public:
    File() = default;
    ~File();
    File(File&& other) noexcept;
    File& operator=(File&& other) noexcept;
    File(const File&) = delete;
    File& operator=(const File&) = delete;

    enum class Mode { ReadWrite, CreateTruncate };
    // Throws TableError (NotFound, Io).
    static File open(const std::filesystem::path& path, Mode mode);

    // Takes an exclusive advisory lock without waiting; false when someone else holds one
    // (another process, or another open of the same file in this process).
    bool tryLockExclusive();

    bool isOpen() const { return fd_ >= 0; }
    std::uint64_t size() const;
    void readAt(std::uint64_t offset, void* data, std::size_t length) const;  // exact or throws
    std::size_t readSome(std::uint64_t offset, void* data, std::size_t length) const;
    void writeAt(std::uint64_t offset, const void* data, std::size_t length);
    void truncate(std::uint64_t length);
    void sync();
    void close();
    const std::filesystem::path& path() const { return path_; }

private:
    int fd_ = -1;
    std::filesystem::path path_;
};

// Atomically replaces `target` with `source` (same folder).
void replaceFile(const std::filesystem::path& source, const std::filesystem::path& target);
// Flushes a folder's entries so a completed rename survives a crash.
void syncDirectory(const std::filesystem::path& dir);

}  // namespace pellora::store
