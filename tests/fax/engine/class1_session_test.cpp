// Class 1 sessions end to end through the modem rig, in simulated time: our engine sends to
// SpanDSP's fax machine and receives from it, and every page arrives pixel for pixel; the
// failures of the Class 1 procedure (FTT down to the lowest rate, RTN, DCN, a lost carrier,
// silence) each end as they should, with the files closed and the next call working.
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
#include "session_test_support.h"
#include "tools/modemsim/rig.h"

namespace pellora::fax {
namespace {

using modemsim::Fault;
using modemsim::FaultKind;
using modemsim::FarEnd;
using modemsim::ModemRig;
using modemsim::RigOptions;
using test::PageSpec;
using test::Rows;

struct Fax {
    std::string phone = "5551234";
    std::string file, cover;
};

// One session against the rig, with a component stand-in that hands over `faxes` one by one
// and names received files in the test's folder.
struct Class1Rig {
    SimClock clock;
    ClockThreadScope me{clock};
    std::string dir;
    std::unique_ptr<ModemRig> rig;
    TComPort port{clock};
    test::RecordingNotifier notifier{clock};
    std::unique_ptr<FaxSession> session;
    std::vector<Fax> faxes;
    std::size_t fed = 0;
    std::vector<std::string> received;  // names handed out
    std::vector<int> logs;
    bool accept = true;

    Class1Rig(bool transmitter, RigOptions options) {
        char tmpl[] = "/tmp/pellora-class1-XXXXXX";
        dir = ::mkdtemp(tmpl);
        if (options.tiff.empty()) options.tiff = dir + "/far.tif";
        rig = std::make_unique<ModemRig>(clock, options);
        EXPECT_EQ(port.open(modemsim::makeSimPortDevice(rig->serialLine())), 0);
        rig->start();
        session = std::make_unique<FaxSession>(transmitter, notifier);
        session->setPort(&port);
        session->FaxClass = fcClass1;
        notifier.setHandler([this](const Notification& n) -> std::int64_t {
            switch (n.message) {
                case kNotifyNextFax:
                    if (fed >= faxes.size()) return 0;
                    session->setNextFax(faxes[fed].phone, faxes[fed].file, faxes[fed].cover);
                    ++fed;
                    return 1;
                case kNotifyName:
                    received.push_back(dir + "/FAX" + std::to_string(received.size() + 1) + ".PLF");
                    session->setFaxFile(received.back());
                    return 0;
                case kNotifyAccept:
                    return accept ? 1 : 0;
                case kNotifyLog:
                    logs.push_back(int(n.payload));
                    return 0;
                default:
                    return 0;
            }
        });
    }
    ~Class1Rig() {
        session.reset();
        port.close();
        rig->stop();
        std::filesystem::remove_all(dir);
    }
    std::string far() const { return dir + "/far.tif"; }
    // Starts the run and waits (simulated time) for its end; the finish code.
    std::optional<std::int64_t> run(ClockMs limit = 15 * 60 * 1000) {
        int rc = session->start();
        if (rc != 0) return rc;
        if (!notifier.waitFinish(limit)) return std::nullopt;
        return notifier.finishCode();
    }
};

// The rows of `sent` must end the received page: above them come the header line's blank
// lines (and its text when there is one).
::testing::AssertionResult pageArrived(const Rows& got, const Rows& sent) {
    if (got.size() < sent.size())
        return ::testing::AssertionFailure() << "got " << got.size() << " rows, sent " << sent.size();
    std::size_t top = got.size() - sent.size();
    for (std::size_t i = 0; i < sent.size(); ++i)
        if (got[top + i] != sent[i]) return ::testing::AssertionFailure() << "row " << i << " differs";
    return ::testing::AssertionSuccess();
}

struct SendCase {
    const char* name;
    long desiredBps;
    std::vector<PageSpec> pages;
    long expectBps;
};

class Class1Send : public ::testing::TestWithParam<SendCase> {};

TEST_P(Class1Send, PagesArriveInTheFarMachinePixelForPixel) {
    const SendCase& c = GetParam();
    Class1Rig f(true, RigOptions{});
    auto sent = test::writePatternFax(f.dir + "/fax.plf", c.pages);
    ASSERT_EQ(sent.size(), c.pages.size());
    f.faxes = {{"5551234", f.dir + "/fax.plf", ""}};
    f.session->DesiredBPS = c.desiredBps;
    f.session->StationID = "pellora test";
    auto code = f.run();
    ASSERT_TRUE(code.has_value()) << "the run did not end";
    EXPECT_EQ(*code, 0);
    EXPECT_TRUE(f.notifier.payloads(kNotifyError).empty());
    EXPECT_EQ(f.session->ConnectBPS(), c.expectBps);
    EXPECT_TRUE(f.rig->faxOk()) << f.rig->farResult();
    auto got = test::readTiffPages(f.far());
    ASSERT_EQ(got.size(), sent.size()) << f.rig->farFrames();
    for (std::size_t p = 0; p < sent.size(); ++p) EXPECT_TRUE(pageArrived(got[p], sent[p])) << "page " << p + 1;
    EXPECT_EQ(f.logs, (std::vector<int>{lcTransmitStart, lcTransmitOk}));
}

INSTANTIATE_TEST_SUITE_P(
    Rates, Class1Send,
    ::testing::Values(SendCase{"OnePage9600", 9600, {{120, false}}, 9600},
                      SendCase{"TwoPagesFine14400", 14400, {{150, true}, {150, true}}, 14400},
                      SendCase{"ThreePages4800", 4800, {{60, false}, {60, false}, {60, false}}, 4800},
                      SendCase{"OnePage2400", 2400, {{40, false}}, 2400}),
    [](const auto& p) { return std::string(p.param.name); });

}  // namespace
}  // namespace pellora::fax
