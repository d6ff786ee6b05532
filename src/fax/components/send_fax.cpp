#include "fax/components/send_fax.h"

#include <unistd.h>

#include "fax/components/fax_files.h"
#include "fax/image/fax_errors.h"

namespace pellora::fax {

namespace {
constexpr std::size_t kPhoneNumberMax = 40;
constexpr std::size_t kDialPrefixMax = 40;
}  // namespace

std::string cleanDialString(std::string_view text, std::size_t max) {
    std::string out;
    for (char c : text) {
        const auto u = static_cast<unsigned char>(c);
        if (u >= 32 && u != 127) out.push_back(c);
    }
    if (out.size() > max) out.resize(max);
    return out;
}

TCustomSendFax::TCustomSendFax(Notifier& notifier, MessagePump* pump)
    : TAbstractFax(true, notifier, pump) {
    // A new send component does not know its class yet; it is detected like fcDetect.
    setFaxClass(fcUnknown);
}

TCustomSendFax::~TCustomSendFax() { removeTemporaryFile(); }

void TCustomSendFax::setFaxFile(const std::string& name) {
    FaxFileList.clear();
    if (!name.empty()) FaxFileList.push_back(name);
}

void TCustomSendFax::removeTemporaryFile() {
    if (tempFile_.empty()) return;
    ::unlink(tempFile_.c_str());
    tempFile_.clear();
}

void TCustomSendFax::BeginTransmit() {
    checkPort();
    removeTemporaryFile();
    nextRequests_ = 0;
    if (FaxFileList.size() >= 2 && !OnFaxNext) {
        std::string joined;
        if (int rc = concatenateFaxFiles(FaxFileList, &joined)) raiseFaxError(rc);
        tempFile_ = joined;
    }
    applyProperties();
    // What goes wrong from here on arrives as OnFaxError and OnFaxFinish, whose handler
    // also removes the joined file.
    session_->start();
}

void TCustomSendFax::applyProperties() {
    TAbstractFax::applyProperties();
    FaxSession& s = *session_;
    s.ToneDial = ToneDial;
    s.BlindDial = BlindDial;
    s.DetectBusy = DetectBusy;
    s.DialPrefix = cleanDialString(DialPrefix, kDialPrefixMax);
    s.setDialWait(DialWait);
    s.DialAttempts = DialAttempts;
    s.setDialRetryWait(DialRetryWait);
    s.MaxSendCount = static_cast<int>(MaxSendCount);
    s.BufferMinimum = static_cast<int>(BufferMinimum);
    s.SafeMode = SafeMode;
    s.HeaderLine = HeaderLine;
    s.HeaderSender = HeaderSender;
    s.HeaderRecipient = HeaderRecipient;
    s.HeaderTitle = HeaderTitle;
    s.EnhTextEnabled = EnhTextEnabled;
    s.EnhHeaderFont = EnhHeaderFont;
    s.EnhFont = EnhFont;
}

std::int64_t TCustomSendFax::NextFaxNotify() {
    std::string phone, file, cover;
    if (OnFaxNext) {
        OnFaxNext(*this, phone, file, cover);
        PhoneNumber = phone;
        setFaxFile(file);
        CoverFile = cover;
    } else if (nextRequests_ == 0) {
        phone = PhoneNumber;
        file = tempFile_.empty() ? FaxFile() : tempFile_;
        cover = CoverFile;
    }
    ++nextRequests_;
    // The number goes into the dial command as it is: a control character in it could end
    // that command and start one of its own.
    phone = cleanDialString(phone, kPhoneNumberMax);
    session_->setNextFax(phone, file, cover);
    return phone.empty() ? 0 : 1;
}

void TCustomSendFax::FinishNotify(int errorCode) {
    removeTemporaryFile();
    TAbstractFax::FinishNotify(errorCode);
}

FaxRunInfo TCustomSendFax::runInfo() const {
    FaxRunInfo info = TAbstractFax::runInfo();
    info.faxFileList = FaxFileList;
    info.coverFile = CoverFile;
    info.phoneNumber = PhoneNumber;
    info.dialAttempt = DialAttempt();
    info.dialRetryWait = DialRetryWait;
    return info;
}

}  // namespace pellora::fax
