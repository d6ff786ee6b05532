// A fax session: the engine object behind one fax component. It drives a fax modem through a
// TComPort with AT commands and runs one event-driven state machine per direction: a transmit
// session sends the faxes its component hands over, a receive session answers calls and
// stores what arrives.
//
// This file holds what both machines share: the session record, the handling of port events,
// commands and the response collector, synchronous send-and-wait for preparation, class
// detection and the Class 1 rate query, preparation, rate switching, dialling with the busy
// rule, hang-up, and the notifications to the component.
//
// Threads: the handler runs on the port's dispatcher thread, one event at a time; cancel runs
// it on the component's thread. Notifications reach the component through its Notifier (sent
// with a time-out; finish posted). Synchronous waits run on the component's thread and let its
// messages run through the MessagePump.
#pragma once

#include <array>
#include <atomic>
#include <cstdlib>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "core_iface/notifier.h"
#include "fax/engine/com_port.h"
#include "fax/engine/header_renderer.h"
#include "fax/engine/page_transfer.h"
#include "fax/engine/t30_frames.h"
#include "fax/engine/responses.h"
#include "fax/engine/session_defs.h"
#include "core_iface/message_pump.h"

namespace pellora::fax {

// Transmit states. The numbers are labels shared with the class-specific machines.
enum TxState : int {
    txNextFax = 1, txOpenDocument = 2, txSelectClass1 = 3, txSetLocalID = 4, txSetFlowControl = 5,
    txSetReporting = 6, txSetParameters = 7, txParametersSet = 8, txDial = 9, txRetryWait = 10,
    txClass1DialResult = 11, txSendTSI = 12, txSendDCS = 13, txStartTraining = 14, txSendTCF = 15,
    txTCFSent = 16, txTrainingResult = 17, txPageConnect = 18, txDialResult = 19,
    txNegotiate = 20, txWaitXON = 21, txWaitRoom = 22, txSendHeader = 23, txOpenCover = 24,
    txSendTextCover = 25, txPageStart = 26, txSendPageData = 27, txPageDrained = 28,
    txPageDataDone = 29, txPostPageRetry = 30, txSendPostPage = 31, txPostPageSent = 32,
    txPostPageResponse = 34, txSendDCN = 35, txHangup = 36, txHangupWait = 37, txEndOfPage = 38,
    txSendFET = 39, txPageStatus = 40, txResendPage = 41, txNewResolution = 42, txNextPage = 43,
    txPageStatus20 = 44, txFaxDone = 45, txNoMoreFaxes = 46, txFaxFailed = 47, txFinished = 48
};

// Receive states.
enum RxState : int {
    rxInit = 1, rxClass1Selected = 2, rxSetCapabilities = 3, rxSetFlowControl = 4,
    rxSetReporting = 5, rxReady = 7, rxWaitRing = 8, rxAnswer = 9, rxSendCSI = 10, rxSendDIS = 11,
    rxWaitDCS = 12, rxRetryDIS = 13, rxRestartDIS = 14, rxTCFConnect = 15, rxCheckTCF = 16,
    rxSendFTT = 18, rxTCFEnded = 19, rxSendCFR = 20, rxPageConnect = 21,
    rxWaitConnectReport = 22, rxNegotiate = 23, rxWaitPageConnect = 24, rxPageStart = 25,
    rxReceivePageData = 26, rxWaitCarrierLoss = 27, rxPostPageMessage = 28, rxEndPage = 29,
    rxSendMCF = 30, rxWaitDCN = 31, rxHangupDone = 32, rxPageStatus = 33, rxWaitHangup = 34,
    rxCallDone = 35, rxCallFailed = 36, rxFinished = 37
};

// How a state goes on after its action: run on, run on while bytes wait, or stop.
enum class Continue { Run, WhileBytes, Stop };
struct StateKind {
    bool wait = false;  // waits for a response line
    Continue next = Continue::Stop;
};
StateKind transmitStateKind(int state);
StateKind receiveStateKind(int state);

class FaxSession : private PageOutput {
public:
    // Creates a session for one direction; notifications go to `notifier`, synchronous waits
    // let `pump` run the component's messages (may be null).
    FaxSession(bool transmitter, Notifier& notifier, MessagePump* pump = nullptr);
    ~FaxSession() override;
    FaxSession(const FaxSession&) = delete;
    FaxSession& operator=(const FaxSession&) = delete;

    // --- configuration (the component's properties) ----------------------------------------
    bool isTransmitter() const { return transmitter_; }
    unsigned StatusInterval = 1;  // seconds
    unsigned DialAttempts = 3;    // 0 = unlimited
    unsigned options = 0;         // afAbortNoConnect, afExitOnError, afSoftwareFlow
    TFaxClass FaxClass = fcDetect;
    std::string StationID;
    std::string DestinationDir;
    std::string FaxFileExt = "PLF";
    std::string HeaderSender, HeaderRecipient, HeaderTitle, HeaderLine;
    bool ToneDial = true;
    bool BlindDial = false;
    bool DetectBusy = true;
    long DesiredBPS = 9600;
    bool DesiredECM = false;
    bool FaxAndData = false;
    unsigned AnswerOnRing = 1;
    int MaxSendCount = 50;
    int BufferMinimum = 1000;
    bool SafeMode = true;  // kept for the component; sessions do not consult it
    bool OneFax = false;
    bool ConstantStatus = false;
    bool EnhTextEnabled = false;
    TFont EnhHeaderFont;  // header line font when EnhTextEnabled
    TFont EnhFont;        // text cover font when EnhTextEnabled
    long NormalBaud = 0;
    std::string DialPrefix;

    void setModemInit(const std::string& init);  // upper-cased, "AT" put in front when missing
    const std::string& modemInit() const { return userInit_; }
    void setDialWait(long seconds) { dialWait_ = secondsToTicks(seconds); }
    long dialWait() const { return ticksToSeconds(dialWait_); }
    void setDialRetryWait(long seconds) { dialRetryWait_ = secondsToTicks(seconds); }
    long dialRetryWait() const { return ticksToSeconds(dialRetryWait_); }
    // Sets the idle port rate; NormalBaud becomes `normal`, or the port's rate when 0.
    void setInitBaud(long initBaud, long normal = 0);
    long initBaud() const { return initBaud_; }

    // Renders the header line (and, unless a cover renderer is set, text covers) instead of
    // the fonts the session would choose; the session does not own it. For tests.
    void setRenderer(LineRenderer* renderer) { renderer_ = renderer; }

    // --- the port --------------------------------------------------------------------------
    void setPort(TComPort* port) { port_ = port; }
    TComPort* port() const { return port_; }

    // --- a run ---------------------------------------------------------------------------------
    // Starts the machine of this session's direction: triggers, preparation, then the
    // handler. Returns ErrorCode (0 when the machine runs).
    int start();
    // Stops the run (ErrorCode -6005); nothing when no handler is attached.
    void cancel();
    // The handler the port calls (message, trigger handle).
    void handleEvent(unsigned message, std::uint16_t handle);
    // Which of the classes the modem lists (without the init string). False when the modem
    // did not answer.
    bool queryClasses(ClassList* out);

    // The component hands over the next fax (answering the next-fax notification).
    void setNextFax(const std::string& phone, const std::string& faxFile, const std::string& coverFile);
    // The component names the received file (answering the name notification).
    void setFaxFile(const std::string& name) { faxFile_ = name; }

    // --- status query ----------------------------------------------------------------------
    int StatusCode() const { return statusCode_; }
    int ErrorCode() const { return errorCode_; }
    int state() const { return state_; }
    bool ready() const { return ready_; }
    bool modemInitialised() const { return modemInitialised_; }
    unsigned DialAttempt() const { return dialAttempt_; }
    std::string RemoteID() const { return remoteId_; }
    std::string PhoneNumber() const { return phoneNumber_; }
    std::string faxFile() const { return faxFile_; }
    std::string coverFile() const { return coverFile_; }
    long ConnectBPS() const { return connectBPS_; }
    bool ConnectHighRes() const { return connectHighRes_; }
    bool ConnectWide() const { return connectWide_; }
    bool ConnectECM() const { return connectECM_; }
    int HangupCode() const { return hangupCode_; }
    int rateIndex() const { return rateIndex_; }
    const std::string& modulation() const { return modulation_; }
    bool localRate(int index) const { return index >= 1 && index <= 6 && localRates_[index]; }
    int MinBytesPerLine() const { return minBytesPerLine_; }
    const ClassCommandTable& classCommands() const { return classCommands_; }
    // The run's values as the status window shows them.
    struct Status {
        int totalPages = 0, currentPage = 0;
        long bytesTransferred = 0, pageLength = 0;
    };
    Status status();

    // --- pieces the state machines use (public so that they can be tested alone) -----------
    // Waits 100 ms (40 ms before the Class 1 mode switches), writes the command and CR, then
    // clears the response line and re-arms the response timer.
    void sendCommand(const std::string& command);
    // Sends a command during preparation and reads the answer synchronously. `lines` gets the
    // lines read (the echo left out).
    bool sendAndWait(const std::string& command, std::vector<std::string>* lines = nullptr);
    // Finds the modem's class; with `init` the init string goes first. Sets FaxClass.
    bool detectClass(bool init, ClassList* found = nullptr);
    // The Class 1 rate query ("AT+FTM=?" or "AT+FRM=?").
    void queryRates(const std::string& query);
    void switchToNormalBaud();
    void switchToInitBaud();
    void transmitHangup();
    void receiveHangup();
    // The status notification (first/last flags).
    void sendStatus(bool first, bool last);

private:
    // PageOutput over the port.
    int write(const std::uint8_t* data, int length) override;
    int outputUsed() override;
    int outputFree() override;

    // notifications
    std::int64_t notify(int message, std::int64_t payload, std::int64_t fallback = 0);
    void reportError(int code);
    void logNotify(TFaxLogCode code);
    void finish();

    // commands and waits
    void writeCommand(const std::string& command);
    void clearAndRearm();
    void armResponseTimer(long ticks);
    void setWaitTimer(long ticks);
    bool waitTimerExpired() const;
    void pause(long ms);
    bool readLineSync(std::string& line);
    void dropLines();

    // preparation
    void prepareTransmit();
    void prepareReceive();
    std::string initString() const;
    void recomputeMinBytes();

    // the handler's steps
    bool collectResponse();  // true when a line (or a frame) ended the collection
    void onTimeout();
    bool runTransmitState(bool dataCall, bool haveLine, bool cancelPass);
    bool runReceiveState(bool dataCall, bool haveLine, bool cancelPass);
    bool runClass1TransmitState(bool haveLine);
    bool runClass1ReceiveState(bool dataCall, bool haveLine);
    // Class 1: a frame the collector found. True when it ended the collection.
    bool onFrame();
    void sendFrame(std::uint8_t fcf, bool final, std::span<const std::uint8_t> fif = {});
    void sendTrainingCheck();
    bool checkTraining();  // true once the training data ended (tcfGood_ holds the verdict)
    // Class 2 / 2.0 parameter reports.
    void applyParameters(const std::string& line);
    // Transmit page flow.
    bool readCurrentPageHeader();  // false: the fax has failed
    bool advancePage();
    void rewindToSentPage();
    void armOutputRoom();
    int textCoverStep();  // prMore, prPageDone or a negative code
    void closeTextCover();
    std::string expandedTags(std::string_view text) const;
    bool resolutionChanged() const {
        return previousResolutionChar_ != ' ' && previousResolutionChar_ != resolutionChar_;
    }
    // Receive page flow.
    bool acceptRequest(bool class2State);  // false: the call goes to its failure state
    int createReceivedFile();
    bool receivePageData(bool timerCall);
    void busyRule();
    void dialResult(const std::string& line, bool class1);
    void closeFaxFiles();
    void goTo(int state) {
        if (trace_ && state != state_) trace("state %d -> %d", state_, state);
        state_ = state;
    }
    // A protocol trace on stderr when PELLORA_FAX_TRACE is set: commands, responses, frames
    // and state changes, for finding out what a modem and the engine said to each other.
    void trace(const char* format, ...) const __attribute__((format(printf, 2, 3)));
    const bool trace_ = std::getenv("PELLORA_FAX_TRACE") != nullptr;
    int failureState() const { return transmitter_ ? int{txFaxFailed} : int{rxCallFailed}; }

    const bool transmitter_;
    Notifier& notifier_;
    MessagePump* pump_;
    TComPort* port_ = nullptr;
    LineRenderer* renderer_ = nullptr;

    std::recursive_mutex handlerMutex_;
    std::atomic<bool> detaching_{false};
    bool attached_ = false;

    // triggers
    int responseTimer_ = -1, statusTimer_ = -1, outputRoom_ = -1, outputDrained_ = -1, modemLine_ = -1;

    // run state
    int state_ = 0;
    int statusCode_ = 0;
    int errorCode_ = 0;
    bool ready_ = false;
    bool forceStatus_ = false;
    bool modemInitialised_ = false;
    bool sendingCover_ = false;
    bool coverIsPlf_ = false;
    unsigned dialAttempt_ = 0;
    int currentPage_ = 0, totalPages_ = 0, coverPages_ = 0;
    long bytesTransferred_ = 0, pageLength_ = 0;
    std::string remoteId_, faxFile_, coverFile_, phoneNumber_;
    bool statusShown_ = false;
    int ringCount_ = 0;
    int pageState_ = 3;

    // modem part
    std::string userInit_;
    long dialWait_ = secondsToTicks(60);
    long dialRetryWait_ = secondsToTicks(60);
    long initBaud_ = 0;
    bool atInitBaud_ = false;
    long connectBPS_ = 0;
    bool connectHighRes_ = false, connectWide_ = false, connectECM_ = false;
    int hangupCode_ = 0;
    int rateIndex_ = 1;
    std::array<bool, 7> localRates_{};
    int scanTimeIndex_ = 5;
    int minBytesPerLine_ = 0;
    char resolutionChar_ = ' ', previousResolutionChar_ = ' ';
    ClassCommandTable classCommands_;
    ResponseCollector collector_;
    std::string lastCommand_;
    ClockMs waitEnd_ = 0;
    std::uint16_t currentHandle_ = 0;  // the trigger behind the call being handled; 0 for data

    // Class 1
    bool finalFrame_ = false;
    std::uint8_t lastFcf_ = 0;
    bool cfrReceived_ = false;
    bool frameConnectSeen_ = false;
    RateSet remoteRates_ = baseRates();
    bool remoteHighRes_ = false, remoteWide_ = false;
    std::string modulation_;
    int postPageTries_ = 0;
    int disRetry_ = 0;
    long tcfTotal_ = 0, tcfNonZero_ = 0;
    bool tcfAfterDle_ = false, tcfGood_ = false;
    bool eomFlag_ = false;
    bool skipConnectText_ = false;  // a page started without awaiting the modem's CONNECT

    // transmit page flow
    bool morePages_ = false;
    bool pageWide_ = false;
    int pageRetry_ = 0;
    int sentPage_ = 1;
    bool sentCover_ = false;
    std::string sentCoverFile_;
    std::unique_ptr<LineRenderer> headerRenderer_, coverRenderer_;
    std::vector<std::string> coverLines_;
    std::size_t coverLine_ = 0;
    bool coverOpen_ = false;

    // page transfer
    PageSource source_;
    EscapeWriter escape_{*this};
    ReceivedFile received_;
};

// Set while a transmit session asks its component for the next fax: a machine that finds
// itself in the next-fax state meanwhile leaves at once.
extern std::atomic<bool> gNextFaxGuard;

}  // namespace pellora::fax
