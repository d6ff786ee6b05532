// plxfax info, export and cat as a user runs them.
#include <gtest/gtest.h>

#include <sys/wait.h>
#include <cstdio>
#include <filesystem>

#include "fax/image/plf.h"
#include "test_util.h"

namespace pellora::fax {
namespace {

struct Result {
    int status;
    std::string out;
};

Result plxfax(const std::string& args) {
    const std::string cmd = std::string(PELLORA_PLXFAX) + " " + args + " 2>&1";
    Result r{-1, {}};
    std::FILE* p = popen(cmd.c_str(), "r");
    if (!p) return r;
    char buf[4096];
    std::size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, p)) > 0) r.out.append(buf, n);
    const int st = pclose(p);
    r.status = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
    return r;
}

TEST(PlxfaxImage, InfoListsHeaderAndPages) {
    test::TempDir dir;
    ASSERT_EQ(test::writePlf(dir.file("A.PLF"),
                             {test::textLikePage(1728, 30, 1), test::textLikePage(2048, 20, 2)},
                             true, "STATION 1"),
              0);
    Result r = plxfax("info " + dir.file("A.PLF"));
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_NE(r.out.find("station:     \"STATION 1\""), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("pages:       2"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("page 1: flags 0x0005 (fine, 1728 wide, line records)"), std::string::npos)
        << r.out;
    EXPECT_NE(r.out.find("lines 30"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("page 2: flags 0x0007 (fine, 2048 wide, line records)"), std::string::npos)
        << r.out;
    EXPECT_NE(r.out.find("lines 20"), std::string::npos) << r.out;
}

TEST(PlxfaxImage, ExportWritesTheChosenFormat) {
    test::TempDir dir;
    ASSERT_EQ(test::writePlf(dir.file("A.PLF"),
                             {test::textLikePage(1728, 30, 1), test::textLikePage(1728, 20, 2)}),
              0);
    struct Case {
        std::string args, file;
        std::vector<uint8_t> magic;
    };
    const Case cases[] = {
        {"--page 2 --format bmp", "A.BMP", {'B', 'M'}},
        {"--format pcx -o " + dir.file("x"), "x.PCX", {10, 2}},
        {"--format DCX -o " + dir.file("y.img"), "y.img", {0xB1, 0x68, 0xDE, 0x3A}},
    };
    for (const auto& c : cases) {
        Result r = plxfax("export " + dir.file("A.PLF") + " " + c.args);
        EXPECT_EQ(r.status, 0) << c.args << ": " << r.out;
        auto bytes = test::readFile(dir.file(c.file));
        ASSERT_GE(bytes.size(), c.magic.size()) << c.file;
        EXPECT_TRUE(std::equal(c.magic.begin(), c.magic.end(), bytes.begin())) << c.file;
    }
}

TEST(PlxfaxImage, ErrorsPrintOneLineAndFail) {
    test::TempDir dir;
    ASSERT_EQ(test::writePlf(dir.file("A.PLF"), {test::textLikePage(1728, 10, 1)}), 0);
    test::writeFile(dir.file("BAD.PLF"), {'n', 'o', 'p', 'e'});
    struct Case {
        std::string args;
        int status;
        std::string text;
    };
    const Case cases[] = {
        {"info " + dir.file("missing.PLF"), 1, "File not found"},
        {"info " + dir.file("BAD.PLF"), 1, "File is not a PLF file"},
        {"export " + dir.file("A.PLF") + " --page 4 --format bmp", 1, "there is no page 4"},
        {"export " + dir.file("A.PLF") + " --format gif", 2, "unknown format"},
        {"export " + dir.file("A.PLF") + " --page x --format bmp", 2, "--page"},
        {"cat " + dir.file("A.PLF"), 2, "expected DEST.PLF"},
        {"cat " + dir.file("A.PLF") + " " + dir.file("BAD.PLF"), 1, "File is not a PLF file"},
    };
    for (const auto& c : cases) {
        Result r = plxfax(c.args);
        EXPECT_EQ(r.status, c.status) << c.args << ": " << r.out;
        EXPECT_NE(r.out.find(c.text), std::string::npos) << c.args << ": " << r.out;
    }
    EXPECT_FALSE(std::filesystem::exists(dir.file("A.BMP")));
}

TEST(PlxfaxImage, CatAppendsEveryFileInOrder) {
    test::TempDir dir;
    ASSERT_EQ(test::writePlf(dir.file("A.PLF"), {test::textLikePage(1728, 10, 1)}), 0);
    ASSERT_EQ(test::writePlf(dir.file("B.PLF"), {test::textLikePage(1728, 11, 2)}), 0);
    ASSERT_EQ(test::writePlf(dir.file("C.PLF"),
                             {test::textLikePage(1728, 12, 3), test::textLikePage(1728, 13, 4)}),
              0);
    Result r =
        plxfax("cat " + dir.file("A.PLF") + " " + dir.file("B.PLF") + " " + dir.file("C.PLF"));
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_NE(r.out.find("4 pages"), std::string::npos) << r.out;
    PlfReader rd;
    ASSERT_EQ(rd.open(dir.file("A.PLF")), 0);
    EXPECT_EQ(rd.header().pageCount, 4);
}

}  // namespace
}  // namespace pellora::fax
