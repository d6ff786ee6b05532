// Helpers shared by the fax image tests: temporary folders, page images and PLF files.
#pragma once

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include "fax/image/mono_bitmap.h"
#include "fax/image/plf.h"
#include "fax/image/t4.h"

namespace pellora::fax::test {

// A fresh folder under the system's temporary folder, removed with the object.
class TempDir {
  public:
    TempDir() {
        std::random_device rd;
        path_ = std::filesystem::temp_directory_path() /
                ("pellora-image-" + std::to_string(rd()) + std::to_string(rd()));
        std::filesystem::create_directories(path_);
    }
    ~TempDir() {
        std::error_code ec;
        std::filesystem::remove_all(path_, ec);
    }
    std::string file(const std::string& name) const { return (path_ / name).string(); }
    const std::filesystem::path& path() const { return path_; }

  private:
    std::filesystem::path path_;
};

// Little-endian fields of a file image, as the PLF headers store them.
inline uint32_t get32(const std::vector<uint8_t>& b, std::size_t at) {
    return uint32_t(b[at]) | uint32_t(b[at + 1]) << 8 | uint32_t(b[at + 2]) << 16 |
           uint32_t(b[at + 3]) << 24;
}
inline uint16_t get16(const std::vector<uint8_t>& b, std::size_t at) {
    return uint16_t(b[at] | b[at + 1] << 8);
}

inline std::vector<uint8_t> readFile(const std::string& name) {
    std::ifstream in(name, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

inline void writeFile(const std::string& name, const std::vector<uint8_t>& bytes) {
    std::ofstream out(name, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
}

// A page with text-like blocks, rules and a few single pixels, reproducible from `seed`.
inline MonoBitmap textLikePage(int width, int height, unsigned seed) {
    MonoBitmap bm(width, height);
    std::mt19937 rng(seed);
    for (int y = 40; y + 24 < height; y += 30) {
        int x = 60;
        while (x < width - 80) {
            int w = 6 + int(rng() % 40);
            for (int yy = y; yy < y + 20; ++yy)
                for (int xx = x; xx < x + w && xx < width; ++xx)
                    if (rng() % 3) bm.setPixel(xx, yy, true);
            x += w + 4 + int(rng() % 12);
        }
    }
    if (height > 5)
        for (int x = 0; x < width; ++x) bm.setPixel(x, 5, true);  // a full-width rule
    if (height > 0) bm.setPixel(0, height / 2, true);
    if (height > 1) bm.setPixel(width - 1, height - 1, true);
    return bm;
}

inline MonoBitmap randomPage(int width, int height, unsigned seed, int blackPercent = 50) {
    MonoBitmap bm(width, height);
    std::mt19937 rng(seed);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x)
            if (int(rng() % 100) < blackPercent) bm.setPixel(x, y, true);
    return bm;
}

// Writes the bitmaps as pages of a PLF file, coded with margin 0 so pixels stay in place.
inline int writePlf(const std::string& name, const std::vector<MonoBitmap>& pages,
                    bool highRes = true, const std::string& station = "") {
    PlfWriter w;
    if (int rc = w.create(name)) return rc;
    w.setStationId(station);
    for (const auto& page : pages) {
        w.setPageFlags(highRes, page.width() == 2048);
        T4Encoder enc(page.width(), 0);
        for (int y = 0; y < page.height(); ++y)
            if (int rc = w.writeLine(enc.encodeLine(page.row(y)))) return rc;
        if (int rc = w.endPage()) return rc;
    }
    return w.close();
}

// The coded lines of a page joined into one stream: EOL-led lines, then the end of page.
inline std::vector<uint8_t> codedStream(const MonoBitmap& page, int margin = 0) {
    std::vector<uint8_t> out;
    T4Encoder enc(page.width(), margin);
    for (int y = 0; y < page.height(); ++y) {
        auto c = enc.encodeLine(page.row(y));
        out.insert(out.end(), c.begin(), c.end());
    }
    const auto& eop = T4Encoder::endOfPage();
    out.insert(out.end(), eop.begin(), eop.end());
    return out;
}

// Decodes a whole stream with the table decoder, fed in pieces of `piece` bytes.
inline std::vector<std::vector<uint8_t>> decodeAll(const std::vector<uint8_t>& data,
                                                   std::size_t piece = 1 << 30,
                                                   unsigned* errors = nullptr) {
    std::vector<std::vector<uint8_t>> lines;
    T4Decoder dec;
    auto sink = [&](std::span<const uint8_t> l) {
        lines.emplace_back(l.begin(), l.end());
        return true;
    };
    std::size_t at = 0;
    while (at < data.size() && !dec.pageEnded()) {
        std::size_t n = std::min(piece, data.size() - at);
        dec.decode(std::span<const uint8_t>(data.data() + at, n), sink);
        at += n;
    }
    if (errors) *errors = dec.codeErrors();
    return lines;
}

inline std::vector<uint8_t> rowBytes(const MonoBitmap& bm, int y) {
    auto r = bm.row(y);
    return {r.begin(), r.begin() + (bm.width() + 7) / 8};
}

}  // namespace pellora::fax::test
