#include "fax/components/fax_log.h"

#include <cerrno>
#include <cstdio>

#include "fax/image/fax_errors.h"

namespace pellora::fax {

namespace {

// File names and numbers are the user's, but a CR or LF in one must still not start a line
// of its own in the history.
std::string oneLine(std::string_view text) {
    std::string out(text);
    for (char& c : out)
        if (static_cast<unsigned char>(c) < 32 || c == 127) c = ' ';
    return out;
}

std::tm localNow() {
    std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    return local;
}

}  // namespace

TFaxLog::~TFaxLog() { setFax(nullptr); }

void TFaxLog::setFax(TCustomAbstractFax* fax) {
    if (fax)
        fax->setFaxLog(this);
    else if (fax_)
        fax_->setFaxLog(nullptr);
}

std::string historyDateTime(const std::tm& when) {
    char date[128] = "", time[128] = "";
    std::strftime(date, sizeof date, "%x", &when);
    std::strftime(time, sizeof time, "%X", &when);
    return std::string(date) + " " + time;
}

std::vector<std::string> faxHistoryLines(TFaxLogCode logCode, const FaxRunInfo& info,
                                         const std::tm& when) {
    const std::string at = historyDateTime(when);
    // cleanStationId keeps the ID's trailing blanks: the history shows it as received.
    const std::string remote = cleanStationId(info.remoteID);
    const std::string hangup = std::to_string(info.hangupCode);
    const std::string error = oneLine(faxErrorText(info.errorCode));
    std::vector<std::string> lines;
    if (info.sending) {
        switch (logCode) {
            case lcTransmitStart:
                for (const auto& entry : info.faxFileList)
                    lines.push_back("Transmit " + oneLine(entry) + " to " + oneLine(info.phoneNumber) +
                                    " started at " + at);
                break;
            case lcTransmitOk:
                lines = {"Transmit to " + remote + " finished OK at " + at + " " + hangup, ""};
                break;
            case lcTransmitFail:
                lines = {"Transmit failed at " + at, "  (" + error + ") " + hangup, ""};
                break;
            default:
                break;
        }
    } else {
        switch (logCode) {
            case lcReceiveStart:
                lines = {"Receive " + oneLine(info.faxFile) + " from " + remote + " started at " + at};
                break;
            case lcReceiveOk:
                lines = {"Receive finished OK at " + at, ""};
                break;
            case lcReceiveSkip:
                lines = {"Receive skipped at " + at, ""};
                break;
            case lcReceiveFail:
                lines = {"Receive failed at " + at, "  (" + error + ")", ""};
                break;
            default:
                break;
        }
    }
    return lines;
}

void TFaxLog::AddLogEntry(TFaxLogCode logCode) {
    if (FaxHistoryName.empty() || !fax_) return;
    const std::vector<std::string> lines =
        faxHistoryLines(logCode, fax_->runInfo(), Now ? Now() : localNow());
    if (lines.empty()) return;
    errno = 0;
    std::FILE* f = std::fopen(FaxHistoryName.c_str(), "ab");
    if (!f) raiseFaxError(ioErrorCode(errno ? errno : EACCES, true));
    std::string text;
    for (const auto& line : lines) text += line + "\r\n";
    errno = 0;
    const bool written = std::fwrite(text.data(), 1, text.size(), f) == text.size();
    const int err = errno;
    if (std::fclose(f) != 0 || !written) raiseFaxError(ioErrorCode(err ? err : errno ? errno : EIO, true));
}

}  // namespace pellora::fax
