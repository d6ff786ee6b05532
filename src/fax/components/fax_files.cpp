#include "fax/components/fax_files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <vector>

#include "fax/image/fax_errors.h"
#include "fax/image/plf.h"

namespace pellora::fax {

namespace {

std::uint32_t get32(const std::uint8_t* p) {
    return std::uint32_t(p[0]) | std::uint32_t(p[1]) << 8 | std::uint32_t(p[2]) << 16 |
           std::uint32_t(p[3]) << 24;
}

// One fax file about to be joined: its header and where its last page ends. The copy takes
// exactly the page chain, so bytes a writer left behind the last page cannot end up between
// two pages of the joined file.
struct Part {
    std::string name;
    std::vector<std::uint8_t> rawHeader;
    PlfHeader header;
    std::uint64_t chainEnd = kPlfHeaderSize;
};

int examine(const std::string& name, Part* part) {
    part->name = name;
    errno = 0;
    std::FILE* f = name.empty() ? nullptr : std::fopen(name.c_str(), "rb");
    if (!f) return ioErrorCode(errno ? errno : ENOENT, false);
    auto done = [&](int rc) {
        std::fclose(f);
        return rc;
    };
    part->rawHeader.resize(kPlfHeaderSize);
    if (std::fread(part->rawHeader.data(), 1, kPlfHeaderSize, f) != kPlfHeaderSize)
        return done(std::ferror(f) ? ioErrorCode(errno ? errno : EIO, false) : ecFaxBadFormat);
    if (!part->header.decode(part->rawHeader)) return done(ecFaxBadFormat);
    // Pages are appended as they stand behind the header: a file whose first page lies
    // elsewhere would leave its pages unreachable in the joined file.
    if (part->header.firstPageOffset != kPlfHeaderSize) return done(ecFaxBadFormat);
    if (std::fseek(f, 0, SEEK_END) != 0) return done(ioErrorCode(errno, false));
    const long sizeL = std::ftell(f);
    if (sizeL < 0) return done(ioErrorCode(errno, false));
    const auto size = static_cast<std::uint64_t>(sizeL);
    std::uint64_t pos = kPlfHeaderSize;
    for (unsigned i = 0; i < part->header.pageCount; ++i) {
        std::uint8_t ph[kPlfPageHeaderSize];
        if (pos + kPlfPageHeaderSize > size) return done(ecFaxBadFormat);
        if (std::fseek(f, static_cast<long>(pos), SEEK_SET) != 0 ||
            std::fread(ph, 1, sizeof ph, f) != sizeof ph)
            return done(ioErrorCode(errno ? errno : EIO, false));
        pos += kPlfPageHeaderSize + std::uint64_t(get32(ph));
        if (pos > size) return done(ecFaxBadFormat);
    }
    part->chainEnd = pos;
    return done(0);
}

// Copies bytes [from, to) of `name` to `out`.
int copyRange(const std::string& name, std::uint64_t from, std::uint64_t to, std::FILE* out) {
    errno = 0;
    std::FILE* in = std::fopen(name.c_str(), "rb");
    if (!in) return ioErrorCode(errno ? errno : ENOENT, false);
    int rc = 0;
    if (std::fseek(in, static_cast<long>(from), SEEK_SET) != 0) rc = ioErrorCode(errno, false);
    std::vector<char> buffer(64 * 1024);
    std::uint64_t left = to - from;
    while (rc == 0 && left > 0) {
        const std::size_t want = static_cast<std::size_t>(std::min<std::uint64_t>(left, buffer.size()));
        errno = 0;
        const std::size_t got = std::fread(buffer.data(), 1, want, in);
        if (got != want) {
            rc = std::ferror(in) ? ioErrorCode(errno ? errno : EIO, false) : ecFaxBadFormat;
            break;
        }
        if (std::fwrite(buffer.data(), 1, got, out) != got) {
            rc = ioErrorCode(errno ? errno : EIO, true);
            break;
        }
        left -= got;
    }
    std::fclose(in);
    return rc;
}

}  // namespace

int concatenateFaxFiles(const std::vector<std::string>& files, std::string* tempName) {
    tempName->clear();
    std::vector<Part> parts(files.size());
    std::uint32_t total = 0;
    for (std::size_t i = 0; i < files.size(); ++i) {
        if (int rc = examine(files[i], &parts[i])) return rc;
        total += parts[i].header.pageCount;
    }
    if (parts.empty()) return ecBadArgument;
    if (total > UINT16_MAX) return ecBadArgument;

    std::error_code ec;
    std::filesystem::path folder = std::filesystem::temp_directory_path(ec);
    if (ec) folder = "/tmp";
    std::string pattern = (folder / "~FXXXXXXX.TMP").string();
    errno = 0;
    const int fd = ::mkstemps(pattern.data(), 4);
    if (fd < 0) return ioErrorCode(errno ? errno : EACCES, true);
    std::FILE* out = ::fdopen(fd, "w+b");
    if (!out) {
        const int err = errno;
        ::close(fd);
        ::unlink(pattern.c_str());
        return ioErrorCode(err, true);
    }
    auto fail = [&](int rc) {
        std::fclose(out);
        ::unlink(pattern.c_str());
        return rc;
    };

    // The first file's header, with the total page count, then every file's page chain.
    PlfHeader header = parts.front().header;
    header.pageCount = static_cast<std::uint16_t>(total);
    std::vector<std::uint8_t> raw = parts.front().rawHeader;
    const std::vector<std::uint8_t> counted = header.encode();
    // Only PageCount changes: the rest of the first header (reserved bytes included) stays
    // as its writer left it.
    constexpr std::size_t kPageCountOffset = 32;  // where PlfHeader keeps PageCount
    raw[kPageCountOffset] = counted[kPageCountOffset];
    raw[kPageCountOffset + 1] = counted[kPageCountOffset + 1];
    errno = 0;
    if (std::fwrite(raw.data(), 1, raw.size(), out) != raw.size())
        return fail(ioErrorCode(errno ? errno : EIO, true));
    for (const Part& p : parts)
        if (int rc = copyRange(p.name, kPlfHeaderSize, p.chainEnd, out)) return fail(rc);
    errno = 0;
    if (std::fflush(out) != 0) return fail(ioErrorCode(errno ? errno : EIO, true));
    if (std::fclose(out) != 0) {
        ::unlink(pattern.c_str());
        return ioErrorCode(errno ? errno : EIO, true);
    }
    *tempName = pattern;
    return 0;
}

namespace {

std::string inFolder(const std::string& dir, const std::string& name) {
    if (dir.empty() || dir.back() == '/') return dir + name;
    return dir + "/" + name;
}

enum class Claim { Ours, Taken, Failed };

// Creates `path` empty, never following or replacing anything already there.
Claim claim(const std::string& path) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0644);
    if (fd >= 0) {
        ::close(fd);
        return Claim::Ours;
    }
    return errno == EEXIST || errno == ELOOP ? Claim::Taken : Claim::Failed;
}

// "stem-XXXXXX.ext" in the folder, created empty; the plain name when even that fails.
std::string uniqueVariant(const std::string& dir, const std::string& stem, const std::string& ext) {
    std::string pattern = inFolder(dir, stem + "-XXXXXX." + ext);
    const int fd = ::mkstemps(pattern.data(), static_cast<int>(ext.size() + 1));
    if (fd < 0) return inFolder(dir, stem + "." + ext);
    ::close(fd);
    return pattern;
}

}  // namespace

std::string defaultFaxName(const std::string& dir, const std::string& ext, int mode,
                           const std::tm& today) {
    if (mode != 1 && mode != 2) {
        const std::string name = inFolder(dir, "noname.plf");
        return claim(name) == Claim::Taken ? uniqueVariant(dir, "noname", "plf") : name;
    }
    char prefix[8];
    if (mode == 1)
        std::snprintf(prefix, sizeof prefix, "FAX");
    else
        std::snprintf(prefix, sizeof prefix, "%02d%02d", (today.tm_mon + 1) % 100, today.tm_mday % 100);
    for (int n = 1; n <= 9999; ++n) {
        char number[8];
        std::snprintf(number, sizeof number, "%04d", n);
        const std::string name = inFolder(dir, std::string(prefix) + number + "." + ext);
        switch (claim(name)) {
            case Claim::Ours:
            case Claim::Failed:  // the session reports the folder's problem when it writes
                return name;
            case Claim::Taken:
                break;
        }
    }
    return claim("NONAME.PLF") == Claim::Taken ? uniqueVariant("", "NONAME", "PLF") : "NONAME.PLF";
}

}  // namespace pellora::fax
