// The body shared by the image reader fuzz targets: any file must give a clear result code
// (0 or one of the codes the format may answer), never a crash, a hang or unbounded memory.
// Each accepted line is also coded, so the readers' lines are checked against the coder's
// buffer bounds.
#pragma once

#include <unistd.h>

#include <array>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <initializer_list>
#include <string>

#include "fax/image/convert/image_input.h"
#include "fax/image/t4.h"

namespace pellora::fax::fuzz {

// Lines read from one input at most: enough for any page, and it keeps one run short.
inline constexpr unsigned kMaxLines = 100000;

inline void checkCode(int rc, std::initializer_list<int> allowed) {
    if (rc == 0) return;
    for (int a : allowed)
        if (rc == a) return;
    std::fprintf(stderr, "unexpected result code %d\n", rc);
    std::abort();
}

template <class Make>
void readAll(const uint8_t* data, size_t size, Make make, std::initializer_list<int> allowed) {
    static const std::string name = "/tmp/fuzz_convert_" + std::to_string(getpid());
    std::FILE* f = std::fopen(name.c_str(), "wb");
    if (!f) std::abort();
    if (size) std::fwrite(data, 1, size, f);
    std::fclose(f);

    // The last byte picks the settings, so every placement is reached.
    ConvertSettings s;
    const uint8_t pick = size ? data[size - 1] : 0;
    s.options = pick & 31;
    s.highResolution = pick & 32;
    s.width = pick & 64 ? 2048 : 1728;
    s.margin = pick & 128 ? 0 : 50;
    T4Encoder enc(s.width, s.margin);

    auto reader = make(s);
    int rc = reader->open(name);
    if (rc == 0) {
        std::array<uint8_t, kLineBufferSize> line{};
        for (unsigned n = 0; n < kMaxLines; ++n) {
            line.fill(0);
            LineResult r;
            if ((rc = reader->getLine(line, &r))) break;
            if (r.endOfPage) {
                if (!r.morePages) break;
                continue;
            }
            enc.setDoubleWidth(reader->placement().doubleWidth);
            enc.encodeLine(std::span<const uint8_t>(line.data(), std::size_t(s.width / 8)));
            if (reader->bytesConverted() > reader->bytesToConvert() + kLineBufferSize &&
                reader->bytesToConvert() > 0)
                std::abort();  // the progress never runs far past the total
        }
        reader->close();
    }
    checkCode(rc, allowed);
}

}  // namespace pellora::fax::fuzz
