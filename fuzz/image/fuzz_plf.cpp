// Fuzzes the PLF reader with the decoder and the unpacker behind it: any file must give a
// clear result code, never a crash, a hang or unbounded memory. On the way the table decoder
// is checked against the plain bit-by-bit decoding of the same bytes, and appending the file
// to a good one must either work or leave the good one untouched.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "fax/image/fax_errors.h"
#include "fax/image/plf.h"
#include "fax/image/t4.h"
#include "fax/image/unpacker.h"

namespace {

using namespace pellora::fax;

std::string scratch(const char* what) {
    return "/tmp/fuzz_plf_" + std::to_string(getpid()) + "_" + what;
}

void writeAll(const std::string& name, const uint8_t* data, size_t size) {
    std::FILE* f = std::fopen(name.c_str(), "wb");
    if (!f) std::abort();
    if (size) std::fwrite(data, 1, size, f);
    std::fclose(f);
}

std::vector<uint8_t> readAll(const std::string& name) {
    std::vector<uint8_t> out;
    std::FILE* f = std::fopen(name.c_str(), "rb");
    if (!f) return out;
    uint8_t buf[4096];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) out.insert(out.end(), buf, buf + n);
    std::fclose(f);
    return out;
}

bool knownCode(int rc) {
    if (rc >= 0) return true;
    return rc == ecFaxBadFormat || rc == ecOutOfMemory || rc == ecCantMakeBitmap ||
           rc == ecBmpTooBig || (rc <= -2 && rc >= -162);
}

// A small good file to append to.
const std::vector<uint8_t>& goodFile() {
    static const std::vector<uint8_t> bytes = [] {
        const std::string name = scratch("good");
        PlfWriter w;
        w.create(name);
        std::vector<uint8_t> line(216, 0);
        T4Encoder enc;
        for (int y = 0; y < 8; ++y) {
            line[size_t(y * 20)] = 0xF0;
            w.writeLine(enc.encodeLine(line));
        }
        w.endPage();
        w.close();
        auto b = readAll(name);
        std::remove(name.c_str());
        return b;
    }();
    return bytes;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // The decoder on the raw bytes, against the tree walk.
    if (size <= 4096) {
        std::vector<std::vector<uint8_t>> lines;
        T4Decoder dec;
        dec.decode({data, size}, [&](std::span<const uint8_t> l) {
            lines.emplace_back(l.begin(), l.end());
            return true;
        });
        unsigned refErrors = 0;
        auto ref = detail::decodePageBitwise({data, size}, &refErrors);
        if (ref != lines || refErrors != dec.codeErrors()) std::abort();
    }

    const std::string name = scratch("in.plf");
    writeAll(name, data, size);

    PlfReader r;
    int rc = r.open(name);
    if (!knownCode(rc)) std::abort();
    unsigned pages = rc == 0 ? r.header().pageCount : 0;
    r.close();

    // Options from a byte the format leaves reserved, so the fuzzer can reach them.
    const uint8_t opt = size > 40 ? data[40] : 0;
    UnpackEngine e;
    if (opt & 1) e.setFlags(UnpackEngine::ufDoubleHeight);
    if (opt & 2) e.setFlags(UnpackEngine::ufHalfWidth);
    if (opt & 4) e.setWhitespace(8, 2);
    if (opt & 8) e.setScaling(1, 2, 1, 2);
    if (opt & 16) e.setScaling(3, 1, 2, 1);
    for (unsigned k = 0; k <= pages + 1 && k <= 4; ++k) {
        MonoBitmap bm;
        rc = e.pageToBitmap(name, k, &bm);
        if (!knownCode(rc)) std::abort();
        if (rc == 0 && !bm.empty() && bm.bits().size() != bm.stride() * size_t(bm.height()))
            std::abort();
    }
    if (opt & 32) {
        const std::string out = scratch("out.bmp");
        rc = e.pageToBmpFile(name, 1, out);
        if (!knownCode(rc)) std::abort();
        std::remove(out.c_str());
    }

    // Appending: works, or leaves the destination as it was.
    const std::string dest = scratch("dest.plf");
    writeAll(dest, goodFile().data(), goodFile().size());
    rc = appendPlfFile(dest, name);
    if (!knownCode(rc) && rc != ecBadArgument) std::abort();
    if (rc != 0 && readAll(dest) != goodFile()) std::abort();
    std::remove(dest.c_str());
    std::remove(name.c_str());
    return 0;
}
