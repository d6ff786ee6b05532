#include "fax/image/t4.h"

#include <bit>
#include <cstring>
#include <stdexcept>

namespace pellora::fax {
namespace {

// ---------------------------------------------------------------------------------------
// Code tables of T.4, written as the standard prints them (first transmitted bit first).

constexpr const char* kWhiteTerm[64] = {
    "00110101", "000111",   "0111",     "1000",     "1011",     "1100",     "1110",     "1111",
    "10011",    "10100",    "00111",    "01000",    "001000",   "000011",   "110100",   "110101",
    "101010",   "101011",   "0100111",  "0001100",  "0001000",  "0010111",  "0000011",  "0000100",
    "0101000",  "0101011",  "0010011",  "0100100",  "0011000",  "00000010", "00000011", "00011010",
    "00011011", "00010010", "00010011", "00010100", "00010101", "00010110", "00010111", "00101000",
    "00101001", "00101010", "00101011", "00101100", "00101101", "00000100", "00000101", "00001010",
    "00001011", "01010010", "01010011", "01010100", "01010101", "00100100", "00100101", "01011000",
    "01011001", "01011010", "01011011", "01001010", "01001011", "00110010", "00110011", "00110100"};

// Make-up codes for 64, 128, ... 1728.
constexpr const char* kWhiteMakeup[27] = {
    "11011",     "10010",     "010111",    "0110111",   "00110110",  "00110111",  "01100100",
    "01100101",  "01101000",  "01100111",  "011001100", "011001101", "011010010", "011010011",
    "011010100", "011010101", "011010110", "011010111", "011011000", "011011001", "011011010",
    "011011011", "010011000", "010011001", "010011010", "011000",    "010011011"};

constexpr const char* kBlackTerm[64] = {
    "0000110111",   "010",          "11",           "10",           "011",          "0011",
    "0010",         "00011",        "000101",       "000100",       "0000100",      "0000101",
    "0000111",      "00000100",     "00000111",     "000011000",    "0000010111",   "0000011000",
    "0000001000",   "00001100111",  "00001101000",  "00001101100",  "00000110111",  "00000101000",
    "00000010111",  "00000011000",  "000011001010", "000011001011", "000011001100", "000011001101",
    "000001101000", "000001101001", "000001101010", "000001101011", "000011010010", "000011010011",
    "000011010100", "000011010101", "000011010110", "000011010111", "000001101100", "000001101101",
    "000011011010", "000011011011", "000001010100", "000001010101", "000001010110", "000001010111",
    "000001100100", "000001100101", "000001010010", "000001010011", "000000100100", "000000110111",
    "000000111000", "000000100111", "000000101000", "000001011000", "000001011001", "000000101011",
    "000000101100", "000001011010", "000001100110", "000001100111"};

constexpr const char* kBlackMakeup[27] = {
    "0000001111",    "000011001000",  "000011001001",  "000001011011",  "000000110011",
    "000000110100",  "000000110101",  "0000001101100", "0000001101101", "0000001001010",
    "0000001001011", "0000001001100", "0000001001101", "0000001110010", "0000001110011",
    "0000001110100", "0000001110101", "0000001110110", "0000001110111", "0000001010010",
    "0000001010011", "0000001010100", "0000001010101", "0000001011010", "0000001011011",
    "0000001100100", "0000001100101"};

// Make-up codes for 1792, 1856, ... 2560, the same for both colours.
constexpr const char* kExtMakeup[13] = {
    "00000001000",  "00000001100",  "00000001101",  "000000010010", "000000010011",
    "000000010100", "000000010101", "000000010110", "000000010111", "000000011100",
    "000000011101", "000000011110", "000000011111"};

constexpr const char* kEol = "000000000001";

constexpr int kMaxCodeLength = 13;

// A code ready to be ORed into a least-significant-first stream: its first bit in bit 0.
struct PutCode {
    uint16_t bits = 0;
    uint8_t len = 0;
};

constexpr PutCode reversed(const char* s) {
    PutCode c;
    for (int i = 0; s[i]; ++i) {
        if (s[i] == '1') c.bits = uint16_t(c.bits | (1u << i));
        ++c.len;
    }
    return c;
}

struct PutTables {
    PutCode term[2][64];
    PutCode makeup[2][41];  // index run/64, 1..40 (64 .. 2560)
};

constexpr PutTables makePutTables() {
    PutTables t{};
    for (int i = 0; i < 64; ++i) {
        t.term[0][i] = reversed(kWhiteTerm[i]);
        t.term[1][i] = reversed(kBlackTerm[i]);
    }
    for (int i = 0; i < 27; ++i) {
        t.makeup[0][i + 1] = reversed(kWhiteMakeup[i]);
        t.makeup[1][i + 1] = reversed(kBlackMakeup[i]);
    }
    for (int i = 0; i < 13; ++i) {
        t.makeup[0][28 + i] = reversed(kExtMakeup[i]);
        t.makeup[1][28 + i] = reversed(kExtMakeup[i]);
    }
    return t;
}

constexpr PutTables kPut = makePutTables();

// ---------------------------------------------------------------------------------------
// Code trees. Built over the codes of one colour plus EOL, depth first to the longest code
// length: a prefix that is a code becomes a leaf, a prefix of that length that is none is a
// dead end, anything shorter an inner node. The zero-child of the node reached by eleven
// zeros points back at itself, so an EOL may be preceded by any number of fill bits.

enum class NodeKind : uint8_t { Inner, Run, Eol, Dead };

struct Node {
    NodeKind kind = NodeKind::Inner;
    uint16_t run = 0;
    int16_t child[2] = {-1, -1};
};

struct Tree {
    std::vector<Node> nodes;
    int fillNode = -1;  // reached by eleven zeros
};

struct CodeDef {
    uint32_t value;  // first bit most significant
    int len;
    int run;  // -1: EOL
};

CodeDef parse(const char* s, int run) {
    CodeDef c{0, 0, run};
    for (int i = 0; s[i]; ++i) {
        c.value = (c.value << 1) | (s[i] == '1' ? 1u : 0u);
        ++c.len;
    }
    return c;
}

int buildNode(Tree& t, const std::vector<CodeDef>& codes, uint32_t prefix, int depth) {
    int idx = int(t.nodes.size());
    t.nodes.emplace_back();
    for (const auto& c : codes) {
        if (c.len == depth && c.value == prefix) {
            if (c.run < 0) {
                t.nodes[idx].kind = NodeKind::Eol;
            } else {
                t.nodes[idx].kind = NodeKind::Run;
                t.nodes[idx].run = uint16_t(c.run);
            }
            return idx;
        }
    }
    if (depth == kMaxCodeLength) {
        t.nodes[idx].kind = NodeKind::Dead;
        return idx;
    }
    int zero = buildNode(t, codes, prefix << 1, depth + 1);
    int one = buildNode(t, codes, (prefix << 1) | 1, depth + 1);
    t.nodes[idx].child[0] = int16_t(zero);
    t.nodes[idx].child[1] = int16_t(one);
    return idx;
}

Tree buildTree(bool black) {
    std::vector<CodeDef> codes;
    for (int i = 0; i < 64; ++i) codes.push_back(parse(black ? kBlackTerm[i] : kWhiteTerm[i], i));
    for (int i = 0; i < 27; ++i)
        codes.push_back(parse(black ? kBlackMakeup[i] : kWhiteMakeup[i], 64 * (i + 1)));
    for (int i = 0; i < 13; ++i) codes.push_back(parse(kExtMakeup[i], 1792 + 64 * i));
    codes.push_back(parse(kEol, -1));
    Tree t;
    t.nodes.reserve(306);
    buildNode(t, codes, 0, 0);
    int n = 0;
    for (int i = 0; i < 11; ++i) n = t.nodes[n].child[0];
    t.nodes[n].child[0] = int16_t(n);
    t.fillNode = n;
    return t;
}

const Tree& tree(bool black) {
    static const Tree trees[2] = {buildTree(false), buildTree(true)};
    return trees[black ? 1 : 0];
}

// ---------------------------------------------------------------------------------------
// Decoding tables: for each colour, what the next bits (first bit in bit 0) begin with, read
// from the tree. A first table looks at 9 bits, which settles every common code; prefixes of
// longer codes lead to a second table of 16 entries for the next 4 bits. Small tables stay
// in the first-level cache, which matters more than saving the second look-up.
// Entry: bits 0-4 bits taken in all, bits 5-6 kind, bit 7 "see second table", bits 8-19
// the run length or the second table's offset.

constexpr int kTableBits = kMaxCodeLength;  // bits a decision may need
constexpr int kFirstBits = 9;
constexpr int kSecondBits = kMaxCodeLength - kFirstBits;
constexpr uint32_t kEntryRun = 0, kEntryFill = 1, kEntryDead = 2, kEntrySub = 0x80;

struct DecodeTables {
    std::vector<uint32_t> first[2];
    std::vector<uint32_t> second[2];
};

// Walks the tree from `node` over `bits` (first bit in bit 0), `count` of them; returns the
// entry when a decision falls within them, else 0 with `node` advanced.
uint32_t walk(const Tree& tr, int& node, uint32_t bits, int count, int depth) {
    for (int b = 0; b < count; ++b) {
        node = tr.nodes[node].child[(bits >> b) & 1];
        const Node& n = tr.nodes[node];
        const uint32_t len = uint32_t(depth + b + 1);
        if (node == tr.fillNode) return len | (kEntryFill << 5);
        if (n.kind == NodeKind::Run) return len | (kEntryRun << 5) | (uint32_t(n.run) << 8);
        // An EOL is always reached through the fill node, so only dead ends are left.
        if (n.kind != NodeKind::Inner) return len | (kEntryDead << 5);
    }
    return 0;
}

DecodeTables buildDecodeTables() {
    DecodeTables d;
    for (int colour = 0; colour < 2; ++colour) {
        const Tree& tr = tree(colour == 1);
        auto& first = d.first[colour];
        auto& second = d.second[colour];
        first.resize(std::size_t(1) << kFirstBits);
        for (uint32_t i = 0; i < (1u << kFirstBits); ++i) {
            int node = 0;
            uint32_t e = walk(tr, node, i, kFirstBits, 0);
            if (e == 0) {
                const uint32_t offset = uint32_t(second.size());
                for (uint32_t j = 0; j < (1u << kSecondBits); ++j) {
                    int n2 = node;
                    second.push_back(walk(tr, n2, j, kSecondBits, kFirstBits));
                }
                e = kEntrySub | (offset << 8);
            }
            first[i] = e;
        }
    }
    return d;
}

const DecodeTables& decodeTables() {
    static const DecodeTables tables = buildDecodeTables();
    return tables;
}

// The entry for the bits at hand (at least kTableBits of them, or zero padded).
inline uint32_t lookup(const uint32_t* first, const uint32_t* second, uint64_t bits) {
    uint32_t e = first[bits & ((1u << kFirstBits) - 1)];
    if (e & kEntrySub) [[unlikely]]
        e = second[(e >> 8) + ((bits >> kFirstBits) & ((1u << kSecondBits) - 1))];
    return e;
}

// Sets `n` pixels from pixel `start` to black.
inline void fillBlack(uint8_t* line, unsigned start, unsigned n) {
    if (n == 0) return;
    const unsigned end = start + n;
    const unsigned sb = start >> 3, eb = end >> 3;
    const uint8_t head = uint8_t(0xFFu >> (start & 7));
    const uint8_t tail = uint8_t(~(0xFFu >> (end & 7)));
    if (sb == eb) {
        line[sb] |= uint8_t(head & tail);
        return;
    }
    line[sb] |= head;
    if (eb > sb + 1) std::memset(line + sb + 1, 0xFF, eb - sb - 1);
    if (end & 7) line[eb] |= tail;
}

inline uint64_t load64le(const uint8_t* p) {
    uint64_t v;
    std::memcpy(&v, p, 8);
    if constexpr (std::endian::native == std::endian::big) v = __builtin_bswap64(v);
    return v;
}

// Appends codes to a least-significant-first bit stream.
class BitWriter {
  public:
    explicit BitWriter(uint8_t* out) : start_(out), out_(out) {}
    void put(PutCode c) {
        acc_ |= uint64_t(c.bits) << n_;
        n_ += c.len;
        if (n_ >= 32) {
            const uint32_t w = uint32_t(acc_);
            if constexpr (std::endian::native == std::endian::little) {
                std::memcpy(out_, &w, 4);
            } else {
                for (int i = 0; i < 4; ++i) out_[i] = uint8_t(w >> (8 * i));
            }
            out_ += 4;
            acc_ >>= 32;
            n_ -= 32;
        }
    }
    void putRun(unsigned run, int colour) {
        if (run > 63) {
            put(kPut.makeup[colour][run >> 6]);
            run &= 63;
        }
        put(kPut.term[colour][run]);
    }
    // Writes out the pending bits, zero padded to whole bytes; returns the number of bits put.
    std::size_t finish() {
        const std::size_t total = std::size_t(out_ - start_) * 8 + std::size_t(n_);
        while (n_ > 0) {
            *out_++ = uint8_t(acc_);
            acc_ >>= 8;
            n_ -= 8;
        }
        return total;
    }

  private:
    uint8_t* const start_;
    uint8_t* out_;
    uint64_t acc_ = 0;
    int n_ = 0;
};

// First pixel at or after `pos` (and before `limit`) whose colour differs from `black`;
// `limit` when there is none. `line` holds at least (limit + 7) / 8 bytes.
inline unsigned findChange(const uint8_t* line, unsigned pos, unsigned limit, bool black,
                           unsigned lineBytes) {
    const uint8_t flip = black ? 0xFF : 0x00;
    unsigned byte = pos >> 3;
    uint8_t b = uint8_t(uint8_t(line[byte] ^ flip) << (pos & 7));
    if (b) {
        unsigned p = pos + unsigned(std::countl_zero(b));
        return p < limit ? p : limit;
    }
    ++byte;
    const uint64_t flip64 = black ? ~uint64_t(0) : 0;
    while (byte * 8 < limit) {
        if (byte + 8 <= lineBytes) {
            uint64_t w;
            std::memcpy(&w, line + byte, 8);
            if constexpr (std::endian::native == std::endian::little) w = __builtin_bswap64(w);
            w ^= flip64;
            if (w) {
                unsigned p = byte * 8 + unsigned(std::countl_zero(w));
                return p < limit ? p : limit;
            }
            byte += 8;
        } else {
            uint8_t x = uint8_t(line[byte] ^ flip);
            if (x) {
                unsigned p = byte * 8 + unsigned(std::countl_zero(x));
                return p < limit ? p : limit;
            }
            ++byte;
        }
    }
    return limit;
}

const std::array<uint8_t, 12> kEndOfPage = {0x00, 0x80, 0x00, 0x08, 0x80, 0x00,
                                            0x08, 0x80, 0x00, 0x08, 0x80, 0x00};
const uint8_t kBlank1728[6] = {0x00, 0x80, 0xB2, 0x59, 0x01, 0x00};
const uint8_t kBlank2048[6] = {0x00, 0x80, 0x80, 0xCC, 0x0A, 0x00};

}  // namespace

// ---------------------------------------------------------------------------------------

T4Encoder::T4Encoder(int width, int margin, bool doubleWidth) : doubleWidth_(doubleWidth) {
    // Room for the longest line (alternating pixels) plus the accumulator's last word.
    out_.assign(kCodeBufferSize + 16, 0);
    setWidth(width);
    setMargin(margin);
}

void T4Encoder::setWidth(int width) {
    if (width < 8 || width > kWideWidth || width % 8 != 0)
        throw std::invalid_argument("T4Encoder: line width must be a multiple of 8 up to 2048");
    width_ = width;
    if (margin_ >= width_) margin_ = width_ - 1;
}

void T4Encoder::setMargin(int margin) {
    if (margin < 0) margin = 0;
    if (margin >= width_) margin = width_ - 1;
    margin_ = margin;
}

std::span<const uint8_t> T4Encoder::encodeLine(std::span<const uint8_t> raster) {
    const unsigned lineBytes = unsigned(width_ / 8);
    const uint8_t* line = raster.data();
    if (raster.size() < lineBytes) {
        padded_.assign(lineBytes, 0);
        if (!raster.empty()) std::memcpy(padded_.data(), raster.data(), raster.size());
        line = padded_.data();
    }
    const unsigned W = unsigned(width_);
    const unsigned M = unsigned(margin_);

    uint8_t* out = out_.data();
    out[0] = 0x00;  // four fill bits and the EOL, which thereby ends on a byte boundary
    out[1] = 0x80;
    BitWriter bw(out + 2);

    // The coded pixels are 0 .. W-M-1, behind M white margin pixels; the first run is white
    // (possibly of length 0). An all-white line is thereby the single white run of W.
    const unsigned limit = W - M;
    unsigned pos = findChange(line, 0, limit, false, lineBytes);
    unsigned run = M + pos;
    bool black = false;
    if (!doubleWidth_) {
        for (;;) {
            bw.putRun(run, black ? 1 : 0);
            if (pos >= limit) break;
            black = !black;
            unsigned next = findChange(line, pos, limit, black, lineBytes);
            run = next - pos;
            pos = next;
        }
    } else {
        // Every run is doubled, the margin included, so that lines starting black line up
        // with lines starting white; the line is cut off at W and its last run brings it
        // to exactly W.
        unsigned sum = 0;
        for (;;) {
            unsigned r = 2 * run;
            if (pos >= limit || r >= W - sum) r = W - sum;
            bw.putRun(r, black ? 1 : 0);
            sum += r;
            if (sum >= W) break;
            black = !black;
            unsigned next = findChange(line, pos, limit, black, lineBytes);
            run = next - pos;
            pos = next;
        }
    }
    const std::size_t bits = 16 + bw.finish();
    // The coded line is every byte touched plus one more zero byte: two more than the offset
    // of the byte that holds the next free bit.
    const std::size_t len = (bits >> 3) + 2;
    for (std::size_t i = (bits + 7) >> 3; i < len; ++i) out[i] = 0;
    return {out, len};
}

const std::array<uint8_t, 12>& T4Encoder::endOfPage() {
    return kEndOfPage;
}

std::span<const uint8_t> T4Encoder::blankLine(int width) {
    return width == kWideWidth ? std::span<const uint8_t>(kBlank2048)
                               : std::span<const uint8_t>(kBlank1728);
}

// ---------------------------------------------------------------------------------------

T4Decoder::T4Decoder() {
    decodeTables();
    startPage();
}

void T4Decoder::startPage() {
    acc_ = 0;
    nbits_ = 0;
    black_ = false;
    inFill_ = false;
    skipOnes_ = false;
    waitEol_ = true;
    ended_ = false;
    stopped_ = false;
    eolCount_ = 0;
    errors_ = 0;
    lines_ = 0;
    pos_ = 0;
    dirty_ = 0;
    line_.fill(0);
}

bool T4Decoder::emitEol(const LineSink& sink) {
    const unsigned bytes = pos_ >> 3;
    bool go_on = true;
    if (bytes == 216 || bytes == 256) {
        ++lines_;
        go_on = sink(std::span<const uint8_t>(line_.data(), bytes));
    }
    // Only black runs write to the buffer; clear up to the end of the last one.
    if (dirty_) std::memset(line_.data(), 0, std::min<std::size_t>((dirty_ + 7) / 8, line_.size()));
    dirty_ = 0;
    pos_ = 0;
    black_ = false;
    waitEol_ = false;
    if (++eolCount_ >= 3) {
        ended_ = true;
        return false;
    }
    if (!go_on) {
        stopped_ = true;
        return false;
    }
    return true;
}

std::size_t T4Decoder::decode(std::span<const uint8_t> data, const LineSink& sink) {
    if (ended_ || stopped_) return 0;
    const uint8_t* const begin = data.data();
    const uint8_t* p = begin;
    const uint8_t* const end = begin + data.size();
    const DecodeTables& tables = decodeTables();
    const uint32_t* const first[2] = {tables.first[0].data(), tables.first[1].data()};
    const uint32_t* const second[2] = {tables.second[0].data(), tables.second[1].data()};
    uint8_t* const line = line_.data();

    // The state lives in locals while decoding: the line buffer is written through a byte
    // pointer, which could alias the members and would make the compiler reload them.
    uint64_t acc = acc_;
    int nbits = nbits_;
    unsigned pos = pos_, dirty = dirty_;
    bool black = black_;
    bool waitEol = waitEol_;
    auto store = [&] {
        acc_ = acc;
        nbits_ = nbits;
        pos_ = pos;
        dirty_ = dirty;
        black_ = black;
    };
    // An EOL ends the line; false when the page ends or the sink asks to stop.
    auto eol = [&] {
        store();
        const bool goOn = emitEol(sink);
        pos = pos_;
        dirty = dirty_;
        black = black_;
        waitEol = waitEol_;
        return goOn;
    };
    // A run code: ignored before the page's first EOL; a run that does not fit the line
    // buffer is dropped and keeps the colour; a terminating code (below 64) switches colour.
    auto applyRun = [&](unsigned run) {
        eolCount_ = 0;
        if (waitEol) [[unlikely]]
            return;
        if ((run >> 3) + (pos >> 3) >= kLineBufferSize) [[unlikely]]
            return;
        if (black) {
            fillBlack(line, pos, run);
            dirty = pos + run;
        }
        pos += run;
        if (run < 64) black = !black;
    };

    bool finished = false;
    while (!finished) {
        // Refill: 56 bits or more when the data allows.
        if (end - p >= 8) {
            acc |= load64le(p) << nbits;
            p += (63 - nbits) >> 3;
            nbits |= 56;
        } else {
            while (nbits <= 56 && p < end) {
                acc |= uint64_t(*p++) << nbits;
                nbits += 8;
            }
        }
        if (nbits == 0) break;

        if (skipOnes_) [[unlikely]] {
            const uint64_t zeros = ~acc;
            const int t = zeros ? std::countr_zero(zeros) : 64;
            if (t >= nbits) {
                acc = 0;
                nbits = 0;
                if (p == end) break;
                continue;
            }
            acc >>= t;
            nbits -= t;
            skipOnes_ = false;
        }
        if (inFill_) {
            const int t = acc ? std::countr_zero(acc) : 64;
            if (t >= nbits) {
                acc = 0;
                nbits = 0;
                if (p == end) break;
                continue;
            }
            acc >>= (t + 1);
            nbits -= (t + 1);
            inFill_ = false;
            if (!eol()) break;
            continue;
        }

        // Codes, as many as the bits at hand hold.
        while (nbits >= kTableBits) {
            const uint32_t e = lookup(first[black], second[black], acc);
            const int len = int(e & 31);
            const uint32_t kind = (e >> 5) & 3;
            acc >>= len;
            nbits -= len;
            if (kind == kEntryRun) [[likely]] {
                applyRun(e >> 8);
            } else if (kind == kEntryFill) {
                // Eleven zeros: an EOL once the one after the fill bits is at hand.
                const int t = acc ? std::countr_zero(acc) : 64;
                if (t >= nbits) {
                    inFill_ = true;
                    break;
                }
                acc >>= (t + 1);
                nbits -= (t + 1);
                if (!eol()) {
                    finished = true;
                    break;
                }
            } else {
                ++errors_;
                skipOnes_ = true;
                break;
            }
        }
        if (finished) break;
        if (inFill_ || skipOnes_) continue;
        if (nbits < kTableBits && p == end) {
            // The data ends within the table's reach: take what is complete, bits beyond the
            // data read as zeros only decide codes that end before them.
            if (nbits == 0) break;
            const uint32_t e =
                lookup(first[black], second[black], acc & ((uint64_t(1) << nbits) - 1));
            const int len = int(e & 31);
            if (len > nbits) break;  // a code cut by the end of the data: wait for more
            const uint32_t kind = (e >> 5) & 3;
            acc >>= len;
            nbits -= len;
            if (kind == kEntryRun) {
                applyRun(e >> 8);
            } else if (kind == kEntryFill) {
                inFill_ = true;
            } else {
                ++errors_;
                skipOnes_ = true;
            }
        }
    }
    store();

    if (ended_ || stopped_) {
        const std::ptrdiff_t unread = nbits_ / 8;
        acc_ = 0;
        nbits_ = 0;
        const std::ptrdiff_t taken = (p - begin) - unread;
        return taken > 0 ? std::size_t(taken) : 0;
    }
    return data.size();
}

// ---------------------------------------------------------------------------------------

namespace detail {

std::vector<std::vector<uint8_t>> decodePageBitwise(std::span<const uint8_t> data,
                                                    unsigned* codeErrors) {
    std::vector<std::vector<uint8_t>> lines;
    std::array<uint8_t, T4Decoder::kLineBufferSize + 16> line{};
    unsigned pos = 0;
    bool black = false;
    int node = 0;
    unsigned eols = 0, errors = 0;
    bool waitEol = true, skipOnes = false;
    for (uint8_t byte : data) {
        for (int b = 0; b < 8; ++b) {
            const int bit = (byte >> b) & 1;
            const Tree& tr = tree(black);
            if (bit == 1) {
                if (skipOnes) continue;
                node = tr.nodes[node].child[1];
            } else {
                skipOnes = false;
                node = tr.nodes[node].child[0];
            }
            const Node& n = tr.nodes[node];
            switch (n.kind) {
                case NodeKind::Inner:
                    break;
                case NodeKind::Run:
                    if (!waitEol && (n.run / 8u) + (pos / 8u) < T4Decoder::kLineBufferSize) {
                        if (black)
                            for (unsigned i = 0; i < n.run; ++i)
                                line[(pos + i) / 8] |= uint8_t(0x80u >> ((pos + i) % 8));
                        pos += n.run;
                        if (n.run < 64) black = !black;
                    }
                    node = 0;
                    eols = 0;
                    break;
                case NodeKind::Eol:
                    if (pos / 8 == 216 || pos / 8 == 256)
                        lines.emplace_back(line.begin(), line.begin() + pos / 8);
                    line.fill(0);
                    pos = 0;
                    black = false;
                    node = 0;
                    waitEol = false;
                    if (++eols == 3) {
                        if (codeErrors) *codeErrors = errors;
                        return lines;
                    }
                    break;
                case NodeKind::Dead:
                    node = 0;
                    ++errors;
                    skipOnes = true;
                    break;
            }
        }
    }
    if (codeErrors) *codeErrors = errors;
    return lines;
}

}  // namespace detail

}  // namespace pellora::fax
