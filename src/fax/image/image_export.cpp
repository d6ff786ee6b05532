#include "fax/image/image_export.h"

#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <system_error>

#include "fax/image/fax_errors.h"
#include "fax/image/output_file.h"

namespace pellora::fax {
namespace {

void put16(std::vector<uint8_t>& b, std::size_t at, uint32_t v) {
    b[at] = uint8_t(v);
    b[at + 1] = uint8_t(v >> 8);
}
void put32(std::vector<uint8_t>& b, std::size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i) b[at + std::size_t(i)] = uint8_t(v >> (8 * i));
}

std::size_t widthBytes(const MonoBitmap& bm) {
    return std::size_t(bm.width() + 7) / 8;
}

void appendPcxImage(const MonoBitmap& bm, std::vector<uint8_t>& out) {
    const std::size_t wb = widthBytes(bm);
    const std::size_t start = out.size();
    out.resize(start + 128, 0);
    out[start + 0] = 10;  // maker
    out[start + 1] = 2;   // version
    out[start + 2] = 1;   // run-length encoded
    out[start + 3] = 1;   // bits per pixel
    put16(out, start + 8, uint32_t(wb * 8 - 1));
    put16(out, start + 10, uint32_t(bm.height() - 1));
    out[start + 65] = 1;  // planes
    put16(out, start + 66, uint32_t(wb));
    for (int y = 0; y < bm.height(); ++y) {
        auto row = bm.row(y);
        std::size_t i = 0;
        while (i < wb) {
            const uint8_t v = uint8_t(~row[i]);
            std::size_t n = 1;
            while (i + n < wb && n < 63 && uint8_t(~row[i + n]) == v) ++n;
            if (n > 1 || v >= 192) out.push_back(uint8_t(192 + n));
            out.push_back(v);
            i += n;
        }
    }
}

}  // namespace

std::vector<uint8_t> encodePcx(const MonoBitmap& bitmap) {
    std::vector<uint8_t> out;
    appendPcxImage(bitmap, out);
    return out;
}

std::vector<uint8_t> encodeDcx(const MonoBitmap& bitmap) {
    constexpr std::size_t kDirectory = 4 + 4 * 1024;
    std::vector<uint8_t> out(kDirectory, 0);
    put32(out, 0, 987654321u);
    put32(out, 4, uint32_t(kDirectory));  // the one page follows the directory
    appendPcxImage(bitmap, out);
    return out;
}

int encodeBmp(const MonoBitmap& bm, std::vector<uint8_t>* out) {
    if (bm.height() >= 32768) return ecBmpTooBig;
    if (bm.empty()) return ecCantMakeBitmap;
    const std::size_t wb = widthBytes(bm);
    const std::size_t stride = (wb + 3) & ~std::size_t(3);
    const std::size_t size = stride * std::size_t(bm.height()) + 62;
    std::vector<uint8_t>& b = *out;
    b.assign(size, 0xFF);
    std::fill(b.begin(), b.begin() + 62, uint8_t(0));
    b[0] = 'B';
    b[1] = 'M';
    put32(b, 2, uint32_t(size));
    put32(b, 10, 62);
    put32(b, 14, 40);
    put32(b, 18, uint32_t(wb * 8));
    put32(b, 22, uint32_t(bm.height()));
    put16(b, 26, 1);
    put16(b, 28, 1);
    // Palette: entry 0 black, entry 1 white.
    b[58] = b[59] = b[60] = 0xFF;
    std::size_t at = 62;
    for (int y = bm.height() - 1; y >= 0; --y, at += stride) {
        auto row = bm.row(y);
        for (std::size_t i = 0; i < wb; ++i) b[at + i] = uint8_t(~row[i]);
    }
    return 0;
}

int writeWholeFile(const std::string& name, const std::vector<uint8_t>& bytes) {
    if (name.empty()) return ecFileNotFound;
    errno = 0;
    std::FILE* f = std::fopen(name.c_str(), "wb");
    if (!f) return ioErrorCode(errno ? errno : EACCES, true);
    int rc = 0;
    errno = 0;
    if (!bytes.empty() && std::fwrite(bytes.data(), 1, bytes.size(), f) != bytes.size())
        rc = ioErrorCode(errno ? errno : EIO, true);
    errno = 0;
    if (std::fclose(f) != 0 && rc == 0) rc = ioErrorCode(errno ? errno : EIO, true);
    if (rc != 0) {
        removeOutput(name);
    }
    return rc;
}

}  // namespace pellora::fax
