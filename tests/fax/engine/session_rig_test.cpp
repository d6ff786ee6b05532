// The session core against the simulated modem rig, in simulated time: class detection, the
// Class 1 rate query, preparation with its init strings, dialling with the busy rule and the
// other dial results, cancel while dialling, and hang-up with and without carrier.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "fax/engine/com_port.h"
#include "fax/engine/session_core.h"
#include "fax/image/plf.h"
#include "fax/image/t4.h"
#include "session_test_support.h"
#include "tools/modemsim/rig.h"

namespace pellora::fax {
namespace {

using modemsim::Fault;
using modemsim::FaultKind;
using modemsim::ModemRig;
using modemsim::RigOptions;

std::string makeFaxFile(const std::string& dir, int pages) {
    std::string name = dir + "/fax.plf";
    PlfWriter w;
    EXPECT_EQ(w.create(name), 0);
    for (int p = 0; p < pages; ++p) {
        for (int i = 0; i < 20; ++i) EXPECT_EQ(w.writeLine(T4Encoder::blankLine(1728)), 0);
        EXPECT_EQ(w.endPage(), 0);
    }
    EXPECT_EQ(w.close(), 0);
    return name;
}

struct SessionRig {
    SimClock clock;
    ClockThreadScope me{clock};
    std::unique_ptr<ModemRig> rig;
    TComPort port{clock};
    test::RecordingNotifier notifier{clock};
    FaxSession session{true, notifier};
    std::string dir;
    std::vector<int> statusCodes;  // StatusCode at each status notification
    int fedFaxes = 0;

    explicit SessionRig(RigOptions options, int faxes = 1) {
        char tmpl[] = "/tmp/pellora-session-XXXXXX";
        dir = ::mkdtemp(tmpl);
        if (options.tiff.empty()) options.tiff = dir + "/far.tif";
        rig = std::make_unique<ModemRig>(clock, options);
        EXPECT_EQ(port.open(modemsim::makeSimPortDevice(rig->serialLine())), 0);
        rig->start();
        session.setPort(&port);
        std::string fax = makeFaxFile(dir, 1);
        notifier.setHandler([this, fax, faxes](const Notification& n) -> std::int64_t {
            if (n.message == kNotifyStatus) statusCodes.push_back(session.StatusCode());
            if (n.message == kNotifyNextFax) {
                if (fedFaxes >= faxes) return 0;
                ++fedFaxes;
                session.setNextFax("5551234", fax, "");
                return 1;
            }
            return 0;
        });
    }
    ~SessionRig() {
        port.close();
        rig->stop();
        std::filesystem::remove_all(dir);
    }
    bool sawStatus(int code) const {
        return std::find(statusCodes.begin(), statusCodes.end(), code) != statusCodes.end();
    }
};

TEST(SessionRig, DetectsClassOneAndItsRates) {
    SessionRig f(RigOptions{});
    ClassList list;
    ASSERT_TRUE(f.session.detectClass(true, &list));
    EXPECT_TRUE(list.class1);  // the T.31 modem lists 0,1,1.0
    EXPECT_FALSE(list.class2);
    EXPECT_FALSE(list.class2_0);
    EXPECT_EQ(f.session.FaxClass, fcClass1);

    f.session.queryRates("AT+FTM=?");
    for (int i = 1; i <= 6; ++i) EXPECT_TRUE(f.session.localRate(i)) << i;
    EXPECT_EQ(f.session.rateIndex(), 6);
    EXPECT_EQ(f.session.ConnectBPS(), 14400);

    // The class query outside a run leaves the configured class alone.
    f.session.FaxClass = fcDetect;
    ClassList again;
    ASSERT_TRUE(f.session.queryClasses(&again));
    EXPECT_TRUE(again.class1);
    EXPECT_EQ(f.session.FaxClass, fcDetect);
}

TEST(SessionRig, SendAndWaitTellsOkErrorAndSilenceApart) {
    RigOptions o;
    o.faults = {{FaultKind::Error, 1, "AT+FCLASS=1"}};
    SessionRig f(o);
    std::vector<std::string> lines;
    EXPECT_TRUE(f.session.sendAndWait("ATI", &lines));
    EXPECT_GE(lines.size(), 2u);
    EXPECT_EQ(std::count(lines.begin(), lines.end(), "ATI"), 0) << "the echo is left out";
    EXPECT_FALSE(f.session.sendAndWait("AT+FCLASS=1"));
    EXPECT_TRUE(f.session.sendAndWait("AT+FCLASS=0"));
    // ATH with nothing to hang up still answers; a command the modem never ends times out.
    ClockMs before = f.clock.now();
    EXPECT_FALSE(f.session.sendAndWait(""));  // an empty line gets no answer from the rig
    EXPECT_GE(f.clock.now() - before, 182 * kTickMs);
}

TEST(SessionRig, ReceivePreparationLowersTheRateToTheDesiredOne) {
    SimClock clock;
    ClockThreadScope me{clock};
    RigOptions o;
    o.tiff = "/tmp/pellora-session-rx-unused.tif";
    ModemRig rig(clock, o);
    TComPort port(clock);
    ASSERT_EQ(port.open(modemsim::makeSimPortDevice(rig.serialLine())), 0);
    rig.start();
    {
        test::RecordingNotifier notifier(clock);
        FaxSession rx(false, notifier);
        rx.setPort(&port);
        rx.DesiredBPS = 9600;
        rx.OneFax = true;
        ASSERT_EQ(rx.start(), 0);
        EXPECT_TRUE(rx.ready());
        EXPECT_EQ(rx.FaxClass, fcClass1);
        EXPECT_EQ(rx.rateIndex(), 4);
        EXPECT_EQ(rx.ConnectBPS(), 9600);
        // It waits for a ring now; let some time pass, then cancel.
        clock.sleepFor(3000);
        EXPECT_EQ(rx.state(), rxWaitRing);
        EXPECT_EQ(rx.StatusCode(), scWaitingForCall);
        rx.cancel();
        ASSERT_TRUE(notifier.waitFinish(30000));
        EXPECT_EQ(notifier.finishCode(), ecCancelRequested);
        EXPECT_TRUE(notifier.payloads(kNotifyError).empty());
    }
    port.close();
    rig.stop();
}

struct PrepCase {
    const char* name;
    std::string modemInit;
    std::vector<Fault> faults;
    int expected;  // start()'s result
};

class SessionPreparation : public ::testing::TestWithParam<PrepCase> {};

TEST_P(SessionPreparation, SendsTheInitStrings) {
    RigOptions o;
    o.faults = GetParam().faults;
    SessionRig f(o, 0);  // no fax: a good preparation ends the run at once
    f.session.setModemInit(GetParam().modemInit);
    int rc = f.session.start();
    EXPECT_EQ(rc, GetParam().expected);
    ASSERT_TRUE(f.notifier.waitFinish(60000));
    EXPECT_EQ(f.notifier.finishCode(), GetParam().expected);
    auto errors = f.notifier.payloads(kNotifyError);
    if (GetParam().expected == 0) {
        EXPECT_TRUE(errors.empty());
        EXPECT_EQ(f.session.state(), txFinished);
    } else {
        ASSERT_EQ(errors.size(), 1u);
        EXPECT_EQ(errors[0], GetParam().expected);
    }
    auto status = f.notifier.payloads(kNotifyStatus);
    ASSERT_GE(status.size(), 2u);
    EXPECT_EQ(status.front(), kStatusFirst);
    EXPECT_EQ(status.back(), kStatusLast);
    EXPECT_FALSE(f.session.ready());
    EXPECT_FALSE(f.session.modemInitialised()) << "the next run sends the init strings again";
}

INSTANTIATE_TEST_SUITE_P(
    Cases, SessionPreparation,
    ::testing::Values(PrepCase{"Plain", "", {}, 0},
                      PrepCase{"UserInit", "e0", {}, 0},
                      PrepCase{"UserInitRefused", "&K3", {{FaultKind::Error, 1, "AT&K3"}}, ecFaxBadModemResult},
                      PrepCase{"InitStringRefused", "", {{FaultKind::Error, 1, "ATE0Q0V1X4"}}, ecFaxBadModemResult},
                      PrepCase{"ClassQueryRefused", "", {{FaultKind::Error, 1, "AT+FCLASS=?"}}, ecFaxBadModemResult}),
    [](const auto& p) { return std::string(p.param.name); });

TEST(SessionRig, ModemInitIsUpperCasedWithAtInFront) {
    test::RecordingNotifier n(RealClock::instance());
    FaxSession s(true, n);
    s.setModemInit("&f1");
    EXPECT_EQ(s.modemInit(), "AT&F1");
    s.setModemInit("at&d2");
    EXPECT_EQ(s.modemInit(), "AT&D2");
    s.setModemInit("");
    EXPECT_EQ(s.modemInit(), "");
    s.setDialWait(60);
    EXPECT_EQ(s.dialWait(), 60);
    s.setDialRetryWait(10);
    EXPECT_EQ(s.dialRetryWait(), 10);
}

struct DialCase {
    const char* name;
    std::vector<Fault> faults;
    unsigned attempts;
    bool abortNoConnect;
    long dialWaitSeconds;
    int error;
    unsigned dialAttempts;  // DialAttempt at the end
};

class SessionDialling : public ::testing::TestWithParam<DialCase> {};

TEST_P(SessionDialling, EndsTheFaxWithTheDialResult) {
    const DialCase& c = GetParam();
    RigOptions o;
    o.faults = c.faults;
    SessionRig f(o);
    f.session.DialAttempts = c.attempts;
    f.session.setDialRetryWait(5);
    f.session.setDialWait(c.dialWaitSeconds);
    if (c.abortNoConnect) f.session.options |= afAbortNoConnect;
    ASSERT_EQ(f.session.start(), 0);
    ASSERT_TRUE(f.notifier.waitFinish(600000));
    EXPECT_EQ(f.notifier.finishCode(), c.error);
    auto errors = f.notifier.payloads(kNotifyError);
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_EQ(errors[0], c.error);
    auto logs = f.notifier.payloads(kNotifyLog);
    EXPECT_EQ(logs, (std::vector<std::int64_t>{lcTransmitStart, lcTransmitFail}));
    EXPECT_EQ(f.session.DialAttempt(), c.dialAttempts);
    EXPECT_TRUE(f.sawStatus(scDialing));
    EXPECT_EQ(f.session.state(), txFinished);
    EXPECT_EQ(f.notifier.payloads(kNotifyStatus).back(), kStatusLast);
    if (c.error == ecFaxBusy) {
        EXPECT_EQ(f.sawStatus(scBusyWait), c.attempts > 1) << "the last busy result does not wait";
        // Without AbortNoConnect the run asks for the next fax (there is none) and ends
        // normally; with it the failure state ends the run as a user abort.
        EXPECT_EQ(f.session.StatusCode(), c.abortNoConnect ? scUserAbort : scInitializing);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, SessionDialling,
    ::testing::Values(
        DialCase{"BusyThreeTimes", {{FaultKind::Busy, 5, ""}}, 3, false, 60, ecFaxBusy, 3},
        DialCase{"BusyAbortNoConnect", {{FaultKind::Busy, 5, ""}}, 3, true, 60, ecFaxBusy, 3},
        DialCase{"BusyOneAttempt", {{FaultKind::Busy, 1, ""}}, 1, false, 60, ecFaxBusy, 1},
        DialCase{"NoDialTone", {{FaultKind::NoDialTone, 1, ""}}, 3, false, 60, ecFaxNoDialTone, 0},
        DialCase{"Voice", {{FaultKind::Voice, 1, ""}}, 3, false, 60, ecFaxVoiceCall, 0},
        DialCase{"NoCarrier", {{FaultKind::NoCarrier, 1, ""}}, 3, false, 60, ecFaxNoCarrier, 0},
        DialCase{"NoAnswerTimesOut", {{FaultKind::NoAnswer, 1, ""}}, 3, false, 10, ecFaxNoAnswer, 0}),
    [](const auto& p) { return std::string(p.param.name); });

TEST(SessionRig, UnlimitedDialAttemptsRedialUntilTheLineIsFree) {
    RigOptions o;
    o.faults = {{FaultKind::Busy, 6, ""}};
    SessionRig f(o);
    f.session.DialAttempts = 0;
    f.session.setDialRetryWait(5);
    ASSERT_EQ(f.session.start(), 0);
    for (int i = 0; i < 2000 && f.rig->callsConnected() == 0; ++i) f.clock.sleepFor(100);
    EXPECT_EQ(f.rig->callsConnected(), 1);
    EXPECT_EQ(f.session.DialAttempt(), 6u);
    EXPECT_TRUE(f.notifier.payloads(kNotifyError).empty());
    f.session.cancel();
    ASSERT_TRUE(f.notifier.waitFinish(60000));
    EXPECT_EQ(f.notifier.finishCode(), ecCancelRequested);
}

TEST(SessionRig, CancelWhileDiallingFinishesWithoutAnErrorNotification) {
    RigOptions o;
    o.answerDelay = 20000;  // a far machine slow to pick up
    SessionRig f(o);
    ASSERT_EQ(f.session.start(), 0);
    for (int i = 0; i < 100 && f.session.StatusCode() != scDialing; ++i) f.clock.sleepFor(100);
    ASSERT_EQ(f.session.StatusCode(), scDialing);
    f.clock.sleepFor(2000);
    ASSERT_EQ(f.rig->callsConnected(), 0);
    f.session.cancel();
    ASSERT_TRUE(f.notifier.waitFinish(60000));
    EXPECT_EQ(f.notifier.finishCode(), ecCancelRequested);
    EXPECT_TRUE(f.notifier.payloads(kNotifyError).empty());
    EXPECT_EQ(f.session.StatusCode(), scUserAbort);
    EXPECT_EQ(f.notifier.payloads(kNotifyStatus).back(), kStatusLast);
    EXPECT_EQ(f.notifier.payloads(kNotifyLog),
              (std::vector<std::int64_t>{lcTransmitStart, lcTransmitFail}));
    // The run is over: the handler is detached and a second cancel does nothing.
    std::size_t seen = f.notifier.seen().size();
    f.session.cancel();
    f.clock.sleepFor(2000);
    EXPECT_EQ(f.notifier.seen().size(), seen);
    EXPECT_TRUE(f.session.sendAndWait("AT")) << "the modem is back in command mode";
}

TEST(SessionRig, HangUpWithCarrierEscapesFirst) {
    SessionRig f(RigOptions{});
    ASSERT_TRUE(f.session.sendAndWait("ATE0"));
    ASSERT_TRUE(f.session.sendAndWait("AT+FCLASS=1"));
    f.session.sendCommand("ATDT5551234");
    for (int i = 0; i < 300 && !f.port.carrierDetect(); ++i) f.clock.sleepFor(100);
    ASSERT_TRUE(f.port.carrierDetect());
    ClockMs before = f.clock.now();
    f.session.transmitHangup();
    ClockMs took = f.clock.now() - before;
    EXPECT_GE(took, 3000) << "guard time, +++, guard time, ATH0, a second";
    EXPECT_FALSE(f.port.carrierDetect());
    EXPECT_TRUE(f.session.sendAndWait("AT"));
}

TEST(SessionRig, HangUpWithoutCarrierSendsOnlyAth) {
    SessionRig f(RigOptions{});
    ASSERT_TRUE(f.session.sendAndWait("ATE0"));
    ASSERT_FALSE(f.port.carrierDetect());
    ClockMs before = f.clock.now();
    f.session.transmitHangup();
    ClockMs took = f.clock.now() - before;
    EXPECT_GE(took, 1000);
    EXPECT_LT(took, 2000);
    EXPECT_TRUE(f.session.sendAndWait("AT"));
}

TEST(SessionRig, ReceiveHangUpDropsTheLinesFirst) {
    SessionRig f(RigOptions{});
    ClockMs before = f.clock.now();
    f.session.receiveHangup();
    EXPECT_GE(f.clock.now() - before, 4000);
    EXPECT_TRUE(f.port.dtr());
    EXPECT_TRUE(f.port.rts());
    EXPECT_TRUE(f.session.sendAndWait("AT"));
}

TEST(SessionRig, AFaxWithoutFilesFailsWithNoFilename) {
    SessionRig f(RigOptions{});
    f.notifier.setHandler([&](const Notification& n) -> std::int64_t {
        if (n.message == kNotifyNextFax && f.fedFaxes++ == 0) {
            f.session.setNextFax("5551234", "", "");
            return 1;
        }
        return 0;
    });
    ASSERT_EQ(f.session.start(), 0);
    ASSERT_TRUE(f.notifier.waitFinish(60000));
    EXPECT_EQ(f.notifier.payloads(kNotifyError), (std::vector<std::int64_t>{ecNoFilename}));
    EXPECT_EQ(f.notifier.finishCode(), ecNoFilename);
}

TEST(SessionRig, AMissingFaxFileFailsWithFileNotFound) {
    SessionRig f(RigOptions{});
    f.notifier.setHandler([&](const Notification& n) -> std::int64_t {
        if (n.message == kNotifyNextFax && f.fedFaxes++ == 0) {
            f.session.setNextFax("5551234", f.dir + "/nothere", "");
            return 1;
        }
        return 0;
    });
    ASSERT_EQ(f.session.start(), 0);
    ASSERT_TRUE(f.notifier.waitFinish(60000));
    EXPECT_EQ(f.notifier.payloads(kNotifyError), (std::vector<std::int64_t>{-2}));
}

}  // namespace
}  // namespace pellora::fax
