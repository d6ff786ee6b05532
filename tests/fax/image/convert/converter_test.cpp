// The converter as a component: properties, output naming, text input with the built-in
// fonts and with a system font, page breaking, status, abort and failure codes.
#include <gtest/gtest.h>

#include <filesystem>

#include "fax/image/convert/convert_util.h"
#include "fax/image/convert/fax_converter.h"
#include "fax/image/convert/fax_font.h"
#include "fax/image/convert/text_input.h"
#include "core_iface/message_pump.h"

namespace pellora::fax::test {
namespace {

namespace fs = std::filesystem;

void writeText(const std::string& name, const std::string& text) {
    writeFile(name, std::vector<uint8_t>(text.begin(), text.end()));
}

// Converts `text` as idText with the settings of `setup`, answering the code and the pages.
struct Run {
    int rc = 0;
    std::vector<ConvertedPage> pages;
};

template <class Setup>
Run convertText(const TempDir& dir, const std::string& text, Setup setup) {
    const std::string in = dir.file("doc.txt");
    writeText(in, text);
    TFaxConverter c;
    c.InputDocumentType = idText;
    c.SetDocumentFile(in);
    setup(c);
    Run r;
    r.rc = c.Convert();
    if (r.rc == 0) r.pages = readPages(c.OutputName());
    return r;
}

Run convertText(const TempDir& dir, const std::string& text) {
    return convertText(dir, text, [](TFaxConverter&) {});
}

// The rows a converted text page holds, for comparing pages made from different files.
std::vector<Line> rowsOf(const Run& r, std::size_t page) {
    return page < r.pages.size() ? r.pages[page].lines : std::vector<Line>{};
}

TEST(FaxConverter, DefaultsAreThoseOfANewComponent) {
    TFaxConverter c;
    EXPECT_EQ(c.InputDocumentType, idNone);
    EXPECT_EQ(c.Options(), 13u);
    EXPECT_EQ(c.Options(), unsigned(coDoubleWidth | coCenterImage | coYield));
    EXPECT_EQ(c.Resolution, frNormal);
    EXPECT_EQ(c.Width, fwNormal);
    EXPECT_EQ(c.TopMargin, 0u);
    EXPECT_EQ(c.LeftMargin, 50u);
    EXPECT_EQ(c.LinesPerPage, 60u);
    EXPECT_EQ(c.TabStop, 4u);
    EXPECT_EQ(c.FontType, ffStandard);
    EXPECT_EQ(c.FontFile, "FAXFONT.FNT");
    EXPECT_EQ(c.DocumentFile(), "");
    EXPECT_EQ(c.OutFileName, "");
    EXPECT_EQ(c.DefUserExtension, "");
    EXPECT_EQ(c.StationID, "");
    EXPECT_EQ(c.EnhFont(), TFont{});
    EXPECT_EQ(c.ComponentVersion(), "v1.00");
    c.SetComponentVersion("v9");
    EXPECT_EQ(c.ComponentVersion(), "v1.00");
}

TEST(FaxConverter, YieldOftenBringsYield) {
    struct Case {
        unsigned set, expect;
    } cases[] = {
        {coYieldOften, coYieldOften | coYield},
        {coYieldOften | coYield, coYieldOften | coYield},
        {coHalfHeight, coHalfHeight},
        {0, 0},
    };
    for (const auto& k : cases) {
        TFaxConverter c;
        c.SetOptions(k.set);
        EXPECT_EQ(c.Options(), k.expect) << k.set;
    }
}

TEST(FaxConverter, OutputAndInputNames) {
    struct Case {
        const char* doc;
        const char* out;
        const char* expect;
    } cases[] = {
        {"", "FAX", "FAX.PLF"},
        {"", "FAX.OUT", "FAX.OUT"},
        {"", "dir.v2/FAX", "dir.v2/FAX.PLF"},
        {"C:\\DOCS\\PAGE.BMP", "", "C:\\DOCS\\PAGE.PLF"},
        {"/docs/page.bmp", "", "/docs/page.PLF"},
        {"/docs/page", "", "/docs/page.PLF"},
    };
    for (const auto& k : cases) {
        TFaxConverter c;
        c.SetDocumentFile(k.doc);
        c.OutFileName = k.out;
        EXPECT_EQ(c.OutputName(), k.expect) << k.doc << " " << k.out;
    }
    TFaxConverter c;
    c.SetDocumentFile("/a/letter.txt");
    EXPECT_EQ(c.OutFileName, "/a/letter.PLF");  // setting the document names the output

    TempDir dir;
    c.InputDocumentType = idTiff;
    c.SetDocumentFile(dir.file("scan"));
    EXPECT_EQ(c.InputName(), dir.file("scan.TIF"));
    writeFile(dir.file("scan.tif"), {1});
    EXPECT_EQ(c.InputName(), dir.file("scan.tif"));  // only the lower-case spelling exists
    c.InputDocumentType = idUser;
    c.DefUserExtension = "XYZ";
    EXPECT_EQ(c.InputName(), dir.file("scan.XYZ"));
}

TEST(FaxConverter, RefusesNoInputKindAndBitmapWithBadArgument) {
    for (auto kind : {idNone, idBitmap}) {
        TempDir dir;
        writeText(dir.file("a.txt"), "hello\r\n");
        TFaxConverter c;
        c.InputDocumentType = kind;
        c.SetDocumentFile(dir.file("a.txt"));
        try {
            c.ConvertToFile();
            ADD_FAILURE() << "no exception";
        } catch (const EBadArgument& e) {
            EXPECT_EQ(e.code(), -1002);
            EXPECT_STREQ(e.what(), "Bad argument passed to function");
        }
        EXPECT_FALSE(fs::exists(dir.file("a.PLF")));
    }
}

TEST(FaxConverter, EmptyTextFileGivesOneBlankRowAndTheTopMargin) {
    TempDir dir;
    for (unsigned top : {0u, 3u}) {
        auto r = convertText(dir, "", [&](TFaxConverter& c) { c.TopMargin = top; });
        ASSERT_EQ(r.rc, 0);
        ASSERT_EQ(r.pages.size(), 1u);
        const auto& p = r.pages[0];
        // top margin lines, one blank raster row, the end-of-page record
        ASSERT_EQ(p.records.size(), top + 2);
        for (unsigned k = 0; k < top; ++k)
            EXPECT_EQ(p.records[k], (std::vector<uint8_t>{0x00, 0x80, 0xB2, 0x59, 0x01, 0x00}));
        const auto& eop = T4Encoder::endOfPage();
        EXPECT_EQ(p.records.back(), std::vector<uint8_t>(eop.begin(), eop.end()));
        ASSERT_EQ(p.lines.size(), top + 1);
        for (const auto& l : p.lines) EXPECT_TRUE(blankLine(l));
        EXPECT_EQ(p.header.pageFlags, pfLengthWords);
    }
}

TEST(FaxConverter, BuiltInFontGlyphsAreDrawnFromTheResource) {
    TempDir dir;
    struct Case {
        TFaxFont font;
        bool high;
        int width, rows;
    } cases[] = {{ffStandard, false, 20, 16},
                 {ffStandard, true, 20, 32},
                 {ffSmall, false, 12, 8},
                 {ffSmall, true, 12, 16}};
    for (const auto& k : cases) {
        auto r = convertText(dir, "AgZ", [&](TFaxConverter& c) {
            c.FontType = k.font;
            c.Resolution = k.high ? frHigh : frNormal;
            c.LeftMargin = 0;
        });
        ASSERT_EQ(r.rc, 0);
        ASSERT_EQ(r.pages.size(), 1u);
        const auto& lines = r.pages[0].lines;
        ASSERT_EQ(int(lines.size()), k.rows);
        EXPECT_EQ(r.pages[0].header.highResolution(), k.high);
        FaxFont font;
        ASSERT_EQ(loadFaxFont(k.font, k.high, &font), 0);
        int inked = 0;
        for (int row = 0; row < k.rows; ++row)
            for (int ch = 0; ch < 3; ++ch) {
                const auto g = font.glyphRow(uint8_t("AgZ"[ch]), row);
                for (int x = 0; x < k.width; ++x) {
                    const bool want = (g[std::size_t(x / 8)] >> (7 - x % 8)) & 1;
                    inked += want;
                    ASSERT_EQ(black(lines[std::size_t(row)], ch * k.width + x), want)
                        << "row " << row << " char " << ch << " x " << x;
                }
                for (int x = 3 * k.width; x < 1728; ++x)
                    ASSERT_FALSE(black(lines[std::size_t(row)], x));
            }
        EXPECT_GT(inked, 3 * k.rows);  // the glyphs are not empty
        if (k.high) {                  // every glyph row twice
            for (int row = 0; row < k.rows; row += 2) EXPECT_EQ(lines[row], lines[row + 1]);
        }
    }
}

TEST(FaxConverter, FontResourceChecks) {
    EXPECT_EQ(faxFontResource().size(), kFaxFontResourceSize);
    FaxFont f;
    EXPECT_EQ(loadFaxFont(ffStandard, false, &f, {}), -8052);
    std::vector<uint8_t> shortRes(16383, 0);
    EXPECT_EQ(loadFaxFont(ffSmall, false, &f, shortRes), -8052);

    // Every printable character of both fonts has ink; control codes have none.
    for (auto type : {ffSmall, ffStandard}) {
        ASSERT_EQ(loadFaxFont(type, false, &f), 0);
        for (int ch = 0; ch < 256; ++ch) {
            int ink = 0;
            for (int r = 0; r < f.rows; ++r)
                for (uint8_t b : f.glyphRow(uint8_t(ch), r)) ink += __builtin_popcount(b);
            const bool printable = ch > 32 && ch != 127 && ch != 0x81 && ch != 0x8D && ch != 0x8F &&
                                   ch != 0x90 && ch != 0x9D && ch != 0xA0 && ch != 0xAD;
            if (ch < 32 || ch == ' ') {
                EXPECT_EQ(ink, 0) << ch;
            }
            if (printable) {
                EXPECT_GT(ink, 0) << "glyph " << ch << " font " << type;
            }
        }
    }

    // A damaged resource fails the conversion with -8052 and leaves no file.
    TempDir dir;
    writeText(dir.file("a.txt"), "hello\r\n");
    TFaxConverter c;
    c.InputDocumentType = idText;
    c.SetDocumentFile(dir.file("a.txt"));
    c.SetFontResource(shortRes);
    try {
        c.ConvertToFile();
        ADD_FAILURE();
    } catch (const EFaxException& e) {
        EXPECT_EQ(e.code(), -8052);
        EXPECT_STREQ(e.what(), "FAXFONT.FNT not found, or resource bad");
    }
    EXPECT_FALSE(fs::exists(dir.file("a.PLF")));
}

std::string numberedLines(int n, bool endLast) {
    std::string s;
    for (int i = 1; i <= n; ++i) {
        s += "Line " + std::to_string(i);
        if (i < n || endLast) s += "\r\n";
    }
    return s;
}

TEST(FaxConverter, PageBreaking) {
    TempDir dir;
    // The page of a single text line, to compare the carried-over lines with.
    auto single = [&](const std::string& t) { return rowsOf(convertText(dir, t), 0); };

    auto r = convertText(dir, numberedLines(61, false));
    ASSERT_EQ(r.rc, 0);
    ASSERT_EQ(r.pages.size(), 2u);
    EXPECT_EQ(r.pages[0].lines.size(), 60u * 16);
    EXPECT_EQ(r.pages[1].lines, single("Line 61"));

    r = convertText(dir, numberedLines(61, true));
    ASSERT_EQ(r.pages.size(), 2u);
    EXPECT_EQ(r.pages[1].lines, single("Line 61"));

    r = convertText(dir, numberedLines(60, true));
    ASSERT_EQ(r.pages.size(), 1u);  // no empty second page

    r = convertText(dir, numberedLines(130, true), [](TFaxConverter& c) { c.LinesPerPage = 0; });
    ASSERT_EQ(r.pages.size(), 1u);
    EXPECT_EQ(r.pages[0].lines.size(), 130u * 16);

    r = convertText(dir, numberedLines(7, true), [](TFaxConverter& c) { c.LinesPerPage = 3; });
    ASSERT_EQ(r.pages.size(), 3u);
    EXPECT_EQ(r.pages[2].lines, single("Line 7"));

    r = convertText(dir, "A\fB\fC");
    ASSERT_EQ(r.pages.size(), 3u);
    EXPECT_EQ(r.pages[0].lines, single("A"));
    EXPECT_EQ(r.pages[1].lines, single("B"));
    EXPECT_EQ(r.pages[2].lines, single("C"));

    // A form feed first: an empty text line here, the word on the next page.
    r = convertText(dir, "\fword\r\n");
    ASSERT_EQ(r.pages.size(), 2u);
    ASSERT_EQ(r.pages[0].lines.size(), 16u);
    for (const auto& l : r.pages[0].lines) EXPECT_TRUE(blankLine(l));
    EXPECT_EQ(r.pages[1].lines, single("word"));

    // A form feed last: the page ends after the word, no empty line follows.
    r = convertText(dir, "word\f\r\n");
    ASSERT_EQ(r.pages.size(), 1u);
    EXPECT_EQ(r.pages[0].lines, single("word"));
    r = convertText(dir, "word\f\r\nnext\r\n");
    ASSERT_EQ(r.pages.size(), 2u);
    EXPECT_EQ(r.pages[1].lines, single("next"));
}

TEST(FaxConverter, LineEndsTabsAndLongLines) {
    TempDir dir;
    auto rows = [&](const std::string& t, unsigned tab = 4) {
        return convertText(dir, t, [&](TFaxConverter& c) { c.TabStop = tab; });
    };
    const auto crlf = rows("ab\r\ncd\r\n");
    ASSERT_EQ(crlf.pages.size(), 1u);
    EXPECT_EQ(crlf.pages[0].lines.size(), 32u);
    EXPECT_EQ(rows("ab\ncd\n").pages[0].lines, crlf.pages[0].lines);
    EXPECT_EQ(rows("ab\rcd\r").pages[0].lines, crlf.pages[0].lines);
    EXPECT_EQ(rows("ab\r\ncd\r\n\x1a").pages[0].lines, crlf.pages[0].lines);  // DOS end mark
    EXPECT_EQ(rows("ab\r\n\r\ncd").pages[0].lines.size(), 48u);               // an empty line

    // A CR LF pair split by the 4096-byte block boundary is still one line end.
    std::string big(4095, 'x');
    big += "\r\nend\r\n";
    EXPECT_EQ(rows(big).pages[0].lines.size(), 32u);

    struct Case {
        const char* tabbed;
        const char* spaced;
        unsigned stop;
    } cases[] = {{"\tX", "    X", 4}, {"abc\tX", "abc X", 4},   {"abcd\tX", "abcd    X", 4},
                 {"\tX", "    X", 0}, {"a\tX", "a       X", 8}, {"\t\tX", "  X", 1}};
    for (const auto& k : cases)
        EXPECT_EQ(rows(k.tabbed, k.stop).pages[0].lines, rows(k.spaced, k.stop).pages[0].lines)
            << k.tabbed;

    // The built-in font cuts a line at 1728 div 20 - 50 div 20 = 84 characters.
    const auto cut = rows(std::string(84, 'M') + "WWWW");
    EXPECT_EQ(cut.pages[0].lines, rows(std::string(84, 'M')).pages[0].lines);
    // A line far longer than the line buffer is cut without harm.
    const auto huge = rows(std::string(100000, 'Q') + "\r\nnext\r\n");
    ASSERT_EQ(huge.rc, 0);
    EXPECT_EQ(huge.pages[0].lines.size(), 32u);
}

TEST(FaxConverter, HalfHeightCodesOddLinesOnly) {
    TempDir dir;
    const std::string text = "Half\r\nheight\r\n";
    const auto full = convertText(dir, text);
    ASSERT_EQ(full.pages.size(), 1u);
    const auto half = convertText(dir, text, [](TFaxConverter& c) { c.SetOptions(coHalfHeight); });
    ASSERT_EQ(half.pages.size(), 1u);
    ASSERT_EQ(half.pages[0].lines.size(), full.pages[0].lines.size() / 2);
    for (std::size_t k = 0; k < half.pages[0].lines.size(); ++k)
        EXPECT_EQ(half.pages[0].lines[k], full.pages[0].lines[2 * k]);  // lines 1, 3, 5 ...
    // At high resolution half height is off.
    const auto fine = convertText(dir, text, [](TFaxConverter& c) {
        c.SetOptions(coHalfHeight);
        c.Resolution = frHigh;
    });
    EXPECT_EQ(fine.pages[0].lines.size(), 2u * 32);
}

TEST(FaxConverter, StationWideAndFlags) {
    TempDir dir;
    auto r = convertText(dir, "x", [](TFaxConverter& c) {
        c.StationID = "ABCDEFGHIJKLMNOPQRSTUVWXYZ";
        c.Width = fwWide;
        c.Resolution = frHigh;
    });
    ASSERT_EQ(r.rc, 0);
    PlfReader rd;
    ASSERT_EQ(rd.open(dir.file("doc.PLF")), 0);
    EXPECT_EQ(rd.header().stationId, "ABCDEFGHIJKLMNOPQRST");
    EXPECT_EQ(rd.header().pageCount, 1u);
    EXPECT_EQ(r.pages[0].header.pageFlags, pfLengthWords | pfHighResolution | pfWideWidth);
    for (const auto& l : r.pages[0].lines) EXPECT_EQ(l.size(), 256u);
    // the blank line of a 2048-pixel page
    r = convertText(dir, "", [](TFaxConverter& c) {
        c.Width = fwWide;
        c.TopMargin = 1;
    });
    EXPECT_EQ(r.pages[0].records[0], (std::vector<uint8_t>{0x00, 0x80, 0x80, 0xCC, 0x0A, 0x00}));
}

TEST(FaxConverter, LeftMarginMovesTheText) {
    TempDir dir;
    const auto m0 = convertText(dir, "H", [](TFaxConverter& c) { c.LeftMargin = 0; });
    const auto m50 = convertText(dir, "H");
    ASSERT_EQ(m0.pages[0].lines.size(), m50.pages[0].lines.size());
    for (std::size_t y = 0; y < m0.pages[0].lines.size(); ++y)
        for (int x = 0; x < 20; ++x)
            EXPECT_EQ(black(m0.pages[0].lines[y], x), black(m50.pages[0].lines[y], 50 + x));
}

TEST(FaxConverter, StatusReportsStartLinesAndEnd) {
    TempDir dir;
    const std::string text = numberedLines(70, true);
    writeText(dir.file("s.txt"), text);
    TFaxConverter c;
    c.InputDocumentType = idText;
    c.SetDocumentFile(dir.file("s.txt"));
    struct Call {
        bool starting, ending;
        unsigned pages, lines;
        uint64_t done, all;
    };
    std::vector<Call> calls;
    c.OnStatus = [&](TCustomFaxConverter&, bool s, bool e, unsigned p, unsigned l, uint64_t d,
                     uint64_t a, bool& abort) {
        calls.push_back({s, e, p, l, d, a});
        abort = false;
    };
    c.ConvertToFile();
    ASSERT_GT(calls.size(), 3u);
    EXPECT_TRUE(calls.front().starting);
    EXPECT_TRUE(calls.back().ending);
    EXPECT_EQ(calls.back().pages, 2u);
    EXPECT_EQ(calls.back().done, text.size());
    EXPECT_EQ(calls.back().all, text.size());
    unsigned maxLines = 0;
    for (std::size_t k = 1; k + 1 < calls.size(); ++k) {
        EXPECT_FALSE(calls[k].starting || calls[k].ending);
        EXPECT_LE(calls[k].done, calls[k].all);
        if (calls[k].pages == 1) maxLines = std::max(maxLines, calls[k].lines);
    }
    EXPECT_EQ(maxLines, 60u * 16 + 1);  // every row, and the call that ends the page
}

TEST(FaxConverter, AbortAndQuitEndTheConversionWithoutOutput) {
    struct QuitPump : MessagePump {
        int calls = 0;
        bool processPending() override { return ++calls < 3; }
    };
    struct Case {
        const char* what;
        int abortAt;  // status call that aborts; -1 none
        bool quit;
        int code;
    } cases[] = {{"abort at start", 0, false, -8003},
                 {"abort mid-way", 200, false, -8003},
                 {"quit while yielding", -1, true, -1003}};
    for (const auto& k : cases) {
        TempDir dir;
        writeText(dir.file("q.txt"), numberedLines(200, true));
        TFaxConverter c;
        c.InputDocumentType = idText;
        c.SetDocumentFile(dir.file("q.txt"));
        QuitPump pump;
        if (k.quit) {
            c.SetMessagePump(&pump);
            c.SetOptions(coYield | coYieldOften);
        }
        int n = 0;
        bool endSeen = false;
        c.OnStatus = [&](TCustomFaxConverter&, bool, bool ending, unsigned, unsigned, uint64_t,
                         uint64_t, bool& abort) {
            if (ending) endSeen = true;
            abort = n++ == k.abortAt;
        };
        try {
            c.ConvertToFile();
            ADD_FAILURE() << k.what;
        } catch (const EConvertAbort& e) {
            EXPECT_EQ(e.code(), k.code) << k.what;
            EXPECT_STREQ(e.what(), "User aborted fax conversion");
        } catch (const EGotQuitMsg& e) {
            EXPECT_EQ(e.code(), k.code) << k.what;
            EXPECT_STREQ(e.what(), "Got quit message");
        }
        EXPECT_FALSE(fs::exists(dir.file("q.PLF"))) << k.what;
        if (k.abortAt != 0) {
            EXPECT_TRUE(endSeen) << k.what;
        }
    }
}

TEST(FaxConverter, MissingInputAndUnwritableOutput) {
    TempDir dir;
    TFaxConverter c;
    c.InputDocumentType = idText;
    c.SetDocumentFile(dir.file("absent.txt"));
    try {
        c.ConvertToFile();
        ADD_FAILURE();
    } catch (const EInOutError& e) {
        EXPECT_EQ(e.code(), -2);
        EXPECT_STREQ(e.what(), "File not found");
    }
    EXPECT_FALSE(fs::exists(dir.file("absent.PLF")));

    writeText(dir.file("b.txt"), "b");
    c.SetDocumentFile(dir.file("b.txt"));
    c.OutFileName = dir.file("no/such/folder/b.PLF");
    const int rc = c.Convert();  // the writer's code for a missing folder
    EXPECT_TRUE(rc == -2 || rc == -3) << rc;

    // The output would overwrite the input.
    c.InputDocumentType = idBmp;
    writeText(dir.file("c.PLF"), "not a bitmap");
    c.SetDocumentFile(dir.file("c.PLF"));
    EXPECT_EQ(c.Convert(), -1002);
    EXPECT_EQ(readFile(dir.file("c.PLF")).size(), 12u);
}

TEST(FaxConverter, UserLines) {
    TempDir dir;
    TFaxConverter c;
    c.InputDocumentType = idUser;
    c.DefUserExtension = "USR";
    c.SetDocumentFile(dir.file("lines"));
    c.LeftMargin = 0;
    std::string opened;
    int closed = 0, served = 0;
    c.OnOpenUserFile = [&](TCustomFaxConverter&, const std::string& n) { opened = n; };
    c.OnCloseUserFile = [&](TCustomFaxConverter&) { ++closed; };
    c.OnReadUserLine = [&](TCustomFaxConverter&, std::span<uint8_t> data, unsigned& len, bool& eop,
                           bool& more) {
        EXPECT_EQ(data.size(), 216u);
        const int k = served++;
        eop = k == 5 || k == 9;
        more = k == 5;
        if (!eop) data[std::size_t(k)] = 0xFF;
        len = 216;
    };
    c.ConvertToFile();
    EXPECT_EQ(opened, dir.file("lines.USR"));
    EXPECT_EQ(closed, 1);
    const auto pages = readPages(dir.file("lines.PLF"));
    ASSERT_EQ(pages.size(), 2u);
    ASSERT_EQ(pages[0].lines.size(), 5u);
    ASSERT_EQ(pages[1].lines.size(), 3u);
    for (int k = 0; k < 5; ++k) EXPECT_EQ(pages[0].lines[std::size_t(k)][std::size_t(k)], 0xFF);
    EXPECT_EQ(pages[1].lines[0][6], 0xFF);

    // Without a line handler a user conversion is one empty page.
    TFaxConverter e;
    e.InputDocumentType = idUser;
    e.SetDocumentFile(dir.file("none"));
    e.ConvertToFile();
    const auto empty = readPages(dir.file("none.PLF"));
    ASSERT_EQ(empty.size(), 1u);
    EXPECT_EQ(empty[0].records.size(), 1u);  // just the end of page
}

// ------------------------------------------------------------------- system font text

TEST(TextRasterizer, ResolvesWindowsFamilies) {
    TextRasterizer t;
    ASSERT_EQ(t.open(TFont{"Arial", 10, 0}), 0);
    EXPECT_EQ(t.familyName(), "Liberation Sans");
    ASSERT_EQ(t.open(TFont{"MS Sans Serif", 8, 0}), 0);
    EXPECT_FALSE(t.familyName().empty());
    EXPECT_NE(t.familyName(), "Liberation Mono");
    EXPECT_EQ(t.open(TFont{"Arial", 0, 0}), -1002);
    EXPECT_EQ(t.open(TFont{"Arial", 100000, 0}), -1002);
}

TEST(TextRasterizer, SizesAndDrawing) {
    TextRasterizer t;
    ASSERT_EQ(t.open(TFont{"Arial", 12, 0}), 0);
    EXPECT_EQ(t.pixelsPerEm(), 16);  // 12 pt at 96 dpi
    // Arial's Windows line height at 16 pixels per em: 15 + 4 (Liberation has the same metrics)
    EXPECT_EQ(t.textHeight(), 19);
    const auto w1 = t.textWidth(U"W"), w2 = t.textWidth(U"WW");
    EXPECT_GT(w1, 8);
    EXPECT_EQ(w2, 2 * w1);

    MonoBitmap bm(200, t.textHeight());
    t.draw(bm, 0, 0, U"l");
    // "l" is a vertical stroke: ink in a narrow band, most rows above the baseline
    int minX = 200, maxX = -1, rows = 0;
    for (int y = 0; y < bm.height(); ++y) {
        bool any = false;
        for (int x = 0; x < 200; ++x)
            if (bm.pixel(x, y)) {
                minX = std::min(minX, x);
                maxX = std::max(maxX, x);
                any = true;
            }
        rows += any;
    }
    EXPECT_LE(maxX - minX, 3);
    EXPECT_GE(rows, 10);

    TextRasterizer bold;
    ASSERT_EQ(bold.open(TFont{"Arial", 12, fsBold | fsUnderline}), 0);
    MonoBitmap a(200, t.textHeight()), b(200, bold.textHeight());
    t.draw(a, 0, 0, U"Hello");
    bold.draw(b, 0, 0, U"Hello");
    auto ink = [](const MonoBitmap& m) {
        int n = 0;
        for (uint8_t v : m.bits()) n += __builtin_popcount(v);
        return n;
    };
    EXPECT_GT(ink(b), ink(a) + 30);
    EXPECT_EQ(cp1252ToUnicode("\x80\xE9\x41"), U"\u20AC\u00E9A");
}

TEST(FaxConverter, TextWithASystemFont) {
    TempDir dir;
    writeText(dir.file("e.txt"), "Wy\r\nsecond\r\n");
    struct Case {
        bool high;
    } cases[] = {{false}, {true}};
    for (const auto& k : cases) {
        TFaxConverter c;
        c.InputDocumentType = idTextEx;
        c.SetDocumentFile(dir.file("e.txt"));
        c.SetEnhFont(TFont{"Arial", 12, 0});
        c.Resolution = k.high ? frHigh : frNormal;
        c.LeftMargin = 0;
        c.ConvertToFile();
        const auto pages = readPages(dir.file("e.PLF"));
        ASSERT_EQ(pages.size(), 1u);
        // R rows a text line: the height of the font, doubled in size at high resolution
        TextRasterizer t;
        ASSERT_EQ(t.open(TFont{"Arial", k.high ? 24 : 12, 0}), 0);
        const int R = t.textHeight();
        ASSERT_EQ(int(pages[0].lines.size()), 2 * R);
        MonoBitmap surface(1728, R);
        t.draw(surface, 0, 0, U"Wy");
        for (int y = 0; y < R; ++y)
            for (int x = 0; x < 400; ++x) {
                // normal resolution: drawn at half width, every pixel doubled
                const bool want = k.high ? surface.pixel(x, y) : surface.pixel(x / 2, y);
                ASSERT_EQ(black(pages[0].lines[std::size_t(y)], x), want)
                    << "high " << k.high << " x " << x << " y " << y;
            }
    }
}

TEST(FaxConverter, SystemFontSurfaceLimit) {
    TempDir dir;
    writeText(dir.file("big.txt"), "big\r\n");
    struct Case {
        int size;
        bool high;
        int code;
    } cases[] = {{12, false, 0}, {200, false, 0}, {300, false, -8055}, {200, true, -8055}};
    for (const auto& k : cases) {
        TFaxConverter c;
        c.InputDocumentType = idTextEx;
        c.SetDocumentFile(dir.file("big.txt"));
        c.SetEnhFont(TFont{"Arial", k.size, 0});
        c.Resolution = k.high ? frHigh : frNormal;
        // 210 bytes a row: at most 312 rows
        EXPECT_EQ(c.Convert(), k.code) << k.size;
        EXPECT_EQ(fs::exists(dir.file("big.PLF")), k.code == 0);
        fs::remove(dir.file("big.PLF"));
    }
    TFaxConverter c;
    c.InputDocumentType = idTextEx;
    c.SetDocumentFile(dir.file("big.txt"));
    c.SetEnhFont(TFont{"Arial", 400, 0});
    try {
        c.ConvertToFile();
        ADD_FAILURE();
    } catch (const EFaxException& e) {
        EXPECT_EQ(e.code(), -8055);
        EXPECT_STREQ(e.what(), "Font selected for enhanced text converter too large");
    }
}

}  // namespace
}  // namespace pellora::fax::test
