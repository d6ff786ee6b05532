#include "store/table.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <set>

#include "store/cdx.h"
#include "store/xbase_expr.h"
#include "support/temp_dir.h"
#include "table_checks.h"

using namespace pellora::store;
using pellora::test::readFile;
using pellora::test::TempDir;
using pellora::test::writeFile;

namespace {

const std::vector<FieldDef> kFields = {
    {"NAME", 'C', 20, 0}, {"SENT", 'L', 1, 0}, {"DAY", 'D', 8, 0},
    {"PAGES", 'N', 3, 0}, {"PRICE", 'N', 8, 2}, {"BODY", 'M', 10, 0},
};

class TableTest : public ::testing::Test {
protected:
    TempDir dir;
    std::filesystem::path dbf = dir / "T.DBF";

    void add(Table& t, const std::string& name, const std::string& day = "",
             const std::string& body = "") {
        t.appendBlank();
        t.setField(t.fieldIndex("NAME"), name);
        t.setField(t.fieldIndex("DAY"), day);
        if (!body.empty()) t.setMemo(t.fieldIndex("BODY"), body);
        t.post();
    }

    std::vector<std::string> names(Table& t) {
        std::vector<std::string> out;
        for (bool ok = t.first(); ok; ok = t.next()) out.push_back(t.getString(0));
        return out;
    }
};

TEST_F(TableTest, ValuesAndMemosSurviveCloseAndReopenByteForByte) {
    Table::create(dbf, kFields);
    std::string memo("{\\rtf1 line\r\nnext\x1A\0\xFF end}", 24);
    std::string big(70000, 'x');
    {
        Table t;
        t.open(dbf);
        EXPECT_EQ(t.version(), 0xF5);
        t.appendBlank();
        t.setField(0, "Smith & Sons");
        t.setField(1, "T");
        t.setField(2, "20260115");
        t.setField(3, "12");
        t.setField(4, "-3.5");
        t.setMemo(5, memo);
        t.post();
        add(t, "second", "", big);
    }
    Table t;
    t.open(dbf);
    ASSERT_EQ(t.recCount(), 2u);
    ASSERT_TRUE(t.go(1));
    EXPECT_EQ(t.getString(0), "Smith & Sons");
    EXPECT_TRUE(t.getLogical(1));
    EXPECT_EQ(t.getDate(2), "20260115");
    EXPECT_EQ(t.fieldBytes(3), " 12");
    EXPECT_EQ(t.fieldBytes(4), "   -3.50");
    EXPECT_EQ(t.getMemo(5), memo);
    ASSERT_TRUE(t.go(2));
    EXPECT_EQ(t.getDate(2), "");
    EXPECT_EQ(t.getMemo(5), big);
}

TEST_F(TableTest, BadValuesAreRefusedAndLeaveTheRecordAlone) {
    Table::create(dbf, kFields);
    Table t;
    t.open(dbf);
    t.appendBlank();
    struct Case {
        const char* field;
        const char* value;
    } cases[] = {{"SENT", "maybe"}, {"DAY", "2026-01-15"}, {"DAY", "20261345"},
                 {"PAGES", "1000"}, {"PAGES", "12abc"},    {"PRICE", "nan"}};
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.field) + "=" + c.value);
        EXPECT_THROW(t.setField(t.fieldIndex(c.field), c.value), TableError);
    }
    t.post();
    EXPECT_EQ(t.fieldBytes(t.fieldIndex("PAGES")), "   ");
    EXPECT_THROW(t.setField(0, "x"), TableError);  // not editing any more
}

TEST_F(TableTest, SecondOpenIsRefusedInThisProcessAndInAnother) {
    Table::create(dbf, kFields);
    Table t;
    t.open(dbf);
    Table second;
    try {
        second.open(dbf);
        FAIL() << "second open succeeded";
    } catch (const TableError& e) {
        EXPECT_EQ(e.kind(), TableError::Kind::InUse);
    }
    std::string out;
    int rc = pellora::test::run(std::string(PELLORA_PLXFAX) + " table dump " + dbf.string(), &out);
    EXPECT_NE(rc, 0);
    EXPECT_NE(out.find("in use"), std::string::npos) << out;
    t.close();
    EXPECT_NO_THROW(second.open(dbf));
}

TEST_F(TableTest, NavigationHonoursQueryDeletedSwitchAndRecordNumbers) {
    Table::create(dbf, kFields);
    TableEnvironment env;
    Table t(env);
    t.open(dbf);
    EXPECT_FALSE(t.first());
    EXPECT_EQ(t.recNo(), 1u);  // empty: record count + 1
    for (const char* n : {"a", "b", "c", "d", "e"}) add(t, n);
    ASSERT_TRUE(t.go(2));
    t.deleteRecord();
    EXPECT_EQ(names(t), (std::vector<std::string>{"a", "c", "d", "e"}));
    EXPECT_EQ(t.recNo(), 6u);  // past the end
    env.skipDeleted = false;
    EXPECT_EQ(names(t), (std::vector<std::string>{"a", "b", "c", "d", "e"}));
    env.skipDeleted = true;

    t.setQuery("NAME # 'd'");
    EXPECT_EQ(t.queryCount(), 3u);
    ASSERT_TRUE(t.last());
    EXPECT_EQ(t.getString(0), "e");
    ASSERT_TRUE(t.previous());
    EXPECT_EQ(t.getString(0), "c");
    ASSERT_TRUE(t.previous());
    EXPECT_EQ(t.getString(0), "a");
    EXPECT_FALSE(t.previous());
    EXPECT_EQ(t.getString(0), "a");  // stays on the top record
    EXPECT_EQ(t.query(), "NAME # 'd'");

    EXPECT_THROW(t.setQuery("NAME = 'unbalanced"), TableError);
    EXPECT_THROW(t.setQuery("NAME"), TableError);  // not logical
    EXPECT_EQ(t.queryCount(), 3u);                 // the old query still holds
    t.setQuery("");
    EXPECT_EQ(t.queryCount(), 4u);
    EXPECT_FALSE(t.go(0));
    EXPECT_FALSE(t.go(6));

    // Moving away from a record being typed posts it: scrolling never drops an edit.
    t.appendBlank();
    t.setField(0, "typed");
    ASSERT_TRUE(t.first());
    t.edit();
    t.setField(0, "A");
    ASSERT_TRUE(t.last());
    EXPECT_EQ(t.getString(0), "typed");
    ASSERT_TRUE(t.go(1));
    EXPECT_EQ(t.getString(0), "A");
    ASSERT_TRUE(t.go(2));  // a deleted record can still be reached by number
    EXPECT_TRUE(t.deleted());
    EXPECT_TRUE(t.evalLogical("deleted()"));
}

TEST_F(TableTest, TagsFollowEveryChangeAndHonourTheirForCondition) {
    Table::create(dbf, kFields);
    Table t;
    t.open(dbf);
    t.createTag("BYDAY", "DTOS(DAY)+NAME", true, ".not. deleted()");
    t.createTag("NAME", "UPPER(NAME)", false, "");
    EXPECT_EQ(t.order(), 2);  // the new tag controls
    std::mt19937 rng(7);
    std::vector<std::string> days = {"", "19991231", "20000101", "20260115", "20261211"};
    for (int i = 0; i < 300; ++i)
        add(t, "n" + std::to_string(rng() % 50), days[rng() % days.size()]);
    for (int i = 0; i < 100; ++i) {
        ASSERT_TRUE(t.go(static_cast<std::uint32_t>(1 + rng() % t.recCount())));
        switch (rng() % 3) {
            case 0: t.deleteRecord(); break;
            case 1: t.recallRecord(); break;
            case 2:
                t.edit();
                t.setField(0, "e" + std::to_string(rng() % 50));
                t.setField(2, days[rng() % days.size()]);
                t.post();
                break;
        }
    }
    pellora::test::expectIndexMatchesRecords(t);
    t.close();
    t.open(dbf);  // and the file written at close reads back the same
    pellora::test::expectIndexMatchesRecords(t);
    t.pack();
    pellora::test::expectIndexMatchesRecords(t);
}

TEST_F(TableTest, DescendingTagPutsNewestFirstEqualKeysInRecordOrderBlanksLast) {
    Table::create(dbf, kFields);
    Table t;
    t.open(dbf);
    add(t, "old", "19990115");
    add(t, "unsent1", "");
    add(t, "same-a", "20260101");
    add(t, "new", "20261211");
    add(t, "same-b", "20260101");
    add(t, "unsent2", "");
    t.createTag("DAY", "DTOS(DAY)", true, ".not. deleted()");
    EXPECT_EQ(names(t), (std::vector<std::string>{"new", "same-a", "same-b", "old", "unsent1",
                                                  "unsent2"}));
    // A date key ("datesent" style) sorts the same way, empty dates last.
    t.createTag("DAYD", "DAY", true, ".not. deleted()");
    EXPECT_EQ(names(t), (std::vector<std::string>{"new", "same-a", "same-b", "old", "unsent1",
                                                  "unsent2"}));
    t.setOrder(t.tagNumber("day"));
    ASSERT_TRUE(t.go(5));
    ASSERT_TRUE(t.next());  // from a record reached by number, on in index order
    EXPECT_EQ(t.getString(0), "old");
    EXPECT_EQ(t.tagNumber("nosuch"), 0);
    EXPECT_THROW(t.setOrder(3), TableError);
    EXPECT_THROW(t.createTag("BAD", "NAME +", false, ""), TableError);
}

TEST_F(TableTest, PackDropsDeletedRecordsAndCompactsMemos) {
    Table::create(dbf, kFields);
    {
        Table t;
        t.open(dbf);
        for (int i = 1; i <= 30; ++i)
            add(t, "r" + std::to_string(i), "", std::string(500, static_cast<char>('a' + i % 26)));
        for (int i = 1; i <= 30; i += 3) {
            t.go(static_cast<std::uint32_t>(i));
            t.deleteRecord();
        }
        // Replacing a memo leaves the old blocks behind until the pack.
        t.go(2);
        t.edit();
        t.setMemo(5, "replaced");
        t.post();
    }
    auto fptBefore = std::filesystem::file_size(dir / "T.FPT");
    Table t;
    t.open(dbf);
    t.pack();
    EXPECT_EQ(t.recCount(), 20u);
    EXPECT_LT(std::filesystem::file_size(dir / "T.FPT"), fptBefore);
    ASSERT_TRUE(t.go(1));
    EXPECT_EQ(t.getString(0), "r2");
    EXPECT_EQ(t.getMemo(5), "replaced");
    ASSERT_TRUE(t.go(2));
    EXPECT_EQ(t.getString(0), "r3");
    EXPECT_EQ(t.getMemo(5), std::string(500, 'd'));
    t.close();
    EXPECT_EQ(std::filesystem::file_size(dbf), 32u + 32 * 6 + 1 + 20u * 51 + 1);
}

TEST_F(TableTest, InterruptedPackIsFinishedOrUndoneOnOpen) {
    Table::create(dbf, kFields);
    {
        Table t;
        t.open(dbf);
        for (const char* n : {"a", "b", "c"}) add(t, n, "", std::string("memo of ") + n);
        t.go(2);
        t.deleteRecord();
    }
    std::string oldDbf = readFile(dbf), oldFpt = readFile(dir / "T.FPT");
    {
        Table t;
        t.open(dbf);
        t.pack();
    }
    std::string newDbf = readFile(dbf), newFpt = readFile(dir / "T.FPT");

    // Killed before the commit marker: the old table stays, the new files are thrown away.
    writeFile(dbf, oldDbf);
    writeFile(dir / "T.FPT", oldFpt);
    writeFile(dir / "T.DBF.pk-dbf", newDbf);
    writeFile(dir / "T.DBF.pk-fpt", newFpt.substr(0, 100));
    {
        Table t;
        t.open(dbf);
        EXPECT_EQ(t.recCount(), 3u);
        EXPECT_FALSE(std::filesystem::exists(dir / "T.DBF.pk-dbf"));
        EXPECT_FALSE(std::filesystem::exists(dir / "T.DBF.pk-fpt"));
    }
    // Killed after the marker with only the memo file renamed: the open completes the pack.
    writeFile(dir / "T.FPT", newFpt);
    writeFile(dir / "T.DBF.pk-dbf", newDbf);
    writeFile(dir / "T.DBF.pack", "pack");
    Table t;
    t.open(dbf);
    EXPECT_EQ(t.recCount(), 2u);
    ASSERT_TRUE(t.go(2));
    EXPECT_EQ(t.getString(0), "c");
    EXPECT_EQ(t.getMemo(5), "memo of c");
    EXPECT_FALSE(std::filesystem::exists(dir / "T.DBF.pack"));
}

TEST_F(TableTest, StaleOrDamagedIndexFiles) {
    Table::create(dbf, kFields);
    {
        Table t;
        t.open(dbf);
        t.createTag("NAME", "NAME", false, ".not. deleted()");
        add(t, "b");
    }
    std::string stale = readFile(dir / "T.CDX");
    {
        Table t;
        t.open(dbf);
        add(t, "a");
        t.go(1);
        t.deleteRecord();
    }
    std::string fresh = readFile(dir / "T.CDX");
    // As after a crash: the index file predates the last changes. The open mends it.
    writeFile(dir / "T.CDX", stale);
    {
        Table t;
        t.open(dbf);
        EXPECT_EQ(readFile(dir / "T.CDX"), fresh);
        t.setOrder(1);
        EXPECT_EQ(names(t), std::vector<std::string>{"a"});
    }
    // Garbage is reported as a bad index, so the caller can drop and rebuild it.
    for (std::string junk : {std::string(), std::string(700, '\x01'), fresh.substr(0, 1500)}) {
        writeFile(dir / "T.CDX", junk);
        Table t;
        try {
            t.open(dbf);
            FAIL() << "opened with a damaged index of " << junk.size() << " bytes";
        } catch (const TableError& e) {
            EXPECT_EQ(e.kind(), TableError::Kind::BadIndex) << e.what();
        }
    }
}

TEST_F(TableTest, DamagedTableFilesGiveClearErrors) {
    Table::create(dbf, kFields);
    {
        Table t;
        t.open(dbf);
        for (const char* n : {"a", "b", "c"}) add(t, n);
    }
    std::string good = readFile(dbf);
    struct Case {
        const char* what;
        std::string bytes;
        bool opens;
        std::uint32_t records;
    } cases[] = {
        {"empty file", "", false, 0},
        {"not a table", std::string(100, 'x'), false, 0},
        {"count beyond the end", good.substr(0, good.size() - 60), true, 1},
        {"header length past the end", good.substr(0, 40), false, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        writeFile(dbf, c.bytes);
        Table t;
        if (c.opens) {
            ASSERT_NO_THROW(t.open(dbf));
            EXPECT_EQ(t.recCount(), c.records);
        } else {
            EXPECT_THROW(t.open(dbf), TableError);
        }
    }
}

TEST_F(TableTest, MemoThroughFilesPostsThePendingRecordFirst) {
    Table::create(dbf, kFields);
    Table t;
    t.open(dbf);
    std::string rtf = std::string("{\\rtf1\\ansi \xE9t\xE9\r\n}") + std::string(1, '\0');
    writeFile(dir / "in.rtf", rtf);
    t.appendBlank();
    t.setField(0, "pending");
    t.fileToMemo(5, dir / "in.rtf");
    EXPECT_TRUE(t.editing());  // editing resumes afterwards
    t.setField(3, "7");
    t.post();
    t.close();
    t.open(dbf);
    ASSERT_TRUE(t.go(1));
    EXPECT_EQ(t.getString(0), "pending");
    EXPECT_EQ(t.getNumber(3), 7);
    ASSERT_TRUE(t.memoToFile(5, dir / "out.rtf"));
    EXPECT_EQ(readFile(dir / "out.rtf"), rtf);
    EXPECT_FALSE(t.memoToFile(5, dir / "no" / "such" / "folder.rtf"));
    EXPECT_THROW(t.fileToMemo(5, dir / "missing.rtf"), TableError);
}

TEST_F(TableTest, CloseIndexesLetsTheIndexFileBeMadeAnew) {
    Table::create(dbf, kFields);
    Table t;
    t.open(dbf);
    add(t, "b");
    add(t, "a");
    t.createTag("NAME", "NAME", false, "");
    t.closeIndexes();
    EXPECT_EQ(t.order(), 0);
    EXPECT_TRUE(t.tags().empty());
    std::filesystem::remove(t.indexPath());
    t.createTag("NAME", "NAME", true, "");
    EXPECT_EQ(names(t), (std::vector<std::string>{"b", "a"}));
    t.close();
    EXPECT_TRUE(std::filesystem::exists(dir / "T.CDX"));
}

}  // namespace
