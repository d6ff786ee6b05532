// The columns the grids show for each table: captions, display widths and the calculated
// "Sent" column of the outgoing list.
#pragma once

#include <vector>

#include "store/table.h"
#include "ui/table_model.h"

namespace pellora::app {

std::vector<ui::TableColumn> outgoingColumns(const store::Table& table);
std::vector<ui::TableColumn> receivedColumns(const store::Table& table);
std::vector<ui::TableColumn> coverColumns(const store::Table& table);
// The phone book's name column is 31 characters in the main window's table and 50 in the
// phone book window's own.
std::vector<ui::TableColumn> phoneBookColumns(const store::Table& table, int nameChars = 31);

}  // namespace pellora::app
