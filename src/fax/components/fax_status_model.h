// What the fax status window shows, without the window: the values of its labels built from
// a component's run information, with the elapsed-time clock and the redial countdown. The
// window layer puts these texts into its labels; the command-line tool builds its status
// line from them.
#pragma once

#include <cstdint>
#include <string>

#include "fax/components/abstract_fax.h"

namespace pellora::fax {

// Captions of the status window, in the window's order.
struct FaxStatusCaptions {
    static constexpr const char* window = "Fax Status";
    static constexpr const char* phoneNumber = "Phone number:";
    static constexpr const char* faxFileName = "Fax file name:";
    static constexpr const char* coverFileName = "Cover file name:";
    static constexpr const char* totalPages = "Total pages:";
    static constexpr const char* dialAttempt = "Dial attempt:";
    static constexpr const char* remoteID = "Remote ID:";
    static constexpr const char* connectBPS = "Connect BPS:";
    static constexpr const char* resolution = "Resolution:";
    static constexpr const char* width = "Width:";
    static constexpr const char* errorControl = "Error control:";
    static constexpr const char* currentPage = "Current page:";
    static constexpr const char* pageLength = "Page length:";
    static constexpr const char* bytesTransferred = "Bytes transferred:";
    static constexpr const char* elapsedTime = "Elapsed time:";
    static constexpr const char* status = "Status:";
    static constexpr const char* meter = "Page progress:";
    static constexpr const char* meterNotAvailable = "Page progress: N/A";
    static constexpr const char* cancel = "Cancel";
};

struct FaxStatusFields {
    std::string phoneNumber, faxFileName, coverFileName, totalPages, dialAttempt, remoteID,
        connectBPS, resolution, width, errorControl, currentPage, pageLength, bytesTransferred,
        elapsedTime, status;
    bool meterVisible = true;
    int meterPosition = 0;  // 0..100
    std::string meterCaption;
};

class FaxStatusModel {
public:
    using Ms = std::int64_t;  // milliseconds of any steady clock

    // The window was (re)shown: both clocks start over.
    void reset();
    // The labels for `info` at time `now`; drives the two clocks.
    FaxStatusFields update(const FaxRunInfo& info, Ms now);

    // The file part of a path (after the last '/'), cut to 20 characters + "..." when longer.
    static std::string shortFileName(const std::string& path);
    // Whole seconds as minutes ":" two-digit seconds, right-aligned in 6 characters.
    static std::string clockText(long seconds);

private:
    bool timing_ = false;
    bool timed_ = false;
    Ms start_ = 0;
    long stoppedAt_ = 0;
    bool redialing_ = false;
    Ms redialStart_ = 0;
};

}  // namespace pellora::fax
