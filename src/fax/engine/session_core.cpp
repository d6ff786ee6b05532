#include "fax/engine/session_core.h"

#include <algorithm>
#include <cctype>
#include <cstdarg>
#include <cstdio>

#include "fax/image/fax_errors.h"

namespace pellora::fax {

std::atomic<bool> gNextFaxGuard{false};

namespace {
constexpr int ecPortNotAssigned = -1005;

std::string upper(std::string s) {
    for (char& c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return s;
}

bool startsWith(const std::string& s, std::string_view prefix) {
    return s.compare(0, prefix.size(), prefix) == 0;
}
}  // namespace

StateKind transmitStateKind(int state) {
    using C = Continue;
    switch (state) {
        case 1: case 2: case 9: case 23: case 24: case 26: case 30: case 38: case 42: case 43:
        case 45: case 46: case 47:
            return {false, C::Run};
        case 10: case 21: case 22: case 25: case 27: case 28: case 48:
            return {false, C::Stop};
        case 3: case 4: case 5: case 6: case 7: case 8: case 11: case 12: case 13: case 14:
        case 15: case 16: case 17: case 18: case 19: case 20: case 29: case 31: case 32: case 34:
        case 35: case 36: case 37: case 39: case 40: case 41: case 44:
            return {true, C::WhileBytes};
        default:
            return {false, C::Stop};
    }
}

StateKind receiveStateKind(int state) {
    using C = Continue;
    switch (state) {
        case 1: case 9: case 25: case 29: case 35: case 36:
            return {false, C::Run};
        case 13: case 14: case 16: case 37:
            return {false, C::Stop};
        case 26:
            return {false, C::WhileBytes};
        case 2: case 3: case 4: case 5: case 7: case 8: case 10: case 11: case 12: case 15:
        case 18: case 19: case 20: case 21: case 22: case 23: case 24: case 27: case 28: case 30:
        case 31: case 32: case 33: case 34:
            return {true, C::WhileBytes};
        default:
            return {false, C::Stop};
    }
}

FaxSession::FaxSession(bool transmitter, Notifier& notifier, MessagePump* pump)
    : transmitter_(transmitter), notifier_(notifier), pump_(pump) {
    localRates_[1] = localRates_[2] = true;
    connectBPS_ = 9600;
}

FaxSession::~FaxSession() {
    if (port_ && attached_) {
        detaching_ = true;
        port_->detachHandler(this);
    }
    if (port_)
        for (int h : {responseTimer_, statusTimer_, outputRoom_, outputDrained_, modemLine_})
            if (h > 0) port_->removeTrigger(h);
}

void FaxSession::setModemInit(const std::string& init) {
    userInit_ = upper(init);
    if (!userInit_.empty() && !startsWith(userInit_, "AT")) userInit_ = "AT" + userInit_;
}

void FaxSession::setInitBaud(long initBaud, long normal) {
    initBaud_ = initBaud;
    if (normal != 0)
        NormalBaud = normal;
    else if (port_)
        NormalBaud = port_->baud();
    if (port_ && port_->isOpen() && !attached_) switchToInitBaud();
}

void FaxSession::setNextFax(const std::string& phone, const std::string& faxFile,
                            const std::string& coverFile) {
    // File names keep their case: on this platform an upper-cased path is another file.
    phoneNumber_ = phone;
    faxFile_ = faxFile;
    coverFile_ = coverFile;
}

FaxSession::Status FaxSession::status() {
    Status s;
    if (transmitter_) {
        s.totalPages = source_.isOpen() ? source_.header().pageCount : totalPages_;
        s.currentPage = sendingCover_ ? 0 : currentPage_;
        long queued = port_ ? port_->outputUsed() : 0;
        if (queued == 1) queued = 0;
        s.bytesTransferred = std::max(0L, bytesTransferred_ - queued);
        s.pageLength = pageLength_;
    } else {
        s.currentPage = currentPage_;
        s.bytesTransferred = bytesTransferred_;
    }
    return s;
}

// --- PageOutput over the port ------------------------------------------------------------------

int FaxSession::write(const std::uint8_t* data, int length) {
    // The port takes a block whole or not at all. Page data is only written when there is
    // room, but a block of doubled DLEs may still not fit: let the port drain it.
    ClockMs giveUp = port_->clock().now() + kDataTimeoutTicks * kTickMs;
    for (;;) {
        int rc = port_->write(data, length);
        if (rc != ecPutBlockFail || port_->clock().now() >= giveUp) return rc < 0 ? rc : 0;
        port_->poll();
        port_->clock().sleepFor(5);
    }
}

int FaxSession::outputUsed() { return port_->outputUsed(); }
int FaxSession::outputFree() { return port_->outputFree(); }

// --- notifications -----------------------------------------------------------------------------

std::int64_t FaxSession::notify(int message, std::int64_t payload, std::int64_t fallback) {
    // A component that does not answer within the time-out is skipped: the engine goes on.
    auto answer = notifier_.send(Notification{message, payload});
    return answer ? *answer : fallback;
}

void FaxSession::sendStatus(bool first, bool last) {
    notify(kNotifyStatus, (first ? kStatusFirst : 0) | (last ? kStatusLast : 0));
}

void FaxSession::reportError(int code) {
    errorCode_ = code;
    notify(kNotifyError, code);
}

void FaxSession::logNotify(TFaxLogCode code) { notify(kNotifyLog, code); }

void FaxSession::finish() {
    if (port_) {
        for (int* h : {&responseTimer_, &statusTimer_, &outputRoom_, &outputDrained_, &modemLine_}) {
            if (*h > 0) port_->removeTrigger(*h);
            *h = -1;
        }
        detaching_ = true;
        port_->detachHandler(this);
    }
    attached_ = false;
    ready_ = false;
    notifier_.post(Notification{kNotifyFinish, errorCode_});
}

// --- commands and waits ------------------------------------------------------------------------

void FaxSession::pause(long ms) {
    // A short pause of the engine; the port keeps moving bytes meanwhile.
    Clock& clock = port_->clock();
    ClockMs end = clock.now() + ms;
    for (;;) {
        port_->poll();
        ClockMs now = clock.now();
        if (now >= end) break;
        clock.sleepFor(std::min<ClockMs>(end - now, 10));
    }
    port_->poll();
}

void FaxSession::trace(const char* format, ...) const {
    char text[512];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    long long ms = port_ ? static_cast<long long>(port_->clock().now()) : 0;
    std::fprintf(stderr, "[%8lld %s] %s\n", ms, transmitter_ ? "tx" : "rx", text);
}

void FaxSession::writeCommand(const std::string& command) {
    if (trace_) trace("> %s", command.c_str());
    for (char c : command) port_->write(static_cast<std::uint8_t>(c));
    port_->write(static_cast<std::uint8_t>('\r'));
}

void FaxSession::armResponseTimer(long ticks) {
    if (responseTimer_ > 0) port_->armTimer(responseTimer_, ticks, true);
}

void FaxSession::setWaitTimer(long ticks) { waitEnd_ = port_->clock().now() + ticks * kTickMs; }

bool FaxSession::waitTimerExpired() const { return port_->clock().now() >= waitEnd_; }

void FaxSession::clearAndRearm() {
    collector_.clear();
    armResponseTimer(kResponseTimeoutTicks);
    setWaitTimer(kResponseTimeoutTicks);
}

void FaxSession::sendCommand(const std::string& command) {
    if (command == "+++") {
        port_->write(command);
        return;
    }
    // The Class 1 mode switches follow the modem's last response closely; everything else
    // leaves the modem time to settle.
    bool modeSwitch = command == "AT+FTH=3" || command == "AT+FRH=3" ||
                      ((startsWith(command, "AT+FTM=") || startsWith(command, "AT+FRM=")) &&
                       command.find('?') == std::string::npos);
    pause(modeSwitch ? 40 : 100);
    lastCommand_ = command;
    writeCommand(command);
    clearAndRearm();
}

// Reads the next line of a synchronous wait: characters below 32 are dropped, CR ends a
// non-empty line, a line keeps its last 129 characters. False when the wait timer expired.
bool FaxSession::readLineSync(std::string& line) {
    line.clear();
    Clock& clock = port_->clock();
    for (;;) {
        if (pump_) pump_->processPending();
        port_->poll();
        while (port_->byteAvailable()) {
            int c = port_->readByte();
            if (c < 0) break;
            if (c < 32) {
                if (c == '\r' && !line.empty()) return true;
                continue;
            }
            line.push_back(static_cast<char>(c));
            if (line.size() > 129) line.erase(0, line.size() - 129);
        }
        if (waitTimerExpired()) return false;
        clock.sleepFor(std::min<ClockMs>(10, std::max<ClockMs>(1, waitEnd_ - clock.now())));
    }
}

bool FaxSession::sendAndWait(const std::string& command, std::vector<std::string>* lines) {
    sendCommand(command);
    bool held = port_->holdNotifications(true);
    bool result = false, otherLine = false;
    std::string line;
    while (readLineSync(line)) {
        if (line == command) continue;  // the modem's echo
        if (lines) lines->push_back(line);
        if (contains(line, rtError)) break;
        if (contains(line, rtOK) || otherLine) {
            result = true;
            break;
        }
        otherLine = true;
    }
    port_->discardInput();
    port_->holdNotifications(held);
    return result;
}

std::string FaxSession::initString() const { return initStringFor(BlindDial, DetectBusy); }

bool FaxSession::detectClass(bool init, ClassList* found) {
    bool held = port_->holdNotifications(true);
    bool ok = true;
    if (init) {
        for (int i = 0; i < 2; ++i) {
            std::vector<std::string> lines;
            if (!sendAndWait(initString(), &lines)) {
                ok = false;
                break;
            }
            if (std::any_of(lines.begin(), lines.end(), [](auto& l) { return contains(l, rtOK); }))
                break;
        }
    }
    ClassList list;
    if (ok) {
        std::vector<std::string> lines;
        ok = sendAndWait("AT+FCLASS=?", &lines) && !lines.empty();
        if (ok) list = parseClassList(lines.front());
    }
    if (ok) {
        if (list.class2_0)
            FaxClass = fcClass2_0;
        else if (list.class2)
            FaxClass = fcClass2;
        else if (list.class1)
            FaxClass = fcClass1;
        else
            ok = false;
    }
    if (found) *found = list;
    port_->holdNotifications(held);
    return ok;
}

bool FaxSession::queryClasses(ClassList* out) {
    if (!port_ || !port_->isOpen()) return false;
    TFaxClass keep = FaxClass;
    bool ok = detectClass(false, out);
    FaxClass = keep;
    return ok;
}

void FaxSession::queryRates(const std::string& query) {
    if (!sendAndWait("AT+FCLASS=1")) return;
    localRates_.fill(false);
    localRates_[1] = localRates_[2] = true;
    rateIndex_ = 1;
    sendCommand(query);
    setWaitTimer(kResponseTimeoutTicks);
    bool held = port_->holdNotifications(true);
    std::string line;
    while (readLineSync(line)) {
        if (contains(line, ",")) {
            static constexpr const char* codes[7] = {"", "", "", "72", "96", "121", "145"};
            for (int i = 3; i <= 6; ++i)
                if (contains(line, codes[i])) localRates_[i] = true;
            for (int i = 6; i >= 1; --i)
                if (localRates_[i]) {
                    rateIndex_ = i;
                    break;
                }
        }
        if (waitTimerExpired()) break;
        setWaitTimer(36);
        if (contains(line, rtOK) || contains(line, rtError)) break;
    }
    port_->holdNotifications(held);
    connectBPS_ = kRates[rateIndex_].bps;
    recomputeMinBytes();
}

void FaxSession::recomputeMinBytes() {
    minBytesPerLine_ = minBytesPerLine(scanTimeIndex_, connectHighRes_, connectBPS_);
}

// --- rate switching ----------------------------------------------------------------------------

void FaxSession::switchToNormalBaud() {
    if (!port_) return;
    if (initBaud_ == 0) {
        port_->setBaud(19200);
        return;
    }
    if (atInitBaud_) pause(9 * kTickMs);
    port_->setBaud(NormalBaud ? NormalBaud : 19200);
    atInitBaud_ = false;
}

void FaxSession::switchToInitBaud() {
    if (!port_) return;
    if (initBaud_ == 0) {
        port_->setBaud(19200);
        return;
    }
    if (!atInitBaud_) pause(9 * kTickMs);
    port_->setBaud(initBaud_);
    atInitBaud_ = true;
}

// --- hang-up -------------------------------------------------------------------------------------

void FaxSession::dropLines() {
    port_->discardInput();
    port_->discardOutput();
    port_->setLines(false, false);
    pause(500);
    port_->setLines(true, true);
    pause(500);
}

void FaxSession::transmitHangup() {
    if (port_->carrierDetect()) {
        pause(1000);
        sendCommand("+++");
        pause(1000);
        sendCommand("ATH0");
        pause(1000);
        port_->discardInput();
        if (port_->carrierDetect()) dropLines();
    } else {
        sendCommand("ATH0");
        pause(1000);
        port_->discardInput();
    }
}

void FaxSession::receiveHangup() {
    dropLines();
    pause(1000);
    sendCommand("+++");
    pause(1000);
    sendCommand("ATH");
    pause(1000);
    port_->discardInput();
}

// --- preparation -------------------------------------------------------------------------------

void FaxSession::prepareTransmit() {
    resolutionChar_ = ' ';
    // The renderers follow EnhTextEnabled and the fonts as they are when the run starts.
    headerRenderer_.reset();
    coverRenderer_.reset();
    previousResolutionChar_ = ' ';
    state_ = txNextFax;
    statusCode_ = scInitializing;
    errorCode_ = 0;
    sendStatus(true, false);
    bytesTransferred_ = pageLength_ = 0;
    coverPages_ = 0;
    remoteId_.clear();
    faxFile_.clear();
    coverFile_.clear();
    phoneNumber_.clear();
    dialAttempt_ = 0;
    currentPage_ = 1;
    port_->setBaud(19200);
    port_->setLines(true, true);
    if (FaxClass == fcUnknown) FaxClass = fcDetect;
    if (FaxClass == fcDetect && !detectClass(true)) {
        reportError(ecFaxBadModemResult);
        return;
    }
    if (!modemInitialised_) {
        if ((!userInit_.empty() && !sendAndWait(userInit_)) || !sendAndWait(initString())) {
            reportError(ecFaxBadModemResult);
            return;
        }
        modemInitialised_ = true;
    }
    if (FaxClass == fcClass2 || FaxClass == fcClass2_0) {
        classCommands_ = classCommandTable(FaxClass);
        switchToNormalBaud();
    } else {
        classCommands_ = ClassCommandTable{};
        queryRates("AT+FTM=?");
    }
    ready_ = true;
}

void FaxSession::prepareReceive() {
    state_ = rxInit;
    statusCode_ = 0;
    errorCode_ = 0;
    if ((FaxClass == fcUnknown || FaxClass == fcDetect) && !detectClass(true)) {
        reportError(ecFaxBadModemResult);
        return;
    }
    bool classTwo = FaxClass == fcClass2 || FaxClass == fcClass2_0;
    classCommands_ = classTwo ? classCommandTable(FaxClass) : ClassCommandTable{};
    bool held = port_->holdNotifications(true);
    bool ok = true;
    if (!modemInitialised_) {
        ok = (userInit_.empty() || sendAndWait(userInit_)) && sendAndWait(initString());
        if (ok) modemInitialised_ = true;
    }
    if (ok && !classTwo) {
        sendAndWait("AT+FCLASS=1");
        switchToNormalBaud();
        queryRates("AT+FRM=?");
        while (rateIndex_ > 1 && kRates[rateIndex_].bps > DesiredBPS) --rateIndex_;
        connectBPS_ = kRates[rateIndex_].bps;
        recomputeMinBytes();
        ready_ = true;
    } else if (ok) {
        ok = sendAndWait(classCommands_[slClass]);
        if (ok) switchToNormalBaud();
        ok = ok && sendAndWait("AT+FCR=1") &&
             sendAndWait(classCommands_[slLocalID] + "=\"" + upper(StationID) + "\"") &&
             sendAndWait(std::string("AT+FAA=") + (FaxAndData ? '1' : '0'));
        if (ok) ready_ = true;
    }
    port_->holdNotifications(held);
}

// --- a run ---------------------------------------------------------------------------------------

int FaxSession::start() {
    if (!port_) return ecPortNotAssigned;
    attached_ = false;
    detaching_ = false;
    port_->enableDataNotification(true);
    responseTimer_ = port_->addTimerTrigger();
    statusTimer_ = port_->addTimerTrigger();
    outputRoom_ = port_->addStatusTrigger(kTriggerOutputRoom);
    outputDrained_ = port_->addStatusTrigger(kTriggerOutputUsed);
    modemLine_ = port_->addStatusTrigger(kTriggerModemLines);
    if (responseTimer_ < 0 || statusTimer_ < 0 || outputRoom_ < 0 || outputDrained_ < 0 ||
        modemLine_ < 0) {
        reportError(ecNoMoreTriggers);
        finish();
        return errorCode_;
    }
    if (transmitter_)
        prepareTransmit();
    else
        prepareReceive();
    if (errorCode_ == 0) {
        attached_ = true;
        // The first pass runs here, on the caller's thread. Until it is done the dispatcher
        // must not run the handler too: it would ask the component for the next fax from the
        // other thread while this one holds the handler, the request would time out, and the
        // run would end as if there were nothing to send.
        bool held = port_->holdNotifications(true);
        port_->attachHandler([this](unsigned m, std::uint16_t h, std::uint32_t) { handleEvent(m, h); },
                             this);
        handleEvent(kPortDataMessage, 0);
        port_->holdNotifications(held);
        if (attached_) port_->armTimer(statusTimer_, secondsToTicks(StatusInterval), true);
        return 0;
    }
    sendStatus(false, true);
    finish();
    return errorCode_;
}

void FaxSession::cancel() {
    if (attached_) handleEvent(kNotifyCancel, 0);
}

bool FaxSession::collectResponse() {
    while (port_->byteAvailable()) {
        int c = port_->readByte();
        if (c < 0) break;
        auto r = collector_.feed(static_cast<std::uint8_t>(c));
        if (r == ResponseCollector::rcFrame) {
            if (onFrame()) return true;
            continue;
        }
        if (r != ResponseCollector::rcLine) continue;
        const std::string& line = collector_.line();
        if (trace_) trace("< %s", line.c_str());
        const std::string& hangup = classCommands_[slHangup];
        if (transmitter_) {
            // The set-up states answer a refused command themselves (-8063, the modem would
            // not take the settings); so do the post-page states that expect ERROR.
            bool setup = state_ >= txSelectClass1 && state_ <= txParametersSet;
            if (contains(line, rtError) && !setup && state_ != 31 && state_ != 34 && state_ != 44) {
                reportError(ecFaxBadModemResult);
                goTo(txFaxFailed);
            } else if (contains(line, hangup) && state_ != 40 && state_ != 44) {
                hangupCode_ = hangupCodeFrom(line);
                reportError(ecFaxBadModemResult);
                goTo(txFaxFailed);
            }
        } else {
            bool setup = state_ >= rxClass1Selected && state_ <= rxReady;
            if (contains(line, rtError) && !setup) {
                reportError(ecFaxBadModemResult);
                goTo(rxCallFailed);
            } else if (contains(line, hangup) && state_ != 34) {
                hangupCode_ = hangupCodeFrom(line);
                reportError(ecFaxSessionError);
                goTo(rxCallFailed);
            }
        }
        return true;
    }
    return false;
}

void FaxSession::onTimeout() {
    // The states with a rule of their own; every other waiting state gives up the fax or call.
    if (transmitter_) {
        switch (state_) {
            case txClass1DialResult:
            case txDialResult:
                reportError(ecFaxNoAnswer);
                goTo(txFaxFailed);
                return;
            case txPostPageResponse:
                // Nothing usable came back: nudge the modem out of its receive mode and send
                // the post-page message again.
                port_->write(static_cast<std::uint8_t>(' '));
                goTo(txPostPageRetry);
                return;
            case txHangupWait:
                transmitHangup();
                goTo(txFaxDone);
                return;
            default:
                break;
        }
    } else {
        switch (state_) {
            case rxSendCSI:
                if (disRetry_ != 0) {
                    goTo(rxRetryDIS);
                    return;
                }
                break;
            case rxWaitDCS:
                goTo(rxRetryDIS);
                return;
            case rxWaitDCN:
                goTo(rxCallDone);
                return;
            default:
                break;
        }
    }
    reportError(ecFatalTimeout);
    goTo(failureState());
}

void FaxSession::handleEvent(unsigned message, std::uint16_t handle) {
    const bool cancelPass = message == static_cast<unsigned>(kNotifyCancel);
    std::unique_lock<std::recursive_mutex> lock(handlerMutex_, std::defer_lock);
    // Cancel runs on the component's thread; an event that arrives meanwhile waits, unless
    // the run ends under it.
    while (!lock.try_lock()) {
        if (detaching_) return;
        port_->clock().sleepFor(1);
    }
    if (!attached_) return;
    if (message == kPortDataMessage) handle = 0;
    currentHandle_ = cancelPass ? 0 : handle;
    const bool isStatusTimer = handle != 0 && handle == statusTimer_;
    if (!cancelPass) {
        if (handle != 0 && handle != responseTimer_ && !isStatusTimer && handle != outputRoom_ &&
            handle != outputDrained_)
            return;
        if (state_ == failureState()) return;
    }
    bool dataCall = handle == 0 && !cancelPass;
    bool timerCall = handle != 0 && handle == responseTimer_;
    bool runState = true;
    if (cancelPass) {
        statusCode_ = scUserAbort;
        errorCode_ = ecCancelRequested;
        state_ = failureState();
        sendStatus(false, false);
    } else if (isStatusTimer || forceStatus_) {
        forceStatus_ = false;
        sendStatus(false, false);
        if (statusTimer_ > 0) port_->armTimer(statusTimer_, secondsToTicks(StatusInterval), true);
        if (isStatusTimer) {
            if (!transmitter_) return;
            runState = false;  // straight to the continuation
        }
    }
    for (int passes = 0; passes < 100000; ++passes) {
        if (runState) {
            StateKind kind = transmitter_ ? transmitStateKind(state_) : receiveStateKind(state_);
            bool haveLine = false;
            if (kind.wait) {
                if (dataCall) {
                    if (!collectResponse()) break;
                    haveLine = true;
                } else if (timerCall) {
                    onTimeout();
                }
            }
            bool leave = transmitter_ ? runTransmitState(dataCall, haveLine, cancelPass)
                                      : runReceiveState(dataCall, haveLine, cancelPass);
            if (leave || !attached_) break;
        }
        runState = true;
        StateKind next = transmitter_ ? transmitStateKind(state_) : receiveStateKind(state_);
        if (next.next == Continue::Stop) break;
        if (next.next == Continue::WhileBytes && !port_->byteAvailable()) break;
        dataCall = true;
        timerCall = false;
        currentHandle_ = 0;
    }
}

void FaxSession::closeFaxFiles() {
    source_.close();
    closeTextCover();
}

}  // namespace pellora::fax
