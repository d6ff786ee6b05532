// The status window's values, with its two clocks driven by explicit times.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "fax/components/fax_status_model.h"

namespace pellora::fax {
namespace {

FaxRunInfo sending() {
    FaxRunInfo i;
    i.sending = true;
    i.statusCode = scSendingPage;
    i.phoneNumber = "5550100";
    i.faxFile = "/home/user/faxes/quarterly-report-2026.PLF";  // 25 characters before ".PLF"
    i.faxFileList = {i.faxFile};
    i.coverFile = "cover.txt";
    i.remoteID = "+1 555 0100";
    i.connectBPS = 9600;
    i.currentPage = 2;
    i.totalPages = 3;
    i.pageLength = 2000;
    i.bytesTransferred = 1234;
    i.dialAttempt = 2;
    return i;
}

TEST(FaxStatusModel, SendFields) {
    FaxStatusModel m;
    const FaxStatusFields f = m.update(sending(), 0);
    EXPECT_EQ(f.phoneNumber, "5550100");
    EXPECT_EQ(f.faxFileName, "quarterly-report-202...");
    EXPECT_EQ(f.coverFileName, "cover.txt");
    EXPECT_EQ(f.totalPages, "3");
    EXPECT_EQ(f.dialAttempt, "2");
    EXPECT_EQ(f.remoteID, "+1 555 0100");
    EXPECT_EQ(f.connectBPS, "9600");
    EXPECT_EQ(f.resolution, "standard");
    EXPECT_EQ(f.width, "1728");
    EXPECT_EQ(f.errorControl, "off");
    EXPECT_EQ(f.currentPage, "2");
    EXPECT_EQ(f.pageLength, "2000");
    EXPECT_EQ(f.bytesTransferred, "1234");
    EXPECT_EQ(f.elapsedTime, "00:00");
    EXPECT_EQ(f.status, "Sending page data");
    EXPECT_TRUE(f.meterVisible);
    EXPECT_EQ(f.meterPosition, 62);  // 61.7 rounded
    EXPECT_EQ(f.meterCaption, "Page progress:");
}

TEST(FaxStatusModel, NegotiatedValuesAndCoverPage) {
    FaxRunInfo i = sending();
    i.connectHighRes = i.connectWide = i.connectECM = true;
    i.currentPage = 0;
    const FaxStatusFields f = FaxStatusModel().update(i, 0);
    EXPECT_EQ(f.resolution, "high");
    EXPECT_EQ(f.width, "2048");
    EXPECT_EQ(f.errorControl, "on");
    EXPECT_EQ(f.currentPage, "<cover page>");
}

TEST(FaxStatusModel, ReceiveFields) {
    FaxRunInfo i;
    i.sending = false;
    i.statusCode = scGettingPage;
    i.faxFile = "/var/spool/fax/FAX0001.PLF";
    i.currentPage = 1;
    i.bytesTransferred = 5000;
    i.remoteID = "\x1b]0;owned\x07";
    const FaxStatusFields f = FaxStatusModel().update(i, 0);
    EXPECT_EQ(f.phoneNumber, "");
    EXPECT_EQ(f.faxFileName, "FAX0001.PLF");
    EXPECT_EQ(f.coverFileName, "");
    EXPECT_EQ(f.dialAttempt, "1");
    EXPECT_EQ(f.remoteID, "?]0;owned?");
    EXPECT_FALSE(f.meterVisible);
    EXPECT_EQ(f.meterCaption, "Page progress: N/A");
    EXPECT_EQ(f.status, "Getting page data");
}

TEST(FaxStatusModel, FileNamesAreCutAfterTwentyCharacters) {
    const struct {
        std::string path, shown;
    } cases[] = {
        {"", ""},
        {"a.PLF", "a.PLF"},
        {"/x/12345678901234567890", "12345678901234567890"},
        {"/x/123456789012345678901", "12345678901234567890..."},
        {"dir/abcdefghijklmnopqrstuvwxy", "abcdefghijklmnopqrst..."},
        {"no/", ""},
    };
    for (const auto& c : cases) EXPECT_EQ(FaxStatusModel::shortFileName(c.path), c.shown) << c.path;
}

TEST(FaxStatusModel, ClockText) {
    const struct {
        long seconds;
        const char* text;
    } cases[] = {{0, " 00:00"}, {5, " 00:05"}, {59, " 00:59"}, {60, " 01:00"}, {754, " 12:34"},
                 {6000, "100:00"}, {-3, " 00:00"}};
    for (const auto& c : cases) EXPECT_EQ(FaxStatusModel::clockText(c.seconds), c.text) << c.seconds;
}

TEST(FaxStatusModel, MeterPercentage) {
    const struct {
        long bytes, length;
        int percent;
    } cases[] = {{0, 0, 0}, {100, 0, 0}, {0, 1000, 0}, {4, 1000, 0}, {5, 1000, 1}, {999, 1000, 100},
                 {1000, 1000, 100}, {1500, 1000, 100}, {1, 3, 33}, {2, 3, 67}};
    for (const auto& c : cases) {
        FaxRunInfo i = sending();
        i.bytesTransferred = c.bytes;
        i.pageLength = c.length;
        EXPECT_EQ(FaxStatusModel().update(i, 0).meterPosition, c.percent) << c.bytes << "/" << c.length;
    }
}

// One status update of a run: at `ms` the component reports `code`.
struct Step {
    long ms;
    int code;
    const char* elapsed;
    const char* status;
};

void play(const std::vector<Step>& steps, FaxRunInfo info) {
    FaxStatusModel m;
    m.reset();
    for (const auto& s : steps) {
        info.statusCode = s.code;
        const FaxStatusFields f = m.update(info, s.ms);
        EXPECT_EQ(f.elapsedTime, s.elapsed) << "at " << s.ms << " ms, code " << s.code;
        EXPECT_EQ(f.status, s.status) << "at " << s.ms << " ms, code " << s.code;
    }
}

TEST(FaxStatusModel, ElapsedClockRunsFromConnectionToTheEnd) {
    play({{0, scInitializing, "00:00", "Initializing modem for fax processing"},
          {1000, scDialing, "00:00", "Dialing"},
          {12500, scGotStationID, " 00:00", "Got called-station ID"},
          {13900, scConnectParams, " 00:01", "Getting connection params"},
          {75400, scSendingPage, " 01:02", "Sending page data"},
          {80000, scFinished, " 01:07", "Finished"},
          {95000, scInitializing, " 01:07", "Initializing modem for fax processing"}},
         sending());
}

TEST(FaxStatusModel, ElapsedClockStopsOnAbortAndHangupReport) {
    play({{0, scConnectParams, " 00:00", "Getting connection params"},
          {3000, scUserAbort, " 00:03", "User abort"},
          {9000, scUserAbort, " 00:03", "User abort"}},
         sending());
    FaxRunInfo rx;
    rx.sending = false;
    play({{0, scWaitingForCall, "00:00", "Waiting for incoming call"},
          {2000, scGotStationID, " 00:00", "Got called-station ID"},
          {47000, scGotHangup, " 00:45", "Got Class 2 FHNG code"},
          // The next call starts the clock again.
          {60000, scConnectParams, " 00:00", "Getting connection params"},
          {61000, scGettingPage, " 00:01", "Getting page data"}},
         rx);
}

TEST(FaxStatusModel, RedialCountdownWhileBusy) {
    FaxRunInfo i = sending();
    i.dialRetryWait = 60;
    play({{0, scDialing, "00:00", "Dialing"},
          {2000, scBusyWait, "00:00", "Busy, waiting until redial... 01:00"},
          {3000, scBusyWait, "00:00", "Busy, waiting until redial... 00:59"},
          {47500, scBusyWait, "00:00", "Busy, waiting until redial... 00:15"},
          {62000, scBusyWait, "00:00", "Busy, waiting until redial... 00:00"},
          {70000, scBusyWait, "00:00", "Busy, waiting until redial... 00:00"},
          {71000, scDialing, "00:00", "Dialing"},
          // Busy again: a fresh countdown.
          {90000, scBusyWait, "00:00", "Busy, waiting until redial... 01:00"}},
         i);
}

TEST(FaxStatusModel, ResetStartsBothClocksOver) {
    FaxStatusModel m;
    FaxRunInfo i = sending();
    i.statusCode = scConnectParams;
    m.update(i, 0);
    EXPECT_EQ(m.update(i, 5000).elapsedTime, " 00:05");
    m.reset();
    i.statusCode = scSendingPage;
    EXPECT_EQ(m.update(i, 9000).elapsedTime, "00:00");
}

TEST(FaxStatusModel, UnknownCodesHaveNoText) {
    FaxRunInfo i = sending();
    i.statusCode = 99;
    EXPECT_EQ(FaxStatusModel().update(i, 0).status, "");
}

}  // namespace
}  // namespace pellora::fax
