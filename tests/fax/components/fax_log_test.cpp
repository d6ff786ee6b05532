// The fax history: the exact lines of every log code, and the file they go to.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "fax/components/event_queue_notifier.h"
#include "fax/components/fax_log.h"
#include "fax/components/send_fax.h"
#include "support/temp_dir.h"

namespace pellora::fax {
namespace {

using pellora::test::TempDir;
using pellora::test::readFile;
using Lines = std::vector<std::string>;

std::tm moment() {
    std::tm t{};
    t.tm_year = 126;
    t.tm_mon = 11;
    t.tm_mday = 11;
    t.tm_hour = 14;
    t.tm_min = 5;
    t.tm_sec = 9;
    return t;
}

FaxRunInfo sendRun() {
    FaxRunInfo i;
    i.sending = true;
    i.faxFileList = {"/home/a/letter.PLF", "/home/a/annex.PLF"};
    i.phoneNumber = "5550100";
    i.remoteID = "    +1 555 0100     ";
    i.hangupCode = 0;
    i.errorCode = -8064;
    return i;
}

FaxRunInfo receiveRun() {
    FaxRunInfo i;
    i.sending = false;
    i.faxFile = "/var/spool/FAX0003.PLF";
    i.remoteID = "+49 30 1234 ";
    i.errorCode = -8069;
    return i;
}

TEST(FaxHistory, LinesOfEveryLogCode) {
    const std::string at = "12/11/26 14:05:09";
    FaxRunInfo failedWithHangup = sendRun();
    failedWithHangup.hangupCode = 50;
    const struct {
        const char* name;
        TFaxLogCode code;
        FaxRunInfo info;
        Lines lines;
    } cases[] = {
        {"transmit start", lcTransmitStart, sendRun(),
         {"Transmit /home/a/letter.PLF to 5550100 started at " + at,
          "Transmit /home/a/annex.PLF to 5550100 started at " + at}},
        {"transmit ok", lcTransmitOk, sendRun(),
         {"Transmit to     +1 555 0100      finished OK at " + at + " 0", ""}},
        {"transmit fail", lcTransmitFail, failedWithHangup,
         {"Transmit failed at " + at, "  (Called fax number was busy) 50", ""}},
        {"receive start", lcReceiveStart, receiveRun(),
         {"Receive /var/spool/FAX0003.PLF from +49 30 1234  started at " + at}},
        {"receive ok", lcReceiveOk, receiveRun(), {"Receive finished OK at " + at, ""}},
        {"receive skip", lcReceiveSkip, receiveRun(), {"Receive skipped at " + at, ""}},
        {"receive fail", lcReceiveFail, receiveRun(),
         {"Receive failed at " + at, "  (Fax failed in mid-session)", ""}},
        {"none", lcNone, sendRun(), {}},
        {"receive code on a send run", lcReceiveOk, sendRun(), {}},
        {"send code on a receive run", lcTransmitOk, receiveRun(), {}},
    };
    for (const auto& c : cases) EXPECT_EQ(faxHistoryLines(c.code, c.info, moment()), c.lines) << c.name;
}

TEST(FaxHistory, OutsideTextCannotForgeLines) {
    FaxRunInfo i = receiveRun();
    i.remoteID = "x\r\nReceive finished";
    i.faxFile = "in\nbox.PLF";
    const Lines lines = faxHistoryLines(lcReceiveStart, i, moment());
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0], "Receive in box.PLF from x??Receive finished started at 12/11/26 14:05:09");
}

TEST(FaxHistory, AppendsWithCrLfAndCreatesTheFile) {
    TempDir dir;
    EventQueueNotifier q;
    TSendFax f(q);
    f.FaxFileList = {"a.PLF"};
    f.PhoneNumber = "123";
    TFaxLog log;
    log.FaxHistoryName = (dir / "FAXHIST.HIS").string();
    log.Now = moment;
    log.AddLogEntry(lcTransmitStart);  // not linked: nothing
    EXPECT_FALSE(std::filesystem::exists(dir / "FAXHIST.HIS"));
    log.setFax(&f);
    log.AddLogEntry(lcTransmitStart);
    log.AddLogEntry(lcTransmitFail);
    const std::string expected =
        "Transmit a.PLF to 123 started at 12/11/26 14:05:09\r\n"
        "Transmit failed at 12/11/26 14:05:09\r\n"
        "  (OK) 0\r\n"
        "\r\n";
    EXPECT_EQ(readFile(dir / "FAXHIST.HIS"), expected);
    const std::string name = log.FaxHistoryName;
    log.FaxHistoryName.clear();
    log.AddLogEntry(lcTransmitStart);  // no name: nothing
    EXPECT_EQ(readFile(name), expected);
}

}  // namespace
}  // namespace pellora::fax
