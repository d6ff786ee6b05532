// A QTableView set up as the program's data grids: read-only, column titles, a row indicator,
// resizable columns, grid lines, one row selected at a time, columns as wide as their display
// width in characters. The view's current row and the table's current record follow each
// other through the model.
#pragma once

class QTableView;

namespace pellora::ui {

class TableModel;

void configureGrid(QTableView* view, TableModel* model);

// Sets each column's width from its display width in characters (and never narrower than
// its title), in the view's font.
void applyColumnWidths(QTableView* view, const TableModel* model);

}  // namespace pellora::ui
