// The values a fax session shares with its components and its state machines: classes, log
// codes, notification numbers, option flags, status codes and the engine's error codes, the
// 55 ms tick conversions, and the modem tables (rates, scan times, init strings, the Class 2
// and 2.0 command sets).
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

#include "settings/fax_class.h"

namespace pellora::fax {

// One fax class enumeration for the settings and the engine: the settings code plus one.
using settings::TFaxClass;
using settings::fcUnknown;
using settings::fcDetect;
using settings::fcClass1;
using settings::fcClass2;
using settings::fcClass2_0;

enum TFaxLogCode {
    lcNone,
    lcTransmitStart,
    lcTransmitOk,
    lcTransmitFail,
    lcReceiveStart,
    lcReceiveOk,
    lcReceiveSkip,
    lcReceiveFail
};

// Messages a session sends its component (Notification::message) and the one it takes from it.
inline constexpr int kNotifyCancel = 0x7EA0;  // into the handler: stop the run
inline constexpr int kNotifyNextFax = 0x7EA1;
inline constexpr int kNotifyStatus = 0x7EA2;  // payload: bit 0 first, bit 1 last
inline constexpr int kNotifyLog = 0x7EA3;     // payload: TFaxLogCode
inline constexpr int kNotifyName = 0x7EA4;
inline constexpr int kNotifyAccept = 0x7EA5;  // answer 1 accept, 0 reject
inline constexpr int kNotifyError = 0x7EA6;   // payload: error code
inline constexpr int kNotifyFinish = 0x7EA7;  // payload: ErrorCode of the run; posted
inline constexpr std::int64_t kStatusFirst = 1;
inline constexpr std::int64_t kStatusLast = 2;

// Option flags.
inline constexpr unsigned afAbortNoConnect = 1;
inline constexpr unsigned afExitOnError = 2;
inline constexpr unsigned afSoftwareFlow = 8;

// Status codes (StatusCode); statusText() gives what the component shows.
inline constexpr int scInitializing = 1;
inline constexpr int scDialing = 2;
inline constexpr int scBusyWait = 3;
inline constexpr int scSendingPage = 4;
inline constexpr int scSendingEOP = 5;
inline constexpr int scPageError = 6;
inline constexpr int scPageAccepted = 7;
inline constexpr int scConnecting = 8;
inline constexpr int scWaitingForCall = 20;
inline constexpr int scNoConnect = 21;
inline constexpr int scAnswering = 22;
inline constexpr int scCallValidated = 23;
inline constexpr int scGettingPage = 24;
inline constexpr int scGettingEOP = 25;
inline constexpr int scGettingEOD = 26;
inline constexpr int scGettingHangup = 27;
inline constexpr int scGotHangup = 28;
inline constexpr int scConnectParams = 40;
inline constexpr int scGotStationID = 41;
inline constexpr int scUserAbort = 42;
inline constexpr int scFinished = 43;

// The text shown for a status code; empty for codes without one.
std::string_view statusText(int code);

// Error codes of the sessions (texts and exception classes: fax_errors.h).
inline constexpr int ecCancelRequested = -6005;
inline constexpr int ecFatalTimeout = -6006;
inline constexpr int ecNoFilename = -6010;
inline constexpr int ecFileRejected = -6011;
inline constexpr int ecFaxBadMachine = -8060;
inline constexpr int ecFaxBadModemResult = -8061;
inline constexpr int ecFaxTrainError = -8062;
inline constexpr int ecFaxInitError = -8063;
inline constexpr int ecFaxBusy = -8064;
inline constexpr int ecFaxVoiceCall = -8065;
inline constexpr int ecFaxDataCall = -8066;
inline constexpr int ecFaxNoDialTone = -8067;
inline constexpr int ecFaxNoCarrier = -8068;
inline constexpr int ecFaxSessionError = -8069;
inline constexpr int ecFaxPageError = -8070;
inline constexpr int ecFaxNoAnswer = -8074;

// Engine time: ticks of 55 ms. The conversions round as the engine always has, so that a
// minute is 1092 ticks and 1092 ticks read back as 60 seconds.
constexpr long secondsToTicks(long seconds) { return seconds * 1675 / 92; }
constexpr long ticksToSeconds(long ticks) { return (ticks + 9) * 92 / 1675; }

inline constexpr long kResponseTimeoutTicks = 182;  // 10 s
inline constexpr long kDataTimeoutTicks = 1092;     // 60 s

// Rates by rate index 1..6 (index 0 unused).
struct RateEntry {
    long bps;
    const char* longTrain;   // modulation code for "AT+FTM=" / "AT+FRM="
    const char* shortTrain;  // after a good training
    char disDigit;           // "AT+FDIS=" bit-rate digit
};
inline constexpr std::array<RateEntry, 7> kRates = {{{0, "", "", '0'},
                                                      {2400, "24", "24", '0'},
                                                      {4800, "48", "48", '1'},
                                                      {7200, "72", "72", '2'},
                                                      {9600, "96", "96", '3'},
                                                      {12000, "121", "122", '4'},
                                                      {14400, "145", "146", '5'}}};

// The bit-rate digit offered for a desired rate: anything not listed is 9600.
char bitRateDigit(long desiredBps);

// Minimum scan time classes 0..7: milliseconds at normal and high resolution, the FIF bits
// (byte 3 & 0x70) that map to the class when read, and the bits written in a DCS.
struct ScanTimeEntry {
    int normalMs, highMs;
    std::uint8_t received;
    std::uint8_t dcsNormal, dcsHigh;
};
inline constexpr std::array<ScanTimeEntry, 8> kScanTimes = {{{0, 0, 0x70, 0x70, 0x70},
                                                              {5, 5, 0x10, 0x10, 0x10},
                                                              {10, 5, 0x60, 0x20, 0x10},
                                                              {10, 10, 0x20, 0x20, 0x20},
                                                              {20, 10, 0x30, 0x00, 0x20},
                                                              {20, 20, 0x00, 0x00, 0x00},
                                                              {40, 20, 0x50, 0x40, 0x00},
                                                              {40, 40, 0x40, 0x40, 0x40}}};

// The scan-time class for the bits of a received DIS or DCS (byte 3 & 0x70).
int scanTimeIndexFromBits(std::uint8_t bits);
// Bytes a coded line must at least have: the scan time at this resolution at this rate.
int minBytesPerLine(int scanTimeIndex, bool highResolution, long bps);

// The modem init command for the dial options.
inline constexpr const char* kDefaultInitString = "ATE0Q0V1X4S0=0S2=43";
const char* initStringFor(bool blindDial, bool detectBusy);

// The Class 2 / 2.0 command set: slots 0..6 "AT+F" + suffix, 7..12 "+F" + suffix, 13 the
// suffix alone (the hang-up report).
inline constexpr int kClassCommandSlots = 14;
inline constexpr int slClass = 0, slModel = 1, slMaker = 2, slRevision = 3, slSessionParams = 4,
                     slLocalID = 5, slCapabilities = 6, slConnect = 7, slRemoteCaps = 8,
                     slNegotiated = 9, slTransmitterID = 10, slCalledID = 11, slPageStatus = 12,
                     slHangup = 13;
using ClassCommandTable = std::array<std::string, kClassCommandSlots>;
// The table for fcClass2 or fcClass2_0 (empty strings for any other class).
ClassCommandTable classCommandTable(TFaxClass cls);

}  // namespace pellora::fax
