// plxfax convert: the command line over the converter.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>

#include <sys/wait.h>

#include "fax/image/convert/convert_util.h"

namespace pellora::fax::test {
namespace {

namespace fs = std::filesystem;

struct Out {
    int status = 0;
    std::string text;
};

Out plxfax(const std::string& args) {
    Out o;
    const std::string cmd = std::string(PELLORA_PLXFAX) + " " + args + " 2>&1";
    std::FILE* p = popen(cmd.c_str(), "r");
    char buf[512];
    while (p && std::fgets(buf, sizeof buf, p)) o.text += buf;
    const int rc = p ? pclose(p) : -1;
    o.status = WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
    return o;
}

TEST(ConvertCommand, TextAndImagesByExtension) {
    TempDir dir;
    const std::string txt = dir.file("letter.txt");
    std::string text;
    for (int i = 0; i < 70; ++i) text += "line " + std::to_string(i) + "\r\n";
    writeFile(txt, std::vector<uint8_t>(text.begin(), text.end()));
    auto o = plxfax("convert " + txt);
    ASSERT_EQ(o.status, 0) << o.text;
    EXPECT_NE(o.text.find("2 pages"), std::string::npos) << o.text;
    auto pages = readPages(dir.file("letter.PLF"));
    ASSERT_EQ(pages.size(), 2u);
    EXPECT_EQ(pages[0].lines.size(), 60u * 16);

    o = plxfax("convert " + txt + " -o " + dir.file("fine") +
               " --fine --wide --font small --lines-per-page 0 --top-margin 2 --station ABC");
    ASSERT_EQ(o.status, 0) << o.text;
    PlfReader r;
    ASSERT_EQ(r.open(dir.file("fine.PLF")), 0);
    EXPECT_EQ(r.header().stationId, "ABC");
    pages = readPages(dir.file("fine.PLF"));
    ASSERT_EQ(pages.size(), 1u);
    EXPECT_EQ(pages[0].header.pageFlags, pfLengthWords | pfHighResolution | pfWideWidth);
    EXPECT_EQ(pages[0].lines.size(), 2u + 70 * 16);

    o = plxfax("convert " + txt + " -o " + dir.file("arial.PLF") +
               " --font-name Arial --font-size 10 --left-margin 0");
    ASSERT_EQ(o.status, 0) << o.text;
    EXPECT_EQ(readPages(dir.file("arial.PLF")).size(), 2u);

    const MonoBitmap bm = textLikePage(1664, 100, 3);
    writeFile(dir.file("page.bmp"), makeBmp(bm, 1));
    o = plxfax("convert " + dir.file("page.bmp"));
    ASSERT_EQ(o.status, 0) << o.text;
    pages = readPages(dir.file("page.PLF"));
    ASSERT_EQ(pages.size(), 1u);
    EXPECT_EQ(pages[0].lines.size(), 100u);

    writeFile(dir.file("scan.dat"), makeTiff(bm, {}));
    o = plxfax("convert " + dir.file("scan.dat") + " --type tiff -o " + dir.file("scan.PLF"));
    ASSERT_EQ(o.status, 0) << o.text;
    EXPECT_EQ(readPages(dir.file("scan.PLF"))[0].lines.size(), 100u);
}

TEST(ConvertCommand, Errors) {
    TempDir dir;
    struct Case {
        std::string args;
        int status;
        const char* says;
    } cases[] = {
        {"convert", 2, "expected an input file"},
        {"convert " + dir.file("x.doc"), 2, "--type"},
        {"convert a.txt --type jpeg", 2, "unknown --type"},
        {"convert a.txt --lines-per-page many", 2, "needs a number"},
        {"convert a.txt --font huge", 2, "standard or small"},
        {"convert " + dir.file("missing.txt"), 1, "File not found"},
    };
    for (const auto& k : cases) {
        const auto o = plxfax(k.args);
        EXPECT_EQ(o.status, k.status) << k.args << "\n" << o.text;
        EXPECT_NE(o.text.find(k.says), std::string::npos) << k.args << "\n" << o.text;
    }
    writeFile(dir.file("bad.bmp"), {'B', 'M', 1, 2, 3});
    const auto o = plxfax("convert " + dir.file("bad.bmp"));
    EXPECT_EQ(o.status, 1);
    EXPECT_NE(o.text.find("Unsupported graphics file format"), std::string::npos) << o.text;
    EXPECT_FALSE(fs::exists(dir.file("bad.PLF")));
}

}  // namespace
}  // namespace pellora::fax::test
