#include "fax/image/convert/text_input.h"

#include <algorithm>
#include <cstring>

#include "fax/image/fax_errors.h"

namespace pellora::fax {

int TLineReader::open(const std::string& name) {
    pos_ = have_ = 0;
    consumed_ = fileRead_ = 0;
    lastWasCr_ = false;
    if (int rc = file_.open(name)) return rc;
    end_ = file_.size();
    if (end_ > 0) {
        uint8_t last = 0;
        if (file_.seek(end_ - 1) == 0 && file_.read(&last, 1) == 1 && last == 26) --end_;
        if (int rc = file_.seek(0)) {
            file_.close();
            return rc;
        }
    }
    return 0;
}

int TLineReader::fill() {
    if (pos_ < have_ || fileRead_ >= end_) return 0;
    const std::size_t want = std::size_t(std::min<uint64_t>(kBlockSize, end_ - fileRead_));
    const long got = file_.read(buf_, want);
    if (got < 0) return int(got);
    if (got == 0) {  // the file shrank while we read it
        end_ = fileRead_;
        return 0;
    }
    pos_ = 0;
    have_ = std::size_t(got);
    fileRead_ += uint64_t(got);
    return 0;
}

int TLineReader::skipLineFeed() {
    if (!lastWasCr_) return 0;
    if (int rc = fill()) return rc;
    if (pos_ < have_) {
        lastWasCr_ = false;
        if (buf_[pos_] == '\n') {
            ++pos_;
            ++consumed_;
        }
    }
    return 0;
}

bool TLineReader::exhausted() {
    if (skipLineFeed() || fill()) return true;
    return pos_ >= have_;
}

int TLineReader::readLine(std::string* line, bool* got) {
    line->clear();
    *got = false;
    if (int rc = skipLineFeed()) return rc;
    for (;;) {
        if (int rc = fill()) return rc;
        if (pos_ >= have_) return 0;
        const uint8_t c = buf_[pos_++];
        ++consumed_;
        *got = true;
        if (c == '\r') {
            lastWasCr_ = true;
            return 0;
        }
        if (c == '\n') return 0;
        if (line->size() < kMaxRawLine) line->push_back(char(c));
    }
}

TextReader::TextReader(const TextSettings& s, const FaxFont* font, const TextRasterizer* rasterizer)
    : s_(s), font_(font), raster_(rasterizer) {
    if (s_.tabStop == 0) s_.tabStop = 4;
    const int W = s_.convert.width, M = s_.convert.margin;
    lineBytes_ = std::size_t(W / 8);
    if (font_) {
        rows_ = font_->rows;
    } else if (raster_) {
        rows_ = raster_->textHeight();
        surface_ = MonoBitmap(std::max(W - M, 8), rows_);
    }
    rendered_.assign(std::size_t(rows_) * lineBytes_, 0);
    placement_.halfHeight = (s_.convert.options & coHalfHeight) && !s_.convert.highResolution;
    nextRow_ = rows_;
}

int TextReader::open(const std::string& name) {
    if (int rc = reader_.open(name)) return rc;
    bytesToConvert_ = reader_.size();
    bytesConverted_ = 0;
    nextRow_ = rows_;
    pending_.reset();
    carried_.reset();
    count_ = 0;
    firstOfPage_ = true;
    return 0;
}

std::string TextReader::expandTabs(const std::string& raw) const {
    std::string out;
    for (char c : raw) {
        if (out.size() >= kMaxLine) break;
        if (c == '\t') {
            do out.push_back(' ');
            while (out.size() % s_.tabStop != 0 && out.size() < kMaxLine);
        } else {
            out.push_back(c);
        }
    }
    if (font_) {  // the built-in font cuts the line where the fax line ends
        const int gw = font_->width;
        const long fit = long(s_.convert.width / gw) - long(s_.convert.margin / gw);
        if (fit <= 0)
            out.clear();
        else if (out.size() > std::size_t(fit))
            out.resize(std::size_t(fit));
    }
    return out;
}

void TextReader::render(const std::string& text) {
    std::fill(rendered_.begin(), rendered_.end(), 0);
    if (font_) {
        const int gw = font_->width;
        for (std::size_t i = 0; i < text.size(); ++i) {
            const long x0 = long(i) * gw;
            for (int r = 0; r < rows_; ++r) {
                const auto g = font_->glyphRow(uint8_t(text[i]), r);
                uint8_t* dst = &rendered_[std::size_t(r) * lineBytes_];
                for (int k = 0; k < gw; ++k) {
                    if (!(g[std::size_t(k / 8)] & (0x80u >> (k % 8)))) continue;
                    const long x = x0 + k;
                    if (x < long(lineBytes_) * 8) dst[x / 8] |= uint8_t(0x80u >> (x % 8));
                }
            }
        }
        len_ = unsigned((text.size() * std::size_t(gw) + 7) / 8);
        return;
    }
    if (!raster_ || rows_ <= 0) return;
    std::fill(surface_.bits().begin(), surface_.bits().end(), 0);
    raster_->draw(surface_, 0, 0, cp1252ToUnicode(text));
    const std::size_t stride = surface_.stride();
    for (int r = 0; r < rows_; ++r) {
        const auto src = surface_.row(r);
        uint8_t* dst = &rendered_[std::size_t(r) * lineBytes_];
        if (s_.convert.highResolution) {
            std::memcpy(dst, src.data(), std::min(stride, lineBytes_));
        } else {
            // Drawn at half the horizontal resolution: every pixel of the first half of the
            // row becomes two.
            const std::size_t half = stride / 2;
            for (std::size_t i = 0; i < half && 2 * i < lineBytes_; ++i) {
                const uint8_t b = src[i];
                uint16_t wide = 0;
                for (int k = 0; k < 8; ++k)
                    if (b & (0x80u >> k)) wide |= uint16_t(0xC000u >> (2 * k));
                if (2 * i < lineBytes_) dst[2 * i] = uint8_t(wide >> 8);
                if (2 * i + 1 < lineBytes_) dst[2 * i + 1] = uint8_t(wide);
            }
        }
    }
    len_ = unsigned(lineBytes_);
}

int TextReader::getLine(std::span<uint8_t> line, LineResult* r) {
    *r = {};
    auto answerRow = [&] {
        std::memcpy(line.data(), &rendered_[std::size_t(nextRow_) * lineBytes_],
                    std::min(lineBytes_, line.size()));
        ++nextRow_;
        r->len = len_;
        r->morePages = true;
        firstOfPage_ = false;
        bytesConverted_ = reader_.consumed();
        return 0;
    };
    if (nextRow_ < rows_) return answerRow();

    std::string text;
    if (carried_) {
        text = std::move(*carried_);
        carried_.reset();
    } else {
        if (!pending_ && reader_.exhausted()) {
            bytesConverted_ = reader_.consumed();
            if (firstOfPage_) {  // a page always holds at least one (blank) row
                firstOfPage_ = false;
                return 0;
            }
            r->endOfPage = true;
            firstOfPage_ = true;
            return 0;
        }
        const bool followsFormFeed = pending_.has_value();
        std::string raw;
        if (pending_) {
            raw = std::move(*pending_);
            pending_.reset();
        } else {
            bool got = false;
            if (int rc = reader_.readLine(&raw, &got)) return rc;
        }
        bytesConverted_ = reader_.consumed();
        const auto ff = raw.find('\f');
        if (ff != std::string::npos) {
            pending_ = raw.substr(ff + 1, kMaxLine);
            raw.resize(ff);
        }
        text = expandTabs(raw);
        ++count_;
        if (followsFormFeed || (s_.linesPerPage > 0 && count_ > s_.linesPerPage)) {
            // The page ends here. An empty line right after a form feed is dropped (so a
            // form feed at the end of a line adds no empty line to the next page).
            if (followsFormFeed && text.empty()) {
                count_ = 0;
            } else {
                carried_ = std::move(text);
                count_ = 1;
            }
            r->endOfPage = true;
            r->morePages = carried_.has_value() || pending_.has_value() || !reader_.exhausted();
            bytesConverted_ = reader_.consumed();
            firstOfPage_ = true;
            return 0;
        }
    }
    render(text);
    nextRow_ = 0;
    return answerRow();
}

}  // namespace pellora::fax
