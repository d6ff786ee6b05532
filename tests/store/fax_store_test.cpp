#include "store/fax_store.h"

#include <gtest/gtest.h>

#include "support/temp_dir.h"
#include "table_checks.h"

using namespace pellora::store;
using pellora::test::TempDir;

namespace {

void addOutgoing(Table& t, const std::string& recipient, const std::string& date,
                 const std::string& time, bool sent) {
    t.appendBlank();
    t.setField(t.fieldIndex("RECIPIENT"), recipient);
    t.setField(t.fieldIndex("DATESENT"), date);
    t.setField(t.fieldIndex("TIMESENT"), time);
    t.setField(t.fieldIndex("SENT"), sent ? "T" : "F");
    t.post();
}

std::vector<std::string> column(Table& t, const char* field) {
    std::vector<std::string> out;
    int f = t.fieldIndex(field);
    for (bool ok = t.first(); ok; ok = t.next()) out.push_back(t.getString(f));
    return out;
}

TEST(FaxStore, FirstStartCreatesEveryTableWithItsOneTag) {
    TempDir dir;
    FaxStore store(dir.path());
    Table cover, phone;
    ASSERT_TRUE(store.OpenFaxDBF());
    ASSERT_TRUE(store.OpenRecFaxDBF());
    ASSERT_TRUE(store.OpenCoverDBF(cover));
    ASSERT_TRUE(store.OpenPhoneDBF(phone));
    struct Expect {
        Table* table;
        const char* file;
        const char* tag;
        const char* key;
        bool descending;
        bool memo;
    } expects[] = {
        {&store.faxTable(), "PLX", "DATESENT", "DTOS(DATESENT)+TIMESENT", true, true},
        {&store.recTable(), "PLXREC", "DATETIME", "DTOS(DATEREC)+TIMEREC", true, false},
        {&cover, "PLXCOV", "DESCRIPT", "DESCRIPT", false, true},
        {&phone, "PLXPB", "NAME", "UPPER(NAME)", false, false},
    };
    for (const auto& e : expects) {
        SCOPED_TRACE(e.file);
        EXPECT_TRUE(std::filesystem::exists(dir / (std::string(e.file) + ".DBF")));
        EXPECT_TRUE(std::filesystem::exists(dir / (std::string(e.file) + ".CDX")));
        EXPECT_EQ(std::filesystem::exists(dir / (std::string(e.file) + ".FPT")), e.memo);
        EXPECT_EQ(e.table->version(), e.memo ? 0xF5 : 0x03);
        auto tags = e.table->tags();
        ASSERT_EQ(tags.size(), 1u);
        EXPECT_EQ(tags[0].name, e.tag);
        EXPECT_EQ(tags[0].keyExpression, e.key);
        EXPECT_EQ(tags[0].forExpression, ".not. deleted()");
        EXPECT_EQ(tags[0].descending, e.descending);
        EXPECT_EQ(e.table->query(), ".not. deleted()");
    }
    // Field order and widths of the outgoing table.
    std::string layout;
    for (const auto& f : store.faxTable().fields())
        layout += f.name + ":" + f.type + std::to_string(f.width) + " ";
    EXPECT_EQ(layout,
              "SUBJECT:C50 SENT:L1 DATESENT:D8 TIMESENT:C5 RECIPIENT:C35 PHONE:C25 PAGES:N2 "
              "LASTRESULT:C100 RTFCOVER:M10 RTFDOC:M10 ");
}

TEST(FaxStore, ListOrderNewestFirstUnsentLastAndCalculatedFields) {
    TempDir dir;
    FaxStore store(dir.path());
    ASSERT_TRUE(store.OpenFaxDBF());
    Table& t = store.faxTable();
    addOutgoing(t, "unsent", "", "", false);
    addOutgoing(t, "morning", "20261211", "09:15", true);
    addOutgoing(t, "old", "19991231", "23:59", true);
    addOutgoing(t, "evening", "20261211", "18:40", true);
    t.setOrder(1);
    EXPECT_EQ(column(t, "RECIPIENT"),
              (std::vector<std::string>{"evening", "morning", "old", "unsent"}));
    ASSERT_TRUE(t.go(1));
    EXPECT_EQ(sentYesNo(t), "No ");
    EXPECT_EQ(isDeletedText(t), "No ");
    ASSERT_TRUE(t.go(2));
    EXPECT_EQ(sentYesNo(t), "Yes");

    // A deleted fax leaves the list at once but stays in the file until a pack.
    t.deleteRecord();
    EXPECT_EQ(isDeletedText(t), "Yes");
    EXPECT_EQ(column(t, "RECIPIENT"), (std::vector<std::string>{"evening", "old", "unsent"}));
    EXPECT_EQ(t.queryCount(), 3u);
    EXPECT_EQ(t.recCount(), 4u);
    pellora::test::expectIndexMatchesRecords(t);
}

TEST(FaxStore, MissingOrDamagedIndexIsRebuiltWithTheSameOrder) {
    TempDir dir;
    std::vector<std::string> before;
    {
        FaxStore store(dir.path());
        Table phone;
        ASSERT_TRUE(store.OpenPhoneDBF(phone));
        for (const char* n : {"zeta", "Alpha", "mike", "ALPHONSE"}) {
            phone.appendBlank();
            phone.setField(0, n);
            phone.post();
        }
        before = column(phone, "NAME");
        EXPECT_EQ(before, (std::vector<std::string>{"Alpha", "ALPHONSE", "mike", "zeta"}));
    }
    for (std::string damage : {"delete", "garbage"}) {
        SCOPED_TRACE(damage);
        if (damage == "delete") std::filesystem::remove(dir / "PLXPB.CDX");
        else pellora::test::writeFile(dir / "PLXPB.CDX", std::string(2048, '\x07'));
        FaxStore store(dir.path());
        Table phone;
        ASSERT_TRUE(store.OpenPhoneDBF(phone));
        EXPECT_EQ(column(phone, "NAME"), before);
        pellora::test::expectIndexMatchesRecords(phone);
    }
}

TEST(FaxStore, CloseAndReopenKeepsTheCurrentRecord) {
    TempDir dir;
    FaxStore store(dir.path());
    int pumped = 0;
    store.setMessagePump([&] { ++pumped; });
    ASSERT_TRUE(store.OpenRecFaxDBF());
    Table& t = store.recTable();
    for (const char* d : {"20260101", "20260301", "20260201"}) {
        t.appendBlank();
        t.setField(t.fieldIndex("DATEREC"), d);
        t.setField(t.fieldIndex("FAXFILE"), std::string("FAX") + d + ".PLF");
        t.post();
    }
    t.setOrder(1);
    ASSERT_TRUE(t.go(3));
    store.RecTableCloseAndOpen();
    EXPECT_EQ(pumped, 1);
    EXPECT_EQ(t.recNo(), 3u);
    EXPECT_EQ(t.order(), 1);
    EXPECT_EQ(t.query(), ".not. deleted()");
    ASSERT_TRUE(t.next());
    EXPECT_EQ(t.getDate(t.fieldIndex("DATEREC")), "20260101");
}

TEST(FaxStore, OpenFailsCleanlyWhenTheTableCannotBeMade) {
    TempDir dir;
    pellora::test::writeFile(dir / "notafolder", "x");
    FaxStore store(dir / "notafolder");
    EXPECT_FALSE(store.OpenFaxDBF());
    EXPECT_FALSE(store.OpenRecFaxDBF());
    EXPECT_FALSE(store.faxTable().isOpen());
}

TEST(FaxStore, PagesFieldHoldsTwoDigits) {
    EXPECT_EQ(pagesFieldValue(0), "0");
    EXPECT_EQ(pagesFieldValue(99), "99");
    EXPECT_EQ(pagesFieldValue(150), "99");
    TempDir dir;
    FaxStore store(dir.path());
    ASSERT_TRUE(store.OpenFaxDBF());
    Table& t = store.faxTable();
    t.appendBlank();
    EXPECT_THROW(t.setField(t.fieldIndex("PAGES"), "100"), TableError);
    t.setField(t.fieldIndex("PAGES"), pagesFieldValue(100));
    t.post();
    EXPECT_EQ(t.getNumber(t.fieldIndex("PAGES")), 99);
}

}  // namespace
