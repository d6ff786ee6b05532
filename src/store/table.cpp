#include "store/table.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <chrono>
#include <cmath>
#include <cstring>
#include <ctime>
#include <fstream>
#include <iterator>
#include <set>

#include "store/cdx.h"
#include "store/file_io.h"
#include "store/xbase_expr.h"

namespace pellora::store {

namespace fs = std::filesystem;

TableEnvironment& defaultEnvironment() {
    static TableEnvironment env;
    return env;
}

namespace {

constexpr std::uint8_t kEof = 0x1A;
constexpr std::uint32_t kMemoBlockSize = 64;
constexpr std::uint32_t kMemoHeaderSize = 512;
// More records than any sane desktop table; keeps a damaged count from exhausting memory.
constexpr std::uint64_t kMaxRecordBytes = std::uint64_t(1) << 32;

std::uint32_t get32le(const std::uint8_t* p) {
    return p[0] | (std::uint32_t(p[1]) << 8) | (std::uint32_t(p[2]) << 16) |
           (std::uint32_t(p[3]) << 24);
}
void put32le(std::uint8_t* p, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = static_cast<std::uint8_t>(v >> (8 * i));
}
std::uint32_t get32be(const std::uint8_t* p) {
    return (std::uint32_t(p[0]) << 24) | (std::uint32_t(p[1]) << 16) |
           (std::uint32_t(p[2]) << 8) | p[3];
}
void put32be(std::uint8_t* p, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = static_cast<std::uint8_t>(v >> (8 * (3 - i)));
}

std::string upper(std::string_view s) {
    std::string r(s);
    for (auto& c : r) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return r;
}

fs::path withExtension(const fs::path& dbf, const char* upperExt) {
    // Keep the case style of the table's own extension: PLX.DBF -> PLX.CDX, plx.dbf -> plx.cdx.
    std::string ext = dbf.extension().string();
    bool lower = !ext.empty() && std::islower(static_cast<unsigned char>(ext.back()));
    std::string e = upperExt;
    if (lower)
        for (auto& c : e) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    fs::path p = dbf;
    p.replace_extension(e);
    return p;
}

fs::path sibling(const fs::path& dbf, const char* suffix) {
    fs::path p = dbf;
    p += suffix;
    return p;
}

void todayYmd(std::uint8_t out[3]) {
    std::time_t t = std::time(nullptr);
    std::tm tm{};
    localtime_r(&t, &tm);
    // FoxPro keeps the year as its last two digits (YYMMDD). Readers that follow dBase add
    // 1900 to it; those that know FoxPro tables add 2000.
    out[0] = static_cast<std::uint8_t>(tm.tm_year % 100);
    out[1] = static_cast<std::uint8_t>(tm.tm_mon + 1);
    out[2] = static_cast<std::uint8_t>(tm.tm_mday);
}

void writeWholeFile(const fs::path& path, const std::vector<std::uint8_t>& bytes) {
    File f = File::open(path, File::Mode::CreateTruncate);
    f.writeAt(0, bytes.data(), bytes.size());
    f.sync();
}

// A query or condition: it must compile and be logical. `what` names it in the message.
Expression compileLogical(const std::string& text, const std::vector<FieldLayout>& fields,
                          const char* what) {
    Expression e;
    try {
        e = Expression::compile(text, fields);
    } catch (const ExpressionError& err) {
        throw TableError(TableError::Kind::BadExpression,
                         std::string(what) + " '" + text + "': " + err.what());
    }
    if (e.type() != XType::Logical)
        throw TableError(TableError::Kind::BadExpression,
                         std::string(what) + " '" + text + "' is not a logical expression");
    return e;
}

struct Entry {
    std::string key;
    std::uint32_t recno;
};

struct EntryLess {
    bool descending = false;
    bool operator()(const Entry& a, const Entry& b) const {
        int c = a.key.compare(b.key);
        if (c != 0) return descending ? c > 0 : c < 0;
        return a.recno < b.recno;
    }
};

using EntrySet = std::set<Entry, EntryLess>;

struct Tag {
    std::string name;
    std::string keyText;
    std::string forText;
    bool descending = false;
    Expression key;
    Expression condition;  // invalid when the tag has no FOR condition
    EntrySet entries;

    explicit Tag(bool desc) : descending(desc), entries(EntryLess{desc}) {}

    bool includes(const std::uint8_t* rec) const {
        return !condition.valid() || condition.evaluateLogical(rec);
    }
    Entry entryFor(const std::uint8_t* rec, std::uint32_t recno) const {
        return Entry{key.evaluateKey(rec), recno};
    }
};

}  // namespace

struct Table::Impl {
    fs::path dbfPath;
    File dbf;
    File fpt;
    bool open = false;

    std::uint8_t version = 0x03;
    int headerLength = 0;
    int recordLength = 0;
    std::uint32_t recCount = 0;
    std::vector<std::uint8_t> header;  // the whole header as read (rewritten in place)
    std::vector<FieldLayout> fields;
    bool hasMemoFields = false;
    std::vector<std::uint8_t> records;  // recCount * recordLength
    std::vector<std::uint8_t> blank;    // a blank record

    std::uint32_t memoBlockSize = kMemoBlockSize;
    std::uint32_t memoNextFree = 0;

    std::vector<std::unique_ptr<Tag>> tags;
    bool indexAttached = false;  // the compound index is open
    bool indexChanged = false;   // in-memory keys differ from the index file
    int order = 0;

    std::string queryText;
    Expression query;
    mutable std::string conditionCacheText;
    mutable Expression conditionCache;

    std::uint32_t current = 0;  // 0: no current record
    enum class Pending { None, Append, Edit } pending = Pending::None;
    std::vector<std::uint8_t> buffer;
    bool headerDateWritten = false;

    // Cached position of `current` in the controlling tag.
    EntrySet::const_iterator pos;
    bool posValid = false;

    std::uint8_t* rec(std::uint32_t recno) {
        return records.data() + std::size_t(recno - 1) * std::size_t(recordLength);
    }
    const std::uint8_t* rec(std::uint32_t recno) const {
        return records.data() + std::size_t(recno - 1) * std::size_t(recordLength);
    }
    const std::uint8_t* currentBytes() const {
        if (pending != Pending::None) return buffer.data();
        if (current == 0) return blank.data();
        return rec(current);
    }

    void requireOpen() const {
        if (!open) throw TableError(TableError::Kind::State, "the table is not open");
    }
    const FieldLayout& field(int index) const {
        if (index < 0 || index >= static_cast<int>(fields.size()))
            throw TableError(TableError::Kind::Argument,
                             "no field number " + std::to_string(index + 1));
        return fields[static_cast<std::size_t>(index)];
    }

    bool visible(std::uint32_t recno, const TableEnvironment& env) const {
        const std::uint8_t* r = rec(recno);
        if (env.skipDeleted && r[0] == '*') return false;
        if (query.valid() && !query.evaluateLogical(r)) return false;
        return true;
    }

    Tag* controlling() const {
        return order > 0 ? tags[static_cast<std::size_t>(order - 1)].get() : nullptr;
    }

    // ---- header and records on disk ----

    void writeCountAndDate() {
        if (!headerDateWritten) {
            todayYmd(&header[1]);
            headerDateWritten = true;
        }
        put32le(&header[4], recCount);
        dbf.writeAt(1, &header[1], 7);
    }

    void setTableFlags() {
        std::uint8_t flags = header[28] & static_cast<std::uint8_t>(~0x01);
        if (indexAttached && !tags.empty()) flags |= 0x01;
        if (flags != header[28]) {
            header[28] = flags;
            dbf.writeAt(28, &header[28], 1);
        }
    }

    // ---- memo file ----

    void openMemo() {
        fs::path p = withExtension(dbfPath, "FPT");
        if (!fs::exists(p))
            throw TableError(TableError::Kind::BadFormat,
                             "memo file " + p.string() + " is missing");
        fpt = File::open(p, File::Mode::ReadWrite);
        std::uint8_t h[8];
        fpt.readAt(0, h, sizeof h);
        memoNextFree = get32be(h);
        memoBlockSize = (std::uint32_t(h[6]) << 8) | h[7];
        if (memoBlockSize == 0) memoBlockSize = kMemoBlockSize;  // very old files leave it out
        std::uint64_t size = fpt.size();
        std::uint64_t endBlock = (size + memoBlockSize - 1) / memoBlockSize;
        std::uint32_t firstBlock = (kMemoHeaderSize + memoBlockSize - 1) / memoBlockSize;
        // A next-free pointer inside the header or beyond the file end is repaired, so new
        // memos neither overwrite the header nor leave a hole.
        if (memoNextFree < firstBlock || memoNextFree > endBlock)
            memoNextFree = static_cast<std::uint32_t>(std::max<std::uint64_t>(endBlock, firstBlock));
    }

    std::uint32_t memoBlock(const std::uint8_t* r, const FieldLayout& f) const {
        std::string_view s(reinterpret_cast<const char*>(r + f.offset), static_cast<std::size_t>(f.width));
        std::uint32_t v = 0;
        bool any = false;
        for (char c : s) {
            if (c == ' ') continue;
            if (c < '0' || c > '9') return 0;
            v = v * 10 + static_cast<std::uint32_t>(c - '0');
            any = true;
        }
        return any ? v : 0;
    }

    std::string readMemo(std::uint32_t block) const {
        if (block == 0 || !fpt.isOpen()) return {};
        std::uint64_t at = std::uint64_t(block) * memoBlockSize;
        std::uint8_t h[8];
        if (fpt.readSome(at, h, 8) != 8) return {};
        std::uint32_t length = get32be(h + 4);
        std::uint64_t size = fpt.size();
        if (at + 8 > size) return {};
        length = static_cast<std::uint32_t>(std::min<std::uint64_t>(length, size - at - 8));
        std::string out(length, '\0');
        fpt.readAt(at + 8, out.data(), length);
        return out;
    }

    std::uint32_t writeMemo(File& file, std::uint32_t& nextFree, std::uint32_t blockSize,
                            std::string_view bytes) {
        std::uint32_t block = nextFree;
        std::uint64_t at = std::uint64_t(block) * blockSize;
        std::uint64_t total = 8 + bytes.size();
        std::uint64_t blocks = (total + blockSize - 1) / blockSize;
        std::vector<std::uint8_t> data(blocks * blockSize, 0);
        put32be(data.data(), 1);  // text
        put32be(data.data() + 4, static_cast<std::uint32_t>(bytes.size()));
        std::memcpy(data.data() + 8, bytes.data(), bytes.size());
        file.writeAt(at, data.data(), data.size());
        nextFree = static_cast<std::uint32_t>(block + blocks);
        std::uint8_t h[4];
        put32be(h, nextFree);
        file.writeAt(0, h, 4);  // before any record points at the new blocks
        return block;
    }

    // ---- index ----

    void insertKeys(std::uint32_t recno) {
        const std::uint8_t* r = rec(recno);
        for (auto& t : tags)
            if (t->includes(r)) t->entries.insert(t->entryFor(r, recno));
        if (!tags.empty()) indexChanged = true;
        posValid = false;
    }

    void eraseKeys(std::uint32_t recno) {
        const std::uint8_t* r = rec(recno);
        for (auto& t : tags) t->entries.erase(t->entryFor(r, recno));
        if (!tags.empty()) indexChanged = true;
        posValid = false;
    }

    void rebuildTag(Tag& t) {
        t.entries.clear();
        std::vector<Entry> all;
        all.reserve(recCount);
        for (std::uint32_t n = 1; n <= recCount; ++n) {
            const std::uint8_t* r = rec(n);
            if (t.includes(r)) all.push_back(t.entryFor(r, n));
        }
        std::sort(all.begin(), all.end(), EntryLess{t.descending});
        t.entries.insert(std::make_move_iterator(all.begin()), std::make_move_iterator(all.end()));
        posValid = false;
    }

    std::unique_ptr<Tag> makeTag(const std::string& name, const std::string& keyText,
                                 bool descending, const std::string& forText) {
        auto t = std::make_unique<Tag>(descending);
        t->name = upper(name).substr(0, 10);
        t->keyText = keyText;
        t->forText = forText;
        try {
            t->key = Expression::compile(keyText, fields);
            if (t->key.type() == XType::Logical)
                throw ExpressionError("an index key cannot be a logical expression", 0);
            if (!forText.empty()) {
                t->condition = Expression::compile(forText, fields);
                if (t->condition.type() != XType::Logical)
                    throw ExpressionError("a FOR condition must be a logical expression", 0);
            }
        } catch (const ExpressionError& e) {
            throw TableError(TableError::Kind::BadExpression,
                             "tag " + t->name + ": " + e.what());
        }
        return t;
    }

    std::vector<std::uint8_t> indexImage() const {
        std::vector<cdx::TagImage> images;
        images.reserve(tags.size());
        for (const auto& t : tags) {
            cdx::TagImage im;
            im.name = t->name;
            im.keyExpression = t->keyText;
            im.forExpression = t->forText;
            im.descending = t->descending;
            im.keyLength = t->key.keyWidth();
            im.padByte = t->key.type() == XType::Character ? ' ' : '\0';
            im.entries.reserve(t->entries.size());
            for (const auto& e : t->entries) im.entries.emplace_back(e.key, e.recno);
            images.push_back(std::move(im));
        }
        return cdx::build(images);
    }

    void writeIndex() {
        if (!indexAttached) return;
        fs::path p = withExtension(dbfPath, "CDX");
        fs::path tmp = sibling(p, ".tmp");
        writeWholeFile(tmp, indexImage());
        replaceFile(tmp, p);
        indexChanged = false;
    }

    void loadIndex() {
        fs::path p = withExtension(dbfPath, "CDX");
        tags.clear();
        indexAttached = false;
        if (!fs::exists(p)) return;
        std::vector<std::uint8_t> bytes;
        {
            File f = File::open(p, File::Mode::ReadWrite);
            std::uint64_t size = f.size();
            if (size > (std::uint64_t(1) << 31))
                throw TableError(TableError::Kind::BadIndex, "index file too large");
            bytes.resize(size);
            f.readAt(0, bytes.data(), bytes.size());
        }
        std::vector<std::unique_ptr<Tag>> loaded;
        for (const auto& d : cdx::readDefinitions(bytes.data(), bytes.size())) {
            std::unique_ptr<Tag> t;
            try {
                t = makeTag(d.name, d.keyExpression, d.descending, d.forExpression);
            } catch (const TableError& e) {
                throw TableError(TableError::Kind::BadIndex, e.what());
            }
            rebuildTag(*t);
            loaded.push_back(std::move(t));
        }
        tags = std::move(loaded);
        indexAttached = true;
        // Keys come from the records, never from the file: a stale file (a crash after a
        // change) is mended here.
        if (indexImage() != bytes) writeIndex();
        indexChanged = false;
    }

    // ---- navigation ----

    // From `it` on (forward) or before it (backward), to the first visible record of the tag.
    bool landInTag(const Tag& t, EntrySet::const_iterator it, bool forward,
                   const TableEnvironment& env);
    // From record `from` on, up or down, to the first visible record in record order.
    bool landInRecords(std::uint32_t from, bool forward, const TableEnvironment& env);

    bool seekTag(const Tag& t) {
        if (posValid) return true;
        if (current == 0) return false;
        Entry probe = t.entryFor(rec(current), current);
        pos = t.entries.lower_bound(probe);
        posValid = true;
        return true;
    }
};

// ---------------------------------------------------------------------------

Table::Table(TableEnvironment& env) : env_(env), d_(std::make_unique<Impl>()) {}
Table::~Table() { close(); }

void Table::create(const fs::path& path, const std::vector<FieldDef>& defs) {
    if (defs.empty() || defs.size() > 255)
        throw TableError(TableError::Kind::Argument, "a table needs 1 to 255 fields");
    int recordLength = 1;
    bool memo = false;
    std::set<std::string> names;
    for (const auto& f : defs) {
        std::string name = upper(f.name);
        if (name.empty() || name.size() > 10 || !names.insert(name).second)
            throw TableError(TableError::Kind::Argument, "bad or repeated field name '" + f.name + "'");
        int width = f.width;
        switch (f.type) {
            case 'C': if (width < 1 || width > 254) width = -1; break;
            case 'N':
                if (width < 1 || width > 20 || f.decimals < 0 ||
                    (f.decimals != 0 && f.decimals > width - 2))
                    width = -1;
                break;
            case 'L': width = 1; break;
            case 'D': width = 8; break;
            case 'M': width = 10; memo = true; break;
            default:
                throw TableError(TableError::Kind::Argument,
                                 std::string("field type '") + f.type + "' is not supported");
        }
        if (width < 0)
            throw TableError(TableError::Kind::Argument, "bad width for field " + name);
        recordLength += width;
    }
    if (recordLength > 65535) throw TableError(TableError::Kind::Argument, "record too long");

    const int headerLength = 32 + 32 * static_cast<int>(defs.size()) + 1;
    std::vector<std::uint8_t> h(static_cast<std::size_t>(headerLength) + 1, 0);
    h[0] = memo ? 0xF5 : 0x03;
    todayYmd(&h[1]);
    h[8] = static_cast<std::uint8_t>(headerLength);
    h[9] = static_cast<std::uint8_t>(headerLength >> 8);
    h[10] = static_cast<std::uint8_t>(recordLength);
    h[11] = static_cast<std::uint8_t>(recordLength >> 8);
    h[28] = memo ? 0x02 : 0x00;
    h[29] = 0x03;  // Windows ANSI code page
    int offset = 1;
    for (std::size_t i = 0; i < defs.size(); ++i) {
        std::uint8_t* fd = &h[32 + 32 * i];
        std::string name = upper(defs[i].name);
        std::memcpy(fd, name.data(), name.size());
        fd[11] = static_cast<std::uint8_t>(defs[i].type);
        int width = defs[i].type == 'L' ? 1 : defs[i].type == 'D' ? 8 : defs[i].type == 'M' ? 10 : defs[i].width;
        put32le(fd + 12, static_cast<std::uint32_t>(offset));
        fd[16] = static_cast<std::uint8_t>(width);
        fd[17] = static_cast<std::uint8_t>(defs[i].type == 'N' ? defs[i].decimals : 0);
        offset += width;
    }
    h[static_cast<std::size_t>(headerLength) - 1] = 0x0D;
    h[static_cast<std::size_t>(headerLength)] = kEof;

    if (fs::exists(path))
        throw TableError(TableError::Kind::Argument, path.string() + " already exists");
    // Index and memo files left behind by an earlier table of the same name belong to nothing.
    std::error_code ec;
    fs::remove(withExtension(path, "CDX"), ec);
    if (memo) {
        std::vector<std::uint8_t> m(kMemoHeaderSize, 0);
        put32be(m.data(), kMemoHeaderSize / kMemoBlockSize);
        m[6] = static_cast<std::uint8_t>(kMemoBlockSize >> 8);
        m[7] = static_cast<std::uint8_t>(kMemoBlockSize);
        writeWholeFile(withExtension(path, "FPT"), m);
    } else {
        fs::remove(withExtension(path, "FPT"), ec);
    }
    // Written under a temporary name and renamed, so a half-made table never exists.
    fs::path tmp = sibling(path, ".new");
    writeWholeFile(tmp, h);
    replaceFile(tmp, path);
    syncDirectory(path.parent_path());
}

namespace {

// Finishes or undoes a pack that was interrupted.
void recoverPack(const fs::path& dbf) {
    fs::path marker = sibling(dbf, ".pack");
    fs::path newDbf = sibling(dbf, ".pk-dbf");
    fs::path newFpt = sibling(dbf, ".pk-fpt");
    std::error_code ec;
    if (fs::exists(marker)) {
        if (fs::exists(newFpt)) replaceFile(newFpt, withExtension(dbf, "FPT"));
        if (fs::exists(newDbf)) replaceFile(newDbf, dbf);
        syncDirectory(dbf.parent_path());
        fs::remove(marker, ec);
    } else {
        fs::remove(newDbf, ec);
        fs::remove(newFpt, ec);
    }
}

}  // namespace

void Table::open(const fs::path& path) {
    close();
    Impl& d = *d_;
    d = Impl{};
    d.dbfPath = path;
    if (!fs::exists(path))
        throw TableError(TableError::Kind::NotFound, path.string() + " does not exist");
    recoverPack(path);
    File f = File::open(path, File::Mode::ReadWrite);
    if (!f.tryLockExclusive())
        throw TableError(TableError::Kind::InUse,
                         path.string() + " is in use by another program or window");
    std::uint64_t size = f.size();
    std::uint8_t h32[32];
    if (size < 32) throw TableError(TableError::Kind::BadFormat, path.string() + " is not a table");
    f.readAt(0, h32, 32);
    d.version = h32[0];
    if (d.version != 0x03 && d.version != 0xF5 && d.version != 0x83 && d.version != 0x30)
        throw TableError(TableError::Kind::BadFormat,
                         path.string() + " is not a dBase or FoxPro table");
    d.headerLength = h32[8] | (h32[9] << 8);
    d.recordLength = h32[10] | (h32[11] << 8);
    if (d.headerLength < 65 || static_cast<std::uint64_t>(d.headerLength) > size ||
        d.recordLength < 2)
        throw TableError(TableError::Kind::BadFormat, path.string() + ": damaged table header");
    d.header.resize(static_cast<std::size_t>(d.headerLength));
    f.readAt(0, d.header.data(), d.header.size());

    int end = 1;
    for (int at = 32; at + 32 <= d.headerLength; at += 32) {
        const std::uint8_t* fd = &d.header[static_cast<std::size_t>(at)];
        if (fd[0] == 0x0D) break;
        FieldLayout fl;
        fl.name.assign(reinterpret_cast<const char*>(fd), strnlen(reinterpret_cast<const char*>(fd), 11));
        fl.name = upper(fl.name);
        fl.type = static_cast<char>(std::toupper(fd[11]));
        fl.width = fd[16];
        fl.decimals = fd[17];
        fl.offset = end;
        if (fl.type == 'F') fl.type = 'N';
        if (std::string("CLDNM").find(fl.type) == std::string::npos || fl.width == 0)
            throw TableError(TableError::Kind::BadFormat,
                             path.string() + ": field " + fl.name + " has type '" +
                                 std::string(1, static_cast<char>(fd[11])) +
                                 "', which this program does not handle");
        if (fl.type == 'M') {
            if (d.version != 0xF5 || fl.width != 10)
                throw TableError(TableError::Kind::BadFormat,
                                 path.string() + ": only FoxPro 2 memo fields are handled");
            d.hasMemoFields = true;
        }
        end += fl.width;
        d.fields.push_back(std::move(fl));
    }
    if (d.fields.empty() || end != d.recordLength)
        throw TableError(TableError::Kind::BadFormat,
                         path.string() + ": field list does not match the record length");

    std::uint32_t count = get32le(h32 + 4);
    std::uint64_t available = (size - static_cast<std::uint64_t>(d.headerLength)) /
                              static_cast<std::uint64_t>(d.recordLength);
    // A count beyond the file's end (a damaged header) is cut to the records really there.
    d.recCount = static_cast<std::uint32_t>(std::min<std::uint64_t>(count, available));
    std::uint64_t bytes = std::uint64_t(d.recCount) * static_cast<std::uint64_t>(d.recordLength);
    if (bytes > kMaxRecordBytes) throw TableError(TableError::Kind::BadFormat, "table too large");
    d.records.resize(bytes);
    if (bytes) f.readAt(static_cast<std::uint64_t>(d.headerLength), d.records.data(), bytes);
    d.blank.assign(static_cast<std::size_t>(d.recordLength), ' ');

    d.dbf = std::move(f);
    if (d.hasMemoFields) d.openMemo();
    d.open = true;
    try {
        d.loadIndex();
    } catch (...) {
        close();
        throw;
    }
    // Like FoxPro, a table opens in record order; the caller chooses a tag.
    d.order = 0;
    first();
}

void Table::close() noexcept {
    Impl& d = *d_;
    if (!d.open) return;
    try {
        if (d.pending != Impl::Pending::None) post();
    } catch (...) {
    }
    try {
        if (d.indexChanged) d.writeIndex();
    } catch (...) {
    }
    d.dbf.close();
    d.fpt.close();
    d.open = false;
    d.tags.clear();
    d.records.clear();
    d.records.shrink_to_fit();
    d.query = Expression();
    d.queryText.clear();
    d.current = 0;
}

bool Table::isOpen() const { return d_->open; }
const fs::path& Table::path() const { return d_->dbfPath; }
fs::path Table::indexPath() const { return withExtension(d_->dbfPath, "CDX"); }
fs::path Table::memoPath() const { return withExtension(d_->dbfPath, "FPT"); }
fs::path indexPathFor(const fs::path& dbf) { return withExtension(dbf, "CDX"); }
fs::path memoPathFor(const fs::path& dbf) { return withExtension(dbf, "FPT"); }
const std::vector<FieldLayout>& Table::fields() const { return d_->fields; }
std::uint8_t Table::version() const { return d_->version; }
int Table::headerLength() const { return d_->headerLength; }
int Table::recordLength() const { return d_->recordLength; }

int Table::fieldIndex(std::string_view name) const {
    std::string n = upper(name);
    for (std::size_t i = 0; i < d_->fields.size(); ++i)
        if (d_->fields[i].name == n) return static_cast<int>(i);
    return -1;
}

// ---- navigation ----

// Navigation. Moving off a record posts a pending insert or edit first, as the grids expect:
// nothing typed into a record is dropped by scrolling.

bool Table::Impl::landInTag(const Tag& t, EntrySet::const_iterator it, bool forward,
                            const TableEnvironment& env) {
    if (forward) {
        for (; it != t.entries.end(); ++it)
            if (visible(it->recno, env)) {
                current = it->recno;
                pos = it;
                posValid = true;
                return true;
            }
        return false;
    }
    while (it != t.entries.begin()) {
        --it;
        if (visible(it->recno, env)) {
            current = it->recno;
            pos = it;
            posValid = true;
            return true;
        }
    }
    return false;
}

bool Table::Impl::landInRecords(std::uint32_t from, bool forward, const TableEnvironment& env) {
    for (std::uint32_t n = from; n >= 1 && n <= recCount; forward ? ++n : --n)
        if (visible(n, env)) {
            current = n;
            return true;
        }
    return false;
}

bool Table::first() {
    Impl& d = *d_;
    d.requireOpen();
    if (d.pending != Impl::Pending::None) post();
    d.current = 0;
    d.posValid = false;
    if (Tag* t = d.controlling()) return d.landInTag(*t, t->entries.begin(), true, env_);
    return d.landInRecords(1, true, env_);
}

bool Table::last() {
    Impl& d = *d_;
    d.requireOpen();
    if (d.pending != Impl::Pending::None) post();
    d.current = 0;
    d.posValid = false;
    if (Tag* t = d.controlling()) return d.landInTag(*t, t->entries.end(), false, env_);
    return d.landInRecords(d.recCount, false, env_);
}

bool Table::next() {
    Impl& d = *d_;
    d.requireOpen();
    if (d.pending != Impl::Pending::None) post();
    if (d.current == 0) return false;
    bool found;
    if (Tag* t = d.controlling()) {
        d.seekTag(*t);
        auto it = d.pos;
        if (it != t->entries.end() && it->recno == d.current) ++it;
        found = d.landInTag(*t, it, true, env_);
    } else {
        found = d.landInRecords(d.current + 1, true, env_);
    }
    if (!found) {
        d.current = 0;  // past the end
        d.posValid = false;
    }
    return found;
}

bool Table::previous() {
    Impl& d = *d_;
    d.requireOpen();
    if (d.pending != Impl::Pending::None) post();
    if (d.current == 0) return last();
    // At the top the record stays where it is, as at the top of a list.
    if (Tag* t = d.controlling()) {
        d.seekTag(*t);
        return d.landInTag(*t, d.pos, false, env_);
    }
    return d.landInRecords(d.current - 1, false, env_);
}

bool Table::go(std::uint32_t recno) {
    Impl& d = *d_;
    d.requireOpen();
    if (d.pending != Impl::Pending::None) post();
    if (recno < 1 || recno > d.recCount) return false;
    d.current = recno;
    d.posValid = false;
    return true;
}

bool Table::eof() const { return d_->current == 0 && d_->pending != Impl::Pending::Append; }

std::uint32_t Table::recNo() const {
    const Impl& d = *d_;
    if (d.pending == Impl::Pending::Append) return d.recCount + 1;
    return d.current == 0 ? d.recCount + 1 : d.current;
}

std::uint32_t Table::recCount() const { return d_->recCount; }

// ---- tags ----

void Table::createTag(const std::string& name, const std::string& keyExpression, bool descending,
                      const std::string& forExpression) {
    Impl& d = *d_;
    d.requireOpen();
    if (d.pending != Impl::Pending::None) post();
    auto t = d.makeTag(name, keyExpression, descending, forExpression);
    if (t->name.empty()) throw TableError(TableError::Kind::Argument, "a tag needs a name");
    d.rebuildTag(*t);
    int number = tagNumber(t->name);
    if (number > 0) {
        d.tags[static_cast<std::size_t>(number - 1)] = std::move(t);
    } else {
        d.tags.push_back(std::move(t));
        number = static_cast<int>(d.tags.size());
    }
    d.indexAttached = true;
    d.writeIndex();
    d.setTableFlags();
    d.order = number;
    d.posValid = false;
}

int Table::tagNumber(std::string_view name) const {
    std::string n = upper(name);
    for (std::size_t i = 0; i < d_->tags.size(); ++i)
        if (d_->tags[i]->name == n) return static_cast<int>(i + 1);
    return 0;
}

void Table::setOrder(int tag) {
    Impl& d = *d_;
    d.requireOpen();
    if (tag < 0 || tag > static_cast<int>(d.tags.size()))
        throw TableError(TableError::Kind::Argument, "no index tag number " + std::to_string(tag));
    d.order = tag;
    d.posValid = false;
}

int Table::order() const { return d_->order; }

std::vector<TagInfo> Table::tags() const {
    std::vector<TagInfo> out;
    for (const auto& t : d_->tags)
        out.push_back({t->name, t->keyText, t->forText, t->descending, t->key.keyWidth(),
                       t->entries.size()});
    return out;
}

void Table::closeIndexes() {
    Impl& d = *d_;
    d.requireOpen();
    if (d.pending != Impl::Pending::None) post();
    if (d.indexChanged) d.writeIndex();
    d.tags.clear();
    d.indexAttached = false;
    d.indexChanged = false;
    d.order = 0;
    d.posValid = false;
}

void Table::flush() {
    Impl& d = *d_;
    d.requireOpen();
    if (d.indexChanged) d.writeIndex();
}

// ---- query ----

void Table::setQuery(const std::string& expression) {
    Impl& d = *d_;
    d.requireOpen();
    std::string trimmed = expression;
    trimmed.erase(0, trimmed.find_first_not_of(" \t"));
    trimmed.erase(trimmed.find_last_not_of(" \t") + 1);
    if (trimmed.empty()) {
        d.query = Expression();
        d.queryText.clear();
        return;
    }
    Expression e = compileLogical(trimmed, d.fields, "query");
    d.query = std::move(e);
    d.queryText = expression;
}

const std::string& Table::query() const { return d_->queryText; }

std::uint32_t Table::queryCount() {
    Impl& d = *d_;
    d.requireOpen();
    std::uint32_t count = 0;
    if (Tag* t = d.controlling()) {
        for (const auto& e : t->entries)
            if (d.visible(e.recno, env_)) ++count;
        return count;
    }
    for (std::uint32_t n = 1; n <= d.recCount; ++n)
        if (d.visible(n, env_)) ++count;
    return count;
}

// ---- fields ----

std::string_view Table::fieldBytes(int index) const {
    const FieldLayout& f = d_->field(index);
    return {reinterpret_cast<const char*>(d_->currentBytes() + f.offset),
            static_cast<std::size_t>(f.width)};
}

std::string Table::getString(int index) const {
    std::string_view s = fieldBytes(index);
    std::size_t end = s.find_last_not_of(' ');
    return std::string(s.substr(0, end == std::string_view::npos ? 0 : end + 1));
}

bool Table::getLogical(int index) const {
    char c = fieldBytes(index)[0];
    return c == 'T' || c == 't' || c == 'Y' || c == 'y';
}

std::string Table::getDate(int index) const {
    std::string_view s = fieldBytes(index);
    return julianFromDtos(s) == 0 ? std::string() : std::string(s);
}

double Table::getNumber(int index) const {
    std::string_view s = fieldBytes(index);
    while (!s.empty() && s.front() == ' ') s.remove_prefix(1);
    double v = 0;
    std::from_chars(s.data(), s.data() + s.size(), v);
    return v;
}

std::string Table::getMemo(int index) const {
    const FieldLayout& f = d_->field(index);
    if (f.type != 'M') throw TableError(TableError::Kind::Argument, f.name + " is not a memo field");
    return d_->readMemo(d_->memoBlock(d_->currentBytes(), f));
}

bool Table::deleted() const { return d_->currentBytes()[0] == '*'; }

bool Table::evalLogical(const std::string& expression) const {
    const Impl& d = *d_;
    d.requireOpen();
    // Loops evaluate one condition on record after record: compile it once.
    if (!d.conditionCache.valid() || d.conditionCacheText != expression) {
        d.conditionCache = compileLogical(expression, d.fields, "condition");
        d.conditionCacheText = expression;
    }
    if (d.current == 0 && d.pending == Impl::Pending::None) return false;
    return d.conditionCache.evaluateLogical(d.currentBytes());
}

// ---- changes ----

void Table::appendBlank() {
    Impl& d = *d_;
    d.requireOpen();
    if (d.pending != Impl::Pending::None) post();
    d.buffer = d.blank;
    d.pending = Impl::Pending::Append;
}

void Table::edit() {
    Impl& d = *d_;
    d.requireOpen();
    if (d.pending != Impl::Pending::None) return;
    if (d.current == 0) throw TableError(TableError::Kind::State, "no current record to edit");
    d.buffer.assign(d.rec(d.current), d.rec(d.current) + d.recordLength);
    d.pending = Impl::Pending::Edit;
}

bool Table::editing() const { return d_->pending != Impl::Pending::None; }

void Table::setField(int index, std::string_view value) {
    Impl& d = *d_;
    const FieldLayout& f = d.field(index);
    if (d.pending == Impl::Pending::None)
        throw TableError(TableError::Kind::State, "append or edit a record before setting " + f.name);
    char* out = reinterpret_cast<char*>(d.buffer.data() + f.offset);
    const auto width = static_cast<std::size_t>(f.width);
    auto bad = [&](const char* why) {
        throw TableError(TableError::Kind::Argument,
                         f.name + ": '" + std::string(value) + "' " + why);
    };
    switch (f.type) {
        case 'C': {
            std::size_t n = std::min(width, value.size());
            std::memcpy(out, value.data(), n);
            std::memset(out + n, ' ', width - n);
            break;
        }
        case 'L': {
            std::string v = upper(value);
            if (v == "T" || v == ".T." || v == "Y" || v == "TRUE" || v == "1") *out = 'T';
            else if (v == "F" || v == ".F." || v == "N" || v == "FALSE" || v == "0") *out = 'F';
            else if (v.empty() || v == "?") *out = ' ';
            else bad("is not a logical value (T or F)");
            break;
        }
        case 'D': {
            std::string v(value);
            if (v.find_first_not_of(' ') == std::string::npos) {
                std::memset(out, ' ', 8);
            } else {
                if (v.size() != 8 || julianFromDtos(v) == 0) bad("is not a date (YYYYMMDD)");
                std::memcpy(out, v.data(), 8);
            }
            break;
        }
        case 'N': {
            std::string v(value);
            v.erase(0, v.find_first_not_of(' '));
            v.erase(v.find_last_not_of(' ') + 1);
            if (v.empty()) {
                std::memset(out, ' ', width);
                break;
            }
            double num = 0;
            auto [p, ec] = std::from_chars(v.data(), v.data() + v.size(), num);
            if (ec != std::errc() || p != v.data() + v.size() || !std::isfinite(num))
                bad("is not a number");
            char text[64];
            int n = std::snprintf(text, sizeof text, "%.*f", f.decimals, num);
            if (n < 0 || static_cast<std::size_t>(n) > width) bad("does not fit the field");
            std::memset(out, ' ', width);
            std::memcpy(out + width - static_cast<std::size_t>(n), text, static_cast<std::size_t>(n));
            break;
        }
        case 'M':
            bad("cannot be set directly: it is a memo field");
    }
}

void Table::setMemo(int index, std::string_view bytes) {
    Impl& d = *d_;
    const FieldLayout& f = d.field(index);
    if (f.type != 'M') throw TableError(TableError::Kind::Argument, f.name + " is not a memo field");
    if (d.pending == Impl::Pending::None)
        throw TableError(TableError::Kind::State, "append or edit a record before setting " + f.name);
    char* out = reinterpret_cast<char*>(d.buffer.data() + f.offset);
    if (bytes.empty()) {
        std::memset(out, ' ', 10);
        return;
    }
    if (bytes.size() > 0x7FFFFFF0u)
        throw TableError(TableError::Kind::Argument, f.name + ": memo too large");
    std::uint32_t block = d.writeMemo(d.fpt, d.memoNextFree, d.memoBlockSize, bytes);
    char text[16];
    std::snprintf(text, sizeof text, "%10u", block);
    std::memcpy(out, text, 10);
}

void Table::post() {
    Impl& d = *d_;
    d.requireOpen();
    if (d.pending == Impl::Pending::Append) {
        const std::uint32_t recno = d.recCount + 1;
        const std::uint64_t at = static_cast<std::uint64_t>(d.headerLength) +
                                 std::uint64_t(recno - 1) * static_cast<std::uint64_t>(d.recordLength);
        std::vector<std::uint8_t>& b = d.buffer;
        b.push_back(kEof);
        d.dbf.writeAt(at, b.data(), b.size());  // the record first ...
        b.pop_back();
        d.records.insert(d.records.end(), b.begin(), b.end());
        d.recCount = recno;
        d.writeCountAndDate();  // ... then the count that makes it visible
        d.pending = Impl::Pending::None;
        d.current = recno;
        d.insertKeys(recno);
    } else if (d.pending == Impl::Pending::Edit) {
        const std::uint32_t recno = d.current;
        d.pending = Impl::Pending::None;
        if (std::memcmp(d.rec(recno), d.buffer.data(), d.buffer.size()) == 0) return;
        const std::uint64_t at = static_cast<std::uint64_t>(d.headerLength) +
                                 std::uint64_t(recno - 1) * static_cast<std::uint64_t>(d.recordLength);
        d.dbf.writeAt(at, d.buffer.data(), d.buffer.size());
        d.eraseKeys(recno);
        std::memcpy(d.rec(recno), d.buffer.data(), d.buffer.size());
        d.insertKeys(recno);
        if (!d.headerDateWritten) d.writeCountAndDate();
    }
}

void Table::cancel() { d_->pending = Impl::Pending::None; }

namespace {
void setDeletedFlag(Table& t, Table::Impl& d, std::uint8_t flag) {
    if (d.pending != Table::Impl::Pending::None) t.post();
    if (d.current == 0) throw TableError(TableError::Kind::State, "no current record");
    std::uint8_t* r = d.rec(d.current);
    if (r[0] == flag) return;
    const std::uint64_t at = static_cast<std::uint64_t>(d.headerLength) +
                             std::uint64_t(d.current - 1) * static_cast<std::uint64_t>(d.recordLength);
    d.dbf.writeAt(at, &flag, 1);
    d.eraseKeys(d.current);
    r[0] = flag;
    d.insertKeys(d.current);
}
}  // namespace

void Table::deleteRecord() {
    d_->requireOpen();
    setDeletedFlag(*this, *d_, '*');
}

void Table::recallRecord() {
    d_->requireOpen();
    setDeletedFlag(*this, *d_, ' ');
}

bool Table::memoToFile(int index, const fs::path& file) {
    Impl& d = *d_;
    d.requireOpen();
    if (d.pending != Impl::Pending::None) post();
    try {
        std::string bytes = getMemo(index);
        fs::path tmp = sibling(file, ".part");
        {
            std::ofstream out(tmp, std::ios::binary | std::ios::trunc);
            out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
            out.close();
            if (!out) {
                std::error_code ec;
                fs::remove(tmp, ec);
                return false;
            }
        }
        replaceFile(tmp, file);
        return true;
    } catch (const std::exception&) {
        return false;
    }
}

void Table::fileToMemo(int index, const fs::path& file) {
    Impl& d = *d_;
    d.requireOpen();
    std::ifstream in(file, std::ios::binary);
    if (!in)
        throw TableError(TableError::Kind::NotFound, "cannot read " + file.string());
    std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (in.bad()) throw TableError(TableError::Kind::Io, "cannot read " + file.string());
    const bool wasEditing = d.pending != Impl::Pending::None;
    if (wasEditing) post();
    edit();
    setMemo(index, bytes);
    post();
    if (wasEditing) edit();
}

void Table::pack() {
    Impl& d = *d_;
    d.requireOpen();
    if (d.pending != Impl::Pending::None) post();
    const fs::path newDbfPath = sibling(d.dbfPath, ".pk-dbf");
    const fs::path newFptPath = sibling(d.dbfPath, ".pk-fpt");
    const fs::path marker = sibling(d.dbfPath, ".pack");

    std::vector<std::uint8_t> kept;
    std::uint32_t keptCount = 0;
    for (std::uint32_t n = 1; n <= d.recCount; ++n)
        if (d.rec(n)[0] != '*') ++keptCount;
    kept.reserve(std::size_t(keptCount) * std::size_t(d.recordLength));

    // Memos are copied from one read of the old memo file into the new one through a write
    // buffer: a pack touches every memo, and a few large I/O calls beat many small ones.
    File newFpt;
    std::uint32_t nextFree = (kMemoHeaderSize + d.memoBlockSize - 1) / d.memoBlockSize;
    std::vector<std::uint8_t> oldMemo, pendingOut;
    std::uint64_t flushedTo = 0;
    if (d.hasMemoFields) {
        newFpt = File::open(newFptPath, File::Mode::CreateTruncate);
        oldMemo.resize(d.fpt.size());
        d.fpt.readAt(0, oldMemo.data(), oldMemo.size());
        pendingOut.assign(std::size_t(nextFree) * d.memoBlockSize, 0);
        pendingOut[6] = static_cast<std::uint8_t>(d.memoBlockSize >> 8);
        pendingOut[7] = static_cast<std::uint8_t>(d.memoBlockSize);
    }
    for (std::uint32_t n = 1; n <= d.recCount; ++n) {
        const std::uint8_t* r = d.rec(n);
        if (r[0] == '*') continue;
        std::size_t start = kept.size();
        kept.insert(kept.end(), r, r + d.recordLength);
        for (const auto& f : d.fields) {
            if (f.type != 'M') continue;
            std::uint32_t block = d.memoBlock(r, f);
            if (block == 0) continue;
            char* out = reinterpret_cast<char*>(kept.data() + start + static_cast<std::size_t>(f.offset));
            std::uint64_t at = std::uint64_t(block) * d.memoBlockSize;
            std::uint64_t length = at + 8 <= oldMemo.size() ? get32be(&oldMemo[at + 4]) : 0;
            length = std::min<std::uint64_t>(length, at + 8 <= oldMemo.size() ? oldMemo.size() - at - 8 : 0);
            if (length == 0) {
                std::memset(out, ' ', 10);
                continue;
            }
            std::uint64_t blocks = (8 + length + d.memoBlockSize - 1) / d.memoBlockSize;
            std::size_t from = pendingOut.size();
            pendingOut.resize(from + blocks * d.memoBlockSize, 0);
            put32be(&pendingOut[from], 1);
            put32be(&pendingOut[from + 4], static_cast<std::uint32_t>(length));
            std::memcpy(&pendingOut[from + 8], &oldMemo[at + 8], length);
            char num[16];
            std::snprintf(num, sizeof num, "%10u", nextFree);
            std::memcpy(out, num, 10);
            nextFree = static_cast<std::uint32_t>(nextFree + blocks);
            if (pendingOut.size() >= (1u << 20)) {
                newFpt.writeAt(flushedTo, pendingOut.data(), pendingOut.size());
                flushedTo += pendingOut.size();
                pendingOut.clear();
            }
        }
    }
    if (newFpt.isOpen()) {
        newFpt.writeAt(flushedTo, pendingOut.data(), pendingOut.size());
        std::uint8_t h[4];
        put32be(h, nextFree);
        newFpt.writeAt(0, h, 4);
    }

    std::vector<std::uint8_t> header = d.header;
    put32le(&header[4], keptCount);
    todayYmd(&header[1]);
    File newDbf = File::open(newDbfPath, File::Mode::CreateTruncate);
    if (!newDbf.tryLockExclusive())
        throw TableError(TableError::Kind::Io, "cannot lock " + newDbfPath.string());
    newDbf.writeAt(0, header.data(), header.size());
    kept.push_back(kEof);
    newDbf.writeAt(header.size(), kept.data(), kept.size());
    kept.pop_back();
    newDbf.sync();
    if (newFpt.isOpen()) newFpt.sync();

    // Commit: from the marker on, an interrupted pack is completed by the next open.
    writeWholeFile(marker, {'p', 'a', 'c', 'k'});
    syncDirectory(d.dbfPath.parent_path());
    if (newFpt.isOpen()) replaceFile(newFptPath, withExtension(d.dbfPath, "FPT"));
    replaceFile(newDbfPath, d.dbfPath);
    syncDirectory(d.dbfPath.parent_path());
    std::error_code ec;
    fs::remove(marker, ec);

    d.dbf = std::move(newDbf);
    if (newFpt.isOpen()) {
        d.fpt = std::move(newFpt);
        d.memoNextFree = nextFree;
    }
    d.header = std::move(header);
    d.headerDateWritten = true;
    d.records = std::move(kept);
    d.recCount = keptCount;
    for (auto& t : d.tags) d.rebuildTag(*t);
    d.indexChanged = !d.tags.empty();
    if (d.indexChanged) d.writeIndex();
    first();
}

}  // namespace pellora::store
