#include "fax/components/abstract_fax.h"

#include <algorithm>
#include <cctype>
#include <exception>
#include <new>

#include "fax/components/fax_log.h"
#include "fax/image/fax_errors.h"

namespace pellora::fax {

namespace {
constexpr int ecPortNotAssigned = -1005;
constexpr int kMinOutputBuffer = 8192;

// A session that cannot be allocated is reported as the runtime's out-of-memory error.
std::unique_ptr<FaxSession> newSession(bool transmitter, Notifier& notifier, MessagePump* pump) {
    try {
        return std::make_unique<FaxSession>(transmitter, notifier, pump);
    } catch (const std::bad_alloc&) {
        raiseFaxError(ecOutOfMemory);
    }
    return nullptr;
}
}  // namespace

bool contains(const TFaxClassSet& set, TFaxClass faxClass) {
    switch (faxClass) {
        case fcClass1: return set.class1;
        case fcClass2: return set.class2;
        case fcClass2_0: return set.class2_0;
        default: return false;
    }
}

std::string cleanStationId(std::string_view id) {
    std::string out(id.substr(0, 20));
    for (char& c : out) {
        const auto u = static_cast<unsigned char>(c);
        if (u < 32 || u == 127 || (u >= 0x80 && u < 0xA0)) c = '?';
    }
    return out;
}

// --- status display link -------------------------------------------------------------------------

TAbstractFaxStatus::~TAbstractFaxStatus() { setFax(nullptr); }

void TAbstractFaxStatus::setFax(TCustomAbstractFax* fax) {
    if (fax)
        fax->setStatusDisplay(this);
    else if (fax_)
        fax_->setStatusDisplay(nullptr);
}

// --- TCustomAbstractFax --------------------------------------------------------------------------

TCustomAbstractFax::TCustomAbstractFax(bool transmitter, Notifier& notifier, MessagePump* pump)
    : session_(newSession(transmitter, notifier, pump)),
      transmitter_(transmitter),
      notifier_(notifier) {
    notifier_.setHandler([this](const Notification& n) { return handleNotification(n); });
}

TCustomAbstractFax::~TCustomAbstractFax() {
    // Nothing may reach this object once destruction has begun: a run still going is
    // stopped with nobody listening, and the links are cut.
    notifier_.setHandler(nullptr);
    session_->cancel();
    session_.reset();
    setStatusDisplay(nullptr);
    setFaxLog(nullptr);
}

void TCustomAbstractFax::setComPort(TComPort* port) {
    port_ = port;
    if (port && !port->isOpen()) {
        port->setInSize(8192);
        port->setOutSize(8192);
        port->setHWFlowOptions(hwfUseRTS | hwfRequireCTS);
    }
}

void TCustomAbstractFax::setStatusDisplay(TAbstractFaxStatus* display) {
    if (display_ == display) return;
    if (display_ && display_->fax_ == this) display_->fax_ = nullptr;
    display_ = display;
    if (display) {
        if (display->fax_ && display->fax_ != this) display->fax_->display_ = nullptr;
        display->fax_ = this;
    }
}

void TCustomAbstractFax::setFaxLog(TFaxLog* log) {
    if (log_ == log) return;
    if (log_ && log_->fax_ == this) log_->fax_ = nullptr;
    log_ = log;
    if (log) {
        if (log->fax_ && log->fax_ != this) log->fax_->log_ = nullptr;
        log->fax_ = this;
    }
}

void TCustomAbstractFax::AbortSession() { session_->cancel(); }

FaxRunInfo TCustomAbstractFax::runInfo() const {
    FaxRunInfo info;
    info.sending = transmitter_;
    info.statusCode = session_->StatusCode();
    info.errorCode = session_->ErrorCode();
    info.remoteID = RemoteID();
    info.connectBPS = session_->ConnectBPS();
    info.connectHighRes = session_->ConnectHighRes();
    info.connectWide = session_->ConnectWide();
    info.connectECM = session_->ConnectECM();
    info.hangupCode = session_->HangupCode();
    const FaxSession::Status s = session_->status();
    info.currentPage = s.currentPage;
    info.totalPages = s.totalPages;
    info.pageLength = s.pageLength;
    info.bytesTransferred = s.bytesTransferred;
    info.faxFile = FaxFile();
    return info;
}

std::int64_t TCustomAbstractFax::handleNotification(const Notification& n) {
    switch (n.message) {
        case kNotifyNextFax:
            return NextFaxNotify();
        case kNotifyStatus:
            StatusNotify((n.payload & kStatusFirst) != 0, (n.payload & kStatusLast) != 0);
            return 0;
        case kNotifyLog:
            if (n.payload > lcNone && n.payload <= lcReceiveFail)
                LogNotify(static_cast<TFaxLogCode>(n.payload));
            return 0;
        case kNotifyName:
            NameNotify();
            return 0;
        case kNotifyAccept:
            return AcceptNotify() ? 1 : 0;
        case kNotifyError:
            ErrorNotify(static_cast<int>(n.payload));
            return 0;
        case kNotifyFinish:
            FinishNotify(static_cast<int>(n.payload));
            return 0;
        default:
            return 0;
    }
}

void TCustomAbstractFax::StatusNotify(bool first, bool last) {
    if (display_) display_->UpdateDisplay(first, last);
    if (OnFaxStatus) OnFaxStatus(*this, first, last);
}

void TCustomAbstractFax::LogNotify(TFaxLogCode logCode) {
    // A history file that cannot be written raises, but the event still fires and the
    // received file is still let go: the run must not see a half-handled log notification.
    std::exception_ptr failure;
    if (log_) {
        try {
            log_->AddLogEntry(logCode);
        } catch (...) {
            failure = std::current_exception();
        }
    }
    if (OnFaxLog) OnFaxLog(*this, logCode);
    if (logCode == lcReceiveOk || logCode == lcReceiveSkip || logCode == lcReceiveFail)
        faxFile_.clear();
    if (failure) std::rethrow_exception(failure);
}

void TCustomAbstractFax::ErrorNotify(int errorCode) {
    if (OnFaxError) OnFaxError(*this, errorCode);
}

void TCustomAbstractFax::FinishNotify(int errorCode) {
    if (OnFaxFinish) OnFaxFinish(*this, errorCode);
}

void TCustomAbstractFax::checkPort() {
    if (!port_) raiseFaxError(ecPortNotAssigned);
    session_->setPort(port_);
    if (port_->OutSize() < kMinOutputBuffer) raiseFaxError(ecOutputBufferTooSmall);
    // A closed port would let the run start and fail on its first command; say so now.
    if (!port_->isOpen()) raiseFaxError(ecCommNotOpen);
}

// --- TAbstractFax ----------------------------------------------------------------------------------

void TAbstractFax::setModemInit(const std::string& init) {
    std::string s = init;
    for (char& c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    if (!s.empty() && s.compare(0, 2, "AT") != 0) s = "AT" + s;
    modemInit_ = s;
}

TFaxClassSet TAbstractFax::QueryFaxClasses() {
    if (session_->ready()) return classes_;
    checkPort();
    TFaxClassSet found;
    if (!session_->queryClasses(&found)) found = TFaxClassSet{};
    classes_ = found;
    return classes_;
}

void TAbstractFax::applyProperties() {
    FaxSession& s = *session_;
    s.StatusInterval = std::max(1u, StatusInterval);
    s.options = (AbortNoConnect ? afAbortNoConnect : 0u) | (ExitOnError ? afExitOnError : 0u) |
                (SoftwareFlow ? afSoftwareFlow : 0u);
    s.DesiredBPS = std::max(2400u, DesiredBPS);
    s.DesiredECM = DesiredECM;
    s.FaxFileExt = FaxFileExt;
    s.StationID = stationId_;
    s.setModemInit(modemInit_);
    s.setInitBaud(InitBaud, NormalBaud);
}

}  // namespace pellora::fax
