#include "store/cdx.h"

#include <algorithm>
#include <cstring>

#include "store/table_error.h"

namespace pellora::store::cdx {

namespace {

constexpr std::uint32_t kNone = 0xFFFFFFFFu;
constexpr int kHeaderSize = 1024;
constexpr int kLeafDataStart = 24;
constexpr int kInteriorDataStart = 12;

enum : std::uint8_t { kOptFor = 0x08, kOptCompact = 0x20, kOptCompound = 0x40, kOptDirectory = 0x80 };
enum : std::uint16_t { kInterior = 0, kRoot = 1, kLeaf = 2 };

void put16le(std::uint8_t* p, std::uint32_t v) {
    p[0] = static_cast<std::uint8_t>(v);
    p[1] = static_cast<std::uint8_t>(v >> 8);
}
void put32le(std::uint8_t* p, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = static_cast<std::uint8_t>(v >> (8 * i));
}
void put32be(std::uint8_t* p, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = static_cast<std::uint8_t>(v >> (8 * (3 - i)));
}
std::uint32_t get16le(const std::uint8_t* p) { return p[0] | (std::uint32_t(p[1]) << 8); }
std::uint32_t get32le(const std::uint8_t* p) {
    return p[0] | (std::uint32_t(p[1]) << 8) | (std::uint32_t(p[2]) << 16) |
           (std::uint32_t(p[3]) << 24);
}
std::uint32_t get32be(const std::uint8_t* p) {
    return (std::uint32_t(p[0]) << 24) | (std::uint32_t(p[1]) << 16) |
           (std::uint32_t(p[2]) << 8) | p[3];
}

int bitsFor(std::uint64_t value) {
    int bits = 0;
    while ((std::uint64_t(1) << bits) <= value) ++bits;
    return bits;
}

[[noreturn]] void bad(const std::string& what) {
    throw TableError(TableError::Kind::BadIndex, "damaged index: " + what);
}

struct Node {
    std::uint32_t offset;
    std::string lastKey;
    std::uint32_t lastRecno;
};

class Builder {
public:
    explicit Builder(std::vector<std::uint8_t>& out) : out_(out) {}

    std::uint32_t allocate(std::size_t bytes) {
        auto at = static_cast<std::uint32_t>(out_.size());
        out_.resize(out_.size() + bytes, 0);
        return at;
    }

    void writeHeader(std::uint32_t at, std::uint32_t root, int keyLength, std::uint8_t options,
                     bool descending, const std::string& keyExpr, const std::string& forExpr) {
        std::uint8_t* h = out_.data() + at;
        put32le(h + 0, root);
        put32le(h + 4, kNone);
        put16le(h + 12, static_cast<std::uint32_t>(keyLength));
        h[14] = options;
        h[15] = 1;
        put16le(h + 502, descending ? 1 : 0);
        auto keyLen = static_cast<std::uint32_t>(keyExpr.size() + 1);
        auto forLen = static_cast<std::uint32_t>(forExpr.size() + 1);
        put16le(h + 504, keyLen + forLen);
        put16le(h + 506, forLen);
        put16le(h + 510, keyLen);
        std::memcpy(h + 512, keyExpr.data(), keyExpr.size());
        std::memcpy(h + 512 + keyLen, forExpr.data(), forExpr.size());
    }

    // Writes the tree for keys in index order; returns the root page offset.
    std::uint32_t writeTree(const std::vector<std::pair<std::string_view, std::uint32_t>>& entries,
                            int keyLength, char pad) {
        std::uint32_t maxRecno = 1;
        for (const auto& e : entries) maxRecno = std::max(maxRecno, e.second);
        const int countBits = bitsFor(static_cast<std::uint64_t>(keyLength));
        const int entryBytes = (bitsFor(maxRecno) + 2 * countBits + 7) / 8;
        const int recBits = entryBytes * 8 - 2 * countBits;

        std::vector<Node> level;
        std::size_t i = 0;
        do {
            std::uint32_t page = allocate(kPageSize);
            std::uint8_t* p = out_.data() + page;
            int space = kPageSize - kLeafDataStart;
            int count = 0;
            int keyEnd = kPageSize;
            std::string_view prev;
            int prevTrail = 0;
            while (i < entries.size()) {
                std::string_view key = entries[i].first;
                int trail = 0;
                if (pad != '\0')
                    while (trail < keyLength && key[keyLength - 1 - trail] == pad) ++trail;
                // Shared leading bytes may come only from the stored part of both keys:
                // readers rebuild the previous key's trailing part with filler, not blanks.
                int dup = 0;
                if (count > 0) {
                    const int limit = std::min(keyLength - trail, keyLength - prevTrail);
                    while (dup < limit && key[dup] == prev[dup]) ++dup;
                }
                const int stored = keyLength - dup - trail;
                if (entryBytes + stored > space) break;
                std::uint64_t bits = entries[i].second |
                                     (std::uint64_t(dup) << recBits) |
                                     (std::uint64_t(trail) << (recBits + countBits));
                std::uint8_t* e = p + kLeafDataStart + count * entryBytes;
                for (int b = 0; b < entryBytes; ++b) e[b] = static_cast<std::uint8_t>(bits >> (8 * b));
                keyEnd -= stored;
                std::memcpy(p + keyEnd, key.data() + dup, static_cast<std::size_t>(stored));
                space -= entryBytes + stored;
                ++count;
                prev = key;
                prevTrail = trail;
                ++i;
            }
            put16le(p + 0, kLeaf);
            put16le(p + 2, static_cast<std::uint32_t>(count));
            put16le(p + 12, static_cast<std::uint32_t>(space));
            const std::uint64_t recMask = (std::uint64_t(1) << recBits) - 1;
            put32le(p + 14, static_cast<std::uint32_t>(recMask));
            p[18] = static_cast<std::uint8_t>((1u << countBits) - 1);
            p[19] = static_cast<std::uint8_t>((1u << countBits) - 1);
            p[20] = static_cast<std::uint8_t>(recBits);
            p[21] = static_cast<std::uint8_t>(countBits);
            p[22] = static_cast<std::uint8_t>(countBits);
            p[23] = static_cast<std::uint8_t>(entryBytes);
            Node n{page, {}, 0};
            if (count > 0) {
                n.lastKey.assign(prev);
                n.lastRecno = entries[i - 1].second;
            } else {
                n.lastKey.assign(static_cast<std::size_t>(keyLength), pad);
            }
            level.push_back(std::move(n));
            if (count == 0) break;  // only an empty tag makes an empty leaf
        } while (i < entries.size());
        linkSiblings(level);

        const int perInterior = (kPageSize - kInteriorDataStart) / (keyLength + 8);
        while (level.size() > 1) {
            std::vector<Node> upper;
            for (std::size_t k = 0; k < level.size(); k += static_cast<std::size_t>(perInterior)) {
                std::uint32_t page = allocate(kPageSize);
                std::uint8_t* p = out_.data() + page;
                std::size_t end = std::min(level.size(), k + static_cast<std::size_t>(perInterior));
                int count = 0;
                for (std::size_t c = k; c < end; ++c, ++count) {
                    std::uint8_t* e = p + kInteriorDataStart + count * (keyLength + 8);
                    std::memcpy(e, level[c].lastKey.data(), static_cast<std::size_t>(keyLength));
                    put32be(e + keyLength, level[c].lastRecno);
                    put32be(e + keyLength + 4, level[c].offset);
                }
                put16le(p + 0, kInterior);
                put16le(p + 2, static_cast<std::uint32_t>(count));
                upper.push_back({page, level[end - 1].lastKey, level[end - 1].lastRecno});
            }
            linkSiblings(upper);
            level = std::move(upper);
        }
        std::uint8_t* root = out_.data() + level.front().offset;
        put16le(root, get16le(root) | kRoot);
        return level.front().offset;
    }

private:
    void linkSiblings(const std::vector<Node>& level) {
        for (std::size_t k = 0; k < level.size(); ++k) {
            std::uint8_t* p = out_.data() + level[k].offset;
            put32le(p + 4, k == 0 ? kNone : level[k - 1].offset);
            put32le(p + 8, k + 1 == level.size() ? kNone : level[k + 1].offset);
        }
    }

    std::vector<std::uint8_t>& out_;
};

std::string upperName(std::string name) {
    for (auto& c : name)
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    if (name.size() > 10) name.resize(10);
    return name;
}

// Reads one header: key length, options, order and the expressions.
struct Header {
    std::uint32_t root;
    int keyLength;
    std::uint8_t options;
    bool descending;
    std::string keyExpr;
    std::string forExpr;
};

Header readHeader(const std::uint8_t* data, std::size_t size, std::uint32_t at) {
    if (at % kPageSize != 0 || std::uint64_t(at) + kHeaderSize > size) bad("header out of range");
    const std::uint8_t* h = data + at;
    Header r;
    r.root = get32le(h);
    r.keyLength = static_cast<int>(get16le(h + 12));
    r.options = h[14];
    r.descending = get16le(h + 502) != 0;
    if (r.keyLength < 1 || r.keyLength > 240) bad("key length");
    const std::uint8_t* pool = h + 512;
    const auto* end = static_cast<const std::uint8_t*>(std::memchr(pool, 0, 512));
    if (!end) bad("key expression not terminated");
    r.keyExpr.assign(reinterpret_cast<const char*>(pool), static_cast<std::size_t>(end - pool));
    const std::uint8_t* forStart = end + 1;
    std::size_t left = static_cast<std::size_t>(h + 1024 - forStart);
    const auto* forEnd = static_cast<const std::uint8_t*>(std::memchr(forStart, 0, left));
    if ((r.options & kOptFor) && forEnd)
        r.forExpr.assign(reinterpret_cast<const char*>(forStart),
                         static_cast<std::size_t>(forEnd - forStart));
    return r;
}

std::vector<std::pair<std::string, std::uint32_t>> walkLeaves(const std::uint8_t* data,
                                                              std::size_t size,
                                                              const Header& header) {
    const std::size_t maxPages = size / kPageSize + 1;
    auto checkPage = [&](std::uint32_t at) {
        if (at % kPageSize != 0 || std::uint64_t(at) + kPageSize > size) bad("page out of range");
    };
    // Down the left edge to the first leaf.
    std::uint32_t page = header.root;
    std::size_t steps = 0;
    for (;;) {
        checkPage(page);
        const std::uint8_t* p = data + page;
        if (get16le(p) & kLeaf) break;
        if (get16le(p + 2) == 0) bad("empty interior page");
        if (++steps > maxPages) bad("loop in the tree");
        page = get32be(p + kInteriorDataStart + header.keyLength + 4);
    }
    std::vector<std::pair<std::string, std::uint32_t>> keys;
    const int L = header.keyLength;
    steps = 0;
    while (page != kNone) {
        checkPage(page);
        if (++steps > maxPages) bad("loop in the leaf chain");
        const std::uint8_t* p = data + page;
        if (!(get16le(p) & kLeaf)) bad("interior page in the leaf chain");
        const int count = static_cast<int>(get16le(p + 2));
        const std::uint32_t recMask = get32le(p + 14);
        const int recBits = p[20], dupBits = p[21], trailBits = p[22], entryBytes = p[23];
        if (entryBytes < 1 || entryBytes > 8 || recBits + dupBits + trailBits > entryBytes * 8 ||
            kLeafDataStart + count * entryBytes > kPageSize)
            bad("leaf layout");
        std::string prev(static_cast<std::size_t>(L), ' ');
        int keyEnd = kPageSize;
        for (int k = 0; k < count; ++k) {
            const std::uint8_t* e = p + kLeafDataStart + k * entryBytes;
            std::uint64_t bits = 0;
            for (int b = 0; b < entryBytes; ++b) bits |= std::uint64_t(e[b]) << (8 * b);
            auto recno = static_cast<std::uint32_t>(bits & recMask);
            int dup = static_cast<int>((bits >> recBits) & p[18]);
            int trail = static_cast<int>((bits >> (recBits + dupBits)) & p[19]);
            int stored = L - dup - trail;
            if (stored < 0) bad("leaf key counts");
            keyEnd -= stored;
            if (keyEnd < kLeafDataStart + count * entryBytes) bad("leaf keys overlap");
            std::string key = prev.substr(0, static_cast<std::size_t>(dup));
            key.append(reinterpret_cast<const char*>(p + keyEnd), static_cast<std::size_t>(stored));
            key.append(static_cast<std::size_t>(trail), ' ');
            prev = key;
            keys.emplace_back(std::move(key), recno);
        }
        page = get32le(p + 8);
    }
    return keys;
}

}  // namespace

std::vector<std::uint8_t> build(const std::vector<TagImage>& tagsIn) {
    std::vector<const TagImage*> tags;
    for (const auto& t : tagsIn) tags.push_back(&t);
    std::sort(tags.begin(), tags.end(), [](const TagImage* a, const TagImage* b) {
        return upperName(a->name) < upperName(b->name);
    });

    std::vector<std::uint8_t> out;
    out.reserve(4096);
    Builder b(out);
    b.allocate(kHeaderSize);  // the directory's header; its root page follows the tags

    std::vector<std::string> names;
    std::vector<std::uint32_t> headerOffsets;
    for (const TagImage* t : tags) {
        std::uint32_t header = b.allocate(kHeaderSize);
        std::uint32_t root = b.writeTree(t->entries, t->keyLength, t->padByte);
        std::uint8_t options = kOptCompact | kOptCompound;
        if (!t->forExpression.empty()) options |= kOptFor;
        b.writeHeader(header, root, t->keyLength, options, t->descending, t->keyExpression,
                      t->forExpression);
        std::string name = upperName(t->name);
        name.resize(10, ' ');
        names.push_back(std::move(name));
        headerOffsets.push_back(header);
    }
    std::vector<std::pair<std::string_view, std::uint32_t>> dir;
    for (std::size_t k = 0; k < names.size(); ++k) dir.emplace_back(names[k], headerOffsets[k]);
    std::uint32_t dirRoot = b.writeTree(dir, 10, ' ');
    b.writeHeader(0, dirRoot, 10, kOptCompact | kOptCompound | kOptDirectory, false, "", "");
    return out;
}

std::vector<TagDefinition> readDefinitions(const std::uint8_t* data, std::size_t size) {
    Header dirHeader = readHeader(data, size, 0);
    if (!(dirHeader.options & kOptCompound)) bad("not a compound index");
    std::vector<TagDefinition> out;
    for (auto& [name, offset] : walkLeaves(data, size, dirHeader)) {
        Header h = readHeader(data, size, offset);
        TagDefinition d;
        d.name = name.substr(0, name.find_last_not_of(' ') + 1);
        d.keyExpression = h.keyExpr;
        d.forExpression = h.forExpr;
        d.descending = h.descending;
        d.keyLength = h.keyLength;
        d.headerOffset = offset;
        out.push_back(std::move(d));
    }
    return out;
}

std::vector<std::pair<std::string, std::uint32_t>> readKeys(const std::uint8_t* data,
                                                            std::size_t size,
                                                            std::uint32_t headerOffset) {
    return walkLeaves(data, size, readHeader(data, size, headerOffset));
}

}  // namespace pellora::store::cdx
