// The modem rig in-process and in simulated time: a TComPort talks AT to SpanDSP's T.31
// modem; dialling, ringing and the scripted faults behave as a real modem on a real line.
#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "fax/engine/com_port.h"
#include "tools/modemsim/rig.h"

namespace pellora::fax {
namespace {

using modemsim::Fault;
using modemsim::FarEnd;
using modemsim::FaultKind;
using modemsim::ModemRig;
using modemsim::RigOptions;

// A DTE that speaks AT through a TComPort, reading synchronously in simulated time.
class AtDte {
public:
    AtDte(SimClock& clock, ModemRig& rig) : clock_(clock), port_(clock) {
        EXPECT_EQ(port_.open(modemsim::makeSimPortDevice(rig.serialLine())), 0);
    }

    // Sends the command (with CR) and returns the lines up to a final result code, or all
    // lines seen when `waitMs` of simulated time passed first.
    std::vector<std::string> command(const std::string& cmd, ClockMs waitMs = 5000) {
        if (!cmd.empty()) port_.write(cmd + "\r");
        return lines(waitMs);
    }

    std::vector<std::string> lines(ClockMs waitMs) {
        std::vector<std::string> out;
        ClockMs end = clock_.now() + waitMs;
        while (clock_.now() < end) {
            port_.poll();
            while (port_.byteAvailable()) {
                char c = static_cast<char>(port_.readByte());
                raw_ += c;
                if (c == '\n' || c == '\r') {
                    if (!line_.empty()) out.push_back(line_);
                    line_.clear();
                    if (!out.empty() && isFinal(out.back())) return out;
                } else {
                    line_ += c;
                }
            }
            clock_.sleepFor(10);
        }
        return out;
    }

    const std::string& raw() const { return raw_; }
    TComPort& port() { return port_; }

    static bool isFinal(const std::string& l) {
        for (const char* r : {"OK", "ERROR", "CONNECT", "NO CARRIER", "BUSY", "NO DIALTONE",
                              "NO ANSWER", "VOICE"})
            if (l == r) return true;
        return false;
    }

private:
    SimClock& clock_;
    TComPort port_;
    std::string line_, raw_;
};

std::string last(const std::vector<std::string>& lines) { return lines.empty() ? "" : lines.back(); }

struct RigFixture {
    SimClock clock;
    ClockThreadScope me{clock};  // simulated time waits for this thread too
    std::unique_ptr<ModemRig> rig;
    std::unique_ptr<AtDte> dte;
    explicit RigFixture(RigOptions options) {
        if (options.tiff.empty()) options.tiff = "/tmp/pellora-rig-test.tif";
        rig = std::make_unique<ModemRig>(clock, options);
        dte = std::make_unique<AtDte>(clock, *rig);
        rig->start();
    }
    ~RigFixture() {
        dte.reset();
        rig->stop();
    }
};

TEST(ModemRig, AnswersIdentificationAndListsItsFaxClasses) {
    auto real = std::chrono::steady_clock::now();
    RigFixture f(RigOptions{});
    auto id = f.dte->command("ATI");
    EXPECT_EQ(last(id), "OK");
    EXPECT_GE(id.size(), 2u) << "an identification line comes before OK";
    // Echo is on until ATE0, as on a real modem.
    auto classes = f.dte->command("AT+FCLASS=?");
    ASSERT_EQ(classes.size(), 3u);
    EXPECT_EQ(classes[0], "AT+FCLASS=?");
    EXPECT_EQ(classes[1], "0,1,1.0");
    EXPECT_EQ(classes[2], "OK");
    EXPECT_EQ(last(f.dte->command("ATE0Q0V1X4S0=0S2=43")), "OK");
    classes = f.dte->command("AT+FCLASS=?");
    ASSERT_EQ(classes.size(), 2u);
    EXPECT_EQ(classes[0], "0,1,1.0");
    EXPECT_EQ(last(f.dte->command("AT+FCLASS=1")), "OK");
    auto rates = f.dte->command("AT+FTM=?");
    ASSERT_EQ(rates.size(), 2u);
    for (const char* r : {"24", "48", "72", "96", "121", "145"})
        EXPECT_NE(rates[0].find(r), std::string::npos) << rates[0];
    EXPECT_EQ(last(f.dte->command("AT+FCLASS=1.0")), "OK");
    EXPECT_EQ(last(f.dte->command("ATX")), "OK");  // unknown letters alone are harmless
    EXPECT_EQ(last(f.dte->command("AT+FCLASS=7")), "ERROR");  // no such class
    // Simulated time: a minute of quiet line costs almost no real time.
    ClockMs before = f.clock.now();
    f.dte->lines(60000);
    EXPECT_GE(f.clock.now() - before, 60000);
    EXPECT_LT(std::chrono::steady_clock::now() - real, std::chrono::seconds(20));
}

TEST(ModemRig, DiallingMeetsTheFarFaxMachine) {
    RigFixture f(RigOptions{});
    EXPECT_EQ(last(f.dte->command("AT+FCLASS=1")), "OK");
    ClockMs start = f.clock.now();
    EXPECT_FALSE(f.dte->port().carrierDetect());
    // Class 1 reports CONNECT once the answering machine's V.21 flags arrive.
    EXPECT_EQ(last(f.dte->command("ATDT5551234", 60000)), "CONNECT");
    EXPECT_GT(f.clock.now() - start, 1000) << "an answer takes time";
    EXPECT_TRUE(f.dte->port().carrierDetect());
    EXPECT_EQ(f.rig->callsConnected(), 1);
}

struct FaultCase {
    const char* name;
    std::vector<Fault> faults;
    std::vector<std::pair<std::string, std::string>> exchange;  // command, final result
};

class ModemRigFaults : public ::testing::TestWithParam<FaultCase> {};

TEST_P(ModemRigFaults, PlayTheScriptedFault) {
    RigOptions options;
    options.faults = GetParam().faults;
    RigFixture f(options);
    for (const auto& [cmd, result] : GetParam().exchange)
        EXPECT_EQ(last(f.dte->command(cmd, 90000)), result) << cmd;
}

INSTANTIATE_TEST_SUITE_P(
    Faults, ModemRigFaults,
    ::testing::Values(
        FaultCase{"Busy",
                  {{FaultKind::Busy, 2, ""}},
                  {{"AT+FCLASS=1", "OK"}, {"ATD1", "BUSY"}, {"ATD1", "BUSY"}, {"ATD1", "CONNECT"}}},
        FaultCase{"NoDialTone", {{FaultKind::NoDialTone, 1, ""}}, {{"AT+FCLASS=1", "OK"}, {"ATD1", "NO DIALTONE"}}},
        FaultCase{"NoAnswer", {{FaultKind::NoAnswer, 1, ""}}, {{"AT+FCLASS=1", "OK"}, {"ATD1", "NO ANSWER"}}},
        FaultCase{"Voice", {{FaultKind::Voice, 1, ""}}, {{"AT+FCLASS=1", "OK"}, {"ATD1", "VOICE"}, {"AT", "OK"}}},
        FaultCase{"NoCarrier", {{FaultKind::NoCarrier, 1, ""}}, {{"AT+FCLASS=1", "OK"}, {"ATD1", "NO CARRIER"}, {"AT", "OK"}}},
        FaultCase{"ErrorOnOneCommand",
                  {{FaultKind::Error, 1, "AT+FCLASS=1"}},
                  {{"AT+FCLASS=0", "OK"}, {"at+fclass = 1", "ERROR"}, {"AT+FCLASS=1.0", "ERROR"},
                   {"ATI", "OK"}}}),
    [](const auto& p) { return std::string(p.param.name); });

TEST(ModemRig, GarbageBytesComeBeforeTheFirstAnswer) {
    RigOptions options;
    options.faults = {{FaultKind::Garbage, 40, ""}};
    RigFixture f(options);
    EXPECT_EQ(last(f.dte->command("AT")), "OK");
    EXPECT_GE(f.dte->raw().size(), 40u + 4u);
    EXPECT_EQ(last(f.dte->command("AT")), "OK");
}

TEST(ModemRig, AnIncomingCallRingsUntilAnswered) {
    RigOptions options;
    options.far = FarEnd::Send;
    options.tiff = "/nonexistent.tif";  // never read: the test hangs up after the answer
    options.rings = 4;
    RigFixture f(options);
    EXPECT_EQ(last(f.dte->command("AT+FCLASS=1")), "OK");
    auto rings = f.dte->lines(6500);  // rings at 1 s, 4 s, 7 s, ...
    EXPECT_EQ(rings.size(), 2u);
    for (auto& r : rings) EXPECT_EQ(r, "RING");
    EXPECT_EQ(last(f.dte->command("ATA", 30000)), "CONNECT");
    EXPECT_TRUE(f.dte->port().carrierDetect());
    EXPECT_EQ(f.rig->callsConnected(), 1);
}

TEST(ModemRig, ParsesFaultSpecifications) {
    struct Case {
        const char* given;
        bool ok;
        FaultKind kind;
        int count;
        const char* text;
    };
    const Case cases[] = {
        {"busy", true, FaultKind::Busy, 1, ""},
        {"busy:3", true, FaultKind::Busy, 3, ""},
        {"error:at+fclass=1", true, FaultKind::Error, 1, "AT+FCLASS=1"},
        {"carrier-lost:2", true, FaultKind::CarrierLost, 2, ""},
        {"garbage", true, FaultKind::Garbage, 32, ""},
        {"busy:0", false, {}, 0, ""},
        {"busy:x", false, {}, 0, ""},
        {"error", false, {}, 0, ""},
        {"thunder", false, {}, 0, ""},
    };
    for (const Case& c : cases) {
        Fault f{};
        ASSERT_EQ(modemsim::parseFault(c.given, f), c.ok) << c.given;
        if (!c.ok) continue;
        EXPECT_EQ(f.kind, c.kind) << c.given;
        EXPECT_EQ(f.count, c.count) << c.given;
        EXPECT_EQ(f.text, c.text) << c.given;
    }
}

}  // namespace
}  // namespace pellora::fax
