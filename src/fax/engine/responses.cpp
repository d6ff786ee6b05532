#include "fax/engine/responses.h"

#include <cctype>

namespace pellora::fax {

namespace {
bool isTrimmed(unsigned char c) { return c <= ' ' || c == 0x7F; }

std::string_view stripView(std::string_view text) {
    std::size_t b = 0, e = text.size();
    while (b < e && isTrimmed(static_cast<unsigned char>(text[b]))) ++b;
    while (e > b && isTrimmed(static_cast<unsigned char>(text[e - 1]))) --e;
    return text.substr(b, e - b);
}
}  // namespace

std::string trimResponse(std::string_view text) { return std::string(stripView(text)); }

std::string reportValue(std::string_view line) {
    std::size_t at = line.find(':');
    if (at == std::string_view::npos) at = line.find('=');
    if (at != std::string_view::npos) line.remove_prefix(at + 1);
    return trimResponse(line);
}

int hangupCodeFrom(std::string_view line) {
    std::size_t at = line.find(':');
    if (at == std::string_view::npos) return 0;
    std::string_view digits = stripView(line.substr(at + 1, 3));
    int value = 0;
    bool any = false;
    for (char c : digits) {
        if (c < '0' || c > '9') return any ? value : 0;
        value = value * 10 + (c - '0');
        any = true;
    }
    return value;
}

FaxParameters parseFaxParameters(std::string_view value) {
    FaxParameters p;
    auto at = [&](std::size_t position) -> char {
        return position <= value.size() ? value[position - 1] : '\0';
    };
    p.highRes = at(1) == '1';
    switch (at(3)) {
        case '0': p.bps = 2400; break;
        case '1': p.bps = 4800; break;
        case '2': p.bps = 7200; break;
        case '4': p.bps = 12000; break;
        case '5': p.bps = 14400; break;
        default: p.bps = 9600; break;
    }
    p.wide = at(5) == '1';
    p.ecm = at(11) == '1' || at(11) == '2';
    char scan = at(15);
    p.scanTimeIndex = scan >= '0' && scan <= '7' ? scan - '0' : 0;
    return p;
}

std::string cleanReportedStationId(std::string_view value) {
    std::string id = trimResponse(value);
    if (!id.empty() && id.front() == '"') id.front() = ' ';
    while (!id.empty() && !std::isalnum(static_cast<unsigned char>(id.back()))) id.pop_back();
    id = trimResponse(id);
    if (id.size() > 20) id.resize(20);
    for (char& c : id)
        if (static_cast<unsigned char>(c) < 32 || c == 0x7F) c = '?';
    return id;
}

ClassList parseClassList(std::string_view answerLine) {
    std::string value = reportValue(stripView(answerLine));
    ClassList list;
    list.class1 = contains(value, "1");
    list.class2_0 = contains(value, "2.0");
    list.class2 = list.class2_0 ? contains(value, "2,") : contains(value, "2");
    return list;
}

ResponseCollector::Result ResponseCollector::feed(std::uint8_t byte) {
    if (afterDLE_) {
        afterDLE_ = false;
        if (byte == kETX) {
            afterCR_ = false;
            return rcFrame;
        }
        // DLE DLE is one data byte; DLE and anything else keeps both as received.
        if (byte == kDLE) {
            if (line_.size() < kResponseLineMax) line_.push_back(static_cast<char>(kDLE));
            afterCR_ = false;
            return rcNone;
        }
        if (line_.size() < kResponseLineMax) line_.push_back(static_cast<char>(kDLE));
    }
    if (byte == kDLE) {
        afterDLE_ = true;
        afterCR_ = false;
        return rcNone;
    }
    if (line_.size() < kResponseLineMax) line_.push_back(static_cast<char>(byte));
    // A frame (it starts with the HDLC address 0xFF, which no modem text does) ends only at
    // DLE ETX: CR LF inside it is data, for instance in a station identifier.
    const bool inFrame = !line_.empty() && static_cast<std::uint8_t>(line_[0]) == 0xFF;
    if (byte == '\n' && afterCR_ && !inFrame) {
        afterCR_ = false;
        line_ = trimResponse(line_);
        return line_.empty() ? rcNone : rcLine;
    }
    afterCR_ = byte == '\r';
    return rcNone;
}

void ResponseCollector::clear() {
    line_.clear();
    afterCR_ = false;
    afterDLE_ = false;
}

}  // namespace pellora::fax
