// plxfax convert: a text file or an image (TIFF, PCX, DCX, BMP) to a PLF fax file.
#include <cctype>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <stdexcept>
#include <string>

#ifdef _WIN32
#include <io.h>
#define PLXFAX_ISATTY(f) _isatty(_fileno(f))
#else
#include <unistd.h>
#define PLXFAX_ISATTY(f) isatty(fileno(f))
#endif

#include "commands.h"
#include "fax/image/convert/fax_converter.h"
#include "fax/image/fax_errors.h"
#include "fax/image/plf.h"

namespace plxfax {
namespace {

namespace fax = pellora::fax;

std::string lower(std::string s) {
    for (auto& c : s) c = char(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

unsigned number(const std::string& opt, const std::string& v) {
    try {
        std::size_t used = 0;
        const unsigned long n = std::stoul(v, &used);
        if (used != v.size() || n > 0xFFFFFFFFul || v.front() == '-') throw std::out_of_range(v);
        return unsigned(n);
    } catch (const std::exception&) {
        throw UsageError{opt + " needs a number, not '" + v + "'"};
    }
}

fax::TFaxInputDocumentType typeNamed(const std::string& name) {
    const std::string n = lower(name);
    if (n == "text" || n == "txt") return fax::idText;
    if (n == "textex") return fax::idTextEx;
    if (n == "tiff" || n == "tif") return fax::idTiff;
    if (n == "pcx") return fax::idPcx;
    if (n == "dcx") return fax::idDcx;
    if (n == "bmp") return fax::idBmp;
    return fax::idNone;
}

}  // namespace

int convertCommand(const Args& args) {
    std::string input, output, type, fontName;
    bool fine = false, wide = false;
    fax::TFaxConverter cvt;
    bool haveFontSize = false;
    int fontSize = 0;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        auto value = [&]() -> const std::string& {
            if (i + 1 >= args.size()) throw UsageError{a + " needs a value"};
            return args[++i];
        };
        if (a == "-o") {
            output = value();
        } else if (a == "--type") {
            type = value();
        } else if (a == "--fine") {
            fine = true;
        } else if (a == "--wide") {
            wide = true;
        } else if (a == "--font") {
            const std::string f = lower(value());
            if (f == "standard")
                cvt.FontType = fax::ffStandard;
            else if (f == "small")
                cvt.FontType = fax::ffSmall;
            else
                throw UsageError{"--font is standard or small"};
        } else if (a == "--font-name") {
            fontName = value();
        } else if (a == "--font-size") {
            fontSize = int(number(a, value()));
            haveFontSize = true;
        } else if (a == "--lines-per-page") {
            cvt.LinesPerPage = number(a, value());
        } else if (a == "--top-margin") {
            cvt.TopMargin = number(a, value());
        } else if (a == "--left-margin") {
            cvt.LeftMargin = number(a, value());
        } else if (a == "--station") {
            cvt.StationID = value();
        } else if (!a.empty() && a[0] == '-' && a != "-") {
            throw UsageError{"unknown option " + a};
        } else if (input.empty()) {
            input = a;
        } else {
            throw UsageError{"one input file only"};
        }
    }
    if (input.empty()) throw UsageError{"expected an input file"};

    fax::TFaxInputDocumentType kind = fax::idNone;
    if (!type.empty()) {
        kind = typeNamed(type);
        if (kind == fax::idNone) throw UsageError{"unknown --type " + type};
    } else {
        std::string ext = lower(std::filesystem::path(input).extension().string());
        if (!ext.empty()) ext.erase(0, 1);
        kind = typeNamed(ext);
        if (kind == fax::idNone)
            throw UsageError{"cannot tell the input type from '" + input + "'; give --type"};
        if (kind == fax::idText && !fontName.empty()) kind = fax::idTextEx;
    }
    if (kind == fax::idTextEx || !fontName.empty() || haveFontSize) {
        fax::TFont font = cvt.EnhFont();
        if (!fontName.empty()) font.Name = fontName;
        if (haveFontSize) font.Size = fontSize;
        cvt.SetEnhFont(font);
    }

    cvt.InputDocumentType = kind;
    cvt.Resolution = fine ? fax::frHigh : fax::frNormal;
    cvt.Width = wide ? fax::fwWide : fax::fwNormal;
    cvt.SetDocumentFile(input);
    if (!output.empty()) cvt.OutFileName = output;

    // Progress on a terminal, a few times a second.
    const bool terminal = PLXFAX_ISATTY(stderr);
    auto last = std::chrono::steady_clock::now();
    bool shown = false;
    if (terminal) {
        cvt.OnStatus = [&](fax::TCustomFaxConverter&, bool, bool ending, unsigned pages,
                           unsigned lines, uint64_t done, uint64_t all, bool&) {
            const auto now = std::chrono::steady_clock::now();
            if (!ending && now - last < std::chrono::milliseconds(200)) return;
            last = now;
            const unsigned pct = all ? unsigned(done * 100 / all) : 0;
            std::fprintf(stderr, "\rconverting: page %u, line %u, %u%%   ", pages, lines,
                         pct > 100 ? 100 : pct);
            std::fflush(stderr);
            shown = true;
        };
    }
    try {
        cvt.ConvertToFile();
    } catch (const fax::EFaxException& e) {
        if (shown) std::fputc('\n', stderr);
        throw std::runtime_error(cvt.InputName() + ": " + e.what() + " (" +
                                 std::to_string(e.code()) + ")");
    }
    if (shown) std::fputc('\n', stderr);

    fax::PlfReader r;
    const std::string out = cvt.OutputName();
    const unsigned pages = r.open(out) == 0 ? r.header().pageCount : 0;
    std::printf("%s: %u page%s\n", out.c_str(), pages, pages == 1 ? "" : "s");
    return 0;
}

}  // namespace plxfax
