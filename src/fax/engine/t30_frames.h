// T.30 HDLC frames as a Class 1 modem hands them over: the modem adds and strips the flags
// and the frame check, so the engine sees address, control, FCF and FIF, ended by DLE ETX.
// This unit builds the frames the Class 1 machines send, parses what they receive, reads and
// writes the DIS / DCS bit fields and the station identifier frames, picks the DCS for a
// received DIS and steps the rate down after a failed training.
//
// Bit order: bytes are as the modem delivers them, the first bit on the line is the least
// significant bit. T.30 bit n of a DIS or DCS is therefore bit (n-1) % 8 of FIF byte
// (n-1) / 8: bits 9-16 are FIF byte 2 (index 1), bits 17-24 byte 3 (index 2).
//
// Nothing here touches a session or a port: the machines feed the results into their own
// state, so every rule can be tested alone.
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace pellora::fax {

class PageOutput;

inline constexpr std::uint8_t kHdlcAddress = 0xFF;
inline constexpr std::uint8_t kControlNotFinal = 0x03;
inline constexpr std::uint8_t kControlFinal = 0x13;
inline constexpr std::uint8_t kFcfXBit = 0x01;

// Facsimile control fields with the X bit cleared (the value an answering station sends; a
// calling station sends them with the X bit set: DCS goes out as fcfDCS | kFcfXBit = 0x83).
// The polling frames DTC, CIG and NSC are the exception: their bit 0 is part of the code.
inline constexpr std::uint8_t fcfDIS = 0x80, fcfCSI = 0x40, fcfNSF = 0x20;
inline constexpr std::uint8_t fcfDTC = 0x81, fcfCIG = 0x41, fcfNSC = 0x21;
inline constexpr std::uint8_t fcfDCS = 0x82, fcfTSI = 0x42, fcfNSS = 0x22;
inline constexpr std::uint8_t fcfCFR = 0x84, fcfFTT = 0x44;
inline constexpr std::uint8_t fcfEOM = 0x8E, fcfMPS = 0x4E, fcfEOP = 0x2E;
inline constexpr std::uint8_t fcfPRI_EOM = 0x9E, fcfPRI_MPS = 0x5E, fcfPRI_EOP = 0x3E;
inline constexpr std::uint8_t fcfMCF = 0x8C, fcfRTP = 0xCC, fcfRTN = 0x4C;
inline constexpr std::uint8_t fcfPIP = 0xAC, fcfPIN = 0x2C;
inline constexpr std::uint8_t fcfDCN = 0xFA, fcfCRP = 0x1A;

// The frame's name ("DIS", "MCF", ...) for an FCF with or without its X bit; "?" for codes
// the engine does not know. DIS, CSI and NSF keep bit 0 clear: with bit 0 set they are the
// polling frames DTC, CIG and NSC.
std::string_view frameName(std::uint8_t fcf);

struct T30Frame {
    std::uint8_t control = kControlFinal;
    std::uint8_t fcf = 0;  // as received, X bit included
    std::vector<std::uint8_t> fif;

    bool final() const { return (control & 0x10) != 0; }
    bool xBit() const { return (fcf & kFcfXBit) != 0; }
    // The FCF with the X bit cleared; compare it with the fcf constants above.
    std::uint8_t kind() const { return static_cast<std::uint8_t>(fcf & ~kFcfXBit); }
};

enum class FrameError {
    none,
    noAddress,   // no 0xFF in the bytes
    tooShort,    // address without control and FCF
    badControl,  // control neither 0x03 nor 0x13
    badLength,   // a TSI / CSI with fewer than 20 FIF bytes
    truncated,   // a DIS / DCS under 3 FIF bytes, or whose extension bits promise more
};
std::string_view frameErrorText(FrameError e);

struct FrameParse {
    FrameError error = FrameError::none;
    T30Frame frame;
    std::size_t skipped = 0;  // bytes dropped in front of the address
    bool ok() const { return error == FrameError::none; }
};

// Reads one frame from the bytes the response collector gathered (DLE ETX already removed,
// doubled DLEs already single). Anything in front of the first 0xFF is dropped: modems
// leave bits of earlier responses there. Besides the header, a DIS / DCS must hold its
// extension chain and a TSI / CSI its 20 ID bytes; bytes after those are ignored (some modems
// pass the FCS on).
FrameParse parseFrame(std::span<const std::uint8_t> bytes);
FrameParse parseFrame(std::string_view bytes);

// The frame bytes without DLE doubling: address, control, FCF, FIF.
std::vector<std::uint8_t> frameBytes(std::uint8_t fcf, bool final,
                                     std::span<const std::uint8_t> fif = {});
// Queues a frame for the modem: every DLE inside it doubled (so a 0x10 in a station ID
// cannot end the frame early), then DLE ETX. 0 or the output's negative code.
int writeFrame(PageOutput& out, std::span<const std::uint8_t> frameBytes);

// --- station identifier (TSI, CSI) --------------------------------------------------------
inline constexpr std::size_t kStationIdLength = 20;
// The 20 FIF bytes for a StationID: padded with blanks to 20 characters (longer IDs are cut
// to their first 20) and written last character first.
std::array<std::uint8_t, kStationIdLength> stationIdFif(std::string_view stationId);
// The remote's ID from a TSI / CSI FIF: the 20 bytes in reverse order, blanks included.
// Control characters come back as '?' so that a remote cannot put line breaks into the
// status window or the fax log. Only the first 20 bytes count (a modem may append the FCS);
// false (and `id` untouched) when there are fewer.
bool readStationId(std::span<const std::uint8_t> fif, std::string& id);

// --- rates ----------------------------------------------------------------------------------
// Rate indexes 1..6 as in kRates (2400, 4800, 7200, 9600, 12000, 14400); [0] unused.
using RateSet = std::array<bool, 7>;
// Indexes 1 and 2 (V.27 ter) are always there.
RateSet baseRates();

// --- DIS / DCS ------------------------------------------------------------------------------
// The fields of a DIS or DCS the engine uses. In a DIS they are capabilities, in a DCS the
// chosen mode.
struct DisDcs {
    std::uint8_t modemBits = 0;   // T.30 bits 11-14 as (byte 2 >> 2) & 0x0F
    bool receiveReady = false;    // bit 10
    bool fine = false;            // bit 15: 7.7 lines/mm
    bool twoD = false;            // bit 16: two-dimensional coding
    std::uint8_t widthBits = 0;   // bits 17-18: byte 3 & 0x03
    std::uint8_t lengthBits = 0;  // bits 19-20: (byte 3 >> 2) & 0x03
    std::uint8_t scanBits = 0;    // bits 21-23: byte 3 & 0x70
    bool ecm = false;             // bit 27 (only when byte 4 is there)
    std::size_t length = 0;       // FIF bytes the extension chain covers
};
enum class FifError { none, tooShort, unterminated };
// Reads bytes 1..3 and whatever the extension bits (bit 24, 32, ...) chain on; a chain whose
// last present byte still has its extension bit set is `unterminated`. Bytes after the end
// of the chain are ignored.
FifError readDisDcs(std::span<const std::uint8_t> fif, DisDcs& out);

// The rates a remote offers in its DIS (2400 always, 4800 unless it is limited to the
// V.27 ter fall-back mode).
RateSet remoteRatesFromDis(const DisDcs& dis);
// Width 2048 (255 mm) or more in the DIS.
bool disAllowsWide(const DisDcs& dis);
// The rate index a DCS asks for; 0 for a modulation this engine cannot run (V.33, V.17 at
// 7200 / 9600, reserved codes).
int rateIndexFromDcs(const DisDcs& dcs);

// The DIS a receiver sends for its rate index (4 FIF bytes).
std::array<std::uint8_t, 4> disFif(int rateIndex);
// The DCS FIF for a rate, resolution, width and scan-time class (4 FIF bytes).
std::array<std::uint8_t, 4> dcsFif(int rateIndex, bool highRes, bool wide, int scanTimeIndex);

// What a transmitter settles on after the remote's DIS.
struct DcsChoice {
    int error = 0;  // 0, or -8060 when the page needs what the remote lacks
    int rateIndex = 1;
    long connectBPS = 2400;
    bool highRes = false, wide = false, ecm = false;
    int scanTimeIndex = 5;
    int minBytesPerLine = 0;
    RateSet remoteRates{};
    std::array<std::uint8_t, 4> fif{};
    std::string modulation;  // long-train code of the rate
};
// The DCS for a received DIS, the own modem's rates, DesiredBPS and the first page's
// resolution and width: the highest rate both sides have that does not exceed DesiredBPS.
DcsChoice chooseDcs(const DisDcs& dis, const RateSet& localRates, long desiredBPS, bool pageHighRes,
                    bool pageWide);

// What a receiver takes from the caller's DCS.
struct DcsReceived {
    int rateIndex = 0;  // 0: a modulation this engine cannot receive
    long connectBPS = 0;
    bool highRes = false, wide = false;
    int scanTimeIndex = 5;
    int minBytesPerLine = 0;
    std::string modulation;  // long-train code, empty when rateIndex is 0
};
DcsReceived readReceivedDcs(const DisDcs& dcs);

// The next lower index both sides have; 0 when none is left (the fax fails with -8062).
// The own modem always has 2400 and 4800, every remote 2400.
int stepDownRate(int rateIndex, const RateSet& localRates, const RateSet& remoteRates);

}  // namespace pellora::fax
