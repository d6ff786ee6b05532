#include "settings/ini_file.h"

#include <climits>
#include <cstdint>
#include <fstream>
#include <system_error>

#include "settings/atomic_file.h"

namespace pellora::settings {
namespace fs = std::filesystem;

namespace {

constexpr std::string_view kByteOrderMark = "\xEF\xBB\xBF";

// The reader trims spaces and tabs around names and values.
bool isBlank(char c) { return c == ' ' || c == '\t'; }

char lowerAscii(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

bool equalsIgnoringCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (lowerAscii(a[i]) != lowerAscii(b[i])) return false;
    }
    return true;
}

std::string_view trimBlanks(std::string_view text) {
    std::size_t begin = 0;
    std::size_t end = text.size();
    while (begin < end && isBlank(text[begin])) ++begin;
    while (end > begin && isBlank(text[end - 1])) --end;
    return text.substr(begin, end - begin);
}

bool isQuote(char c) { return c == '"' || c == '\''; }

bool enclosedInQuotes(std::string_view text) {
    return text.size() >= 2 && isQuote(text.front()) && text.back() == text.front();
}

bool isUtf8Continuation(char c) { return (static_cast<unsigned char>(c) & 0xC0U) == 0x80U; }

// Cuts to the maximum length without splitting a UTF-8 character; at most the three bytes
// of a partial character are given up.
std::string cutToMaximum(std::string_view text) {
    if (text.size() <= IniFile::kMaxValueLength) return std::string(text);
    std::size_t cut = IniFile::kMaxValueLength;
    while (cut > IniFile::kMaxValueLength - 3 && isUtf8Continuation(text[cut])) --cut;
    return std::string(text.substr(0, cut));
}

bool containsLineBreak(std::string_view text) {
    return text.find_first_of("\r\n") != std::string_view::npos;
}

void checkSectionName(std::string_view section) {
    if (containsLineBreak(section) || section.find(']') != std::string_view::npos ||
        trimBlanks(section).size() != section.size()) {
        throw std::invalid_argument("not a valid INI section name: " + std::string(section));
    }
}

void checkKeyName(std::string_view key) {
    if (key.empty() || containsLineBreak(key) || key.find('=') != std::string_view::npos ||
        key.front() == '[' || key.front() == ';' || trimBlanks(key).size() != key.size()) {
        throw std::invalid_argument("not a valid INI key name: " + std::string(key));
    }
}

// The text to put after "=" so that reading gives `value` back.
std::string encodeValue(std::string_view value) {
    std::string encoded(value);
    for (char& c : encoded) {
        if (c == '\r' || c == '\n') c = ' ';
    }
    const bool needsQuotes =
        !encoded.empty() &&
        (isBlank(encoded.front()) || isBlank(encoded.back()) || enclosedInQuotes(encoded));
    if (needsQuotes) encoded = '"' + encoded + '"';
    return encoded;
}

}  // namespace

WriteError::WriteError(const fs::path& path)
    : std::runtime_error("Unable to write to " + path.string()), path_(path) {}

std::optional<int> parseIniInteger(std::string_view text) {
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        std::uint64_t value = 0;
        for (char c : text.substr(2)) {
            unsigned digit;
            if (c >= '0' && c <= '9') {
                digit = static_cast<unsigned>(c - '0');
            } else if (lowerAscii(c) >= 'a' && lowerAscii(c) <= 'f') {
                digit = static_cast<unsigned>(lowerAscii(c) - 'a' + 10);
            } else {
                return std::nullopt;
            }
            value = value * 16 + digit;
            if (value > static_cast<std::uint64_t>(INT_MAX)) return std::nullopt;
        }
        return static_cast<int>(value);
    }

    std::size_t i = 0;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
        negative = text[i] == '-';
        ++i;
    }
    if (i == text.size()) return std::nullopt;
    std::int64_t value = 0;
    const std::int64_t limit = negative ? -static_cast<std::int64_t>(INT_MIN) : INT_MAX;
    for (; i < text.size(); ++i) {
        const char c = text[i];
        if (c < '0' || c > '9') return std::nullopt;
        value = value * 10 + (c - '0');
        if (value > limit) return std::nullopt;
    }
    return static_cast<int>(negative ? -value : value);
}

IniFile::Line IniFile::parseLine(std::string text, std::string ending) {
    Line line;
    line.text = std::move(text);
    line.ending = std::move(ending);
    const std::string_view view = line.text;

    std::size_t begin = 0;
    while (begin < view.size() && isBlank(view[begin])) ++begin;
    if (begin == view.size() || view[begin] == ';') return line;

    if (view[begin] == '[') {
        // The name runs to the first "]"; anything after it is ignored. A header whose "]"
        // was lost by hand editing still opens its section, so that the keys below it are not
        // taken for keys of the section before.
        std::size_t end = view.find(']', begin + 1);
        if (end == std::string_view::npos) end = view.size();
        const std::string_view name = trimBlanks(view.substr(begin + 1, end - begin - 1));
        line.kind = Kind::Section;
        line.nameBegin = static_cast<std::size_t>(name.data() - view.data());
        line.nameLength = name.size();
        return line;
    }

    const std::size_t equals = view.find('=', begin);
    if (equals == std::string_view::npos) return line;
    const std::string_view key = trimBlanks(view.substr(begin, equals - begin));
    if (key.empty()) return line;
    line.kind = Kind::Key;
    line.nameBegin = begin;
    line.nameLength = key.size();
    line.valueBegin = equals + 1;
    return line;
}

std::string_view IniFile::nameOf(const Line& line) const {
    return std::string_view(line.text).substr(line.nameBegin, line.nameLength);
}

IniFile IniFile::fromText(std::string_view text) {
    IniFile file;
    if (text.substr(0, kByteOrderMark.size()) == kByteOrderMark) {
        file.byteOrderMark_ = true;
        text.remove_prefix(kByteOrderMark.size());
    }
    while (!text.empty()) {
        const std::size_t brk = text.find_first_of("\r\n");
        if (brk == std::string_view::npos) {
            file.lines_.push_back(parseLine(std::string(text), std::string()));
            break;
        }
        std::size_t endingLength = 1;
        if (text[brk] == '\r' && brk + 1 < text.size() && text[brk + 1] == '\n') endingLength = 2;
        file.lines_.push_back(parseLine(std::string(text.substr(0, brk)),
                                        std::string(text.substr(brk, endingLength))));
        text.remove_prefix(brk + endingLength);
    }
    return file;
}

IniFile::LoadResult IniFile::load(const fs::path& path) {
    *this = IniFile();
    path_ = path;
    loadResult_ = LoadResult::Unreadable;

    std::error_code ec;
    const fs::file_status status = fs::status(path, ec);
    if (status.type() == fs::file_type::not_found) {
        loadResult_ = LoadResult::Missing;
        return loadResult_;
    }
    // Only a regular file is read: a folder, a device or a pipe named PLX.INI could block
    // or never end.
    if (ec || status.type() != fs::file_type::regular) return loadResult_;
    const std::uintmax_t size = fs::file_size(path, ec);
    if (ec || size > kMaxFileSize) return loadResult_;

    std::ifstream in(path, std::ios::binary);
    if (!in) return loadResult_;
    std::string contents;
    char buffer[16384];
    while (in) {
        in.read(buffer, sizeof buffer);
        contents.append(buffer, static_cast<std::size_t>(in.gcount()));
        // The file may have grown since its size was taken.
        if (contents.size() > kMaxFileSize) return loadResult_;
    }
    if (in.bad()) return loadResult_;

    IniFile parsed = fromText(contents);
    lines_ = std::move(parsed.lines_);
    byteOrderMark_ = parsed.byteOrderMark_;
    loadResult_ = LoadResult::Loaded;
    return loadResult_;
}

void IniFile::save() const { saveAs(path_); }

void IniFile::saveAs(const fs::path& path) const {
    if (path.empty() || !replaceFileAtomically(path, text())) throw WriteError(path);
}

std::string IniFile::text() const {
    std::string out;
    if (byteOrderMark_) out += kByteOrderMark;
    for (const Line& line : lines_) {
        out += line.text;
        out += line.ending;
    }
    return out;
}

bool IniFile::hasSection(std::string_view section) const {
    for (const Line& line : lines_) {
        if (line.kind == Kind::Section && equalsIgnoringCase(nameOf(line), section)) return true;
    }
    return false;
}

std::optional<std::size_t> IniFile::findKey(std::string_view section, std::string_view key) const {
    // A section may appear more than once; the first matching key in any of its occurrences
    // wins, for reading and for writing alike.
    bool inSection = false;
    for (std::size_t i = 0; i < lines_.size(); ++i) {
        const Line& line = lines_[i];
        if (line.kind == Kind::Section) {
            inSection = equalsIgnoringCase(nameOf(line), section);
        } else if (inSection && line.kind == Kind::Key && equalsIgnoringCase(nameOf(line), key)) {
            return i;
        }
    }
    return std::nullopt;
}

bool IniFile::hasKey(std::string_view section, std::string_view key) const {
    return findKey(section, key).has_value();
}

std::optional<std::string> IniFile::value(std::string_view section, std::string_view key) const {
    const auto index = findKey(section, key);
    if (!index) return std::nullopt;
    const Line& line = lines_[*index];
    std::string_view raw = trimBlanks(std::string_view(line.text).substr(line.valueBegin));
    if (enclosedInQuotes(raw)) raw = raw.substr(1, raw.size() - 2);
    return cutToMaximum(raw);
}

std::string IniFile::readString(std::string_view section, std::string_view key,
                                std::string_view defaultValue) const {
    auto found = value(section, key);
    return found ? std::move(*found) : std::string(defaultValue);
}

int IniFile::readInteger(std::string_view section, std::string_view key, int defaultValue) const {
    const auto found = value(section, key);
    if (!found) return defaultValue;
    return parseIniInteger(*found).value_or(defaultValue);
}

bool IniFile::readBool(std::string_view section, std::string_view key, bool defaultValue) const {
    return readInteger(section, key, defaultValue ? 1 : 0) != 0;
}

std::string IniFile::newLineEnding() const {
    for (const Line& line : lines_) {
        if (!line.ending.empty()) return line.ending;
    }
    return "\n";
}

void IniFile::writeString(std::string_view section, std::string_view key, std::string_view value) {
    checkSectionName(section);
    checkKeyName(key);
    const std::string encoded = encodeValue(value);

    if (const auto index = findKey(section, key)) {
        Line& line = lines_[*index];
        std::string text(nameOf(line));  // keep the spelling the file already uses
        text += '=';
        text += encoded;
        line = parseLine(std::move(text), std::move(line.ending));
        return;
    }

    const std::string ending = newLineEnding();
    std::string keyLine(key);
    keyLine += '=';
    keyLine += encoded;

    for (std::size_t i = 0; i < lines_.size(); ++i) {
        if (lines_[i].kind != Kind::Section || !equalsIgnoringCase(nameOf(lines_[i]), section)) {
            continue;
        }
        // After the section's last key, so that blank lines and comments that lead into the
        // next section stay where they are.
        std::size_t insertAfter = i;
        for (std::size_t j = i + 1; j < lines_.size() && lines_[j].kind != Kind::Section; ++j) {
            if (lines_[j].kind == Kind::Key) insertAfter = j;
        }
        if (lines_[insertAfter].ending.empty()) lines_[insertAfter].ending = ending;
        lines_.insert(lines_.begin() + static_cast<std::ptrdiff_t>(insertAfter + 1),
                      parseLine(std::move(keyLine), ending));
        return;
    }

    if (!lines_.empty()) {
        if (lines_.back().ending.empty()) lines_.back().ending = ending;
        if (!trimBlanks(lines_.back().text).empty()) lines_.push_back(parseLine("", ending));
    }
    lines_.push_back(parseLine("[" + std::string(section) + "]", ending));
    lines_.push_back(parseLine(std::move(keyLine), ending));
}

void IniFile::writeInteger(std::string_view section, std::string_view key, int value) {
    writeString(section, key, std::to_string(value));
}

void IniFile::writeBool(std::string_view section, std::string_view key, bool value) {
    writeString(section, key, value ? "1" : "0");
}

}  // namespace pellora::settings
