#include "tools/modemsim/rig.h"

#include <algorithm>
#include <atomic>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <future>

// The rig reads the T.31 modem's AT mode to tell commands from data; SpanDSP keeps it in its
// private structures.
#define SPANDSP_EXPOSE_INTERNAL_STRUCTURES
#include <spandsp.h>

namespace pellora::modemsim {

namespace {

constexpr int kSamples = 160;  // 20 ms at 8000 samples a second
constexpr ClockMs kStepMs = 20;

std::string upperNoBlanks(const std::string& s) {
    std::string out;
    for (char c : s)
        if (c != ' ') out += static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return out;
}

}  // namespace

std::vector<int> rateList(const std::string& text) {
    // Fast modems' rates, comma separated: 2400 to 14400. Empty when any is not one.
    std::vector<int> rates;
    std::size_t at = 0;
    while (at <= text.size()) {
        std::size_t comma = std::min(text.find(',', at), text.size());
        std::string item = text.substr(at, comma - at);
        char* end = nullptr;
        long rate = std::strtol(item.c_str(), &end, 10);
        if (item.empty() || *end != '\0' || rate < 2400 || rate > 14400 || rate % 2400 != 0) return {};
        rates.push_back(static_cast<int>(rate));
        at = comma + 1;
    }
    return rates;
}

bool parseFault(const std::string& description, Fault& out) {
    std::string name = description, arg;
    if (auto colon = description.find(':'); colon != std::string::npos) {
        name = description.substr(0, colon);
        arg = description.substr(colon + 1);
    }
    struct Entry {
        const char* name;
        FaultKind kind;
        bool needsArg;
    };
    static const Entry table[] = {
        {"busy", FaultKind::Busy, false},         {"no-dial-tone", FaultKind::NoDialTone, false},
        {"voice", FaultKind::Voice, false},       {"no-carrier", FaultKind::NoCarrier, false},
        {"no-answer", FaultKind::NoAnswer, false}, {"error", FaultKind::Error, true},
        {"silence", FaultKind::Silence, false},   {"carrier-lost", FaultKind::CarrierLost, false},
        {"dcn", FaultKind::Dcn, false},           {"garbage", FaultKind::Garbage, false},
        {"ftt", FaultKind::Ftt, true},            {"rtn", FaultKind::Rtn, false},
    };
    for (const Entry& e : table) {
        if (name != e.name) continue;
        Fault f{e.kind, 1, {}};
        if (e.kind == FaultKind::Error) {
            if (arg.empty()) return false;
            f.text = upperNoBlanks(arg);
        } else if (e.kind == FaultKind::Ftt) {
            if (rateList(arg).empty()) return false;
            f.text = arg;
        } else if (!arg.empty()) {
            char* end = nullptr;
            long n = std::strtol(arg.c_str(), &end, 10);
            if (*end != '\0' || n < 1 || n > 100000) return false;
            f.count = static_cast<int>(n);
        } else if (e.kind == FaultKind::Garbage) {
            f.count = 32;
        }
        out = f;
        return true;
    }
    return false;
}

// --- SimSerialLine ----------------------------------------------------------------------

int SimSerialLine::takeFromDte(std::uint8_t* buffer, int max) {
    std::lock_guard lock(mutex_);
    bool wasFull = toModem_.size() >= kDeviceBuffer;
    int n = std::min<int>(max, static_cast<int>(toModem_.size()));
    std::copy_n(toModem_.begin(), n, buffer);
    toModem_.erase(toModem_.begin(), toModem_.begin() + n);
    if (n > 0 && (wasFull || toModem_.empty())) clock_.wake(portWakeup_);
    return n;
}

void SimSerialLine::giveToDte(const std::uint8_t* data, int length) {
    if (length <= 0) return;
    {
        std::lock_guard lock(mutex_);
        toDte_.insert(toDte_.end(), data, data + length);
    }
    clock_.wake(portWakeup_);
}

void SimSerialLine::setModemLines(bool dcd, bool cts, bool ri) {
    {
        std::lock_guard lock(mutex_);
        fax::ModemLines next{.dcd = dcd, .cts = cts, .dsr = true, .ri = ri};
        if (next == lines_) return;
        lines_ = next;
    }
    clock_.wake(portWakeup_);
}

bool SimSerialLine::dtr() {
    std::lock_guard lock(mutex_);
    return dtr_;
}

int SimSerialLine::portRead(std::uint8_t* buffer, int max) {
    std::lock_guard lock(mutex_);
    int n = std::min<int>(max, static_cast<int>(toDte_.size()));
    std::copy_n(toDte_.begin(), n, buffer);
    toDte_.erase(toDte_.begin(), toDte_.begin() + n);
    return n;
}

int SimSerialLine::portWrite(const std::uint8_t* data, int length) {
    std::lock_guard lock(mutex_);
    int n = std::min<int>(length, static_cast<int>(kDeviceBuffer - std::min(kDeviceBuffer, toModem_.size())));
    toModem_.insert(toModem_.end(), data, data + n);
    return n;
}

int SimSerialLine::portPending() {
    std::lock_guard lock(mutex_);
    return static_cast<int>(toModem_.size());
}

void SimSerialLine::portSetLines(bool dtr, bool) {
    std::lock_guard lock(mutex_);
    dtr_ = dtr;
}

fax::ModemLines SimSerialLine::portLines() {
    std::lock_guard lock(mutex_);
    return lines_;
}

void SimSerialLine::portDiscardInput() {
    std::lock_guard lock(mutex_);
    toDte_.clear();
}

void SimSerialLine::portDiscardOutput() {
    std::lock_guard lock(mutex_);
    toModem_.clear();
}

void SimSerialLine::portWait(Clock& clock, ClockMs deadline) {
    {
        std::lock_guard lock(mutex_);
        if (!toDte_.empty()) return;
    }
    clock.waitUntil(portWakeup_, deadline);
}

void SimSerialLine::portWake() { clock_.wake(portWakeup_); }

namespace {

class SimPortDevice final : public fax::PortDevice {
public:
    explicit SimPortDevice(std::shared_ptr<SimSerialLine> line) : line_(std::move(line)) {}
    int read(std::uint8_t* buffer, int max) override { return line_->portRead(buffer, max); }
    int write(const std::uint8_t* data, int length) override { return line_->portWrite(data, length); }
    int pendingOutput() override { return line_->portPending(); }
    void setLines(bool dtr, bool rts) override { line_->portSetLines(dtr, rts); }
    fax::ModemLines lines() override { return line_->portLines(); }
    int setBaud(long) override { return 0; }
    bool setHardwareFlow(bool) override { return false; }  // the port watches CTS itself
    void discardInput() override { line_->portDiscardInput(); }
    void discardOutput() override { line_->portDiscardOutput(); }
    void wait(Clock& clock, ClockMs deadline, bool) override { line_->portWait(clock, deadline); }
    void wake() override { line_->portWake(); }

private:
    std::shared_ptr<SimSerialLine> line_;
};

}  // namespace

std::unique_ptr<fax::PortDevice> makeSimPortDevice(std::shared_ptr<SimSerialLine> line) {
    return std::make_unique<SimPortDevice>(std::move(line));
}

// --- the rig ------------------------------------------------------------------------------

namespace {

enum class CallState { Idle, Dialling, Incoming, Connected, Ended };

}  // namespace

struct SimModem {
    ModemRig::Impl* rig = nullptr;
    int index = 0;
    t31_state_t* t31 = nullptr;
    std::shared_ptr<DteLink> link;
    bool cts = true;
    bool dcd = false;
    bool ri = false;
    bool lastDtr = true;
    bool offHook = false;
    bool hungUpAfterCall = false;
    std::string command;  // a command line held back until its CR (scripted ERROR)
    bool garbageDone = false;
    double serialCredit = 0;

    bool inCommandMode() const {
        int mode = t31->at_state.at_rx_mode;
        return mode == AT_MODE_ONHOOK_COMMAND || mode == AT_MODE_OFFHOOK_COMMAND;
    }
};

struct FarFax {
    fax_state_t* fax = nullptr;
    bool done = false;
    int result = -1;
    int pages = 0;
    int pageStarts = 0;  // CFR and MCF frames before page data
};

struct ModemRig::Impl {
    Clock& clock;
    RigOptions options;
    double speed;
    std::shared_ptr<SimSerialLine> simLines[2];
    SimModem modems[2];
    int modemCount = 1;
    std::unique_ptr<FarFax> far;
    bool farSilent = false;
    std::string farFrameLog;
    // A scripted disturbance of the next fast-modem burst our modem sends (a training check
    // or a page): after the burst's training the far machine hears only noise.
    bool spoilNextBurst = false;
    ClockMs burstAt = -1;  // when the burst being spoilt began
    ClockMs burstLead = 0;
    std::uint32_t noiseSeed = 1;

    CallState state = CallState::Idle;
    int caller = 0;           // which modem placed the call (modem-pair mode)
    ClockMs eventAt = 0;      // when the pending call event happens
    int pendingEvent = 0;     // AT_CALL_EVENT_* to deliver at eventAt (0 = none)
    int ringsLeft = 0;
    ClockMs nextRing = 0;
    int busyLeft = 0;
    bool lineCut = false;
    ClockMs cutAt = -1;
    ClockMs farDoneAt = -1;
    int connected = 0;

    ClockMs now = 0;  // rig time: 20 ms a step
    std::thread thread;
    std::atomic<bool> stopFlag{false};
    fax::Wakeup stopWakeup;
    mutable std::mutex mutex;
    bool finished = false;
    bool ok = false;
    std::string farText;

    Impl(Clock& c, RigOptions o, double s) : clock(c), options(std::move(o)), speed(s) {}

    const Fault* fault(FaultKind kind) const {
        for (const Fault& f : options.faults)
            if (f.kind == kind) return &f;
        return nullptr;
    }

    // --- SpanDSP callbacks ------------------------------------------------------------
    static int atTx(at_state_t*, void* user, const std::uint8_t* buf, std::size_t len) {
        auto* m = static_cast<SimModem*>(user);
        if (!m->garbageDone) {
            m->garbageDone = true;
            if (const Fault* g = m->rig->fault(FaultKind::Garbage); g && m->index == 0) {
                std::vector<std::uint8_t> junk;
                std::uint32_t x = 12345;
                for (int i = 0; i < g->count; ++i) {
                    x = x * 1103515245u + 12345u;
                    std::uint8_t b = static_cast<std::uint8_t>(x >> 16);
                    if (b == '\r' || b == '\n') b = '#';
                    junk.push_back(b);
                }
                m->link->giveToDte(junk.data(), static_cast<int>(junk.size()));
            }
        }
        m->link->giveToDte(buf, static_cast<int>(len));
        return static_cast<int>(len);
    }

    static int control(t31_state_t*, void* user, int op, const char* num) {
        auto* m = static_cast<SimModem*>(user);
        return m->rig->onControl(*m, op, num);
    }

    static void phaseE(t30_state_t* t30, void* user, int result) {
        auto* self = static_cast<Impl*>(user);
        t30_stats_t stats;
        t30_get_transfer_statistics(t30, &stats);
        self->far->done = true;
        self->far->result = result;
        self->far->pages = self->options.far == FarEnd::Receive ? stats.pages_rx : stats.pages_tx;
        self->farDoneAt = self->now;
        self->farText = t30_completion_code_to_str(result);
    }

    static void frame(t30_state_t* t30, void* user, int incoming, const std::uint8_t* msg, int len) {
        auto* self = static_cast<Impl*>(user);
        if (len < 3) return;
        std::uint8_t fcf = msg[2] & 0xFE;
        // Page data follows a CFR or an MCF: sent by a far receiver, received by a far sender.
        bool towardsPage = (self->options.far == FarEnd::Receive) == !incoming;
        if (towardsPage && (fcf == (T30_CFR & 0xFE) || fcf == (T30_MCF & 0xFE))) {
            ++self->far->pageStarts;
            if (const Fault* f = self->fault(FaultKind::CarrierLost);
                f && self->far->pageStarts == f->count && self->cutAt < 0)
                self->cutAt = self->now + 1500;  // well inside the page
        }
        if (!self->farFrameLog.empty()) self->farFrameLog += ' ';
        self->farFrameLog += incoming ? '>' : '<';
        self->farFrameLog += t30_frametype(msg[2]);
        if (towardsPage && (fcf == (T30_CFR & 0xFE) || fcf == (T30_MCF & 0xFE)))
            if (const Fault* f = self->fault(FaultKind::Rtn); f && self->far->pageStarts == f->count)
                self->spoilNextBurst = true;
        if (incoming && fcf == (T30_DCS & 0xFE) && self->options.far == FarEnd::Receive && len >= 5)
            if (const Fault* f = self->fault(FaultKind::Ftt)) {
                auto rates = rateList(f->text);
                if (std::find(rates.begin(), rates.end(), dcsRate(msg[4])) != rates.end())
                    self->spoilNextBurst = true;  // the training check that follows
            }
        if (incoming && (msg[2] & 0xFE) == (T30_DCS & 0xFE) && self->fault(FaultKind::Dcn))
            t30_terminate(t30);
    }

    // The signalling rate a DCS asks for, from bits 11 to 14 (the second octet's 0x3C).
    static int dcsRate(std::uint8_t octet) {
        switch (octet & 0x3C) {
            case 0x20: return 14400;
            case 0x28: return 12000;
            case 0x24: case 0x04: return 9600;
            case 0x2C: case 0x0C: return 7200;
            case 0x08: return 4800;
            case 0x00: return 2400;
            default: return 0;
        }
    }

    // How long a fast modem trains before its data, in ms.
    static ClockMs trainingMs(const t31_state_t* t31) {
        switch (t31->modem) {
            case FAX_MODEM_V17_TX: return t31->short_train ? 300 : 1400;
            case FAX_MODEM_V29_TX: return 260;
            default: return t31->bit_rate == 2400 ? 950 : 710;  // V.27ter
        }
    }

    // Replaces our modem's sound with noise once a spoilt burst has trained.
    void spoil(std::int16_t* amp) {
        const t31_state_t* t31 = modems[0].t31;
        bool fast = t31->modem == FAX_MODEM_V17_TX || t31->modem == FAX_MODEM_V29_TX ||
                    t31->modem == FAX_MODEM_V27TER_TX;
        bool sound = std::any_of(amp, amp + kSamples, [](std::int16_t v) { return v != 0; });
        if (burstAt < 0) {
            if (!spoilNextBurst || !fast || !sound) return;
            spoilNextBurst = false;
            burstAt = now;
            burstLead = trainingMs(t31) + 250;
        } else if (!fast || !sound) {
            burstAt = -1;
            return;
        }
        if (now - burstAt < burstLead) return;
        for (int i = 0; i < kSamples; ++i) {
            noiseSeed = noiseSeed * 1103515245u + 12345u;
            amp[i] = static_cast<std::int16_t>(static_cast<int>((noiseSeed >> 16) & 0x7FFF) - 0x4000);
        }
    }

    // --- call control ------------------------------------------------------------------------
    int onControl(SimModem& m, int op, const char* num) {
        switch (op) {
            case AT_MODEM_CONTROL_CTS:
                m.cts = num != nullptr;
                break;
            case AT_MODEM_CONTROL_CAR:
                m.dcd = num != nullptr;
                break;
            case AT_MODEM_CONTROL_CALL:
                dial(m);
                break;
            case AT_MODEM_CONTROL_ANSWER:
                answer(m);
                break;
            case AT_MODEM_CONTROL_HANGUP:
            case AT_MODEM_CONTROL_ONHOOK:
                hangUp(m);
                break;
            case AT_MODEM_CONTROL_OFFHOOK:
                m.offHook = true;
                break;
            default:
                break;
        }
        return 0;
    }

    void schedule(int event, ClockMs delay) {
        pendingEvent = event;
        eventAt = now + delay;
    }

    void dial(SimModem& m) {
        m.offHook = true;
        caller = m.index;
        if (options.far == FarEnd::Send || state == CallState::Connected) {
            schedule(AT_CALL_EVENT_BUSY, 2000);  // our line is taken by the caller
            state = CallState::Dialling;
            return;
        }
        state = CallState::Dialling;
        if (fault(FaultKind::NoDialTone)) return schedule(AT_CALL_EVENT_NO_DIALTONE, 500);
        if (const Fault* b = fault(FaultKind::Busy); b && busyLeft < b->count) {
            ++busyLeft;
            return schedule(AT_CALL_EVENT_BUSY, 2000);
        }
        if (fault(FaultKind::NoAnswer)) return schedule(AT_CALL_EVENT_NO_ANSWER, 45000);
        if (fault(FaultKind::Voice)) return schedule(-1, options.answerDelay);
        if (fault(FaultKind::NoCarrier)) return schedule(-2, options.answerDelay);
        if (options.far == FarEnd::Modem) {
            state = CallState::Incoming;
            ringsLeft = 1 << 20;  // rings until answered or the caller gives up
            nextRing = now + 1000;
            pendingEvent = 0;
            return;
        }
        schedule(AT_CALL_EVENT_CONNECTED, options.answerDelay);
    }

    void answer(SimModem& m) {
        m.offHook = true;
        if (state != CallState::Incoming) {
            at_put_response_code(&m.t31->at_state, AT_RESPONSE_CODE_NO_CARRIER);
            at_set_at_rx_mode(&m.t31->at_state, AT_MODE_ONHOOK_COMMAND);
            return;
        }
        connect();
        if (options.far == FarEnd::Modem) t31_call_event(modems[caller].t31, AT_CALL_EVENT_CONNECTED);
        t31_call_event(m.t31, AT_CALL_EVENT_ANSWERED);
    }

    void connect() {
        state = CallState::Connected;
        ++connected;
        lineCut = false;
        for (int i = 0; i < modemCount; ++i) modems[i].ri = false;
        if (options.far == FarEnd::Modem) return;
        if (fault(FaultKind::Silence)) {
            farSilent = true;
            return;
        }
        startFar(options.far == FarEnd::Send);
    }

    void startFar(bool calling) {
        far = std::make_unique<FarFax>();
        far->fax = fax_init(nullptr, calling);
        t30_state_t* t30 = fax_get_t30_state(far->fax);
        t30_set_tx_ident(t30, options.farIdent.c_str());
        t30_set_supported_modems(t30, int{T30_SUPPORT_V27TER} | int{T30_SUPPORT_V29} | int{T30_SUPPORT_V17});
        t30_set_ecm_capability(t30, 0);
        t30_set_supported_compressions(t30, int{T30_SUPPORT_T4_1D_COMPRESSION} | int{T30_SUPPORT_T4_2D_COMPRESSION});
        if (calling) {
            t30_set_tx_file(t30, options.tiff.c_str(), -1, -1);
        } else {
            t30_set_rx_file(t30, options.tiff.c_str(), -1);
            // Our engine and most peers read 1-D pages; SpanDSP would store 2-D otherwise.
            t30_set_rx_encoding(t30, T4_COMPRESSION_ITU_T4_1D);
        }
        t30_set_phase_e_handler(t30, &Impl::phaseE, this);
        t30_set_real_time_frame_handler(t30, &Impl::frame, this);
        fax_set_transmit_on_idle(far->fax, 1);
        if (options.log) {
            span_log_set_level(t30_get_logging_state(t30), int{SPAN_LOG_FLOW} | int{SPAN_LOG_SHOW_TAG});
            span_log_set_level(fax_get_logging_state(far->fax), int{SPAN_LOG_FLOW} | int{SPAN_LOG_SHOW_TAG});
        }
    }

    void hangUp(SimModem& m) {
        bool wasInCall = m.offHook || state == CallState::Connected;
        m.offHook = false;
        if (state == CallState::Connected || state == CallState::Ended) m.hungUpAfterCall = true;
        if (state == CallState::Dialling && caller == m.index) {
            state = CallState::Idle;
            pendingEvent = 0;
        }
        if (state == CallState::Connected) {
            state = CallState::Ended;
            lineCut = true;
        }
        (void)wasInCall;
    }

    // --- one step of 20 ms ----------------------------------------------------------------
    void step() {
        std::lock_guard lock(mutex);
        now += kStepMs;

        if (pendingEvent != 0 && now >= eventAt) {
            int event = pendingEvent;
            pendingEvent = 0;
            SimModem& m = modems[caller];
            if (event == -1) {  // a voice answered
                at_put_response(&m.t31->at_state, "VOICE");
                at_set_at_rx_mode(&m.t31->at_state, AT_MODE_ONHOOK_COMMAND);
                state = CallState::Idle;
            } else if (event == -2) {
                at_put_response_code(&m.t31->at_state, AT_RESPONSE_CODE_NO_CARRIER);
                at_set_at_rx_mode(&m.t31->at_state, AT_MODE_ONHOOK_COMMAND);
                state = CallState::Idle;
            } else if (event == AT_CALL_EVENT_CONNECTED) {
                connect();
                t31_call_event(m.t31, AT_CALL_EVENT_CONNECTED);
            } else {
                state = CallState::Idle;
                m.offHook = false;
                t31_call_event(m.t31, event);
            }
        }

        // An incoming call rings: far sender at the start, or the other modem of a pair.
        if (state == CallState::Incoming && now >= nextRing) {
            if (ringsLeft <= 0) {
                state = CallState::Ended;  // the caller gives up
                farText = "the call was not answered";
            } else {
                --ringsLeft;
                nextRing = now + options.ringInterval;
                SimModem& callee = modems[options.far == FarEnd::Modem ? 1 - caller : 0];
                callee.ri = true;
                t31_call_event(callee.t31, AT_CALL_EVENT_ALERTING);
            }
        }
        for (int i = 0; i < modemCount; ++i)
            if (modems[i].ri && state == CallState::Incoming && now + options.ringInterval - nextRing >= 1000)
                modems[i].ri = false;

        if (cutAt >= 0 && now >= cutAt && state == CallState::Connected) {
            lineCut = true;
            cutAt = -1;
        }

        for (int i = 0; i < modemCount; ++i) serialIn(modems[i]);

        // The line: 160 samples each way.
        std::int16_t a[kSamples], b[kSamples];
        audioOut(modems[0], a);
        if (options.far == FarEnd::Receive) spoil(a);
        if (options.far == FarEnd::Modem) {
            audioOut(modems[1], b);
        } else if (far && !far->done) {
            int n = fax_tx(far->fax, b, kSamples);
            std::fill(b + n, b + kSamples, 0);
        } else {
            std::fill(b, b + kSamples, 0);
        }
        bool up = state == CallState::Connected && !lineCut;
        if (!up) {
            std::fill(a, a + kSamples, 0);
            std::fill(b, b + kSamples, 0);
        }
        t31_rx(modems[0].t31, b, kSamples);
        if (options.far == FarEnd::Modem) t31_rx(modems[1].t31, a, kSamples);
        else if (far && !far->done) fax_rx(far->fax, a, kSamples);

        for (int i = 0; i < modemCount; ++i) {
            SimModem& m = modems[i];
            m.link->setModemLines(up && m.offHook, m.cts, m.ri);
        }
        checkFinished();
    }

    void audioOut(SimModem& m, std::int16_t* amp) {
        int n = t31_tx(m.t31, amp, kSamples);
        std::fill(amp + n, amp + kSamples, 0);
    }

    // Bytes from the DTE at the serial rate, while the modem's CTS allows.
    void serialIn(SimModem& m) {
        bool dtr = m.link->dtr();
        if (m.lastDtr && !dtr && (m.offHook || state == CallState::Connected)) {
            hangUp(m);
            t31_call_event(m.t31, AT_CALL_EVENT_HANGUP);
        }
        m.lastDtr = dtr;
        m.serialCredit += options.serialBps / 10.0 * kStepMs / 1000.0;
        while (m.serialCredit >= 1 && m.cts) {
            std::uint8_t buf[64];
            int want = std::min<int>(static_cast<int>(m.serialCredit), sizeof buf);
            int n = m.link->takeFromDte(buf, want);
            if (n <= 0) break;
            m.serialCredit -= n;
            for (int i = 0; i < n; ++i) serialByte(m, buf[i]);
        }
        m.serialCredit = std::min(m.serialCredit, 64.0);
    }

    void serialByte(SimModem& m, std::uint8_t byte) {
        const Fault* err = fault(FaultKind::Error);
        if (!err || m.index != 0 || !m.inCommandMode()) {
            char c = static_cast<char>(byte);
            t31_at_rx(m.t31, &c, 1);
            return;
        }
        // Hold the command line back until its CR to see whether it is the one to refuse.
        if (byte != '\r') {
            if (m.command.size() < 256) m.command += static_cast<char>(byte);
            return;
        }
        std::string typed = m.command + '\r';
        m.command.clear();
        if (upperNoBlanks(typed.substr(0, typed.size() - 1)).rfind(err->text, 0) == 0) {
            at_put_response_code(&m.t31->at_state, AT_RESPONSE_CODE_ERROR);
            return;
        }
        t31_at_rx(m.t31, typed.data(), static_cast<int>(typed.size()));
    }

    void checkFinished() {
        if (finished) return;
        if (options.far == FarEnd::Modem) {
            if (connected > 0 && state == CallState::Ended && modems[0].hungUpAfterCall &&
                modems[1].hungUpAfterCall) {
                finished = true;
                ok = true;
            }
            return;
        }
        if (far && far->done) {
            // Let the DTE hang up in peace before calling it a day.
            if (modems[0].hungUpAfterCall || now - farDoneAt > 5000) {
                finished = true;
                ok = far->result == T30_ERR_OK && far->pages > 0;
            }
        } else if (state == CallState::Ended && !far) {
            finished = true;
        }
    }

    // The thread is announced to the clock by start(), before simulated time may move on.
    void run() {
        const auto wallStart = std::chrono::steady_clock::now();
        ClockMs next = clock.now();
        std::int64_t steps = 0;
        while (!stopFlag) {
            step();
            ++steps;
            if (clock.isRealTime() && speed != 1.0) {
                auto due = wallStart + std::chrono::microseconds(
                                           static_cast<std::int64_t>(static_cast<double>(steps * kStepMs * 1000) / speed));
                std::this_thread::sleep_until(due);
            } else {
                next += kStepMs;
                while (!stopFlag && clock.now() < next) clock.waitUntil(stopWakeup, next);
            }
        }
    }
};

ModemRig::ModemRig(Clock& clock, RigOptions options, double speed)
    : impl_(std::make_unique<Impl>(clock, std::move(options), speed)) {
    Impl& r = *impl_;
    r.modemCount = r.options.far == FarEnd::Modem ? 2 : 1;
    for (int i = 0; i < r.modemCount; ++i) {
        SimModem& m = r.modems[i];
        m.rig = &r;
        m.index = i;
        r.simLines[i] = std::make_shared<SimSerialLine>(clock);
        m.link = r.simLines[i];
        m.t31 = t31_init(nullptr, &Impl::atTx, &m, &Impl::control, &m, nullptr, nullptr);
        if (r.options.log)
            span_log_set_level(t31_get_logging_state(m.t31), int{SPAN_LOG_FLOW} | int{SPAN_LOG_SHOW_TAG});
    }
    if (r.options.far == FarEnd::Send) {
        // The far machine calls as soon as the rig runs.
        r.state = CallState::Incoming;
        r.ringsLeft = std::max(1, r.options.rings);
        r.nextRing = 1000;
    }
}

ModemRig::~ModemRig() {
    stop();
    for (int i = 0; i < impl_->modemCount; ++i) t31_free(impl_->modems[i].t31);
    if (impl_->far) fax_free(impl_->far->fax);
}

void ModemRig::setDteLink(int modem, std::shared_ptr<DteLink> link) {
    impl_->modems[modem].link = std::move(link);
}

std::shared_ptr<SimSerialLine> ModemRig::serialLine(int modem) { return impl_->simLines[modem]; }

void ModemRig::start() {
    std::promise<void> announced;
    auto ready = announced.get_future();
    impl_->thread = std::thread([this, &announced] {
        fax::ClockThreadScope scope(impl_->clock);
        announced.set_value();
        impl_->run();
    });
    ready.wait();
}

void ModemRig::stop() {
    if (!impl_->thread.joinable()) return;
    impl_->stopFlag = true;
    impl_->clock.wake(impl_->stopWakeup);
    impl_->thread.join();
}

bool ModemRig::finished() const {
    std::lock_guard lock(impl_->mutex);
    return impl_->finished;
}

bool ModemRig::faxOk() const {
    std::lock_guard lock(impl_->mutex);
    return impl_->ok;
}

int ModemRig::farPages() const {
    std::lock_guard lock(impl_->mutex);
    return impl_->far ? impl_->far->pages : 0;
}

std::string ModemRig::farResult() const {
    std::lock_guard lock(impl_->mutex);
    return impl_->farText;
}

std::string ModemRig::farFrames() const {
    std::lock_guard lock(impl_->mutex);
    return impl_->farFrameLog;
}

int ModemRig::callsConnected() const {
    std::lock_guard lock(impl_->mutex);
    return impl_->connected;
}

}  // namespace pellora::modemsim
