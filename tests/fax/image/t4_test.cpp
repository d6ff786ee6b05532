// T.4 one-dimensional coding: exact coded bytes, the decoder's rules, and round trips.
#include <gtest/gtest.h>

#include <random>

#include "fax/image/t4.h"
#include "test_util.h"

namespace pellora::fax {
namespace {

using Bytes = std::vector<uint8_t>;

Bytes toBytes(std::span<const uint8_t> s) {
    return {s.begin(), s.end()};
}

Bytes lineWithPixels(int width, std::initializer_list<int> black) {
    Bytes line(std::size_t(width / 8), 0);
    for (int p : black) line[std::size_t(p / 8)] |= uint8_t(0x80u >> (p % 8));
    return line;
}

std::vector<int> blackPixels(const Bytes& line) {
    std::vector<int> out;
    for (std::size_t i = 0; i < line.size() * 8; ++i)
        if (line[i / 8] & (0x80u >> (i % 8))) out.push_back(int(i));
    return out;
}

// Decodes a single coded line (followed by an EOL so it is delivered).
Bytes decodeOne(std::span<const uint8_t> coded) {
    Bytes stream(coded.begin(), coded.end());
    const auto& eop = T4Encoder::endOfPage();
    stream.insert(stream.end(), eop.begin(), eop.end());
    auto lines = test::decodeAll(stream);
    return lines.size() == 1 ? lines[0] : Bytes{};
}

TEST(T4Encoder, CodesBlankLinesAndTheEndOfPageExactly) {
    T4Encoder narrow(1728, 50);
    EXPECT_EQ(toBytes(narrow.encodeLine(Bytes(216, 0))),
              (Bytes{0x00, 0x80, 0xB2, 0x59, 0x01, 0x00}));
    T4Encoder wide(2048, 50);
    EXPECT_EQ(toBytes(wide.encodeLine(Bytes(256, 0))), (Bytes{0x00, 0x80, 0x80, 0xCC, 0x0A, 0x00}));
    EXPECT_EQ(toBytes(T4Encoder::blankLine(1728)), toBytes(narrow.encodeLine(Bytes(216, 0))));
    EXPECT_EQ(toBytes(T4Encoder::blankLine(2048)), toBytes(wide.encodeLine(Bytes(256, 0))));

    const Bytes eop{0x00, 0x80, 0x00, 0x08, 0x80, 0x00, 0x08, 0x80, 0x00, 0x08, 0x80, 0x00};
    narrow.encodeLine(test::randomPage(1728, 1, 3).row(0));  // whatever came before
    EXPECT_EQ(Bytes(T4Encoder::endOfPage().begin(), T4Encoder::endOfPage().end()), eop);
}

TEST(T4Encoder, WorkedExamples) {
    T4Encoder enc(1728, 50);
    EXPECT_EQ(toBytes(enc.encodeLine(lineWithPixels(1728, {0}))),
              (Bytes{0x00, 0x80, 0xCA, 0x32, 0x60, 0x00}));
    EXPECT_EQ(toBytes(enc.encodeLine(lineWithPixels(1728, {87}))),
              (Bytes{0x00, 0x80, 0xA9, 0x48, 0x26, 0x29, 0x00}));
    EXPECT_EQ(blackPixels(decodeOne(enc.encodeLine(lineWithPixels(1728, {0})))),
              std::vector<int>{50});
    EXPECT_EQ(blackPixels(decodeOne(enc.encodeLine(lineWithPixels(1728, {87})))),
              std::vector<int>{137});
}

TEST(T4Encoder, LineStartingBlackWithoutMarginBeginsWithWhiteZero) {
    T4Encoder enc(1728, 0);
    auto coded = toBytes(enc.encodeLine(lineWithPixels(1728, {0, 1, 2})));
    ASSERT_GE(coded.size(), 3u);
    EXPECT_EQ(coded[0], 0x00);
    EXPECT_EQ(coded[1], 0x80);
    EXPECT_EQ(coded[2], 0xAC);  // 00110101, white run 0, first bit in bit 0
    EXPECT_EQ(blackPixels(decodeOne(coded)), (std::vector<int>{0, 1, 2}));
}

TEST(T4Encoder, SingleBlackPixelLandsBehindTheMargin) {
    struct Case {
        int width, margin, pixel;
    };
    const Case cases[] = {{1728, 50, 0},    {1728, 50, 1},    {1728, 50, 7},  {1728, 50, 8},
                          {1728, 50, 1000}, {1728, 50, 1677}, {2048, 50, 0},  {2048, 50, 1997},
                          {1728, 0, 1727},  {2048, 0, 2047},  {1728, 13, 63}, {1728, 1, 1726}};
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.width << "/" << c.margin << "/" << c.pixel);
        T4Encoder enc(c.width, c.margin);
        auto decoded = decodeOne(enc.encodeLine(lineWithPixels(c.width, {c.pixel})));
        ASSERT_EQ(decoded.size(), std::size_t(c.width / 8));
        EXPECT_EQ(blackPixels(decoded), std::vector<int>{c.margin + c.pixel});
    }
}

TEST(T4Encoder, PixelsInTheLastMarginColumnsAreNotCoded) {
    T4Encoder enc(1728, 50);
    auto decoded = decodeOne(enc.encodeLine(lineWithPixels(1728, {1678, 1700, 1727})));
    EXPECT_EQ(decoded.size(), 216u);
    EXPECT_TRUE(blackPixels(decoded).empty());
}

TEST(T4Encoder, DoubleWidthDoublesEveryRunAndKeepsTheLineWidth) {
    struct Case {
        int margin, pixel;
        int expectBlackFrom;
    };
    // The margin is doubled for lines starting black as for lines starting white, so the
    // columns of a doubled image stay aligned.
    const Case cases[] = {{50, 10, 2 * (50 + 10)}, {50, 0, 100}, {0, 0, 0}, {20, 300, 640}};
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.margin << "/" << c.pixel);
        T4Encoder enc(1728, c.margin, true);
        auto decoded = decodeOne(enc.encodeLine(lineWithPixels(1728, {c.pixel})));
        ASSERT_EQ(decoded.size(), 216u);
        EXPECT_EQ(blackPixels(decoded),
                  (std::vector<int>{c.expectBlackFrom, c.expectBlackFrom + 1}));
    }
}

TEST(T4Encoder, DoubleWidthOfAWideImageIsCutAtTheLineEnd) {
    // An image wider than half the line would double past W; the line is cut at W instead of
    // coding a run that does not fit (which no reader would accept).
    T4Encoder enc(1728, 50, true);
    auto page = test::randomPage(1728, 8, 77);
    for (int y = 0; y < page.height(); ++y) {
        auto decoded = decodeOne(enc.encodeLine(page.row(y)));
        ASSERT_EQ(decoded.size(), 216u) << "line " << y;
        for (int x = 0; x < 1728; ++x)
            ASSERT_EQ(bool(decoded[std::size_t(x / 8)] & (0x80u >> (x % 8))),
                      x >= 100 && page.pixel((x - 100) / 2, y))
                << x;
    }
}

TEST(T4Encoder, WorstCaseLinesFitTheCodingBuffer) {
    // Alternating single pixels, starting black: the longest line there is.
    const std::pair<int, std::size_t> cases[] = {{1728, 977}, {2048, 1157}};
    for (auto [width, longest] : cases) {
        Bytes alt(std::size_t(width / 8), 0xAA);
        T4Encoder enc(width, 0);
        auto coded = enc.encodeLine(alt);
        EXPECT_EQ(coded.size(), longest);
        EXPECT_LE(coded.size(), kCodeBufferSize);
        EXPECT_EQ(decodeOne(coded), alt);
    }
}

TEST(T4Codec, RoundTripsPages) {
    for (int width : {1728, 2048}) {
        for (unsigned seed = 1; seed <= 3; ++seed) {
            std::vector<MonoBitmap> pages = {
                test::textLikePage(width, 200, seed), test::randomPage(width, 60, seed, 50),
                test::randomPage(width, 60, seed, 3), test::randomPage(width, 60, seed, 97)};
            for (const auto& page : pages) {
                auto lines = test::decodeAll(test::codedStream(page));
                ASSERT_EQ(lines.size(), std::size_t(page.height()));
                for (int y = 0; y < page.height(); ++y)
                    ASSERT_EQ(lines[std::size_t(y)], test::rowBytes(page, y)) << width << " " << y;
            }
        }
    }
}

TEST(T4Decoder, AcceptsAnyAmountOfFillBeforeEol) {
    // A line of 1728 white pixels (make-up 1728, white 0) behind an EOL with n fill bits.
    auto lineWithFill = [](int fill) {
        std::string bits(std::size_t(fill), '0');
        bits += "000000000001";
        bits +=
            "010011011"
            "00110101";
        return bits;
    };
    auto pack = [](const std::string& bits) {
        Bytes out((bits.size() + 7) / 8, 0);
        for (std::size_t i = 0; i < bits.size(); ++i)
            if (bits[i] == '1') out[i / 8] |= uint8_t(1u << (i % 8));
        return out;
    };
    for (int fill : {0, 4, 100}) {
        std::string bits = lineWithFill(fill) + lineWithFill(fill) + "000000000001" +
                           "000000000001" + "000000000001";
        auto lines = test::decodeAll(pack(bits));
        EXPECT_EQ(lines.size(), 2u) << fill;
    }
}

TEST(T4Decoder, DropsLinesOfTheWrongLength) {
    // 1727-pixel lines: white 1664 + white 63.
    std::string bits;
    for (int i = 0; i < 5; ++i)
        bits +=
            "000000000001"
            "011000"
            "00110100";
    bits += "000000000001000000000001000000000001";
    Bytes data((bits.size() + 7) / 8, 0);
    for (std::size_t i = 0; i < bits.size(); ++i)
        if (bits[i] == '1') data[i / 8] |= uint8_t(1u << (i % 8));
    EXPECT_TRUE(test::decodeAll(data).empty());
}

TEST(T4Decoder, ThreeEolsEndThePageAndLaterDataIsNotRead) {
    auto page = test::textLikePage(1728, 3, 5);
    Bytes stream = test::codedStream(page);
    const std::size_t pageBytes = stream.size();
    auto more = test::codedStream(test::textLikePage(1728, 4, 6));
    stream.insert(stream.end(), more.begin(), more.end());

    T4Decoder dec;
    unsigned lines = 0;
    std::size_t taken = dec.decode(stream, [&](std::span<const uint8_t>) {
        ++lines;
        return true;
    });
    EXPECT_TRUE(dec.pageEnded());
    EXPECT_EQ(lines, 3u);
    // The third EOL of the end-of-page record ends in its fifth byte.
    EXPECT_EQ(taken, pageBytes - 12 + 5);
}

TEST(T4Decoder, IgnoresCodesBeforeTheFirstEol) {
    auto page = test::textLikePage(1728, 4, 9);
    Bytes stream = test::codedStream(page);
    Bytes lead = {0xCA, 0x32, 0x60, 0x35, 0x3F};  // run codes without an EOL in front
    stream.insert(stream.begin(), lead.begin(), lead.end());
    auto lines = test::decodeAll(stream);
    ASSERT_EQ(lines.size(), 4u);
    EXPECT_EQ(lines[0], test::rowBytes(page, 0));
}

TEST(T4Decoder, SinkCanStopThePage) {
    auto stream = test::codedStream(test::textLikePage(1728, 50, 2));
    T4Decoder dec;
    unsigned n = 0;
    dec.decode(stream, [&](std::span<const uint8_t>) { return ++n < 10; });
    EXPECT_TRUE(dec.stopped());
    EXPECT_EQ(n, 10u);
    EXPECT_EQ(dec.decode(stream, [&](std::span<const uint8_t>) { return true; }), 0u);
}

// The table decoder must behave exactly as the bit-by-bit walk of the code trees, whatever
// the data: damaged streams, garbage, and any way of cutting the data into pieces.
TEST(T4Decoder, MatchesTheTreeWalkOnDamagedData) {
    std::mt19937 rng(1234);
    auto clean = test::codedStream(test::textLikePage(1728, 40, 3));
    auto wide = test::codedStream(test::randomPage(2048, 20, 4, 10));
    for (int round = 0; round < 300; ++round) {
        Bytes data = (round % 2) ? clean : wide;
        const int kind = round % 5;
        if (kind == 0) {
            for (int i = 0; i < 20; ++i) data[rng() % data.size()] ^= uint8_t(1u << (rng() % 8));
        } else if (kind == 1) {
            for (auto& b : data) b = uint8_t(rng());
        } else if (kind == 2) {
            data.resize(rng() % data.size());
        } else if (kind == 3) {
            for (auto& b : data)
                if (rng() % 50 == 0) b = 0xFF;
        } else {
            for (auto& b : data)
                if (rng() % 40 == 0) b = 0x00;
        }
        unsigned refErrors = 0;
        auto expected = detail::decodePageBitwise(data, &refErrors);
        for (std::size_t piece :
             {std::size_t(1), std::size_t(3), std::size_t(7), std::size_t(4096)}) {
            unsigned errors = 0;
            auto got = test::decodeAll(data, piece, &errors);
            ASSERT_EQ(got, expected) << "round " << round << " piece " << piece;
            ASSERT_EQ(errors, refErrors) << "round " << round << " piece " << piece;
        }
    }
}

}  // namespace
}  // namespace pellora::fax
