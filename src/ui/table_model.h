// A store table shown in a QTableView: the records visible under the table's query, in its
// controlling order, one row each, with columns that read fields or calculate a value.
//
// The model never reads the whole table. It remembers the record numbers and display texts of
// a few blocks of rows around what the view asked for last and walks the table from the
// nearest remembered row to reach another one. Whatever it walks through, the table's current
// record is put back afterwards, because the windows act on the current record.
//
// The view and the table's current record follow each other: choosing a row makes its record
// current, and after reload() the row of the current record is the view's current row.
// While following is switched off (setFollowing(false), as during a close and reopen) the
// model does not touch the table at all.
#pragma once

#include <QAbstractTableModel>
#include <QString>
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <vector>

#include "store/table.h"

namespace pellora::ui {

struct TableColumn {
    QString caption;
    // The text shown for the current record of the table.
    std::function<QString(const store::Table&)> value;
    // Display width in characters; 0 means "as wide as the field or the caption".
    int displayChars = 0;
    Qt::Alignment alignment = Qt::AlignLeft | Qt::AlignVCenter;
};

// A column showing one field: C as stored without trailing blanks, D in the locale's short
// date format, N right aligned, L as "T"/"F". The display width is the field's width unless
// `displayChars` says otherwise.
TableColumn fieldColumn(const store::Table& table, const char* field, const QString& caption,
                        int displayChars = 0);

class TableModel : public QAbstractTableModel {
    Q_OBJECT
public:
    static constexpr int kBlockRows = 64;
    static constexpr int kMaxBlocks = 8;

    TableModel(store::Table& table, std::vector<TableColumn> columns, QObject* parent = nullptr);

    int rowCount(const QModelIndex& parent = {}) const override;
    int columnCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
    QVariant headerData(int section, Qt::Orientation orientation,
                        int role = Qt::DisplayRole) const override;
    Qt::ItemFlags flags(const QModelIndex& index) const override;

    const std::vector<TableColumn>& columns() const { return columns_; }
    int displayChars(int column) const;

    // Reads the row count again and forgets every remembered row: after any change of the
    // records, the order or the query.
    void reload();

    // Stops (false) or resumes (true) reading the table; resuming reloads.
    void setFollowing(bool on);
    bool following() const { return following_; }

    // Makes the record of `row` the table's current record. False when there is no such row.
    bool setCurrentRow(int row);
    // The row of the table's current record, or -1 without one (found when reloading).
    int currentRow() const { return currentRow_; }

    // The record number shown in `row`; 0 when out of range.
    std::uint32_t recordAt(int row) const;

    // How many rows are remembered at the moment (never more than kBlockRows * kMaxBlocks).
    int cachedRows() const;

signals:
    // After reload(): the row the view should make current (-1 for none).
    void currentRowChanged(int row);

private:
    struct Row {
        std::uint32_t recno = 0;
        std::vector<QString> texts;
    };
    struct Block {
        std::vector<Row> rows;
        std::uint64_t used = 0;
    };

    const Row* rowAt(int row) const;
    void loadBlock(int block) const;
    int findCurrentRow() const;
    void restoreCurrent(std::uint32_t recno, bool hadCurrent) const;

    store::Table& table_;
    std::vector<TableColumn> columns_;
    bool following_ = true;
    int rows_ = 0;
    int currentRow_ = -1;
    mutable std::map<int, Block> blocks_;
    mutable std::uint64_t useCounter_ = 0;
};

}  // namespace pellora::ui
