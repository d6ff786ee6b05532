// A FoxPro 2.x table: a DBF file, its FPT memo file and its CDX compound index, opened
// exclusively.
//
// How the files are kept safe:
// - The DBF is the truth. A new record is written first and counted in the header after, so
//   a crash never leaves half a record visible; an edit rewrites the record in one write.
// - Memo text goes to fresh blocks at the end of the FPT; the FPT's next-free pointer is
//   updated before the record points at the new blocks.
// - The index is held in memory and written out whole (temporary file, then rename) when the
//   table is closed, its indexes are closed, or flush() is called. Every open builds the keys
//   afresh from the records and rewrites the index file when it differs from them, so an index
//   left stale by a crash is mended by the next open.
// - Pack writes new files beside the old ones and commits them by renaming under a small
//   commit marker, so an interrupted pack is finished or undone by the next open.
//
// Equal keys keep record-number order in both ascending and descending tags: in a
// descending tag the newest key comes first, but two records with the same key appear in
// the order they were added.
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "store/field.h"
#include "store/table_error.h"

namespace pellora::store {

struct TagInfo {
    std::string name;        // upper case, at most 10 characters
    std::string keyExpression;
    std::string forExpression;  // empty: every record has a key
    bool descending = false;
    int keyLength = 0;
    std::size_t keyCount = 0;
};

// Engine-wide switches shared by every table opened through it.
struct TableEnvironment {
    // Navigation (first, next, previous, last, query counts) passes over records marked
    // deleted. On by default.
    bool skipDeleted = true;
};

TableEnvironment& defaultEnvironment();

// The compound index and memo files that belong to a table file (PLX.DBF -> PLX.CDX, PLX.FPT).
std::filesystem::path indexPathFor(const std::filesystem::path& dbf);
std::filesystem::path memoPathFor(const std::filesystem::path& dbf);

class Table {
public:
    explicit Table(TableEnvironment& env = defaultEnvironment());
    ~Table();
    Table(const Table&) = delete;
    Table& operator=(const Table&) = delete;

    // Creates a new table (fails if the file exists). A table with memo fields gets version
    // 0xF5 and an FPT file; one without, version 0x03.
    static void create(const std::filesystem::path& dbf, const std::vector<FieldDef>& fields);

    // Opens the table and the compound index of the same base name when it exists.
    void open(const std::filesystem::path& dbf);
    // Writes the index and closes every file. Never throws.
    void close() noexcept;
    bool isOpen() const;
    const std::filesystem::path& path() const;
    std::filesystem::path indexPath() const;
    std::filesystem::path memoPath() const;

    // Structure.
    const std::vector<FieldLayout>& fields() const;
    int fieldIndex(std::string_view name) const;  // -1 when unknown (case-insensitive)
    std::uint8_t version() const;
    int headerLength() const;
    int recordLength() const;

    // Navigation in the controlling order, honouring the query and the environment.
    bool first();
    bool last();
    bool next();
    bool previous();
    // Positions on a record by number whatever the order and query; false when out of range.
    bool go(std::uint32_t recno);
    bool eof() const;
    std::uint32_t recNo() const;     // record count + 1 without a current record
    std::uint32_t recCount() const;  // every record in the file, deleted ones too

    // Index tags.
    void createTag(const std::string& name, const std::string& keyExpression, bool descending,
                   const std::string& forExpression);
    int tagNumber(std::string_view name) const;  // 1-based; 0 when there is no such tag
    void setOrder(int tag);                      // 0 = record order
    int order() const;
    std::vector<TagInfo> tags() const;
    // Closes the compound index (written out first): the table goes on in record order with
    // no tags, so that the index file can be deleted and made anew.
    void closeIndexes();
    void flush();

    // Query: only records for which the expression holds are visible. Empty removes it.
    void setQuery(const std::string& expression);
    const std::string& query() const;
    std::uint32_t queryCount();

    // Fields of the current record (or of the pending new or edited record).
    std::string_view fieldBytes(int field) const;
    std::string getString(int field) const;  // trailing blanks removed
    bool getLogical(int field) const;
    std::string getDate(int field) const;  // "YYYYMMDD" or "" when empty
    double getNumber(int field) const;
    std::string getMemo(int field) const;
    bool deleted() const;
    bool evalLogical(const std::string& expression) const;

    // Changes.
    void appendBlank();
    void edit();
    bool editing() const;
    // Stores a value as the file keeps it: C padded or cut, L "T"/"F" (also Y/N, .T./.F.,
    // true/false), D "YYYYMMDD" or "", N a decimal number right aligned. Throws TableError
    // (Argument) for a value that is not of the field's type or does not fit.
    void setField(int field, std::string_view value);
    void setMemo(int field, std::string_view bytes);
    void post();
    void cancel();
    void deleteRecord();
    void recallRecord();

    // Memo fields through files. A pending insert or edit is posted first.
    bool memoToFile(int field, const std::filesystem::path& file);
    void fileToMemo(int field, const std::filesystem::path& file);

    // Drops records marked deleted and compacts the memo file; the record pointer goes to the
    // first record.
    void pack();

    struct Impl;

private:
    TableEnvironment& env_;
    std::unique_ptr<Impl> d_;
};

}  // namespace pellora::store
