// PCX input (one page) and DCX input (a directory of PCX pages). Only one-bit, one-plane,
// run-length encoded PCX images are accepted.
#include <algorithm>
#include <cstring>

#include "fax/image/convert/image_input.h"
#include "fax/image/fax_errors.h"

namespace pellora::fax {

namespace {

constexpr std::size_t kPcxHeaderSize = 128;
constexpr uint32_t kDcxMagic = 987654321;  // 0x3ADE68B1
constexpr std::size_t kDcxMaxPages = 1024;

uint16_t le16(const uint8_t* p) {
    return uint16_t(p[0] | p[1] << 8);
}
uint32_t le32(const uint8_t* p) {
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

// One PCX image lying at `offset` in a file, `length` bytes long (header included).
class PcxPage {
  public:
    // Reads and checks the header; -8002 when it is not acceptable.
    int open(InputFile& file, uint64_t offset, uint64_t length, const ConvertSettings& s,
             Placement* placement) {
        file_ = &file;
        pos_ = have_ = 0;
        if (int rc = file.seek(offset)) return rc;
        uint8_t h[kPcxHeaderSize];
        const long got = file.read(h, sizeof h);
        if (got < 0) return int(got);
        if (std::size_t(got) < sizeof h) return ecBadGraphicsFormat;
        const int xmin = le16(h + 4), xmax = le16(h + 8);
        version_ = h[1];
        bytesPerLine_ = le16(h + 66);
        // A line of no bytes would never consume the data; more than one plane is colour.
        if (h[0] != 10 || h[2] != 1 || h[3] != 1 || xmax < xmin || xmax - xmin > s.width ||
            bytesPerLine_ == 0 || h[65] > 1)
            return ecBadGraphicsFormat;
        width_ = xmax - xmin + 1;
        rowBytes_ = std::size_t(xmax - xmin + 8) / 8;
        left_ = length > kPcxHeaderSize ? length - kPcxHeaderSize : 0;
        *placement = placeImage(s, width_);
        offset_ = placement->offset;
        return 0;
    }

    uint64_t dataLeft() const { return left_; }

    // Decodes the next row into `line`; *consumed grows by the encoded bytes used. Sets
    // *end (and draws nothing) when no data is left.
    int getLine(std::span<uint8_t> line, LineResult* r, uint64_t* consumed) {
        *r = {};
        if (left_ == 0) {
            r->endOfPage = true;
            return 0;
        }
        std::memset(row_, 0xFF, sizeof row_);  // white in PCX terms: bytes not drawn stay white
        std::size_t produced = 0;
        while (produced < bytesPerLine_ && left_ > 0) {
            uint8_t b = 0;
            if (int rc = next(&b, consumed)) return rc;
            if (b < 192) {
                store(produced++, b);
                continue;
            }
            const unsigned count = b & 63u;
            if (left_ == 0) break;
            uint8_t v = 0;
            if (int rc = next(&v, consumed)) return rc;
            // Old versions drop a run that overruns the line; it still takes its place.
            if (version_ <= 3 && produced + count > bytesPerLine_) {
                produced += count;
                continue;
            }
            for (unsigned k = 0; k < count; ++k) store(produced++, v);
        }
        // In PCX a set bit is white. Only the image's own pixels are drawn: padding bytes
        // and the bits past the width would otherwise come out black.
        for (std::size_t i = 0; i < rowBytes_; ++i) row_[i] = uint8_t(~row_[i]);
        if (width_ % 8) row_[rowBytes_ - 1] &= uint8_t(0xFF00u >> (width_ % 8));
        const std::size_t off = std::min<std::size_t>(offset_, line.size());
        std::memcpy(line.data() + off, row_, std::min(rowBytes_, line.size() - off));
        r->len = bytesPerLine_;
        return 0;
    }

  private:
    void store(std::size_t i, uint8_t v) {
        if (i < kLineBufferSize) row_[i] = v;
    }

    int next(uint8_t* b, uint64_t* consumed) {
        if (pos_ == have_) {
            const std::size_t want = std::size_t(std::min<uint64_t>(sizeof buf_, left_));
            const long got = file_->read(buf_, want);
            if (got < 0) return int(got);
            if (got == 0) {  // the file is shorter than its directory says: no data left
                left_ = 0;
                *b = 0;
                return 0;
            }
            have_ = std::size_t(got);
            pos_ = 0;
        }
        *b = buf_[pos_++];
        --left_;
        ++*consumed;
        return 0;
    }

    InputFile* file_ = nullptr;
    uint8_t version_ = 0;
    unsigned bytesPerLine_ = 0;
    long width_ = 0;
    std::size_t rowBytes_ = 0;
    unsigned offset_ = 0;
    uint64_t left_ = 0;
    uint8_t row_[kLineBufferSize] = {};
    uint8_t buf_[8192];
    std::size_t pos_ = 0, have_ = 0;
};

class PcxReader : public InputReader {
  public:
    explicit PcxReader(const ConvertSettings& s) : s_(s) {}

    int open(const std::string& name) override {
        int rc = file_.open(name);
        if (rc == 0) rc = page_.open(file_, 0, file_.size(), s_, &placement_);
        if (rc) {
            file_.close();
            return rc;
        }
        bytesToConvert_ = page_.dataLeft();
        return 0;
    }

    int getLine(std::span<uint8_t> line, LineResult* r) override {
        return page_.getLine(line, r, &bytesConverted_);
    }

    void close() override { file_.close(); }

  private:
    ConvertSettings s_;
    InputFile file_;
    PcxPage page_;
};

class DcxReader : public InputReader {
  public:
    explicit DcxReader(const ConvertSettings& s) : s_(s) {}

    int open(const std::string& name) override {
        int rc = file_.open(name);
        if (rc == 0) rc = readDirectory();
        if (rc == 0) rc = openPage(0);
        if (rc) file_.close();
        return rc;
    }

    int getLine(std::span<uint8_t> line, LineResult* r) override {
        if (int rc = page_.getLine(line, r, &bytesConverted_)) return rc;
        if (!r->endOfPage) return 0;
        if (current_ + 1 < offsets_.size()) {
            if (int rc = openPage(current_ + 1)) return rc;
            r->morePages = true;
        }
        return 0;
    }

    void close() override { file_.close(); }

  private:
    int readDirectory() {
        uint8_t dir[4 + 4 * kDcxMaxPages];
        const long got = file_.read(dir, sizeof dir);
        if (got < 0) return int(got);
        if (got < 4 || le32(dir) != kDcxMagic) return ecBadGraphicsFormat;
        offsets_.clear();
        for (std::size_t k = 0; k < kDcxMaxPages && 4 + 4 * (k + 1) <= std::size_t(got); ++k) {
            const uint32_t off = le32(dir + 4 + 4 * k);
            if (off == 0) break;
            offsets_.push_back(off);
        }
        if (offsets_.empty()) return ecBadGraphicsFormat;
        // A page runs to the next higher page offset, the last one to the end of the file.
        std::vector<uint64_t> sorted(offsets_.begin(), offsets_.end());
        std::sort(sorted.begin(), sorted.end());
        lengths_.clear();
        bytesToConvert_ = 0;
        for (uint64_t off : offsets_) {
            auto it = std::upper_bound(sorted.begin(), sorted.end(), off);
            const uint64_t end = it == sorted.end() ? file_.size() : *it;
            const uint64_t len = end > off ? end - off : 0;
            lengths_.push_back(len);
            if (len > kPcxHeaderSize) bytesToConvert_ += len - kPcxHeaderSize;
        }
        return 0;
    }

    int openPage(std::size_t k) {
        current_ = k;
        return page_.open(file_, offsets_[k], lengths_[k], s_, &placement_);
    }

    ConvertSettings s_;
    InputFile file_;
    PcxPage page_;
    std::vector<uint64_t> offsets_, lengths_;
    std::size_t current_ = 0;
};

}  // namespace

std::unique_ptr<InputReader> makePcxReader(const ConvertSettings& s) {
    return std::make_unique<PcxReader>(s);
}

std::unique_ptr<InputReader> makeDcxReader(const ConvertSettings& s) {
    return std::make_unique<DcxReader>(s);
}

}  // namespace pellora::fax
