#include "fax/image/convert/image_input.h"

#include <cerrno>
#include <climits>

#include "fax/image/fax_errors.h"

namespace pellora::fax {

Placement placeImage(const ConvertSettings& s, long w) {
    Placement p;
    const long W = s.width, M = s.margin;
    p.doubleWidth = (s.options & coDoubleWidth) && !s.highResolution && 2 * w <= W - M;
    p.halfHeight = (s.options & coHalfHeight) && !s.highResolution && !p.doubleWidth;
    if ((s.options & coCenterImage) && W - w > 15)
        p.offset = unsigned(p.doubleWidth ? (W - 2 * w) / 32 : (W - w) / 16);
    return p;
}

int InputFile::open(const std::string& name) {
    close();
    if (name.empty()) return ecFileNotFound;
    errno = 0;
    f_ = std::fopen(name.c_str(), "rb");
    if (!f_) return ioErrorCode(errno ? errno : ENOENT, false);
    // A folder opens on Linux but cannot be read; treat it as the access failure it is.
    if (std::fseek(f_, 0, SEEK_END) != 0) {
        const int rc = ioErrorCode(errno ? errno : EACCES, false);
        close();
        return rc;
    }
    const long end = std::ftell(f_);
    if (end < 0 || std::fseek(f_, 0, SEEK_SET) != 0) {
        close();
        return ecAccessDenied;
    }
    size_ = uint64_t(end);
    return 0;
}

void InputFile::close() {
    if (f_) std::fclose(f_);
    f_ = nullptr;
    size_ = 0;
}

int InputFile::seek(uint64_t offset) {
    if (!f_ || offset > uint64_t(LONG_MAX) || std::fseek(f_, long(offset), SEEK_SET) != 0)
        return ecSeekError;
    return 0;
}

long InputFile::read(void* buf, std::size_t n) {
    if (!f_) return ecInvalidHandle;
    errno = 0;
    const std::size_t got = std::fread(buf, 1, n, f_);
    if (got < n && std::ferror(f_)) return ioErrorCode(errno ? errno : EIO, false);
    return long(got);
}

namespace {

struct ThresholdMatrix {
    int t[32][32];
    constexpr ThresholdMatrix() : t{} {
        for (int x = 0; x < 32; ++x)
            for (int y = 0; y < 32; ++y) {
                int i = x, j = y, f = 0;
                for (int round = 0; round < 4; ++round) {
                    f = (((i ^ j) & 1) * 2) | (f * 2) | (j & 1);
                    i >>= 1;
                    j >>= 1;
                }
                t[x][y] = 10 * f;
            }
    }
};

constexpr ThresholdMatrix kThreshold;

}  // namespace

int colourThreshold(int x, int y) {
    return kThreshold.t[x & 31][y & 31];
}

}  // namespace pellora::fax
