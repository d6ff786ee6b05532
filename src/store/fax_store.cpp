#include "store/fax_store.h"

#include <algorithm>

namespace pellora::store {

namespace fs = std::filesystem;

const FaxTableSchema& faxTableSchema(FaxTableId id) {
    static const FaxTableSchema outgoing{
        "PLX.DBF",
        {{"SUBJECT", 'C', 50, 0},
         {"SENT", 'L', 1, 0},
         {"DATESENT", 'D', 8, 0},
         {"TIMESENT", 'C', 5, 0},
         {"RECIPIENT", 'C', 35, 0},
         {"PHONE", 'C', 25, 0},
         {"PAGES", 'N', 2, 0},
         {"LASTRESULT", 'C', 100, 0},
         {"RTFCOVER", 'M', 10, 0},
         {"RTFDOC", 'M', 10, 0}},
        "DATESENT",
        "DTOS(DATESENT)+TIMESENT",
        true,
        kNotDeletedQuery};
    static const FaxTableSchema received{"PLXREC.DBF",
                                       {{"DATEREC", 'D', 8, 0},
                                        {"TIMEREC", 'C', 5, 0},
                                        {"FROM", 'C', 20, 0},
                                        {"PAGES", 'N', 2, 0},
                                        {"FAXFILE", 'C', 12, 0},
                                        {"NOTES", 'C', 60, 0}},
                                       "DATETIME",
                                       "DTOS(DATEREC)+TIMEREC",
                                       true,
                                       kNotDeletedQuery};
    static const FaxTableSchema cover{"PLXCOV.DBF",
                                    {{"DESCRIPT", 'C', 35, 0}, {"COVER", 'M', 10, 0}},
                                    "DESCRIPT",
                                    "DESCRIPT",
                                    false,
                                    kNotDeletedQuery};
    static const FaxTableSchema phone{"PLXPB.DBF",
                                    {{"NAME", 'C', 35, 0}, {"PHONE", 'C', 25, 0}},
                                    "NAME",
                                    "UPPER(NAME)",
                                    false,
                                    kNotDeletedQuery};
    switch (id) {
        case FaxTableId::Outgoing: return outgoing;
        case FaxTableId::Received: return received;
        case FaxTableId::Cover: return cover;
        case FaxTableId::PhoneBook: return phone;
    }
    return outgoing;
}

std::string sentYesNo(const Table& outgoing) {
    int f = outgoing.fieldIndex("SENT");
    return f >= 0 && outgoing.getLogical(f) ? "Yes" : "No ";
}

std::string isDeletedText(const Table& table) { return table.deleted() ? "Yes" : "No "; }

std::string pagesFieldValue(int pages) { return std::to_string(std::clamp(pages, 0, 99)); }

FaxStore::FaxStore(fs::path folder) : folder_(std::move(folder)) {}

fs::path FaxStore::tablePath(FaxTableId id) const { return folder_ / faxTableSchema(id).fileName; }

bool FaxStore::make(FaxTableId id) {
    try {
        Table::create(tablePath(id), faxTableSchema(id).fields);
        return fs::exists(tablePath(id));
    } catch (const std::exception&) {
        return false;
    }
}

bool FaxStore::open(Table& table, FaxTableId id) {
    const FaxTableSchema& schema = faxTableSchema(id);
    const fs::path path = tablePath(id);
    if (!fs::exists(path) && !make(id)) return false;
    try {
        table.close();
        try {
            table.open(path);
        } catch (const TableError& e) {
            // An index we cannot read is no reason to lose the table: drop it and build it
            // anew below, as for a missing index.
            if (e.kind() != TableError::Kind::BadIndex) throw;
            fs::remove(table.indexPath());
            table.open(path);
        }
    } catch (const std::exception&) {
        return false;
    }
    try {
        if (!fs::exists(table.indexPath()) || table.tagNumber(schema.tagName) == 0)
            table.createTag(schema.tagName, schema.keyExpression, schema.descending, schema.forExpression);
        if (id == FaxTableId::Outgoing) {
            table.first();
        } else if (id == FaxTableId::Cover || id == FaxTableId::PhoneBook) {
            table.setOrder(table.tagNumber(schema.tagName));
        }
        table.setQuery(kNotDeletedQuery);
    } catch (const std::exception&) {
        // The table is open and usable even if its index could not be made.
    }
    return true;
}

bool FaxStore::OpenFaxDBF() { return open(fax_, FaxTableId::Outgoing); }
bool FaxStore::OpenRecFaxDBF() { return open(rec_, FaxTableId::Received); }
bool FaxStore::OpenCoverDBF(Table& table) { return open(table, FaxTableId::Cover); }
bool FaxStore::OpenPhoneDBF(Table& table) { return open(table, FaxTableId::PhoneBook); }
bool FaxStore::MakeFaxDBF() { return make(FaxTableId::Outgoing); }
bool FaxStore::MakeRecFaxDBF() { return make(FaxTableId::Received); }
bool FaxStore::MakeCoverDBF() { return make(FaxTableId::Cover); }
bool FaxStore::MakePhoneDBF() { return make(FaxTableId::PhoneBook); }

void FaxStore::closeAndOpen(Table& table) {
    const std::uint32_t recno = table.recNo();
    const int order = table.order();
    const fs::path path = table.path();
    table.close();
    if (pump_) pump_();
    table.open(path);
    if (order > 0 && order <= static_cast<int>(table.tags().size())) table.setOrder(order);
    table.setQuery(kNotDeletedQuery);
    table.go(recno);  // false when that record is gone; the list then starts at the top
}

void FaxStore::FaxTableCloseAndOpen() { closeAndOpen(fax_); }
void FaxStore::RecTableCloseAndOpen() { closeAndOpen(rec_); }

}  // namespace pellora::store
