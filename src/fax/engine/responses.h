// Reading what the modem says: the response collector that turns the byte stream into
// response lines and HDLC frames, and the small parsers for the texts found in those lines.
//
// Modem responses are recognised by substring, never by whole-line equality: modems add
// blanks, echo bits of commands and differ in the words around the code that matters.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace pellora::fax {

inline constexpr std::size_t kResponseLineMax = 128;
inline constexpr std::uint8_t kDLE = 0x10;
inline constexpr std::uint8_t kETX = 0x03;
inline constexpr std::uint8_t kDC1 = 0x11;
inline constexpr std::uint8_t kDC2 = 0x12;

// The response texts every state knows (a line "is" the response when it contains the text).
inline constexpr std::string_view rtOK = "OK";
inline constexpr std::string_view rtConnect = "CONNECT";
inline constexpr std::string_view rtNoCarrier = "RRIER";
inline constexpr std::string_view rtError = "ERROR";

inline bool contains(std::string_view line, std::string_view text) {
    return !text.empty() && line.find(text) != std::string_view::npos;
}

// Leading and trailing blanks and control characters removed.
std::string trimResponse(std::string_view text);

// The value part of a report line: everything after the first ':' (when the line has none,
// after the first '='), trimmed. A line with neither is only trimmed.
std::string reportValue(std::string_view line);

// The number in a hang-up report: up to three characters after the first ':', trimmed, read
// as a decimal number; 0 when the line has no ':' or no number follows.
int hangupCodeFrom(std::string_view line);

// The session parameters a Class 2 / 2.0 modem reports (+FDIS/+FIS, +FDCS/+FCS), read by
// character position in the value part: 1 vertical resolution, 3 bit rate, 5 page width,
// 11 error correction, 15 scan time. A report that is short or garbled gives the defaults for
// what it lacks (normal resolution, 9600, 1728 pixels, no ECM, scan-time class 0).
struct FaxParameters {
    bool highRes = false;
    long bps = 9600;
    bool wide = false;
    bool ecm = false;
    int scanTimeIndex = 0;
};
FaxParameters parseFaxParameters(std::string_view value);

// A station ID from a +FCSI/+FTSI (+FCI/+FTI) report's value part, cleaned for the screen, the
// log and file headers: trimmed, a leading '"' made a blank, anything but letters and digits
// removed from the end, trimmed again, control characters made '?', at most 20 characters.
std::string cleanReportedStationId(std::string_view value);

// The classes a modem lists in its answer to "AT+FCLASS=?".
struct ClassList {
    bool class1 = false, class2 = false, class2_0 = false;
    bool any() const { return class1 || class2 || class2_0; }
};
ClassList parseClassList(std::string_view answerLine);

// Turns received bytes into response lines (ended by CR LF) and HDLC frames (ended by DLE
// ETX). The line keeps at most 128 characters: a modem that never ends its line cannot make
// it grow. Inside a frame a doubled DLE stands for one data byte 0x10 and never ends the
// frame.
class ResponseCollector {
public:
    enum Result { rcNone, rcLine, rcFrame };

    // Takes one byte. rcLine: line() is a complete, trimmed, non-empty response line.
    // rcFrame: line() holds the frame's bytes (DLE ETX removed).
    Result feed(std::uint8_t byte);

    const std::string& line() const { return line_; }
    // Empties the line and resets both end matchers.
    void clear();
    // Empties the line only (the matchers keep their state).
    void clearLine() { line_.clear(); }

private:
    std::string line_;
    bool afterCR_ = false;
    bool afterDLE_ = false;
};

}  // namespace pellora::fax
