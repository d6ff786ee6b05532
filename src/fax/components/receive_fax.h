// TCustomReceiveFax / TReceiveFax: the component that answers calls and stores faxes.
#pragma once

#include <functional>
#include <string>

#include "fax/components/abstract_fax.h"

namespace pellora::fax {

class TCustomReceiveFax : public TAbstractFax {
public:
    unsigned AnswerOnRing = 1;   // rings before answering
    bool FaxAndData = false;     // "AT+FAA=1" when true (Class 2 and 2.0)
    bool OneFax = false;         // end the run after one call
    bool ConstantStatus = false; // keep the status window up between calls
    std::string DestinationDir;  // folder for received files
    int FaxNameMode = 1;         // default naming: 1 FAX0001.PLF, 2 MMDD0001.PLF, other noname.plf

    // Decides whether a call is taken; without a handler every call is taken.
    std::function<void(TCustomAbstractFax& cp, bool& accept)> OnFaxAccept;
    // Supplies the received file's name (starting as FaxFile); without a handler the default
    // naming applies.
    std::function<void(TCustomAbstractFax& cp, std::string& name)> OnFaxName;

    // Checks the port and starts the receive session.
    void BeginReceive();

protected:
    TCustomReceiveFax(Notifier& notifier, MessagePump* pump);
    bool AcceptNotify() override;
    void NameNotify() override;
    void applyProperties() override;
};

class TReceiveFax final : public TCustomReceiveFax {
public:
    explicit TReceiveFax(Notifier& notifier, MessagePump* pump = nullptr)
        : TCustomReceiveFax(notifier, pump) {}
};

}  // namespace pellora::fax
