#include "app/fax_columns.h"

#include "store/fax_store.h"

namespace pellora::app {

using ui::fieldColumn;
using ui::TableColumn;

std::vector<TableColumn> outgoingColumns(const store::Table& table) {
    TableColumn sent;
    sent.caption = QStringLiteral("Sent");
    sent.displayChars = 3;
    sent.value = [](const store::Table& t) { return QString::fromStdString(store::sentYesNo(t)); };
    return {sent,
            fieldColumn(table, "DATESENT", QStringLiteral("Date Sent")),
            fieldColumn(table, "TIMESENT", QStringLiteral("Time Sent")),
            fieldColumn(table, "RECIPIENT", QStringLiteral("Recipient"), 20),
            fieldColumn(table, "PHONE", QStringLiteral("Phone"), 15),
            fieldColumn(table, "PAGES", QStringLiteral("Pages"), 5),
            fieldColumn(table, "SUBJECT", QStringLiteral("Subject"), 20),
            fieldColumn(table, "LASTRESULT", QStringLiteral("Last Attempt"), 35)};
}

std::vector<TableColumn> receivedColumns(const store::Table& table) {
    return {fieldColumn(table, "DATEREC", QStringLiteral("Date Rec'd")),
            fieldColumn(table, "TIMEREC", QStringLiteral("Time Rec'd")),
            fieldColumn(table, "FROM", QStringLiteral("From")),
            fieldColumn(table, "PAGES", QStringLiteral("Pages")),
            fieldColumn(table, "NOTES", QStringLiteral("Notes"), 20),
            fieldColumn(table, "FAXFILE", QStringLiteral("Fax File"))};
}

std::vector<TableColumn> coverColumns(const store::Table& table) {
    return {fieldColumn(table, "DESCRIPT", QStringLiteral("Description"), 100)};
}

std::vector<TableColumn> phoneBookColumns(const store::Table& table, int nameChars) {
    return {fieldColumn(table, "NAME", QStringLiteral("Name"), nameChars),
            fieldColumn(table, "PHONE", QStringLiteral("Fax #"))};
}

}  // namespace pellora::app
