// The response collector and the response and +F report parsers fed arbitrary modem bytes: no crash, no
// hang, and a line that never grows past 128 characters however long the modem talks.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "fax/engine/responses.h"

using namespace pellora::fax;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    ResponseCollector collector;
    // The first byte picks how often the reader clears the line, as the states do or don't.
    const unsigned clearEvery = size ? data[0] % 4 : 0;
    unsigned results = 0;
    for (std::size_t i = 0; i < size; ++i) {
        auto r = collector.feed(data[i]);
        if (collector.line().size() > kResponseLineMax) std::abort();
        if (r == ResponseCollector::rcNone) continue;
        const std::string& line = collector.line();
        if (r == ResponseCollector::rcLine) {
            if (line.empty()) std::abort();
            // What the states do with a line.
            (void)contains(line, rtOK);
            (void)contains(line, "FHNG");
            int code = hangupCodeFrom(line);
            if (code < 0 || code > 999) std::abort();
            std::string value = reportValue(line);
            if (value.size() > line.size()) std::abort();
            ClassList list = parseClassList(line);
            (void)list.any();
            // +F reports: hostile positions and station IDs stay bounded and printable.
            FaxParameters params = parseFaxParameters(value);
            if (params.scanTimeIndex < 0 || params.scanTimeIndex > 7) std::abort();
            std::string id = cleanReportedStationId(value);
            if (id.size() > 20) std::abort();
            for (unsigned char c : id)
                if (c < 32 || c == 0x7F) std::abort();
        }
        if (clearEvery && ++results % clearEvery == 0) collector.clear();
    }
    return 0;
}
