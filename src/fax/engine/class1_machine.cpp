// Class 1: the engine runs T.30 itself. The modem only switches between V.21 frame transfer
// ("AT+FTH=3", "AT+FRH=3") and high-speed data ("AT+FTM=", "AT+FRM="); these are the states of
// both machines that do so, the frame handling the response collector calls, the training
// check sent and judged, and the post-page exchange.
#include <algorithm>

#include "fax/engine/session_core.h"
#include "fax/image/fax_errors.h"

namespace pellora::fax {

namespace {
constexpr int kFlowFull = 6144, kFlowResume = 2048;
constexpr std::uint8_t kSendDCS = fcfDCS | kFcfXBit;  // 0x83: the caller's X bit
constexpr std::uint8_t kSendTSI = fcfTSI | kFcfXBit;  // 0x43
constexpr std::uint8_t kSendMPS = fcfMPS | kFcfXBit;  // 0x4F
constexpr std::uint8_t kSendEOP = fcfEOP | kFcfXBit;  // 0x2F
constexpr std::uint8_t kSendDCN = fcfDCN | kFcfXBit;  // 0xFB
}  // namespace

void FaxSession::sendFrame(std::uint8_t fcf, bool final, std::span<const std::uint8_t> fif) {
    if (trace_) trace("> frame %s%s", std::string(frameName(fcf)).c_str(), final ? " final" : "");
    pause(20);
    writeFrame(*this, frameBytes(fcf, final, fif));
}

void FaxSession::sendTrainingCheck() {
    // 1.5 s of zeros at the chosen rate tells the receiver whether the line carries it.
    long count = std::min<long>(connectBPS_ / 100 * 18, 8192);
    std::vector<std::uint8_t> zeros(static_cast<std::size_t>(count) + 2, 0);
    zeros[zeros.size() - 2] = kDLE;
    zeros[zeros.size() - 1] = kETX;
    write(zeros.data(), static_cast<int>(zeros.size()));
}

// --- frames --------------------------------------------------------------------------------------

bool FaxSession::onFrame() {
    const std::string& raw = collector_.line();
    FrameParse parsed = parseFrame(std::string_view(raw));
    bool dcn = false, retrain = false, badDis = false;
    if (trace_) trace("< frame %s (%zu bytes)%s", parsed.ok() ? std::string(frameName(parsed.frame.fcf)).c_str() : "?",
                      raw.size(), parsed.ok() && parsed.frame.final() ? " final" : "");
    if (parsed.ok()) {
        const T30Frame& f = parsed.frame;
        finalFrame_ = f.final();
        lastFcf_ = f.fcf;
        switch (f.kind()) {
            case fcfCSI:
            case fcfTSI: {
                std::string id;
                if (readStationId(f.fif, id)) remoteId_ = id;
                statusCode_ = scGotStationID;
                forceStatus_ = true;
                break;
            }
            case fcfFTT:
            case fcfRTN:
                retrain = true;
                break;
            case fcfDIS: {
                if (!transmitter_) break;
                DisDcs dis;
                if (readDisDcs(f.fif, dis) != FifError::none) break;
                DcsChoice c = chooseDcs(dis, localRates_, DesiredBPS, resolutionChar_ == '1', pageWide_);
                remoteRates_ = c.remoteRates;
                remoteHighRes_ = dis.fine;
                remoteWide_ = disAllowsWide(dis);
                if (c.error) {
                    reportError(c.error);
                    badDis = true;
                    break;
                }
                rateIndex_ = c.rateIndex;
                connectBPS_ = c.connectBPS;
                connectHighRes_ = c.highRes;
                connectWide_ = c.wide;
                connectECM_ = false;
                scanTimeIndex_ = c.scanTimeIndex;
                recomputeMinBytes();
                break;
            }
            case fcfDCS: {
                if (transmitter_) break;
                DisDcs dcs;
                if (readDisDcs(f.fif, dcs) != FifError::none) break;
                DcsReceived r = readReceivedDcs(dcs);
                rateIndex_ = r.rateIndex;
                connectBPS_ = r.connectBPS;
                connectHighRes_ = r.highRes;
                connectWide_ = r.wide;
                scanTimeIndex_ = r.scanTimeIndex;
                modulation_ = r.modulation;  // empty: a modulation we cannot receive
                recomputeMinBytes();
                statusCode_ = scConnectParams;
                forceStatus_ = true;
                break;
            }
            case fcfCFR:
                cfrReceived_ = true;
                break;
            case fcfDCN:
                dcn = true;
                break;
            default:
                break;
        }
    }
    clearAndRearm();

    if (dcn) {
        if (!transmitter_ && state_ == rxWaitDCN) {
            errorCode_ = 0;  // the caller's normal goodbye
            return false;
        }
        reportError(ecCancelRequested);
        goTo(failureState());
        return true;
    }
    if (badDis) {
        goTo(txFaxFailed);
        return true;
    }
    if (retrain) {
        if (transmitter_) {
            int lower = stepDownRate(rateIndex_, localRates_, remoteRates_);
            if (lower == 0) {
                reportError(ecFaxTrainError);
                goTo(txFaxFailed);
                return true;
            }
            rateIndex_ = lower;
            connectBPS_ = kRates[lower].bps;
            recomputeMinBytes();
            // After a refused page the same page goes out again at the lower rate.
            if ((lastFcf_ & ~kFcfXBit) == fcfRTN) {
                statusCode_ = scPageError;
                forceStatus_ = true;
                rewindToSentPage();
                if (state_ == txFaxFailed) return true;
            }
            sendCommand("AT+FTH=3");
            goTo(txSendDCS);
        } else {
            pause(200);
            sendCommand("AT+FRH=3");
            goTo(rxWaitDCS);
        }
    }
    return false;
}

// --- transmit ------------------------------------------------------------------------------------

bool FaxSession::runClass1TransmitState(bool haveLine) {
    const std::string& line = collector_.line();
    switch (state_) {
        case txClass1DialResult:
            if (!haveLine) return true;
            if (contains(line, rtConnect)) {
                clearAndRearm();  // frames follow
            } else if (contains(line, rtOK)) {
                if (finalFrame_) {
                    pause(200);
                    sendCommand("AT+FTH=3");
                    finalFrame_ = false;
                    goTo(txSendTSI);
                } else {
                    sendCommand("AT+FRH=3");
                }
            } else {
                dialResult(line, true);
            }
            return true;
        case txSendTSI:
            if (!haveLine) return true;
            if (contains(line, rtConnect)) {
                auto fif = stationIdFif(StationID);
                sendFrame(kSendTSI, false, fif);
                clearAndRearm();
                goTo(txSendDCS);
            } else {
                clearAndRearm();
            }
            return true;
        case txSendDCS:
            if (!haveLine) return true;
            if (contains(line, rtConnect)) {
                auto fif = dcsFif(rateIndex_, resolutionChar_ == '1', pageWide_, scanTimeIndex_);
                connectHighRes_ = resolutionChar_ == '1';
                connectWide_ = pageWide_;
                recomputeMinBytes();
                modulation_ = kRates[rateIndex_].longTrain;
                sendFrame(kSendDCS, true, fif);
                clearAndRearm();
                statusCode_ = scConnectParams;
                forceStatus_ = true;
                goTo(txStartTraining);
            } else {
                clearAndRearm();
            }
            return true;
        case txStartTraining:
            if (!haveLine) return true;
            if (contains(line, rtOK)) {
                sendCommand("AT+FTM=" + modulation_);
                goTo(txSendTCF);
            } else {
                clearAndRearm();
            }
            return true;
        case txSendTCF:
            if (!haveLine) return true;
            if (contains(line, rtConnect)) {
                if (options & afSoftwareFlow) port_->softwareFlowOn(kFlowFull, kFlowResume, kFlowObeyRemote);
                sendTrainingCheck();
                clearAndRearm();
                goTo(txTCFSent);
            } else {
                clearAndRearm();
            }
            return true;
        case txTCFSent:
            if (!haveLine) return true;
            if (contains(line, rtOK)) {
                if (options & afSoftwareFlow) port_->softwareFlowOff();
                pause(200);
                sendCommand("AT+FRH=3");
                cfrReceived_ = false;
                finalFrame_ = false;
                goTo(txTrainingResult);
            } else {
                clearAndRearm();
            }
            return true;
        case txTrainingResult:
            if (!haveLine) return true;
            if (contains(line, rtOK)) {
                if (finalFrame_) {
                    pause(cfrReceived_ ? 75 : 200);  // T.30 asks 75 ms before the page carrier
                    finalFrame_ = false;
                    if (cfrReceived_) {
                        sendCommand(std::string("AT+FTM=") + kRates[rateIndex_].shortTrain);
                        goTo(txPageConnect);
                    } else {
                        sendCommand("AT+FTH=3");
                        goTo(txSendDCS);
                    }
                } else {
                    sendCommand("AT+FRH=3");
                }
            } else {
                clearAndRearm();
            }
            return true;
        case txPageConnect:
            if (!haveLine) return true;
            if (contains(line, rtConnect)) {
                // A Class 1 modem never sends the DC1 a Class 2 modem gives before page data:
                // waiting for it would leave the line idle for a second before every page.
                armOutputRoom();
                armResponseTimer(kDataTimeoutTicks);
                goTo(txWaitRoom);
            } else {
                clearAndRearm();
            }
            return true;
        case txPageDataDone:
            if (!haveLine) return true;
            if (contains(line, rtOK)) {
                postPageTries_ = 0;
                statusCode_ = scSendingEOP;
                goTo(txPostPageRetry);
            } else {
                clearAndRearm();
            }
            return true;
        case txPostPageRetry:
            if (++postPageTries_ < 4) {
                // The modem's OK follows the end of the page's carrier, so the first post-page
                // message needs only T.30's 75 ms; a repeat waits longer.
                pause(postPageTries_ == 1 ? 75 : 500);
                sendCommand("AT+FTH=3");
                goTo(txSendPostPage);
            } else {
                forceStatus_ = true;
                reportError(ecFatalTimeout);
                goTo(txFaxFailed);
            }
            return true;
        case txSendPostPage:
            if (!haveLine) return true;
            if (contains(line, rtConnect)) {
                sendFrame(morePages_ ? kSendMPS : kSendEOP, true);
                clearAndRearm();
                goTo(txPostPageSent);
            } else {
                clearAndRearm();
            }
            return true;
        case txPostPageSent:
            if (!haveLine) return true;
            if (contains(line, rtOK)) {
                pause(200);
                sendCommand("AT+FRH=3");
                armResponseTimer(54);
                frameConnectSeen_ = false;
                finalFrame_ = false;
                goTo(txPostPageResponse);
            } else {
                clearAndRearm();
            }
            return true;
        case txPostPageResponse:
            if (!haveLine) return true;
            if (contains(line, rtConnect)) {
                frameConnectSeen_ = true;
                clearAndRearm();
            } else if (contains(line, rtError)) {
                goTo(txPostPageRetry);
            } else if (contains(line, rtOK)) {
                if (!finalFrame_) {
                    sendCommand("AT+FRH=3");
                    return true;
                }
                finalFrame_ = false;
                // MCF and RTP are told apart without the X bit: a machine that called us
                // first would send them with it set.
                std::uint8_t kind = lastFcf_ & ~kFcfXBit;
                if (kind == fcfMCF) {
                    statusCode_ = scPageAccepted;
                    forceStatus_ = true;
                    if (morePages_) {
                        // The receiver trained on this rate with the training check; like
                        // every V.17 machine it now expects the short training before pages.
                        sendCommand(std::string("AT+FTM=") + kRates[rateIndex_].shortTrain);
                        goTo(txPageConnect);
                    } else {
                        sendCommand("AT+FTH=3");
                        goTo(txSendDCN);
                    }
                } else if (kind == fcfRTP) {
                    statusCode_ = scPageAccepted;
                    forceStatus_ = true;
                    sendCommand("AT+FTH=3");
                    goTo(morePages_ ? txSendDCS : txSendDCN);
                }
                // Anything else: the response timer runs out and the message goes again.
            } else {
                clearAndRearm();
            }
            return true;
        case txSendDCN:
            if (!haveLine) return true;
            if (contains(line, rtConnect)) {
                sendFrame(kSendDCN, true);
                clearAndRearm();
                goTo(txHangup);
            } else {
                clearAndRearm();
            }
            return true;
        case txHangup:
            if (!haveLine) return true;
            if (contains(line, rtOK)) {
                sendCommand("ATH");
                armResponseTimer(26);
                goTo(txHangupWait);
            } else {
                clearAndRearm();
            }
            return true;
        case txHangupWait:
            if (!haveLine) return true;
            if (contains(line, rtOK)) goTo(txFaxDone);
            else clearAndRearm();
            return true;
        default:
            return false;
    }
}

// --- receive -------------------------------------------------------------------------------------

bool FaxSession::checkTraining() {
    while (port_->byteAvailable()) {
        int c = port_->readByte();
        if (c < 0) break;
        auto byte = static_cast<std::uint8_t>(c);
        if (tcfAfterDle_) {
            tcfAfterDle_ = false;
            if (byte == kETX) {
                tcfGood_ = tcfTotal_ > 0 && tcfNonZero_ * 100 / tcfTotal_ < 10;
                if (trace_) trace("training check: %ld of %ld bytes not zero", tcfNonZero_, tcfTotal_);
                return true;
            }
            // DLE DLE: one data byte 0x10, already counted with the first DLE.
            continue;
        }
        ++tcfTotal_;
        if (byte != 0) ++tcfNonZero_;
        if (byte == kDLE) {
            tcfAfterDle_ = true;
            // The ETX may still be on its way.
            if (!port_->byteAvailable()) pause(10);
        }
    }
    return false;
}

bool FaxSession::runClass1ReceiveState(bool dataCall, bool haveLine) {
    const std::string& line = collector_.line();
    switch (state_) {
        case rxSendCSI:
            if (!haveLine) return true;
            if (contains(line, rtConnect)) {
                auto fif = stationIdFif(StationID);
                sendFrame(fcfCSI, false, fif);
                clearAndRearm();
                goTo(rxSendDIS);
            } else {
                clearAndRearm();
            }
            return true;
        case rxSendDIS:
            if (!haveLine) return true;
            if (contains(line, rtConnect)) {
                auto fif = disFif(rateIndex_);
                sendFrame(fcfDIS, true, fif);
                clearAndRearm();
            } else if (contains(line, rtOK)) {
                pause(200);
                pause(200);
                finalFrame_ = false;
                sendCommand("AT+FRH=3");
                armResponseTimer(54);
                goTo(rxWaitDCS);
            } else {
                clearAndRearm();
            }
            return true;
        case rxWaitDCS:
            if (!haveLine) return true;
            if (contains(line, rtConnect)) {
                clearAndRearm();
            } else if (contains(line, rtOK)) {
                if (!finalFrame_) {
                    sendCommand("AT+FRH=3");
                    return true;
                }
                finalFrame_ = false;
                if (modulation_.empty()) {
                    // A DCS for a modulation this modem cannot receive: refuse the training
                    // so that the caller tries another rate.
                    sendCommand("AT+FTH=3");
                    goTo(rxSendFTT);
                    return true;
                }
                if (options & afSoftwareFlow) port_->softwareFlowOn(kFlowFull, kFlowResume, kFlowSendToRemote);
                sendCommand("AT+FRM=" + modulation_);
                setWaitTimer(kResponseTimeoutTicks);
                goTo(rxTCFConnect);
            } else {
                clearAndRearm();
            }
            return true;
        case rxRetryDIS:
            if (++disRetry_ > 3) {
                reportError(ecFatalTimeout);
                goTo(rxCallFailed);
                return true;
            }
            sendCommand("AT\r");
            goTo(rxRestartDIS);
            return true;
        case rxRestartDIS:
            sendCommand("AT+FTH=3");
            goTo(rxSendCSI);
            return true;
        case rxTCFConnect:
            if (!haveLine) return true;
            if (contains(line, rtConnect)) {
                tcfTotal_ = tcfNonZero_ = 0;
                tcfAfterDle_ = false;
                setWaitTimer(kResponseTimeoutTicks);
                goTo(rxCheckTCF);
            } else {
                clearAndRearm();
            }
            return true;
        case rxCheckTCF:
            if (dataCall && checkTraining()) {
                if (tcfGood_) {
                    clearAndRearm();
                    goTo(rxTCFEnded);
                } else {
                    sendCommand("AT+FTH=3");
                    goTo(rxSendFTT);
                }
                return true;
            }
            if (waitTimerExpired()) goTo(rxCallFailed);  // no error: the caller went quiet
            return true;
        case rxSendFTT:
            if (!haveLine) return true;
            if (contains(line, rtConnect)) {
                sendFrame(fcfFTT, true);
                clearAndRearm();
            } else if (contains(line, rtOK)) {
                // The modem has sent the FTT. At the lowest rate there is nothing left to try;
                // the call ends only now, so that the hang-up does not cut the FTT off.
                if (modulation_ == "24") {
                    reportError(ecFaxTrainError);
                    goTo(rxCallFailed);
                    return true;
                }
                finalFrame_ = false;
                sendCommand("AT+FRH=3");
                goTo(rxWaitDCS);
            } else {
                clearAndRearm();
            }
            return true;
        case rxTCFEnded:
            if (!haveLine) return true;
            if (contains(line, rtNoCarrier)) {
                if (options & afSoftwareFlow) port_->softwareFlowOff();
                pause(20);
                sendCommand("AT+FTH=3");
                goTo(rxSendCFR);
            } else {
                clearAndRearm();
            }
            return true;
        case rxSendCFR:
            if (!haveLine) return true;
            if (contains(line, rtConnect)) {
                if (options & afSoftwareFlow) port_->softwareFlowOn(kFlowFull, kFlowResume, kFlowSendToRemote);
                sendFrame(fcfCFR, true);
                clearAndRearm();
            } else if (contains(line, rtOK)) {
                sendCommand(std::string("AT+FRM=") + kRates[rateIndex_].shortTrain);
                goTo(rxPageConnect);
                acceptRequest(false);
            } else {
                clearAndRearm();
            }
            return true;
        case rxPageConnect:
            if (!haveLine) return true;
            if (contains(line, rtConnect)) {
                statusCode_ = scConnectParams;
                forceStatus_ = true;
                skipConnectText_ = false;
                goTo(rxPageStart);
            } else {
                clearAndRearm();
            }
            return true;
        case rxWaitCarrierLoss:
            if (!haveLine) return true;
            if (contains(line, rtNoCarrier)) {
                finalFrame_ = false;
                sendCommand("AT+FRH=3");
                goTo(rxPostPageMessage);
            } else {
                clearAndRearm();
            }
            return true;
        case rxPostPageMessage:
            if (!haveLine) return true;
            if (contains(line, rtConnect)) {
                clearAndRearm();
            } else if (contains(line, rtOK)) {
                if (!finalFrame_) {
                    sendCommand("AT+FRH=3");
                    return true;
                }
                finalFrame_ = false;
                std::uint8_t kind = lastFcf_ & ~kFcfXBit;
                morePages_ = kind == fcfMPS || kind == fcfEOM;
                eomFlag_ = kind == fcfEOM;
                statusCode_ = scGettingEOP;
                forceStatus_ = true;
                goTo(rxEndPage);
            } else {
                clearAndRearm();
            }
            return true;
        case rxEndPage:
            if (int rc = received_.endPage(remoteId_)) {
                reportError(rc);
                goTo(rxCallFailed);
                return true;
            }
            sendCommand("AT+FTH=3");
            statusCode_ = scGettingEOD;
            forceStatus_ = true;
            goTo(rxSendMCF);
            return true;
        case rxSendMCF:
            if (!haveLine) return true;
            if (contains(line, rtConnect)) {
                if (eomFlag_ && morePages_) {
                    // A new document follows: MCF, then CSI and DIS again in the same frame run.
                    sendFrame(fcfMCF, false);
                    clearAndRearm();
                    pageState_ = 2;
                    goTo(rxSendCSI);
                    return true;
                }
                sendFrame(fcfMCF, true);
                clearAndRearm();
            } else if (contains(line, rtOK)) {
                if (morePages_) {
                    // The caller sends the next page with the short training (V.17).
                    sendCommand(std::string("AT+FRM=") + kRates[rateIndex_].shortTrain);
                    pageState_ = 2;
                    // The modem's CONNECT is not awaited; the page start drops it if it comes.
                    skipConnectText_ = true;
                    goTo(rxPageStart);
                } else {
                    pause(200);
                    finalFrame_ = false;
                    sendCommand("AT+FRH=3");
                    received_.close();
                    logNotify(lcReceiveOk);
                    faxFile_.clear();
                    statusCode_ = scGettingHangup;
                    forceStatus_ = true;
                    goTo(rxWaitDCN);
                }
            } else {
                clearAndRearm();
            }
            return true;
        case rxWaitDCN:
            if (!haveLine) return true;
            if (contains(line, rtConnect)) {
                clearAndRearm();
            } else if (contains(line, rtOK)) {
                if (finalFrame_) {
                    sendCommand("ATH");
                    goTo(rxHangupDone);
                } else {
                    sendCommand("AT+FRH=3");
                }
            } else {
                clearAndRearm();
            }
            return true;
        case rxHangupDone:
            if (!haveLine) return true;
            if (contains(line, rtOK)) {
                statusCode_ = scGotHangup;
                forceStatus_ = true;
                goTo(rxCallDone);
            } else {
                clearAndRearm();
            }
            return true;
        default:
            return false;
    }
}

}  // namespace pellora::fax
