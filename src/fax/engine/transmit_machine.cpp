// The transmit machine: the states every class shares (next fax, open, dial, header line,
// cover and page data, end of a fax) and the Class 2 / 2.0 states, in which the modem runs
// T.30 and the engine moves page data and reads +F reports. The Class 1 states, in which the
// engine runs T.30 itself, are in class1_machine.cpp.
#include <algorithm>
#include <cctype>
#include <fstream>

#include "fax/engine/session_core.h"
#include "fax/image/fax_errors.h"
#include "fax/image/t4.h"

namespace pellora::fax {

namespace {
std::string upper(std::string s) {
    for (char& c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return s;
}

// Software flow levels for the direction in which the engine only obeys the modem.
constexpr int kFlowFull = 6144, kFlowResume = 2048;
}  // namespace

// --- dialling ----------------------------------------------------------------------------------

void FaxSession::busyRule() {
    ++dialAttempt_;
    if (DialAttempts != 0 && dialAttempt_ >= DialAttempts) {
        sendStatus(false, false);
        if (options & afAbortNoConnect) {
            reportError(ecFaxBusy);
            goTo(txFaxFailed);
        } else {
            closeFaxFiles();
            reportError(ecFaxBusy);
            logNotify(lcTransmitFail);
            statusCode_ = scInitializing;
            goTo(txNextFax);
        }
        return;
    }
    statusCode_ = scBusyWait;
    forceStatus_ = true;
    armResponseTimer(dialRetryWait_);
    goTo(txRetryWait);
}

void FaxSession::dialResult(const std::string& line, bool class1) {
    if (contains(line, "BUSY") || contains(line, "ANSWER")) {
        busyRule();
    } else if (contains(line, "VOICE") || contains(line, "VCON")) {
        reportError(ecFaxVoiceCall);
        goTo(txFaxFailed);
    } else if (contains(line, "NO DIAL")) {
        reportError(ecFaxNoDialTone);
        goTo(txFaxFailed);
    } else if (class1 && contains(line, rtNoCarrier)) {
        reportError(ecFaxNoCarrier);
        goTo(txFaxFailed);
    } else {
        clearAndRearm();
    }
}

// --- page flow -----------------------------------------------------------------------------------

bool FaxSession::readCurrentPageHeader() {
    int rc = source_.seekPage(static_cast<unsigned>(currentPage_));
    if (!rc) rc = source_.readPageHeader();
    if (rc) {
        reportError(rc);
        goTo(txFaxFailed);
        return false;
    }
    const PlfPageHeader& ph = source_.page();
    pageLength_ = ph.imageLength;
    pageWide_ = ph.wide();
    previousResolutionChar_ = resolutionChar_;
    resolutionChar_ = ph.highResolution() ? '1' : '0';
    return true;
}

bool FaxSession::advancePage() {
    if (sendingCover_) {
        if (coverIsPlf_) {
            source_.close();
            if (int rc = source_.open(faxFile_, FaxFileExt)) {
                reportError(rc);
                goTo(txFaxFailed);
                return false;
            }
        } else {
            closeTextCover();
        }
        sendingCover_ = false;
        coverFile_.clear();
    } else {
        ++currentPage_;
        bytesTransferred_ = 0;
    }
    return readCurrentPageHeader();
}

// The page the remote refused is sent again: the page source goes back to it (the cover, or a
// page of the fax file) whether or not the machine had already moved on to the next page.
void FaxSession::rewindToSentPage() {
    if (sentCover_) {
        if (!sendingCover_) {
            coverFile_ = sentCoverFile_;
            sendingCover_ = true;
        }
        if (!coverIsPlf_) closeTextCover();
        if (!faxFile_.empty()) {
            if (coverIsPlf_) {
                source_.close();
                if (int rc = source_.open(faxFile_, FaxFileExt)) {
                    reportError(rc);
                    goTo(txFaxFailed);
                    return;
                }
            }
            currentPage_ = 1;
            readCurrentPageHeader();
        }
    } else if (!faxFile_.empty()) {
        currentPage_ = sentPage_;
        bytesTransferred_ = 0;
        readCurrentPageHeader();
    }
}

void FaxSession::armOutputRoom() {
    // The pump stops while more than BufferMinimum bytes wait (in the port and in the device
    // below it). Asking to be called when the queue is down to that level, measured the same
    // way, keeps the handler from being called again at once with nothing it may send.
    port_->armStatusTrigger(outputDrained_, BufferMinimum, true);
}

std::string FaxSession::expandedTags(std::string_view text) const {
    TagValues values;
    values.sender = HeaderSender;
    values.stationId = StationID;
    values.recipient = HeaderRecipient;
    values.title = HeaderTitle;
    values.totalPages = totalPages_ + coverPages_;
    values.pageNumber = headerPageNumber(currentPage_, coverPages_, sendingCover_);
    return expandTags(text, values);
}

void FaxSession::closeTextCover() {
    coverLines_.clear();
    coverLine_ = 0;
    coverOpen_ = false;
}

int FaxSession::textCoverStep() {
    const int lineWidth = 1728;
    T4Encoder encoder(lineWidth, 0);
    std::vector<std::uint8_t> raster(std::size_t(lineWidth / 8));
    while (coverLine_ < coverLines_.size()) {
        if (port_->outputFree() <= 4096) return prMore;
        std::string text = expandedTags(coverLines_[coverLine_++]);
        for (int row = 0; row < coverRenderer_->rows(); ++row) {
            std::fill(raster.begin(), raster.end(), 0);
            coverRenderer_->drawRow(text, row, raster);
            long n = escape_.writePaddedLine(encoder.encodeLine(raster), minBytesPerLine_);
            if (n < 0) return static_cast<int>(n);
            bytesTransferred_ += n;
        }
    }
    long n = escape_.writePaddedLine(T4Encoder::endOfPage(), minBytesPerLine_);
    if (n < 0) return static_cast<int>(n);
    if (FaxClass == fcClass1) {
        const std::uint8_t end[2] = {kDLE, kETX};
        if (int rc = escape_.writeRaw(end)) return rc;
    }
    return prPageDone;
}

// --- the machine ---------------------------------------------------------------------------------

bool FaxSession::runTransmitState(bool dataCall, bool haveLine, bool cancelPass) {
    const bool class1 = FaxClass == fcClass1;
    const bool class20 = FaxClass == fcClass2_0;
    const std::string& line = collector_.line();
    const std::uint16_t handle = currentHandle_;
    const bool timerCall = handle != 0 && handle == responseTimer_;
    const bool roomCall = handle != 0 && (handle == outputRoom_ || handle == outputDrained_);
    auto fail = [this](int code) {
        reportError(code);
        goTo(txFaxFailed);
        return false;
    };

    if (class1 && runClass1TransmitState(haveLine)) return false;

    switch (state_) {
        case txNextFax: {
            if (gNextFaxGuard.exchange(true)) return true;
            phoneNumber_.clear();
            faxFile_.clear();
            coverFile_.clear();
            std::int64_t taken = notify(kNotifyNextFax, 0);
            gNextFaxGuard = false;
            if (!taken || phoneNumber_.empty()) {
                goTo(txNoMoreFaxes);
                return false;
            }
            logNotify(lcTransmitStart);
            dialAttempt_ = 0;
            sendingCover_ = coverIsPlf_ = false;
            totalPages_ = coverPages_ = 0;
            pageRetry_ = 0;
            hangupCode_ = 0;
            bytesTransferred_ = pageLength_ = 0;
            currentPage_ = 1;
            remoteId_.clear();
            if (!faxFile_.empty()) {
                if (int rc = source_.open(faxFile_, FaxFileExt)) return fail(rc);
                totalPages_ = source_.header().pageCount;
            } else if (coverFile_.empty()) {
                return fail(ecNoFilename);
            }
            goTo(txOpenDocument);
            if (options & afSoftwareFlow) port_->softwareFlowOff();
            return false;
        }
        case txOpenDocument: {
            StationID = upper(StationID);
            if (!coverFile_.empty()) {
                coverPages_ = 1;
                sendingCover_ = true;
                coverIsPlf_ = contains(upper(coverFile_), "." + upper(FaxFileExt));
            }
            if (!faxFile_.empty()) {
                if (!readCurrentPageHeader()) return false;
            } else {
                resolutionChar_ = '0';
                pageWide_ = false;
                if (coverIsPlf_) {
                    PageSource cover;
                    int rc = cover.open(coverFile_, FaxFileExt);
                    if (!rc) rc = cover.seekPage(1);
                    if (!rc) rc = cover.readPageHeader();
                    if (rc) return fail(rc);
                    resolutionChar_ = cover.page().highResolution() ? '1' : '0';
                    pageWide_ = cover.page().wide();
                }
            }
            statusCode_ = scInitializing;
            forceStatus_ = true;
            if (class1) {
                sendCommand("AT+FCLASS=1");
                goTo(txSelectClass1);
            } else {
                sendCommand(classCommands_[slClass]);
                goTo(txSetLocalID);
            }
            return false;
        }
        case txSelectClass1:
            if (!haveLine) return false;
            if (contains(line, rtOK)) goTo(txDial);
            else return fail(ecFaxInitError);
            return false;
        case txSetLocalID:
            if (!haveLine) return false;
            if (!contains(line, rtOK)) return fail(ecFaxInitError);
            sendCommand(classCommands_[slLocalID] + "=\"" + StationID + "\"");
            goTo(class20 ? txSetFlowControl : txSetParameters);
            return false;
        case txSetFlowControl:
            if (!haveLine) return false;
            if (!contains(line, rtOK)) return fail(ecFaxInitError);
            sendCommand("AT+FLO=2");
            goTo(txSetReporting);
            return false;
        case txSetReporting:
            if (!haveLine) return false;
            if (!contains(line, rtOK)) return fail(ecFaxInitError);
            sendCommand("AT+FNR=1,1,1,0");
            goTo(txSetParameters);
            return false;
        case txSetParameters:
            if (!haveLine) return false;
            if (!contains(line, rtOK)) return fail(ecFaxInitError);
            sendCommand(classCommands_[slSessionParams] + "=" + resolutionChar_ + "," +
                        bitRateDigit(DesiredBPS) + "," + (pageWide_ ? '1' : '0') + ",2,0," +
                        (DesiredECM ? '1' : '0') + ",0,0");
            goTo(txParametersSet);
            return false;
        case txParametersSet:
            if (!haveLine) return false;
            if (!contains(line, rtOK)) return fail(ecFaxInitError);
            goTo(txDial);
            return false;
        case txDial:
            sendCommand(std::string(ToneDial ? "ATDT" : "ATDP") + DialPrefix + phoneNumber_);
            armResponseTimer(dialWait_);
            statusCode_ = scDialing;
            forceStatus_ = true;
            goTo(class1 ? txClass1DialResult : txDialResult);
            return false;
        case txRetryWait:
            goTo(txDial);
            return false;
        case txDialResult:
            if (!haveLine) return false;
            if (contains(line, classCommands_[slConnect])) {
                armResponseTimer(kResponseTimeoutTicks);
                collector_.clearLine();
                goTo(txNegotiate);
            } else {
                dialResult(line, false);
            }
            return false;
        case txNegotiate:
            if (!haveLine) return false;
            // Reports first: a station ID may well contain the letters of a result code.
            if (contains(line, classCommands_[slRemoteCaps])) {
                applyParameters(line);
                if ((pageWide_ && !remoteWide_) || (resolutionChar_ == '1' && !remoteHighRes_))
                    return fail(ecFaxBadMachine);
                statusCode_ = scConnectParams;
                forceStatus_ = true;
                clearAndRearm();
            } else if (contains(line, classCommands_[slCalledID])) {
                remoteId_ = cleanReportedStationId(reportValue(line));
                statusCode_ = scGotStationID;
                forceStatus_ = true;
                clearAndRearm();
            } else if (contains(line, classCommands_[slNegotiated])) {
                applyParameters(line);
                statusCode_ = scConnectParams;
                forceStatus_ = true;
                clearAndRearm();
            } else if (contains(line, rtConnect)) {
                if (class20) {
                    armOutputRoom();
                    armResponseTimer(kDataTimeoutTicks);
                    goTo(txWaitRoom);
                } else {
                    armResponseTimer(18);
                    goTo(txWaitXON);
                }
            } else if (contains(line, rtOK)) {
                sendCommand("AT+FDT");
                armResponseTimer(546);
                setWaitTimer(546);
            } else {
                clearAndRearm();
            }
            return false;
        case txWaitXON: {
            bool go = timerCall;
            // The modem says it is ready for data with DC1; anything before it is dropped.
            while (!go && dataCall && port_->byteAvailable())
                if (port_->readByte() == kDC1) go = true;
            if (go) {
                armOutputRoom();
                armResponseTimer(kDataTimeoutTicks);
                goTo(txWaitRoom);
            }
            return false;
        }
        case txWaitRoom:
            if (timerCall) return fail(ecFatalTimeout);
            if (roomCall) {
                statusCode_ = scSendingPage;
                if (options & afSoftwareFlow) port_->softwareFlowOn(kFlowFull, kFlowResume, kFlowObeyRemote);
                goTo(txSendHeader);
            } else if (dataCall) {
                port_->discardInput();
            }
            return false;
        case txSendHeader: {
            if (!headerRenderer_ && !renderer_)
                headerRenderer_ = makeLineRenderer(EnhTextEnabled, EnhHeaderFont, false);
            LineRenderer* r = renderer_ ? renderer_ : headerRenderer_.get();
            long rc = sendHeaderLine(HeaderLine.empty() ? std::string() : expandedTags(HeaderLine), r,
                                     resolutionChar_ == '1', pageWide_ ? 2048 : 1728, escape_,
                                     minBytesPerLine_, BufferMinimum);
            if (rc < 0) return fail(static_cast<int>(rc));
            // The page going out now is the one a refusal sends again.
            sentCover_ = sendingCover_;
            sentCoverFile_ = coverFile_;
            sentPage_ = currentPage_;
            goTo(sendingCover_ && !coverFile_.empty() ? txOpenCover : txPageStart);
            return false;
        }
        case txOpenCover:
            bytesTransferred_ = 0;
            if (coverIsPlf_) {
                source_.close();
                int rc = source_.open(coverFile_, FaxFileExt);
                if (!rc) rc = source_.seekPage(1);
                if (!rc) rc = source_.readPageHeader();
                if (rc) return fail(rc);
                goTo(txPageStart);
            } else {
                std::ifstream in(coverFile_, std::ios::binary);
                if (!in) return fail(ioErrorCode(errno ? errno : ENOENT, false));
                closeTextCover();
                std::string text;
                // A text cover is a page of lines; a huge file is not a cover, so stop at a page.
                while (coverLines_.size() < 400 && std::getline(in, text)) {
                    if (!text.empty() && text.back() == '\r') text.pop_back();
                    coverLines_.push_back(text);
                }
                coverOpen_ = true;
                if (!coverRenderer_) coverRenderer_ = makeLineRenderer(EnhTextEnabled, EnhFont, true);
                if (int rc = coverRenderer_->prepare(resolutionChar_ == '1')) return fail(rc);
                armResponseTimer(kDataTimeoutTicks);
                armOutputRoom();
                statusCode_ = scSendingPage;
                pageLength_ = 0;
                goTo(txSendTextCover);
            }
            return false;
        case txSendTextCover:
            if (timerCall) {
                forceStatus_ = true;
                return fail(ecFatalTimeout);
            }
            if (roomCall) {
                int rc = textCoverStep();
                if (rc < 0) return fail(rc);
                armResponseTimer(kDataTimeoutTicks);
                if (rc == prPageDone) {
                    statusCode_ = scSendingPage;
                    port_->armStatusTrigger(outputDrained_, 0, true);
                    goTo(txPageDrained);
                } else {
                    armOutputRoom();
                }
            } else if (dataCall) {
                port_->discardInput();
            }
            return false;
        case txPageStart:
            bytesTransferred_ = 0;
            pageLength_ = source_.page().imageLength;
            forceStatus_ = true;
            armResponseTimer(kDataTimeoutTicks);
            armOutputRoom();
            goTo(txSendPageData);
            return false;
        case txSendPageData:
            if (timerCall) return fail(ecFatalTimeout);
            if (roomCall) {
                PumpState pump;
                pump.bytesTransferred = bytesTransferred_;
                pump.pageLength = pageLength_;
                pump.minBytesPerLine = minBytesPerLine_;
                pump.maxSendCount = MaxSendCount;
                pump.bufferMinimum = BufferMinimum;
                pump.appendDleEtx = class1;
                int rc = pumpPageData(source_, escape_, *this, pump, port_->clock(),
                                      StatusInterval, [this] {
                                          sendStatus(false, false);
                                          if (statusTimer_ > 0)
                                              port_->armTimer(statusTimer_, secondsToTicks(StatusInterval), true);
                                      });
                bytesTransferred_ = pump.bytesTransferred;
                if (rc < 0) return fail(rc);
                armResponseTimer(kDataTimeoutTicks);
                if (rc == prPageDone) {
                    statusCode_ = scSendingPage;
                    port_->armStatusTrigger(outputDrained_, 0, true);
                    goTo(txPageDrained);
                } else {
                    armOutputRoom();
                }
            } else if (dataCall) {
                port_->discardInput();  // nothing the modem says now matters
            }
            return false;
        case txPageDrained:
            if (timerCall) {
                forceStatus_ = true;
                return fail(ecFatalTimeout);
            }
            if (handle != 0 && handle == outputDrained_) {
                if (options & afSoftwareFlow) port_->softwareFlowOff();
                morePages_ = !faxFile_.empty() && (sendingCover_ || currentPage_ < totalPages_);
                if (morePages_ && !advancePage()) return false;
                if (class1) {
                    goTo(txPageDataDone);
                } else if (class20) {
                    const std::uint8_t end[2] = {
                        kDLE, std::uint8_t(!morePages_ ? '.' : resolutionChanged() ? ';' : ',')};
                    port_->write(end, 2);
                    goTo(txEndOfPage);
                } else {
                    const std::uint8_t end[2] = {kDLE, kETX};
                    port_->write(end, 2);
                    goTo(txEndOfPage);
                }
                forceStatus_ = true;
                statusCode_ = scSendingPage;
            } else if (dataCall) {
                port_->discardInput();
            }
            return false;
        case txEndOfPage:
            collector_.clearLine();
            armResponseTimer(kDataTimeoutTicks);
            statusCode_ = scSendingEOP;
            forceStatus_ = true;
            goTo(class20 ? txPageStatus20 : txSendFET);
            return false;
        case txSendFET:
            if (!haveLine) return false;
            if (!contains(line, rtOK)) return fail(ecFaxSessionError);
            sendCommand(std::string("AT+FET=") + (!morePages_ ? '2' : resolutionChanged() ? '1' : '0'));
            armResponseTimer(kDataTimeoutTicks);
            goTo(txPageStatus);
            return false;
        case txPageStatus:
            if (!haveLine) return false;
            if (contains(line, classCommands_[slHangup])) {
                // Code 0 is the normal end after the last page; any other code means the
                // call broke down, and the fax must not count as sent.
                hangupCode_ = hangupCodeFrom(line);
                if (hangupCode_ != 0) return fail(ecFaxSessionError);
                clearAndRearm();
            } else if (contains(line, classCommands_[slPageStatus])) {
                std::string value = reportValue(line);
                char c = value.empty() ? '\0' : value[0];
                forceStatus_ = true;
                if (c == '1' || c == '3') {
                    statusCode_ = scPageAccepted;
                    clearAndRearm();
                } else if (c == '2') {
                    statusCode_ = scPageError;
                    clearAndRearm();
                    goTo(txResendPage);
                } else if (c == '4' || c == '5') {
                    return fail(ecCancelRequested);
                } else {
                    return fail(ecFaxPageError);
                }
            } else if (contains(line, rtOK)) {
                goTo(resolutionChanged() ? txNewResolution : txNextPage);
            } else {
                forceStatus_ = true;
                return fail(ecFaxPageError);
            }
            return false;
        case txResendPage:
            if (!haveLine) return false;
            if (contains(line, classCommands_[slPageStatus])) {
                // The answer to "AT+FPS?" comes ahead of its OK.
                clearAndRearm();
                return false;
            }
            if (!contains(line, rtOK)) {
                forceStatus_ = true;
                return fail(ecFaxSessionError);
            }
            if (++pageRetry_ > 2) {
                port_->write("AT+FKS\r");
                pause(100);  // let it reach the modem before the hang-up
                forceStatus_ = true;
                return fail(ecFaxSessionError);
            }
            sendCommand("AT+FDT");
            rewindToSentPage();
            if (state_ == txFaxFailed) return false;
            morePages_ = false;  // recomputed when the page has gone out again
            goTo(txNegotiate);
            return false;
        case txNewResolution:
            if (morePages_) {
                sendCommand((class20 ? "AT+FIS=" : "AT+FDIS=") + std::string(1, resolutionChar_));
                goTo(txNegotiate);
            } else {
                goTo(txFaxDone);
            }
            return false;
        case txNextPage:
            if (morePages_) {
                pause(5 * kTickMs);
                sendCommand("AT+FDT");
                goTo(txNegotiate);
            } else {
                goTo(txFaxDone);
            }
            return false;
        case txPageStatus20:
            if (!haveLine) return false;
            if (contains(line, classCommands_[slHangup])) {
                hangupCode_ = hangupCodeFrom(line);
                if (hangupCode_ != 0) return fail(ecFaxSessionError);
                clearAndRearm();
            } else if (contains(line, rtError)) {
                sendCommand("AT+FPS?");
                statusCode_ = scPageError;
                forceStatus_ = true;
                goTo(txResendPage);
            } else if (contains(line, rtOK)) {
                goTo(resolutionChanged() ? txNewResolution : txNextPage);
                statusCode_ = scPageAccepted;
                forceStatus_ = true;
            } else {
                forceStatus_ = true;
                return fail(ecFaxPageError);
            }
            return false;
        case txFaxDone:
            closeFaxFiles();
            pageRetry_ = 0;
            sendingCover_ = false;
            statusCode_ = scFinished;
            forceStatus_ = true;
            logNotify(lcTransmitOk);
            goTo(txNextFax);
            switchToInitBaud();
            return false;
        case txNoMoreFaxes:
            // Everything is wound down before the finish notification leaves: whoever reacts
            // to it sees the session in its final state.
            sendStatus(false, true);
            modemInitialised_ = false;
            goTo(txFinished);
            finish();
            return true;
        case txFaxFailed:
            closeFaxFiles();
            logNotify(lcTransmitFail);
            transmitHangup();
            if ((options & (afExitOnError | afAbortNoConnect)) || cancelPass) {
                statusCode_ = scUserAbort;
                sendStatus(false, true);
                modemInitialised_ = false;
                goTo(txFinished);
                switchToInitBaud();
                finish();
                return true;
            }
            goTo(txNextFax);
            switchToInitBaud();
            return false;
        default:
            return false;
    }
}

// --- Class 2 / 2.0 reports -----------------------------------------------------------------------

void FaxSession::applyParameters(const std::string& line) {
    FaxParameters p = parseFaxParameters(reportValue(line));
    connectHighRes_ = remoteHighRes_ = p.highRes;
    connectBPS_ = p.bps;
    connectWide_ = remoteWide_ = p.wide;
    connectECM_ = p.ecm;
    scanTimeIndex_ = p.scanTimeIndex;
    recomputeMinBytes();
}

}  // namespace pellora::fax
