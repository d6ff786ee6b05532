#include "store/xbase_expr.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <new>
#include <set>
#include <string>
#include <thread>
#include <vector>

// Counts heap allocations made by this thread while `gCounting` is set, so a test can show
// that evaluation runs without touching the heap.
namespace {
thread_local bool gCounting = false;
thread_local std::size_t gAllocations = 0;

// Out of line, so the compiler does not pair the inlined malloc and free across new and delete.
[[gnu::noinline]] void* allocate(std::size_t size) {
    if (gCounting) ++gAllocations;
    if (void* p = std::malloc(size ? size : 1)) return p;
    throw std::bad_alloc();
}
[[gnu::noinline]] void release(void* p) noexcept { std::free(p); }
}  // namespace

void* operator new(std::size_t size) { return allocate(size); }
void* operator new[](std::size_t size) { return allocate(size); }
void operator delete(void* p) noexcept { release(p); }
void operator delete[](void* p) noexcept { release(p); }
void operator delete(void* p, std::size_t) noexcept { release(p); }
void operator delete[](void* p, std::size_t) noexcept { release(p); }

namespace pellora::store {
namespace {

// The outgoing fax table with a few extra fields for the cases it lacks.
std::vector<FieldLayout> faxFields() {
    return layoutFields({
        {"SUBJECT", 'C', 50, 0},
        {"SENT", 'L', 1, 0},
        {"DATESENT", 'D', 8, 0},
        {"TIMESENT", 'C', 5, 0},
        {"RECIPIENT", 'C', 35, 0},
        {"PHONE", 'C', 25, 0},
        {"PAGES", 'N', 2, 0},
        {"LASTRESULT", 'C', 100, 0},
        {"RTFCOVER", 'M', 10, 0},
        {"RTFDOC", 'M', 10, 0},
        {"AMOUNT", 'N', 10, 2},
        {"FROM", 'C', 20, 0},
    });
}

// A record buffer filled field by field as the table engine would store it.
class Record {
public:
    explicit Record(const std::vector<FieldLayout>& fields) : fields_(fields) {
        std::size_t size = 1;
        for (const auto& f : fields) size = std::max(size, static_cast<std::size_t>(f.offset + f.width));
        bytes_.assign(size, ' ');
    }
    Record& set(const std::string& name, const std::string& value) {
        for (const auto& f : fields_) {
            if (f.name != name) continue;
            const auto width = static_cast<std::size_t>(f.width);
            std::string cell(width, ' ');
            const std::size_t n = std::min(value.size(), width);
            if (f.type == 'N') {
                cell.replace(width - n, n, value.substr(0, n));
            } else {
                cell.replace(0, n, value.substr(0, n));
            }
            std::copy(cell.begin(), cell.end(), bytes_.begin() + f.offset);
            return *this;
        }
        ADD_FAILURE() << "no field " << name;
        return *this;
    }
    Record& deleted(bool on = true) {
        bytes_[0] = on ? '*' : ' ';
        return *this;
    }
    const std::uint8_t* data() const { return bytes_.data(); }

private:
    std::vector<FieldLayout> fields_;
    std::vector<std::uint8_t> bytes_;
};

Expression compile(const std::string& text, int referenceYear = 2026) {
    static const std::vector<FieldLayout> fields = faxFields();
    return Expression::compile(text, fields, CompileOptions{referenceYear});
}

Record sampleRecord() {
    Record r(faxFields());
    r.set("SUBJECT", "Quarterly report")
        .set("SENT", "T")
        .set("DATESENT", "19990115")
        .set("TIMESENT", "14:30")
        .set("RECIPIENT", "J Smith")
        .set("PHONE", "555-0100")
        .set("PAGES", "3")
        .set("AMOUNT", "-12.50")
        .set("FROM", "  FAXSTATION");
    return r;
}

std::string dtos(std::int32_t julian) { return dtosFromJulian(julian); }

std::string pad(const std::string& s, std::size_t width) {
    std::string out = s;
    out.resize(width, ' ');
    return out;
}

std::string numKey(double v) {
    std::string k(8, '\0');
    numericKeyBytes(v, k.data());
    return k;
}

// ---------------------------------------------------------------------------------------------
// Dates

TEST(XbaseDates, KnownJulianDayNumbers) {
    struct Case {
        int y, m, d;
        std::int32_t julian;
    };
    const Case cases[] = {
        {2000, 1, 1, 2451545}, {1970, 1, 1, 2440588}, {1, 1, 1, 1721426},
        {9999, 12, 31, 5373484}, {1999, 1, 15, 2451194}, {1582, 10, 15, 2299161},
        {2000, 2, 29, 2451604},  // leap day of a year divisible by 400
    };
    for (const auto& c : cases) {
        EXPECT_EQ(julianFromDate(c.y, c.m, c.d), c.julian) << c.y << "-" << c.m << "-" << c.d;
        int y = 0, m = 0, d = 0;
        dateFromJulian(c.julian, y, m, d);
        EXPECT_EQ(y * 10000 + m * 100 + d, c.y * 10000 + c.m * 100 + c.d);
    }
    // Not dates: 0.
    const int invalid[][3] = {{1900, 2, 29}, {2001, 2, 29}, {1999, 13, 1}, {1999, 0, 1},
                              {1999, 4, 31}, {0, 1, 1},     {10000, 1, 1}, {1999, 1, 0}};
    for (const auto& v : invalid) EXPECT_EQ(julianFromDate(v[0], v[1], v[2]), 0) << v[0] << v[1] << v[2];
    int y = 9, m = 9, d = 9;
    dateFromJulian(0, y, m, d);
    EXPECT_EQ(y + m + d, 0);
}

TEST(XbaseDates, EveryDayRoundTripsThroughDtos) {
    const std::int32_t first = julianFromDate(1, 1, 1);
    const std::int32_t last = julianFromDate(9999, 12, 31);
    char text[8];
    std::string previous = "00000000";
    for (std::int32_t j = first; j <= last; ++j) {
        dtosFromJulian(j, text);
        const std::string s(text, 8);
        ASSERT_EQ(julianFromDtos(s), j) << s;
        ASSERT_LT(previous, s);  // the text sorts like the day number
        previous = s;
    }
    EXPECT_EQ(dtosFromJulian(0), "        ");
    EXPECT_EQ(dtosFromJulian(first - 1), "        ");
    EXPECT_EQ(dtosFromJulian(last + 1), "        ");
    EXPECT_EQ(dtosFromJulian(-5), "        ");
}

TEST(XbaseDates, DtosTextThatIsNoDate) {
    for (const char* text : {"        ", "1999011", "199901150", "19990230", "1999-1-1",
                             "00000101", "1999 115", "abcdefgh", ""}) {
        EXPECT_EQ(julianFromDtos(text), 0) << '"' << text << '"';
    }
}

TEST(XbaseDates, CtodReadsMonthDayYear) {
    struct Case {
        const char* text;
        int referenceYear;
        const char* dtos;
    };
    const Case cases[] = {
        // Two-digit years: the century that puts them in [reference - 80, reference + 19].
        {"01/15/99", 2026, "19990115"},
        {"01/15/99", 1999, "19990115"},
        {"01/15/00", 1999, "20000115"},
        {"01/15/00", 2026, "20000115"},
        {"03/01/26", 2026, "20260301"},
        {"12/31/45", 2026, "20451231"},  // reference + 19
        {"01/01/46", 2026, "19460101"},  // reference - 80
        {"01/01/19", 2000, "20190101"},
        {"01/01/20", 2000, "19200101"},
        {"06/30/50", 2040, "20500630"},
        {"06/30/50", 2026, "19500630"},
        {"1/5/7", 2026, "20070105"},
        // Any non-digit separator, four-digit years as written.
        {"01.15.1999", 2026, "19990115"},
        {"1-5-2026", 2026, "20260105"},
        {"01/15/2099", 2026, "20990115"},
        {"01/15/1850", 2026, "18500115"},
        {"01 15 99", 2026, "19990115"},
        {" 1/5/26 ", 2026, "20260105"},
        {"02/29/00", 2026, "20000229"},
        // Not dates.
        {"02/29/01", 2026, "        "},
        {"13/40/99", 2026, "        "},
        {"00/10/99", 2026, "        "},
        {"", 2026, "        "},
        {"  /  /  ", 2026, "        "},
        {"garbage", 2026, "        "},
        {"01/15", 2026, "        "},
        {"01/15/99/01", 2026, "        "},
        {"01/15/99x", 2026, "        "},
        {"01/15/12345", 2026, "        "},
        {"01/15/0000", 2026, "        "},
        {"20260105", 2026, "        "},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(dtos(julianFromCtod(c.text, c.referenceYear)), c.dtos)
            << '"' << c.text << "\" reference " << c.referenceYear;
    }
}

TEST(XbaseDates, CtodWithoutReferenceYearUsesThisYear) {
    using namespace std::chrono;
    const int year = static_cast<int>(year_month_day{floor<days>(system_clock::now())}.year());
    const std::string yy = std::to_string(year % 100 + 100).substr(1);
    EXPECT_EQ(julianFromCtod("03/01/" + yy, 0), julianFromDate(year, 3, 1));
    EXPECT_EQ(julianFromCtod("01/15/99", 0), julianFromCtod("01/15/99", year));
    // An expression compiled without a reference year does the same.
    static const std::vector<FieldLayout> fields = faxFields();
    const auto e = Expression::compile("CTOD(\"03/01/" + yy + "\")", fields);
    EXPECT_EQ(e.evaluate(sampleRecord().data()).date, julianFromDate(year, 3, 1));
}

// ---------------------------------------------------------------------------------------------
// Evaluation

TEST(XbaseExpr, LogicalResults) {
    const Record r = sampleRecord();
    struct Case {
        const char* text;
        bool expected;
    };
    const Case cases[] = {
        // Literals, fields, not/and/or and their precedence.
        {"SENT", true},
        {".not. SENT", false},
        {"!SENT", false},
        {".NOT..NOT.SENT", true},
        {".T.", true},
        {".f.", false},
        {".Y.", true},
        {".n.", false},
        {".true.", true},
        {".FALSE.", false},
        {".T. .and. .F.", false},
        {".T. .OR. .F.", true},
        {".F. .or. SENT .and. .F.", false},
        {"(.F. .or. SENT) .AnD. .T.", true},
        {".T. .or. .T. .and. .F.", true},
        {".not. .T. .and. .F.", false},
        {".not. (.T. .and. .F.)", true},
        {".not. PAGES = 4", true},  // .NOT. is looser than the comparison
        {"SENT .and. .not. deleted()", true},
        {"deleted()", false},
        {"DELE()", false},  // four-letter abbreviation
        // EMPTY() for every type.
        {"EMPTY(DATESENT)", false},
        {"EMPTY(LASTRESULT)", true},
        {"EMPTY(SUBJECT)", false},
        {"EMPTY(PAGES)", false},
        {"EMPTY(0)", true},
        {"EMPTY(.F.)", true},
        {"EMPTY(SENT)", false},
        {"EMPTY('  ')", true},
        {"EMPTY(CTOD(''))", true},
        // Character comparison: = is "begins with", == is exact, <> is not =.
        {"RECIPIENT = \"J Sm\"", true},
        {"RECIPIENT = \"J Smith\"", true},
        {"RECIPIENT = \"J Smithers\"", false},
        {"RECIPIENT = \"\"", true},
        {"\"J\" = RECIPIENT", false},
        {"RECIPIENT == \"J Smith\"", false},  // trailing blanks count
        {"TRIM(RECIPIENT) == \"J Smith\"", true},
        {"\"abc\" == \"abc \"", false},
        {"RECIPIENT <> \"J Sm\"", false},
        {"RECIPIENT # \"X\"", true},
        {"RECIPIENT != \"X\"", true},
        {"\"abc\" < \"abd\"", true},
        {"\"abc\" < \"abc  \"", false},
        {"\"abc\" <= \"abc  \"", true},
        {"\"abc  \" >= \"abc\"", true},
        {"\"ab\" < \"ab!\"", true},
        {"\"\xE9\" > \"z\"", true},  // bytes compare unsigned
        {"\"b\" > \"abc\"", true},
        // Substring.
        {"\"SMITH\" $ UPPER(RECIPIENT)", true},
        {"\"Smith\" $ RECIPIENT", true},
        {"\"smith\" $ RECIPIENT", false},
        {"\"\" $ \"x\"", true},
        {"\"x\" $ \"\"", false},
        // Numbers.
        {"PAGES = 3", true},
        {"PAGES == 3", true},
        {"PAGES <> 3", false},
        {"PAGES > 2.5", true},
        {"AMOUNT < 0", true},
        {"AMOUNT = -12.5", true},
        {"1 + 2 * 3 = 7", true},
        {"(1 + 2) * 3 = 9", true},
        {"-2 * 3 = -6", true},
        {"- -3 = 3", true},
        {"+3 = 3", true},
        {"2 - 3 - 4 = -5", true},
        {"12 / 2 / 3 = 2", true},
        {"7 / 2 = 3.5", true},
        {"5 / 0 = 0", true},
        {"1. + .5 = 1.5", true},
        {"PAGES * 2 >= 6", true},
        // Dates.
        {"DATESENT = CTOD(\"01/15/99\")", true},
        {"DATESENT < CTOD(\"01/16/99\")", true},
        {"DATESENT > CTOD(\"\")", true},
        {"DATESENT + 1 = CTOD(\"01/16/1999\")", true},
        {"17 + DATESENT = CTOD(\"02/01/1999\")", true},
        {"DATESENT - 15 = CTOD(\"12/31/98\")", true},
        {"DATESENT - CTOD(\"01/01/99\") = 14", true},
        {"CTOD(\"\") < CTOD(\"01/01/0001\")", true},
        // Logicals.
        {"SENT = .T.", true},
        {"SENT == .F.", false},
        {"SENT <> .F.", true},
        {"SENT = .NOT. .F.", true},
        // Names in any case.
        {"upper(recipient) = \"J SMITH\"", true},
        {"Dtos(DateSent) = \"19990115\"", true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        const Expression e = compile(c.text);
        ASSERT_EQ(e.type(), XType::Logical);
        EXPECT_EQ(e.evaluateLogical(r.data()), c.expected);
        EXPECT_EQ(e.evaluate(r.data()).logical, c.expected);
        EXPECT_EQ(e.evaluateKey(r.data()), c.expected ? "T" : "F");
    }
}

TEST(XbaseExpr, CharacterResultsAndKeyWidths) {
    const Record r = sampleRecord();
    struct Case {
        const char* text;
        std::string value;  // what evaluate() gives
        int keyWidth;
    };
    const Case cases[] = {
        {"RECIPIENT", pad("J Smith", 35), 35},
        {"UPPER(RECIPIENT)", pad("J SMITH", 35), 35},
        {"LOWER(\"AbC\")", "abc", 3},
        {"UPPER(\"\xE9t\xE9 \xFF \x9A\xF7\")", "\xC9T\xC9 \x9F \x8A\xF7", 8},  // Windows-1252
        {"LOWER(\"\xC9\xD7\x8C\")", "\xE9\xD7\x9C", 3},
        {"ALLTRIM(FROM)", "FAXSTATION", 20},
        {"LTRIM(FROM)", pad("FAXSTATION", 18), 20},
        {"TRIM(FROM)", "  FAXSTATION", 20},
        {"RTRIM(FROM)", "  FAXSTATION", 20},
        {"ALLT(UPPE(FROM))", "FAXSTATION", 20},
        {"ALLTRIM(\"  ab  \")", "ab", 6},  // folded, but the width stays
        {"DTOS(DATESENT)+TIMESENT", "1999011514:30", 13},
        {"DTOS(DATESENT + 17)", "19990201", 8},
        {"DTOS(CTOD(\"\"))", "        ", 8},
        {"\"a\" + \"b\" + 'c' + [d]", "abcd", 4},
        {"\"x\" + (RECIPIENT + (\"y\" + \"z\"))", "x" + pad("J Smith", 35) + "yz", 38},
        {"TRIM(RECIPIENT) + \"|\"", "J Smith|", 36},
        {"\"ab  \" - \"cd\"", "abcd  ", 6},
        {"STR(PAGES)", "         3", 10},
        {"STR(AMOUNT, 8, 2)", "  -12.50", 8},
        {"STR(2.5, 3)", "  3", 3},
        {"STR(-2.5, 3)", " -3", 3},
        {"STR(123.456, 5, 2)", "123.5", 5},
        {"STR(123456, 3)", "***", 3},
        {"STR(-0.001, 5, 2)", " 0.00", 5},
        {"STR(99999999999999999999, 5)", "*****", 5},
        {"STR(PAGES, 3) + \"x\"", "  3x", 4},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        const Expression e = compile(c.text);
        ASSERT_EQ(e.type(), XType::Character);
        EXPECT_EQ(e.keyWidth(), c.keyWidth);
        const XValue v = e.evaluate(r.data());
        EXPECT_EQ(v.type, XType::Character);
        EXPECT_EQ(v.str, c.value);
        EXPECT_EQ(e.evaluateKey(r.data()), pad(c.value, static_cast<std::size_t>(c.keyWidth)));
    }
}

TEST(XbaseExpr, NumericAndDateResults) {
    Record blank(faxFields());
    const Record r = sampleRecord();
    struct Case {
        const char* text;
        const Record* record;
        XType type;
        double value;  // number, or Julian day
    };
    const Case cases[] = {
        {"PAGES", &r, XType::Numeric, 3},
        {"AMOUNT", &r, XType::Numeric, -12.5},
        {"AMOUNT", &blank, XType::Numeric, 0},
        {"PAGES * 10 + AMOUNT", &r, XType::Numeric, 17.5},
        {"VAL(\"  12.5xyz\")", &r, XType::Numeric, 12.5},
        {"VAL(\"-3\")", &r, XType::Numeric, -3},
        {"VAL(\" +4\")", &r, XType::Numeric, 4},
        {"VAL(\"abc\")", &r, XType::Numeric, 0},
        {"VAL(TIMESENT)", &r, XType::Numeric, 14},
        {"DATESENT - CTOD(\"\")", &r, XType::Numeric, 0},
        {"DATESENT", &r, XType::Date, static_cast<double>(julianFromDate(1999, 1, 15))},
        {"DATESENT", &blank, XType::Date, 0},
        {"datesent", &r, XType::Date, static_cast<double>(julianFromDate(1999, 1, 15))},
        {"DATESENT + 1", &blank, XType::Date, 0},  // the empty date stays empty
        {"DATESENT - 730000", &r, XType::Date, 0},  // before year 1: empty
        {"CTOD(\"02/29/2000\")", &r, XType::Date, static_cast<double>(julianFromDate(2000, 2, 29))},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        const Expression e = compile(c.text);
        ASSERT_EQ(e.type(), c.type);
        EXPECT_EQ(e.keyWidth(), 8);
        const XValue v = e.evaluate(c.record->data());
        EXPECT_EQ(v.type, c.type);
        EXPECT_EQ(c.type == XType::Numeric ? v.num : v.date, c.value);
        EXPECT_EQ(e.evaluateKey(c.record->data()), numKey(c.value));
    }
}

TEST(XbaseExpr, CtodOfAFieldUsesTheReferenceYear) {
    Record r(faxFields());
    r.set("SUBJECT", "06/30/50");
    EXPECT_EQ(compile("CTOD(SUBJECT)", 2026).evaluate(r.data()).date, julianFromDate(1950, 6, 30));
    EXPECT_EQ(compile("CTOD(SUBJECT)", 2040).evaluate(r.data()).date, julianFromDate(2050, 6, 30));
    r.set("SUBJECT", "junk");
    EXPECT_EQ(compile("CTOD(SUBJECT)").evaluate(r.data()).date, 0);
}

TEST(XbaseExpr, LogicalFieldBytes) {
    const Expression e = compile("SENT");
    for (const char* yes : {"T", "t", "Y", "y"}) {
        Record r(faxFields());
        r.set("SENT", yes);
        EXPECT_TRUE(e.evaluateLogical(r.data())) << yes;
    }
    for (const char* no : {"F", "f", "N", "n", " ", "?"}) {
        Record r(faxFields());
        r.set("SENT", no);
        EXPECT_FALSE(e.evaluateLogical(r.data())) << no;
    }
}

// ---------------------------------------------------------------------------------------------
// Keys sort like their values

TEST(XbaseKeys, NumericKeyBytesSortLikeNumbers) {
    const double values[] = {-1e308, -1e6, -12.5, -1, -0.01, -1e-300, 0,
                             1e-300, 0.01,  1,     3,  12.5,  1e6,     1e308};
    for (std::size_t i = 0; i < std::size(values); ++i) {
        for (std::size_t j = 0; j < std::size(values); ++j) {
            const int c = std::memcmp(numKey(values[i]).data(), numKey(values[j]).data(), 8);
            EXPECT_EQ(c < 0, i < j) << values[i] << " vs " << values[j];
            EXPECT_EQ(c == 0, i == j) << values[i] << " vs " << values[j];
        }
    }
    EXPECT_EQ(numKey(-0.0), numKey(0.0));
}

std::vector<std::string> keysOf(const Expression& e, const std::vector<Record>& records) {
    std::vector<std::string> keys;
    for (const auto& r : records) {
        std::string k(static_cast<std::size_t>(e.keyWidth()), '\0');
        e.evaluateKey(r.data(), k.data());
        keys.push_back(k);
    }
    return keys;
}

TEST(XbaseKeys, KeysOfRecordsInTheirIntendedOrder) {
    // Each list is in ascending order; its keys must be strictly ascending under memcmp.
    const auto fields = faxFields();
    auto rec = [&](const char* date, const char* time, const char* amount, const char* name) {
        Record r(fields);
        r.set("DATESENT", date).set("TIMESENT", time).set("AMOUNT", amount).set("RECIPIENT", name);
        return r;
    };
    struct Case {
        const char* text;
        std::vector<Record> ascending;
    };
    const Case cases[] = {
        {"DATESENT",
         {rec("", "", "", ""), rec("00010101", "", "", ""), rec("18991231", "", "", ""),
          rec("19991231", "", "", ""), rec("20000101", "", "", ""), rec("20260105", "", "", "")}},
        {"DTOS(DATESENT)+TIMESENT",
         {rec("", "", "", ""), rec("19990115", "09:00", "", ""), rec("19990115", "14:30", "", ""),
          rec("20000101", "08:00", "", "")}},
        {"AMOUNT",
         {rec("", "", "-999999.99", ""), rec("", "", "-12.50", ""), rec("", "", "-0.01", ""),
          rec("", "", "", ""), rec("", "", "0.01", ""), rec("", "", "3", ""),
          rec("", "", "12.50", ""), rec("", "", "9999999.99", "")}},
        {"UPPER(RECIPIENT)",
         {rec("", "", "", ""), rec("", "", "", "adams"), rec("", "", "", "Baker"),
          rec("", "", "", "baker jr"), rec("", "", "", "SMITH")}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        const auto keys = keysOf(compile(c.text), c.ascending);
        for (std::size_t i = 1; i < keys.size(); ++i) {
            EXPECT_LT(std::memcmp(keys[i - 1].data(), keys[i].data(), keys[i].size()), 0)
                << "entry " << i;
        }
    }
}

// ---------------------------------------------------------------------------------------------
// The data manager's conditions over a set of faxes

TEST(XbaseExpr, CleanupConditionsSelectTheRightFaxes) {
    const auto fields = faxFields();
    std::vector<Record> faxes;
    auto add = [&](const char* date, const char* recipient, bool sent, bool deleted) {
        Record r(fields);
        r.set("DATESENT", date).set("RECIPIENT", recipient).set("SENT", sent ? "T" : "F");
        r.set("FROM", recipient);
        r.deleted(deleted);
        faxes.push_back(r);
    };
    add("19990114", "J SMITH", true, false);    // 0
    add("19990115", "Smithers", true, false);   // 1
    add("", "  Smith  ", false, false);         // 2
    add("19981231", "Jones", true, true);       // 3
    add("20000301", "smith", true, false);      // 4
    add("20000229", "Smith & Co", true, false); // 5

    struct Case {
        const char* text;
        std::set<int> matches;
    };
    const Case cases[] = {
        {"(DATESENT<CTOD(\"01/15/99\")) .and. (.not. EMPTY(DATESENT))", {0, 3}},
        {"(DATESENT<CTOD(\"03/01/00\")) .and. (.not. EMPTY(DATESENT))", {0, 1, 3, 5}},
        {"(DATESENT<CTOD(\"03.01.00\")) .and. (.not. EMPTY(DATESENT))", {0, 1, 3, 5}},
        {"(DATEREC<CTOD(\"03-01-00\")) .and. (.not. EMPTY(DATEREC))", {0, 1, 3, 5}},
        {".not. EMPTY(DATESENT)", {0, 1, 3, 4, 5}},
        {"EMPTY(DATESENT)", {2}},
        {"\"SMITH\"$ALLTRIM(UPPER(RECIPIENT))", {0, 1, 2, 4, 5}},
        {"\"SMITH\"$ALLTRIM(UPPER(FROM))", {0, 1, 2, 4, 5}},
        {"ALLTRIM(UPPER(RECIPIENT))==\"SMITH\"", {2, 4}},
        {"ALLTRIM(UPPER(RECIPIENT))==\"J SMITH\"", {0}},
        {".true.", {0, 1, 2, 3, 4, 5}},
        {".not. deleted()", {0, 1, 2, 4, 5}},
        {"SENT", {0, 1, 3, 4, 5}},
        {".not. SENT", {2}},
    };
    // DATEREC, the received table's date field, reads the same bytes as DATESENT here.
    auto received = fields;
    for (const auto& f : fields) {
        if (f.name == "DATESENT") received.push_back({"DATEREC", 'D', 8, 0, f.offset});
    }
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        const Expression e = Expression::compile(c.text, received, CompileOptions{2026});
        std::set<int> got;
        for (std::size_t i = 0; i < faxes.size(); ++i) {
            if (e.evaluateLogical(faxes[i].data())) got.insert(static_cast<int>(i));
        }
        EXPECT_EQ(got, c.matches);
    }
}

// ---------------------------------------------------------------------------------------------
// Errors

TEST(XbaseExpr, MalformedExpressionsReportWhere) {
    struct Case {
        std::string text;
        std::size_t position;
        const char* message;  // a fragment of the message
    };
    const Case cases[] = {
        {"", 0, "empty"},
        {"   ", 0, "empty"},
        {"\"abc", 0, "unterminated"},
        {"RECIPIENT = 'x", 12, "unterminated"},
        {"[abc", 0, "unterminated"},
        {"(SENT", 5, "missing ')'"},
        {"((SENT)", 7, "missing ')'"},
        {"SENT)", 4, "')'"},
        {"SENT .and.", 10, "operand"},
        {"1 +", 3, "operand"},
        {"SENT .and. ()", 12, "expected a value"},
        {"SENT SENT", 5, "unexpected text"},
        {"NOSUCH", 0, "unknown field"},
        {"  NOSUCH(1)", 2, "unknown function"},
        {"RECNO()", 0, "unknown function"},
        {"RECIPIENT = 5", 10, "cannot compare"},
        {"DATESENT = \"19990115\"", 9, "cannot compare"},
        {"UPPER(PAGES)", 6, "UPPER"},
        {"DTOS(RECIPIENT)", 5, "DTOS"},
        {"CTOD(DATESENT)", 5, "CTOD"},
        {"RTFDOC = \"x\"", 0, "memo"},
        {"EMPTY(RTFCOVER)", 6, "memo"},
        {"SENT + 1", 5, "cannot add"},
        {"\"a\" - 1", 4, "cannot subtract"},
        {"\"a\" * 2", 4, "'*'"},
        {"SENT < .F.", 5, "logical"},
        {".not. PAGES", 0, ".NOT."},
        {"PAGES .and. SENT", 6, ".AND."},
        {"SENT .or. PAGES", 5, ".OR."},
        {"5 $ \"x\"", 2, "'$'"},
        {"-SENT", 0, "unary"},
        {".maybe.", 0, "unknown operator"},
        {"SENT .and", 5, "'.'"},
        {"X->SUBJECT", 1, "aliases"},
        {"UPPER()", 6, "needs 1"},
        {"UPPER(SUBJECT, SUBJECT)", 15, "at most"},
        {"DELETED(1)", 8, "at most"},
        {"UPPER(SUBJECT", 13, "missing ')'"},
        {"STR(PAGES, PAGES)", 11, "constant"},
        {"STR(PAGES, 0)", 11, "between"},
        {"STR(PAGES, 5, 30)", 14, "between"},
        {"@", 0, "unexpected character"},
        {"SENT\x01", 4, "unexpected character"},
        {std::string(400, '9'), 0, "number"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        try {
            compile(c.text);
            ADD_FAILURE() << "compiled";
        } catch (const ExpressionError& e) {
            EXPECT_EQ(e.position(), c.position) << e.what();
            EXPECT_NE(std::string(e.what()).find(c.message), std::string::npos) << e.what();
        }
    }
}

TEST(XbaseExpr, NestingAndLengthAreBounded) {
    auto repeat = [](const std::string& s, int n) {
        std::string out;
        for (int i = 0; i < n; ++i) out += s;
        return out;
    };
    auto errorAt = [](const std::string& text) -> std::ptrdiff_t {
        try {
            compile(text);
        } catch (const ExpressionError& e) {
            EXPECT_LE(e.position(), text.size());
            return static_cast<std::ptrdiff_t>(e.position());
        }
        return -1;
    };
    // Deep nesting of any kind fails where it becomes too deep.
    EXPECT_EQ(errorAt(repeat("(", 10000) + "SENT" + repeat(")", 10000)), 200);
    EXPECT_EQ(errorAt(repeat(".not. ", 10000) + "SENT"), 200 * 6);
    EXPECT_EQ(errorAt(repeat("-", 10000) + "1"), 200);
    EXPECT_EQ(errorAt(repeat("UPPER(", 10000) + "SUBJECT" + repeat(")", 10000)), 200 * 6);
    EXPECT_GE(errorAt(repeat("PAGES+", 1000) + "PAGES"), 0);
    EXPECT_GE(errorAt("(" + repeat("\"\"+(", 10000)), 0);
    // Moderate nesting is fine.
    EXPECT_TRUE(compile(repeat("(", 150) + "SENT" + repeat(")", 150))
                    .evaluateLogical(sampleRecord().data()));
    // Long flat chains need no depth.
    EXPECT_TRUE(compile("SENT" + repeat(" .and. SENT", 20000)).evaluateLogical(sampleRecord().data()));
    EXPECT_FALSE(compile(repeat("SENT = .F. .or. ", 20000) + ".F.")
                     .evaluateLogical(sampleRecord().data()));
    EXPECT_EQ(compile("1" + repeat("+1", 20000)).evaluate(nullptr).num, 20001);
    EXPECT_EQ(compile("\"a\"" + repeat("+\"a\"", 20000)).keyWidth(), 20001);
    // Character values have a ceiling.
    EXPECT_EQ(compile("LASTRESULT" + repeat("+LASTRESULT", 654)).keyWidth(), 65500);
    EXPECT_GE(errorAt("LASTRESULT" + repeat("+LASTRESULT", 655)), 0);
    EXPECT_EQ(errorAt("\"" + std::string(70000, 'x') + "\""), 0);
}

// ---------------------------------------------------------------------------------------------
// The object itself

TEST(XbaseExpr, ObjectBasics) {
    Expression none;
    EXPECT_FALSE(none.valid());
    EXPECT_EQ(none.text(), "");
    EXPECT_EQ(none.keyWidth(), 0);
    EXPECT_THROW(none.evaluate(sampleRecord().data()), ExpressionError);
    EXPECT_THROW(none.evaluateLogical(sampleRecord().data()), ExpressionError);

    Expression e = compile("UPPER(RECIPIENT)");
    EXPECT_TRUE(e.valid());
    EXPECT_EQ(e.text(), "UPPER(RECIPIENT)");
    EXPECT_THROW(e.evaluateLogical(sampleRecord().data()), ExpressionError);  // not logical
    Expression moved = std::move(e);
    EXPECT_TRUE(moved.valid());
    EXPECT_EQ(moved.evaluate(sampleRecord().data()).str, pad("J SMITH", 35));
    none = std::move(moved);
    EXPECT_EQ(none.keyWidth(), 35);
}

TEST(XbaseExpr, EvaluationDoesNotAllocate) {
    const char* texts[] = {
        ".not. deleted()",
        "DTOS(DATESENT)+TIMESENT",
        "UPPER(RECIPIENT)",
        "EMPTY(DATESENT)",
        "(DATESENT<CTOD(\"01/15/99\")) .and. (.not. EMPTY(DATESENT))",
        "ALLTRIM(UPPER(RECIPIENT))==\"SMITH\"",
        "\"SMITH\"$ALLTRIM(UPPER(RECIPIENT))",
        "SENT",
        ".not. SENT",
        "DATESENT",
        "PAGES * 2 + AMOUNT",
        "STR(AMOUNT, 10, 2) + LOWER(SUBJECT)",
    };
    Record other(faxFields());
    other.set("RECIPIENT", "smith").deleted();
    const Record records[] = {sampleRecord(), other};
    for (const char* text : texts) {
        SCOPED_TRACE(text);
        const Expression e = compile(text);
        std::vector<char> key(static_cast<std::size_t>(e.keyWidth()));
        gAllocations = 0;
        gCounting = true;
        for (const auto& r : records) {
            if (e.type() == XType::Logical) (void)e.evaluateLogical(r.data());
            e.evaluateKey(r.data(), key.data());
        }
        gCounting = false;
        EXPECT_EQ(gAllocations, 0u);
    }
    // The counter does see allocations: a Character value handed out as a string needs one.
    const Expression e = compile("UPPER(RECIPIENT)");
    gAllocations = 0;
    gCounting = true;
    const XValue v = e.evaluate(records[0].data());
    gCounting = false;
    EXPECT_GT(gAllocations, 0u);
}

TEST(XbaseExpr, ThreadsShareOneCompiledExpression) {
    const auto fields = faxFields();
    std::vector<Record> records;
    for (int i = 0; i < 64; ++i) {
        Record r(fields);
        r.set("RECIPIENT", i % 3 ? "j smith " + std::to_string(i) : "Jones");
        r.set("DATESENT", "1999" + std::string(i % 2 ? "01" : "02") + "1" + std::to_string(i % 10));
        r.set("TIMESENT", "1" + std::to_string(i % 10) + ":00");
        records.push_back(r);
    }
    const Expression key = compile("UPPER(RECIPIENT)+DTOS(DATESENT)+TIMESENT");
    const Expression cond = compile("\"SMITH\"$ALLTRIM(UPPER(RECIPIENT)) .and. DATESENT < CTOD(\"02/01/99\")");
    std::vector<std::string> expectedKeys;
    std::vector<bool> expectedCond;
    for (const auto& r : records) {
        expectedKeys.push_back(key.evaluateKey(r.data()));
        expectedCond.push_back(cond.evaluateLogical(r.data()));
    }
    std::atomic<int> mismatches{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            std::string k(static_cast<std::size_t>(key.keyWidth()), ' ');
            for (int round = 0; round < 2000; ++round) {
                const std::size_t i = static_cast<std::size_t>((round * 7 + t * 13) % 64);
                key.evaluateKey(records[i].data(), k.data());
                if (k != expectedKeys[i]) ++mismatches;
                if (cond.evaluateLogical(records[i].data()) != expectedCond[i]) ++mismatches;
            }
        });
    }
    for (auto& th : threads) th.join();
    EXPECT_EQ(mismatches.load(), 0);
}

}  // namespace
}  // namespace pellora::store
