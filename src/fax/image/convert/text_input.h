// Text input for the converter: text files drawn with a built-in fax font (idText) or with
// a system font (idTextEx), one text line giving R raster rows.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "fax/image/convert/fax_font.h"
#include "fax/image/convert/image_input.h"
#include "fax/image/convert/text_rasterizer.h"

namespace pellora::fax {

// Reads a text file line by line in 4096-byte blocks. A line ends at a carriage return, a
// line feed, or the pair of them; a Ctrl-Z that is the file's last byte (the end mark of DOS
// text files) is dropped. Lines longer than kMaxRawLine keep their first kMaxRawLine bytes.
class TLineReader {
  public:
    static constexpr std::size_t kBlockSize = 4096;
    static constexpr std::size_t kMaxRawLine = 4096;

    int open(const std::string& name);
    void close() { file_.close(); }
    // Reads the next line into *line; *got is false when the file is exhausted.
    int readLine(std::string* line, bool* got);
    // True when no byte is left to read.
    bool exhausted();
    uint64_t consumed() const { return consumed_; }
    uint64_t size() const { return end_; }

  private:
    int fill();
    int skipLineFeed();

    InputFile file_;
    uint8_t buf_[kBlockSize];
    std::size_t pos_ = 0, have_ = 0;
    uint64_t consumed_ = 0;
    uint64_t fileRead_ = 0;
    uint64_t end_ = 0;  // bytes that count: the file less a final Ctrl-Z
    bool lastWasCr_ = false;
};

struct TextSettings {
    ConvertSettings convert;
    unsigned tabStop = 4;
    unsigned linesPerPage = 60;
};

// The text reader of both text kinds. With `font` it draws with the built-in font; with
// `rasterizer` (already opened at the size for the resolution) with that system font.
class TextReader : public InputReader {
  public:
    static constexpr std::size_t kMaxLine = 255;  // characters of an expanded text line

    TextReader(const TextSettings& s, const FaxFont* font, const TextRasterizer* rasterizer);

    int open(const std::string& name) override;
    int getLine(std::span<uint8_t> line, LineResult* r) override;
    void close() override { reader_.close(); }

    // Raster rows per text line.
    int rowsPerLine() const { return rows_; }

  private:
    std::string expandTabs(const std::string& raw) const;
    void render(const std::string& text);

    TextSettings s_;
    const FaxFont* font_;
    const TextRasterizer* raster_;
    TLineReader reader_;
    int rows_ = 0;
    std::size_t lineBytes_ = 0;           // bytes per rendered row
    std::vector<uint8_t> rendered_;       // rows_ rows of the current text line
    unsigned len_ = 0;                    // Len answered for the rows of the current line
    MonoBitmap surface_;                  // idTextEx drawing surface
    int nextRow_ = 0;                     // next row of the current line; rows_ when none is left
    std::optional<std::string> pending_;  // text after a form feed
    std::optional<std::string> carried_;  // a line that starts the next page
    unsigned count_ = 0;                  // text lines on the current page
    bool firstOfPage_ = true;
};

}  // namespace pellora::fax
