// PLF files: the writer's layout, the reader's checks, the page chain and appending.
#include <gtest/gtest.h>

#include <sys/resource.h>
#include <csignal>
#include <cstring>
#include <filesystem>

#include "fax/image/fax_errors.h"
#include "fax/image/plf.h"
#include "test_util.h"

namespace pellora::fax {
namespace {

using Bytes = std::vector<uint8_t>;

using test::get16;
using test::get32;
void put16(Bytes& b, std::size_t at, uint16_t v) {
    b[at] = uint8_t(v);
    b[at + 1] = uint8_t(v >> 8);
}
void put32(Bytes& b, std::size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i) b[at + std::size_t(i)] = uint8_t(v >> (8 * i));
}

Bytes decodePage(const std::string& name, unsigned page, int* rc, unsigned* lines) {
    PlfReader r;
    *lines = 0;
    Bytes all;
    if ((*rc = r.open(name)) != 0) return all;
    if ((*rc = r.locatePage(page)) != 0) return all;
    T4Decoder dec;
    for (;;) {
        std::span<const uint8_t> chunk;
        int got = r.readChunk(chunk);
        if (got < 0) {
            *rc = got;
            return all;
        }
        if (got == 0) break;
        dec.decode(chunk, [&](std::span<const uint8_t> l) {
            ++*lines;
            all.insert(all.end(), l.begin(), l.end());
            return true;
        });
        if (dec.pageEnded()) break;
    }
    *rc = 0;
    return all;
}

TEST(PlfWriter, LaysOutHeaderPageHeaderAndRecords) {
    test::TempDir dir;
    const std::string name = dir.file("ONE.PLF");
    PlfWriter w;
    ASSERT_EQ(w.create(name), 0);
    w.setStationId("ABCDE");
    w.setPageFlags(true, false);
    T4Encoder enc(1728, 50);
    auto page = test::textLikePage(1728, 30, 1);
    std::size_t dataBytes = 0;
    for (int y = 0; y < page.height(); ++y) {
        auto coded = enc.encodeLine(page.row(y));
        dataBytes += coded.size();
        ASSERT_EQ(w.writeLine(coded), 0);
    }
    ASSERT_EQ(w.endPage(), 0);
    ASSERT_EQ(w.close(), 0);

    Bytes f = test::readFile(name);
    const uint32_t imageLength = uint32_t(2 * page.height() + dataBytes + 14);
    ASSERT_EQ(f.size(), 64 + 16 + imageLength);
    EXPECT_EQ(std::memcmp(f.data(), "PLF10\x1A", 6), 0);
    EXPECT_NE(get32(f, 6), 0u);  // completed now
    EXPECT_EQ(f[10], 5);
    EXPECT_EQ(std::string(f.begin() + 11, f.begin() + 31), "ABCDE               ");
    EXPECT_EQ(f[31], 0);
    EXPECT_EQ(get16(f, 32), 1);
    EXPECT_EQ(get32(f, 34), 64u);
    for (std::size_t i = 38; i < 64; ++i) EXPECT_EQ(f[i], 0) << i;
    EXPECT_EQ(get32(f, 64), imageLength);
    EXPECT_EQ(get16(f, 68), 4 | 1);
    for (std::size_t i = 70; i < 80; ++i) EXPECT_EQ(f[i], 0);
    // Every record starts with the EOL bytes; the last is the end-of-page record.
    std::size_t at = 80;
    unsigned records = 0;
    while (at < f.size()) {
        const uint16_t n = get16(f, at);
        EXPECT_EQ(f[at + 2], 0x00);
        EXPECT_EQ(f[at + 3], 0x80);
        at += 2 + n;
        ++records;
    }
    EXPECT_EQ(at, f.size());
    EXPECT_EQ(records, unsigned(page.height()) + 1);
    const Bytes eop(T4Encoder::endOfPage().begin(), T4Encoder::endOfPage().end());
    EXPECT_EQ(Bytes(f.end() - 12, f.end()), eop);
    EXPECT_EQ(get16(f, f.size() - 14), 12);
}

TEST(PlfWriter, StationIdIsCutToTwentyCharacters) {
    test::TempDir dir;
    ASSERT_EQ(test::writePlf(dir.file("S.PLF"), {test::textLikePage(1728, 2, 1)}, true,
                             "123456789012345678901234"),
              0);
    Bytes f = test::readFile(dir.file("S.PLF"));
    EXPECT_EQ(f[10], 20);
    EXPECT_EQ(std::string(f.begin() + 11, f.begin() + 31), "12345678901234567890");
    EXPECT_EQ(f[31], 0);
}

TEST(PlfWriter, FileBeingWrittenShowsNoPagesYet) {
    test::TempDir dir;
    const std::string name = dir.file("W.PLF");
    PlfWriter w;
    ASSERT_EQ(w.create(name), 0);
    ASSERT_EQ(w.writeLine(T4Encoder::blankLine(1728)), 0);
    ASSERT_EQ(w.endPage(), 0);
    PlfReader r;
    ASSERT_EQ(r.open(name), 0);
    EXPECT_EQ(r.header().pageCount, 0);
    EXPECT_EQ(r.locatePage(1), ecFaxBadFormat);
    ASSERT_EQ(w.close(), 0);
    ASSERT_EQ(r.open(name), 0);
    EXPECT_EQ(r.header().pageCount, 1);
}

TEST(PlfWriter, FailedOrAbandonedWriterLeavesNoFile) {
    test::TempDir dir;
    {
        PlfWriter w;
        ASSERT_EQ(w.create(dir.file("A.PLF")), 0);
        ASSERT_EQ(w.writeLine(T4Encoder::blankLine(1728)), 0);
    }  // destroyed before close
    EXPECT_FALSE(std::filesystem::exists(dir.file("A.PLF")));

    // A full device (through a link, as a user might name it): every write fails once the
    // data reaches it. The writer reports the full disk and removes neither the link nor
    // the device, which it did not make.
    if (std::filesystem::exists("/dev/full")) {
        const std::string link = dir.file("FULL.PLF");
        std::filesystem::create_symlink("/dev/full", link);
        PlfWriter w;
        int rc = w.create(link);
        for (int i = 0; rc == 0 && i < 5000; ++i) rc = w.writeLine(T4Encoder::blankLine(1728));
        if (rc == 0) rc = w.endPage();
        if (rc == 0) rc = w.close();
        EXPECT_EQ(rc, ecDiskFull);
        EXPECT_EQ(w.writeLine(T4Encoder::blankLine(1728)), ecDiskFull);
        EXPECT_TRUE(std::filesystem::exists("/dev/full"));
        EXPECT_TRUE(std::filesystem::is_symlink(link));
    }
    PlfWriter w;
    EXPECT_EQ(w.create(dir.file("no/such/folder/X.PLF")), ecFileNotFound);
    EXPECT_EQ(w.create(""), ecFileNotFound);
}

// Runs `body` with files limited to `bytes`: writes beyond fail (EFBIG) instead of signalling.
template <class F>
void withFileSizeLimit(rlim_t bytes, F body) {
    rlimit old{};
    getrlimit(RLIMIT_FSIZE, &old);
    auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
    rlimit lim = old;
    lim.rlim_cur = bytes;
    setrlimit(RLIMIT_FSIZE, &lim);
    body();
    setrlimit(RLIMIT_FSIZE, &old);
    std::signal(SIGXFSZ, oldHandler);
}

TEST(PlfWriter, WriteFailureDeletesTheHalfWrittenFile) {
    test::TempDir dir;
    const std::string name = dir.file("BIG.PLF");
    int rc = 0;
    withFileSizeLimit(20000, [&] {
        PlfWriter w;
        rc = w.create(name);
        auto page = test::randomPage(1728, 400, 9);
        T4Encoder enc(1728, 0);
        for (int y = 0; rc == 0 && y < page.height(); ++y)
            rc = w.writeLine(enc.encodeLine(page.row(y)));
        if (rc == 0) rc = w.endPage();
        if (rc == 0) rc = w.close();
    });
    EXPECT_EQ(rc, ecDiskFull);
    EXPECT_FALSE(std::filesystem::exists(name));
}

TEST(PlfWriter, RefusesRecordsItCannotStore) {
    test::TempDir dir;
    PlfWriter w;
    ASSERT_EQ(w.create(dir.file("R.PLF")), 0);
    EXPECT_EQ(w.writeLine({}), ecBadArgument);
    EXPECT_EQ(w.writeLine(Bytes(4097, 0)), ecBadArgument);
    EXPECT_EQ(w.writeLine(Bytes(4096, 0)), 0);
    EXPECT_EQ(w.endPage(), 0);
    EXPECT_EQ(w.close(), 0);
}

TEST(PlfReader, PagesRoundTripWithTheirOwnFlags) {
    test::TempDir dir;
    const std::string name = dir.file("P.PLF");
    auto p1 = test::textLikePage(1728, 40, 1);
    auto p2 = test::textLikePage(2048, 30, 2);
    auto p3 = test::randomPage(1728, 10, 3);
    {
        PlfWriter w;
        ASSERT_EQ(w.create(name), 0);
        int flagsOf[3][2] = {{1, 0}, {0, 1}, {1, 0}};
        const MonoBitmap* pages[3] = {&p1, &p2, &p3};
        for (int i = 0; i < 3; ++i) {
            w.setPageFlags(flagsOf[i][0], flagsOf[i][1]);
            T4Encoder enc(pages[i]->width(), 0);
            for (int y = 0; y < pages[i]->height(); ++y)
                ASSERT_EQ(w.writeLine(enc.encodeLine(pages[i]->row(y))), 0);
            ASSERT_EQ(w.endPage(), 0);
        }
        ASSERT_EQ(w.close(), 0);
    }
    PlfReader r;
    ASSERT_EQ(r.open(name), 0);
    EXPECT_EQ(r.header().pageCount, 3);
    PlfPageHeader ph;
    ASSERT_EQ(r.locatePage(2, &ph), 0);
    EXPECT_TRUE(ph.wide());
    EXPECT_FALSE(ph.highResolution());
    EXPECT_TRUE(ph.lengthWords());
    ASSERT_EQ(r.locatePage(3, &ph), 0);
    EXPECT_FALSE(ph.wide());
    EXPECT_TRUE(ph.highResolution());
    EXPECT_EQ(r.locatePage(0), 0);
    EXPECT_EQ(r.locatePage(4), ecFaxBadFormat);

    const MonoBitmap* pages[3] = {&p1, &p2, &p3};
    for (unsigned k = 1; k <= 3; ++k) {
        int rc = 0;
        unsigned lines = 0;
        Bytes got = decodePage(name, k, &rc, &lines);
        ASSERT_EQ(rc, 0);
        EXPECT_EQ(got, pages[k - 1]->bits()) << "page " << k;
    }
}

TEST(PlfReader, RejectsWhatIsNotAPlfFile) {
    test::TempDir dir;
    PlfReader r;
    EXPECT_EQ(r.open(""), ecFileNotFound);
    EXPECT_EQ(r.open(dir.file("missing.plf")), ecFileNotFound);
    EXPECT_FALSE(isPlfFile(dir.file("missing.plf")));

    ASSERT_EQ(test::writePlf(dir.file("G.PLF"), {test::textLikePage(1728, 3, 1)}), 0);
    Bytes good = test::readFile(dir.file("G.PLF"));
    EXPECT_TRUE(isPlfFile(dir.file("G.PLF")));
    struct Case {
        const char* what;
        Bytes bytes;
    };
    Bytes badSig = good;
    badSig[5] = 0x1B;
    Bytes shortFile(good.begin(), good.begin() + 40);
    std::vector<Case> cases = {{"signature byte", badSig},
                               {"shorter than a header", shortFile},
                               {"empty", {}},
                               {"text", Bytes{'P', 'L', 'F', '1', '0', '\n'}}};
    for (const auto& c : cases) {
        test::writeFile(dir.file("B.PLF"), c.bytes);
        EXPECT_EQ(r.open(dir.file("B.PLF")), ecFaxBadFormat) << c.what;
        EXPECT_FALSE(r.isOpen());
    }
    EXPECT_FALSE(isPlfFile(dir.file("B.PLF")));
}

TEST(PlfReader, DamagedChainsAndDataFailWithBadFormat) {
    test::TempDir dir;
    ASSERT_EQ(test::writePlf(dir.file("G.PLF"),
                             {test::textLikePage(1728, 8, 1), test::textLikePage(1728, 8, 2)}),
              0);
    const Bytes good = test::readFile(dir.file("G.PLF"));
    const uint32_t len1 = get32(good, 64);
    const std::size_t page2 = 64 + 16 + len1;

    struct Case {
        const char* what;
        unsigned page;
        std::function<void(Bytes&)> damage;
    };
    const Case cases[] = {
        {"page count beyond the chain", 3, [](Bytes& b) { put16(b, 32, 3); }},
        {"huge page count", 40000, [](Bytes& b) { put16(b, 32, 65535); }},
        {"first offset past the end", 1, [](Bytes& b) { put32(b, 34, 0xFFFFFFF0u); }},
        {"absurd image length", 2, [](Bytes& b) { put32(b, 64, 0xFFFFFFFFu); }},
        {"truncated inside page 2", 2, [&](Bytes& b) { b.resize(page2 + 30); }},
        {"truncated in page 2's header", 2, [&](Bytes& b) { b.resize(page2 + 7); }},
        {"record longer than 4096", 1, [](Bytes& b) { put16(b, 80, 5000); }},
        {"record running into the next page", 2,
         [&](Bytes& b) { put16(b, page2 + 16, uint16_t(get32(b, page2))); }},
        {"raw data ending early", 2,
         [&](Bytes& b) {
             put16(b, page2 + 4, 0);  // no length words: one continuous stream
             put32(b, page2, get32(b, page2) + 1000);
             b.resize(b.size() - 12);  // without its end of page
         }},
    };
    for (const auto& c : cases) {
        Bytes b = good;
        c.damage(b);
        test::writeFile(dir.file("D.PLF"), b);
        int rc = 0;
        unsigned lines = 0;
        decodePage(dir.file("D.PLF"), c.page, &rc, &lines);
        EXPECT_EQ(rc, ecFaxBadFormat) << c.what;
    }
}

TEST(PlfReader, RawPagesDecodeByTheirEolsAlone) {
    test::TempDir dir;
    auto page = test::textLikePage(1728, 12, 4);
    Bytes stream = test::codedStream(page);
    Bytes file(64, 0);
    std::memcpy(file.data(), "PLF10\x1A", 6);
    put16(file, 32, 1);
    put32(file, 34, 64);
    Bytes ph(16, 0);
    put32(ph, 0, uint32_t(stream.size()));
    put16(ph, 4, pfHighResolution);
    file.insert(file.end(), ph.begin(), ph.end());
    file.insert(file.end(), stream.begin(), stream.end());
    test::writeFile(dir.file("RAW.PLF"), file);
    int rc = -1;
    unsigned lines = 0;
    Bytes got = decodePage(dir.file("RAW.PLF"), 1, &rc, &lines);
    EXPECT_EQ(rc, 0);
    EXPECT_EQ(got, page.bits());
}

TEST(PlfAppend, AppendsPagesAndKeepsTheDestinationsHeader) {
    test::TempDir dir;
    auto a = test::textLikePage(1728, 10, 1);
    auto b1 = test::textLikePage(1728, 11, 2);
    auto b2 = test::textLikePage(2048, 12, 3);
    ASSERT_EQ(test::writePlf(dir.file("A.PLF"), {a}, true, "DEST"), 0);
    ASSERT_EQ(test::writePlf(dir.file("B.PLF"), {b1, b2}, false, "SOURCE"), 0);
    Bytes before = test::readFile(dir.file("A.PLF"));
    // A date the writer would not produce now, to see that it is kept.
    put32(before, 6, 0x12345678u);
    test::writeFile(dir.file("A.PLF"), before);

    ASSERT_EQ(appendPlfFile(dir.file("A.PLF"), dir.file("B.PLF")), 0);
    Bytes after = test::readFile(dir.file("A.PLF"));
    Bytes src = test::readFile(dir.file("B.PLF"));
    EXPECT_EQ(get16(after, 32), 3);
    EXPECT_EQ(get32(after, 6), 0x12345678u);
    EXPECT_EQ(std::string(after.begin() + 11, after.begin() + 15), "DEST");
    EXPECT_EQ(after.size(), before.size() + src.size() - 64);
    const MonoBitmap* pages[3] = {&a, &b1, &b2};
    for (unsigned k = 1; k <= 3; ++k) {
        int rc = 0;
        unsigned lines = 0;
        EXPECT_EQ(decodePage(dir.file("A.PLF"), k, &rc, &lines), pages[k - 1]->bits()) << k;
        EXPECT_EQ(rc, 0);
    }
}

TEST(PlfAppend, AppendingAFileToItselfDoublesItOnce) {
    test::TempDir dir;
    ASSERT_EQ(test::writePlf(dir.file("A.PLF"), {test::textLikePage(1728, 5, 1)}), 0);
    const auto size = std::filesystem::file_size(dir.file("A.PLF"));
    ASSERT_EQ(appendPlfFile(dir.file("A.PLF"), dir.file("A.PLF")), 0);
    EXPECT_EQ(std::filesystem::file_size(dir.file("A.PLF")), 2 * size - 64);
    PlfReader r;
    ASSERT_EQ(r.open(dir.file("A.PLF")), 0);
    EXPECT_EQ(r.header().pageCount, 2);
}

TEST(PlfAppend, FailuresLeaveTheDestinationAsItWas) {
    test::TempDir dir;
    ASSERT_EQ(test::writePlf(dir.file("A.PLF"), {test::textLikePage(1728, 5, 1)}), 0);
    ASSERT_EQ(test::writePlf(dir.file("B.PLF"), {test::textLikePage(1728, 5, 2)}), 0);
    const Bytes a = test::readFile(dir.file("A.PLF"));
    Bytes broken = test::readFile(dir.file("B.PLF"));
    put16(broken, 32, 7);  // claims pages it does not have
    test::writeFile(dir.file("C.PLF"), broken);
    test::writeFile(dir.file("N.PLF"), Bytes{'n', 'o', 't'});

    EXPECT_EQ(appendPlfFile(dir.file("A.PLF"), dir.file("missing.PLF")), ecFileNotFound);
    EXPECT_EQ(appendPlfFile(dir.file("missing.PLF"), dir.file("B.PLF")), ecFileNotFound);
    EXPECT_EQ(appendPlfFile(dir.file("A.PLF"), dir.file("C.PLF")), ecFaxBadFormat);
    EXPECT_EQ(appendPlfFile(dir.file("A.PLF"), dir.file("N.PLF")), ecFaxBadFormat);
    EXPECT_EQ(appendPlfFile(dir.file("N.PLF"), dir.file("B.PLF")), ecFaxBadFormat);
    EXPECT_EQ(test::readFile(dir.file("A.PLF")), a);
}

TEST(PlfAppend, AFailedCopyTakesTheCopiedPagesBack) {
    test::TempDir dir;
    ASSERT_EQ(test::writePlf(dir.file("A.PLF"), {test::textLikePage(1728, 5, 1)}), 0);
    ASSERT_EQ(test::writePlf(dir.file("B.PLF"), {test::randomPage(1728, 300, 2)}), 0);
    const Bytes a = test::readFile(dir.file("A.PLF"));
    int rc = 0;
    withFileSizeLimit(a.size() + 5000,
                      [&] { rc = appendPlfFile(dir.file("A.PLF"), dir.file("B.PLF")); });
    EXPECT_EQ(rc, ecDiskFull);
    EXPECT_EQ(test::readFile(dir.file("A.PLF")), a);
}

TEST(PlfHeader, DosDateTimePacking) {
    std::tm t{};
    t.tm_year = 2024 - 1900;
    t.tm_mon = 1;  // February
    t.tm_mday = 29;
    t.tm_hour = 13;
    t.tm_min = 45;
    t.tm_sec = 59;
    EXPECT_EQ(dosDateTime(t),
              (44u << 25) | (2u << 21) | (29u << 16) | (13u << 11) | (45u << 5) | 29u);
    t.tm_year = 1979 - 1900;
    EXPECT_EQ(dosDateTime(t), 0u);
    t.tm_year = 2100 - 1900;
    EXPECT_EQ(dosDateTime(t), 0u);
}

}  // namespace
}  // namespace pellora::fax
