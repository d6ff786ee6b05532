// The modem rig in-process and in simulated time: a TComPort talks AT to SpanDSP's T.31
// modem; dialling, ringing and the scripted faults behave as a real modem on a real line.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
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
    AtDte(SimClock& clock, ModemRig& rig, int modem = 0) : clock_(clock), port_(clock) {
        EXPECT_EQ(port_.open(modemsim::makeSimPortDevice(rig.serialLine(modem))), 0);
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

    // The next byte from the modem, or -1 when `waitMs` of simulated time passed first.
    int rawByte(ClockMs waitMs = 10000) {
        ClockMs end = clock_.now() + waitMs;
        for (;;) {
            port_.poll();
            if (port_.byteAvailable()) return port_.readByte();
            if (clock_.now() >= end) return -1;
            clock_.sleepFor(10);
        }
    }

    // Writes all of `data`, waiting while the port's buffer is full.
    void writeAll(const std::vector<std::uint8_t>& data) {
        for (std::size_t at = 0; at < data.size();) {
            int n = static_cast<int>(std::min<std::size_t>(256, data.size() - at));
            if (port_.write(data.data() + at, n) == 0) {
                at += static_cast<std::size_t>(n);
            } else {
                port_.poll();
                clock_.sleepFor(10);
            }
        }
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

// Our side of a Class 1 send, scripted: the far machine's frames arrive through +FRH, ours
// go out through +FTH, the training check and the page through +FTM.
class Class1Sender {
public:
    explicit Class1Sender(AtDte& dte) : dte_(dte) {}

    static constexpr std::uint8_t kDle = 0x10, kEtx = 0x03;

    // The frame after a CONNECT (without the checksum the modem may pass on), or empty when
    // none came or the modem said ERROR.
    std::vector<std::uint8_t> frame() {
        std::vector<std::uint8_t> f;
        int c;
        while ((c = dte_.rawByte()) != 0xFF)
            if (c < 0) return {};
        f.push_back(0xFF);
        for (;;) {
            c = dte_.rawByte();
            if (c < 0) return {};
            if (c == kDle) {
                c = dte_.rawByte();
                if (c == kEtx) break;
            }
            f.push_back(static_cast<std::uint8_t>(c));
        }
        if (last(dte_.lines(5000)) != "OK") return {};
        return f;
    }

    // Reads frames up to the final one; returns their control fields (without the X bit).
    std::vector<int> receiveFrames(bool connected) {
        std::vector<int> fcfs;
        for (;;) {
            if (!connected && last(dte_.command("AT+FRH=3", 30000)) != "CONNECT") return fcfs;
            connected = false;
            auto f = frame();
            if (f.size() < 3) return fcfs;
            fcfs.push_back(f[2] & 0xFE);
            if (f[1] & 0x10) return fcfs;  // the final frame
        }
    }

    bool sendFrame(std::vector<std::uint8_t> f) {
        if (last(dte_.command("AT+FTH=3", 10000)) != "CONNECT") return false;
        std::vector<std::uint8_t> out;
        for (auto b : f) {
            out.push_back(b);
            if (b == kDle) out.push_back(kDle);
        }
        out.push_back(kDle);
        out.push_back(kEtx);
        dte_.writeAll(out);
        return last(dte_.lines(10000)) == "OK";
    }

    // High-speed data at `rate` (bit/s), DLE-quoted and closed.
    bool sendData(int rate, const std::vector<std::uint8_t>& data) {
        if (last(dte_.command("AT+FTS=8", 5000)) != "OK") return false;
        if (last(dte_.command("AT+FTM=" + std::to_string(modulation(rate)), 10000)) != "CONNECT") return false;
        std::vector<std::uint8_t> out;
        for (auto b : data) {
            out.push_back(b);
            if (b == kDle) out.push_back(kDle);
        }
        out.push_back(kDle);
        out.push_back(kEtx);
        dte_.writeAll(out);
        return last(dte_.lines(60000)) == "OK";
    }

    // DCS for 1-D coding at normal resolution at `rate`, then the 1.5 s training check.
    // Returns the far machine's answer.
    int train(int rate) {
        std::uint8_t code = rate == 14400 ? 0x20 : rate == 12000 ? 0x28 : rate == 9600 ? 0x04 : 0x0C;
        if (!sendFrame({0xFF, 0x13, 0x83, 0x00, static_cast<std::uint8_t>(0x02 | code), 0x78})) return -1;
        if (!sendData(rate, std::vector<std::uint8_t>(static_cast<std::size_t>(rate * 3 / 16), 0))) return -1;
        auto answer = receiveFrames(false);
        return answer.empty() ? -1 : answer.back();
    }

    // A white page of `lines` 1-D coded lines and its RTC, then MPS or, for the last page,
    // EOP; returns the far machine's answer.
    int sendPage(int rate, int lines, bool lastPage) {
        std::vector<std::uint8_t> data;
        int bit = 0;
        auto put = [&](const char* bits) {
            for (const char* p = bits; *p; ++p, ++bit) {
                if (bit % 8 == 0) data.push_back(0);
                if (*p == '1') data.back() |= static_cast<std::uint8_t>(1 << (bit % 8));  // first bit first
            }
        };
        for (int i = 0; i < lines; ++i) put("000000000001" "010011011" "00110101");  // EOL, white 1728
        for (int i = 0; i < 6; ++i) put("000000000001");
        data.insert(data.end(), 50, 0);
        if (!sendData(rate, data)) return -1;
        if (!sendFrame({0xFF, 0x13, static_cast<std::uint8_t>(lastPage ? 0x2F : 0x4F)})) return -1;
        auto answer = receiveFrames(false);
        return answer.empty() ? -1 : answer.back();
    }

private:
    static int modulation(int rate) { return rate == 14400 ? 145 : rate == 12000 ? 121 : rate == 9600 ? 96 : 72; }
    AtDte& dte_;
};

constexpr int kDis = 0x80, kCfr = 0x84, kFtt = 0x44, kMcf = 0x8C, kRtn = 0x4C;

// Dials and reads the far machine's answer; true when DIS came.
bool callFarReceiver(AtDte& dte, Class1Sender& s) {
    if (last(dte.command("AT+FCLASS=1")) != "OK") return false;
    if (last(dte.command("ATD1", 60000)) != "CONNECT") return false;
    auto frames = s.receiveFrames(true);
    return !frames.empty() && frames.back() == kDis;
}

TEST(ModemRig, FarMachineFailsTrainingOnlyAtTheChosenRates) {
    RigOptions options;
    Fault ftt;
    ASSERT_TRUE(modemsim::parseFault("ftt:14400,9600", ftt));
    options.faults = {ftt};
    RigFixture f(options);
    Class1Sender s(*f.dte);
    ASSERT_TRUE(callFarReceiver(*f.dte, s));
    EXPECT_EQ(s.train(14400), kFtt);
    EXPECT_EQ(s.train(12000), kCfr) << "12000 is not among the faulty rates";
    EXPECT_EQ(s.train(14400), kFtt) << "every check at a chosen rate fails";
    EXPECT_EQ(s.train(9600), kFtt);
    EXPECT_EQ(s.train(12000), kCfr);
    EXPECT_EQ(s.sendPage(12000, 1500, true), kMcf) << "the page itself is not disturbed";
    EXPECT_NE(f.rig->farFrames().find(">DCS <FTT >DCS <CFR >DCS <FTT >DCS <FTT >DCS <CFR >EOP <MCF"),
              std::string::npos)
        << f.rig->farFrames();
}

TEST(ModemRig, FarMachineAnswersRtnToTheChosenPage) {
    for (int faultyPage : {0, 2}) {
        SCOPED_TRACE(faultyPage);
        RigOptions options;
        if (faultyPage) options.faults = {{FaultKind::Rtn, faultyPage, ""}};
        RigFixture f(options);
        Class1Sender s(*f.dte);
        ASSERT_TRUE(callFarReceiver(*f.dte, s));
        // 12000: a 19200 bit/s serial line feeds it without gaps.
        ASSERT_EQ(s.train(12000), kCfr);
        EXPECT_EQ(s.sendPage(12000, 1500, false), kMcf);
        EXPECT_EQ(s.sendPage(12000, 1500, true), faultyPage == 2 ? kRtn : kMcf);
    }
}

// Two modems back to back (modemsim --pair) in-process: both serial lines are there, the
// second modem rings when the first dials, and a frame crosses from the answering side.
TEST(ModemRig, PairedModemsCallEachOther) {
    SimClock clock;
    ClockThreadScope me{clock};
    RigOptions options;
    options.far = FarEnd::Modem;
    ModemRig rig(clock, options);
    ASSERT_NE(rig.serialLine(0), nullptr);
    ASSERT_NE(rig.serialLine(1), nullptr);
    EXPECT_NE(rig.serialLine(0), rig.serialLine(1));
    EXPECT_EQ(rig.serialLine(2), nullptr);
    AtDte caller(clock, rig, 0), callee(clock, rig, 1);
    rig.start();
    EXPECT_EQ(last(caller.command("AT+FCLASS=1")), "OK");
    EXPECT_EQ(last(callee.command("AT+FCLASS=1")), "OK");
    caller.command("ATD5551234", 0);
    auto rings = callee.lines(2500);
    ASSERT_EQ(rings.size(), 1u);
    EXPECT_EQ(rings[0], "RING");
    // The answering modem sends CED and then V.21 flags: CONNECT to send the first frame.
    EXPECT_EQ(last(callee.command("ATA", 30000)), "CONNECT");
    EXPECT_EQ(last(caller.lines(30000)), "CONNECT") << "the caller hears the flags";
    EXPECT_TRUE(caller.port().carrierDetect());
    EXPECT_TRUE(callee.port().carrierDetect());

    Class1Sender answering(callee), calling(caller);
    std::vector<std::uint8_t> csi = {0xFF, 0x13, 0x40};  // a final frame: OK, not CONNECT, follows
    for (char c : std::string("0010 555 1+          ")) csi.push_back(static_cast<std::uint8_t>(c));
    std::vector<std::uint8_t> out;
    for (auto b : csi) {
        out.push_back(b);
        if (b == Class1Sender::kDle) out.push_back(Class1Sender::kDle);
    }
    out.push_back(Class1Sender::kDle);
    out.push_back(Class1Sender::kEtx);
    callee.writeAll(out);
    EXPECT_EQ(last(callee.lines(10000)), "OK");
    auto frame = calling.frame();
    ASSERT_GE(frame.size(), csi.size());
    EXPECT_TRUE(std::equal(csi.begin(), csi.end(), frame.begin()));
    EXPECT_EQ(rig.callsConnected(), 1);

    EXPECT_EQ(last(caller.command("ATH", 10000)), "OK");
    EXPECT_EQ(last(callee.command("ATH", 10000)), "OK");
    callee.lines(1000);
    EXPECT_TRUE(rig.finished());
    EXPECT_TRUE(rig.faxOk()) << "a pair counts a call both sides hung up as done";
    rig.stop();
}

TEST(ModemRig, ParsesFaultDescriptions) {
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
        {"ftt:14400,9600", true, FaultKind::Ftt, 1, "14400,9600"},
        {"rtn", true, FaultKind::Rtn, 1, ""},
        {"rtn:3", true, FaultKind::Rtn, 3, ""},
        {"no-fine", true, FaultKind::NoFine, 1, ""},
        {"ftt", false, {}, 0, ""},
        {"ftt:14400,", false, {}, 0, ""},
        {"ftt:9000", false, {}, 0, ""},
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
