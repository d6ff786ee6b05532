// TFaxLog: the fax history, a text file to which every start, success, failure and skip of a
// fax adds its lines (CR LF line ends, as the history has always been written).
#pragma once

#include <ctime>
#include <functional>
#include <string>
#include <vector>

#include "fax/components/abstract_fax.h"

namespace pellora::fax {

class TFaxLog {
public:
    TFaxLog() = default;
    ~TFaxLog();
    TFaxLog(const TFaxLog&) = delete;
    TFaxLog& operator=(const TFaxLog&) = delete;

    std::string FaxHistoryName = "FAXHIST.HIS";  // empty: nothing is written

    TCustomAbstractFax* Fax() const { return fax_; }
    // Links the log to `fax` (and `fax` to the log); null unlinks.
    void setFax(TCustomAbstractFax* fax);

    // Appends the lines of `logCode` for the linked component, creating the file when it
    // does not exist. Raises EInOutError when the file cannot be opened or written.
    void AddLogEntry(TFaxLogCode logCode);

    // The moment written into the lines; local time now unless a test sets it.
    std::function<std::tm()> Now;

private:
    friend class TCustomAbstractFax;
    TCustomAbstractFax* fax_ = nullptr;
};

// Date and time as the history writes them: the locale's date and time representations
// (strftime "%x %X" under the program's LC_TIME; "12/11/26 14:05:09" in the C locale).
std::string historyDateTime(const std::tm& when);

// The lines (without line ends) `logCode` writes for a run. Send codes write only for a
// sending run, receive codes only for a receiving one. Every text from outside (file names,
// numbers, the remote ID) arrives without control characters, so one entry can never forge
// another line.
std::vector<std::string> faxHistoryLines(TFaxLogCode logCode, const FaxRunInfo& info,
                                         const std::tm& when);

}  // namespace pellora::fax
