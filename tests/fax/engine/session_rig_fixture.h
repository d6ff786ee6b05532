// A fax session against the modem rig in simulated time, with a component stand-in that
// hands over the faxes of a run one by one and names received files in the test's folder.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "fax/engine/com_port.h"
#include "fax/engine/session_core.h"
#include "fax_pages.h"
#include "session_test_support.h"
#include "tools/modemsim/rig.h"

namespace pellora::fax::test {

using modemsim::ModemRig;
using modemsim::RigOptions;

struct Fax {
    std::string phone = "5551234";
    std::string file, cover;
};

// What a component does for its session in these tests: hands over `faxes` one by one, names
// received files in the test's folder, takes or refuses calls, and records the log codes.
struct ComponentStandIn {
    std::string dir;
    std::vector<Fax> faxes;
    std::size_t fed = 0;
    std::vector<std::string> received;  // names handed out
    std::vector<int> logs;
    bool accept = true;

    void install(RecordingNotifier& notifier, FaxSession& session) {
        notifier.setHandler([this, &session](const Notification& n) -> std::int64_t {
            switch (n.message) {
                case kNotifyNextFax:
                    if (fed >= faxes.size()) return 0;
                    session.setNextFax(faxes[fed].phone, faxes[fed].file, faxes[fed].cover);
                    ++fed;
                    return 1;
                case kNotifyName:
                    received.push_back(dir + "/FAX" + std::to_string(received.size() + 1) + ".PLF");
                    session.setFaxFile(received.back());
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
};

// One session against the rig, with the component stand-in.
struct RigSession : ComponentStandIn {
    SimClock clock;
    ClockThreadScope me{clock};
    std::unique_ptr<ModemRig> rig;
    TComPort port{clock};
    RecordingNotifier notifier{clock};
    std::unique_ptr<FaxSession> session;

    RigSession(bool transmitter, RigOptions options) {
        char tmpl[] = "/tmp/pellora-session-XXXXXX";
        dir = ::mkdtemp(tmpl);
        if (options.tiff.empty()) options.tiff = dir + "/far.tif";
        rig = std::make_unique<ModemRig>(clock, options);
        EXPECT_EQ(port.open(modemsim::makeSimPortDevice(rig->serialLine())), 0);
        rig->start();
        session = std::make_unique<FaxSession>(transmitter, notifier);
        session->setPort(&port);
        session->FaxClass = options.modemClass == 2 ? fcClass2 : options.modemClass == 20 ? fcClass2_0 : fcClass1;
        install(notifier, *session);
    }
    ~RigSession() {
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
        // The far machine finishes its own end of the call a moment later.
        for (int i = 0; i < 300 && !rig->finished(); ++i) clock.sleepFor(100);
        return notifier.finishCode();
    }
};

// The rows of `sent` must end the received page: above them come the header line's blank
// lines (and its text when there is one).
inline ::testing::AssertionResult pageArrived(const Rows& got, const Rows& sent) {
    if (got.size() < sent.size())
        return ::testing::AssertionFailure() << "got " << got.size() << " rows, sent " << sent.size();
    std::size_t top = got.size() - sent.size();
    for (std::size_t i = 0; i < sent.size(); ++i)
        if (got[top + i] != sent[i]) return ::testing::AssertionFailure() << "row " << i << " differs";
    return ::testing::AssertionSuccess();
}

}  // namespace pellora::fax::test
