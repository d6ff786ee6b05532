// The receive machine: the states every class shares (waiting for a call, answering, page
// start and page data, the end of a call) and the Class 2 / 2.0 states, in which the modem
// runs T.30 and reports through +F lines. The Class 1 states are in class1_machine.cpp.
#include <algorithm>

#include "fax/engine/session_core.h"
#include "fax/image/fax_errors.h"

namespace pellora::fax {

namespace {
constexpr int kFlowFull = 6144, kFlowResume = 2048;
constexpr std::string_view kConnectText = "\r\nCONNECT\r\n";
}  // namespace

int FaxSession::createReceivedFile() {
    notify(kNotifyName, 0);
    if (faxFile_.empty()) return ecNoFilename;
    return received_.create(faxFile_, remoteId_);
}

bool FaxSession::acceptRequest(bool class2State) {
    bool accepted = notify(kNotifyAccept, 0, 1) != 0;
    if (!accepted) {
        if (class2State) {
            port_->write("AT+FKS\r");
            pause(100);  // let it reach the modem before the hang-up drops the lines
        }
        forceStatus_ = true;
        reportError(ecFileRejected);
        logNotify(lcReceiveSkip);
        faxFile_.clear();
        goTo(rxCallFailed);
        return false;
    }
    if (class2State) {
        statusCode_ = scGotStationID;
        forceStatus_ = true;
    }
    if (pageState_ == 3) {
        if (int rc = createReceivedFile()) {
            reportError(rc);
            goTo(rxCallFailed);
            return false;
        }
        logNotify(lcReceiveStart);
        pageState_ = 2;
        currentPage_ = 0;
    }
    return true;
}

// One data call of page reception. True when the page's data ended (DLE ETX).
bool FaxSession::receivePageData(bool timerCall) {
    if (timerCall) {
        reportError(ecFatalTimeout);
        goTo(rxCallFailed);
        return false;
    }
    std::size_t matched = 0;
    std::string pending;  // bytes that looked like the modem's CONNECT but were page data
    ByteSource source = [&]() -> int {
        for (;;) {
            if (!pending.empty()) {
                int c = static_cast<std::uint8_t>(pending.front());
                pending.erase(0, 1);
                return c;
            }
            if (!port_->byteAvailable()) return -1;
            int c = port_->readByte();
            if (c < 0 || !skipConnectText_) return c;
            // A page started without awaiting CONNECT: the text, when it comes, precedes the
            // page's first EOL and is not part of the page.
            if (static_cast<char>(c) == kConnectText[matched]) {
                if (++matched == kConnectText.size()) skipConnectText_ = false;
                continue;
            }
            skipConnectText_ = false;
            pending.assign(kConnectText.substr(0, matched));
            pending.push_back(static_cast<char>(c));
        }
    };
    bool ended = false;
    int rc = received_.store(source, FaxClass == fcClass2, &ended);
    bytesTransferred_ = received_.bytesStored();
    if (rc) {
        reportError(rc);
        forceStatus_ = true;
        goTo(rxCallFailed);
        return false;
    }
    if (!ended) {
        armResponseTimer(kResponseTimeoutTicks);
        return false;
    }
    return true;
}

bool FaxSession::runReceiveState(bool dataCall, bool haveLine, bool cancelPass) {
    const bool class1 = FaxClass == fcClass1;
    const bool class20 = FaxClass == fcClass2_0;
    const std::string& line = collector_.line();
    const bool timerCall = currentHandle_ != 0 && currentHandle_ == responseTimer_;
    auto showStatus = [this] {
        if (!statusShown_) sendStatus(true, false);
        statusShown_ = true;
    };
    auto fail = [this](int code) {
        reportError(code);
        goTo(rxCallFailed);
        return false;
    };

    // A call may ring while the modem is still being set up for it: the ring counts, and the
    // set-up goes on (it is not a refusal of the command).
    if (haveLine && state_ >= rxClass1Selected && state_ <= rxReady && contains(line, "RING")) {
        ++ringCount_;
        clearAndRearm();
        return false;
    }
    if (class1 && runClass1ReceiveState(dataCall, haveLine)) return false;

    switch (state_) {
        case rxInit:
            pageState_ = 3;
            currentPage_ = 0;
            ringCount_ = 0;
            disRetry_ = 0;
            bytesTransferred_ = 0;
            eomFlag_ = false;
            skipConnectText_ = false;
            remoteId_.clear();
            faxFile_.clear();
            coverFile_.clear();
            phoneNumber_.clear();
            collector_.clear();
            if (ConstantStatus && !statusShown_) {
                statusShown_ = true;
                sendStatus(true, false);
            }
            if (options & afSoftwareFlow) port_->softwareFlowOff();
            port_->setLines(true, true);
            if (class1) {
                sendCommand("AT+FCLASS=1");
                goTo(rxClass1Selected);
            } else {
                sendCommand(classCommands_[slClass]);
                goTo(rxSetCapabilities);
            }
            armResponseTimer(kResponseTimeoutTicks);
            return false;
        case rxClass1Selected:
            if (!haveLine) return false;
            if (!contains(line, rtOK)) return fail(ecFaxInitError);
            switchToNormalBaud();
            port_->armTimer(responseTimer_, 0, false);
            statusCode_ = scWaitingForCall;
            goTo(rxWaitRing);
            return false;
        case rxSetCapabilities:
            if (!haveLine) return false;
            if (!contains(line, rtOK)) return fail(ecFaxInitError);
            switchToNormalBaud();
            sendCommand(classCommands_[slCapabilities] + "=1," + bitRateDigit(DesiredBPS) + ",0,2,0," +
                        (DesiredECM ? '1' : '0') + ",0,0");
            goTo(class20 ? rxSetFlowControl : rxReady);
            return false;
        case rxSetFlowControl:
            if (!haveLine) return false;
            if (!contains(line, rtOK)) return fail(ecFaxInitError);
            sendCommand("AT+FLO=2");
            goTo(rxSetReporting);
            return false;
        case rxSetReporting:
            if (!haveLine) return false;
            if (!contains(line, rtOK)) return fail(ecFaxInitError);
            sendCommand("AT+FNR=1,1,1,0");
            goTo(rxReady);
            return false;
        case rxReady:
            if (!haveLine) return false;
            if (!contains(line, rtOK)) return fail(ecFaxInitError);
            port_->armTimer(responseTimer_, 0, false);
            statusCode_ = scWaitingForCall;
            goTo(rxWaitRing);
            return false;
        case rxWaitRing:
            if (!haveLine) return false;
            if (contains(line, "RING")) {
                ++ringCount_;
                if (ringCount_ < static_cast<int>(AnswerOnRing)) {
                    clearAndRearm();
                } else {
                    pageState_ = 3;
                    collector_.clearLine();
                    goTo(rxAnswer);
                    showStatus();
                    armResponseTimer(kResponseTimeoutTicks);
                }
            } else if (contains(line, "NO C")) {
                statusCode_ = scNoConnect;
                forceStatus_ = true;
                collector_.clearLine();
            } else if (contains(line, rtConnect)) {
                return fail(ecFaxDataCall);
            } else if (contains(line, "VOICE") || contains(line, "VCON")) {
                return fail(ecFaxVoiceCall);
            } else {
                clearAndRearm();
            }
            return false;
        case rxAnswer:
            showStatus();
            sendCommand("ATA");
            armResponseTimer(dialWait_);
            setWaitTimer(dialWait_);
            statusCode_ = scAnswering;
            forceStatus_ = true;
            goTo(class1 ? rxSendCSI : rxWaitConnectReport);
            return false;
        case rxWaitConnectReport:
            if (!haveLine) return false;
            if (contains(line, classCommands_[slConnect])) {
                armResponseTimer(kResponseTimeoutTicks);
                statusCode_ = scCallValidated;
                collector_.clearLine();
                goTo(rxNegotiate);
            } else {
                clearAndRearm();
            }
            return false;
        case rxNegotiate:
            if (!haveLine) return false;
            if (contains(line, classCommands_[slTransmitterID])) {
                armResponseTimer(kResponseTimeoutTicks);
                remoteId_ = cleanReportedStationId(reportValue(line));
                collector_.clearLine();
                acceptRequest(true);
            } else if (contains(line, classCommands_[slNegotiated])) {
                armResponseTimer(kResponseTimeoutTicks);
                applyParameters(line);
                statusCode_ = scConnectParams;
                forceStatus_ = true;
                collector_.clearLine();
            } else if (contains(line, rtOK)) {
                sendCommand("AT+FDR");
                forceStatus_ = true;
                goTo(rxWaitPageConnect);
            } else {
                clearAndRearm();
            }
            return false;
        case rxWaitPageConnect:
            if (!haveLine) return false;
            if (contains(line, classCommands_[slNegotiated])) {
                armResponseTimer(kResponseTimeoutTicks);
                applyParameters(line);
                statusCode_ = scConnectParams;
                forceStatus_ = true;
                collector_.clearLine();
            } else if (contains(line, rtConnect)) {
                if (options & afSoftwareFlow) port_->softwareFlowOn(kFlowFull, kFlowResume, kFlowSendToRemote);
                goTo(rxPageStart);
            } else {
                clearAndRearm();
            }
            return false;
        case rxPageStart: {
            ++currentPage_;
            int rc = 0;
            if (pageState_ == 3 || !received_.isOpen()) {
                received_.close();
                rc = createReceivedFile();
                if (!rc) logNotify(lcReceiveStart);
            }
            if (!rc) rc = received_.startPage(connectHighRes_, connectWide_);
            if (rc) return fail(rc);
            pageState_ = 2;
            collector_.clear();
            armResponseTimer(kResponseTimeoutTicks);
            bytesTransferred_ = 0;
            if (!class1) port_->write(kDC2);
            statusCode_ = scGettingPage;
            forceStatus_ = true;
            goTo(rxReceivePageData);
            return false;
        }
        case rxReceivePageData:
            if (!dataCall && !timerCall) return false;
            if (receivePageData(timerCall)) {
                statusCode_ = scGettingPage;
                forceStatus_ = true;
                clearAndRearm();
                if (options & afSoftwareFlow) port_->softwareFlowOff();
                goTo(class1 ? rxWaitCarrierLoss : rxPageStatus);
            }
            return false;
        case rxPageStatus:
            if (!haveLine) return false;
            if (contains(line, classCommands_[slPageStatus])) {
                statusCode_ = scGettingEOP;
                forceStatus_ = true;
                std::string value = reportValue(line);
                char c = value.empty() ? '\0' : value[0];
                if (c == '1' || c == '3' || c == '5') {
                    if (int rc = received_.endPage(remoteId_)) return fail(rc);
                } else {
                    // The page was not good enough: it is dropped, and the modem has asked
                    // the caller to send it again.
                    if (int rc = received_.discardPage()) return fail(rc);
                    --currentPage_;
                }
                clearAndRearm();
            } else if (contains(line, "+FET")) {
                statusCode_ = scGettingEOD;
                forceStatus_ = true;
                std::string value = reportValue(line);
                char c = value.empty() ? '\0' : value[0];
                // Procedure interrupts and unknown codes end the document: no page may start
                // without knowing where it belongs.
                pageState_ = c == '0' ? 2 : c == '1' ? 3 : 4;
                clearAndRearm();
            } else if (contains(line, rtOK)) {
                if (pageState_ == 4) {
                    received_.close();
                    logNotify(lcReceiveOk);
                    faxFile_.clear();
                    statusCode_ = scGettingHangup;
                    forceStatus_ = true;
                    goTo(rxWaitHangup);
                } else {
                    // The page-status report may not have come; a page left open is kept.
                    if (received_.pageOpen())
                        if (int rc = received_.endPage(remoteId_)) return fail(rc);
                    sendCommand("AT+FDR");
                    goTo(rxWaitPageConnect);
                }
            } else {
                clearAndRearm();
            }
            return false;
        case rxWaitHangup:
            if (!haveLine) return false;
            if (contains(line, classCommands_[slHangup])) {
                hangupCode_ = hangupCodeFrom(line);
                statusCode_ = scGotHangup;
                forceStatus_ = true;
                collector_.clearLine();
            } else if (contains(line, "+FET")) {
                statusCode_ = scGettingHangup;
                forceStatus_ = true;
                collector_.clearLine();
            } else if (contains(line, rtOK)) {
                goTo(rxCallDone);
            } else {
                clearAndRearm();
            }
            return false;
        case rxCallDone:
            switchToInitBaud();
            if (OneFax) {
                modemInitialised_ = false;
                if ((statusShown_ && !ConstantStatus) || cancelPass) {
                    sendStatus(false, true);
                    statusShown_ = false;
                }
                goTo(rxFinished);
                finish();
                return true;
            }
            if (!ConstantStatus) {
                sendStatus(false, true);
                statusShown_ = false;
            }
            goTo(rxInit);
            return false;
        case rxCallFailed:
            if (received_.isOpen()) {
                received_.endPage(remoteId_);
                received_.close();
                logNotify(lcReceiveFail);
            }
            receiveHangup();
            if ((statusShown_ && !ConstantStatus) || cancelPass) {
                sendStatus(false, true);
                statusShown_ = false;
            }
            if ((options & afExitOnError) || cancelPass) {
                modemInitialised_ = false;
                goTo(rxFinished);
                finish();
                return true;
            }
            goTo(rxInit);
            return false;
        default:
            return false;
    }
}

}  // namespace pellora::fax
