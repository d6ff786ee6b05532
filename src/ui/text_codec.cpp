#include "ui/text_codec.h"

#include <array>

namespace pellora::ui {

namespace {

// 0x80..0x9F; 0 marks the five codes Windows-1252 leaves undefined (kept as C1 controls).
constexpr std::array<char16_t, 32> kHighControls{
    0x20AC, 0,      0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0,      0x017D, 0,      0,      0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0,      0x017E, 0x0178};

}  // namespace

QString fromWindows1252(std::string_view bytes) {
    QString text;
    text.reserve(static_cast<qsizetype>(bytes.size()));
    for (char c : bytes) {
        const auto u = static_cast<unsigned char>(c);
        char16_t ch = u;
        if (u >= 0x80 && u <= 0x9F && kHighControls[u - 0x80] != 0) ch = kHighControls[u - 0x80];
        text.append(QChar(ch));
    }
    return text;
}

std::string toWindows1252(const QString& text) {
    std::string bytes;
    bytes.reserve(static_cast<std::size_t>(text.size()));
    for (QChar qc : text) {
        const char16_t ch = qc.unicode();
        if (ch < 0x80 || (ch >= 0xA0 && ch <= 0xFF)) {
            bytes.push_back(static_cast<char>(ch));
            continue;
        }
        char out = '?';
        for (std::size_t i = 0; i < kHighControls.size(); ++i)
            if (kHighControls[i] == ch || (kHighControls[i] == 0 && ch == 0x80 + i)) {
                out = static_cast<char>(0x80 + i);
                break;
            }
        bytes.push_back(out);
    }
    return bytes;
}

}  // namespace pellora::ui
