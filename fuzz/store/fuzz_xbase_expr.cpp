// Fuzzes the xBase expression compiler and evaluator: the input is the expression text.
// Compiling must either succeed or throw ExpressionError with a position inside the text;
// a compiled expression is then evaluated on fixed records and on one made of the input
// bytes, and its key must fill exactly keyWidth() bytes and agree with evaluate().
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "store/xbase_expr.h"

using namespace pellora::store;

namespace {

const std::vector<FieldLayout>& fields() {
    static const std::vector<FieldLayout> f = layoutFields({
        {"SUBJECT", 'C', 50, 0},  {"SENT", 'L', 1, 0},      {"DATESENT", 'D', 8, 0},
        {"TIMESENT", 'C', 5, 0},  {"RECIPIENT", 'C', 35, 0}, {"PHONE", 'C', 25, 0},
        {"PAGES", 'N', 2, 0},     {"LASTRESULT", 'C', 100, 0}, {"RTFCOVER", 'M', 10, 0},
        {"AMOUNT", 'N', 10, 2},   {"FROM", 'C', 20, 0},
    });
    return f;
}

std::size_t recordSize() {
    const auto& last = fields().back();
    return static_cast<std::size_t>(last.offset + last.width);
}

std::vector<std::uint8_t> filled(std::string_view text) {
    std::vector<std::uint8_t> r(recordSize(), ' ');
    for (const auto& f : fields()) {
        const std::string_view v = f.name == "SUBJECT"    ? "Quarterly report"
                                   : f.name == "SENT"     ? "T"
                                   : f.name == "DATESENT" ? "19990115"
                                   : f.name == "TIMESENT" ? "14:30"
                                   : f.name == "RECIPIENT" ? "J Smith"
                                   : f.name == "PAGES"    ? " 3"
                                   : f.name == "AMOUNT"   ? "    -12.50"
                                   : f.name == "FROM"     ? "  01/15/00"
                                                          : "";
        std::memcpy(r.data() + f.offset, v.data(), v.size());
    }
    if (!text.empty()) {  // the input's own bytes as field contents, deletion flag included
        for (std::size_t i = 0; i < r.size(); ++i)
            r[i] = static_cast<std::uint8_t>(text[(i * 7) % text.size()]);
    }
    return r;
}

void check(bool ok) {
    if (!ok) std::abort();
}

void exercise(const Expression& e, const std::uint8_t* record) {
    const XValue v = e.evaluate(record);
    check(v.type == e.type());
    const auto width = static_cast<std::size_t>(e.keyWidth());
    std::string key(width + 16, '\x5A');
    e.evaluateKey(record, key.data() + 8);
    for (std::size_t i = 0; i < 8; ++i) check(key[i] == '\x5A' && key[width + 8 + i] == '\x5A');
    check(key.substr(8, width) == e.evaluateKey(record));
    switch (e.type()) {
        case XType::Logical:
            check(width == 1 && e.evaluateLogical(record) == v.logical);
            check(key[8] == (v.logical ? 'T' : 'F'));
            break;
        case XType::Character: check(v.str.size() <= width); break;
        case XType::Numeric:
        case XType::Date: check(width == 8); break;
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    Expression e;
    try {
        e = Expression::compile(text, fields(), CompileOptions{1999});
    } catch (const ExpressionError& error) {
        check(error.position() <= size);
        return 0;
    }
    check(e.valid() && e.text() == text);
    const auto sample = filled({});
    auto deleted = sample;
    deleted[0] = '*';
    const std::vector<std::uint8_t> blank(recordSize(), ' ');
    const auto noisy = filled(text);
    exercise(e, sample.data());
    exercise(e, deleted.data());
    exercise(e, blank.data());
    exercise(e, noisy.data());
    return 0;
}
