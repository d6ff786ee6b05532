// The T.30 frame layer fed whatever a remote (through its modem) may send: the frame parser,
// the DIS / DCS readers, the station ID reader and the DCS choice must never crash, hang or
// return values outside their ranges.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>
#include <string>

#include "fax/engine/session_defs.h"
#include "fax/engine/t30_frames.h"

using namespace pellora::fax;

namespace {

void check(bool ok) {
    if (!ok) std::abort();
}

void checkRates(const RateSet& r) {
    check(r[1] && !r[0]);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::span<const std::uint8_t> in(data, size);
    FrameParse p = parseFrame(in);
    check(p.skipped <= size);
    check(!frameErrorText(p.error).empty());
    if (!p.ok()) return 0;
    const T30Frame& f = p.frame;
    check(f.control == kControlFinal || f.control == kControlNotFinal);
    check(f.fif.size() + 3 + p.skipped == size);
    check(!frameName(f.fcf).empty());

    // What the machines do with the frame: the ID frames and the DIS / DCS fields. The
    // last input byte stands for the own side's settings.
    std::string id;
    if (readStationId(f.fif, id)) check(id.size() == kStationIdLength);
    DisDcs d;
    if (readDisDcs(f.fif, d) == FifError::none) {
        check(d.length >= 3 && d.length <= f.fif.size());
        check(d.modemBits <= 0x0F && d.widthBits <= 3 && d.lengthBits <= 3);
        const std::uint8_t own = data[size - 1];
        RateSet local{};
        for (int i = 1; i <= 6; ++i) local[i] = (own >> i) & 1;
        const long desired = 2400L * (1 + own % 6);
        DcsChoice c = chooseDcs(d, local, desired, own & 1, own & 0x80);
        check(c.rateIndex >= 1 && c.rateIndex <= 6);
        check(c.connectBPS == kRates[c.rateIndex].bps && c.connectBPS <= desired);
        check(c.error == 0 || c.error == ecFaxBadMachine);
        check(c.scanTimeIndex >= 0 && c.scanTimeIndex <= 7 && c.minBytesPerLine >= 0);
        checkRates(c.remoteRates);
        int steps = 0;
        for (int r = c.rateIndex; (r = stepDownRate(r, local, c.remoteRates)) != 0; ++steps)
            check(r >= 1 && r < c.rateIndex);
        check(steps < 6);
        DcsReceived rx = readReceivedDcs(d);
        check(rx.rateIndex >= 0 && rx.rateIndex <= 6);
        check((rx.rateIndex == 0) == rx.modulation.empty());
        // the DCS we would send reads back as the same mode
        DisDcs back;
        check(readDisDcs(c.fif, back) == FifError::none);
        check(rateIndexFromDcs(back) == c.rateIndex);
    }
    return 0;
}
