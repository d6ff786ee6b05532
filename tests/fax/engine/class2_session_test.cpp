// The Class 2 and 2.0 machines at the command level, against a scripted modem in simulated
// time: the set-up commands, page data and its terminators, +FET and resolution changes, page
// rejection and its retry limit, a remote without fine resolution, a refused set-up command;
// on receive the bit order of Class 2, documents split by +FET, and a refused call.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "fax/engine/com_port.h"
#include "fax/engine/session_core.h"
#include "fax_pages.h"
#include "scripted_modem.h"
#include "session_rig_fixture.h"

namespace pellora::fax {
namespace {

using test::PageSpec;
using test::Rows;
using test::ScriptedModem;
using test::ScriptOptions;

struct Class2Rig : test::ComponentStandIn {
    SimClock clock;
    ClockThreadScope me{clock};
    std::shared_ptr<modemsim::SimSerialLine> line = std::make_shared<modemsim::SimSerialLine>(clock);
    std::unique_ptr<ScriptedModem> modem;
    TComPort port{clock};
    test::RecordingNotifier notifier{clock};
    std::unique_ptr<FaxSession> session;

    Class2Rig(bool transmitter, ScriptOptions o) {
        char tmpl[] = "/tmp/pellora-class2-XXXXXX";
        dir = ::mkdtemp(tmpl);
        bool class20 = o.class20;
        modem = std::make_unique<ScriptedModem>(clock, line, std::move(o));
        EXPECT_EQ(port.open(modemsim::makeSimPortDevice(line)), 0);
        session = std::make_unique<FaxSession>(transmitter, notifier);
        session->setPort(&port);
        session->FaxClass = class20 ? fcClass2_0 : fcClass2;
        session->StationID = "pellora";
        install(notifier, *session);
    }
    // The one fax of a transmit test.
    void setFax(const std::string& file) { faxes = {{"5551234", file, ""}}; }
    ~Class2Rig() {
        session.reset();
        port.close();
        modem.reset();
        std::filesystem::remove_all(dir);
    }
    std::optional<std::int64_t> run(bool ring = false) {
        int rc = session->start();
        if (rc != 0) return rc;
        if (ring) modem->ring();
        if (!notifier.waitFinish(10 * 60 * 1000)) return std::nullopt;
        return notifier.finishCode();
    }
    bool sent(const std::string& command) const {
        auto c = modem->commands();
        return std::find(c.begin(), c.end(), command) != c.end();
    }
};

Rows decodeRows(const std::vector<std::uint8_t>& data) {
    Rows rows;
    T4Decoder dec;
    dec.startPage();
    dec.decode(data, [&](std::span<const std::uint8_t> l) {
        rows.emplace_back(l.begin(), l.end());
        return true;
    });
    return rows;
}

bool endsWith(const Rows& got, const Rows& sent) {
    return got.size() >= sent.size() && std::equal(sent.begin(), sent.end(), got.end() - std::ptrdiff_t(sent.size()));
}

class Class2Transmit : public ::testing::TestWithParam<bool> {};  // Class 2.0?

TEST_P(Class2Transmit, SendsEveryPageWithItsTerminatorAndResolutionChange) {
    const bool class20 = GetParam();
    ScriptOptions o;
    o.class20 = class20;
    Class2Rig f(true, o);
    f.setFax(f.dir + "/fax.plf");
    auto pages = test::writePatternFax(f.dir + "/fax.plf", {{60, false}, {70, true}, {40, true}});
    ASSERT_EQ(pages.size(), 3u);
    auto code = f.run();
    ASSERT_TRUE(code.has_value());
    EXPECT_EQ(*code, 0);
    EXPECT_EQ(f.logs, (std::vector<int>{lcTransmitStart, lcTransmitOk}));
    EXPECT_EQ(f.session->RemoteID(), "REMOTE 1");
    const std::string fcls = class20 ? "AT+FCLASS=2.0" : "AT+FCLASS=2";
    const std::string dis = class20 ? "AT+FIS=" : "AT+FDIS=";
    EXPECT_TRUE(f.sent(fcls));
    EXPECT_TRUE(f.sent(std::string(class20 ? "AT+FLI" : "AT+FLID") + "=\"PELLORA\""));
    EXPECT_TRUE(f.sent(dis + "0,3,0,2,0,0,0,0")) << "the first page's resolution, 9600, 1728";
    EXPECT_TRUE(f.sent(dis + "1")) << "the resolution changes before page 2";
    EXPECT_EQ(f.sent("AT+FLO=2"), class20);
    EXPECT_EQ(f.sent("AT+FNR=1,1,1,0"), class20);
    auto sentPages = f.modem->pages();
    ASSERT_EQ(sentPages.size(), 3u);
    if (class20) {
        EXPECT_EQ(sentPages[0].terminator, ';');
        EXPECT_EQ(sentPages[1].terminator, ',');
        EXPECT_EQ(sentPages[2].terminator, '.');
    } else {
        EXPECT_TRUE(f.sent("AT+FET=1"));
        EXPECT_TRUE(f.sent("AT+FET=0"));
        EXPECT_TRUE(f.sent("AT+FET=2"));
    }
    for (std::size_t p = 0; p < 3; ++p) EXPECT_TRUE(endsWith(decodeRows(sentPages[p].data), pages[p])) << p;
}

INSTANTIATE_TEST_SUITE_P(Classes, Class2Transmit, ::testing::Values(false, true),
                         [](const auto& p) { return std::string(p.param ? "Class20" : "Class2"); });

struct FailCase {
    const char* name;
    bool class20;
    ScriptOptions script;
    bool finePage;
    std::int64_t code;
    int pagesSent;
    bool dialled;
};

ScriptOptions script(bool class20, std::string errorOn = "", int reject = 0, bool fine = true,
                     std::string hangup = "0") {
    ScriptOptions o;
    o.lastHangup = std::move(hangup);
    o.class20 = class20;
    o.errorOn = std::move(errorOn);
    o.rejectPages = reject;
    o.remoteFine = fine;
    return o;
}

class Class2TransmitFails : public ::testing::TestWithParam<FailCase> {};

TEST_P(Class2TransmitFails, EndsAsTheModemSays) {
    const FailCase& c = GetParam();
    Class2Rig f(true, c.script);
    f.setFax(f.dir + "/fax.plf");
    ASSERT_EQ(test::writePatternFax(f.dir + "/fax.plf", {{30, c.finePage}}).size(), 1u);
    auto code = f.run();
    ASSERT_TRUE(code.has_value());
    EXPECT_EQ(*code, c.code);
    EXPECT_EQ(int(f.modem->pages().size()), c.pagesSent);
    EXPECT_EQ(f.sent("ATDT5551234"), c.dialled);
    EXPECT_EQ(f.logs.back(), c.code ? lcTransmitFail : lcTransmitOk);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, Class2TransmitFails,
    ::testing::Values(
        FailCase{"ParametersRefused", false, script(false, "AT+FDIS="), false, ecFaxInitError, 0, false},
        FailCase{"ParametersRefused20", true, script(true, "AT+FIS="), false, ecFaxInitError, 0, false},
        FailCase{"RejectedTwiceThenTaken", false, script(false, "", 2), false, 0, 3, true},
        FailCase{"RejectedThreeTimes", false, script(false, "", 3), false, ecFaxSessionError, 3, true},
        FailCase{"RejectedTwiceThenTaken20", true, script(true, "", 2), false, 0, 3, true},
        FailCase{"RejectedThreeTimes20", true, script(true, "", 3), false, ecFaxSessionError, 3, true},
        FailCase{"RemoteWithoutFine", false, script(false, "", 0, false), true, ecFaxBadMachine, 0, true},
        FailCase{"RemoteWithoutFine20", true, script(true, "", 0, false), true, ecFaxBadMachine, 0, true},
        // A hang-up code other than 0 after the last page: the call broke down.
        FailCase{"HangupCodeAfterLastPage", false, script(false, "", 0, true, "50"), false, ecFaxSessionError, 1, true},
        FailCase{"HangupCodeAfterLastPage20", true, script(true, "", 0, true, "50"), false, ecFaxSessionError, 1, true}),
    [](const auto& p) { return std::string(p.param.name); });

struct ReceiveCase {
    const char* name;
    bool class20;
    std::vector<char> fet;
    std::size_t files;
};

class Class2Receive : public ::testing::TestWithParam<ReceiveCase> {};

TEST_P(Class2Receive, StoresPagesAsSentAndSplitsDocuments) {
    const ReceiveCase& c = GetParam();
    // The coded pages as the caller sends them.
    std::vector<Rows> rows;
    ScriptOptions o;
    o.class20 = c.class20;
    o.fetCodes = c.fet;
    o.remoteId = "CALLER 7";
    for (std::size_t p = 0; p < c.fet.size(); ++p) {
        rows.push_back(test::patternPage(int(p), 50 + int(p) * 10));
        T4Encoder enc(1728, 0);
        std::vector<std::uint8_t> coded;
        for (auto& r : rows.back()) {
            auto l = enc.encodeLine(r);
            coded.insert(coded.end(), l.begin(), l.end());
        }
        auto eop = T4Encoder::endOfPage();
        coded.insert(coded.end(), eop.begin(), eop.end());
        o.pages.push_back(coded);
    }
    Class2Rig f(false, o);
    f.session->OneFax = true;
    auto code = f.run(true);
    ASSERT_TRUE(code.has_value());
    EXPECT_EQ(*code, 0);
    ASSERT_EQ(f.received.size(), c.files);
    std::vector<Rows> got;
    for (auto& name : f.received)
        for (auto& page : test::readPlfPages(name)) got.push_back(page);
    ASSERT_EQ(got.size(), rows.size());
    for (std::size_t p = 0; p < rows.size(); ++p) EXPECT_EQ(got[p], rows[p]) << "page " << p + 1;
    EXPECT_EQ(f.session->RemoteID(), "CALLER 7");
    EXPECT_TRUE(f.sent(c.class20 ? "AT+FCC=1,3,0,2,0,0,0,0" : "AT+FDCC=1,3,0,2,0,0,0,0"));
    EXPECT_EQ(f.logs.front(), lcReceiveStart);
    EXPECT_EQ(f.logs.back(), lcReceiveOk);
}

INSTANTIATE_TEST_SUITE_P(Cases, Class2Receive,
                         ::testing::Values(ReceiveCase{"Class2TwoPages", false, {'0', '2'}, 1},
                                           ReceiveCase{"Class20TwoPages", true, {'0', '2'}, 1},
                                           ReceiveCase{"Class2NewDocument", false, {'1', '2'}, 2}),
                         [](const auto& p) { return std::string(p.param.name); });

TEST(Class2ReceiveRefused, ARefusedCallIsEndedWithFksAndLoggedAsSkipped) {
    ScriptOptions o;
    o.pages = {{0x00, 0x80}};
    Class2Rig f(false, o);
    f.accept = false;
    f.session->options = afExitOnError;
    auto code = f.run(true);
    ASSERT_TRUE(code.has_value());
    EXPECT_EQ(*code, ecFileRejected);
    EXPECT_TRUE(f.sent("AT+FKS"));
    EXPECT_FALSE(f.sent("AT+FDR"));
    EXPECT_EQ(f.logs, (std::vector<int>{lcReceiveSkip}));
    EXPECT_TRUE(f.received.empty());
}

}  // namespace
}  // namespace pellora::fax
