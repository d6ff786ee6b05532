// One-dimensional T.4 (Modified Huffman) coding of whole fax pages: ours against libtiff's
// CCITT Group 3 codec. The pages (200 dpi text, a dithered photograph, a blank page) come
// from scripts/make-t4-corpus.py. One item is one page; the page set is cycled.
//
// Both sides code the same thing: every line led by an EOL, least significant bit first,
// raster lines most significant bit first. libtiff's side runs in memory.
#include <benchmark/benchmark.h>
#include <tiffio.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <string>
#include <vector>

#include "fax/image/mono_bitmap.h"
#include "fax/image/t4.h"

namespace {

using pellora::fax::MonoBitmap;
using pellora::fax::T4Decoder;
using pellora::fax::T4Encoder;

MonoBitmap readPbm(const std::string& name) {
    std::ifstream in(name, std::ios::binary);
    std::string magic;
    int w = 0, h = 0;
    in >> magic >> w >> h;
    in.get();
    if (magic != "P4" || w <= 0 || h <= 0) throw std::runtime_error("not a raw PBM: " + name);
    MonoBitmap bm(w, h);
    in.read(reinterpret_cast<char*>(bm.bits().data()), std::streamsize(bm.bits().size()));
    return bm;
}

// An in-memory file for TIFFClientOpen.
struct MemFile {
    std::vector<uint8_t> data;
    uint64_t pos = 0;
};
tmsize_t memRead(thandle_t h, void* buf, tmsize_t n) {
    auto* f = static_cast<MemFile*>(h);
    const uint64_t left = f->pos < f->data.size() ? f->data.size() - f->pos : 0;
    const uint64_t k = std::min<uint64_t>(left, uint64_t(n));
    std::memcpy(buf, f->data.data() + f->pos, k);
    f->pos += k;
    return tmsize_t(k);
}
tmsize_t memWrite(thandle_t h, void* buf, tmsize_t n) {
    auto* f = static_cast<MemFile*>(h);
    if (f->pos + uint64_t(n) > f->data.size()) f->data.resize(f->pos + uint64_t(n));
    std::memcpy(f->data.data() + f->pos, buf, size_t(n));
    f->pos += uint64_t(n);
    return n;
}
toff_t memSeek(thandle_t h, toff_t off, int whence) {
    auto* f = static_cast<MemFile*>(h);
    if (whence == SEEK_SET)
        f->pos = off;
    else if (whence == SEEK_CUR)
        f->pos += off;
    else
        f->pos = f->data.size() + off;
    return f->pos;
}
int memClose(thandle_t) {
    return 0;
}
toff_t memSize(thandle_t h) {
    return static_cast<MemFile*>(h)->data.size();
}
int memMap(thandle_t, void**, toff_t*) {
    return 0;
}
void memUnmap(thandle_t, void*, toff_t) {}

TIFF* memOpen(MemFile& f, const char* mode) {
    f.pos = 0;
    return TIFFClientOpen("mem", mode, &f, memRead, memWrite, memSeek, memClose, memSize, memMap,
                          memUnmap);
}

// A one-strip Group 3 1-D page, EOL in front of every line, first bit least significant.
void tiffEncode(const MonoBitmap& page, MemFile& out) {
    out.data.clear();
    TIFF* t = memOpen(out, "w");
    TIFFSetField(t, TIFFTAG_IMAGEWIDTH, uint32_t(page.width()));
    TIFFSetField(t, TIFFTAG_IMAGELENGTH, uint32_t(page.height()));
    TIFFSetField(t, TIFFTAG_BITSPERSAMPLE, 1);
    TIFFSetField(t, TIFFTAG_SAMPLESPERPIXEL, 1);
    TIFFSetField(t, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_MINISWHITE);
    TIFFSetField(t, TIFFTAG_FILLORDER, FILLORDER_LSB2MSB);
    TIFFSetField(t, TIFFTAG_ROWSPERSTRIP, uint32_t(page.height()));
    TIFFSetField(t, TIFFTAG_COMPRESSION, COMPRESSION_CCITTFAX3);
    TIFFSetField(t, TIFFTAG_GROUP3OPTIONS, uint32_t(0));
    TIFFWriteEncodedStrip(t, 0, const_cast<uint8_t*>(page.bits().data()),
                          tmsize_t(page.bits().size()));
    TIFFClose(t);
}

void tiffDecode(MemFile& in, std::vector<uint8_t>& out) {
    TIFF* t = memOpen(in, "r");
    if (!t) throw std::runtime_error("libtiff cannot open its own page");
    out.resize(size_t(TIFFStripSize(t)));
    TIFFReadEncodedStrip(t, 0, out.data(), tmsize_t(out.size()));
    TIFFClose(t);
}

struct Corpus {
    std::vector<MonoBitmap> pages;
    std::vector<std::vector<uint8_t>> coded;  // our coded pages, end of page included
    std::vector<MemFile> tiffs;

    Corpus() {
        TIFFSetWarningHandler(nullptr);
        for (const char* n : {"text1", "text2", "photo", "blank"})
            pages.push_back(readPbm(std::string(T4_CORPUS_DIR) + "/" + n + ".pbm"));
        T4Encoder enc(pages[0].width(), 0);
        for (const auto& p : pages) {
            std::vector<uint8_t> c;
            for (int y = 0; y < p.height(); ++y) {
                auto line = enc.encodeLine(p.row(y));
                c.insert(c.end(), line.begin(), line.end());
            }
            const auto& eop = T4Encoder::endOfPage();
            c.insert(c.end(), eop.begin(), eop.end());
            coded.push_back(std::move(c));
            tiffs.emplace_back();
            tiffEncode(p, tiffs.back());
        }
        // Both decoders must give back the pages exactly, or the race means nothing.
        for (size_t i = 0; i < pages.size(); ++i) {
            std::vector<uint8_t> a;
            tiffDecode(tiffs[i], a);
            if (a != pages[i].bits()) throw std::runtime_error("libtiff round trip differs");
            std::vector<uint8_t> b;
            T4Decoder dec;
            dec.decode(coded[i], [&](std::span<const uint8_t> l) {
                b.insert(b.end(), l.begin(), l.end());
                return true;
            });
            if (b != pages[i].bits()) throw std::runtime_error("our round trip differs");
        }
    }
};

const Corpus& corpus() {
    static const Corpus c;
    return c;
}

// The page of an iteration: the given one, or (only < 0) the corpus in turn.
size_t pick(int only, size_t iteration, size_t count) {
    return only >= 0 ? size_t(only) : iteration % count;
}

void setCounters(benchmark::State& state) {
    state.SetItemsProcessed(state.iterations());  // one item is one page
}

void BM_MH_Encode_Ours(benchmark::State& state, int only) {
    const auto& c = corpus();
    T4Encoder enc(c.pages[0].width(), 0);
    std::vector<uint8_t> out;
    out.reserve(1 << 20);
    size_t i = 0;
    for (auto _ : state) {
        const MonoBitmap& p = c.pages[pick(only, i++, c.pages.size())];
        out.clear();
        for (int y = 0; y < p.height(); ++y) {
            auto line = enc.encodeLine(p.row(y));
            out.insert(out.end(), line.begin(), line.end());
        }
        const auto& eop = T4Encoder::endOfPage();
        out.insert(out.end(), eop.begin(), eop.end());
        benchmark::DoNotOptimize(out.data());
    }
    setCounters(state);
}

void BM_MH_Encode_Libtiff(benchmark::State& state, int only) {
    const auto& c = corpus();
    MemFile out;
    out.data.reserve(1 << 20);
    size_t i = 0;
    for (auto _ : state) {
        tiffEncode(c.pages[pick(only, i++, c.pages.size())], out);
        benchmark::DoNotOptimize(out.data.data());
    }
    setCounters(state);
}

void BM_MH_Decode_Ours(benchmark::State& state, int only) {
    const auto& c = corpus();
    T4Decoder dec;
    std::vector<uint8_t> page(c.pages[0].bits().size());
    size_t i = 0;
    for (auto _ : state) {
        const auto& coded = c.coded[pick(only, i++, c.coded.size())];
        size_t at = 0;
        dec.startPage();
        dec.decode(coded, [&](std::span<const uint8_t> l) {
            if (at + l.size() <= page.size()) std::memcpy(page.data() + at, l.data(), l.size());
            at += l.size();
            return true;
        });
        benchmark::DoNotOptimize(page.data());
    }
    setCounters(state);
}

void BM_MH_Decode_Libtiff(benchmark::State& state, int only) {
    auto& c = const_cast<Corpus&>(corpus());
    std::vector<uint8_t> page;
    size_t i = 0;
    for (auto _ : state) {
        tiffDecode(c.tiffs[pick(only, i++, c.tiffs.size())], page);
        benchmark::DoNotOptimize(page.data());
    }
    setCounters(state);
}

}  // namespace

BENCHMARK_CAPTURE(BM_MH_Decode_Ours, all, -1);
BENCHMARK_CAPTURE(BM_MH_Decode_Libtiff, all, -1);
BENCHMARK_CAPTURE(BM_MH_Encode_Ours, all, -1);
BENCHMARK_CAPTURE(BM_MH_Encode_Libtiff, all, -1);
BENCHMARK_CAPTURE(BM_MH_Decode_Ours, text1, 0);
BENCHMARK_CAPTURE(BM_MH_Decode_Libtiff, text1, 0);
BENCHMARK_CAPTURE(BM_MH_Encode_Ours, text1, 0);
BENCHMARK_CAPTURE(BM_MH_Encode_Libtiff, text1, 0);
BENCHMARK_CAPTURE(BM_MH_Decode_Ours, text2, 1);
BENCHMARK_CAPTURE(BM_MH_Decode_Libtiff, text2, 1);
BENCHMARK_CAPTURE(BM_MH_Encode_Ours, text2, 1);
BENCHMARK_CAPTURE(BM_MH_Encode_Libtiff, text2, 1);
BENCHMARK_CAPTURE(BM_MH_Decode_Ours, photo, 2);
BENCHMARK_CAPTURE(BM_MH_Decode_Libtiff, photo, 2);
BENCHMARK_CAPTURE(BM_MH_Encode_Ours, photo, 2);
BENCHMARK_CAPTURE(BM_MH_Encode_Libtiff, photo, 2);
BENCHMARK_CAPTURE(BM_MH_Decode_Ours, blank, 3);
BENCHMARK_CAPTURE(BM_MH_Decode_Libtiff, blank, 3);
BENCHMARK_CAPTURE(BM_MH_Encode_Ours, blank, 3);
BENCHMARK_CAPTURE(BM_MH_Encode_Libtiff, blank, 3);

// The corpus is made before any benchmark runs, so no measurement (nor a callgrind count of
// one) includes it; a missing corpus is reported instead of measured.
int main(int argc, char** argv) {
    try {
        corpus();
    } catch (const std::exception& e) {
        std::fprintf(stderr, "t4_bench: %s\n", e.what());
        return 1;
    }
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
