// An INI file as the settings code needs it: sections in square brackets, key=value lines,
// section and key names compared without regard to case, values trimmed of surrounding
// blanks. Reading tolerates any bytes; writing changes only the lines it must, so comments,
// foreign sections and the order of everything else survive, and saving replaces the file
// atomically.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace pellora::settings {

// Raised when a settings file cannot be written. The text is "Unable to write to <path>".
class WriteError : public std::runtime_error {
public:
    explicit WriteError(const std::filesystem::path& path);
    const std::filesystem::path& path() const { return path_; }

private:
    std::filesystem::path path_;
};

class IniFile {
public:
    // Longest string a read returns; longer values are cut.
    static constexpr std::size_t kMaxValueLength = 1023;
    // A larger file is not an INI file we wrote or a user edited; it is refused as unreadable
    // so that a stray huge file cannot exhaust memory.
    static constexpr std::uintmax_t kMaxFileSize = 4U * 1024U * 1024U;

    enum class LoadResult { Loaded, Missing, Unreadable };

    IniFile() = default;

    // Parses text already in memory (any bytes).
    static IniFile fromText(std::string_view text);

    // Loads `path` and remembers it for save(). A missing or unreadable file leaves the
    // document empty; the result tells which.
    LoadResult load(const std::filesystem::path& path);
    LoadResult loadResult() const { return loadResult_; }
    const std::filesystem::path& path() const { return path_; }

    // Writes the document to the remembered path (or to `path`) atomically. Throws WriteError
    // and leaves the file on disk untouched when that fails.
    void save() const;
    void saveAs(const std::filesystem::path& path) const;

    // The document as it would be saved.
    std::string text() const;

    bool hasSection(std::string_view section) const;
    bool hasKey(std::string_view section, std::string_view key) const;

    // The value of a key, trimmed, one pair of enclosing quotes removed, cut to
    // kMaxValueLength bytes; nullopt when the key is missing.
    std::optional<std::string> value(std::string_view section, std::string_view key) const;

    std::string readString(std::string_view section, std::string_view key,
                           std::string_view defaultValue) const;
    // Decimal, or hexadecimal when the value is longer than two characters and starts with
    // "0x" or "0X"; a missing, malformed or out-of-range value gives the default.
    int readInteger(std::string_view section, std::string_view key, int defaultValue) const;
    // An integer; any value other than 0 is true.
    bool readBool(std::string_view section, std::string_view key, bool defaultValue) const;

    // Sets a key: an existing key is changed in place, a new key goes at the end of its
    // section, a new section at the end of the document. Line breaks in the value become
    // spaces (a value must never start a new line in the file); a value that reading would
    // change (surrounding blanks, enclosing quotes) is written in double quotes so that it
    // reads back unchanged. Throws std::invalid_argument for a section or key name that
    // cannot be written as one (line breaks, "]" in a section, "=" in a key, ...).
    void writeString(std::string_view section, std::string_view key, std::string_view value);
    void writeInteger(std::string_view section, std::string_view key, int value);
    void writeBool(std::string_view section, std::string_view key, bool value);

private:
    enum class Kind { Other, Section, Key };
    struct Line {
        std::string text;    // without the line end
        std::string ending;  // "\n", "\r\n", "\r" or "" for a last line without one
        Kind kind = Kind::Other;
        // Section name, or key name, as offsets into text (already trimmed).
        std::size_t nameBegin = 0;
        std::size_t nameLength = 0;
        std::size_t valueBegin = 0;  // key lines: first character after "="
    };

    static Line parseLine(std::string text, std::string ending);
    std::string_view nameOf(const Line& line) const;
    std::optional<std::size_t> findKey(std::string_view section, std::string_view key) const;
    std::string newLineEnding() const;

    std::vector<Line> lines_;
    bool byteOrderMark_ = false;
    std::filesystem::path path_;
    LoadResult loadResult_ = LoadResult::Missing;
};

// Integer parsing shared with callers that hold a value already: the rules of readInteger.
std::optional<int> parseIniInteger(std::string_view text);

}  // namespace pellora::settings
