// The response collector and the small parsers of modem texts; the session's tables.
#include "fax/engine/responses.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "fax/engine/session_defs.h"

namespace pellora::fax {
namespace {

struct Fed {
    std::vector<std::string> lines;
    std::vector<std::string> frames;
};

Fed feedAll(ResponseCollector& c, const std::string& bytes, bool clearAfter = true) {
    Fed out;
    for (char ch : bytes) {
        auto r = c.feed(static_cast<std::uint8_t>(ch));
        if (r == ResponseCollector::rcLine) out.lines.push_back(c.line());
        if (r == ResponseCollector::rcFrame) out.frames.push_back(c.line());
        if (r != ResponseCollector::rcNone && clearAfter) c.clear();
    }
    return out;
}

TEST(ResponseCollector, EndsLinesAtCrLfAndTrimsThem) {
    struct Case {
        const char* in;
        std::vector<std::string> lines;
    };
    const Case cases[] = {
        {"\r\nOK\r\n", {"OK"}},
        {"  CONNECT 9600 \t\r\n", {"CONNECT 9600"}},
        {"\r\n\r\n\r\nRING\r\n\r\nRING\r\n", {"RING", "RING"}},
        {"OK\r", {}},                 // no LF yet
        {"OK\n", {}},                 // LF without CR
        {"O\rK\r\n", {"O\rK"}},       // a lone CR stays inside the line
        {"\x01\x02+FHNG:0\x7f\r\n", {"+FHNG:0"}},
    };
    for (const Case& c : cases) {
        ResponseCollector rc;
        EXPECT_EQ(feedAll(rc, c.in).lines, c.lines) << c.in;
    }
}

TEST(ResponseCollector, AnUnclearedLineKeepsCollecting) {
    ResponseCollector rc;
    auto fed = feedAll(rc, "NO CARRIER\r\nRING\r\n", false);
    ASSERT_EQ(fed.lines.size(), 2u);
    EXPECT_EQ(fed.lines[1], "NO CARRIERRING") << "the first line's CR LF was trimmed away";
}

TEST(ResponseCollector, KeepsAtMost128Characters) {
    ResponseCollector rc;
    std::string junk(100000, 'x');
    auto fed = feedAll(rc, junk);
    EXPECT_TRUE(fed.lines.empty());
    EXPECT_EQ(rc.line().size(), kResponseLineMax);
    // The matchers still see the bytes beyond the limit: the line ends.
    fed = feedAll(rc, "OK\r\n");
    ASSERT_EQ(fed.lines.size(), 1u);
    EXPECT_EQ(fed.lines[0], junk.substr(0, 128));
}

TEST(ResponseCollector, FramesEndAtDleEtxAndKeepDoubledDlesOnce) {
    ResponseCollector rc;
    std::string frame("\xff\x13\x80\x00\x10\x10\x03\x40", 8);  // FIF holds DLE ETX as data
    auto fed = feedAll(rc, frame + "\x10\x03");
    ASSERT_EQ(fed.frames.size(), 1u);
    EXPECT_EQ(fed.frames[0], std::string("\xff\x13\x80\x00\x10\x03\x40", 7));
    EXPECT_TRUE(fed.lines.empty());
    // CR LF inside a frame is data, not the end of a line.
    std::string withCrLf("\xff\x03\x40" "AB\r\nCD", 9);
    fed = feedAll(rc, withCrLf + "\x10\x03" + "\r\nOK\r\n");
    ASSERT_EQ(fed.frames.size(), 1u);
    EXPECT_EQ(fed.frames[0], withCrLf);
    EXPECT_EQ(fed.lines, std::vector<std::string>{"OK"});
    // A DLE before another byte is kept as received.
    fed = feedAll(rc, std::string("\x10" "A\x10\x03", 4));
    ASSERT_EQ(fed.frames.size(), 1u);
    EXPECT_EQ(fed.frames[0], std::string("\x10" "A", 2));
    // clear() forgets a pending DLE.
    rc.feed(kDLE);
    rc.clear();
    EXPECT_EQ(rc.feed(kETX), ResponseCollector::rcNone);
}

TEST(ResponseTexts, ReportValuesAndHangupCodes) {
    EXPECT_EQ(reportValue("+FCON"), "+FCON");
    EXPECT_EQ(reportValue("+FDCS: 1,3,0,2,0,0,0,0"), "1,3,0,2,0,0,0,0");
    EXPECT_EQ(reportValue("+FCLASS=0,1,2"), "0,1,2");
    EXPECT_EQ(reportValue("a=b:c"), "c") << "':' is looked for first";
    struct Case {
        const char* line;
        int code;
    };
    const Case cases[] = {{"+FHNG:0", 0},     {"+FHNG: 50", 50},  {"+FHS:  2", 2},
                          {"+FHNG:1234", 123}, {"+FHNG", 0},       {"+FHNG:x", 0},
                          {"+FHNG: 7x", 7},    {"+FHNG:", 0}};
    for (const Case& c : cases) EXPECT_EQ(hangupCodeFrom(c.line), c.code) << c.line;
}

TEST(ResponseTexts, ParameterReportsAreReadByPosition) {
    struct Case {
        const char* value;
        bool high;
        long bps;
        bool wide, ecm;
        int scan;
    };
    const Case cases[] = {
        {"1,5,1,2,0,1,0,5", true, 14400, true, true, 5},  // ECM "1" at position 11
        {"0,3,0,2,0,0,0,0", false, 9600, false, false, 0},
        {"0,0,0,2,0,2,0,7", false, 2400, false, true, 7},
        {"0,4,0,2,0,0,0,3", false, 12000, false, false, 3},
        {"1,1", true, 4800, false, false, 0},      // short: the rest defaults
        {"", false, 9600, false, false, 0},
        {"x,9,?,2,0,0,0,9", false, 9600, false, false, 0},  // garbage: defaults, no scan class 9
        {"1,2,1,2,0,0,0,0,extra,junk", true, 7200, true, false, 0},
    };
    for (const Case& c : cases) {
        FaxParameters p = parseFaxParameters(c.value);
        EXPECT_EQ(p.highRes, c.high) << c.value;
        EXPECT_EQ(p.bps, c.bps) << c.value;
        EXPECT_EQ(p.wide, c.wide) << c.value;
        EXPECT_EQ(p.ecm, c.ecm) << c.value;
        EXPECT_EQ(p.scanTimeIndex, c.scan) << c.value;
    }
}

TEST(ResponseTexts, ReportedStationIdsAreCleanedAndBounded) {
    struct Case {
        const char* value;
        const char* id;
    };
    const Case cases[] = {
        {"\"  +1 555 0100\"", "+1 555 0100"},
        {"\"ACME\"  ", "ACME"},
        {"\"\"", ""},
        {"ABCDEFGHIJKLMNOPQRSTUVWXYZ", "ABCDEFGHIJKLMNOPQRST"},  // at most 20
        {"\"A\x01" "B\x1b[2JC\"", "A?B?[2JC"},                   // no control characters
        {"\"../../etc/passwd\"", "../../etc/passwd"},          // kept as text, never a path
    };
    for (const Case& c : cases) EXPECT_EQ(cleanReportedStationId(c.value), c.id) << c.value;
}

TEST(ResponseTexts, ClassListsAsModemsWriteThem) {
    struct Case {
        const char* answer;
        bool c1, c2, c20;
    };
    const Case cases[] = {
        {"0,1,1.0", true, false, false},        // SpanDSP's T.31
        {"0,1,2", true, true, false},
        {"0,2.0", false, false, true},
        {"0,1,2,2.0", true, true, true},
        {"+FCLASS: 0,1,2,2.0", true, true, true},
        {"(0,1,2,2.0)", true, true, true},
        {"0", false, false, false},
        {"", false, false, false},
    };
    for (const Case& c : cases) {
        ClassList l = parseClassList(c.answer);
        EXPECT_EQ(l.class1, c.c1) << c.answer;
        EXPECT_EQ(l.class2, c.c2) << c.answer;
        EXPECT_EQ(l.class2_0, c.c20) << c.answer;
    }
}

TEST(SessionTables, TicksAndSeconds) {
    EXPECT_EQ(secondsToTicks(60), 1092);
    EXPECT_EQ(secondsToTicks(10), 182);
    EXPECT_EQ(ticksToSeconds(1092), 60);
    EXPECT_EQ(ticksToSeconds(182), 10);
    for (long s = 0; s < 1000; ++s) EXPECT_EQ(ticksToSeconds(secondsToTicks(s)), s) << s;
}

TEST(SessionTables, StatusTexts) {
    EXPECT_EQ(statusText(1), "Initializing modem for fax processing");
    EXPECT_EQ(statusText(3), "Busy, waiting until redial...");
    EXPECT_EQ(statusText(28), "Got Class 2 FHNG code");
    EXPECT_EQ(statusText(43), "Finished");
    for (int code : {0, 9, 19, 29, 39, 44, -1}) EXPECT_EQ(statusText(code), "") << code;
}

TEST(SessionTables, InitStringsBitRateDigitsAndScanTimes) {
    EXPECT_STREQ(initStringFor(false, false), "ATE0Q0V1X2S0=0S2=43");
    EXPECT_STREQ(initStringFor(true, false), "ATE0Q0V1X1S0=0S2=43");
    EXPECT_STREQ(initStringFor(false, true), "ATE0Q0V1X4S0=0S2=43");
    EXPECT_STREQ(initStringFor(true, true), "ATE0Q0V1X3S0=0S2=43");
    EXPECT_EQ(bitRateDigit(2400), '0');
    EXPECT_EQ(bitRateDigit(14400), '5');
    EXPECT_EQ(bitRateDigit(9600), '3');
    EXPECT_EQ(bitRateDigit(9601), '3');
    for (int i = 0; i < 8; ++i) EXPECT_EQ(scanTimeIndexFromBits(kScanTimes[i].received), i);
    EXPECT_EQ(minBytesPerLine(0, false, 14400), 0);
    EXPECT_EQ(minBytesPerLine(5, false, 9600), 24);   // 20 ms at 9600
    EXPECT_EQ(minBytesPerLine(2, true, 9600), 6);     // 5 ms at high resolution
    EXPECT_EQ(minBytesPerLine(7, false, 14400), 72);
}

TEST(SessionTables, ClassCommandTables) {
    auto two = classCommandTable(fcClass2);
    EXPECT_EQ(two[slClass], "AT+FCLASS=2");
    EXPECT_EQ(two[slLocalID], "AT+FLID");
    EXPECT_EQ(two[slConnect], "+FCON");
    EXPECT_EQ(two[slPageStatus], "+FPTS");
    EXPECT_EQ(two[slHangup], "FHNG");
    auto twoZero = classCommandTable(fcClass2_0);
    EXPECT_EQ(twoZero[slClass], "AT+FCLASS=2.0");
    EXPECT_EQ(twoZero[slSessionParams], "AT+FIS");
    EXPECT_EQ(twoZero[slCalledID], "+FCI");
    EXPECT_EQ(twoZero[slHangup], "FHS");
    for (const auto& t : {two, twoZero})
        for (const auto& s : t) EXPECT_LE(s.size(), 13u) << s;
    for (const auto& s : classCommandTable(fcClass1)) EXPECT_TRUE(s.empty());
}

}  // namespace
}  // namespace pellora::fax
