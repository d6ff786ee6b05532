#include "tools/modemsim/rig.h"

#include <algorithm>
#include <atomic>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <future>

#include <stdlib.h>

// The rig reads the T.31 modem's AT mode to tell commands from data, and the fax terminal's
// modems and T.30 settings; SpanDSP keeps them in its private structures.
#define SPANDSP_EXPOSE_INTERNAL_STRUCTURES
#include <spandsp.h>

namespace pellora::modemsim {

namespace {

constexpr int kSamples = 160;  // 20 ms at 8000 samples a second
constexpr ClockMs kStepMs = 20;
constexpr int kDelaySteps = 4;  // 80 ms each way, a long-distance call
constexpr int kPageSpeedup = 25;  // line steps per rig step while a Class 2 page is on the line

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
        {"no-fine", FaultKind::NoFine, false},
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

constexpr std::uint8_t kDle = 0x10, kEtx = 0x03, kDc1 = 0x11, kDc2 = 0x12, kSub = 0x1A;

// The names a Class 2 and a Class 2.0 modem use for the same things.
struct ClassWords {
    const char* fclass;  // the AT+FCLASS value
    const char* classes; // the answer to AT+FCLASS=?
    const char* localId; // AT+FLID / AT+FLI
    const char* params;  // session parameters command, also the remote capabilities report
    const char* caps;    // receive capabilities command
    const char* con;     // connect report
    const char* dcs;     // negotiated parameters report
    const char* tsi;     // transmitter ID report
    const char* csi;     // called station ID report
    const char* pageStatus;
    const char* hangup;
};

constexpr ClassWords kClass2Words{"2", "0,2", "FLID", "FDIS", "FDCC", "+FCON", "+FDCS", "+FTSI", "+FCSI", "+FPTS", "+FHNG"};
constexpr ClassWords kClass20Words{"2.0", "0,2.0", "FLI", "FIS", "FCC", "+FCO", "+FCS", "+FTI", "+FCI", "+FPS", "+FHS"};

std::uint8_t reversed(std::uint8_t b) {
    b = static_cast<std::uint8_t>((b & 0xF0) >> 4 | (b & 0x0F) << 4);
    b = static_cast<std::uint8_t>((b & 0xCC) >> 2 | (b & 0x33) << 2);
    return static_cast<std::uint8_t>((b & 0xAA) >> 1 | (b & 0x55) << 1);
}

// T.30 bit `n` (numbered from 1) of a DIS or DCS frame (address, control, FCF, FIF...).
bool t30Bit(const std::vector<std::uint8_t>& frame, int n) {
    std::size_t at = 3 + static_cast<std::size_t>(n - 1) / 8;
    return at < frame.size() && (frame[at] & (1 << ((n - 1) % 8)));
}

// The parameter list of +FDIS / +FDCS ("r,b,w,l,df,ec,bf,st") for a DIS or DCS frame.
std::string paramsFromFrame(const std::vector<std::uint8_t>& f, bool dcs) {
    int r = t30Bit(f, 15) ? 1 : 0;
    int rateBits = f.size() > 4 ? f[4] & 0x3C : 0;
    int b;
    if (dcs) {
        switch (rateBits) {
            case 0x20: b = 5; break;
            case 0x28: b = 4; break;
            case 0x24: case 0x04: b = 3; break;
            case 0x2C: case 0x0C: b = 2; break;
            case 0x08: b = 1; break;
            default: b = 0; break;
        }
    } else {
        // What the machine can receive: V.17 up to 14400, V.29 up to 9600, V.27ter 4800.
        b = (rateBits & 0x2C) == 0x2C ? 5 : (rateBits & 0x04) ? 3 : (rateBits & 0x08) ? 1 : 0;
    }
    int w = (t30Bit(f, 17) ? 1 : 0) | (t30Bit(f, 18) ? 2 : 0);
    if (w > 2) w = 0;
    int l = t30Bit(f, 20) ? 2 : t30Bit(f, 19) ? 1 : 0;  // unlimited, B4, A4
    int df = t30Bit(f, 16) ? 1 : 0;
    int ec = t30Bit(f, 27) ? 1 : 0;
    // Minimum scan time, bits 21 to 23, as the modem's code 0 (0 ms) to 7 (40 ms).
    static const int scanCode[8] = {5, 1, 3, 4, 7, 6, 2, 0};
    int st = scanCode[(t30Bit(f, 21) ? 1 : 0) | (t30Bit(f, 22) ? 2 : 0) | (t30Bit(f, 23) ? 4 : 0)];
    char buf[64];
    std::snprintf(buf, sizeof buf, "%d,%d,%d,%d,%d,%d,0,%d", r, b, w, l, df, ec, st);
    return buf;
}

// The station identity in a CSI or TSI frame: 20 characters, the last one sent first.
std::string identFromFrame(const std::vector<std::uint8_t>& f) {
    std::string id;
    for (std::size_t i = f.size(); i > 3; --i) {
        char c = static_cast<char>(f[i - 1]);
        id += (c >= 32 && c < 127 && c != '"') ? c : ' ';
    }
    return id;
}

// A page of T.4 1-D data, first bit in the least significant bit, as a one-page TIFF.
// Returns the rows the page has, 0 when no line could be read.
int writePageTiff(const std::string& path, const std::vector<std::uint8_t>& data, bool fine, int width) {
    t4_rx_state_t* t4 = t4_rx_init(nullptr, path.c_str(), T4_COMPRESSION_ITU_T4_1D);
    if (!t4) return 0;
    t4_rx_set_rx_encoding(t4, T4_COMPRESSION_ITU_T4_1D);
    t4_rx_set_image_width(t4, width);
    t4_rx_set_x_resolution(t4, T4_X_RESOLUTION_R8);
    t4_rx_set_y_resolution(t4, fine ? T4_Y_RESOLUTION_FINE : T4_Y_RESOLUTION_STANDARD);
    int rows = 0;
    if (t4_rx_start_page(t4) == 0) {
        t4_rx_put_chunk(t4, data.data(), static_cast<int>(data.size()));
        t4_stats_t stats{};
        t4_rx_get_transfer_statistics(t4, &stats);
        if (t4_rx_end_page(t4) == 0) rows = stats.length > 0 ? stats.length : 1;
    }
    t4_rx_free(t4);
    return rows;
}

// Page `index` (from 0) of a TIFF as T.4 1-D data, first bit in the least significant bit,
// ending with RTC. Empty when the page cannot be read.
std::vector<std::uint8_t> readPageT4(const std::string& path, int index) {
    std::vector<std::uint8_t> out;
    t4_tx_state_t* t4 = t4_tx_init(nullptr, path.c_str(), index, index);
    if (!t4) return out;
    t4_tx_set_tx_encoding(t4, T4_COMPRESSION_ITU_T4_1D);
    t4_tx_set_min_bits_per_row(t4, 0);
    if (t4_tx_start_page(t4) == 0) {
        int bit, n = 0;
        std::uint8_t byte = 0;
        while ((bit = t4_tx_get_bit(t4)) >= 0) {
            byte = static_cast<std::uint8_t>(byte | (bit & 1) << n);
            if (++n == 8) {
                out.push_back(byte);
                byte = 0;
                n = 0;
            }
        }
        if (n > 0) out.push_back(byte);
        // What trails the RTC until the carrier drops; a reader that looks a byte ahead
        // (efax) would otherwise meet the end of the data inside the last EOL.
        out.insert(out.end(), {0, 0});
        t4_tx_end_page(t4);
    }
    t4_tx_free(t4);
    return out;
}

}  // namespace

// A Class 2 or Class 2.0 modem: the modem runs T.30 itself (a SpanDSP fax terminal on the
// line) and talks +F commands and reports to its DTE; pages cross as one-page TIFF files.
struct FaxModem {
    bool c20 = false;
    const ClassWords* words = &kClass2Words;
    bool echo = true;
    std::string line;  // the command line being typed

    enum class Mode {
        Command,
        PageFromDte,  // after AT+FDT's CONNECT: page data until DLE ETX (or DLE , ; .)
        PageToDte,    // after AT+FDR's CONNECT: waiting for DC2 and the page
    } mode = Mode::Command;
    // What the DTE's last command still waits for.
    enum class Await { Nothing, Dial, Answer, PageDrain, PageResult, PageConnect, PageData, CallEnd } await = Await::Nothing;

    // Session parameters (AT+FDIS / AT+FIS) and receive capabilities (AT+FDCC / AT+FCC).
    int res = 0, rate = 5, width = 0;
    int capRes = 1, capRate = 5, capWidth = 0;
    std::string localId;

    // The call.
    bool calling = false;
    bool fconSent = false;
    std::string remoteId;
    std::vector<std::uint8_t> remoteDis, lastDcs;
    bool dcsFresh = false;  // a DCS came that the DTE has not been told of
    fax_state_t* fax = nullptr;
    bool t30Done = false;
    int t30Result = -1;
    int pagesDone = 0;  // pages through this call: confirmed (sending) or taken (receiving)

    // Sending: the page from the DTE and what follows it.
    std::vector<std::uint8_t> page;
    bool dle = false;
    int endCode = -1;      // post-page kind: 0 more pages, 1 more with another resolution, 2 last
    std::string queuedFile;   // Class 2: the page's file until AT+FET says what follows it
    bool pageQueued = false;  // a page file waits for the T.30 side to take it
    bool lastPage = false;     // the page on its way is the last one
    int lastStatus = 1;        // 1 page good, 2 rejected (AT+FPS?)
    bool dteEnded = false;     // ATH or AT+FKS ended the call
    double buffered = 0;       // bytes in the modem's transmit buffer, drained at the line rate
    int lineBps = 9600;
    int fileCount = 0;

    // Receiving.
    bool pageComing = false;  // the T.30 side said CFR or MCF after MPS: page data follows
    bool pageHere = false;    // a page is complete and waits for the DTE
    bool dc2 = false;
    std::vector<std::uint8_t> rxData;
    bool rxGood = true;
    int rxFet = 0;
    int lastPpm = 0;

    // The far machine's V.21 frames, heard ahead of the T.30 side (see fmMonitorFrame).
    fsk_rx_state_t* v21 = nullptr;
    hdlc_rx_state_t* hdlc = nullptr;
};

struct SimModem {
    ModemRig::Impl* rig = nullptr;
    int index = 0;
    t31_state_t* t31 = nullptr;   // Class 1
    std::unique_ptr<FaxModem> fm;  // Class 2 and 2.0
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
    std::string traceLine[2];  // --log: the partial line to and from the DTE

    bool inCommandMode() const {
        if (fm) return fm->mode == FaxModem::Mode::Command;
        int mode = t31->at_state.at_rx_mode;
        return mode == AT_MODE_ONHOOK_COMMAND || mode == AT_MODE_OFFHOOK_COMMAND;
    }
};

struct FarFax {
    fax_state_t* fax = nullptr;
    bool done = false;
    int result = -1;
    int pages = 0;
    int pageStarts = 0;  // CFR frames, and MCF frames after MPS: page data follows them
    int lastPpm = 0;     // the last post-page message the far machine received
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
    std::int16_t delayLine[2][kDelaySteps][kSamples] = {};  // sound on its way, each direction
    int delayAt[2] = {0, 0};
    // A Class 2 modem stops the line while it waits for its DTE: no sound moves either way, so
    // no T.30 timer runs out on either machine.
    bool linePaused = false;
    bool rejectComing = false;  // the page on its way is to be spoilt (the rtn fault)
    std::string workDir;  // page files of a Class 2 modem

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

    ClockMs now = 0;      // rig time: 20 ms a step
    ClockMs lineNow = 0;  // time the line ran: stands still while it is paused
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

    // Bytes to the DTE; the scripted junk comes before the first of them.
    void toDte(SimModem& m, const std::uint8_t* buf, int len) {
        if (!m.garbageDone) {
            m.garbageDone = true;
            if (const Fault* g = fault(FaultKind::Garbage); g && m.index == 0) {
                std::vector<std::uint8_t> junk;
                std::uint32_t x = 12345;
                for (int i = 0; i < g->count; ++i) {
                    x = x * 1103515245u + 12345u;
                    std::uint8_t b = static_cast<std::uint8_t>(x >> 16);
                    if (b == '\r' || b == '\n') b = '#';
                    junk.push_back(b);
                }
                m.link->giveToDte(junk.data(), static_cast<int>(junk.size()));
            }
        }
        m.link->giveToDte(buf, len);
        trace(m, '<', buf, len);
    }

    // --- SpanDSP callbacks ------------------------------------------------------------
    static int atTx(at_state_t*, void* user, const std::uint8_t* buf, std::size_t len) {
        auto* m = static_cast<SimModem*>(user);
        m->rig->toDte(*m, buf, static_cast<int>(len));
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
        bool farReceives = self->options.far == FarEnd::Receive;
        // Post-page messages reach a far receiver and leave a far sender.
        if (incoming == farReceives &&
            (fcf == (T30_MPS & 0xFE) || fcf == (T30_EOM & 0xFE) || fcf == (T30_EOP & 0xFE)))
            self->far->lastPpm = fcf;
        // Page data follows a CFR, or an MCF that answered MPS: sent by a far receiver,
        // received by a far sender.
        bool towardsPage = farReceives == !incoming &&
                           (fcf == (T30_CFR & 0xFE) ||
                            (fcf == (T30_MCF & 0xFE) && self->far->lastPpm == (T30_MPS & 0xFE)));
        if (towardsPage) {
            ++self->far->pageStarts;
            if (const Fault* f = self->fault(FaultKind::CarrierLost);
                f && self->far->pageStarts == f->count && self->cutAt < 0)
                self->cutAt = self->lineNow + 1500;  // well inside the page
        }
        if (!self->farFrameLog.empty()) self->farFrameLog += ' ';
        self->farFrameLog += incoming ? '>' : '<';
        self->farFrameLog += t30_frametype(msg[2]);
        if (towardsPage)
            if (const Fault* f = self->fault(FaultKind::Rtn); f && self->far->pageStarts == f->count)
                self->spoilNextBurst = self->rejectComing = true;
        if (incoming && fcf == (T30_DCS & 0xFE) && farReceives && len >= 5)
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

    // Whether our modem sends a fast modem's signal now, and how long that trains (ms).
    bool fastBurst(ClockMs& training) const {
        const SimModem& m = modems[0];
        if (m.t31) {
            const t31_state_t* t31 = m.t31;
            switch (t31->modem) {
                case FAX_MODEM_V17_TX: training = t31->short_train ? 300 : 1400; return true;
                case FAX_MODEM_V29_TX: training = 260; return true;
                case FAX_MODEM_V27TER_TX: training = t31->bit_rate == 2400 ? 950 : 710; return true;
                default: return false;
            }
        }
        if (!m.fm || !m.fm->fax) return false;
        const fax_modems_state_t& fm = m.fm->fax->modems;
        switch (fm.current_tx_type) {
            case T30_MODEM_V17: training = fm.fast_modems.v17_tx.short_train ? 300 : 1400; return true;
            case T30_MODEM_V29: training = 260; return true;
            case T30_MODEM_V27TER: training = fm.tx_bit_rate == 2400 ? 950 : 710; return true;
            default: return false;
        }
    }

    // Replaces our modem's sound with noise once a spoilt burst has trained.
    void spoil(std::int16_t* amp) {
        ClockMs training = 0;
        bool fast = fastBurst(training);
        bool sound = std::any_of(amp, amp + kSamples, [](std::int16_t v) { return v != 0; });
        if (burstAt < 0) {
            if (!spoilNextBurst || !fast || !sound) return;
            spoilNextBurst = false;
            burstAt = lineNow;
            burstLead = training;  // the noise starts as the data does
        } else if (!fast || !sound) {
            burstAt = -1;
            return;
        }
        if (lineNow - burstAt < burstLead) return;
        for (int i = 0; i < kSamples; ++i) {
            noiseSeed = noiseSeed * 1103515245u + 12345u;
            amp[i] = static_cast<std::int16_t>(static_cast<int>((noiseSeed >> 16) & 0x7FFF) - 0x4000);
        }
    }

    // With --log: the serial traffic of each modem line by line, stamped with the rig's time,
    // between SpanDSP's own lines. Page data shows as long lines of byte values.
    void trace(SimModem& m, char direction, const std::uint8_t* data, int length) {
        if (!options.log) return;
        std::string& line = m.traceLine[direction == '>'];
        for (int i = 0; i < length; ++i) {
            std::uint8_t c = data[i];
            if (c == '\r' || c == '\n') {
                if (!line.empty())
                    std::fprintf(stderr, "%c %7.2f %c %s\n", 'A' + m.index, static_cast<double>(now) / 1000,
                                 direction, line.c_str());
                line.clear();
            } else if (line.size() < 120) {
                if (c >= 32 && c < 127) line += static_cast<char>(c);
                else line += "<" + std::to_string(c) + ">";
            }
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

    // A call event for a modem of either kind.
    void callEvent(SimModem& m, int event) {
        if (m.t31) {
            t31_call_event(m.t31, event);
            return;
        }
        FaxModem& f = *m.fm;
        switch (event) {
            case AT_CALL_EVENT_ALERTING: report(m, "RING"); break;
            case AT_CALL_EVENT_CONNECTED: startT30(m, true); break;
            case AT_CALL_EVENT_ANSWERED: startT30(m, false); break;
            case AT_CALL_EVENT_BUSY: finalResult(m, "BUSY"); break;
            case AT_CALL_EVENT_NO_DIALTONE: finalResult(m, "NO DIALTONE"); break;
            case AT_CALL_EVENT_NO_ANSWER: finalResult(m, "NO ANSWER"); break;
            case AT_CALL_EVENT_HANGUP:
                endT30(m);
                f.mode = FaxModem::Mode::Command;
                f.await = FaxModem::Await::Nothing;
                break;
            default: break;
        }
    }

    // A final result that ends the call attempt (VOICE, NO CARRIER, BUSY...).
    void callFailed(SimModem& m, const char* text) {
        if (m.t31) {
            if (std::strcmp(text, "NO CARRIER") == 0) at_put_response_code(&m.t31->at_state, AT_RESPONSE_CODE_NO_CARRIER);
            else at_put_response(&m.t31->at_state, text);
            at_set_at_rx_mode(&m.t31->at_state, AT_MODE_ONHOOK_COMMAND);
            return;
        }
        finalResult(m, text);
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
            callFailed(m, "NO CARRIER");
            return;
        }
        connect();
        if (options.far == FarEnd::Modem) callEvent(modems[caller], AT_CALL_EVENT_CONNECTED);
        callEvent(m, AT_CALL_EVENT_ANSWERED);
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
        if (far) fax_free(far->fax);
        far = std::make_unique<FarFax>();
        far->fax = fax_init(nullptr, calling);
        t30_state_t* t30 = fax_get_t30_state(far->fax);
        t30_set_tx_ident(t30, options.farIdent.c_str());
        t30_set_supported_modems(t30, int{T30_SUPPORT_V27TER} | int{T30_SUPPORT_V29} | int{T30_SUPPORT_V17});
        t30_set_ecm_capability(t30, 0);
        t30_set_supported_compressions(t30, int{T30_SUPPORT_T4_1D_COMPRESSION} | int{T30_SUPPORT_T4_2D_COMPRESSION});
        if (fault(FaultKind::NoFine))
            t30_set_supported_resolutions(t30, int{T30_SUPPORT_STANDARD_RESOLUTION} | int{T30_SUPPORT_R8_RESOLUTION});
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
            span_log_set_tag(t30_get_logging_state(t30), "far");
        }
    }

    void hangUp(SimModem& m) {
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
        linePaused = false;  // whatever waited for this DTE waits no more
    }

    // --- Class 2 and 2.0: the DTE side --------------------------------------------------
    void report(SimModem& m, const std::string& text) {
        std::string out = "\r\n" + text + "\r\n";
        toDte(m, reinterpret_cast<const std::uint8_t*>(out.data()), static_cast<int>(out.size()));
    }

    // A final result code: the command that waited for it is over.
    void finalResult(SimModem& m, const char* text) {
        m.fm->await = FaxModem::Await::Nothing;
        m.fm->mode = FaxModem::Mode::Command;
        report(m, text);
    }

    void fmByte(SimModem& m, std::uint8_t byte) {
        FaxModem& f = *m.fm;
        if (f.mode == FaxModem::Mode::PageFromDte) return pageByte(m, byte);
        if (f.mode == FaxModem::Mode::PageToDte) {
            if (byte == kDc2) f.dc2 = true;  // XON, XOFF and anything else wait with it
            return;
        }
        if (byte == '\r') {
            std::string typed = f.line;
            f.line.clear();
            if (f.echo) {
                std::string e = typed + "\r";
                toDte(m, reinterpret_cast<const std::uint8_t*>(e.data()), static_cast<int>(e.size()));
            }
            commandLine(m, typed);
        } else if (byte == 8 || byte == 127) {
            if (!f.line.empty()) f.line.pop_back();
        } else if (byte != '\n' && f.line.size() < 256) {
            f.line += static_cast<char>(byte);
        }
    }

    void commandLine(SimModem& m, const std::string& typed) {
        FaxModem& f = *m.fm;
        std::string cmd = upperNoBlanks(typed);
        if (cmd.size() < 2 || cmd.compare(0, 2, "AT") != 0) return;  // not for the modem
        if (const Fault* err = fault(FaultKind::Error); err && m.index == 0 && cmd.rfind(err->text, 0) == 0)
            return report(m, "ERROR");
        // A command while a dial or an answer is under way aborts it, as on a real modem.
        if (f.await == FaxModem::Await::Dial || f.await == FaxModem::Await::Answer) {
            endCall(m, false);
            return finalResult(m, "NO CARRIER");
        }
        std::size_t at = 2;
        while (at < cmd.size()) {
            char c = cmd[at];
            if (c == '+' && at + 1 < cmd.size() && cmd[at + 1] == 'F') {
                std::size_t end = cmd.find(';', at);
                if (end == std::string::npos) end = cmd.size();
                // Quoted texts (the local ID) keep their case and blanks: `typed` has them.
                std::string ext = cmd.substr(at + 1, end - at - 1);
                int result = extended(m, ext, typed);
                if (result < 0) return report(m, "ERROR");
                if (result > 0) return;  // the command answers later
                at = end + 1;
                continue;
            }
            ++at;
            auto number = [&]() {
                int n = 0;
                while (at < cmd.size() && std::isdigit(static_cast<unsigned char>(cmd[at])))
                    n = n * 10 + (cmd[at++] - '0');
                return n;
            };
            switch (c) {
                case 'D': {
                    if (state == CallState::Connected || (f.fax && !f.t30Done)) return report(m, "ERROR");
                    f.await = FaxModem::Await::Dial;
                    dial(m);
                    return;
                }
                case 'A':
                    f.await = FaxModem::Await::Answer;
                    answer(m);
                    return;
                case 'H':
                    number();
                    endCall(m, true);
                    break;
                case 'E': f.echo = number() != 0; break;
                case 'Z':
                    number();
                    resetParameters(f);
                    break;
                case '&':
                    if (at < cmd.size()) ++at;
                    number();
                    break;
                case 'I': {
                    int n = number();
                    report(m, n == 3 ? "Pellora modem rig" : f.c20 ? "Class 2.0 fax modem" : "Class 2 fax modem");
                    break;
                }
                case 'S': {
                    number();
                    if (at < cmd.size() && cmd[at] == '?') {
                        ++at;
                        report(m, "000");
                    } else if (at < cmd.size() && cmd[at] == '=') {
                        ++at;
                        number();
                    }
                    break;
                }
                default:
                    number();  // other settings change nothing here
                    break;
            }
        }
        report(m, "OK");
    }

    void resetParameters(FaxModem& f) {
        f.res = 0;
        f.rate = 5;
        f.width = 0;
        f.capRes = 1;
        f.capRate = 5;
        f.capWidth = 0;
        f.echo = true;
    }

    // Reads "a,b,c" into up to `count` numbers; missing ones stay as they are. False when an
    // item is not a number or out of its range.
    static bool readList(const std::string& text, int* values[], const int* maxima, int count) {
        std::size_t at = 0;
        for (int i = 0; i < count && at <= text.size(); ++i) {
            std::size_t comma = std::min(text.find(',', at), text.size());
            std::string item = text.substr(at, comma - at);
            at = comma + 1;
            if (item.empty()) continue;
            char* end = nullptr;
            long v = std::strtol(item.c_str(), &end, 10);
            if (*end != '\0' || v < 0 || v > maxima[i]) return false;
            if (values[i]) *values[i] = static_cast<int>(v);
        }
        return true;
    }

    // One +F command (without "+"): 0 answered OK, -1 ERROR, 1 the answer comes later.
    int extended(SimModem& m, const std::string& ext, const std::string& typed) {
        FaxModem& f = *m.fm;
        const ClassWords& w = *f.words;
        auto is = [&](const std::string& name) {
            return ext.compare(0, name.size(), name) == 0 &&
                   (ext.size() == name.size() || ext[name.size()] == '=' || ext[name.size()] == '?');
        };
        auto value = [&](const std::string& name) { return ext.size() > name.size() + 1 ? ext.substr(name.size() + 1) : ""; };
        if (is("FCLASS")) {
            std::string v = value("FCLASS");
            if (ext == "FCLASS=?") report(m, w.classes);
            else if (ext == "FCLASS?") report(m, w.fclass);
            else if (v != "0" && v != w.fclass) return -1;
            return 0;
        }
        if (is(w.params) || is(w.caps)) {
            bool caps = is(w.caps);
            std::string name = caps ? w.caps : w.params;
            int* values[8] = {caps ? &f.capRes : &f.res, caps ? &f.capRate : &f.rate, caps ? &f.capWidth : &f.width,
                              nullptr, nullptr, nullptr, nullptr, nullptr};
            static const int maxima[8] = {1, 5, 2, 2, 3, 2, 1, 7};
            if (ext == name + "=?") {
                report(m, "(0,1),(0-5),(0-2),(0-2),(0-3),(0-2),(0-1),(0-7)");
                return 0;
            }
            if (ext == name + "?") {
                char buf[48];
                std::snprintf(buf, sizeof buf, "%d,%d,%d,2,0,0,0,0", *values[0], *values[1], *values[2]);
                report(m, buf);
                return 0;
            }
            return readList(value(name), values, maxima, 8) ? 0 : -1;
        }
        if (is(w.localId)) {
            // The identity as typed, between its quotes.
            std::size_t open = typed.find('"'), close = typed.rfind('"');
            f.localId = open != std::string::npos && close > open ? typed.substr(open + 1, close - open - 1) : "";
            return 0;
        }
        if (ext == "FDT") return pageTransmit(m);
        if (ext.rfind("FET=", 0) == 0 && !f.c20) return pageEnd(m, ext.substr(4));
        if (ext == "FDR") return pageReceive(m);
        if (ext == "FK" || ext == "FKS" || ext.rfind("FKS=", 0) == 0) {
            if (!f.fax) return 0;
            endCall(m, false);
            report(m, std::string(w.hangup) + ":2");  // the DTE ended the session
            return 0;
        }
        if (ext == "FPS?" && f.c20) {
            report(m, "+FPS:" + std::to_string(f.lastStatus));
            return 0;
        }
        return 0;  // +FCR, +FAA, +FLO, +FNR, +FBO, +FPTS=... and the like: nothing to change here
    }

    // --- Class 2 and 2.0: sending a page ----------------------------------------------------
    // The modem's parameters for the page, as reported in +FDCS: the session parameters the
    // remote can take, at the fastest modem both allow.
    int lineRateCode(const FaxModem& f) const {
        int remote = 5;
        if (!f.remoteDis.empty()) remote = paramsFromFrame(f.remoteDis, false)[2] - '0';
        int code = std::min(f.rate, remote);
        return code >= 5 ? 5 : code >= 3 ? 3 : code >= 1 ? 1 : 0;
    }

    static int bpsOfCode(int code) {
        static const int bps[6] = {2400, 4800, 7200, 9600, 12000, 14400};
        return bps[std::clamp(code, 0, 5)];
    }

    int pageTransmit(SimModem& m) {
        FaxModem& f = *m.fm;
        if (!f.fax || !f.calling || f.t30Done || f.remoteDis.empty() || lineCut) return -1;
        int b = lineRateCode(f);
        f.lineBps = bpsOfCode(b);
        char buf[64];
        std::snprintf(buf, sizeof buf, "%s:%d,%d,%d,2,0,0,0,%c", f.words->dcs, f.res, b, f.width,
                      paramsFromFrame(f.remoteDis, false)[14]);
        report(m, buf);
        report(m, "CONNECT");
        if (!f.c20) {
            std::uint8_t xon = kDc1;  // ready for the page
            toDte(m, &xon, 1);
        }
        f.mode = FaxModem::Mode::PageFromDte;
        f.page.clear();
        f.dle = false;
        f.endCode = -1;
        f.buffered = 0;
        return 1;
    }

    void pageByte(SimModem& m, std::uint8_t byte) {
        FaxModem& f = *m.fm;
        f.buffered += 1;
        if (f.buffered >= 3072) m.cts = false;
        if (!f.dle) {
            if (byte == kDle) f.dle = true;
            else f.page.push_back(byte);
            return;
        }
        f.dle = false;
        if (byte == kDle) {
            f.page.push_back(kDle);
        } else if (byte == kSub) {
            f.page.insert(f.page.end(), {kDle, kDle});
        } else if (byte == kEtx && !f.c20) {
            m.traceLine[1].clear();  // --log: the commands after the page start a line of their own
            f.mode = FaxModem::Mode::Command;
            f.await = FaxModem::Await::PageDrain;
        } else if (f.c20 && (byte == ',' || byte == ';' || byte == '.' || byte == kEtx)) {
            f.endCode = byte == ',' ? 0 : byte == ';' ? 1 : 2;
            m.traceLine[1].clear();
            f.mode = FaxModem::Mode::Command;
            f.await = FaxModem::Await::PageDrain;
        }
    }

    // The page has left the modem's buffer: Class 2 says OK and waits for AT+FET, Class 2.0
    // knows already what follows and sends it.
    void pageDrained(SimModem& m) {
        FaxModem& f = *m.fm;
        std::string path = workDir + "/page" + std::to_string(++f.fileCount) + ".tif";
        if (writePageTiff(path, f.page, f.res == 1, f.width == 1 ? 2048 : f.width == 2 ? 2432 : 1728) == 0) {
            finalResult(m, "ERROR");  // nothing readable came
            return;
        }
        f.page.clear();
        f.await = FaxModem::Await::Nothing;
        f.queuedFile = path;
        if (!f.c20) {
            report(m, "OK");
            return;
        }
        sendQueuedPage(m, f.endCode);
    }

    int pageEnd(SimModem& m, const std::string& code) {
        FaxModem& f = *m.fm;
        if (f.queuedFile.empty() || code.size() != 1 || code[0] < '0' || code[0] > '2') return -1;
        sendQueuedPage(m, code[0] - '0');
        return 1;
    }

    // Hands the page file to the T.30 side and lets the line run again.
    void sendQueuedPage(SimModem& m, int endCode) {
        FaxModem& f = *m.fm;
        t30_set_tx_file(fax_get_t30_state(f.fax), f.queuedFile.c_str(), -1, -1);
        f.queuedFile.clear();
        f.pageQueued = true;
        f.lastPage = endCode == 2;
        f.await = FaxModem::Await::PageResult;
        linePaused = false;
    }

    // --- Class 2 and 2.0: receiving a page --------------------------------------------------
    int pageReceive(SimModem& m) {
        FaxModem& f = *m.fm;
        if (!f.fax || f.calling || f.t30Done || lineCut) return -1;
        f.await = FaxModem::Await::PageConnect;
        f.dc2 = false;
        pageConnect(m);
        return 1;
    }

    // CONNECT once page data is on its way (or already here).
    void pageConnect(SimModem& m) {
        FaxModem& f = *m.fm;
        if (f.await != FaxModem::Await::PageConnect || !(f.pageComing || f.pageHere)) return;
        if (f.dcsFresh) {
            report(m, std::string(f.words->dcs) + ":" + paramsFromFrame(f.lastDcs, true));
            f.dcsFresh = false;
        }
        report(m, "CONNECT");
        f.mode = FaxModem::Mode::PageToDte;
        f.await = FaxModem::Await::PageData;
        pageDeliver(m);
    }

    // The page to the DTE once it is complete and the DTE has said DC2.
    void pageDeliver(SimModem& m) {
        FaxModem& f = *m.fm;
        if (f.await != FaxModem::Await::PageData || !f.pageHere || !f.dc2) return;
        std::vector<std::uint8_t> out;
        out.reserve(f.rxData.size() + f.rxData.size() / 16 + 2);
        for (std::uint8_t b : f.rxData) {
            if (!f.c20) b = reversed(b);  // Class 2 sends the first bit in the most significant bit
            out.push_back(b);
            if (b == kDle) out.push_back(kDle);
        }
        out.push_back(kDle);
        out.push_back(kEtx);
        toDte(m, out.data(), static_cast<int>(out.size()));
        f.mode = FaxModem::Mode::Command;
        f.pageHere = false;
        f.rxData.clear();
        report(m, std::string(f.words->pageStatus) + ":" + (f.rxGood ? "1" : "2"));
        report(m, "+FET:" + std::to_string(f.rxFet));
        if (f.rxFet == 2) {
            report(m, "OK");
            f.await = FaxModem::Await::CallEnd;  // then the remote's DCN and the hang-up report
        } else {
            finalResult(m, "OK");
        }
        linePaused = false;
    }

    // --- Class 2 and 2.0: the T.30 side ------------------------------------------------------
    void startT30(SimModem& m, bool calling) {
        FaxModem& f = *m.fm;
        endT30(m);
        f.calling = calling;
        f.fconSent = false;
        f.remoteId.clear();
        f.remoteDis.clear();
        f.lastDcs.clear();
        f.dcsFresh = false;
        f.t30Done = false;
        f.t30Result = -1;
        f.pagesDone = 0;
        f.pageQueued = f.lastPage = false;
        f.dteEnded = false;
        f.pageComing = f.pageHere = false;
        f.lastPpm = 0;
        f.lastStatus = 1;
        f.queuedFile.clear();
        f.fax = fax_init(nullptr, calling);
        t30_state_t* t30 = fax_get_t30_state(f.fax);
        t30_set_tx_ident(t30, f.localId.c_str());
        int families = T30_SUPPORT_V27TER;
        int rate = calling ? f.rate : f.capRate;
        if (rate >= 3) families |= T30_SUPPORT_V29;
        if (rate >= 5) families |= T30_SUPPORT_V17;
        t30_set_supported_modems(t30, families);
        t30_set_ecm_capability(t30, 0);
        t30_set_supported_compressions(t30, T30_SUPPORT_T4_1D_COMPRESSION);
        int resolutions = T30_SUPPORT_STANDARD_RESOLUTION | T30_SUPPORT_R8_RESOLUTION;
        if (calling || f.capRes == 1) resolutions |= T30_SUPPORT_FINE_RESOLUTION;
        t30_set_supported_resolutions(t30, resolutions);
        int sizes = T30_SUPPORT_215MM_WIDTH | T30_SUPPORT_UNLIMITED_LENGTH | T30_SUPPORT_A4_LENGTH | T30_SUPPORT_B4_LENGTH;
        if (calling || f.capWidth >= 1) sizes |= T30_SUPPORT_255MM_WIDTH;
        t30_set_supported_image_sizes(t30, sizes);
        if (calling) {
            t30_set_document_handler(t30, &Impl::fmDocument, &m);
            f.hdlc = hdlc_rx_init(nullptr, 0, 0, 5, &Impl::fmMonitorFrame, &m);
            f.v21 = fsk_rx_init(nullptr, &preset_fsk_specs[FSK_V21CH2], FSK_FRAME_MODE_SYNC,
                                reinterpret_cast<put_bit_func_t>(&hdlc_rx_put_bit), f.hdlc);
            fsk_rx_signal_cutoff(f.v21, -39.09f);
        } else {
            t30_set_rx_file(t30, (workDir + "/received.tif").c_str(), -1);
            t30_set_rx_encoding(t30, T4_COMPRESSION_ITU_T4_1D);
        }
        t30_set_phase_d_handler(t30, &Impl::fmPhaseD, &m);
        t30_set_phase_e_handler(t30, &Impl::fmPhaseE, &m);
        t30_set_real_time_frame_handler(t30, &Impl::fmFrame, &m);
        fax_set_transmit_on_idle(f.fax, 1);
        if (options.log) {
            span_log_set_level(t30_get_logging_state(t30), int{SPAN_LOG_FLOW} | int{SPAN_LOG_SHOW_TAG});
            span_log_set_tag(t30_get_logging_state(t30), m.index == 0 ? "A" : "B");
        }
    }

    void endT30(SimModem& m) {
        FaxModem& f = *m.fm;
        if (f.fax) {
            fax_free(f.fax);
            f.fax = nullptr;
        }
        if (f.v21) {
            fsk_rx_free(f.v21);
            f.v21 = nullptr;
        }
        if (f.hdlc) {
            hdlc_rx_free(f.hdlc);
            f.hdlc = nullptr;
        }
    }

    // The call ends at the DTE's wish (ATH, AT+FKS, another command during ATD or ATA).
    void endCall(SimModem& m, bool byHook) {
        FaxModem& f = *m.fm;
        f.dteEnded = true;  // the DTE gets its own report, not the T.30 side's
        if (f.fax && !f.t30Done) t30_terminate(fax_get_t30_state(f.fax));
        endT30(m);
        f.mode = FaxModem::Mode::Command;
        f.await = FaxModem::Await::Nothing;
        if (byHook || state == CallState::Connected || state == CallState::Dialling) hangUp(m);
    }

    // Sending: another document (a page of its own) follows unless the DTE said last page.
    // SpanDSP's receiver takes no page again after it rejected one that ended with EOP, so a
    // page the rig is about to have rejected (the rtn fault) ends with EOM: after RTN both
    // machines go back to DIS and DCS, and the DTE's repeated page follows.
    static int fmDocument(t30_state_t*, void* user, int) {
        auto* m = static_cast<SimModem*>(user);
        bool rejectComing = m->rig->rejectComing;
        m->rig->rejectComing = false;
        return m->fm->lastPage && !rejectComing ? 0 : 1;
    }

    // The far machine's frames as they arrive, before our T.30 side hears them (it hears the
    // line a little later: see lineDelay): the modem stops the line at a DIS when the DTE
    // has not yet given the page that answers it.
    static void fmMonitorFrame(void* user, const std::uint8_t* pkt, int len, int ok) {
        auto* m = static_cast<SimModem*>(user);
        if (len < 3 || !ok) return;
        m->rig->monitoredFrame(*m, std::vector<std::uint8_t>(pkt, pkt + len));
    }

    void monitoredFrame(SimModem& m, const std::vector<std::uint8_t>& fr) {
        FaxModem& f = *m.fm;
        if (!f.fax || f.t30Done) return;
        connectReport(m);
        std::uint8_t fcf = fr[2] & 0xFE;
        if (fcf == (T30_CSI & 0xFE)) f.remoteId = identFromFrame(fr);
        if (fcf != (T30_DIS & 0xFE)) return;
        f.remoteDis = fr;
        if (f.pageQueued) return;
        linePaused = true;
        if (f.await == FaxModem::Await::Dial) {
            if (!f.remoteId.empty()) report(m, std::string(f.words->csi) + ":\"" + f.remoteId + "\"");
            report(m, std::string("+") + f.words->params + ":" + paramsFromFrame(fr, false));
            finalResult(m, "OK");
        }
    }

    void connectReport(SimModem& m) {
        FaxModem& f = *m.fm;
        if (f.fconSent) return;
        f.fconSent = true;
        report(m, f.words->con);
    }

    static void fmFrame(t30_state_t*, void* user, int incoming, const std::uint8_t* msg, int len) {
        auto* m = static_cast<SimModem*>(user);
        if (len >= 3) m->rig->t30Frame(*m, incoming != 0, std::vector<std::uint8_t>(msg, msg + len));
    }

    void t30Frame(SimModem& m, bool incoming, const std::vector<std::uint8_t>& fr) {
        FaxModem& f = *m.fm;
        std::uint8_t fcf = fr[2] & 0xFE;
        if (f.calling) {
            if (incoming) return;
            if (fcf == (T30_DCS & 0xFE)) f.pageQueued = false;  // the T.30 side has taken the page
            return;
        }
        if (incoming) {
            connectReport(m);
            if (fcf == (T30_TSI & 0xFE)) {
                f.remoteId = identFromFrame(fr);
                if (f.await == FaxModem::Await::Answer) report(m, std::string(f.words->tsi) + ":\"" + f.remoteId + "\"");
            } else if (fcf == (T30_DCS & 0xFE)) {
                f.lastDcs = fr;
                if (f.await == FaxModem::Await::Answer) {
                    report(m, std::string(f.words->dcs) + ":" + paramsFromFrame(fr, true));
                    finalResult(m, "OK");
                } else {
                    f.dcsFresh = true;
                }
            } else if (fcf == (T30_MPS & 0xFE) || fcf == (T30_EOM & 0xFE) || fcf == (T30_EOP & 0xFE)) {
                f.lastPpm = fcf;
            }
            return;
        }
        if (fcf == (T30_CFR & 0xFE) || (fcf == (T30_MCF & 0xFE) && f.lastPpm == (T30_MPS & 0xFE))) {
            f.pageComing = true;
            pageConnect(m);
        }
    }

    static int fmPhaseD(t30_state_t* t30, void* user, int fcf) {
        auto* m = static_cast<SimModem*>(user);
        m->rig->t30PageDone(*m, t30, fcf & 0xFE);
        return 0;
    }

    void t30PageDone(SimModem& m, t30_state_t* t30, int fcf) {
        FaxModem& f = *m.fm;
        const ClassWords& w = *f.words;
        if (f.calling) {
            bool good = fcf == (T30_MCF & 0xFE) || fcf == (T30_RTP & 0xFE);
            bool rejected = fcf == (T30_RTN & 0xFE);
            if (!good && !rejected) return;  // PIP, PIN: not offered by our far machines
            // SpanDSP goes back to phase B after a rejection without closing the page's file;
            // the next document opens its own.
            if (rejected) t4_tx_release(&t30->t4.tx);
            f.lastStatus = good ? 1 : 2;
            if (good) ++f.pagesDone;
            if (!f.c20) report(m, std::string(w.pageStatus) + ":" + (good ? (fcf == (T30_RTP & 0xFE) ? "3" : "1") : "2"));
            if (good && f.lastPage) {
                f.await = FaxModem::Await::CallEnd;  // OK after the hang-up report
                return;
            }
            finalResult(m, good || !f.c20 ? "OK" : "ERROR");
            return;
        }
        // Receiving: the page is in the file when the T.30 side accepted it.
        t30_stats_t stats;
        t30_get_transfer_statistics(t30, &stats);
        f.rxGood = stats.pages_rx > f.pagesDone;
        f.rxData = f.rxGood ? readPageT4(workDir + "/received.tif", stats.pages_rx - 1) : std::vector<std::uint8_t>{};
        f.pagesDone = stats.pages_rx;
        f.rxFet = fcf == (T30_MPS & 0xFE) ? 0 : fcf == (T30_EOM & 0xFE) ? 1 : 2;
        f.pageComing = false;
        f.pageHere = true;
        linePaused = true;  // until the DTE has the page
        pageConnect(m);
        pageDeliver(m);
    }

    static void fmPhaseE(t30_state_t*, void* user, int result) {
        auto* m = static_cast<SimModem*>(user);
        m->rig->t30CallDone(*m, result);
    }

    // The T.30 side ended the call: the hang-up report, and a final result for a command
    // that waited for the call.
    void t30CallDone(SimModem& m, int result) {
        FaxModem& f = *m.fm;
        f.t30Done = true;
        f.t30Result = result;
        linePaused = false;
        m.offHook = false;
        if (f.dteEnded) return;
        if (!f.fconSent) {
            if (f.await != FaxModem::Await::Nothing) finalResult(m, "NO CARRIER");
            return;
        }
        int code = hangupCode(f, result);
        report(m, std::string(f.words->hangup) + ":" + std::to_string(code));
        if (f.await != FaxModem::Await::Nothing) finalResult(m, code == 0 ? "OK" : "ERROR");
        f.mode = FaxModem::Mode::Command;
    }

    // The hang-up status a Class 2 modem reports for SpanDSP's completion code.
    static int hangupCode(const FaxModem& f, int result) {
        if (result == T30_ERR_OK) return 0;
        if (result == T30_ERR_CANNOT_TRAIN) return 27;
        if (result == T30_ERR_INCOMPATIBLE || result == T30_ERR_RX_INCAPABLE || result == T30_ERR_NORESSUPPORT ||
            result == T30_ERR_NOSIZESUPPORT)
            return 21;
        if (f.calling) return f.pagesDone > 0 || f.pageQueued ? 50 : 20;
        return f.pagesDone > 0 ? 100 : 70;
    }

    // Per step: the transmit buffer drains at the line's rate; CTS follows it.
    void fmStep(SimModem& m) {
        FaxModem& f = *m.fm;
        f.buffered = std::max(0.0, f.buffered - f.lineBps / 8.0 * kStepMs / 1000.0);
        if (f.buffered <= 1024) m.cts = true;
        if (f.await == FaxModem::Await::PageDrain && f.buffered <= 0) pageDrained(m);
        if (f.await == FaxModem::Await::PageData) pageDeliver(m);
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
                callFailed(m, "VOICE");
                state = CallState::Idle;
                m.offHook = false;
            } else if (event == -2) {
                callFailed(m, "NO CARRIER");
                state = CallState::Idle;
                m.offHook = false;
            } else if (event == AT_CALL_EVENT_CONNECTED) {
                connect();
                callEvent(m, AT_CALL_EVENT_CONNECTED);
            } else {
                state = CallState::Idle;
                m.offHook = false;
                callEvent(m, event);
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
                callEvent(callee, AT_CALL_EVENT_ALERTING);
            }
        }
        for (int i = 0; i < modemCount; ++i)
            if (modems[i].ri && state == CallState::Incoming && now + options.ringInterval - nextRing >= 1000)
                modems[i].ri = false;

        for (int i = 0; i < modemCount; ++i) {
            serialIn(modems[i]);
            if (modems[i].fm) fmStep(modems[i]);
        }

        // A Class 2 modem's page crosses the line only after the DTE has given all of it (or
        // before the DTE gets any of it), while a real modem streams it: the line runs faster
        // while a page is on it, so that the DTE waits about as long as with a real modem.
        for (int run = 0; run < kPageSpeedup; ++run) {
            if (cutAt >= 0 && lineNow >= cutAt && state == CallState::Connected) {
                lineCut = true;
                cutAt = -1;
            }
            bool up = state == CallState::Connected && !lineCut;
            if (linePaused && up) break;
            line(up);
            if (!pageOnLine()) break;
        }

        bool up = state == CallState::Connected && !lineCut;

        for (int i = 0; i < modemCount; ++i) {
            SimModem& m = modems[i];
            m.link->setModemLines(up && m.offHook, m.cts, m.ri);
        }
        checkFinished();
    }

    // A Class 2 modem's fast modem sends or listens: a training check or a page.
    bool pageOnLine() const {
        const FaxModem* f = modems[0].fm.get();
        if (!f || !f->fax || f->t30Done) return false;
        auto fast = [](int type) { return type == T30_MODEM_V17 || type == T30_MODEM_V29 || type == T30_MODEM_V27TER; };
        return fast(f->fax->modems.current_tx_type) || fast(f->fax->modems.current_rx_type);
    }

    // The line: 160 samples each way.
    void line(bool up) {
        lineNow += kStepMs;
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
        if (!up) {
            std::fill(a, a + kSamples, 0);
            std::fill(b, b + kSamples, 0);
        }
        if (FaxModem* f = modems[0].fm.get(); f && f->v21) fsk_rx(f->v21, b, kSamples);
        lineDelay(0, a);
        lineDelay(1, b);
        audioIn(modems[0], b);
        if (options.far == FarEnd::Modem) audioIn(modems[1], a);
        else if (far && !far->done) fax_rx(far->fax, a, kSamples);
    }

    // A call takes time to cross the line. Without it a DTE that answers the end of a carrier
    // at once (efax sends CFR right after the training check's NO CARRIER) has its modem
    // talking before the other modem has even reported the end of its own transmission; the
    // other DTE's wait for silence (+FRS) then lasts through the whole answer and misses it.
    void lineDelay(int direction, std::int16_t* amp) {
        std::int16_t* slot = delayLine[direction][delayAt[direction]];
        for (int i = 0; i < kSamples; ++i) std::swap(slot[i], amp[i]);
        delayAt[direction] = (delayAt[direction] + 1) % kDelaySteps;
    }

    void audioOut(SimModem& m, std::int16_t* amp) {
        int n = 0;
        if (m.t31) n = t31_tx(m.t31, amp, kSamples);
        else if (m.fm->fax && !m.fm->t30Done) n = fax_tx(m.fm->fax, amp, kSamples);
        std::fill(amp + n, amp + kSamples, 0);
    }

    void audioIn(SimModem& m, std::int16_t* amp) {
        if (m.t31) t31_rx(m.t31, amp, kSamples);
        else if (m.fm->fax && !m.fm->t30Done) fax_rx(m.fm->fax, amp, kSamples);
    }

    // Bytes from the DTE at the serial rate, while the modem's CTS allows.
    void serialIn(SimModem& m) {
        bool dtr = m.link->dtr();
        if (m.lastDtr && !dtr && (m.offHook || state == CallState::Connected)) {
            hangUp(m);
            callEvent(m, AT_CALL_EVENT_HANGUP);
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
        trace(m, '>', &byte, 1);
        if (m.fm) return fmByte(m, byte);
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
    // A pair is two Class 1 modems: a Class 2 modem needs a fax machine of SpanDSP's on the line.
    bool faxModem = r.options.modemClass != 1 && r.options.far != FarEnd::Modem;
    if (faxModem) {
        char tmpl[] = "/tmp/modemsim-XXXXXX";
        if (const char* dir = ::mkdtemp(tmpl)) r.workDir = dir;
    }
    for (int i = 0; i < r.modemCount; ++i) {
        SimModem& m = r.modems[i];
        m.rig = &r;
        m.index = i;
        r.simLines[i] = std::make_shared<SimSerialLine>(clock);
        m.link = r.simLines[i];
        if (faxModem) {
            m.fm = std::make_unique<FaxModem>();
            m.fm->c20 = r.options.modemClass == 20;
            m.fm->words = m.fm->c20 ? &kClass20Words : &kClass2Words;
            continue;
        }
        m.t31 = t31_init(nullptr, &Impl::atTx, &m, &Impl::control, &m, nullptr, nullptr);
        if (r.options.log) {
            span_log_set_level(t31_get_logging_state(m.t31), int{SPAN_LOG_FLOW} | int{SPAN_LOG_SHOW_TAG});
            span_log_set_tag(t31_get_logging_state(m.t31), i == 0 ? "A" : "B");
        }
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
    for (int i = 0; i < impl_->modemCount; ++i) {
        SimModem& m = impl_->modems[i];
        if (m.t31) t31_free(m.t31);
        if (m.fm) impl_->endT30(m);
    }
    if (impl_->far) fax_free(impl_->far->fax);
    if (!impl_->workDir.empty()) std::filesystem::remove_all(impl_->workDir);
}

void ModemRig::setDteLink(int modem, std::shared_ptr<DteLink> link) {
    impl_->modems[modem].link = std::move(link);
}

std::shared_ptr<SimSerialLine> ModemRig::serialLine(int modem) {
    if (modem < 0 || modem >= impl_->modemCount) return nullptr;
    return impl_->simLines[modem];
}

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
