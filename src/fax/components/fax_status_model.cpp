#include "fax/components/fax_status_model.h"

#include <algorithm>
#include <cstdio>

namespace pellora::fax {

std::string FaxStatusModel::shortFileName(const std::string& path) {
    const std::size_t slash = path.find_last_of('/');
    std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
    if (name.size() > 20) name = name.substr(0, 20) + "...";
    return name;
}

std::string FaxStatusModel::clockText(long seconds) {
    seconds = std::max(0L, seconds);
    char mmss[32], text[40];
    std::snprintf(mmss, sizeof mmss, "%02ld:%02ld", seconds / 60, seconds % 60);
    std::snprintf(text, sizeof text, "%6s", mmss);
    return text;
}

void FaxStatusModel::reset() {
    timing_ = timed_ = false;
    stoppedAt_ = 0;
    redialing_ = false;
}

FaxStatusFields FaxStatusModel::update(const FaxRunInfo& info, Ms now) {
    const int code = info.statusCode;
    // The connection clock: from the first connection status to the end of the fax.
    if (!timing_ && (code == scConnectParams || code == scGotStationID)) {
        timing_ = timed_ = true;
        start_ = now;
    } else if (timing_ && (code == scFinished || code == scUserAbort || code == scGotHangup)) {
        timing_ = false;
        stoppedAt_ = static_cast<long>((now - start_) / 1000);
    }
    // The redial countdown lasts as long as the busy status does.
    if (code == scBusyWait) {
        if (!redialing_) {
            redialing_ = true;
            redialStart_ = now;
        }
    } else {
        redialing_ = false;
    }

    FaxStatusFields f;
    const bool send = info.sending;
    f.phoneNumber = send ? info.phoneNumber : "";
    f.faxFileName = shortFileName(info.faxFile);
    f.coverFileName = send ? shortFileName(info.coverFile) : "";
    f.totalPages = std::to_string(info.totalPages);
    f.dialAttempt = send ? std::to_string(info.dialAttempt) : "1";
    f.remoteID = cleanStationId(info.remoteID);
    f.connectBPS = std::to_string(info.connectBPS);
    f.resolution = info.connectHighRes ? "high" : "standard";
    f.width = info.connectWide ? "2048" : "1728";
    f.errorControl = info.connectECM ? "on" : "off";
    f.currentPage = info.currentPage == 0 ? "<cover page>" : std::to_string(info.currentPage);
    f.pageLength = std::to_string(info.pageLength);
    f.bytesTransferred = std::to_string(info.bytesTransferred);
    if (timing_)
        f.elapsedTime = clockText(static_cast<long>((now - start_) / 1000));
    else if (timed_)
        f.elapsedTime = clockText(stoppedAt_);
    else
        f.elapsedTime = "00:00";
    f.status = std::string(statusText(code));
    if (redialing_) {
        const long passed = static_cast<long>((now - redialStart_) / 1000);
        f.status += clockText(info.dialRetryWait - passed);
    }
    if (send) {
        f.meterVisible = true;
        f.meterCaption = FaxStatusCaptions::meter;
        if (info.pageLength > 0) {
            const long long percent =
                (static_cast<long long>(info.bytesTransferred) * 100 + info.pageLength / 2) / info.pageLength;
            f.meterPosition = static_cast<int>(std::clamp<long long>(percent, 0, 100));
        }
    } else {
        f.meterVisible = false;
        f.meterCaption = FaxStatusCaptions::meterNotAvailable;
    }
    return f;
}

}  // namespace pellora::fax
