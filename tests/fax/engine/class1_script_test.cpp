// Class 1 receive failures against a scripted caller, in simulated time: a caller that never
// sends DCS, training checks of a chosen quality (good below 10 % non-zero bytes, FTT at 10 %,
// -8062 at the lowest rate), a caller that disconnects before the end of the document, and an
// answer that never connects.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "fax/engine/com_port.h"
#include "fax/engine/session_core.h"
#include "fax/engine/t30_frames.h"
#include "fax/image/plf.h"
#include "scripted_class1_modem.h"
#include "session_test_support.h"

namespace pellora::fax {
namespace {

using test::ScriptedClass1Modem;
using Frames = std::vector<std::vector<std::uint8_t>>;

std::vector<std::uint8_t> frame(std::uint8_t fcf, std::span<const std::uint8_t> fif = {}) {
    return frameBytes(fcf, true, fif);
}

// TSI and DCS (9600, or `rateIndex`) as a caller sends them.
Frames tsiAndDcs(int rateIndex = 4) {
    auto id = stationIdFif("CALLER");
    auto dcs = dcsFif(rateIndex, false, false, 5);
    return {frameBytes(fcfTSI | 1, false, id), frame(fcfDCS | 1, dcs)};
}

// Training data: `total` bytes of which `nonZero` are not zero.
std::vector<std::uint8_t> training(int total, int nonZero) {
    std::vector<std::uint8_t> t(std::size_t(total), 0);
    for (int i = 0; i < nonZero; ++i) t[std::size_t(i) * std::size_t(total / std::max(nonZero, 1))] = 0x5A;
    return t;
}

struct ScriptRun {
    SimClock clock;
    ClockThreadScope me{clock};
    std::string dir;
    std::shared_ptr<modemsim::SimSerialLine> line = std::make_shared<modemsim::SimSerialLine>(clock);
    std::unique_ptr<ScriptedClass1Modem> modem;
    TComPort port{clock};
    test::RecordingNotifier notifier{clock};
    std::unique_ptr<FaxSession> session;
    std::string faxFile;  // a transmit run sends it once
    bool handedOver = false;
    std::vector<int> logs;

    ScriptRun(ScriptedClass1Modem::FrameScript frames, ScriptedClass1Modem::DataScript data, bool answer = true,
              bool transmitter = false) {
        char tmpl[] = "/tmp/pellora-class1-script-XXXXXX";
        dir = ::mkdtemp(tmpl);
        modem = std::make_unique<ScriptedClass1Modem>(clock, line, std::move(frames), std::move(data), answer);
        EXPECT_EQ(port.open(modemsim::makeSimPortDevice(line)), 0);
        session = std::make_unique<FaxSession>(transmitter, notifier);
        session->setPort(&port);
        session->FaxClass = fcClass1;
        session->options = afExitOnError;
        notifier.setHandler([this](const Notification& n) -> std::int64_t {
            if (n.message == kNotifyName) session->setFaxFile(dir + "/FAX0001.PLF");
            if (n.message == kNotifyAccept) return 1;
            if (n.message == kNotifyLog) logs.push_back(int(n.payload));
            if (n.message == kNotifyNextFax && !faxFile.empty() && !handedOver) {
                handedOver = true;
                session->setNextFax("5551234", faxFile, "");
                return 1;
            }
            return 0;
        });
    }
    ~ScriptRun() {
        session.reset();
        port.close();
        modem.reset();
        std::filesystem::remove_all(dir);
    }
    std::optional<std::int64_t> run() {
        if (int rc = session->start()) return rc;
        if (!session->isTransmitter()) modem->ring();
        if (!notifier.waitFinish(20 * 60 * 1000)) return std::nullopt;
        return notifier.finishCode();
    }
    std::size_t sent(std::uint8_t fcf) {
        auto f = modem->sentFrames();
        return std::size_t(std::count_if(f.begin(), f.end(), [&](std::uint8_t x) { return (x & 0xFE) == fcf; }));
    }
};

TEST(Class1ReceiveScript, NoDcsAfterDisSendsDisThreeTimesMoreThenGivesUp) {
    ScriptRun r([](int) { return Frames{}; }, [](const std::string&, int) { return std::vector<std::uint8_t>{}; });
    auto code = r.run();
    ASSERT_TRUE(code.has_value());
    EXPECT_EQ(*code, ecFatalTimeout);
    EXPECT_EQ(r.sent(fcfDIS), 4u) << "the first DIS and three more";
    EXPECT_EQ(r.sent(fcfCSI), 4u);
}

struct TrainingCase {
    const char* name;
    int rateIndex;
    int nonZeroPercent;
    std::size_t cfr, ftt;
    std::int64_t code;
};

class Class1Training : public ::testing::TestWithParam<TrainingCase> {};

TEST_P(Class1Training, JudgesTheTrainingCheck) {
    const TrainingCase& c = GetParam();
    // The caller sends TSI and DCS once; after the verdict it hangs up with DCN.
    ScriptRun r(
        [&](int n) { return n == 0 ? tsiAndDcs(c.rateIndex) : Frames{frame(fcfDCN | 1)}; },
        [&](const std::string&, int n) {
            return n == 0 ? training(1000, c.nonZeroPercent * 10) : std::vector<std::uint8_t>{};
        });
    auto code = r.run();
    ASSERT_TRUE(code.has_value());
    EXPECT_EQ(*code, c.code);
    EXPECT_EQ(r.sent(fcfCFR), c.cfr);
    EXPECT_EQ(r.sent(fcfFTT), c.ftt);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, Class1Training,
    // After a good training the scripted caller goes quiet (no page): a time-out; after a bad
    // one it hangs up (DCN).
    ::testing::Values(TrainingCase{"FivePercentIsGood", 4, 5, 1, 0, ecFatalTimeout},
                      TrainingCase{"TenPercentIsBad", 4, 10, 0, 1, ecCancelRequested},
                      TrainingCase{"BadAtTheLowestRateEndsTheCall", 1, 50, 0, 1, ecFaxTrainError}),
    [](const auto& p) { return std::string(p.param.name); });

TEST(Class1ReceiveScript, ADcnBeforeTheEndOfTheDocumentIsACancel) {
    // A page, then the caller disconnects instead of sending its post-page message.
    std::vector<std::uint8_t> page(200, 0);
    page[0] = 0x00, page[1] = 0x80;  // an EOL
    ScriptRun r([](int n) { return n == 0 ? tsiAndDcs() : Frames{frame(fcfDCN | 1)}; },
                [&](const std::string&, int n) { return n == 0 ? training(1000, 0) : n == 1 ? page : std::vector<std::uint8_t>{}; });
    auto code = r.run();
    ASSERT_TRUE(code.has_value());
    EXPECT_EQ(*code, ecCancelRequested);
    EXPECT_EQ(r.sent(fcfCFR), 1u);
    EXPECT_EQ(r.sent(fcfMCF), 0u);
    // The page that did arrive is kept in a readable file.
    PlfReader file;
    ASSERT_EQ(file.open(r.dir + "/FAX0001.PLF"), 0);
    EXPECT_EQ(file.header().pageCount, 1);
}

TEST(Class1ReceiveScript, AnAnswerThatNeverConnectsTimesOut) {
    ScriptRun r([](int) { return Frames{}; }, [](const std::string&, int) { return std::vector<std::uint8_t>{}; },
                false);
    r.session->setDialWait(20);
    ClockMs before = r.clock.now();
    auto code = r.run();
    ASSERT_TRUE(code.has_value());
    EXPECT_EQ(*code, ecFatalTimeout);
    EXPECT_EQ(r.sent(fcfCSI), 0u);
    EXPECT_GE(r.clock.now() - before, 20000);
}

TEST(Class1TransmitScript, AModemThatDoesNotAnswerAthIsHungUpAndTheFaxStillCounts) {
    // The answering machine: CSI and DIS after the dial, CFR after the training, MCF after
    // the page.
    auto csi = stationIdFif("REMOTE");
    auto dis = disFif(4);
    ScriptRun r(
        [&](int n) -> Frames {
            if (n == 0) return {frameBytes(fcfCSI, false, csi), frame(fcfDIS, dis)};
            if (n == 1) return {frame(fcfCFR)};
            return {frame(fcfMCF)};
        },
        [](const std::string&, int) { return std::vector<std::uint8_t>{}; }, true, true);
    r.faxFile = r.dir + "/fax.plf";
    {
        PlfWriter w;
        ASSERT_EQ(w.create(r.faxFile), 0);
        std::uint8_t eol[2] = {0x00, 0x80};
        ASSERT_EQ(w.writeLine(eol), 0);
        ASSERT_EQ(w.endPage(), 0);
        ASSERT_EQ(w.close(), 0);
    }
    r.modem->ignoreHangUp();
    auto code = r.run();
    ASSERT_TRUE(code.has_value());
    EXPECT_EQ(*code, 0);
    EXPECT_EQ(r.logs, (std::vector<int>{lcTransmitStart, lcTransmitOk}));
    EXPECT_EQ(r.sent(fcfDCN), 1u);
}

}  // namespace
}  // namespace pellora::fax
