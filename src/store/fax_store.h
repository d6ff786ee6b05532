// The program's four tables: outgoing faxes, received faxes, cover sheets and the phone book,
// with their schemas, their one index tag each, and the open/create rules the windows use.
#pragma once

#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "store/table.h"

namespace pellora::store {

enum class FaxTableId { Outgoing, Received, Cover, PhoneBook };

struct FaxTableSchema {
    const char* fileName;  // "PLX.DBF", ...
    std::vector<FieldDef> fields;
    const char* tagName;
    const char* keyExpression;
    bool descending;
    const char* forExpression;
};

const FaxTableSchema& faxTableSchema(FaxTableId id);

// The query every list runs under: records marked deleted are not shown.
inline constexpr const char* kNotDeletedQuery = ".not. deleted()";

// Calculated display fields of the fax lists (never stored).
std::string sentYesNo(const Table& outgoing);  // "Yes" or "No " (three characters)
std::string isDeletedText(const Table& table); // "Yes" or "No "

// PAGES holds two digits: a fax of more pages is recorded as 99.
std::string pagesFieldValue(int pages);

class FaxStore {
public:
    explicit FaxStore(std::filesystem::path folder);

    const std::filesystem::path& folder() const { return folder_; }
    std::filesystem::path tablePath(FaxTableId id) const;

    // "Let pending window messages run" during close-and-reopen; nothing by default.
    void setMessagePump(std::function<void()> pump) { pump_ = std::move(pump); }

    Table& faxTable() { return fax_; }
    Table& recTable() { return rec_; }

    // Open (creating when missing) the outgoing and received tables held here, and the cover
    // sheet and phone book tables through the table passed in. True when the table is usable.
    bool OpenFaxDBF();
    bool OpenRecFaxDBF();
    bool OpenCoverDBF(Table& table);
    bool OpenPhoneDBF(Table& table);

    // Create a table file with its schema (no index yet). True when the file now exists.
    bool MakeFaxDBF();
    bool MakeRecFaxDBF();
    bool MakeCoverDBF();
    bool MakePhoneDBF();

    // Reopen a fax list so that it shows its index order, keeping the current record.
    void FaxTableCloseAndOpen();
    void RecTableCloseAndOpen();

    // The generic steps behind the operations above.
    bool open(Table& table, FaxTableId id);
    bool make(FaxTableId id);
    void closeAndOpen(Table& table);

private:
    std::filesystem::path folder_;
    Table fax_;
    Table rec_;
    std::function<void()> pump_;
};

}  // namespace pellora::store
