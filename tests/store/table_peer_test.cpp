// Our table files read by independent xBase readers (Perl XBase, python3-dbf, dbfread, pgdbf),
// and a table written by python3-dbf read by us.
#include <gtest/gtest.h>

#include <ctime>
#include <sstream>

#include "store/fax_store.h"
#include "support/temp_dir.h"

using namespace pellora::store;
using pellora::test::run;
using pellora::test::TempDir;

namespace {

const std::string kPeerDir = std::string(PELLORA_TEST_SOURCE_DIR) + "/peer/";

std::string hex(const std::string& s) {
    static const char* d = "0123456789abcdef";
    std::string out;
    for (unsigned char c : s) {
        out += d[c >> 4];
        out += d[c & 15];
    }
    return out;
}

std::vector<std::string> linesStartingWith(const std::string& text, const std::string& prefix) {
    std::vector<std::string> out;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line))
        if (line.rfind(prefix, 0) == 0) out.push_back(line.substr(prefix.size()));
    return out;
}

// The end of a long output, enough to see what went wrong.
std::string tail(const std::string& s) { return s.size() > 2000 ? s.substr(s.size() - 2000) : s; }

struct Fax {
    const char* recipient;
    const char* date;
    const char* time;
    std::string cover;
    bool deleted;
};

class TablePeer : public ::testing::Test {
protected:
    TempDir dir;
    std::vector<Fax> faxes = {
        {"Unsent Ltd", "", "", "{\\rtf1 cover}", false},
        {"J SMITH", "20261211", "09:15", std::string("{\\rtf1\r\n\xe9\x1a\0end}", 16), false},
        {"Gone", "20260101", "10:00", "bye", true},
        {"Smithers", "19991231", "23:59", std::string(5000, 'm'), false},
        {"Same Day", "20261211", "18:40", "", false},
    };

    void SetUp() override {
        FaxStore store(dir.path());
        ASSERT_TRUE(store.OpenFaxDBF());
        Table& t = store.faxTable();
        for (const auto& f : faxes) {
            t.appendBlank();
            t.setField(t.fieldIndex("RECIPIENT"), f.recipient);
            t.setField(t.fieldIndex("DATESENT"), f.date);
            t.setField(t.fieldIndex("TIMESENT"), f.time);
            t.setField(t.fieldIndex("SENT"), *f.date ? "T" : "F");
            t.setField(t.fieldIndex("PAGES"), "3");
            t.setMemo(t.fieldIndex("RTFCOVER"), f.cover);
            t.post();
            if (f.deleted) t.deleteRecord();
        }
        Table phone;
        ASSERT_TRUE(store.OpenPhoneDBF(phone));
        for (const char* n : {"zeta", "Alpha", "mike", "ALPHONSE", "Bob"}) {
            phone.appendBlank();
            phone.setField(0, n);
            phone.setField(1, "555-0100");
            phone.post();
        }
    }
};

TEST_F(TablePeer, PerlXBaseReadsRecordsTagsAndKeysInIndexOrder) {
    std::string out;
    ASSERT_EQ(run("perl " + kPeerDir + "xbase_dump.pl " + (dir / "PLX.DBF").string() + " " +
                      (dir / "PLX.CDX").string() + " DATESENT",
                  &out),
              0)
        << tail(out);
    auto recs = linesStartingWith(out, "rec ");
    ASSERT_EQ(recs.size(), faxes.size()) << tail(out);
    for (std::size_t i = 0; i < faxes.size(); ++i) {
        SCOPED_TRACE(faxes[i].recipient);
        EXPECT_EQ(recs[i].substr(0, recs[i].find('|')),
                  std::to_string(i + 1) + (faxes[i].deleted ? " *" : "  "));
        EXPECT_NE(recs[i].find("|" + std::string(faxes[i].recipient) + "|"), std::string::npos);
        EXPECT_NE(recs[i].find("|" + hex(faxes[i].cover) + "|"), std::string::npos) << recs[i];
    }
    EXPECT_NE(out.find("tag DATESENT key=DTOS(DATESENT)+TIMESENT for=.not. deleted() order=1"),
              std::string::npos)
        << tail(out);
    // Newest first, equal keys in record order, the unsent fax (blank key) last, the deleted
    // fax not in the tag.
    EXPECT_EQ(linesStartingWith(out, "key "),
              (std::vector<std::string>{"5|2026121118:40", "2|2026121109:15",
                                        "4|1999123123:59", "1|"}));

    ASSERT_EQ(run("perl " + kPeerDir + "xbase_dump.pl " + (dir / "PLXPB.DBF").string() + " " +
                      (dir / "PLXPB.CDX").string() + " NAME",
                  &out),
              0)
        << tail(out);
    EXPECT_NE(out.find("tag NAME key=UPPER(NAME) for=.not. deleted() order=0"), std::string::npos);
    EXPECT_EQ(linesStartingWith(out, "key "),
              (std::vector<std::string>{"2|ALPHA", "4|ALPHONSE", "5|BOB", "3|MIKE", "1|ZETA"}));
}

TEST_F(TablePeer, PerlXBaseReadsADateKeyTag) {
    {
        Table t;
        t.open(dir / "PLX.DBF");
        t.closeIndexes();
        std::filesystem::remove(t.indexPath());
        t.createTag("DATESENT", "datesent", true, ".not. deleted()");
    }
    std::string out;
    ASSERT_EQ(run("perl " + kPeerDir + "xbase_dump.pl " + (dir / "PLX.DBF").string() + " " +
                      (dir / "PLX.CDX").string() + " DATESENT N",
                  &out),
              0)
        << tail(out);
    // Read as numbers, date keys are Julian day numbers (2461386 is 11 December 2026).
    EXPECT_EQ(linesStartingWith(out, "key "),
              (std::vector<std::string>{"2|2461386", "5|2461386", "4|2451544", "1|0"}));
}

TEST_F(TablePeer, PythonReadersSeeRecordsDeletedFlagsAndMemosByteForByte) {
    std::string out;
    ASSERT_EQ(run("/usr/bin/python3 " + kPeerDir + "dbf_read.py " + (dir / "PLX.DBF").string(),
                  &out),
              0)
        << tail(out);
    // The header's last-update date is FoxPro's YYMMDD: python3-dbf, which knows FoxPro tables,
    // reads today; dbfread, which follows dBase, puts the same YYMMDD in another century.
    char today[16];
    std::time_t now = std::time(nullptr);
    std::strftime(today, sizeof today, "%Y%m%d", std::localtime(&now));
    EXPECT_EQ(linesStartingWith(out, "updated dbf "), std::vector<std::string>{today});
    auto viaDbfreadDate = linesStartingWith(out, "updated dbfread ");
    ASSERT_EQ(viaDbfreadDate.size(), 1u);
    EXPECT_EQ(viaDbfreadDate[0].substr(2), std::string(today).substr(2));
    auto viaDbf = linesStartingWith(out, "dbf ");
    ASSERT_EQ(viaDbf.size(), faxes.size()) << tail(out);
    std::vector<std::string> live, deleted;
    for (std::size_t i = 0; i < faxes.size(); ++i) {
        const Fax& f = faxes[i];
        SCOPED_TRACE(f.recipient);
        EXPECT_EQ(viaDbf[i].substr(0, viaDbf[i].find('|')),
                  std::to_string(i + 1) + (f.deleted ? " *" : "  "));
        EXPECT_NE(viaDbf[i].find("|" + hex(f.cover) + "|"), std::string::npos) << tail(viaDbf[i]);
        EXPECT_NE(viaDbf[i].find(std::string("|") + (*f.date ? "T" : "F") + "|" + f.date + "|"),
                  std::string::npos)
            << tail(viaDbf[i]);
        std::string row = std::string("|") + (*f.date ? "T" : "F") + "|" + f.date + "|" + f.time +
                          "|" + f.recipient + "||3||" + hex(f.cover) + "|";
        (f.deleted ? deleted : live).push_back(row);
    }
    auto viaDbfread = linesStartingWith(out, "dbfread live|");
    auto gone = linesStartingWith(out, "dbfread deleted|");
    ASSERT_EQ(viaDbfread.size(), live.size());
    ASSERT_EQ(gone.size(), deleted.size());
    for (std::size_t i = 0; i < live.size(); ++i) EXPECT_EQ(viaDbfread[i], live[i]);
    EXPECT_EQ(gone[0], deleted[0]);
}

TEST_F(TablePeer, PgdbfAcceptsTheTableAndItsMemos) {
    std::string out;
    ASSERT_EQ(run("pgdbf -P -m " + (dir / "PLX.FPT").string() + " " + (dir / "PLX.DBF").string(),
                  &out),
              0)
        << tail(out);
    EXPECT_NE(out.find("J SMITH"), std::string::npos) << tail(out);
    EXPECT_NE(out.find(std::string(5000, 'm')), std::string::npos);
    ASSERT_EQ(run("pgdbf -P " + (dir / "PLXPB.DBF").string(), &out), 0) << tail(out);
    EXPECT_NE(out.find("ALPHONSE"), std::string::npos) << tail(out);
}

TEST(TablePeerForeign, TableWrittenByPythonDbfOpensInOurs) {
    TempDir dir;
    std::string out;
    ASSERT_EQ(run("/usr/bin/python3 " + kPeerDir + "dbf_write.py " + (dir / "FOREIGN.DBF").string(),
                  &out),
              0)
        << tail(out);
    TableEnvironment env;
    env.skipDeleted = false;
    Table t(env);
    ASSERT_NO_THROW(t.open(dir / "FOREIGN.DBF"));
    ASSERT_EQ(t.recCount(), 3u);
    ASSERT_TRUE(t.go(1));
    EXPECT_EQ(t.getString(0), "Alpha");
    EXPECT_TRUE(t.getLogical(1));
    EXPECT_EQ(t.getDate(2), "19991231");
    EXPECT_EQ(t.getNumber(3), 7);
    EXPECT_EQ(t.getMemo(4), "first memo\r\nline two");
    ASSERT_TRUE(t.go(2));
    EXPECT_TRUE(t.deleted());
    EXPECT_EQ(t.getString(0), "B\xe9ta");
    EXPECT_EQ(t.getMemo(4), "");
    ASSERT_TRUE(t.go(3));
    EXPECT_EQ(t.getMemo(4), std::string(3000, 'x'));
    EXPECT_EQ(t.getNumber(3), 123);
    // And our changes to it read back in python3-dbf.
    t.appendBlank();
    t.setField(0, "Delta");
    t.setMemo(4, "added by us");
    t.post();
    t.close();
    ASSERT_EQ(run("/usr/bin/python3 " + kPeerDir + "dbf_read.py " + (dir / "FOREIGN.DBF").string(),
                  &out),
              0)
        << tail(out);
    EXPECT_NE(out.find("dbf 4  |Delta|"), std::string::npos) << tail(out);
    EXPECT_NE(out.find(hex("added by us")), std::string::npos) << tail(out);
}

}  // namespace
