// plxfax info / export / cat: looking into PLF fax files, exporting a page, joining files.
#include <cctype>
#include <cstdio>
#include <filesystem>
#include <stdexcept>
#include <string>

#include "commands.h"
#include "fax/image/fax_errors.h"
#include "fax/image/plf.h"
#include "fax/image/t4.h"
#include "fax/image/unpacker.h"

namespace plxfax {
namespace {

namespace fax = pellora::fax;

// Turns an error code into an exception whose text names the file.
void check(int code, const std::string& file) {
    if (code >= 0) return;
    throw std::runtime_error(file + ": " + fax::faxErrorText(code));
}

std::string flagNames(uint16_t flags) {
    std::string s;
    auto add = [&](const char* n) { s += s.empty() ? n : std::string(", ") + n; };
    if (flags & fax::pfHighResolution)
        add("fine");
    else
        add("normal");
    add(flags & fax::pfWideWidth ? "2048 wide" : "1728 wide");
    if (flags & fax::pfLengthWords)
        add("line records");
    else
        add("raw stream");
    if (flags & ~uint16_t(7)) add("unknown bits");
    return s;
}

std::string dosDate(uint32_t v) {
    if (v == 0) return "-";
    char buf[32];
    std::snprintf(buf, sizeof buf, "%04u-%02u-%02u %02u:%02u:%02u", 1980 + (v >> 25),
                  (v >> 21) & 15, (v >> 16) & 31, (v >> 11) & 31, (v >> 5) & 63, (v & 31) * 2);
    return buf;
}

// Counts the lines a page decodes to, and its code errors.
int countLines(fax::PlfReader& r, unsigned page, unsigned* lines, unsigned* errors) {
    fax::T4Decoder dec;
    if (int rc = r.locatePage(page)) return rc;
    for (;;) {
        std::span<const uint8_t> chunk;
        const int rc = r.readChunk(chunk);
        if (rc < 0) return rc;
        if (rc == 0) break;
        dec.decode(chunk, [](std::span<const uint8_t>) { return true; });
        if (dec.pageEnded()) break;
    }
    *lines = dec.linesDelivered();
    *errors = dec.codeErrors();
    return 0;
}

}  // namespace

int imageInfoCommand(const Args& args) {
    if (args.size() != 1) throw UsageError{"expected one PLF file"};
    const std::string& file = args[0];
    fax::PlfReader r;
    check(r.open(file), file);
    const auto& h = r.header();
    std::printf("file:        %s (%llu bytes)\n", file.c_str(),
                static_cast<unsigned long long>(r.fileSize()));
    std::printf("completed:   %s\n", dosDate(h.dateTime).c_str());
    std::printf("station:     \"%s\"\n", h.stationId.c_str());
    std::printf("pages:       %u\n", h.pageCount);
    std::printf("first page:  offset %u\n", h.firstPageOffset);
    for (unsigned k = 1; k <= h.pageCount; ++k) {
        fax::PlfPageHeader ph;
        check(r.locatePage(k, &ph), file + " page " + std::to_string(k));
        unsigned lines = 0, errors = 0;
        check(countLines(r, k, &lines, &errors), file + " page " + std::to_string(k));
        std::printf("page %u: flags 0x%04x (%s), length %u, lines %u", k, ph.pageFlags,
                    flagNames(ph.pageFlags).c_str(), ph.imageLength, lines);
        if (errors) std::printf(", code errors %u", errors);
        std::printf("\n");
    }
    return 0;
}

int imageExportCommand(const Args& args) {
    std::string file, format, out;
    unsigned page = 1;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        auto value = [&]() -> const std::string& {
            if (i + 1 >= args.size()) throw UsageError{a + " needs a value"};
            return args[++i];
        };
        if (a == "--page") {
            const std::string& v = value();
            try {
                std::size_t used = 0;
                unsigned long n = std::stoul(v, &used);
                if (used != v.size() || n == 0 || n > 65535) throw std::invalid_argument(v);
                page = unsigned(n);
            } catch (const std::exception&) {
                throw UsageError{"--page wants a page number from 1, not '" + v + "'"};
            }
        } else if (a == "--format") {
            format = value();
            for (char& c : format) c = char(std::tolower(static_cast<unsigned char>(c)));
        } else if (a == "-o") {
            out = value();
        } else if (!a.empty() && a[0] == '-') {
            throw UsageError{"unknown option " + a};
        } else if (file.empty()) {
            file = a;
        } else {
            throw UsageError{"more than one input file"};
        }
    }
    if (file.empty()) throw UsageError{"no PLF file given"};
    if (format.empty()) throw UsageError{"--format bmp|pcx|dcx is missing"};
    if (format != "bmp" && format != "pcx" && format != "dcx")
        throw UsageError{"unknown format '" + format + "' (bmp, pcx or dcx)"};

    fax::TFaxUnpacker u;
    u.SetInFileName(file);
    u.OutFileName = out;
    const std::string upper = format == "bmp" ? "BMP" : format == "pcx" ? "PCX" : "DCX";
    const std::string target = u.OutputName(upper);
    try {
        if (format == "bmp")
            u.PageToBmpFile(page);
        else if (format == "pcx")
            u.PageToPcxFile(page);
        else
            u.PageToDcxFile(page);
    } catch (const fax::EFaxException& e) {
        std::string what = e.what();
        if (e.code() == fax::ecFaxBadFormat) {
            fax::PlfReader r;
            if (r.open(file) == 0 && page > r.header().pageCount)
                what = "there is no page " + std::to_string(page) + " (the file has " +
                       std::to_string(r.header().pageCount) + ")";
        }
        throw std::runtime_error(file + ": " + what);
    }
    std::printf("%s\n", target.c_str());
    return 0;
}

int imageCatCommand(const Args& args) {
    if (args.size() < 2) throw UsageError{"expected DEST.PLF and at least one SRC.PLF"};
    const std::string& dest = args[0];
    for (std::size_t i = 1; i < args.size(); ++i) {
        const int rc = fax::appendPlfFile(dest, args[i]);
        if (rc == fax::ecFileNotFound) {
            std::error_code ec;
            const std::string& missing = std::filesystem::exists(dest, ec) ? args[i] : dest;
            check(rc, missing);
        }
        check(rc, "appending " + args[i] + " to " + dest);
    }
    fax::PlfReader r;
    check(r.open(dest), dest);
    std::printf("%s: %u pages\n", dest.c_str(), r.header().pageCount);
    return 0;
}

}  // namespace plxfax
