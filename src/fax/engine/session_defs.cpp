#include "fax/engine/session_defs.h"

namespace pellora::fax {

std::string_view statusText(int code) {
    switch (code) {
        case 1: return "Initializing modem for fax processing";
        case 2: return "Dialing";
        case 3: return "Busy, waiting until redial...";
        case 4: return "Sending page data";
        case 5: return "Sending EOP";
        case 6: return "Error sending page";
        case 7: return "Page accepted by remote";
        case 8: return "Connecting...";
        case 20: return "Waiting for incoming call";
        case 21: return "No connect on this call";
        case 22: return "Answering incoming call";
        case 23: return "Incoming call validated as fax";
        case 24: return "Getting page data";
        case 25: return "Getting end-of-page signal";
        case 26: return "Getting end-of-document status";
        case 27: return "Getting hangup command";
        case 28: return "Got Class 2 FHNG code";
        case 40: return "Getting connection params";
        case 41: return "Got called-station ID";
        case 42: return "User abort";
        case 43: return "Finished";
        default: return "";
    }
}

char bitRateDigit(long desiredBps) {
    switch (desiredBps) {
        case 2400: return '0';
        case 4800: return '1';
        case 7200: return '2';
        case 12000: return '4';
        case 14400: return '5';
        default: return '3';
    }
}

int scanTimeIndexFromBits(std::uint8_t bits) {
    bits &= 0x70;
    for (int i = 0; i < 8; ++i)
        if (kScanTimes[i].received == bits) return i;
    return 5;  // not reached: the eight bit patterns are all in the table
}

int minBytesPerLine(int scanTimeIndex, bool highResolution, long bps) {
    if (scanTimeIndex < 0 || scanTimeIndex > 7) return 0;
    const ScanTimeEntry& e = kScanTimes[scanTimeIndex];
    long ms = highResolution ? e.highMs : e.normalMs;
    return static_cast<int>(ms * bps / 8000);
}

const char* initStringFor(bool blindDial, bool detectBusy) {
    if (detectBusy) return blindDial ? "ATE0Q0V1X3S0=0S2=43" : "ATE0Q0V1X4S0=0S2=43";
    return blindDial ? "ATE0Q0V1X1S0=0S2=43" : "ATE0Q0V1X2S0=0S2=43";
}

ClassCommandTable classCommandTable(TFaxClass cls) {
    static constexpr const char* two[kClassCommandSlots] = {
        "CLASS=2", "MDL?", "MFR?", "REV?", "DIS", "LID", "DCC",
        "CON",     "DIS",  "DCS",  "TSI",  "CSI", "PTS", "FHNG"};
    static constexpr const char* twoZero[kClassCommandSlots] = {
        "CLASS=2.0", "MI?", "MM?", "MR?", "IS", "LI", "CC",
        "CO",        "IS",  "CS",  "TI",  "CI", "PS", "FHS"};
    ClassCommandTable table;
    if (cls != fcClass2 && cls != fcClass2_0) return table;
    const char* const* suffix = cls == fcClass2 ? two : twoZero;
    for (int i = 0; i < kClassCommandSlots; ++i) {
        std::string prefix = i <= 6 ? "AT+F" : i <= 12 ? "+F" : "";
        table[i] = prefix + suffix[i];
    }
    return table;
}

}  // namespace pellora::fax
