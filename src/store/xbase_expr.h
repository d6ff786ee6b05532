// xBase expressions: the index keys, FOR conditions and queries of the table engine.
//
// An expression is compiled once against a table's fields and then evaluated on raw record
// buffers (byte 0 the deletion flag, fields at their offsets, exactly as stored in the DBF).
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>

#include "store/field.h"

namespace pellora::store {

enum class XType : std::uint8_t { Character, Numeric, Date, Logical };

// A malformed expression: unknown name, wrong argument types, unbalanced quote or
// parenthesis, trailing text. `position` is the 0-based offset in the text where it went wrong.
class ExpressionError : public std::runtime_error {
public:
    ExpressionError(const std::string& message, std::size_t position)
        : std::runtime_error(message), position_(position) {}
    std::size_t position() const { return position_; }

private:
    std::size_t position_;
};

// A computed value. Dates are Julian day numbers (0 = empty date).
struct XValue {
    XType type = XType::Logical;
    std::string str;      // Character
    double num = 0;       // Numeric
    std::int32_t date = 0;  // Date
    bool logical = false;   // Logical
};

struct CompileOptions {
    // CTOD() with a two-digit year picks the century that puts the year nearest this one
    // (within 80 years before to 19 after). 0 = the current calendar year.
    int referenceYear = 0;
};

class Expression {
public:
    Expression();
    ~Expression();
    Expression(Expression&&) noexcept;
    Expression& operator=(Expression&&) noexcept;
    Expression(const Expression&) = delete;
    Expression& operator=(const Expression&) = delete;

    // Throws ExpressionError.
    static Expression compile(std::string_view text, std::span<const FieldLayout> fields,
                              const CompileOptions& options = {});

    bool valid() const { return impl_ != nullptr; }
    const std::string& text() const;
    XType type() const;
    // Fixed width of the value as an index key: the longest a Character result can be, 8 for
    // Date and Numeric, 1 for Logical.
    int keyWidth() const;

    XValue evaluate(const std::uint8_t* record) const;
    // Logical expressions only (throws ExpressionError otherwise at compile time of the caller's
    // choice: check type() first).
    bool evaluateLogical(const std::uint8_t* record) const;
    // The value as index key bytes, keyWidth() long, comparable with memcmp: Character padded
    // with blanks; Date and Numeric as 8-byte big-endian doubles with the sign bit flipped for
    // non-negative values and every bit flipped for negative ones; Logical 'T'/'F'.
    std::string evaluateKey(const std::uint8_t* record) const;
    // Same, written into out (keyWidth() bytes), without allocating.
    void evaluateKey(const std::uint8_t* record, char* out) const;

    struct Impl;

private:
    explicit Expression(std::unique_ptr<Impl> impl);
    std::unique_ptr<Impl> impl_;
};

// Julian day number <-> calendar date. Valid for the Gregorian calendar from year 1 onwards.
std::int32_t julianFromDate(int year, int month, int day);
void dateFromJulian(std::int32_t julian, int& year, int& month, int& day);
// "YYYYMMDD" (as a D field stores it) -> Julian day; blanks or garbage -> 0.
std::int32_t julianFromDtos(std::string_view text);
// Julian -> "YYYYMMDD", or 8 blanks for 0.
std::string dtosFromJulian(std::int32_t julian);
// Same, written into out (8 bytes); blanks for 0 or a day outside the years 1 to 9999.
void dtosFromJulian(std::int32_t julian, char* out);
// What CTOD() reads: month, day and year separated by any non-digit characters ("01/15/99",
// "1.15.1999", "1-5-2026"). A one- or two-digit year takes the century that puts it within
// 80 years before to 19 years after referenceYear (0 = the current calendar year). An invalid
// or empty date gives 0.
std::int32_t julianFromCtod(std::string_view text, int referenceYear = 0);
// The 8 sortable key bytes of a number (see evaluateKey).
void numericKeyBytes(double value, char* out);

}  // namespace pellora::store
