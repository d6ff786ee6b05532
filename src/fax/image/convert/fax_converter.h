// TFaxConverter: turns a document (a text file, a TIFF, PCX, DCX or BMP image, an in-memory
// bitmap, or lines the application supplies) into a PLF fax file. Every input is reduced to
// raster lines of the fax width, each line is T.4 coded and written as a line record.
//
// Component operations raise the fax exceptions (fax_errors.h); Convert() and
// ConvertBitmap() answer the code instead, for callers that want it.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>

#include "fax/image/convert/fax_font.h"
#include "fax/image/convert/image_input.h"
#include "fax/image/convert/text_rasterizer.h"
#include "fax/image/mono_bitmap.h"

namespace pellora::fax {

class MessagePump;

enum TFaxInputDocumentType {
    idNone,
    idText,
    idTextEx,
    idTiff,
    idPcx,
    idDcx,
    idBmp,
    idBitmap,
    idUser
};
enum TFaxResolution { frNormal, frHigh };
enum TFaxWidth { fwNormal, fwWide };

class TCustomFaxConverter;

using TFaxStatusEvent = std::function<void(
    TCustomFaxConverter& f, bool starting, bool ending, unsigned pagesConverted,
    unsigned linesConverted, uint64_t bytesConverted, uint64_t bytesToConvert, bool& abort)>;
using TFaxOutputLineEvent = std::function<void(TCustomFaxConverter& f, std::span<uint8_t> data,
                                               unsigned len, bool endOfPage, bool morePages)>;
using TFaxOpenFileEvent = std::function<void(TCustomFaxConverter& f, const std::string& fName)>;
using TFaxCloseFileEvent = std::function<void(TCustomFaxConverter& f)>;
// The handler fills `data` (W/8 bytes, most significant bit leftmost, set bit black).
using TFaxReadLineEvent = std::function<void(TCustomFaxConverter& f, std::span<uint8_t> data,
                                             unsigned& len, bool& endOfPage, bool& morePages)>;

class TCustomFaxConverter {
  public:
    TCustomFaxConverter();
    virtual ~TCustomFaxConverter();
    TCustomFaxConverter(const TCustomFaxConverter&) = delete;
    TCustomFaxConverter& operator=(const TCustomFaxConverter&) = delete;

    // The component's version; writes are ignored.
    std::string ComponentVersion() const { return "v1.00"; }
    void SetComponentVersion(const std::string&) {}

    TFaxInputDocumentType InputDocumentType = idNone;
    TFaxResolution Resolution = frNormal;
    TFaxWidth Width = fwNormal;
    unsigned TopMargin = 0;
    unsigned LeftMargin = 50;
    unsigned LinesPerPage = 60;
    unsigned TabStop = 4;
    TFaxFont FontType = ffStandard;
    // Stored only: the glyphs always come from the built-in font resource.
    std::string FontFile = "FAXFONT.FNT";
    std::string OutFileName;
    std::string DefUserExtension;
    // Supplies the PLF header's station field (its first 20 characters).
    std::string StationID;

    TFaxStatusEvent OnStatus;
    TFaxOutputLineEvent OnOutputLine;
    TFaxOpenFileEvent OnOpenUserFile;
    TFaxCloseFileEvent OnCloseUserFile;
    TFaxReadLineEvent OnReadUserLine;

    TFaxCvtOptionsSet Options() const { return options_; }
    // coYieldOften brings coYield with it.
    void SetOptions(TFaxCvtOptionsSet options);
    const TFont& EnhFont() const { return enhFont_; }
    void SetEnhFont(const TFont& font) { enhFont_ = font; }
    const std::string& DocumentFile() const { return documentFile_; }
    // Also names the output: the same name with the extension ".PLF".
    void SetDocumentFile(const std::string& name);

    // Where pending messages run with coYield (none: no yielding).
    void SetMessagePump(MessagePump* pump) { pump_ = pump; }
    // The built-in font resource (tests give a damaged one); empty: the compiled-in one.
    void SetFontResource(std::span<const uint8_t> resource) { fontResource_ = resource; }

    // Converts DocumentFile into a PLF file; raises on failure (-1002 for idNone, idBitmap).
    void ConvertToFile();
    // Converts an in-memory bitmap (set bit black) into OutFileName; raises on failure.
    void ConvertBitmapToFile(const MonoBitmap* bitmap);

    // As above, answering 0 or the negative code.
    int Convert();
    int ConvertBitmap(const MonoBitmap* bitmap);

    // The output name ConvertToFile writes: OutFileName (".PLF" added when it has no
    // extension), else DocumentFile with the extension ".PLF".
    std::string OutputName() const;
    // The input name: DocumentFile with the input kind's default extension when it has none.
    std::string InputName() const;

  protected:
    // Notifiers, fired through these so a derived component can intercept them. With no
    // handler assigned they do nothing (the status notifier answers abort = false).
    virtual void Status(bool starting, bool ending, unsigned pagesConverted,
                        unsigned linesConverted, uint64_t bytesConverted, uint64_t bytesToConvert,
                        bool& abort);
    virtual void OutputLine(std::span<uint8_t> data, unsigned len, bool endOfPage, bool morePages);
    virtual void OpenUserFile(const std::string& fName);
    virtual void CloseUserFile();

  private:
    struct Conversion;
    friend class UserReader;
    int run(const MonoBitmap* bitmap);
    int loop(Conversion& c, const std::string& inputName);
    int yieldMessages();

    TFaxCvtOptionsSet options_ = coDoubleWidth | coCenterImage | coYield;
    TFont enhFont_;
    std::string documentFile_;
    MessagePump* pump_ = nullptr;
    std::span<const uint8_t> fontResource_;
    std::unique_ptr<Conversion> conversion_;
};

class TFaxConverter : public TCustomFaxConverter {};

}  // namespace pellora::fax
