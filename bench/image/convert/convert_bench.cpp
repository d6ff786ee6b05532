// Converter speed in pages per second: a text file drawn with the built-in fax font, and
// the monochrome 1664 x 2156 BMP page the document builder feeds the converter for every
// page of a fax (high resolution, margin 50, no centring).
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "fax/image/convert/fax_converter.h"

namespace {

namespace fax = pellora::fax;
namespace fs = std::filesystem;

fs::path scratchDir() {
    static const fs::path dir = [] {
        fs::path d =
            fs::temp_directory_path() / ("pellora-convert-bench-" + std::to_string(::getpid()));
        fs::create_directories(d);
        return d;
    }();
    return dir;
}

// Business-letter text: 60 lines a page of words of varied length, some short lines.
std::string textFile(int pages) {
    const fs::path name = scratchDir() / ("letter" + std::to_string(pages) + ".txt");
    std::mt19937 rng(42);
    const char* words[] = {"fax",     "invoice", "the",  "delivery", "of",       "order",
                           "please",  "confirm", "by",   "return",   "Pellora",  "and",
                           "payment", "within",  "days", "regards",  "shipment", "1234.50"};
    std::ofstream out(name, std::ios::binary);
    for (int line = 0; line < 60 * pages; ++line) {
        std::string s;
        const std::size_t len = line % 7 == 6 ? 0 : 30 + rng() % 45;
        while (s.size() < len) s += std::string(words[rng() % 18]) + " ";
        out << s << "\r\n";
    }
    return name.string();
}

// A 1664 x 2156 one-bit BMP of text-like blocks.
std::string bmpFile() {
    const fs::path name = scratchDir() / "page.bmp";
    const int w = 1664, h = 2156;
    const std::size_t stride = (w + 31) / 32 * 4;
    std::vector<uint8_t> px(stride * h, 0xFF);  // white (palette index 1)
    std::mt19937 rng(7);
    for (int y = 100; y + 30 < h - 100; y += 40)
        for (int x = 100; x < w - 140;) {
            const int word = 20 + int(rng() % 90);
            for (int yy = y; yy < y + 24; ++yy)
                for (int xx = x; xx < x + word; ++xx)
                    if (rng() % 3)
                        px[(h - 1 - yy) * stride + xx / 8] &= uint8_t(~(0x80u >> (xx % 8)));
            x += word + 12;
        }
    std::ofstream out(name, std::ios::binary);
    auto u32 = [&](uint32_t v) { out.write(reinterpret_cast<const char*>(&v), 4); };
    auto u16 = [&](uint16_t v) { out.write(reinterpret_cast<const char*>(&v), 2); };
    out.write("BM", 2);
    u32(uint32_t(62 + px.size()));
    u32(0);
    u32(62);
    u32(40);
    u32(w);
    u32(h);
    u16(1);
    u16(1);
    u32(0);
    u32(uint32_t(px.size()));
    u32(7874);
    u32(7874);
    u32(2);
    u32(0);
    u32(0x000000);
    u32(0xFFFFFF);
    out.write(reinterpret_cast<const char*>(px.data()), std::streamsize(px.size()));
    return name.string();
}

void BM_Convert_TextToPlf(benchmark::State& state) {
    const int pages = int(state.range(0));
    fax::TFaxConverter c;
    c.InputDocumentType = fax::idText;
    c.SetDocumentFile(textFile(pages));
    for (auto _ : state)
        if (c.Convert() != 0) state.SkipWithError("conversion failed");
    state.SetItemsProcessed(int64_t(state.iterations()) * pages);
    state.counters["pages/s"] =
        benchmark::Counter(double(state.iterations()) * pages, benchmark::Counter::kIsRate);
}
BENCHMARK(BM_Convert_TextToPlf)->Arg(1)->Arg(10)->Unit(benchmark::kMillisecond);

void BM_Convert_TextToPlf_Fine(benchmark::State& state) {
    fax::TFaxConverter c;
    c.InputDocumentType = fax::idText;
    c.Resolution = fax::frHigh;
    c.SetDocumentFile(textFile(10));
    for (auto _ : state)
        if (c.Convert() != 0) state.SkipWithError("conversion failed");
    state.SetItemsProcessed(int64_t(state.iterations()) * 10);
    state.counters["pages/s"] =
        benchmark::Counter(double(state.iterations()) * 10, benchmark::Counter::kIsRate);
}
BENCHMARK(BM_Convert_TextToPlf_Fine)->Unit(benchmark::kMillisecond);

void BM_Convert_BmpToPlf(benchmark::State& state) {
    fax::TFaxConverter c;
    c.InputDocumentType = fax::idBmp;
    c.Resolution = fax::frHigh;
    c.SetOptions(fax::coYield);
    c.SetDocumentFile(bmpFile());
    for (auto _ : state)
        if (c.Convert() != 0) state.SkipWithError("conversion failed");
    state.SetItemsProcessed(int64_t(state.iterations()));
    state.counters["pages/s"] =
        benchmark::Counter(double(state.iterations()), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_Convert_BmpToPlf)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    std::error_code ec;
    fs::remove_all(scratchDir(), ec);
    return 0;
}
