// plxfax table, driven as a user would from a shell.
#include <gtest/gtest.h>

#include "support/temp_dir.h"

using pellora::test::run;
using pellora::test::TempDir;

namespace {

class PlxfaxTable : public ::testing::Test {
protected:
    TempDir dir;
    std::string plxfax = PELLORA_PLXFAX;

    std::string ok(const std::string& args) {
        std::string out;
        int rc = run(plxfax + " table " + args, &out);
        EXPECT_EQ(rc, 0) << args << "\n" << out;
        return out;
    }
    std::string fails(const std::string& args) {
        std::string out;
        int rc = run(plxfax + " table " + args, &out);
        EXPECT_NE(rc, 0) << args << "\n" << out;
        return out;
    }
    std::string path(const char* name) { return (dir / name).string(); }
};

TEST_F(PlxfaxTable, InitAddDumpDeletePackReindex) {
    ok("init " + dir.path().string());
    pellora::test::writeFile(dir / "cover.rtf", "{\\rtf1\\ansi Dear [RECIPIENT],\\par}");
    ok("add " + path("PLX.DBF") + " RECIPIENT=Smithers DATESENT=20261211 TIMESENT=09:15 SENT=T "
       "PAGES=2 RTFCOVER=@" + path("cover.rtf"));
    ok("add " + path("PLX.DBF") + " RECIPIENT=Unsent");
    ok("add " + path("PLX.DBF") + " 'RECIPIENT=J SMITH' DATESENT=20261212 TIMESENT=18:00 SENT=T");

    std::string out = ok("dump " + path("PLX.DBF"));
    EXPECT_NE(out.find("version: 0xF5"), std::string::npos) << out;
    EXPECT_NE(out.find("tag 1: DATESENT key \"DTOS(DATESENT)+TIMESENT\" descending for "
                       "\".not. deleted()\" keys 3"),
              std::string::npos)
        << out;
    // Index order: newest first, the unsent fax last; memos as length and first characters.
    auto first = out.find("|J SMITH"), second = out.find("|Smithers"), third = out.find("|Unsent");
    EXPECT_TRUE(first < second && second < third) << out;
    EXPECT_NE(out.find("|[34] {\\rtf1\\ansi Dear [RECIPIENT],\\par}"), std::string::npos) << out;

    out = ok("dump " + path("PLX.DBF") + " --natural --query '\"SMITH\"$UPPER(RECIPIENT)'");
    EXPECT_NE(out.find("order: record number"), std::string::npos) << out;
    EXPECT_LT(out.find("|Smithers"), out.find("|J SMITH")) << out;
    EXPECT_EQ(out.find("|Unsent"), std::string::npos) << out;

    EXPECT_NE(ok("delete " + path("PLX.DBF") + " --where 'EMPTY(DATESENT)'").find("1 deleted."),
              std::string::npos);
    EXPECT_NE(ok("delete " + path("PLX.DBF") + " --where 'EMPTY(DATESENT)'").find("0 deleted."),
              std::string::npos);
    out = ok("dump " + path("PLX.DBF") + " --deleted --natural");
    EXPECT_NE(out.find("2*|"), std::string::npos) << out;
    EXPECT_EQ(ok("dump " + path("PLX.DBF")).find("|Unsent"), std::string::npos);

    EXPECT_NE(ok("pack " + path("PLX.DBF")).find("1 records removed, 2 remain."), std::string::npos);
    std::filesystem::remove(dir / "PLX.CDX");
    EXPECT_NE(ok("reindex " + path("PLX.DBF")).find("1 tag rebuilt."), std::string::npos);
    out = ok("dump " + path("PLX.DBF") + " --tag datesent");
    EXPECT_NE(out.find("keys 2"), std::string::npos) << out;
    EXPECT_LT(out.find("|J SMITH"), out.find("|Smithers")) << out;
}

TEST_F(PlxfaxTable, ErrorsAreOneClearLineAndNonZero) {
    ok("init " + dir.path().string());
    struct Case {
        std::string args;
        const char* says;
    } cases[] = {
        {"dump " + path("NOPE.DBF"), "no such table"},
        {"add " + path("PLXPB.DBF") + " NOSUCH=1", "no field named NOSUCH"},
        {"add " + path("PLX.DBF") + " DATESENT=2026-12-11", "is not a date"},
        {"add " + path("PLX.DBF") + " RTFDOC=text", "memo field"},
        {"add " + path("PLX.DBF") + " RTFDOC=@" + path("missing.rtf"), "cannot read"},
        {"delete " + path("PLX.DBF") + " --where '\"unbalanced'", "condition"},
        {"dump " + path("PLX.DBF") + " --tag NOPE", "no tag named NOPE"},
        {"frobnicate", "unknown subcommand"},
        {"dump", "usage"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.args);
        std::string out = fails(c.args);
        EXPECT_NE(out.find(c.says), std::string::npos) << out;
        EXPECT_NE(out.find("plxfax table"), std::string::npos) << out;
    }
    std::string out;
    EXPECT_EQ(run(plxfax + " --help", &out), 0);
    EXPECT_NE(out.find("table init DIR"), std::string::npos);
}

}  // namespace
