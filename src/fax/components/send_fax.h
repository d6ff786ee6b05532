// TCustomSendFax / TSendFax: the component that sends faxes.
//
// A run sends either the faxes an OnFaxNext handler hands over one by one (until it answers
// an empty number), or, without a handler, exactly one fax: PhoneNumber, the files of
// FaxFileList and CoverFile. Two or more files are joined into one temporary PLF file for
// that run, deleted when the run finishes.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "fax/components/abstract_fax.h"
#include "fax/image/convert/text_rasterizer.h"

namespace pellora::fax {

class TCustomSendFax : public TAbstractFax {
public:
    ~TCustomSendFax() override;

    bool EnhTextEnabled = false;  // header line and text covers in EnhHeaderFont / EnhFont
    TFont EnhHeaderFont;
    TFont EnhFont;
    // PLF files sent as one fax. FaxFile reads the first entry; setting FaxFile replaces the
    // list by that one entry (an empty name empties the list).
    std::vector<std::string> FaxFileList;
    bool BlindDial = false;
    bool DetectBusy = true;
    bool ToneDial = true;        // "ATDT", else "ATDP"
    std::string DialPrefix;      // between the dial command and the number
    unsigned DialWait = 60;      // seconds to wait for the dial result
    unsigned DialAttempts = 3;   // per fax; 0 = unlimited
    unsigned DialRetryWait = 60; // seconds between attempts
    unsigned MaxSendCount = 50;
    unsigned BufferMinimum = 1000;
    std::string HeaderLine;      // template with $ tags
    std::string CoverFile;       // a PLF file or a text file
    std::string PhoneNumber;
    bool SafeMode = true;        // kept for the application; sessions do not consult it
    std::string HeaderSender, HeaderRecipient, HeaderTitle;  // $F, $R, $S

    // Supplies the faxes of a run one by one; an empty number ends the run.
    std::function<void(TCustomAbstractFax& cp, std::string& phoneNumber, std::string& faxFile,
                       std::string& coverFile)>
        OnFaxNext;

    std::string FaxFile() const override { return FaxFileList.empty() ? std::string() : FaxFileList.front(); }
    void setFaxFile(const std::string& name) override;
    // The current dial attempt, 1-based.
    unsigned DialAttempt() const { return session_->DialAttempt() + 1; }

    // Checks the port, joins FaxFileList into a temporary file when needed (raising
    // EFaxBadFormat for a file that is not PLF) and starts the transmit session. Failures of
    // the run itself arrive as OnFaxError and OnFaxFinish.
    void BeginTransmit();

    // The joined file of the current run; empty when none was made.
    const std::string& temporaryFile() const { return tempFile_; }

    FaxRunInfo runInfo() const override;

protected:
    TCustomSendFax(Notifier& notifier, MessagePump* pump);
    std::int64_t NextFaxNotify() override;
    void FinishNotify(int errorCode) override;
    void applyProperties() override;

private:
    void removeTemporaryFile();

    std::string tempFile_;
    int nextRequests_ = 0;  // next-fax requests in this run
};

class TSendFax final : public TCustomSendFax {
public:
    explicit TSendFax(Notifier& notifier, MessagePump* pump = nullptr)
        : TCustomSendFax(notifier, pump) {}
};

// A dial string as it may go into a dial command: control characters removed (a CR in it
// would end the command and start another), at most `max` characters.
std::string cleanDialString(std::string_view text, std::size_t max);

}  // namespace pellora::fax
