// TIFF input: bilevel images, uncompressed or PackBits, either byte order, in one or more
// strips. Only the first image directory is read, so a TIFF file is always one page.
#include <algorithm>
#include <cstring>

#include "fax/image/convert/image_input.h"
#include "fax/image/fax_errors.h"

namespace pellora::fax {

namespace {

constexpr uint16_t kShort = 3;
constexpr uint16_t kLong = 4;

class TiffReader : public InputReader {
  public:
    explicit TiffReader(const ConvertSettings& s) : s_(s) {}

    int open(const std::string& name) override {
        int rc = file_.open(name);
        if (rc == 0) rc = readDirectory();
        if (rc) file_.close();
        return rc;
    }

    int getLine(std::span<uint8_t> line, LineResult* r) override {
        *r = {};
        if (strip_ >= strips_.size() || rowsDone_ >= height_) {
            r->endOfPage = true;
            return 0;
        }
        if (int rc = readRow()) return rc;
        if (photometric_ != 0)
            for (auto& b : row_) b = uint8_t(~b);
        row_.back() &= lastMask_;  // bits past the image width stay white
        const std::size_t off = std::min<std::size_t>(placement_.offset, line.size());
        std::memcpy(line.data() + off, row_.data(), std::min(row_.size(), line.size() - off));
        bytesConverted_ += row_.size();
        ++rowsDone_;
        if (++rowInStrip_ >= stripRows(strip_) && rowsDone_ < height_) {
            ++strip_;
            rowInStrip_ = 0;
            if (strip_ < strips_.size()) {
                if (int rc = file_.seek(strips_[strip_])) return rc;
                pos_ = have_ = 0;  // the buffered bytes belonged to the previous strip
            }
        }
        r->len = unsigned(row_.size());
        return 0;
    }

    void close() override { file_.close(); }

  private:
    uint16_t get16(const uint8_t* p) const {
        return motorola_ ? uint16_t(p[0] << 8 | p[1]) : uint16_t(p[1] << 8 | p[0]);
    }
    uint32_t get32(const uint8_t* p) const {
        return motorola_ ? uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3]
                         : uint32_t(p[3]) << 24 | uint32_t(p[2]) << 16 | uint32_t(p[1]) << 8 | p[0];
    }

    // Reads exactly n bytes; data that ends early is a read error.
    int readExact(void* buf, std::size_t n) {
        const long got = file_.read(buf, n);
        if (got < 0) return int(got);
        return std::size_t(got) == n ? 0 : ecDeviceReadError;
    }

    // An array of `count` SHORT or LONG items: inside the entry when it fits in 4 bytes,
    // else at the offset the entry holds.
    int readArray(uint16_t type, uint32_t count, const uint8_t* field, std::vector<uint32_t>* out) {
        const std::size_t item = type == kShort ? 2 : 4;
        if (type != kShort && type != kLong) return ecBadGraphicsFormat;
        if (uint64_t(count) * item > file_.size() + 4) return ecDeviceReadError;
        std::vector<uint8_t> raw(count * item);
        if (raw.size() <= 4) {
            std::memcpy(raw.data(), field, raw.size());
        } else {
            if (int rc = file_.seek(get32(field))) return rc;
            if (int rc = readExact(raw.data(), raw.size())) return rc;
        }
        out->resize(count);
        for (uint32_t i = 0; i < count; ++i)
            (*out)[i] = item == 2 ? get16(&raw[i * 2]) : get32(&raw[i * 4]);
        return 0;
    }

    int readDirectory() {
        uint8_t head[8];
        if (file_.read(head, 8) != 8) return ecBadGraphicsFormat;
        if (head[0] == 'I' && head[1] == 'I')
            motorola_ = false;
        else if (head[0] == 'M' && head[1] == 'M')
            motorola_ = true;
        else
            return ecBadGraphicsFormat;
        const uint32_t ifd = get32(head + 4);
        if (ifd > 0)
            if (int rc = file_.seek(ifd)) return rc;
        uint8_t cnt[2];
        if (int rc = readExact(cnt, 2)) return rc;
        const unsigned entries = get16(cnt);
        std::vector<uint8_t> dir(std::size_t(entries) * 12);
        if (int rc = readExact(dir.data(), dir.size())) return rc;

        bool haveWidth = false, haveHeight = false, haveOffsets = false, haveCounts = false;
        uint32_t width = 0, rowsPerStrip = 0;
        uint16_t offType = kLong, cntType = kLong;
        uint32_t offCount = 0, cntCount = 0;
        uint8_t offField[4] = {}, cntField[4] = {};
        for (unsigned e = 0; e < entries; ++e) {
            const uint8_t* p = &dir[std::size_t(e) * 12];
            const uint16_t tag = get16(p), type = get16(p + 2);
            const uint32_t count = get32(p + 4);
            const uint32_t value = type == kShort ? get16(p + 8) : get32(p + 8);
            switch (tag) {
                case 256:
                    width = value;
                    haveWidth = true;
                    break;
                case 257:
                    height_ = value;
                    haveHeight = true;
                    break;
                case 258:
                    if (value != 1) return ecBadGraphicsFormat;
                    break;
                case 259:
                    if (value != 1 && value != 32773) return ecBadGraphicsFormat;
                    packBits_ = value == 32773;
                    break;
                case 262:
                    photometric_ = value;
                    break;
                case 273:
                    haveOffsets = true;
                    offType = type;
                    offCount = count;
                    std::memcpy(offField, p + 8, 4);
                    break;
                case 278:
                    rowsPerStrip = value;
                    break;
                case 279:
                    haveCounts = true;
                    cntType = type;
                    cntCount = count;
                    std::memcpy(cntField, p + 8, 4);
                    break;
                default:  // 255 SubfileType and everything else: no effect
                    break;
            }
        }
        if (!haveWidth || !haveHeight || !haveOffsets || width == 0) return ecBadGraphicsFormat;
        rowBytes_ = (std::size_t(width) + 7) / 8;
        // A row must fit the line buffer; a fax line is at most 2048 pixels anyway.
        if (rowBytes_ > kLineBufferSize) return ecBadGraphicsFormat;
        lastMask_ = width % 8 ? uint8_t(0xFF00u >> (width % 8)) : uint8_t(0xFF);

        if (offCount < 2) {
            strips_.assign(1, offType == kShort ? get16(offField) : get32(offField));
            rowsPerStrip_ = height_;
        } else {
            if (haveCounts && cntCount >= offCount) {
                std::vector<uint32_t> counts;  // read as the format asks; not needed to decode
                if (int rc = readArray(cntType, cntCount, cntField, &counts)) return rc;
            }
            if (int rc = readArray(offType, offCount, offField, &strips_)) return rc;
            rowsPerStrip_ = rowsPerStrip ? rowsPerStrip : height_;
        }
        if (int rc = file_.seek(strips_[0])) return rc;
        row_.assign(rowBytes_, 0);
        placement_ = placeImage(s_, long(width));
        bytesToConvert_ = uint64_t(rowBytes_) * height_;
        return 0;
    }

    uint32_t stripRows(std::size_t k) const {
        if (k + 1 < strips_.size()) return rowsPerStrip_;
        const uint64_t before = uint64_t(rowsPerStrip_) * k;
        return before >= height_ ? 0 : uint32_t(height_ - before);
    }

    int nextByte(uint8_t* b) {
        if (pos_ == have_) {
            const long got = file_.read(buf_, sizeof buf_);
            if (got < 0) return int(got);
            if (got == 0) return ecDeviceReadError;
            have_ = std::size_t(got);
            pos_ = 0;
        }
        *b = buf_[pos_++];
        return 0;
    }

    int readRow() {
        std::size_t filled = 0;
        if (!packBits_) {
            while (filled < rowBytes_)
                if (int rc = nextByte(&row_[filled++])) return rc;
            return 0;
        }
        while (filled < rowBytes_) {
            uint8_t n = 0;
            if (int rc = nextByte(&n)) return rc;
            if (n < 128) {
                for (int k = 0; k <= n; ++k) {
                    uint8_t b = 0;
                    if (int rc = nextByte(&b)) return rc;
                    if (filled < rowBytes_) row_[filled++] = b;
                }
            } else {
                // 128 is taken as a repeat of 129 like the other repeat codes.
                uint8_t b = 0;
                if (int rc = nextByte(&b)) return rc;
                for (int k = 0; k < 257 - n && filled < rowBytes_; ++k) row_[filled++] = b;
            }
        }
        return 0;
    }

    ConvertSettings s_;
    InputFile file_;
    bool motorola_ = false;
    bool packBits_ = false;
    uint32_t photometric_ = 0;
    uint32_t height_ = 0;
    uint32_t rowsPerStrip_ = 0;
    std::size_t rowBytes_ = 0;
    uint8_t lastMask_ = 0xFF;
    std::vector<uint32_t> strips_;
    std::size_t strip_ = 0;
    uint32_t rowInStrip_ = 0;
    uint32_t rowsDone_ = 0;
    std::vector<uint8_t> row_;
    uint8_t buf_[8192];
    std::size_t pos_ = 0, have_ = 0;
};

}  // namespace

std::unique_ptr<InputReader> makeTiffReader(const ConvertSettings& s) {
    return std::make_unique<TiffReader>(s);
}

}  // namespace pellora::fax
