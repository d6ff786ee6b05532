#include "ui/table_grid.h"

#include <QHeaderView>
#include <QItemSelectionModel>
#include <QTableView>
#include <algorithm>

#include "ui/table_model.h"

namespace pellora::ui {

void applyColumnWidths(QTableView* view, const TableModel* model) {
    const QFontMetrics cells(view->font());
    const QFontMetrics titles(view->horizontalHeader()->font());
    const int digit = cells.horizontalAdvance(QLatin1Char('0'));
    const int padding = 2 * view->style()->pixelMetric(QStyle::PM_HeaderMargin) + 4;
    for (int c = 0; c < model->columnCount(); ++c) {
        const int chars = model->displayChars(c);
        const int byChars = chars > 0 ? chars * digit + padding : 0;
        const QString caption = model->headerData(c, Qt::Horizontal).toString();
        const int byTitle = titles.horizontalAdvance(caption) + padding;
        view->setColumnWidth(c, std::max(byChars, byTitle));
    }
}

void configureGrid(QTableView* view, TableModel* model) {
    view->setModel(model);
    view->setEditTriggers(QAbstractItemView::NoEditTriggers);
    view->setSelectionBehavior(QAbstractItemView::SelectRows);
    view->setSelectionMode(QAbstractItemView::SingleSelection);
    view->setShowGrid(true);
    view->setWordWrap(false);
    view->setAlternatingRowColors(false);
    view->setHorizontalScrollMode(QAbstractItemView::ScrollPerPixel);

    QHeaderView* columns = view->horizontalHeader();
    columns->setVisible(true);
    columns->setSectionResizeMode(QHeaderView::Interactive);
    columns->setHighlightSections(false);
    columns->setDefaultAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    columns->setStretchLastSection(false);

    // Row indicator: a narrow column of row headers with a marker beside the current record.
    QHeaderView* rows = view->verticalHeader();
    rows->setVisible(true);
    rows->setSectionResizeMode(QHeaderView::Fixed);
    rows->setDefaultAlignment(Qt::AlignCenter);
    const QFontMetrics fm(view->font());
    rows->setDefaultSectionSize(fm.height() + 4);
    rows->setMinimumWidth(fm.horizontalAdvance(QChar(0x25B8)) + 8);
    rows->setMaximumWidth(fm.horizontalAdvance(QChar(0x25B8)) + 8);
    rows->setHighlightSections(false);
    rows->setSectionsClickable(false);

    applyColumnWidths(view, model);

    QObject::connect(view->selectionModel(), &QItemSelectionModel::currentRowChanged, model,
                     [model](const QModelIndex& current) {
                         if (current.isValid() && current.row() != model->currentRow())
                             model->setCurrentRow(current.row());
                     });
    // After a reload the view shows the row of the table's current record.
    auto showRow = [view, model](int row) {
        if (row < 0) return;
        const QModelIndex index = model->index(row, 0);
        view->selectionModel()->setCurrentIndex(
            index, QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
        view->scrollTo(index);
    };
    QObject::connect(model, &TableModel::currentRowChanged, view, showRow);
    showRow(model->currentRow());
}

}  // namespace pellora::ui
