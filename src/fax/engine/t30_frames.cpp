#include "fax/engine/t30_frames.h"

#include <algorithm>

#include "fax/engine/page_transfer.h"
#include "fax/engine/responses.h"
#include "fax/engine/session_defs.h"

namespace pellora::fax {

namespace {

struct NamedFcf {
    std::uint8_t fcf;
    const char* name;
};

// Codes whose bit 0 is the X bit.
constexpr NamedFcf kNames[] = {
    {fcfDIS, "DIS"},         {fcfCSI, "CSI"},         {fcfNSF, "NSF"}, {fcfDCS, "DCS"},
    {fcfTSI, "TSI"},         {fcfNSS, "NSS"},         {fcfCFR, "CFR"}, {fcfFTT, "FTT"},
    {fcfEOM, "EOM"},         {fcfMPS, "MPS"},         {fcfEOP, "EOP"}, {fcfPRI_EOM, "PRI-EOM"},
    {fcfPRI_MPS, "PRI-MPS"}, {fcfPRI_EOP, "PRI-EOP"}, {fcfMCF, "MCF"}, {fcfRTP, "RTP"},
    {fcfRTN, "RTN"},         {fcfPIP, "PIP"},         {fcfPIN, "PIN"}, {fcfDCN, "DCN"},
    {fcfCRP, "CRP"},
};

// T.30 bits 11-14 (byte 2 & 0x3C) of a DCS for each rate index: V.27 ter at 2400 and 4800,
// V.29 at 7200 and 9600, V.17 at 12000 and 14400 (the modulations of the "AT+FTM=" codes).
constexpr std::uint8_t kDcsRateBits[7] = {0x00, 0x00, 0x08, 0x0C, 0x04, 0x28, 0x20};

// Modem bits (bits 11-14 shifted down) of a DIS.
constexpr std::uint8_t kDisV29 = 0x01;  // bit 11
constexpr std::uint8_t kDisV17 = 0x08;  // bit 14

void addBase(RateSet& r) {
    r[1] = r[2] = true;
}

}  // namespace

std::string_view frameName(std::uint8_t fcf) {
    if (fcf == fcfDTC) return "DTC";
    if (fcf == fcfCIG) return "CIG";
    if (fcf == fcfNSC) return "NSC";
    const std::uint8_t kind = fcf & ~kFcfXBit;
    for (const NamedFcf& n : kNames)
        if (n.fcf == kind) return n.name;
    return "?";
}

std::string_view frameErrorText(FrameError e) {
    switch (e) {
        case FrameError::none:
            return "ok";
        case FrameError::noAddress:
            return "no address byte";
        case FrameError::tooShort:
            return "frame too short";
        case FrameError::badControl:
            return "bad control byte";
        case FrameError::badLength:
            return "bad information field length";
        case FrameError::truncated:
            return "information field cut short";
    }
    return "?";
}

FrameParse parseFrame(std::span<const std::uint8_t> bytes) {
    FrameParse r;
    auto start = std::find(bytes.begin(), bytes.end(), kHdlcAddress);
    r.skipped = static_cast<std::size_t>(start - bytes.begin());
    if (start == bytes.end()) {
        r.error = FrameError::noAddress;
        return r;
    }
    auto rest = bytes.subspan(r.skipped);
    if (rest.size() < 3) {
        r.error = FrameError::tooShort;
        return r;
    }
    if (rest[1] != kControlFinal && rest[1] != kControlNotFinal) {
        r.error = FrameError::badControl;
        return r;
    }
    r.frame.control = rest[1];
    r.frame.fcf = rest[2];
    r.frame.fif.assign(rest.begin() + 3, rest.end());
    // The FIF of the frames the machines read fields from must hold those fields; whatever
    // follows them (some modems pass the two FCS bytes on) is left alone.
    switch (r.frame.kind()) {
        case fcfDIS:
        case fcfDCS: {
            DisDcs unused;
            if (readDisDcs(r.frame.fif, unused) != FifError::none) r.error = FrameError::truncated;
            break;
        }
        case fcfCSI:
        case fcfTSI:
            if (r.frame.fif.size() < kStationIdLength) r.error = FrameError::badLength;
            break;
        default:
            break;
    }
    return r;
}

FrameParse parseFrame(std::string_view bytes) {
    return parseFrame(std::span<const std::uint8_t>(
        reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size()));
}

std::vector<std::uint8_t> frameBytes(std::uint8_t fcf, bool final,
                                     std::span<const std::uint8_t> fif) {
    std::vector<std::uint8_t> f;
    f.reserve(3 + fif.size());
    f.push_back(kHdlcAddress);
    f.push_back(final ? kControlFinal : kControlNotFinal);
    f.push_back(fcf);
    f.insert(f.end(), fif.begin(), fif.end());
    return f;
}

int writeFrame(PageOutput& out, std::span<const std::uint8_t> bytes) {
    EscapeWriter w(out);
    if (int rc = w.writeUnit(bytes)) return rc;
    const std::uint8_t end[2] = {kDLE, kETX};
    return w.writeRaw(end);
}

std::array<std::uint8_t, kStationIdLength> stationIdFif(std::string_view stationId) {
    std::array<std::uint8_t, kStationIdLength> fif;
    fif.fill(' ');
    const std::size_t n = std::min(stationId.size(), kStationIdLength);
    // Position p of the padded ID goes out as FIF byte 19 - p.
    for (std::size_t p = 0; p < n; ++p)
        fif[kStationIdLength - 1 - p] = static_cast<std::uint8_t>(stationId[p]);
    return fif;
}

bool readStationId(std::span<const std::uint8_t> fif, std::string& id) {
    if (fif.size() < kStationIdLength) return false;
    id.clear();
    for (std::size_t i = kStationIdLength; i-- > 0;) {
        std::uint8_t b = fif[i];
        id.push_back(b < 0x20 || b == 0x7F ? '?' : static_cast<char>(b));
    }
    return true;
}

RateSet baseRates() {
    RateSet r{};
    addBase(r);
    return r;
}

FifError readDisDcs(std::span<const std::uint8_t> fif, DisDcs& out) {
    if (fif.size() < 3) return FifError::tooShort;
    std::size_t last = 2;  // byte 3 carries the first extension bit (bit 24)
    while (fif[last] & 0x80) {
        if (++last >= fif.size()) return FifError::unterminated;
    }
    DisDcs d;
    d.length = last + 1;
    d.receiveReady = (fif[1] & 0x02) != 0;
    d.modemBits = static_cast<std::uint8_t>((fif[1] >> 2) & 0x0F);
    d.fine = (fif[1] & 0x40) != 0;
    d.twoD = (fif[1] & 0x80) != 0;
    d.widthBits = fif[2] & 0x03;
    d.lengthBits = static_cast<std::uint8_t>((fif[2] >> 2) & 0x03);
    d.scanBits = fif[2] & 0x70;
    d.ecm = d.length >= 4 && (fif[3] & 0x04) != 0;
    out = d;
    return FifError::none;
}

RateSet remoteRatesFromDis(const DisDcs& dis) {
    RateSet r{};
    // 2400 always. No modem bits at all is the V.27 ter fall-back mode, 2400 only; any other
    // announcement includes V.27 ter at 4800.
    r[1] = true;
    r[2] = dis.modemBits != 0;
    // V.29 brings 7200 and 9600. V.17 is announced together with V.29 and brings 12000
    // and 14400. The old V.33 code (bit 13 alone) has no "AT+FTM=" modulation and adds
    // nothing.
    if (dis.modemBits & (kDisV29 | kDisV17)) r[3] = r[4] = true;
    if (dis.modemBits & kDisV17) r[5] = r[6] = true;
    return r;
}

bool disAllowsWide(const DisDcs& dis) {
    // 0x01: 215 and 255 mm; 0x02 (and the invalid 0x03, read the same way): up to 303 mm.
    return dis.widthBits != 0;
}

int rateIndexFromDcs(const DisDcs& dcs) {
    const std::uint8_t bits = static_cast<std::uint8_t>(dcs.modemBits << 2);
    for (int i = 1; i <= 6; ++i)
        if (kDcsRateBits[i] == bits) return i;
    return 0;
}

std::array<std::uint8_t, 4> disFif(int rateIndex) {
    // Bits 11-14: nothing (2400 only), V.27 ter, V.27 ter + V.29, or those plus V.17.
    static constexpr std::uint8_t kDisRateBits[7] = {0x00, 0x00, 0x08, 0x0C, 0x0C, 0x2C, 0x2C};
    rateIndex = std::clamp(rateIndex, 1, 6);
    // Byte 3: 215 and 255 mm, unlimited length, no minimum scan time, extended to byte 4.
    return {0x00, static_cast<std::uint8_t>(0x42 | kDisRateBits[rateIndex]), 0xF9, 0x00};
}

std::array<std::uint8_t, 4> dcsFif(int rateIndex, bool highRes, bool wide, int scanTimeIndex) {
    rateIndex = std::clamp(rateIndex, 1, 6);
    scanTimeIndex = std::clamp(scanTimeIndex, 0, 7);
    const ScanTimeEntry& s = kScanTimes[scanTimeIndex];
    std::uint8_t b2 = static_cast<std::uint8_t>(0x02 | kDcsRateBits[rateIndex]);
    if (highRes) b2 |= 0x40;
    std::uint8_t b3 = static_cast<std::uint8_t>((highRes ? s.dcsHigh : s.dcsNormal) | 0x88);
    if (wide) b3 |= 0x01;
    return {0x00, b2, b3, 0x00};
}

DcsChoice chooseDcs(const DisDcs& dis, const RateSet& localRates, long desiredBPS, bool pageHighRes,
                    bool pageWide) {
    DcsChoice c;
    c.remoteRates = remoteRatesFromDis(dis);
    if ((pageHighRes && !dis.fine) || (pageWide && !disAllowsWide(dis))) c.error = ecFaxBadMachine;
    RateSet local = localRates;
    addBase(local);
    c.rateIndex = 1;
    for (int i = 6; i >= 1; --i) {
        if (local[i] && c.remoteRates[i] && kRates[i].bps <= desiredBPS) {
            c.rateIndex = i;
            break;
        }
    }
    c.connectBPS = kRates[c.rateIndex].bps;
    c.highRes = pageHighRes;
    c.wide = pageWide;
    c.ecm = false;
    c.scanTimeIndex = scanTimeIndexFromBits(dis.scanBits);
    c.minBytesPerLine = minBytesPerLine(c.scanTimeIndex, c.highRes, c.connectBPS);
    c.fif = dcsFif(c.rateIndex, c.highRes, c.wide, c.scanTimeIndex);
    c.modulation = kRates[c.rateIndex].longTrain;
    return c;
}

DcsReceived readReceivedDcs(const DisDcs& dcs) {
    DcsReceived r;
    r.rateIndex = rateIndexFromDcs(dcs);
    r.highRes = dcs.fine;
    r.wide = dcs.widthBits == 0x01;
    r.scanTimeIndex = scanTimeIndexFromBits(dcs.scanBits);
    if (r.rateIndex) {
        r.connectBPS = kRates[r.rateIndex].bps;
        r.modulation = kRates[r.rateIndex].longTrain;
    }
    r.minBytesPerLine = minBytesPerLine(r.scanTimeIndex, r.highRes, r.connectBPS);
    return r;
}

int stepDownRate(int rateIndex, const RateSet& localRates, const RateSet& remoteRates) {
    RateSet local = localRates, remote = remoteRates;
    addBase(local);
    remote[1] = true;
    for (int i = std::min(rateIndex, 7) - 1; i >= 1; --i)
        if (local[i] && remote[i]) return i;
    return 0;
}

}  // namespace pellora::fax
