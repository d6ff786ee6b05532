// The T.30 frame layer of the Class 1 machines: frame header parsing and building, DLE
// handling on the way out, station IDs, the DIS / DCS fields, the DCS choice and the rate
// step-down. Built a second time with PELLORA_T30_PEER, the file checks the same encodings
// against SpanDSP's own T.30 decoder and frames instead.
#include "fax/engine/t30_frames.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "fax/engine/page_transfer.h"
#include "fax/engine/responses.h"
#include "fax/engine/session_defs.h"

#ifdef PELLORA_T30_PEER
extern "C" {
#include <spandsp.h>
}
#endif

namespace pellora::fax {
namespace {

using Bytes = std::vector<std::uint8_t>;

[[maybe_unused]] DisDcs fields(std::initializer_list<std::uint8_t> fif) {
    Bytes b(fif);
    DisDcs d;
    EXPECT_EQ(readDisDcs(b, d), FifError::none);
    return d;
}

RateSet rates(std::initializer_list<int> indexes) {
    RateSet r{};
    for (int i : indexes) r[i] = true;
    return r;
}

#ifndef PELLORA_T30_PEER

class MemoryOutput : public PageOutput {
  public:
    int write(const std::uint8_t* data, int length) override {
        all.insert(all.end(), data, data + length);
        return 0;
    }
    int outputUsed() override { return 0; }
    int outputFree() override { return 8192; }
    Bytes all;
};

class FailingOutput : public PageOutput {
  public:
    int write(const std::uint8_t*, int) override { return -5; }
    int outputUsed() override { return 0; }
    int outputFree() override { return 0; }
};

// --- frame header ---------------------------------------------------------------------------

TEST(T30Frame, ParsesHeaderFinalFlagXBitAndKind) {
    struct Case {
        Bytes in;
        bool final;
        std::uint8_t fcf, kind;
        bool x;
        std::size_t fifSize;
        const char* name;
    };
    const Case cases[] = {
        {{0xFF, 0x13, 0x84}, true, 0x84, fcfCFR, false, 0, "CFR"},
        {{0xFF, 0x13, 0x4F}, true, 0x4F, fcfMPS, true, 0, "MPS"},
        {{0xFF, 0x03, 0x43, 1, 2}, false, 0x43, fcfTSI, true, 2, "TSI"},  // (header only)
        {{0xFF, 0x13, 0xFB}, true, 0xFB, fcfDCN, true, 0, "DCN"},
        {{0xFF, 0x13, 0x8C}, true, 0x8C, fcfMCF, false, 0, "MCF"},
        {{0xFF, 0x03, 0x8C}, false, 0x8C, fcfMCF, false, 0, "MCF"},
        {{0xFF, 0x13, 0xCD}, true, 0xCD, fcfRTP, true, 0, "RTP"},
        {{0xFF, 0x13, 0x4C}, true, 0x4C, fcfRTN, false, 0, "RTN"},
        {{0xFF, 0x13, 0x2C}, true, 0x2C, fcfPIN, false, 0, "PIN"},
        {{0xFF, 0x13, 0xAD}, true, 0xAD, fcfPIP, true, 0, "PIP"},
        {{0xFF, 0x13, 0x1A}, true, 0x1A, fcfCRP, false, 0, "CRP"},
        {{0xFF, 0x13, 0x8F}, true, 0x8F, fcfEOM, true, 0, "EOM"},
        {{0xFF, 0x13, 0x2F}, true, 0x2F, fcfEOP, true, 0, "EOP"},
        {{0xFF, 0x03, 0x20, 0xAD, 0x00}, false, 0x20, fcfNSF, false, 2, "NSF"},
        {{0xFF, 0x13, 0x44}, true, 0x44, fcfFTT, false, 0, "FTT"},
        {{0xFF, 0x13, 0x76}, true, 0x76, 0x76, false, 0, "?"},  // unknown: kept, not an error
        // a CFR with two FCS bytes left on by the modem
        {{0xFF, 0x13, 0x84, 0x9A, 0x3C}, true, 0x84, fcfCFR, false, 2, "CFR"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        FrameParse p = parseFrame(c.in);
        if (c.fcf == 0x43) {
            EXPECT_EQ(p.error, FrameError::badLength);  // a TSI needs its 20 ID bytes
            continue;
        }
        ASSERT_TRUE(p.ok()) << frameErrorText(p.error);
        EXPECT_EQ(p.frame.final(), c.final);
        EXPECT_EQ(p.frame.fcf, c.fcf);
        EXPECT_EQ(p.frame.kind(), c.kind);
        EXPECT_EQ(p.frame.xBit(), c.x);
        EXPECT_EQ(p.frame.fif.size(), c.fifSize);
        EXPECT_EQ(frameName(p.frame.fcf), c.name);
        EXPECT_EQ(p.skipped, 0u);
    }
}

TEST(T30Frame, PollingFramesKeepTheirOwnNames) {
    EXPECT_EQ(frameName(0x80), "DIS");
    EXPECT_EQ(frameName(0x81), "DTC");
    EXPECT_EQ(frameName(0x40), "CSI");
    EXPECT_EQ(frameName(0x41), "CIG");
    EXPECT_EQ(frameName(0x21), "NSC");
    EXPECT_EQ(frameName(0x83), "DCS");
    EXPECT_EQ(frameName(0x43), "TSI");
}

TEST(T30Frame, DropsBytesInFrontOfTheAddress) {
    std::string line = "\r\nCONNECT\r\n";
    line += std::string("\xFF\x13\x84", 3);
    FrameParse p = parseFrame(std::string_view(line));
    ASSERT_TRUE(p.ok());
    EXPECT_EQ(p.skipped, 11u);
    EXPECT_EQ(p.frame.fcf, 0x84);
}

TEST(T30Frame, MalformedFramesGiveAnErrorNeverACrash) {
    struct Case {
        Bytes in;
        FrameError error;
        const char* what;
    };
    const Case cases[] = {
        {{}, FrameError::noAddress, "empty"},
        {{0x13, 0x84}, FrameError::noAddress, "no address at all"},
        {{0x10, 0x03}, FrameError::noAddress, "only DLE ETX"},
        {{0xFF}, FrameError::tooShort, "address only"},
        {{0xFF, 0x13}, FrameError::tooShort, "no FCF"},
        {{0x00, 0xFF, 0x13}, FrameError::tooShort, "junk then no FCF"},
        {{0xFF, 0x23, 0x84}, FrameError::badControl, "control 0x23"},
        {{0xFF, 0x12, 0x84}, FrameError::badControl, "control without the HDLC bits"},
        {{0xFF, 0xFF, 0x84}, FrameError::badControl, "two addresses"},
        {{0xFF, 0x13, 0x80}, FrameError::truncated, "DIS without FIF"},
        {{0xFF, 0x13, 0x80, 0x00, 0x4E}, FrameError::truncated, "DIS of 2 bytes"},
        {{0xFF, 0x13, 0x83, 0x00, 0x46, 0x88}, FrameError::truncated, "DCS extension, no byte 4"},
        {{0xFF, 0x13, 0x80, 0x00, 0x4E, 0xF9, 0x80, 0x80, 0x80},
         FrameError::truncated,
         "extension bits chained without end"},
        {{0xFF, 0x03, 0x40, ' ', ' ', 'A'}, FrameError::badLength, "CSI of 3 bytes"},
        {{0xFF, 0x03, 0x43}, FrameError::badLength, "TSI without FIF"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        FrameParse p = parseFrame(c.in);
        EXPECT_EQ(p.error, c.error) << frameErrorText(p.error);
        EXPECT_FALSE(p.ok());
        EXPECT_NE(frameErrorText(p.error), "ok");
    }
}

TEST(T30Frame, FramesThroughTheResponseCollectorRoundTrip) {
    // Built, written for the modem, and read back by the collector as the engine does: DLE,
    // ETX and the rest survive. (A CR LF pair inside a frame is left out: the collector ends
    // a line there.) 125 FIF bytes fill the collector's 128-byte line exactly.
    Bytes fif = {0x10, 0x03, 0x10, 0x10, 0x03, 0x0D, 0xFF, 0x13, 0x11, 0x00};
    for (int i = 0x80; fif.size() < 125; ++i) fif.push_back(static_cast<std::uint8_t>(i));
    for (bool final : {false, true}) {
        Bytes frame = frameBytes(0x20, final, fif);
        MemoryOutput out;
        ASSERT_EQ(writeFrame(out, frame), 0);
        ResponseCollector c;
        int frames = 0;
        std::string got;
        for (std::uint8_t b : out.all)
            if (c.feed(b) == ResponseCollector::rcFrame) {
                ++frames;
                got = c.line();
            }
        ASSERT_EQ(frames, 1);
        FrameParse p = parseFrame(std::string_view(got));
        ASSERT_TRUE(p.ok());
        EXPECT_EQ(p.frame.final(), final);
        EXPECT_EQ(p.frame.fcf, 0x20);
        EXPECT_EQ(p.frame.fif, fif);
    }
}

TEST(T30Frame, WritesFrameBytesDoublingDleThenDleEtx) {
    struct Case {
        Bytes frame, wire;
    };
    const Case cases[] = {
        {frameBytes(0x84, true), {0xFF, 0x13, 0x84, 0x10, 0x03}},
        {frameBytes(0x43, false, Bytes{0x10, 0x03, 0x20}),
         {0xFF, 0x03, 0x43, 0x10, 0x10, 0x03, 0x20, 0x10, 0x03}},
        {frameBytes(0x83, true, Bytes{0x00, 0x46, 0x88, 0x00}),
         {0xFF, 0x13, 0x83, 0x00, 0x46, 0x88, 0x00, 0x10, 0x03}},
    };
    for (const Case& c : cases) {
        MemoryOutput out;
        ASSERT_EQ(writeFrame(out, c.frame), 0);
        EXPECT_EQ(out.all, c.wire);
    }
    FailingOutput bad;
    EXPECT_EQ(writeFrame(bad, frameBytes(0x84, true)), -5);
}

// --- station IDs ----------------------------------------------------------------------------

std::string fifText(const std::array<std::uint8_t, kStationIdLength>& fif) {
    return std::string(fif.begin(), fif.end());
}

TEST(StationId, WrittenPaddedAndLastCharacterFirst) {
    struct Case {
        std::string id, fif;
    };
    const Case cases[] = {
        {"ABC", std::string(17, ' ') + "CBA"},
        {"", std::string(20, ' ')},
        {"+49 30 1234567", std::string(6, ' ') + "7654321 03 94+"},
        {"12345678901234567890", "09876543210987654321"},
        {"12345678901234567890XYZ", "09876543210987654321"},  // cut to 20
        {"a\x10\x03", std::string(17, ' ') + "\x03\x10"
                                             "a"},  // odd bytes go as they are
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.id);
        EXPECT_EQ(fifText(stationIdFif(c.id)), c.fif);
    }
}

TEST(StationId, ReadReversedBlanksIncluded) {
    struct Case {
        std::string fif;
        std::string id;
    };
    const Case cases[] = {
        {std::string(17, ' ') + "CBA", "ABC" + std::string(17, ' ')},
        {"CBA" + std::string(17, ' '), std::string(17, ' ') + "ABC"},  // right-aligned sender
        {"09876543210987654321", "12345678901234567890"},
        {std::string(18, ' ') + "\r\n", "??" + std::string(18, ' ')},
        {std::string(19, ' ') + "\x7F", "?" + std::string(19, ' ')},
        {std::string(19, ' ') + "\xE9", "\xE9" + std::string(19, ' ')},
        {"09876543210987654321\x9A\x3C", "12345678901234567890"},  // FCS left on
    };
    for (const Case& c : cases) {
        Bytes fif(c.fif.begin(), c.fif.end());
        std::string id = "untouched";
        ASSERT_TRUE(readStationId(fif, id));
        EXPECT_EQ(id, c.id);
    }
    std::string id = "untouched";
    EXPECT_FALSE(readStationId(Bytes(19, ' '), id));
    EXPECT_FALSE(readStationId(Bytes{}, id));
    EXPECT_EQ(id, "untouched");
}

TEST(StationId, RoundTripsThroughATsiFrame) {
    for (std::string id : {"ABC", "+1 555 0100", "", "12345678901234567890"}) {
        auto fif = stationIdFif(id);
        FrameParse p = parseFrame(frameBytes(0x43, false, fif));
        ASSERT_TRUE(p.ok());
        EXPECT_EQ(p.frame.kind(), fcfTSI);
        std::string back;
        ASSERT_TRUE(readStationId(p.frame.fif, back));
        EXPECT_EQ(back, id + std::string(20 - id.size(), ' '));
    }
}

// --- DIS / DCS fields -----------------------------------------------------------------------

TEST(DisDcs, ReadsTheFieldsAndTheExtensionChain) {
    DisDcs d;
    ASSERT_EQ(readDisDcs(Bytes{0x00, 0xEE, 0xF9, 0x04}, d), FifError::none);
    EXPECT_TRUE(d.receiveReady);
    EXPECT_EQ(d.modemBits, 0x0B);  // V.29, V.27 ter, V.17
    EXPECT_TRUE(d.fine);
    EXPECT_TRUE(d.twoD);
    EXPECT_EQ(d.widthBits, 0x01);
    EXPECT_EQ(d.lengthBits, 0x02);
    EXPECT_EQ(d.scanBits, 0x70);
    EXPECT_TRUE(d.ecm);
    EXPECT_EQ(d.length, 4u);

    // three bytes without extension: no byte 4, no ECM, trailing bytes ignored
    ASSERT_EQ(readDisDcs(Bytes{0x00, 0x02, 0x00}, d), FifError::none);
    EXPECT_EQ(d.length, 3u);
    EXPECT_FALSE(d.ecm);
    EXPECT_FALSE(d.fine);
    ASSERT_EQ(readDisDcs(Bytes{0x00, 0x02, 0x00, 0x04, 0x9A, 0x3C}, d), FifError::none);
    EXPECT_EQ(d.length, 3u);
    EXPECT_FALSE(d.ecm);  // byte 4 not announced

    // a long chain that ends
    ASSERT_EQ(readDisDcs(Bytes{0x00, 0xEC, 0xF8, 0x80, 0x80, 0x91, 0x80, 0x80, 0x80, 0x18}, d),
              FifError::none);
    EXPECT_EQ(d.length, 10u);

    EXPECT_EQ(readDisDcs(Bytes{0x00, 0x02}, d), FifError::tooShort);
    EXPECT_EQ(readDisDcs(Bytes{0x00, 0x02, 0x80}, d), FifError::unterminated);
    EXPECT_EQ(readDisDcs(Bytes(300, 0xFF), d), FifError::unterminated);
}

TEST(DisDcs, ReceiverDisForEachRateIndex) {
    // byte 2: 0x42 plus nothing (2400), V.27 ter (4800), V.27 ter + V.29 (7200, 9600),
    // V.27 ter + V.29 + V.17 (12000, 14400); byte 3 0xF9, bytes 1 and 4 zero.
    const std::uint8_t byte2[7] = {0, 0x42, 0x4A, 0x4E, 0x4E, 0x6E, 0x6E};
    for (int i = 1; i <= 6; ++i) {
        SCOPED_TRACE(i);
        auto fif = disFif(i);
        EXPECT_EQ(fif[0], 0x00);
        EXPECT_EQ(fif[1], byte2[i]);
        EXPECT_EQ(fif[2], 0xF9);
        EXPECT_EQ(fif[3], 0x00);
        // what a transmitter reads back offers at least the receiver's rate and none above
        // what its modulation family covers
        RateSet r = remoteRatesFromDis(fields({fif[0], fif[1], fif[2], fif[3]}));
        EXPECT_TRUE(r[i]);
        EXPECT_TRUE(r[1]);
        EXPECT_EQ(r[2], i >= 2);  // a 2400-only receiver announces the fall-back mode
    }
}

TEST(DisDcs, RemoteRatesFromDis) {
    struct Case {
        std::uint8_t byte2;
        RateSet want;
        const char* what;
    };
    const Case cases[] = {
        {0x02, rates({1}), "V.27 ter fall-back: 2400 only"},
        {0x0A, rates({1, 2}), "V.27 ter"},
        {0x06, rates({1, 2, 3, 4}), "V.29 only: 7200 and 9600"},
        {0x0E, rates({1, 2, 3, 4}), "V.27 ter and V.29"},
        {0x2E, rates({1, 2, 3, 4, 5, 6}), "V.17"},
        {0x3E, rates({1, 2, 3, 4, 5, 6}), "V.17 with the old V.33 bit"},
        {0x1E, rates({1, 2, 3, 4}), "old V.33 code: no modulation of ours"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(remoteRatesFromDis(fields({0x00, c.byte2, 0x00})), c.want);
    }
}

TEST(DisDcs, DcsForEachRateResolutionAndWidth) {
    const std::uint8_t rateBits[7] = {0, 0x00, 0x08, 0x0C, 0x04, 0x28, 0x20};
    for (int i = 1; i <= 6; ++i)
        for (bool fine : {false, true})
            for (bool wide : {false, true}) {
                SCOPED_TRACE(testing::Message() << i << fine << wide);
                auto fif = dcsFif(i, fine, wide, 5);
                EXPECT_EQ(fif[0], 0x00);
                EXPECT_EQ(fif[1], 0x02 | rateBits[i] | (fine ? 0x40 : 0));
                EXPECT_EQ(fif[2], 0x88 | (wide ? 0x01 : 0));
                EXPECT_EQ(fif[3], 0x00);
                // and a receiver reads the same mode back
                DcsReceived r = readReceivedDcs(fields({fif[0], fif[1], fif[2], fif[3]}));
                EXPECT_EQ(r.rateIndex, i);
                EXPECT_EQ(r.connectBPS, kRates[i].bps);
                EXPECT_EQ(r.modulation, kRates[i].longTrain);
                EXPECT_EQ(r.highRes, fine);
                EXPECT_EQ(r.wide, wide);
                EXPECT_EQ(r.scanTimeIndex, 5);
                EXPECT_EQ(r.minBytesPerLine, 20 * kRates[i].bps / 8000);
            }
}

TEST(DisDcs, DcsScanTimeBitsRoundTrip) {
    // The DCS carries the time for the resolution in use; read back, it is a class with the
    // same milliseconds at that resolution.
    for (int s = 0; s <= 7; ++s)
        for (bool fine : {false, true}) {
            SCOPED_TRACE(testing::Message() << s << fine);
            auto fif = dcsFif(4, fine, false, s);
            EXPECT_EQ(fif[2] & 0x70, fine ? kScanTimes[s].dcsHigh : kScanTimes[s].dcsNormal);
            DcsReceived r = readReceivedDcs(fields({fif[0], fif[1], fif[2], fif[3]}));
            int ms = fine ? kScanTimes[s].highMs : kScanTimes[s].normalMs;
            int back =
                fine ? kScanTimes[r.scanTimeIndex].highMs : kScanTimes[r.scanTimeIndex].normalMs;
            EXPECT_EQ(back, ms);
            EXPECT_EQ(r.minBytesPerLine, ms * 9600 / 8000);
        }
    EXPECT_EQ(dcsFif(1, false, false, 5)[2], 0x88);  // normal resolution, 20 ms
}

TEST(DisDcs, DcsCodesWeCannotRunGiveRateZero) {
    // V.33 14400 and 12000, V.17 9600 and 7200, unused codes
    for (int bits : {0x10, 0x18, 0x24, 0x2C, 0x14, 0x3C}) {
        SCOPED_TRACE(bits);
        DcsReceived r =
            readReceivedDcs(fields({0x00, static_cast<std::uint8_t>(0x02 | bits), 0x88, 0x00}));
        EXPECT_EQ(r.rateIndex, 0);
        EXPECT_EQ(r.connectBPS, 0);
        EXPECT_TRUE(r.modulation.empty());
        EXPECT_EQ(r.minBytesPerLine, 0);
    }
}

TEST(DisDcs, ReceivedDcsWidthOnlyFor255mm) {
    EXPECT_TRUE(readReceivedDcs(fields({0, 0x06, 0x89, 0})).wide);
    EXPECT_FALSE(readReceivedDcs(fields({0, 0x06, 0x8A, 0})).wide);  // 303 mm: not ours
    EXPECT_FALSE(readReceivedDcs(fields({0, 0x06, 0x88, 0})).wide);
}

// --- DCS choice -----------------------------------------------------------------------------

TEST(ChooseDcs, HighestRateBothSidesHaveWithinDesiredBps) {
    struct Case {
        std::uint8_t disByte2;
        RateSet local;
        long desired;
        int want;
        const char* what;
    };
    const RateSet all = rates({1, 2, 3, 4, 5, 6});
    const Case cases[] = {
        {0x06, rates({1, 2, 3, 4}), 14400, 4, "V.29 only, modem to 9600"},
        {0x0A, all, 14400, 2, "V.27 ter only"},
        {0x02, all, 14400, 1, "fall-back only"},
        {0x6E, all, 14400, 6, "V.17 both"},
        {0x6E, all, 12000, 5, "V.17, desired 12000"},
        {0x6E, all, 9600, 4, "V.17, desired 9600"},
        {0x6E, all, 9000, 3, "desired between rates"},
        {0x6E, all, 7200, 3, "desired 7200"},
        {0x6E, all, 4800, 2, "desired 4800"},
        {0x6E, all, 2400, 1, "desired 2400"},
        {0x6E, all, 1200, 1, "desired below 2400 still leaves 2400"},
        {0x6E, rates({1, 2, 3, 4}), 14400, 4, "modem without V.17"},
        {0x6E, rates({}), 14400, 2, "modem list empty: V.27 ter is always there"},
        {0x4E, all, 14400, 4, "V.27 ter and V.29"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        DcsChoice d = chooseDcs(fields({0x00, c.disByte2, 0x00}), c.local, c.desired, false, false);
        EXPECT_EQ(d.error, 0);
        EXPECT_EQ(d.rateIndex, c.want);
        EXPECT_EQ(d.connectBPS, kRates[c.want].bps);
        EXPECT_EQ(d.modulation, kRates[c.want].longTrain);
        EXPECT_EQ(d.fif, dcsFif(c.want, false, false, d.scanTimeIndex));
    }
}

TEST(ChooseDcs, PageNeedsWhatTheRemoteOffers) {
    struct Case {
        std::uint8_t byte2, byte3;
        bool high, wide;
        int error;
    };
    const Case cases[] = {
        {0x4E, 0x00, true, false, 0},
        {0x0E, 0x00, true, false, ecFaxBadMachine},  // no fine resolution
        {0x0E, 0x00, false, false, 0},
        {0x0E, 0x01, false, true, 0},
        {0x0E, 0x02, false, true, 0},                // up to 303 mm covers 255 mm
        {0x4E, 0x00, false, true, ecFaxBadMachine},  // 215 mm only
        {0x0E, 0x00, true, true, ecFaxBadMachine},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << int(c.byte2) << ' ' << int(c.byte3));
        DcsChoice d =
            chooseDcs(fields({0x00, c.byte2, c.byte3}), rates({1, 2, 3, 4}), 9600, c.high, c.wide);
        EXPECT_EQ(d.error, c.error);
        EXPECT_EQ(d.highRes, c.high);
        EXPECT_EQ(d.wide, c.wide);
        EXPECT_FALSE(d.ecm);
    }
}

TEST(ChooseDcs, ScanTimeFromTheDisAndMinimumBytes) {
    struct Case {
        std::uint8_t bits;
        int index;
        bool high;
        int minBytes;  // at 9600
    };
    const Case cases[] = {
        {0x70, 0, false, 0},  {0x10, 1, false, 6},  {0x60, 2, false, 12}, {0x60, 2, true, 6},
        {0x20, 3, true, 12},  {0x30, 4, false, 24}, {0x30, 4, true, 12},  {0x00, 5, false, 24},
        {0x50, 6, false, 48}, {0x50, 6, true, 24},  {0x40, 7, true, 48},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(int(c.bits));
        DcsChoice d =
            chooseDcs(fields({0x00, 0x4E, c.bits}), rates({1, 2, 3, 4}), 9600, c.high, false);
        EXPECT_EQ(d.scanTimeIndex, c.index);
        EXPECT_EQ(d.minBytesPerLine, c.minBytes);
        EXPECT_EQ(d.fif[2] & 0x70,
                  c.high ? kScanTimes[c.index].dcsHigh : kScanTimes[c.index].dcsNormal);
    }
}

// --- step-down ------------------------------------------------------------------------------

TEST(StepDown, WalksDownThroughRatesBothSidesHave) {
    struct Case {
        int from;
        RateSet local, remote;
        int want;
    };
    const RateSet all = rates({1, 2, 3, 4, 5, 6});
    const Case cases[] = {
        {4, all, all, 3},
        {3, all, all, 2},
        {2, all, all, 1},
        {1, all, all, 0},  // nothing below 2400: -8062
        {6, all, all, 5},
        {6, all, rates({1, 2, 3, 4, 6}), 4},  // remote skips 12000
        {6, rates({1, 2, 4, 6}), all, 4},     // local skips 12000 and 7200
        {4, rates({1, 2, 4}), all, 2},
        {4, rates({}), rates({2}), 2},  // the own modem always has 1 and 2
        {2, all, rates({}), 1},         // every remote has 2400
        {4, all, rates({1}), 1},        // fall-back remote
        {0, all, all, 0},
        {9, all, all, 6},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.from);
        EXPECT_EQ(stepDownRate(c.from, c.local, c.remote), c.want);
    }
    // FTT at 9600 again and again: 7200, 4800, 2400, then no rate left
    RateSet all6 = all;
    int r = 4;
    std::vector<int> seen;
    while ((r = stepDownRate(r, all6, all6)) != 0) seen.push_back(r);
    EXPECT_EQ(seen, (std::vector<int>{3, 2, 1}));
}

#else  // PELLORA_T30_PEER ----------------------------------------------------------------------

// SpanDSP's own decoder prints one line per field through its log; the tests look for the
// lines that matter.
std::vector<std::string> gLog;

void collectLog(int, const char* text) {
    gLog.emplace_back(text);
}

class SpanDspPeer : public testing::Test {
  protected:
    void SetUp() override {
        s_ = t30_init(nullptr, 1, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr);
        ASSERT_NE(s_, nullptr);
        logging_state_t* l = t30_get_logging_state(s_);
        span_log_set_level(l, SPAN_LOG_FLOW);
        span_log_set_message_handler(l, collectLog);
    }
    void TearDown() override {
        if (s_) t30_free(s_);
    }
    bool decodedHas(const Bytes& frame, const std::string& text) {
        gLog.clear();
        t30_decode_dis_dtc_dcs(s_, frame.data(), static_cast<int>(frame.size()));
        for (const std::string& line : gLog)
            if (line.find(text) != std::string::npos) return true;
        ADD_FAILURE() << "no line with \"" << text << "\" in " << gLog.size() << " lines";
        return false;
    }
    t30_state_t* s_ = nullptr;
};

TEST_F(SpanDspPeer, FrameNamesMatch) {
    for (std::uint8_t fcf :
         {fcfDIS, fcfCSI, fcfNSF, fcfDCS, fcfTSI, fcfNSS, fcfCFR, fcfFTT, fcfEOM, fcfMPS,
          fcfEOP, fcfMCF, fcfRTP, fcfRTN, fcfPIP, fcfPIN, fcfDCN, fcfCRP, fcfDTC, fcfCIG})
        for (int x : {0, 1}) {
            std::uint8_t code = static_cast<std::uint8_t>(fcf | x);
            if ((fcf == fcfDIS || fcf == fcfCSI || fcf == fcfNSF) && x) continue;  // polling
            EXPECT_EQ(frameName(code), std::string(t30_frametype(code))) << int(code);
        }
}

TEST_F(SpanDspPeer, DcsRatesDecodeAsOurModulations) {
    const char* names[7] = {"",
                            "V.27ter 2400bps",
                            "V.27ter 4800bps",
                            "V.29 7200bps",
                            "V.29, 9600bps",
                            "V.17 12000bps",
                            "V.17 14400bps"};
    for (int i = 1; i <= 6; ++i) {
        SCOPED_TRACE(i);
        Bytes f = frameBytes(0x83, true, dcsFif(i, false, false, 5));
        EXPECT_TRUE(decodedHas(f, std::string("Selected data signalling rate: ") + names[i]));
        EXPECT_TRUE(decodedHas(f, "Receive fax: Set"));
        EXPECT_TRUE(decodedHas(f, "Error correction mode (ECM): Non-ECM"));
    }
}

TEST_F(SpanDspPeer, DcsResolutionWidthAndScanTime) {
    EXPECT_TRUE(decodedHas(frameBytes(0x83, true, dcsFif(4, true, false, 5)),
                           "R8x7.7lines/mm and/or 200x200pels/25.4mm: Set"));
    EXPECT_TRUE(decodedHas(frameBytes(0x83, true, dcsFif(4, false, false, 5)),
                           "R8x7.7lines/mm and/or 200x200pels/25.4mm: Not set"));
    EXPECT_TRUE(
        decodedHas(frameBytes(0x83, true, dcsFif(4, false, true, 5)), "Recording width: 255mm"));
    EXPECT_TRUE(
        decodedHas(frameBytes(0x83, true, dcsFif(4, false, false, 5)), "Recording width: 215mm"));
    for (int s = 0; s <= 7; ++s)
        for (bool fine : {false, true}) {
            SCOPED_TRACE(testing::Message() << s << fine);
            int ms = fine ? kScanTimes[s].highMs : kScanTimes[s].normalMs;
            EXPECT_TRUE(decodedHas(frameBytes(0x83, true, dcsFif(4, fine, false, s)),
                                   "Minimum scan line time: " + std::to_string(ms) + "ms"));
        }
}

TEST_F(SpanDspPeer, ReceiverDisDecodes) {
    const char* offers[7] = {"",
                             "V.27 ter fall-back mode",
                             "V.27 ter",
                             "V.27 ter and V.29",
                             "V.27 ter and V.29",
                             "V.27 ter, V.29, and V.17",
                             "V.27 ter, V.29, and V.17"};
    for (int i = 1; i <= 6; ++i) {
        SCOPED_TRACE(i);
        Bytes f = frameBytes(0x80, true, disFif(i));
        EXPECT_TRUE(decodedHas(f, std::string("Supported data signalling rates: ") + offers[i]));
        EXPECT_TRUE(decodedHas(f, "Recording width: 215mm +- 1% and 255mm +- 1%"));
        EXPECT_TRUE(decodedHas(f, "Receiver's minimum scan line time: 0ms"));
        EXPECT_TRUE(decodedHas(f, "Can receive fax: Set"));
    }
}

// SpanDSP as the answering station: its CSI and DIS read by our parser.
std::vector<Bytes> gSent;
void sendHdlc(void*, const std::uint8_t msg[], int len) {
    if (len > 0) gSent.emplace_back(msg, msg + len);
}

TEST(SpanDspAnswerer, CsiAndDisReadAsTheyAreMeant) {
    struct Case {
        int modems;
        int rateAt14400;
        RateSet remote;
    };
    const Case cases[] = {
        {T30_SUPPORT_V27TER, 2, rates({1, 2})},
        {T30_SUPPORT_V27TER | T30_SUPPORT_V29, 4, rates({1, 2, 3, 4})},
        {T30_SUPPORT_V27TER | T30_SUPPORT_V29 | T30_SUPPORT_V17, 6, rates({1, 2, 3, 4, 5, 6})},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.modems);
        gSent.clear();
        t30_state_t* s =
            t30_init(nullptr, 0, nullptr, nullptr, nullptr, nullptr, sendHdlc, nullptr);
        ASSERT_NE(s, nullptr);
        t30_set_tx_ident(s, "ABC");
        t30_set_supported_modems(s, c.modems);
        t30_restart(s);
        for (int i = 0; i < 3; ++i) t30_front_end_status(s, T30_FRONT_END_SEND_STEP_COMPLETE);
        t30_free(s);

        bool sawCsi = false, sawDis = false;
        for (const Bytes& f : gSent) {
            FrameParse p = parseFrame(f);
            ASSERT_TRUE(p.ok()) << frameErrorText(p.error);
            if (p.frame.kind() == fcfCSI) {
                sawCsi = true;
                EXPECT_FALSE(p.frame.final());
                std::string id;
                ASSERT_TRUE(readStationId(p.frame.fif, id));
                EXPECT_EQ(id, std::string(17, ' ') + "ABC");
            }
            if (p.frame.kind() == fcfDIS) {
                sawDis = true;
                EXPECT_TRUE(p.frame.final());
                DisDcs d;
                ASSERT_EQ(readDisDcs(p.frame.fif, d), FifError::none);
                EXPECT_EQ(remoteRatesFromDis(d), c.remote);
                DcsChoice ch = chooseDcs(d, rates({1, 2, 3, 4, 5, 6}), 14400, true, false);
                EXPECT_EQ(ch.error, 0);
                EXPECT_EQ(ch.rateIndex, c.rateAt14400);
                // the step-down from there visits every rate the remote announced
                int r = ch.rateIndex, steps = 0;
                while ((r = stepDownRate(r, rates({1, 2, 3, 4, 5, 6}), ch.remoteRates))) ++steps;
                EXPECT_EQ(steps, ch.rateIndex - 1);
            }
        }
        EXPECT_TRUE(sawCsi);
        EXPECT_TRUE(sawDis);
    }
}

#endif

}  // namespace
}  // namespace pellora::fax
