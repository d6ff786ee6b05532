// The joined file of a send run and the default names of received faxes.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "fax/components/fax_files.h"
#include "fax/image/fax_errors.h"
#include "fax/image/plf.h"
#include "fax/image/t4.h"
#include "fax/image/test_util.h"
#include "support/temp_dir.h"

namespace pellora::fax {
namespace {

namespace fs = std::filesystem;
using pellora::test::TempDir;

// Points the system's temporary folder at a folder of the test while it lives.
class TempFolderOverride {
public:
    explicit TempFolderOverride(const fs::path& dir) {
        if (const char* old = std::getenv("TMPDIR")) old_ = old, hadOld_ = true;
        ::setenv("TMPDIR", dir.c_str(), 1);
    }
    ~TempFolderOverride() {
        if (hadOld_)
            ::setenv("TMPDIR", old_.c_str(), 1);
        else
            ::unsetenv("TMPDIR");
    }

private:
    std::string old_;
    bool hadOld_ = false;
};

std::vector<fs::path> filesIn(const fs::path& dir) {
    std::vector<fs::path> out;
    for (const auto& e : fs::directory_iterator(dir)) out.push_back(e.path());
    return out;
}

// Every page of a PLF file decoded to raster lines.
std::vector<std::vector<std::vector<std::uint8_t>>> decodePages(const std::string& name) {
    std::vector<std::vector<std::vector<std::uint8_t>>> pages;
    PlfReader r;
    if (r.open(name) != 0) return pages;
    for (unsigned k = 1; k <= r.header().pageCount; ++k) {
        std::vector<std::vector<std::uint8_t>> lines;
        if (r.locatePage(k) != 0) return {};
        T4Decoder dec;
        std::span<const std::uint8_t> chunk;
        while (r.readChunk(chunk) == 1)
            dec.decode(chunk, [&](std::span<const std::uint8_t> l) {
                lines.emplace_back(l.begin(), l.end());
                return true;
            });
        pages.push_back(std::move(lines));
    }
    return pages;
}

class JoinedFile : public ::testing::Test {
protected:
    void SetUp() override {
        fs::create_directory(dir_ / "tmp");
        // Three files of 2, 1 and 3 pages, each page different.
        unsigned seed = 1;
        for (int f = 0; f < 3; ++f) {
            std::vector<MonoBitmap> pages;
            for (int p = 0; p < (f == 0 ? 2 : f == 1 ? 1 : 3); ++p)
                pages.push_back(test::textLikePage(1728, 120, seed++));
            const std::string name = (dir_ / ("part" + std::to_string(f) + ".PLF")).string();
            ASSERT_EQ(test::writePlf(name, pages, f != 1, "STATION " + std::to_string(f)), 0);
            files_.push_back(name);
        }
    }
    std::string temporaryFolder() const { return (dir_ / "tmp").string(); }

    TempDir dir_;
    std::vector<std::string> files_;
};

TEST_F(JoinedFile, HoldsEveryPageInOrderUnderTheFirstHeader) {
    TempFolderOverride tmp(temporaryFolder());
    std::string joined;
    ASSERT_EQ(concatenateFaxFiles(files_, &joined), 0);
    EXPECT_EQ(fs::path(joined).parent_path(), fs::path(temporaryFolder()));
    EXPECT_EQ(fs::path(joined).filename().string().rfind("~FX", 0), 0u) << joined;

    PlfReader r;
    ASSERT_EQ(r.open(joined), 0);
    PlfReader first;
    ASSERT_EQ(first.open(files_[0]), 0);
    EXPECT_EQ(r.header().pageCount, 6);
    EXPECT_EQ(r.header().stationId, first.header().stationId);
    EXPECT_EQ(r.header().dateTime, first.header().dateTime);
    EXPECT_EQ(r.header().firstPageOffset, 64u);

    std::vector<std::vector<std::vector<std::uint8_t>>> expected;
    for (const auto& f : files_)
        for (auto& page : decodePages(f)) expected.push_back(std::move(page));
    const auto got = decodePages(joined);
    ASSERT_EQ(got.size(), 6u);
    for (std::size_t p = 0; p < got.size(); ++p) {
        EXPECT_EQ(got[p].size(), 120u) << "page " << p + 1;
        EXPECT_EQ(got[p], expected[p]) << "page " << p + 1;
    }
    // Page flags travel with their pages: file 1 was written at normal resolution.
    PlfPageHeader ph;
    ASSERT_EQ(r.locatePage(3, &ph), 0);
    EXPECT_FALSE(ph.highResolution());
    ASSERT_EQ(r.locatePage(4, &ph), 0);
    EXPECT_TRUE(ph.highResolution());
    fs::remove(joined);
}

TEST_F(JoinedFile, BytesBehindTheLastPageStayOut) {
    // A writer that left bytes behind its last page must not shift the pages after it.
    {
        std::ofstream junk(files_[0], std::ios::binary | std::ios::app);
        junk << "trailing bytes";
    }
    TempFolderOverride tmp(temporaryFolder());
    std::string joined;
    ASSERT_EQ(concatenateFaxFiles(files_, &joined), 0);
    const auto got = decodePages(joined);
    ASSERT_EQ(got.size(), 6u);
    EXPECT_EQ(got[5], decodePages(files_[2])[2]);
    fs::remove(joined);
}

TEST_F(JoinedFile, RefusesWhatItCannotJoinAndLeavesNothing) {
    const std::string text = (dir_ / "letter.txt").string();
    pellora::test::writeFile(text, "Dear Sir,\r\nthis is no fax file.\r\n");
    // A PLF file whose first page does not follow the header directly.
    const std::string moved = (dir_ / "moved.PLF").string();
    {
        auto bytes = test::readFile(files_[1]);
        bytes.insert(bytes.begin() + 64, 16, 0);
        bytes[34] = 80;
        test::writeFile(moved, bytes);
        PlfReader check;
        ASSERT_EQ(check.open(moved), 0);
        ASSERT_EQ(check.locatePage(1), 0);  // a valid file, only not joinable as it stands
    }
    const struct {
        const char* name;
        std::vector<std::string> files;
        int code;
    } cases[] = {
        {"bad signature first", {text, files_[1]}, ecFaxBadFormat},
        {"bad signature later", {files_[0], files_[1], text}, ecFaxBadFormat},
        {"first page elsewhere", {files_[0], moved}, ecFaxBadFormat},
        {"missing file", {files_[0], (dir_ / "nothing.PLF").string()}, ecFileNotFound},
    };
    for (const auto& c : cases) {
        TempFolderOverride tmp(temporaryFolder());
        std::string joined = "unchanged";
        EXPECT_EQ(concatenateFaxFiles(c.files, &joined), c.code) << c.name;
        EXPECT_EQ(joined, "") << c.name;
        EXPECT_TRUE(filesIn(temporaryFolder()).empty()) << c.name;
    }
}

// --- default names ---------------------------------------------------------------------------

std::tm dayOf(int month, int day) {
    std::tm t{};
    t.tm_year = 126;
    t.tm_mon = month - 1;
    t.tm_mday = day;
    return t;
}

TEST(DefaultFaxName, TakesTheFirstFreeNumber) {
    TempDir dir;
    pellora::test::writeFile(dir / "FAX0001.PLF", "x");
    pellora::test::writeFile(dir / "FAX0002.PLF", "x");
    const std::string name = defaultFaxName(dir.path().string(), "PLF", 1, dayOf(12, 11));
    EXPECT_EQ(name, (dir / "FAX0003.PLF").string());
    EXPECT_TRUE(fs::exists(name));  // claimed
    // The next call does not hand out the same name.
    EXPECT_EQ(defaultFaxName(dir.path().string(), "PLF", 1, dayOf(12, 11)), (dir / "FAX0004.PLF").string());
}

TEST(DefaultFaxName, FolderSeparatorAndModes) {
    TempDir dir;
    const std::string slash = dir.path().string() + "/";
    const struct {
        const char* name;
        std::string folder;
        int mode;
        std::tm day;
        std::string expected;
    } cases[] = {
        {"mode 1, no trailing slash", dir.path().string(), 1, dayOf(1, 2), slash + "FAX0001.PLF"},
        {"mode 1, trailing slash", slash, 1, dayOf(1, 2), slash + "FAX0002.PLF"},
        {"mode 2", dir.path().string(), 2, dayOf(3, 7), slash + "03070001.PLF"},
        {"mode 2, next", dir.path().string(), 2, dayOf(3, 7), slash + "03070002.PLF"},
        {"mode 2, other day", dir.path().string(), 2, dayOf(12, 31), slash + "12310001.PLF"},
        {"other mode", dir.path().string(), 0, dayOf(1, 2), slash + "noname.plf"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(defaultFaxName(c.folder, "PLF", c.mode, c.day), c.expected) << c.name;
}

TEST(DefaultFaxName, EmptyFolderMeansTheCurrentOne) {
    TempDir dir;
    const fs::path back = fs::current_path();
    fs::current_path(dir.path());
    EXPECT_EQ(defaultFaxName("", "FAX", 1, dayOf(1, 1)), "FAX0001.FAX");
    fs::current_path(back);
}

TEST(DefaultFaxName, NeverWritesOverWhatIsThere) {
    TempDir dir;
    // A dangling link where FAX0001.PLF would go: following it would create a file elsewhere.
    fs::create_symlink(dir / "elsewhere" / "target", dir / "FAX0001.PLF");
    EXPECT_EQ(defaultFaxName(dir.path().string(), "PLF", 1, dayOf(1, 1)), (dir / "FAX0002.PLF").string());
    EXPECT_FALSE(fs::exists(dir / "elsewhere"));
    // A fax received earlier under the fixed name stays as it is.
    pellora::test::writeFile(dir / "noname.plf", "earlier fax");
    const std::string other = defaultFaxName(dir.path().string(), "PLF", 7, dayOf(1, 1));
    EXPECT_NE(other, (dir / "noname.plf").string());
    EXPECT_EQ(fs::path(other).parent_path(), dir.path());
    EXPECT_EQ(fs::path(other).extension(), ".plf");
    EXPECT_EQ(pellora::test::readFile(dir / "noname.plf"), "earlier fax");
}

TEST(DefaultFaxName, AllNumbersTaken) {
    TempDir dir;
    for (int n = 1; n <= 9999; ++n) {
        char name[16];
        std::snprintf(name, sizeof name, "FAX%04d.PLF", n);
        std::ofstream(dir / name).put('x');
    }
    const fs::path back = fs::current_path();
    fs::create_directory(dir / "cwd");
    fs::current_path(dir / "cwd");
    EXPECT_EQ(defaultFaxName(dir.path().string(), "PLF", 1, dayOf(1, 1)), "NONAME.PLF");
    // Taken as well: a unique variant in the same place.
    const std::string next = defaultFaxName(dir.path().string(), "PLF", 1, dayOf(1, 1));
    EXPECT_NE(next, "NONAME.PLF");
    EXPECT_EQ(next.rfind("NONAME-", 0), 0u) << next;
    fs::current_path(back);
}

TEST(DefaultFaxName, AnUnwritableFolderStillGetsAName) {
    // The session reports the failure when it creates the file; the name is still the first.
    EXPECT_EQ(defaultFaxName("/nonexistent-folder-for-pellora", "PLF", 1, dayOf(1, 1)),
              "/nonexistent-folder-for-pellora/FAX0001.PLF");
}

}  // namespace
}  // namespace pellora::fax
