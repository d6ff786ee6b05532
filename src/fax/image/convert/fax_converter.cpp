#include "fax/image/convert/fax_converter.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <filesystem>
#include <new>

#include "fax/image/convert/text_input.h"
#include "fax/image/fax_errors.h"
#include "core_iface/message_pump.h"
#include "fax/image/plf.h"
#include "fax/image/t4.h"

namespace pellora::fax {

namespace fs = std::filesystem;

namespace {

// The enhanced-text drawing surface may hold at most this many bytes.
constexpr uint64_t kMaxSurfaceBytes = 65536;
constexpr int kFontSurfaceTooLarge = -8055;
constexpr std::size_t kStationMax = 20;

const char* defaultExtension(TFaxInputDocumentType t) {
    switch (t) {
        case idText:
        case idTextEx:
            return "TXT";
        case idTiff:
            return "TIF";
        case idPcx:
            return "PCX";
        case idDcx:
            return "DCX";
        case idBmp:
            return "BMP";
        default:
            return "";
    }
}

bool sameFile(const std::string& a, const std::string& b) {
    std::error_code ec;
    return fs::exists(a, ec) && fs::exists(b, ec) && fs::equivalent(a, b, ec);
}

}  // namespace

// The lines an application supplies through OnReadUserLine.
class UserReader : public InputReader {
  public:
    UserReader(TCustomFaxConverter& f, const ConvertSettings& s) : f_(f), lineBytes_(s.width / 8) {
        placement_.halfHeight = (s.options & coHalfHeight) && !s.highResolution;
    }
    int open(const std::string& name) override {
        f_.OpenUserFile(name);
        return 0;
    }
    int getLine(std::span<uint8_t> line, LineResult* r) override {
        *r = {};
        if (!f_.OnReadUserLine) {
            r->endOfPage = true;
            return 0;
        }
        unsigned len = 0;
        bool eop = false, more = false;
        f_.OnReadUserLine(f_, line.first(std::size_t(lineBytes_)), len, eop, more);
        r->len = len;
        r->endOfPage = eop;
        r->morePages = more;
        return 0;
    }
    void close() override { f_.CloseUserFile(); }

  private:
    TCustomFaxConverter& f_;
    int lineBytes_;
};

struct TCustomFaxConverter::Conversion {
    ConvertSettings settings;
    T4Encoder encoder;
    PlfWriter writer;
    FaxFont font;
    TextRasterizer rasterizer;
    std::unique_ptr<InputReader> reader;
    std::array<uint8_t, kLineBufferSize> line{};
    unsigned pageNum = 0;
    unsigned linesRead = 0;
};

TCustomFaxConverter::TCustomFaxConverter() = default;
TCustomFaxConverter::~TCustomFaxConverter() = default;

void TCustomFaxConverter::SetOptions(TFaxCvtOptionsSet options) {
    if ((options & coYieldOften) && !(options & coYield)) options |= coYield;
    options_ = options;
}

void TCustomFaxConverter::SetDocumentFile(const std::string& name) {
    if (name == documentFile_) return;
    documentFile_ = name;
    OutFileName = fs::path(name).replace_extension(".PLF").string();
}

std::string TCustomFaxConverter::OutputName() const {
    if (!OutFileName.empty()) {
        fs::path p(OutFileName);
        if (!p.has_extension()) p += ".PLF";
        return p.string();
    }
    return fs::path(documentFile_).replace_extension(".PLF").string();
}

std::string TCustomFaxConverter::InputName() const {
    const std::string ext =
        InputDocumentType == idUser ? DefUserExtension : defaultExtension(InputDocumentType);
    fs::path p(documentFile_);
    if (p.has_extension() || ext.empty() || documentFile_.empty()) return documentFile_;
    const std::string upper = documentFile_ + "." + ext;
    // Files here are usually named in lower case; take that spelling when only it exists.
    std::string lowerExt = ext;
    for (auto& ch : lowerExt) ch = char(std::tolower(static_cast<unsigned char>(ch)));
    const std::string lower = documentFile_ + "." + lowerExt;
    std::error_code ec;
    if (!fs::exists(upper, ec) && fs::exists(lower, ec)) return lower;
    return upper;
}

void TCustomFaxConverter::Status(bool starting, bool ending, unsigned pagesConverted,
                                 unsigned linesConverted, uint64_t bytesConverted,
                                 uint64_t bytesToConvert, bool& abort) {
    abort = false;
    if (OnStatus)
        OnStatus(*this, starting, ending, pagesConverted, linesConverted, bytesConverted,
                 bytesToConvert, abort);
}

void TCustomFaxConverter::OutputLine(std::span<uint8_t> data, unsigned len, bool endOfPage,
                                     bool morePages) {
    if (OnOutputLine) OnOutputLine(*this, data, len, endOfPage, morePages);
}

void TCustomFaxConverter::OpenUserFile(const std::string& fName) {
    if (OnOpenUserFile) OnOpenUserFile(*this, fName);
}

void TCustomFaxConverter::CloseUserFile() {
    if (OnCloseUserFile) OnCloseUserFile(*this);
}

void TCustomFaxConverter::ConvertToFile() {
    raiseFaxError(Convert());
}

void TCustomFaxConverter::ConvertBitmapToFile(const MonoBitmap* bitmap) {
    raiseFaxError(ConvertBitmap(bitmap));
}

int TCustomFaxConverter::Convert() {
    if (InputDocumentType == idNone || InputDocumentType == idBitmap) return ecBadArgument;
    return run(nullptr);
}

int TCustomFaxConverter::ConvertBitmap(const MonoBitmap* bitmap) {
    if (!bitmap || bitmap->empty()) return ecBadArgument;
    if (OutFileName.empty() && documentFile_.empty()) return ecBadArgument;
    return run(bitmap);
}

int TCustomFaxConverter::yieldMessages() {
    if (pump_ && !pump_->processPending()) return ecGotQuitMsg;
    return 0;
}

int TCustomFaxConverter::run(const MonoBitmap* bitmap) {
    // One conversion at a time: a second one started from a message handler while the first
    // is yielding would pull its state away under it.
    if (conversion_) return ecBadArgument;
    const TFaxInputDocumentType type = bitmap ? idBitmap : InputDocumentType;
    if (type < idText || type > idUser) return ecBadArgument;

    auto c = std::make_unique<Conversion>();
    ConvertSettings& s = c->settings;
    s.options = options_;
    s.highResolution = Resolution == frHigh;
    s.width = Width == fwWide ? kWideWidth : kNormalWidth;
    if (LeftMargin >= unsigned(s.width)) return ecBadArgument;
    s.margin = int(LeftMargin);
    s.pump = pump_;
    c->encoder.setWidth(s.width);
    c->encoder.setMargin(s.margin);

    TextSettings ts;
    ts.convert = s;
    ts.tabStop = TabStop ? TabStop : 4;
    ts.linesPerPage = LinesPerPage;
    switch (type) {
        case idText: {
            const auto res = fontResource_.empty() ? faxFontResource() : fontResource_;
            if (int rc = loadFaxFont(FontType, s.highResolution, &c->font, res)) return rc;
            c->reader = std::make_unique<TextReader>(ts, &c->font, nullptr);
            break;
        }
        case idTextEx: {
            TFont font = enhFont_;
            if (s.highResolution) font.Size *= 2;
            if (int rc = c->rasterizer.open(font)) return rc;
            const uint64_t rowBytes = uint64_t(s.width - s.margin + 7) / 8;
            if (c->rasterizer.textHeight() < 1 ||
                rowBytes * uint64_t(c->rasterizer.textHeight()) > kMaxSurfaceBytes)
                return kFontSurfaceTooLarge;
            c->reader = std::make_unique<TextReader>(ts, nullptr, &c->rasterizer);
            break;
        }
        case idTiff:
            c->reader = makeTiffReader(s);
            break;
        case idPcx:
            c->reader = makePcxReader(s);
            break;
        case idDcx:
            c->reader = makeDcxReader(s);
            break;
        case idBmp:
            c->reader = makeBmpReader(s);
            break;
        case idBitmap:
            c->reader = makeBitmapReader(s, bitmap);
            break;
        default:
            c->reader = std::make_unique<UserReader>(*this, s);
            break;
    }

    const std::string out = OutputName();
    const std::string in = type == idBitmap ? std::string() : InputName();
    // Writing the output over the input would destroy the document before it is read.
    if (!in.empty() && sameFile(in, out)) return ecBadArgument;

    if (int rc = c->writer.create(out)) return rc;
    c->writer.setPageFlags(s.highResolution, s.width == kWideWidth);
    c->writer.setStationId(StationID.substr(0, kStationMax));

    conversion_ = std::move(c);
    struct Release {
        std::unique_ptr<Conversion>& c;
        ~Release() { c.reset(); }  // also when a handler throws: the writer deletes its file
    } release{conversion_};

    int rc;
    try {
        rc = loop(*conversion_, in);
    } catch (const std::bad_alloc&) {
        rc = ecOutOfMemory;
    }
    if (rc == 0)
        rc = conversion_->writer.close();
    else
        conversion_->writer.abandon();
    return rc;
}

int TCustomFaxConverter::loop(Conversion& c, const std::string& inputName) {
    InputReader& reader = *c.reader;
    const ConvertSettings& s = c.settings;
    bool abort = false;
    Status(true, false, 0, 0, 0, 0, abort);
    if (abort) return ecConvertAbort;

    int rc = reader.open(inputName);
    if (rc) {
        Status(false, true, 0, 0, 0, 0, abort);
        return rc;
    }
    const auto blank = T4Encoder::blankLine(s.width);
    const std::size_t lineBytes = std::size_t(s.width / 8);
    bool more = true;
    while (rc == 0 && more) {
        ++c.pageNum;
        c.linesRead = 0;
        const Placement placement = reader.placement();
        c.encoder.setDoubleWidth(placement.doubleWidth);
        for (unsigned k = 0; k < TopMargin && rc == 0; ++k) rc = c.writer.writeLine(blank);
        while (rc == 0) {
            std::fill(c.line.begin(), c.line.end(), 0);
            LineResult r;
            if ((rc = reader.getLine(c.line, &r))) break;
            ++c.linesRead;
            Status(false, false, c.pageNum, c.linesRead, reader.bytesConverted(),
                   reader.bytesToConvert(), abort);
            if (abort) {
                rc = ecConvertAbort;
                break;
            }
            if (!r.endOfPage) {
                if (!(placement.halfHeight && c.linesRead % 2 == 0))
                    rc = c.writer.writeLine(
                        c.encoder.encodeLine(std::span<const uint8_t>(c.line.data(), lineBytes)));
                if (rc == 0 && (s.options & coYield) && (s.options & coYieldOften) &&
                    c.linesRead % 16 == 0)
                    rc = yieldMessages();
                continue;
            }
            rc = c.writer.endPage();
            if (rc == 0 && (s.options & coYield)) rc = yieldMessages();
            more = r.morePages;
            break;
        }
    }
    Status(false, true, c.pageNum, c.linesRead, reader.bytesConverted(), reader.bytesToConvert(),
           abort);
    reader.close();
    return rc;
}

}  // namespace pellora::fax
