// The send and receive components without a modem: their defaults, the property rules, the
// port check, and their answers to the session's notifications (delivered directly, as the
// notifier would deliver them).
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "fax/components/event_queue_notifier.h"
#include "fax/components/fax_log.h"
#include "fax/components/receive_fax.h"
#include "fax/components/send_fax.h"
#include "fax/image/fax_errors.h"
#include "support/temp_dir.h"

namespace pellora::fax {
namespace {

using pellora::test::TempDir;
using pellora::test::readFile;

struct Default {
    const char* name;
    long long actual;
    long long expected;
};

void expectDefaults(const std::vector<Default>& table) {
    for (const auto& d : table) EXPECT_EQ(d.actual, d.expected) << d.name;
}

TEST(FaxComponents, SendDefaults) {
    EventQueueNotifier q;
    TSendFax f(q);
    expectDefaults({
        {"InitBaud", f.InitBaud, 0},
        {"NormalBaud", f.NormalBaud, 0},
        {"FaxClass", f.FaxClass(), fcUnknown},
        {"AbortNoConnect", f.AbortNoConnect, false},
        {"ExitOnError", f.ExitOnError, false},
        {"SoftwareFlow", f.SoftwareFlow, false},
        {"StatusInterval", f.StatusInterval, 1},
        {"DesiredBPS", f.DesiredBPS, 9600},
        {"DesiredECM", f.DesiredECM, false},
        {"EnhTextEnabled", f.EnhTextEnabled, false},
        {"BlindDial", f.BlindDial, false},
        {"DetectBusy", f.DetectBusy, true},
        {"ToneDial", f.ToneDial, true},
        {"DialWait", f.DialWait, 60},
        {"DialAttempts", f.DialAttempts, 3},
        {"DialRetryWait", f.DialRetryWait, 60},
        {"MaxSendCount", f.MaxSendCount, 50},
        {"BufferMinimum", f.BufferMinimum, 1000},
        {"SafeMode", f.SafeMode, true},
        {"DialAttempt", f.DialAttempt(), 1},
        {"FaxFileList size", static_cast<long long>(f.FaxFileList.size()), 0},
    });
    EXPECT_EQ(f.FaxFileExt, "PLF");
    EXPECT_EQ(f.ModemInit(), "");
    EXPECT_EQ(f.StationID(), "");
    EXPECT_EQ(f.FaxFile(), "");
    EXPECT_EQ(f.CoverFile, "");
    EXPECT_EQ(f.PhoneNumber, "");
    EXPECT_EQ(f.DialPrefix, "");
    EXPECT_EQ(f.HeaderLine, "");
    EXPECT_EQ(f.ComPort(), nullptr);
    EXPECT_TRUE(f.isTransmitter());
    EXPECT_FALSE(f.OnFaxNext);
}

TEST(FaxComponents, ReceiveDefaults) {
    EventQueueNotifier q;
    TReceiveFax f(q);
    expectDefaults({
        {"InitBaud", f.InitBaud, 0},
        {"NormalBaud", f.NormalBaud, 0},
        {"FaxClass", f.FaxClass(), fcDetect},
        {"AbortNoConnect", f.AbortNoConnect, false},
        {"ExitOnError", f.ExitOnError, false},
        {"SoftwareFlow", f.SoftwareFlow, false},
        {"StatusInterval", f.StatusInterval, 1},
        {"DesiredBPS", f.DesiredBPS, 9600},
        {"DesiredECM", f.DesiredECM, false},
        {"AnswerOnRing", f.AnswerOnRing, 1},
        {"FaxAndData", f.FaxAndData, false},
        {"OneFax", f.OneFax, false},
        {"ConstantStatus", f.ConstantStatus, false},
        {"FaxNameMode", f.FaxNameMode, 1},
    });
    EXPECT_EQ(f.FaxFileExt, "PLF");
    EXPECT_EQ(f.DestinationDir, "");
    EXPECT_FALSE(f.isTransmitter());
}

TEST(FaxComponents, HistoryAndStatusDefaults) {
    TFaxLog log;
    EXPECT_EQ(log.FaxHistoryName, "FAXHIST.HIS");
    EXPECT_EQ(log.Fax(), nullptr);
}

TEST(FaxComponents, ModemInitIsUpperCasedWithAT) {
    EventQueueNotifier q;
    TSendFax f(q);
    const struct {
        const char* given;
        const char* stored;
    } cases[] = {
        {"", ""},
        {"&f", "AT&F"},
        {"at&fe0", "AT&FE0"},
        {"AT S7=60", "AT S7=60"},
        {"x3", "ATX3"},
        {"a", "ATA"},
    };
    for (const auto& c : cases) {
        f.setModemInit(c.given);
        EXPECT_EQ(f.ModemInit(), c.stored) << c.given;
    }
}

TEST(FaxComponents, StationIdKeepsTwentyCharacters) {
    EventQueueNotifier q;
    TReceiveFax f(q);
    f.setStationID("+49 30 1234567 890123 extra");
    EXPECT_EQ(f.StationID(), "+49 30 1234567 89012");
}

TEST(FaxComponents, FaxFileIsTheFirstEntryOfTheList) {
    EventQueueNotifier q;
    TSendFax f(q);
    f.FaxFileList = {"a.PLF", "b.PLF"};
    EXPECT_EQ(f.FaxFile(), "a.PLF");
    f.setFaxFile("c.PLF");
    EXPECT_EQ(f.FaxFileList, std::vector<std::string>{"c.PLF"});
    f.setFaxFile("");
    EXPECT_TRUE(f.FaxFileList.empty());
}

TEST(FaxComponents, ClassSets) {
    TFaxClassSet set;
    set.class1 = set.class2_0 = true;
    EXPECT_TRUE(contains(set, fcClass1));
    EXPECT_FALSE(contains(set, fcClass2));
    EXPECT_TRUE(contains(set, fcClass2_0));
    EXPECT_FALSE(contains(set, fcDetect));
}

TEST(FaxComponents, StationIdsAreCleanedAndBounded) {
    EXPECT_EQ(cleanStationId("+1 555 0100  "), "+1 555 0100  ");
    EXPECT_EQ(cleanStationId("\x1b[2J\r\n+1"), "?[2J??+1");
    EXPECT_EQ(cleanStationId(std::string("ab\x9b" "c\x7f", 5)), "ab?c?");
    EXPECT_EQ(cleanStationId(std::string(30, '7')), std::string(20, '7'));
}

// --- properties reach the session when a run starts ------------------------------------------

class SendProbe : public TCustomSendFax {
public:
    explicit SendProbe(Notifier& n) : TCustomSendFax(n, nullptr) {}
    using TCustomSendFax::applyProperties;
};

class ReceiveProbe : public TCustomReceiveFax {
public:
    explicit ReceiveProbe(Notifier& n) : TCustomReceiveFax(n, nullptr) {}
    using TCustomReceiveFax::applyProperties;
};

TEST(FaxComponents, SendPropertiesAreCopiedIntoTheSession) {
    EventQueueNotifier q;
    SendProbe f(q);
    f.AbortNoConnect = true;
    f.SoftwareFlow = true;
    f.StatusInterval = 0;  // would flood the component with status events
    f.DesiredBPS = 1200;   // below the lowest rate
    f.DesiredECM = true;
    f.FaxFileExt = "FAX";
    f.setStationID("+1 555 0199");
    f.setModemInit("&d2");
    f.ToneDial = false;
    f.BlindDial = true;
    f.DetectBusy = false;
    f.DialPrefix = "9,\r";
    f.DialWait = 30;
    f.DialAttempts = 0;
    f.DialRetryWait = 120;
    f.MaxSendCount = 20;
    f.BufferMinimum = 2000;
    f.SafeMode = false;
    f.HeaderLine = "$D $T $F";
    f.HeaderSender = "Sender";
    f.HeaderRecipient = "Recipient";
    f.HeaderTitle = "Title";
    f.EnhTextEnabled = true;
    f.EnhHeaderFont = TFont{"DejaVu Sans", 10, fsBold};
    f.EnhFont = TFont{"Liberation Serif", 12, 0};
    f.applyProperties();
    const FaxSession& s = f.session();
    expectDefaults({
        {"options", s.options, afAbortNoConnect | afSoftwareFlow},
        {"StatusInterval", s.StatusInterval, 1},
        {"DesiredBPS", s.DesiredBPS, 2400},
        {"DesiredECM", s.DesiredECM, true},
        {"ToneDial", s.ToneDial, false},
        {"BlindDial", s.BlindDial, true},
        {"DetectBusy", s.DetectBusy, false},
        {"DialWait", s.dialWait(), 30},
        {"DialAttempts", s.DialAttempts, 0},
        {"DialRetryWait", s.dialRetryWait(), 120},
        {"MaxSendCount", s.MaxSendCount, 20},
        {"BufferMinimum", s.BufferMinimum, 2000},
        {"SafeMode", s.SafeMode, false},
        {"EnhTextEnabled", s.EnhTextEnabled, true},
    });
    EXPECT_EQ(s.FaxFileExt, "FAX");
    EXPECT_EQ(s.StationID, "+1 555 0199");
    EXPECT_EQ(s.modemInit(), "AT&D2");
    EXPECT_EQ(s.DialPrefix, "9,");  // the CR would end the dial command early
    EXPECT_EQ(s.HeaderLine, "$D $T $F");
    EXPECT_EQ(s.HeaderSender, "Sender");
    EXPECT_EQ(s.HeaderRecipient, "Recipient");
    EXPECT_EQ(s.HeaderTitle, "Title");
    EXPECT_EQ(s.EnhHeaderFont, f.EnhHeaderFont);
    EXPECT_EQ(s.EnhFont, f.EnhFont);
}

TEST(FaxComponents, ReceivePropertiesAreCopiedIntoTheSession) {
    EventQueueNotifier q;
    ReceiveProbe f(q);
    f.ExitOnError = true;
    f.AnswerOnRing = 3;
    f.FaxAndData = true;
    f.OneFax = true;
    f.ConstantStatus = true;
    f.DestinationDir = "/var/spool/fax";
    f.setFaxClass(fcClass2);
    f.applyProperties();
    const FaxSession& s = f.session();
    expectDefaults({
        {"options", s.options, afExitOnError},
        {"AnswerOnRing", s.AnswerOnRing, 3},
        {"FaxAndData", s.FaxAndData, true},
        {"OneFax", s.OneFax, true},
        {"ConstantStatus", s.ConstantStatus, true},
        {"FaxClass", s.FaxClass, fcClass2},
    });
    EXPECT_EQ(s.DestinationDir, "/var/spool/fax");
}

// --- the port check -------------------------------------------------------------------------

struct PortCase {
    const char* name;
    bool assign;
    int outSize;
    int code;
};

const PortCase kPortCases[] = {
    {"no port", false, 8192, -1005},
    {"output buffer too small", true, 4096, -3006},
    {"port not open", true, 8192, -2007},
};

template <typename Exception>
void expectRaise(const std::function<void()>& call, int code, const char* what) {
    try {
        call();
        ADD_FAILURE() << what << ": nothing raised";
    } catch (const Exception& e) {
        EXPECT_EQ(e.code(), code) << what;
        EXPECT_EQ(std::string(e.what()), faxErrorText(code)) << what;
    } catch (const std::exception& e) {
        ADD_FAILURE() << what << ": wrong exception " << e.what();
    }
}

TEST(FaxComponents, PortCheckBeforeEveryStartAndQuery) {
    for (const auto& c : kPortCases) {
        TComPort port;
        EventQueueNotifier q;
        TSendFax send(q);
        EventQueueNotifier q2;
        TReceiveFax receive(q2);
        if (c.assign) {
            send.setComPort(&port);
            receive.setComPort(&port);
            port.setOutSize(c.outSize);
        }
        auto check = [&](const std::function<void()>& call, const std::string& what) {
            const std::string label = std::string(c.name) + ", " + what;
            switch (c.code) {
                case -1005: expectRaise<EPortNotAssigned>(call, c.code, label.c_str()); break;
                case -3006: expectRaise<EOutputBufferTooSmall>(call, c.code, label.c_str()); break;
                default: expectRaise<ECommNotOpen>(call, c.code, label.c_str()); break;
            }
        };
        check([&] { send.BeginTransmit(); }, "BeginTransmit");
        check([&] { send.QueryFaxClasses(); }, "QueryFaxClasses");
        check([&] { receive.BeginReceive(); }, "BeginReceive");
    }
}

TEST(FaxComponents, AttachingAClosedPortGivesItTheComponentSettings) {
    EventQueueNotifier q;
    TSendFax f(q);
    TComPort port;
    port.setInSize(1024);
    port.setOutSize(1024);
    f.setComPort(&port);
    EXPECT_EQ(port.InSize(), 8192);
    EXPECT_EQ(port.OutSize(), 8192);
    EXPECT_EQ(port.HWFlowOptions(), unsigned(hwfUseRTS | hwfRequireCTS));
}

// --- notifications ---------------------------------------------------------------------------

std::int64_t deliver(TCustomAbstractFax& f, int message, std::int64_t payload = 0) {
    return f.handleNotification(Notification{message, payload});
}

TEST(FaxComponents, WithoutOnFaxNextOnlyTheFirstRequestHandsOverAFax) {
    EventQueueNotifier q;
    TSendFax f(q);
    f.PhoneNumber = "5550100";
    f.FaxFileList = {"letter.PLF"};
    f.CoverFile = "cover.txt";
    EXPECT_EQ(deliver(f, kNotifyNextFax), 1);
    EXPECT_EQ(f.session().PhoneNumber(), "5550100");
    EXPECT_EQ(f.session().faxFile(), "letter.PLF");
    EXPECT_EQ(f.session().coverFile(), "cover.txt");
    for (int i = 0; i < 2; ++i) {
        EXPECT_EQ(deliver(f, kNotifyNextFax), 0);
        EXPECT_EQ(f.session().PhoneNumber(), "");
        EXPECT_EQ(f.session().faxFile(), "");
        EXPECT_EQ(f.session().coverFile(), "");
    }
}

TEST(FaxComponents, OnFaxNextSuppliesFaxesUntilTheNumberIsEmpty) {
    EventQueueNotifier q;
    TSendFax f(q);
    struct Fax {
        std::string phone, file, cover;
    };
    const std::vector<Fax> faxes = {{"111", "one.PLF", ""}, {"222", "two.PLF", "c.PLF"}, {"", "", ""}};
    std::size_t next = 0;
    f.OnFaxNext = [&](TCustomAbstractFax& cp, std::string& phone, std::string& file, std::string& cover) {
        EXPECT_EQ(&cp, &f);
        // The strings arrive cleared.
        EXPECT_EQ(phone + file + cover, "");
        phone = faxes[next].phone;
        file = faxes[next].file;
        cover = faxes[next].cover;
        ++next;
    };
    for (const auto& fx : faxes) {
        EXPECT_EQ(deliver(f, kNotifyNextFax), fx.phone.empty() ? 0 : 1) << fx.phone;
        EXPECT_EQ(f.session().PhoneNumber(), fx.phone);
        EXPECT_EQ(f.session().faxFile(), fx.file);
        EXPECT_EQ(f.session().coverFile(), fx.cover);
        EXPECT_EQ(f.PhoneNumber, fx.phone);
        EXPECT_EQ(f.FaxFile(), fx.file);
        EXPECT_EQ(f.CoverFile, fx.cover);
    }
}

TEST(FaxComponents, ANumberCannotCarryAModemCommand) {
    EventQueueNotifier q;
    TSendFax f(q);
    f.PhoneNumber = "5550100\rATS0=1\n";
    f.FaxFileList = {"letter.PLF"};
    EXPECT_EQ(deliver(f, kNotifyNextFax), 1);
    EXPECT_EQ(f.session().PhoneNumber(), "5550100ATS0=1");
    EXPECT_EQ(cleanDialString(std::string(50, '1'), 40), std::string(40, '1'));
}

TEST(FaxComponents, EventsFireForStatusErrorAndFinish) {
    EventQueueNotifier q;
    TSendFax f(q);
    std::vector<std::string> seen;
    f.OnFaxStatus = [&](TCustomAbstractFax&, bool first, bool last) {
        seen.push_back("status " + std::to_string(first) + std::to_string(last));
    };
    f.OnFaxError = [&](TCustomAbstractFax&, int code) { seen.push_back("error " + std::to_string(code)); };
    f.OnFaxFinish = [&](TCustomAbstractFax&, int code) { seen.push_back("finish " + std::to_string(code)); };
    f.OnFaxLog = [&](TCustomAbstractFax&, TFaxLogCode code) { seen.push_back("log " + std::to_string(code)); };
    deliver(f, kNotifyStatus, kStatusFirst);
    deliver(f, kNotifyStatus, 0);
    deliver(f, kNotifyStatus, kStatusLast);
    deliver(f, kNotifyError, -8064);
    deliver(f, kNotifyLog, lcTransmitFail);
    deliver(f, kNotifyLog, 99);  // not a log code: ignored
    deliver(f, kNotifyFinish, -8064);
    EXPECT_EQ(seen, (std::vector<std::string>{"status 10", "status 00", "status 01", "error -8064",
                                              "log 3", "finish -8064"}));
}

class StatusRecorder : public TAbstractFaxStatus {
public:
    void UpdateDisplay(bool first, bool last) override {
        calls.push_back(std::to_string(first) + std::to_string(last));
    }
    std::vector<std::string> calls;
};

TEST(FaxComponents, StatusDisplayIsUpdatedBeforeTheEvent) {
    EventQueueNotifier q;
    TReceiveFax f(q);
    StatusRecorder display;
    display.setFax(&f);
    EXPECT_EQ(f.StatusDisplay(), &display);
    std::size_t updatesAtEvent = 0;
    f.OnFaxStatus = [&](TCustomAbstractFax&, bool, bool) { updatesAtEvent = display.calls.size(); };
    deliver(f, kNotifyStatus, kStatusFirst);
    EXPECT_EQ(display.calls, std::vector<std::string>{"10"});
    EXPECT_EQ(updatesAtEvent, 1u);
}

TEST(FaxComponents, LinksAreClearedWhenEitherSideGoes) {
    EventQueueNotifier q;
    auto f = std::make_unique<TSendFax>(q);
    TFaxLog log;
    {
        StatusRecorder display;
        f->setStatusDisplay(&display);
        log.setFax(f.get());
        EXPECT_EQ(display.Fax(), f.get());
        EXPECT_EQ(f->FaxLog(), &log);
    }
    EXPECT_EQ(f->StatusDisplay(), nullptr);
    f.reset();
    EXPECT_EQ(log.Fax(), nullptr);
}

TEST(FaxComponents, RefusedCallLogsSkipAndLetsTheFileGo) {
    TempDir dir;
    EventQueueNotifier q;
    TReceiveFax f(q);
    f.DestinationDir = dir.path().string();
    TFaxLog log;
    log.FaxHistoryName = (dir / "FAXHIST.HIS").string();
    log.setFax(&f);
    std::tm when{};
    when.tm_year = 126;
    when.tm_mon = 11;
    when.tm_mday = 11;
    when.tm_hour = 9;
    when.tm_min = 30;
    log.Now = [&] { return when; };

    deliver(f, kNotifyName);
    EXPECT_EQ(f.FaxFile(), (dir / "FAX0001.PLF").string());
    EXPECT_EQ(f.session().faxFile(), f.FaxFile());

    std::string remoteSeen = "unset";
    f.OnFaxAccept = [&](TCustomAbstractFax& cp, bool& accept) {
        EXPECT_TRUE(accept);  // starts true
        remoteSeen = cp.RemoteID();
        accept = false;
    };
    EXPECT_EQ(deliver(f, kNotifyAccept), 0);
    EXPECT_EQ(remoteSeen, "");
    TFaxLogCode logged = lcNone;
    std::string fileAtEvent;
    f.OnFaxLog = [&](TCustomAbstractFax& cp, TFaxLogCode code) {
        logged = code;
        fileAtEvent = cp.FaxFile();
    };
    deliver(f, kNotifyLog, lcReceiveSkip);
    EXPECT_EQ(logged, lcReceiveSkip);
    EXPECT_EQ(fileAtEvent, (dir / "FAX0001.PLF").string());  // emptied after the event
    EXPECT_EQ(f.FaxFile(), "");
    EXPECT_EQ(readFile(dir / "FAXHIST.HIS"), "Receive skipped at 12/11/26 09:30:00\r\n\r\n");
}

TEST(FaxComponents, CallsAreTakenWithoutAnAcceptHandler) {
    EventQueueNotifier q;
    TReceiveFax f(q);
    EXPECT_EQ(deliver(f, kNotifyAccept), 1);
    f.OnFaxAccept = [](TCustomAbstractFax&, bool&) {};
    EXPECT_EQ(deliver(f, kNotifyAccept), 1);
}

TEST(FaxComponents, OnFaxNameGetsTheCurrentNameAndDecides) {
    EventQueueNotifier q;
    TReceiveFax f(q);
    f.setFaxFile("previous.PLF");
    f.OnFaxName = [](TCustomAbstractFax&, std::string& name) {
        EXPECT_EQ(name, "previous.PLF");
        name = "/var/spool/fax/in.PLF";
    };
    deliver(f, kNotifyName);
    EXPECT_EQ(f.FaxFile(), "/var/spool/fax/in.PLF");
    EXPECT_EQ(f.session().faxFile(), "/var/spool/fax/in.PLF");
}

TEST(FaxComponents, ReceiveCodesEmptyFaxFileOthersDoNot) {
    const struct {
        TFaxLogCode code;
        bool emptied;
    } cases[] = {{lcReceiveStart, false}, {lcReceiveOk, true}, {lcReceiveSkip, true}, {lcReceiveFail, true}};
    for (const auto& c : cases) {
        EventQueueNotifier q;
        TReceiveFax f(q);
        f.setFaxFile("x.PLF");
        deliver(f, kNotifyLog, c.code);
        EXPECT_EQ(f.FaxFile().empty(), c.emptied) << c.code;
    }
}

TEST(FaxComponents, AHistoryThatCannotBeWrittenRaisesAfterTheEvent) {
    TempDir dir;
    EventQueueNotifier q;
    TReceiveFax f(q);
    TFaxLog log;
    log.FaxHistoryName = (dir / "missing-folder" / "FAXHIST.HIS").string();
    log.setFax(&f);
    bool fired = false;
    f.OnFaxLog = [&](TCustomAbstractFax&, TFaxLogCode) { fired = true; };
    f.setFaxFile("x.PLF");
    EXPECT_THROW(deliver(f, kNotifyLog, lcReceiveOk), EInOutError);
    EXPECT_TRUE(fired);
    EXPECT_EQ(f.FaxFile(), "");
}

TEST(FaxComponents, AbortWithoutARunDoesNothing) {
    EventQueueNotifier q;
    TSendFax f(q);
    bool finished = false;
    f.OnFaxFinish = [&](TCustomAbstractFax&, int) { finished = true; };
    f.AbortSession();
    q.processPending();
    EXPECT_FALSE(finished);
}

}  // namespace
}  // namespace pellora::fax
