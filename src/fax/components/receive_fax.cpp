#include "fax/components/receive_fax.h"

#include <ctime>

#include "fax/components/fax_files.h"

namespace pellora::fax {

TCustomReceiveFax::TCustomReceiveFax(Notifier& notifier, MessagePump* pump)
    : TAbstractFax(false, notifier, pump) {
    setFaxClass(fcDetect);
}

void TCustomReceiveFax::BeginReceive() {
    checkPort();
    applyProperties();
    session_->start();
}

void TCustomReceiveFax::applyProperties() {
    TAbstractFax::applyProperties();
    FaxSession& s = *session_;
    s.AnswerOnRing = AnswerOnRing;
    s.FaxAndData = FaxAndData;
    s.OneFax = OneFax;
    s.ConstantStatus = ConstantStatus;
    s.DestinationDir = DestinationDir;
}

bool TCustomReceiveFax::AcceptNotify() {
    bool accept = true;
    if (OnFaxAccept) OnFaxAccept(*this, accept);
    return accept;
}

void TCustomReceiveFax::NameNotify() {
    std::string name;
    if (OnFaxName) {
        name = faxFile_;
        OnFaxName(*this, name);
    } else {
        std::time_t now = std::time(nullptr);
        std::tm today{};
        localtime_r(&now, &today);
        name = defaultFaxName(DestinationDir, FaxFileExt, FaxNameMode, today);
    }
    faxFile_ = name;
    session_->setFaxFile(name);
}

}  // namespace pellora::fax
