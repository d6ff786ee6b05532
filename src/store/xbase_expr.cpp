// xBase expression compiler and evaluator.
//
// Text is parsed by recursive descent straight into a typed tree: every operator and function
// is checked when it is built, so a compiled expression cannot meet a type error at run time.
// Sub-expressions without field references are folded into literals as they are built
// (CTOD("01/15/99") costs nothing per record).
//
// Evaluation runs over an immutable node array. Character values travel as string views:
// a field reads the record bytes in place, a trim narrows the view, and the few nodes that
// produce new bytes (UPPER, LOWER, concatenation, DTOS, STR) write them into their own slice
// of a scratch buffer that lives on the caller's stack. So evaluating allocates nothing in the
// usual cases and any number of threads may evaluate one expression at once.
#include "store/xbase_expr.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <chrono>
#include <cmath>
#include <cstring>
#include <vector>

namespace pellora::store {

namespace xbase_detail {

// Parenthesis nesting and tree height are both capped, so neither compiling nor evaluating
// can run out of stack, whatever the text.
constexpr int kMaxDepth = 200;
// Longest Character value a node may produce; with kMaxScratch it bounds the memory one
// evaluation needs.
constexpr std::int32_t kMaxWidth = 65535;
constexpr std::size_t kMaxScratch = std::size_t{1} << 20;
// Scratch needs up to this size come from the stack; larger ones (long concatenations in
// queries) from the heap.
constexpr std::size_t kStackScratch = 2048;

constexpr std::int32_t kFirstJulian = 1721426;  // 1 January of year 1
constexpr std::int32_t kLastJulian = 5373484;   // 31 December 9999

enum class Op : std::uint8_t {
    Literal,
    Field,
    Deleted,
    Not,
    And,  // n-ary
    Or,   // n-ary
    Compare,
    Contains,
    Concat,      // n-ary
    ConcatTrim,  // a - b on strings: a's trailing blanks move behind b
    Upper,
    Lower,
    AllTrim,
    LTrim,
    RTrim,
    Dtos,
    Str,
    Val,
    Ctod,
    Empty,
    Neg,
    Add,
    Sub,
    Mul,
    Div,
    DateAdd,  // a date, b days
    DateSub,  // a date, b days
    DateDiff,
};

enum class Cmp : std::uint8_t { Equal, Exact, NotEqual, Less, LessEqual, Greater, GreaterEqual };

struct Node {
    Op op = Op::Literal;
    XType type = XType::Logical;
    Cmp cmp = Cmp::Equal;
    std::int32_t a = -1;
    std::int32_t b = -1;
    std::vector<std::int32_t> kids;  // And, Or, Concat
    std::int32_t height = 1;
    std::int32_t width = 0;     // Character: longest value; Field: bytes in the record
    std::int32_t offset = 0;    // Field: offset in the record
    std::int32_t need = 0;      // scratch bytes the node writes its value into
    std::int32_t scratch = 0;   // where in the scratch buffer they start
    std::int32_t decimals = 0;  // STR()
    // Literal values.
    std::string str;
    double num = 0;
    std::int32_t date = 0;
    bool logical = false;
};

}  // namespace xbase_detail

struct Expression::Impl {
    std::string text;
    std::vector<xbase_detail::Node> nodes;  // root first
    XType type = XType::Logical;
    int keyWidth = 0;
    std::size_t scratchSize = 0;
    int referenceYear = 0;
};

namespace xbase_detail {
namespace {

// ---------------------------------------------------------------------------------------------
// Characters

// Windows-1252 case mapping: ASCII letters, the accented Latin-1 letters and the four extra
// pairs in 0x80..0x9F. Key expressions like UPPER(NAME) must put "müller" beside "MÜLLER".
struct CaseTables {
    std::array<unsigned char, 256> upper{};
    std::array<unsigned char, 256> lower{};
};

constexpr CaseTables makeCaseTables() {
    CaseTables t;
    for (int c = 0; c < 256; ++c) {
        t.upper[c] = static_cast<unsigned char>(c);
        t.lower[c] = static_cast<unsigned char>(c);
    }
    auto pair = [&t](int up, int low) {
        t.upper[low] = static_cast<unsigned char>(up);
        t.lower[up] = static_cast<unsigned char>(low);
    };
    for (int c = 'a'; c <= 'z'; ++c) pair(c - 32, c);
    for (int c = 0xE0; c <= 0xFE; ++c) {
        if (c != 0xF7) pair(c - 32, c);  // 0xF7 is the division sign
    }
    pair(0x8A, 0x9A);  // S caron
    pair(0x8C, 0x9C);  // OE
    pair(0x8E, 0x9E);  // Z caron
    pair(0x9F, 0xFF);  // Y diaeresis
    return t;
}

constexpr CaseTables kCase = makeCaseTables();

bool isDigit(char c) { return c >= '0' && c <= '9'; }
bool isAlpha(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }
bool isIdentChar(char c) { return isAlpha(c) || isDigit(c) || c == '_'; }
char asciiUpper(char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 32) : c; }

bool equalsNoCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (asciiUpper(a[i]) != asciiUpper(b[i])) return false;
    }
    return true;
}

std::string_view trimLeft(std::string_view s) {
    std::size_t i = 0;
    while (i < s.size() && s[i] == ' ') ++i;
    return s.substr(i);
}

std::string_view trimRight(std::string_view s) {
    std::size_t n = s.size();
    while (n > 0 && s[n - 1] == ' ') --n;
    return s.substr(0, n);
}

bool blankText(std::string_view s) {
    for (char c : s) {
        if (c != ' ' && c != '\t' && c != '\r' && c != '\n') return false;
    }
    return true;
}

// Compares as if the shorter string were padded with blanks, bytes as unsigned.
int paddedCompare(std::string_view a, std::string_view b) {
    const std::size_t n = std::min(a.size(), b.size());
    if (n > 0) {
        const int c = std::memcmp(a.data(), b.data(), n);
        if (c != 0) return c < 0 ? -1 : 1;
    }
    for (std::size_t i = n; i < a.size(); ++i) {
        const auto ch = static_cast<unsigned char>(a[i]);
        if (ch != ' ') return ch < ' ' ? -1 : 1;
    }
    for (std::size_t i = n; i < b.size(); ++i) {
        const auto ch = static_cast<unsigned char>(b[i]);
        if (ch != ' ') return ch < ' ' ? 1 : -1;
    }
    return 0;
}

// ---------------------------------------------------------------------------------------------
// Numbers

// NaN has no place in an order; it can only come from inf - inf or inf * 0.
double clean(double v) { return std::isnan(v) ? 0.0 : v; }

// Leading blanks, an optional sign, digits with an optional decimal point; what follows is
// ignored. Used for N fields (right-aligned, blank meaning 0) and VAL(). Locale independent.
double parseNumber(std::string_view s) {
    std::size_t i = 0;
    while (i < s.size() && s[i] == ' ') ++i;
    bool negative = false;
    if (i < s.size() && (s[i] == '-' || s[i] == '+')) {
        negative = s[i] == '-';
        ++i;
    }
    std::size_t j = i;
    while (j < s.size() && isDigit(s[j])) ++j;
    if (j < s.size() && s[j] == '.') {
        ++j;
        while (j < s.size() && isDigit(s[j])) ++j;
    }
    if (j == i || (j == i + 1 && s[i] == '.')) return 0.0;
    double v = 0;
    const auto r = std::from_chars(s.data() + i, s.data() + j, v, std::chars_format::fixed);
    if (r.ec != std::errc()) return 0.0;
    return negative ? -v : v;
}

constexpr std::array<double, 19> kPow10 = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,
                                           1e7,  1e8,  1e9,  1e10, 1e11, 1e12, 1e13,
                                           1e14, 1e15, 1e16, 1e17, 1e18};

// STR(): right-aligned in `len` characters, rounded half away from zero. When the number
// does not fit, decimals are given up first; a number that still does not fit is all stars.
void formatStr(double v, int len, int decimals, char* out) {
    const auto width = static_cast<std::size_t>(len);
    if (std::isfinite(v)) {
        char buf[400];
        for (int d = decimals; d >= 0; --d) {
            double r = v;
            if (std::fabs(v) < 1e15) r = std::round(v * kPow10[d]) / kPow10[d];
            const auto res =
                std::to_chars(buf, buf + sizeof buf, r, std::chars_format::fixed, d);
            if (res.ec != std::errc()) continue;
            std::size_t n = static_cast<std::size_t>(res.ptr - buf);
            char* start = buf;
            if (r == 0 && buf[0] == '-') {  // no "-0"
                ++start;
                --n;
            }
            if (n <= width) {
                std::memset(out, ' ', width - n);
                std::memcpy(out + (width - n), start, n);
                return;
            }
        }
    }
    std::memset(out, '*', width);
}

// ---------------------------------------------------------------------------------------------
// Dates

bool isLeap(int y) { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; }

bool validDate(int y, int m, int d) {
    static constexpr int kDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    if (y < 1 || y > 9999 || m < 1 || m > 12 || d < 1) return false;
    const int last = (m == 2 && isLeap(y)) ? 29 : kDays[m - 1];
    return d <= last;
}

// "YYYYMMDD" naming a real day; julianFromDtos without the arithmetic.
bool dtosIsDate(std::string_view text) {
    if (text.size() != 8) return false;
    for (char c : text) {
        if (!isDigit(c)) return false;
    }
    const int y = (text[0] - '0') * 1000 + (text[1] - '0') * 100 + (text[2] - '0') * 10 +
                  (text[3] - '0');
    return validDate(y, (text[4] - '0') * 10 + (text[5] - '0'),
                     (text[6] - '0') * 10 + (text[7] - '0'));
}

constexpr std::string_view kBlankDate = "        ";

int currentYear() {
    using namespace std::chrono;
    const year_month_day today{floor<days>(system_clock::now())};
    return static_cast<int>(today.year());
}

// A day number moved by a count of days; empty stays empty and leaving the calendar gives
// the empty date rather than a day that cannot be written.
std::int32_t shiftDate(std::int32_t julian, double days) {
    if (julian == 0 || !(std::fabs(days) < 1e7)) return 0;
    const auto r = static_cast<std::int64_t>(julian) + static_cast<std::int64_t>(std::trunc(days));
    if (r < kFirstJulian || r > kLastJulian) return 0;
    return static_cast<std::int32_t>(r);
}

std::int32_t ctod(std::string_view s, int referenceYear) {
    s = trimRight(trimLeft(s));
    int value[3] = {0, 0, 0};
    int digits[3] = {0, 0, 0};
    std::size_t i = 0;
    for (int part = 0; part < 3; ++part) {
        if (part > 0) {
            // Any run of non-digits separates the parts: "/", ".", "-", the locale's own.
            const std::size_t start = i;
            while (i < s.size() && !isDigit(s[i])) ++i;
            if (i == start) return 0;
        }
        while (i < s.size() && isDigit(s[i])) {
            if (++digits[part] > 4) return 0;
            value[part] = value[part] * 10 + (s[i] - '0');
            ++i;
        }
        if (digits[part] == 0) return 0;
    }
    if (i != s.size()) return 0;
    int year = value[2];
    if (digits[2] <= 2) {
        // The century that puts the year in [referenceYear - 80, referenceYear + 19].
        const int base = referenceYear - 80;
        year = base + (((year - base) % 100) + 100) % 100;
    }
    return julianFromDate(year, value[0], value[1]);
}

// ---------------------------------------------------------------------------------------------
// Evaluation

struct Eval {
    const Node* nodes;
    const std::uint8_t* record;
    char* scratch;
    int referenceYear;

    std::string_view recordBytes(const Node& n) const {
        return {reinterpret_cast<const char*>(record) + n.offset, static_cast<std::size_t>(n.width)};
    }

    bool L(std::int32_t i) const;
    double N(std::int32_t i) const;
    std::int32_t D(std::int32_t i) const;
    std::string_view C(std::int32_t i) const;

    template <class T>
    static bool ordered(T x, T y, Cmp cmp) {
        switch (cmp) {
            case Cmp::Equal:
            case Cmp::Exact: return x == y;
            case Cmp::NotEqual: return x != y;
            case Cmp::Less: return x < y;
            case Cmp::LessEqual: return x <= y;
            case Cmp::Greater: return x > y;
            case Cmp::GreaterEqual: return x >= y;
        }
        return false;
    }

    static bool compareText(std::string_view x, std::string_view y, Cmp cmp) {
        switch (cmp) {
            case Cmp::Equal:  // the left one begins with the right one
                return x.size() >= y.size() &&
                       (y.empty() || std::memcmp(x.data(), y.data(), y.size()) == 0);
            case Cmp::Exact: return x == y;
            case Cmp::NotEqual:
                return !(x.size() >= y.size() &&
                         (y.empty() || std::memcmp(x.data(), y.data(), y.size()) == 0));
            case Cmp::Less: return paddedCompare(x, y) < 0;
            case Cmp::LessEqual: return paddedCompare(x, y) <= 0;
            case Cmp::Greater: return paddedCompare(x, y) > 0;
            case Cmp::GreaterEqual: return paddedCompare(x, y) >= 0;
        }
        return false;
    }
};

bool Eval::L(std::int32_t i) const {
    const Node& n = nodes[i];
    switch (n.op) {
        case Op::Literal: return n.logical;
        case Op::Field: {
            const char c = static_cast<char>(record[n.offset]);
            return c == 'T' || c == 't' || c == 'Y' || c == 'y';
        }
        case Op::Deleted: return record[0] == '*';
        case Op::Not: return !L(n.a);
        case Op::And:
            for (std::int32_t k : n.kids) {
                if (!L(k)) return false;
            }
            return true;
        case Op::Or:
            for (std::int32_t k : n.kids) {
                if (L(k)) return true;
            }
            return false;
        case Op::Compare:
            switch (nodes[n.a].type) {
                case XType::Character: return compareText(C(n.a), C(n.b), n.cmp);
                case XType::Numeric: return ordered(N(n.a), N(n.b), n.cmp);
                case XType::Date: return ordered(D(n.a), D(n.b), n.cmp);
                case XType::Logical: return ordered(L(n.a), L(n.b), n.cmp);
            }
            return false;
        case Op::Contains: {
            const std::string_view needle = C(n.a);
            const std::string_view hay = C(n.b);
            return needle.empty() || hay.find(needle) != std::string_view::npos;
        }
        case Op::Empty:
            switch (nodes[n.a].type) {
                case XType::Character: return blankText(C(n.a));
                case XType::Numeric: return N(n.a) == 0;
                case XType::Date:
                    if (nodes[n.a].op == Op::Field) return !dtosIsDate(recordBytes(nodes[n.a]));
                    return D(n.a) == 0;
                case XType::Logical: return !L(n.a);
            }
            return false;
        default: return false;
    }
}

double Eval::N(std::int32_t i) const {
    const Node& n = nodes[i];
    switch (n.op) {
        case Op::Literal: return n.num;
        case Op::Field: return parseNumber(recordBytes(n));
        case Op::Val: return parseNumber(C(n.a));
        case Op::Neg: return 0.0 - N(n.a);
        case Op::Add: return clean(N(n.a) + N(n.b));
        case Op::Sub: return clean(N(n.a) - N(n.b));
        case Op::Mul: return clean(N(n.a) * N(n.b));
        case Op::Div: {
            // xBase stops with an error here; a query or key cannot, so x / 0 is 0.
            const double d = N(n.b);
            const double x = N(n.a);
            return d == 0 ? 0.0 : clean(x / d);
        }
        case Op::DateDiff: {
            const std::int32_t x = D(n.a);
            const std::int32_t y = D(n.b);
            return (x == 0 || y == 0) ? 0.0 : static_cast<double>(x - y);
        }
        default: return 0.0;
    }
}

std::int32_t Eval::D(std::int32_t i) const {
    const Node& n = nodes[i];
    switch (n.op) {
        case Op::Literal: return n.date;
        case Op::Field: return julianFromDtos(recordBytes(n));
        case Op::Ctod: return ctod(C(n.a), referenceYear);
        case Op::DateAdd: return shiftDate(D(n.a), N(n.b));
        case Op::DateSub: return shiftDate(D(n.a), -N(n.b));
        default: return 0;
    }
}

std::string_view Eval::C(std::int32_t i) const {
    const Node& n = nodes[i];
    switch (n.op) {
        case Op::Literal: return n.str;
        case Op::Field: return recordBytes(n);
        case Op::Concat: {
            char* out = scratch + n.scratch;
            std::size_t len = 0;
            for (std::int32_t k : n.kids) {
                const std::string_view part = C(k);
                if (!part.empty()) std::memcpy(out + len, part.data(), part.size());
                len += part.size();
            }
            return {out, len};
        }
        case Op::ConcatTrim: {
            char* out = scratch + n.scratch;
            const std::string_view left = C(n.a);
            const std::string_view kept = trimRight(left);
            const std::string_view right = C(n.b);
            if (!kept.empty()) std::memcpy(out, kept.data(), kept.size());
            if (!right.empty()) std::memcpy(out + kept.size(), right.data(), right.size());
            std::memset(out + kept.size() + right.size(), ' ', left.size() - kept.size());
            return {out, left.size() + right.size()};
        }
        case Op::Upper:
        case Op::Lower: {
            const auto& table = n.op == Op::Upper ? kCase.upper : kCase.lower;
            const std::string_view in = C(n.a);
            char* out = scratch + n.scratch;
            for (std::size_t k = 0; k < in.size(); ++k) {
                out[k] = static_cast<char>(table[static_cast<unsigned char>(in[k])]);
            }
            return {out, in.size()};
        }
        case Op::AllTrim: return trimRight(trimLeft(C(n.a)));
        case Op::LTrim: return trimLeft(C(n.a));
        case Op::RTrim: return trimRight(C(n.a));
        case Op::Dtos: {
            // A D field already holds "YYYYMMDD": hand out its bytes when they are a date.
            if (nodes[n.a].op == Op::Field) {
                const std::string_view text = recordBytes(nodes[n.a]);
                if (dtosIsDate(text)) return text;
                return kBlankDate;
            }
            char* out = scratch + n.scratch;
            dtosFromJulian(D(n.a), out);
            return {out, 8};
        }
        case Op::Str: {
            char* out = scratch + n.scratch;
            formatStr(N(n.a), n.width, n.decimals, out);
            return {out, static_cast<std::size_t>(n.width)};
        }
        default: return {};
    }
}

// ---------------------------------------------------------------------------------------------
// Lexer and parser

enum class Tok : std::uint8_t {
    End,
    Ident,
    Number,
    String,
    True,
    False,
    And,
    Or,
    Not,
    LParen,
    RParen,
    Comma,
    Plus,
    Minus,
    Star,
    Slash,
    Dollar,
    Eq,
    EqEq,
    Ne,
    Lt,
    Le,
    Gt,
    Ge,
};

struct Token {
    Tok kind = Tok::End;
    std::size_t pos = 0;
    std::string_view text;
    double num = 0;
};

enum class Fn : std::uint8_t { AllTrim, Ctod, Deleted, Dtos, Empty, Lower, LTrim, RTrim, Str, Trim, Upper, Val };

struct FnInfo {
    std::string_view name;
    Fn fn;
    int minArgs;
    int maxArgs;
};

constexpr FnInfo kFunctions[] = {
    {"ALLTRIM", Fn::AllTrim, 1, 1}, {"CTOD", Fn::Ctod, 1, 1},   {"DELETED", Fn::Deleted, 0, 0},
    {"DTOS", Fn::Dtos, 1, 1},       {"EMPTY", Fn::Empty, 1, 1}, {"LOWER", Fn::Lower, 1, 1},
    {"LTRIM", Fn::LTrim, 1, 1},     {"RTRIM", Fn::RTrim, 1, 1}, {"STR", Fn::Str, 1, 3},
    {"TRIM", Fn::Trim, 1, 1},       {"UPPER", Fn::Upper, 1, 1}, {"VAL", Fn::Val, 1, 1},
};

// xBase accepts a function name cut down to its first four letters ("ALLT", "DELE").
const FnInfo* findFunction(std::string_view name) {
    for (const FnInfo& f : kFunctions) {
        if (equalsNoCase(name, f.name)) return &f;
    }
    if (name.size() >= 4) {
        for (const FnInfo& f : kFunctions) {
            if (name.size() < f.name.size() && equalsNoCase(name, f.name.substr(0, name.size())))
                return &f;
        }
    }
    return nullptr;
}

const char* typeName(XType t) {
    switch (t) {
        case XType::Character: return "character";
        case XType::Numeric: return "numeric";
        case XType::Date: return "date";
        case XType::Logical: return "logical";
    }
    return "?";
}

class Compiler {
public:
    Compiler(std::string_view text, std::span<const FieldLayout> fields, int referenceYear,
             std::vector<Node>& nodes)
        : src_(text), fields_(fields), referenceYear_(referenceYear), nodes_(nodes) {}

    std::int32_t run() {
        next();
        if (tok_.kind == Tok::End) fail("empty expression", 0);
        const std::int32_t root = parseOr();
        if (tok_.kind == Tok::RParen) fail("')' without a matching '('", tok_.pos);
        if (tok_.kind != Tok::End)
            fail("unexpected text after the expression (an operator is missing?)", tok_.pos);
        return root;
    }

private:
    [[noreturn]] static void fail(const std::string& message, std::size_t pos) {
        throw ExpressionError(message, pos);
    }

    struct DepthGuard {
        DepthGuard(Compiler& c, std::size_t pos) : c_(c) {
            if (++c_.depth_ > kMaxDepth) fail("expression nested too deeply", pos);
        }
        ~DepthGuard() { --c_.depth_; }
        DepthGuard(const DepthGuard&) = delete;
        DepthGuard& operator=(const DepthGuard&) = delete;
        Compiler& c_;
    };

    // --- lexer ---

    void next() {
        const std::size_t n = src_.size();
        while (pos_ < n && (src_[pos_] == ' ' || src_[pos_] == '\t' || src_[pos_] == '\r' ||
                            src_[pos_] == '\n'))
            ++pos_;
        tok_ = Token{};
        tok_.pos = pos_;
        if (pos_ >= n) return;
        const char c = src_[pos_];
        const std::size_t start = pos_;
        auto single = [&](Tok k, std::size_t len) {
            tok_.kind = k;
            pos_ += len;
        };
        const char c1 = pos_ + 1 < n ? src_[pos_ + 1] : '\0';
        if (isAlpha(c) || c == '_') {
            while (pos_ < n && isIdentChar(src_[pos_])) ++pos_;
            tok_.kind = Tok::Ident;
            tok_.text = src_.substr(start, pos_ - start);
            return;
        }
        if (isDigit(c) || (c == '.' && isDigit(c1))) {
            lexNumber();
            return;
        }
        switch (c) {
            case '.': lexDotWord(); return;
            case '"':
            case '\'':
            case '[': {
                const char close = c == '[' ? ']' : c;
                const std::size_t end = src_.find(close, pos_ + 1);
                if (end == std::string_view::npos)
                    fail(std::string("unterminated string: missing closing ") + close, start);
                tok_.kind = Tok::String;
                tok_.text = src_.substr(start + 1, end - start - 1);
                pos_ = end + 1;
                return;
            }
            case '(': single(Tok::LParen, 1); return;
            case ')': single(Tok::RParen, 1); return;
            case ',': single(Tok::Comma, 1); return;
            case '+': single(Tok::Plus, 1); return;
            case '-':
                if (c1 == '>') fail("table aliases (->) are not supported", start);
                single(Tok::Minus, 1);
                return;
            case '*': single(Tok::Star, 1); return;
            case '/': single(Tok::Slash, 1); return;
            case '$': single(Tok::Dollar, 1); return;
            case '#': single(Tok::Ne, 1); return;
            case '=': c1 == '=' ? single(Tok::EqEq, 2) : single(Tok::Eq, 1); return;
            case '<':
                if (c1 == '=') single(Tok::Le, 2);
                else if (c1 == '>') single(Tok::Ne, 2);
                else single(Tok::Lt, 1);
                return;
            case '>': c1 == '=' ? single(Tok::Ge, 2) : single(Tok::Gt, 1); return;
            case '!': c1 == '=' ? single(Tok::Ne, 2) : single(Tok::Not, 1); return;
            default: break;
        }
        if (static_cast<unsigned char>(c) >= 0x21 && static_cast<unsigned char>(c) < 0x7F)
            fail(std::string("unexpected character '") + c + "'", start);
        fail("unexpected character", start);
    }

    void lexNumber() {
        const std::size_t start = pos_;
        const std::size_t n = src_.size();
        while (pos_ < n && isDigit(src_[pos_])) ++pos_;
        // "1.5" and "1." are numbers; in "1.and." the dot starts the operator.
        if (pos_ < n && src_[pos_] == '.' && !(pos_ + 1 < n && isAlpha(src_[pos_ + 1]))) {
            ++pos_;
            while (pos_ < n && isDigit(src_[pos_])) ++pos_;
        }
        double v = 0;
        const auto r = std::from_chars(src_.data() + start, src_.data() + pos_, v,
                                       std::chars_format::fixed);
        if (r.ec != std::errc() || r.ptr != src_.data() + pos_ || !std::isfinite(v))
            fail("number out of range", start);
        tok_.kind = Tok::Number;
        tok_.num = v;
    }

    void lexDotWord() {
        const std::size_t start = pos_;
        std::size_t j = pos_ + 1;
        while (j < src_.size() && isAlpha(src_[j])) ++j;
        if (j == pos_ + 1 || j >= src_.size() || src_[j] != '.') fail("unexpected '.'", start);
        const std::string_view word = src_.substr(pos_ + 1, j - pos_ - 1);
        pos_ = j + 1;
        if (equalsNoCase(word, "AND")) tok_.kind = Tok::And;
        else if (equalsNoCase(word, "OR")) tok_.kind = Tok::Or;
        else if (equalsNoCase(word, "NOT")) tok_.kind = Tok::Not;
        else if (equalsNoCase(word, "T") || equalsNoCase(word, "Y") || equalsNoCase(word, "TRUE"))
            tok_.kind = Tok::True;
        else if (equalsNoCase(word, "F") || equalsNoCase(word, "N") || equalsNoCase(word, "FALSE"))
            tok_.kind = Tok::False;
        else
            fail("unknown operator '." + std::string(word) + ".'", start);
    }

    // --- nodes ---

    Node& at(std::int32_t i) { return nodes_[static_cast<std::size_t>(i)]; }
    XType typeOf(std::int32_t i) { return at(i).type; }
    int widthOf(std::int32_t i) { return at(i).width; }
    bool isLiteral(std::int32_t i) { return at(i).op == Op::Literal; }

    void checkLimits(const Node& n, std::size_t pos) {
        if (n.height > kMaxDepth) fail("expression nested too deeply", pos);
        if (n.type == XType::Character && n.width > kMaxWidth)
            fail("character value too long", pos);
    }

    // Adds a node whose children are already in place; folds it when they are all literals.
    std::int32_t add(Node n, std::size_t pos) {
        std::int32_t h = 0;
        bool constant = n.op != Op::Field && n.op != Op::Deleted && n.op != Op::Literal;
        auto child = [&](std::int32_t c) {
            h = std::max(h, at(c).height);
            constant = constant && isLiteral(c);
        };
        if (n.a >= 0) child(n.a);
        if (n.b >= 0) child(n.b);
        for (std::int32_t k : n.kids) child(k);
        n.height = h + 1;
        checkLimits(n, pos);
        nodes_.push_back(std::move(n));
        const auto index = static_cast<std::int32_t>(nodes_.size() - 1);
        if (constant) fold(index);
        return index;
    }

    void fold(std::int32_t index) {
        std::string buffer(static_cast<std::size_t>(at(index).need), '\0');
        at(index).scratch = 0;
        const Eval ev{nodes_.data(), nullptr, buffer.data(), referenceYear_};
        Node lit;
        lit.type = at(index).type;
        lit.width = at(index).width;
        switch (lit.type) {
            case XType::Character: lit.str = std::string(ev.C(index)); break;
            case XType::Numeric: lit.num = ev.N(index); break;
            case XType::Date: lit.date = ev.D(index); break;
            case XType::Logical: lit.logical = ev.L(index); break;
        }
        at(index) = std::move(lit);
    }

    std::int32_t literalString(std::string_view s, std::size_t pos) {
        if (s.size() > static_cast<std::size_t>(kMaxWidth)) fail("character value too long", pos);
        Node n;
        n.type = XType::Character;
        n.str = std::string(s);
        n.width = static_cast<std::int32_t>(s.size());
        return add(std::move(n), pos);
    }

    std::int32_t unary(Op op, XType type, std::int32_t a, std::size_t pos, std::int32_t width = 0,
                       std::int32_t need = 0) {
        Node n;
        n.op = op;
        n.type = type;
        n.a = a;
        n.width = width;
        n.need = need;
        return add(std::move(n), pos);
    }

    std::int32_t binary(Op op, XType type, std::int32_t a, std::int32_t b, std::size_t pos,
                        std::int32_t width = 0, std::int32_t need = 0) {
        Node n;
        n.op = op;
        n.type = type;
        n.a = a;
        n.b = b;
        n.width = width;
        n.need = need;
        return add(std::move(n), pos);
    }

    // .AND., .OR. and string + gather their operands into one node: a long chain then costs
    // neither tree height nor repeated copying.
    std::int32_t chain(Op op, std::int32_t left, std::int32_t right, std::size_t pos) {
        if (at(left).op == op) {
            Node& n = at(left);
            n.kids.push_back(right);
            n.height = std::max(n.height, at(right).height + 1);
            if (op == Op::Concat) {
                n.width += widthOf(right);
                n.need = n.width;
            }
            checkLimits(n, pos);
            return left;
        }
        Node n;
        n.op = op;
        n.type = op == Op::Concat ? XType::Character : XType::Logical;
        n.kids = {left, right};
        if (op == Op::Concat) {
            n.width = widthOf(left) + widthOf(right);
            n.need = n.width;
        }
        return add(std::move(n), pos);
    }

    std::int32_t concat(std::int32_t left, std::int32_t right, std::size_t pos) {
        if (static_cast<std::int64_t>(widthOf(left)) + widthOf(right) > kMaxWidth)
            fail("character value too long", pos);
        if (isLiteral(left) && isLiteral(right)) {  // "a" + "b": grow the literal in place
            at(left).str += at(right).str;
            at(left).width += widthOf(right);
            return left;
        }
        if (at(right).op == Op::Concat) {  // A + (B + C)
            const std::vector<std::int32_t> kids = at(right).kids;
            for (std::int32_t k : kids) left = chain(Op::Concat, left, k, pos);
            return left;
        }
        return chain(Op::Concat, left, right, pos);
    }

    std::int32_t field(const Token& t) {
        const FieldLayout* f = nullptr;
        for (const FieldLayout& candidate : fields_) {
            if (equalsNoCase(candidate.name, t.text)) {
                f = &candidate;
                break;
            }
        }
        if (!f) fail("unknown field '" + std::string(t.text) + "'", t.pos);
        Node n;
        n.op = Op::Field;
        switch (f->type) {
            case 'C': n.type = XType::Character; break;
            case 'N':
            case 'F': n.type = XType::Numeric; break;
            case 'D': n.type = XType::Date; break;
            case 'L': n.type = XType::Logical; break;
            case 'M':
                fail("memo field '" + f->name + "' cannot be used in an expression", t.pos);
            default:
                fail("field '" + f->name + "' has a type that expressions cannot use", t.pos);
        }
        if (f->width < 1 || f->width > kMaxWidth || f->offset < 1)
            fail("field '" + f->name + "' has an invalid layout", t.pos);
        n.offset = f->offset;
        n.width = f->width;
        return add(std::move(n), t.pos);
    }

    void expectType(std::int32_t node, XType type, std::string_view what, std::size_t pos) {
        if (typeOf(node) != type)
            fail(std::string(what) + " needs a " + typeName(type) + " value, not " +
                     typeName(typeOf(node)),
                 pos);
    }

    // A compile-time whole number for STR()'s length and decimals.
    int constantInt(std::int32_t node, std::string_view what, int low, int high,
                    std::size_t pos) {
        if (typeOf(node) != XType::Numeric || !isLiteral(node))
            fail(std::string(what) + " must be a constant number", pos);
        const double v = std::trunc(at(node).num);
        if (!(v >= low && v <= high))
            fail(std::string(what) + " must be between " + std::to_string(low) + " and " +
                     std::to_string(high),
                 pos);
        return static_cast<int>(v);
    }

    std::int32_t call(const Token& name) {
        const FnInfo* f = findFunction(name.text);
        if (!f) fail("unknown function '" + std::string(name.text) + "'", name.pos);
        DepthGuard guard(*this, name.pos);
        next();  // '('
        std::vector<std::int32_t> args;
        std::vector<std::size_t> where;
        if (tok_.kind != Tok::RParen) {
            for (;;) {
                if (static_cast<int>(args.size()) >= f->maxArgs)
                    fail(std::string(f->name) + "() takes at most " + std::to_string(f->maxArgs) +
                             " argument(s)",
                         tok_.pos);
                where.push_back(tok_.pos);
                args.push_back(parseOr());
                if (tok_.kind != Tok::Comma) break;
                next();
            }
        }
        if (tok_.kind != Tok::RParen)
            fail("missing ')' after the arguments of " + std::string(f->name) + "()", tok_.pos);
        const std::size_t close = tok_.pos;
        next();
        if (static_cast<int>(args.size()) < f->minArgs)
            fail(std::string(f->name) + "() needs " + std::to_string(f->minArgs) + " argument(s)",
                 close);

        const std::string what = std::string(f->name) + "()";
        switch (f->fn) {
            case Fn::Deleted: {
                Node n;
                n.op = Op::Deleted;
                return add(std::move(n), name.pos);
            }
            case Fn::Dtos:
                expectType(args[0], XType::Date, what, where[0]);
                return unary(Op::Dtos, XType::Character, args[0], name.pos, 8, 8);
            case Fn::Upper:
            case Fn::Lower:
                expectType(args[0], XType::Character, what, where[0]);
                return unary(f->fn == Fn::Upper ? Op::Upper : Op::Lower, XType::Character,
                             args[0], name.pos, widthOf(args[0]), widthOf(args[0]));
            case Fn::AllTrim:
            case Fn::LTrim:
            case Fn::RTrim:
            case Fn::Trim: {
                expectType(args[0], XType::Character, what, where[0]);
                const Op op = f->fn == Fn::AllTrim ? Op::AllTrim
                              : f->fn == Fn::LTrim ? Op::LTrim
                                                   : Op::RTrim;
                const Node& arg = at(args[0]);
                if (arg.op == Op::Upper || arg.op == Op::Lower) {
                    // Case mapping never makes or removes a blank, so trimming first gives the
                    // same value and leaves fewer bytes to map: ALLTRIM(UPPER(NAME)).
                    const Op mapping = arg.op;
                    const std::int32_t inner = arg.a;
                    const std::int32_t w = arg.width;
                    const std::int32_t trimmed =
                        unary(op, XType::Character, inner, name.pos, widthOf(inner));
                    return unary(mapping, XType::Character, trimmed, name.pos, w, w);
                }
                return unary(op, XType::Character, args[0], name.pos, widthOf(args[0]));
            }
            case Fn::Empty: return unary(Op::Empty, XType::Logical, args[0], name.pos);
            case Fn::Ctod:
                expectType(args[0], XType::Character, what, where[0]);
                return unary(Op::Ctod, XType::Date, args[0], name.pos);
            case Fn::Val:
                expectType(args[0], XType::Character, what, where[0]);
                return unary(Op::Val, XType::Numeric, args[0], name.pos);
            case Fn::Str: {
                expectType(args[0], XType::Numeric, what, where[0]);
                const int len =
                    args.size() > 1 ? constantInt(args[1], "STR() length", 1, 255, where[1]) : 10;
                const int dec = args.size() > 2
                                    ? constantInt(args[2], "STR() decimals", 0, 18, where[2])
                                    : 0;
                Node n;
                n.op = Op::Str;
                n.type = XType::Character;
                n.a = args[0];
                n.width = len;
                n.need = len;
                n.decimals = dec;
                return add(std::move(n), name.pos);
            }
        }
        fail("unknown function", name.pos);
    }

    // --- grammar, loosest first ---

    std::int32_t parseOr() {
        std::int32_t left = parseAnd();
        while (tok_.kind == Tok::Or) {
            const std::size_t op = tok_.pos;
            next();
            const std::int32_t right = parseAnd();
            expectType(left, XType::Logical, ".OR.", op);
            expectType(right, XType::Logical, ".OR.", op);
            left = logicalChain(Op::Or, left, right, op);
        }
        return left;
    }

    std::int32_t parseAnd() {
        std::int32_t left = parseNot();
        while (tok_.kind == Tok::And) {
            const std::size_t op = tok_.pos;
            next();
            const std::int32_t right = parseNot();
            expectType(left, XType::Logical, ".AND.", op);
            expectType(right, XType::Logical, ".AND.", op);
            left = logicalChain(Op::And, left, right, op);
        }
        return left;
    }

    std::int32_t logicalChain(Op op, std::int32_t left, std::int32_t right, std::size_t pos) {
        if (isLiteral(left) && isLiteral(right)) {
            const bool v = op == Op::And ? (at(left).logical && at(right).logical)
                                         : (at(left).logical || at(right).logical);
            at(left).logical = v;
            return left;
        }
        return chain(op, left, right, pos);
    }

    std::int32_t parseNot() {
        if (tok_.kind != Tok::Not) return parseCompare();
        const std::size_t op = tok_.pos;
        DepthGuard guard(*this, op);
        next();
        const std::int32_t operand = parseNot();
        expectType(operand, XType::Logical, ".NOT.", op);
        return unary(Op::Not, XType::Logical, operand, op);
    }

    static bool comparison(Tok k) {
        return k == Tok::Eq || k == Tok::EqEq || k == Tok::Ne || k == Tok::Lt || k == Tok::Le ||
               k == Tok::Gt || k == Tok::Ge || k == Tok::Dollar;
    }

    std::int32_t parseCompare() {
        std::int32_t left = parseAdd();
        while (comparison(tok_.kind)) {
            const Tok kind = tok_.kind;
            const std::size_t op = tok_.pos;
            next();
            const std::int32_t right = parseAdd();
            const XType lt = typeOf(left);
            const XType rt = typeOf(right);
            if (kind == Tok::Dollar) {
                if (lt != XType::Character || rt != XType::Character)
                    fail(std::string("'$' needs two character values, not ") + typeName(lt) +
                             " and " + typeName(rt),
                         op);
                left = binary(Op::Contains, XType::Logical, left, right, op);
                continue;
            }
            if (lt != rt)
                fail(std::string("cannot compare ") + typeName(lt) + " with " + typeName(rt), op);
            Cmp cmp = Cmp::Equal;
            switch (kind) {
                case Tok::EqEq: cmp = Cmp::Exact; break;
                case Tok::Ne: cmp = Cmp::NotEqual; break;
                case Tok::Lt: cmp = Cmp::Less; break;
                case Tok::Le: cmp = Cmp::LessEqual; break;
                case Tok::Gt: cmp = Cmp::Greater; break;
                case Tok::Ge: cmp = Cmp::GreaterEqual; break;
                default: break;
            }
            if (lt == XType::Logical && cmp != Cmp::Equal && cmp != Cmp::Exact &&
                cmp != Cmp::NotEqual)
                fail("logical values can only be compared for equality", op);
            Node n;
            n.op = Op::Compare;
            n.type = XType::Logical;
            n.cmp = cmp;
            n.a = left;
            n.b = right;
            left = add(std::move(n), op);
        }
        return left;
    }

    std::int32_t parseAdd() {
        std::int32_t left = parseMul();
        while (tok_.kind == Tok::Plus || tok_.kind == Tok::Minus) {
            const bool plus = tok_.kind == Tok::Plus;
            const std::size_t op = tok_.pos;
            next();
            const std::int32_t right = parseMul();
            const XType lt = typeOf(left);
            const XType rt = typeOf(right);
            if (lt == XType::Numeric && rt == XType::Numeric) {
                left = binary(plus ? Op::Add : Op::Sub, XType::Numeric, left, right, op);
            } else if (lt == XType::Character && rt == XType::Character) {
                if (plus) {
                    left = concat(left, right, op);
                } else {
                    const std::int32_t w = widthOf(left) + widthOf(right);
                    if (w > kMaxWidth) fail("character value too long", op);
                    left = binary(Op::ConcatTrim, XType::Character, left, right, op, w, w);
                }
            } else if (lt == XType::Date && rt == XType::Numeric) {
                left = binary(plus ? Op::DateAdd : Op::DateSub, XType::Date, left, right, op);
            } else if (plus && lt == XType::Numeric && rt == XType::Date) {
                left = binary(Op::DateAdd, XType::Date, right, left, op);
            } else if (!plus && lt == XType::Date && rt == XType::Date) {
                left = binary(Op::DateDiff, XType::Numeric, left, right, op);
            } else {
                fail(std::string("cannot ") + (plus ? "add " : "subtract ") + typeName(rt) +
                         (plus ? " to " : " from ") + typeName(lt),
                     op);
            }
        }
        return left;
    }

    std::int32_t parseMul() {
        std::int32_t left = parseUnary();
        while (tok_.kind == Tok::Star || tok_.kind == Tok::Slash) {
            const bool mul = tok_.kind == Tok::Star;
            const std::size_t op = tok_.pos;
            next();
            const std::int32_t right = parseUnary();
            const char* what = mul ? "'*'" : "'/'";
            expectType(left, XType::Numeric, what, op);
            expectType(right, XType::Numeric, what, op);
            left = binary(mul ? Op::Mul : Op::Div, XType::Numeric, left, right, op);
        }
        return left;
    }

    std::int32_t parseUnary() {
        if (tok_.kind != Tok::Minus && tok_.kind != Tok::Plus) return parsePrimary();
        const bool minus = tok_.kind == Tok::Minus;
        const std::size_t op = tok_.pos;
        DepthGuard guard(*this, op);
        next();
        const std::int32_t operand = parseUnary();
        expectType(operand, XType::Numeric, minus ? "unary '-'" : "unary '+'", op);
        return minus ? unary(Op::Neg, XType::Numeric, operand, op) : operand;
    }

    std::int32_t parsePrimary() {
        const Token t = tok_;
        switch (t.kind) {
            case Tok::Number: {
                next();
                Node n;
                n.type = XType::Numeric;
                n.num = t.num;
                return add(std::move(n), t.pos);
            }
            case Tok::String: next(); return literalString(t.text, t.pos);
            case Tok::True:
            case Tok::False: {
                next();
                Node n;
                n.type = XType::Logical;
                n.logical = t.kind == Tok::True;
                return add(std::move(n), t.pos);
            }
            case Tok::LParen: {
                DepthGuard guard(*this, t.pos);
                next();
                const std::int32_t inner = parseOr();
                if (tok_.kind != Tok::RParen)
                    fail("missing ')' to close the '(' at offset " + std::to_string(t.pos),
                         tok_.pos);
                next();
                return inner;
            }
            case Tok::Not: return parseNot();  // "SENT = .NOT. X"
            case Tok::Ident:
                next();
                if (tok_.kind == Tok::LParen) return call(t);
                return field(t);
            case Tok::End: fail("incomplete expression: an operand is missing", t.pos);
            default: fail("expected a value, a field or a function here", t.pos);
        }
    }

    std::string_view src_;
    std::span<const FieldLayout> fields_;
    int referenceYear_;
    std::vector<Node>& nodes_;
    std::size_t pos_ = 0;
    Token tok_;
    int depth_ = 0;
};

// Copies the nodes reachable from `index` into `out`, parents before children, and gives
// every node that writes bytes its own slice of the scratch buffer.
std::int32_t relocate(std::vector<Node>& from, std::int32_t index, std::vector<Node>& out,
                      std::size_t& scratch) {
    Node n = std::move(from[static_cast<std::size_t>(index)]);
    const auto to = static_cast<std::int32_t>(out.size());
    out.emplace_back();
    if (n.need > 0) {
        n.scratch = static_cast<std::int32_t>(scratch);
        scratch += static_cast<std::size_t>(n.need);
        if (scratch > kMaxScratch) throw ExpressionError("expression too complex", 0);
    }
    if (n.a >= 0) n.a = relocate(from, n.a, out, scratch);
    if (n.b >= 0) n.b = relocate(from, n.b, out, scratch);
    for (std::int32_t& k : n.kids) k = relocate(from, k, out, scratch);
    out[static_cast<std::size_t>(to)] = std::move(n);
    return to;
}

// Runs f with a scratch buffer big enough for the expression.
template <class F>
decltype(auto) withEval(const Expression::Impl& im, const std::uint8_t* record, F&& f) {
    if (im.scratchSize <= kStackScratch) {
        char buffer[kStackScratch];
        return f(Eval{im.nodes.data(), record, buffer, im.referenceYear});
    }
    const std::unique_ptr<char[]> buffer(new char[im.scratchSize]);
    return f(Eval{im.nodes.data(), record, buffer.get(), im.referenceYear});
}

const Expression::Impl& checked(const std::unique_ptr<Expression::Impl>& impl) {
    if (!impl) throw ExpressionError("no expression has been compiled", 0);
    return *impl;
}

}  // namespace
}  // namespace xbase_detail

using namespace xbase_detail;

// ---------------------------------------------------------------------------------------------
// Dates

std::int32_t julianFromDate(int year, int month, int day) {
    if (!validDate(year, month, day)) return 0;
    const int a = (14 - month) / 12;
    const int y = year + 4800 - a;
    const int m = month + 12 * a - 3;
    return day + (153 * m + 2) / 5 + 365 * y + y / 4 - y / 100 + y / 400 - 32045;
}

void dateFromJulian(std::int32_t julian, int& year, int& month, int& day) {
    if (julian < kFirstJulian || julian > kLastJulian) {
        year = month = day = 0;
        return;
    }
    const int a = julian + 32044;
    const int b = (4 * a + 3) / 146097;
    const int c = a - 146097 * b / 4;
    const int d = (4 * c + 3) / 1461;
    const int e = c - 1461 * d / 4;
    const int m = (5 * e + 2) / 153;
    day = e - (153 * m + 2) / 5 + 1;
    month = m + 3 - 12 * (m / 10);
    year = 100 * b + d - 4800 + m / 10;
}

std::int32_t julianFromDtos(std::string_view text) {
    if (text.size() != 8) return 0;
    int v[8];
    for (int i = 0; i < 8; ++i) {
        if (!isDigit(text[i])) return 0;
        v[i] = text[i] - '0';
    }
    return julianFromDate(v[0] * 1000 + v[1] * 100 + v[2] * 10 + v[3], v[4] * 10 + v[5],
                          v[6] * 10 + v[7]);
}

void dtosFromJulian(std::int32_t julian, char* out) {
    int y = 0;
    int m = 0;
    int d = 0;
    dateFromJulian(julian, y, m, d);
    if (y == 0) {
        std::memset(out, ' ', 8);
        return;
    }
    const int parts[3][2] = {{y, 4}, {m, 2}, {d, 2}};
    for (const auto& [value, digits] : parts) {
        int v = value;
        for (int i = digits - 1; i >= 0; --i) {
            out[i] = static_cast<char>('0' + v % 10);
            v /= 10;
        }
        out += digits;
    }
}

std::string dtosFromJulian(std::int32_t julian) {
    std::string s(8, ' ');
    dtosFromJulian(julian, s.data());
    return s;
}

std::int32_t julianFromCtod(std::string_view text, int referenceYear) {
    return ctod(text, referenceYear > 0 ? referenceYear : currentYear());
}

void numericKeyBytes(double value, char* out) {
    // -0 and 0 must give one key; NaN never reaches here from the evaluator, but a caller's
    // NaN gets the key of 0 rather than one that sorts beyond infinity.
    if (value == 0 || std::isnan(value)) value = 0.0;
    std::uint64_t bits = 0;
    std::memcpy(&bits, &value, sizeof bits);
    bits = (bits >> 63) ? ~bits : (bits | (std::uint64_t{1} << 63));
    for (int i = 7; i >= 0; --i) {
        out[i] = static_cast<char>(bits & 0xFF);
        bits >>= 8;
    }
}

// ---------------------------------------------------------------------------------------------
// Expression

Expression::Expression() = default;
Expression::~Expression() = default;
Expression::Expression(Expression&&) noexcept = default;
Expression& Expression::operator=(Expression&&) noexcept = default;
Expression::Expression(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}

Expression Expression::compile(std::string_view text, std::span<const FieldLayout> fields,
                               const CompileOptions& options) {
    auto impl = std::make_unique<Impl>();
    impl->text.assign(text);
    impl->referenceYear = options.referenceYear > 0 ? options.referenceYear : currentYear();
    std::vector<Node> parsed;
    Compiler compiler(text, fields, impl->referenceYear, parsed);
    const std::int32_t root = compiler.run();
    impl->nodes.reserve(parsed.size());
    relocate(parsed, root, impl->nodes, impl->scratchSize);
    const Node& top = impl->nodes.front();
    impl->type = top.type;
    switch (top.type) {
        case XType::Character: impl->keyWidth = top.width; break;
        case XType::Numeric:
        case XType::Date: impl->keyWidth = 8; break;
        case XType::Logical: impl->keyWidth = 1; break;
    }
    return Expression(std::move(impl));
}

const std::string& Expression::text() const {
    static const std::string none;
    return impl_ ? impl_->text : none;
}

XType Expression::type() const { return impl_ ? impl_->type : XType::Logical; }

int Expression::keyWidth() const { return impl_ ? impl_->keyWidth : 0; }

XValue Expression::evaluate(const std::uint8_t* record) const {
    const Impl& im = checked(impl_);
    XValue v;
    v.type = im.type;
    withEval(im, record, [&](const Eval& ev) {
        switch (im.type) {
            case XType::Character: v.str.assign(ev.C(0)); break;
            case XType::Numeric: v.num = ev.N(0); break;
            case XType::Date: v.date = ev.D(0); break;
            case XType::Logical: v.logical = ev.L(0); break;
        }
        return 0;
    });
    return v;
}

bool Expression::evaluateLogical(const std::uint8_t* record) const {
    const Impl& im = checked(impl_);
    if (im.type != XType::Logical)
        throw ExpressionError("the expression is not a logical one", 0);
    return withEval(im, record, [](const Eval& ev) { return ev.L(0); });
}

std::string Expression::evaluateKey(const std::uint8_t* record) const {
    std::string key(static_cast<std::size_t>(keyWidth()), ' ');
    evaluateKey(record, key.data());
    return key;
}

void Expression::evaluateKey(const std::uint8_t* record, char* out) const {
    const Impl& im = checked(impl_);
    withEval(im, record, [&](const Eval& ev) {
        switch (im.type) {
            case XType::Character: {
                const std::string_view s = ev.C(0);
                const auto width = static_cast<std::size_t>(im.keyWidth);
                const std::size_t n = std::min(s.size(), width);
                if (n > 0) std::memcpy(out, s.data(), n);
                std::memset(out + n, ' ', width - n);
                break;
            }
            case XType::Numeric: numericKeyBytes(ev.N(0), out); break;
            case XType::Date: numericKeyBytes(static_cast<double>(ev.D(0)), out); break;
            case XType::Logical: out[0] = ev.L(0) ? 'T' : 'F'; break;
        }
        return 0;
    });
}

}  // namespace pellora::store
