#include "ui/table_model.h"

#include "ui/text_codec.h"

#include <QDate>
#include <QLocale>
#include <algorithm>
#include <cstdlib>

namespace pellora::ui {

namespace {

// The width a dBase browse gives a field when no width is set.
int naturalChars(const store::FieldLayout& field) {
    switch (field.type) {
        case 'D': return 10;
        case 'L': return 1;
        default: return field.width;
    }
}

}  // namespace

TableColumn fieldColumn(const store::Table& table, const char* field, const QString& caption,
                        int displayChars) {
    const int index = table.fieldIndex(field);
    TableColumn column;
    column.caption = caption;
    if (index < 0) {
        column.value = [](const store::Table&) { return QString(); };
        column.displayChars = displayChars;
        return column;
    }
    const store::FieldLayout& layout = table.fields()[static_cast<std::size_t>(index)];
    column.displayChars = displayChars > 0 ? displayChars : naturalChars(layout);
    switch (layout.type) {
        case 'D':
            column.value = [index](const store::Table& t) {
                const QDate date =
                    QDate::fromString(QString::fromStdString(t.getDate(index)), "yyyyMMdd");
                return date.isValid() ? QLocale().toString(date, QLocale::ShortFormat)
                                      : QString();
            };
            break;
        case 'N':
            column.alignment = Qt::AlignRight | Qt::AlignVCenter;
            column.value = [index](const store::Table& t) {
                return QString::fromLatin1(t.fieldBytes(index).data(),
                                           static_cast<qsizetype>(t.fieldBytes(index).size()))
                    .trimmed();
            };
            break;
        case 'L':
            column.value = [index](const store::Table& t) {
                return t.getLogical(index) ? QStringLiteral("T") : QStringLiteral("F");
            };
            break;
        default:
            column.value = [index](const store::Table& t) {
                return fromWindows1252(t.getString(index));
            };
            break;
    }
    return column;
}

TableModel::TableModel(store::Table& table, std::vector<TableColumn> columns, QObject* parent)
    : QAbstractTableModel(parent), table_(table), columns_(std::move(columns)) {
    reload();
}

int TableModel::rowCount(const QModelIndex& parent) const { return parent.isValid() ? 0 : rows_; }

int TableModel::columnCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : static_cast<int>(columns_.size());
}

int TableModel::displayChars(int column) const {
    if (column < 0 || column >= columnCount()) return 0;
    return columns_[static_cast<std::size_t>(column)].displayChars;
}

QVariant TableModel::data(const QModelIndex& index, int role) const {
    if (!index.isValid() || index.column() >= columnCount()) return {};
    if (role == Qt::TextAlignmentRole)
        return QVariant::fromValue(columns_[static_cast<std::size_t>(index.column())].alignment);
    if (role != Qt::DisplayRole && role != Qt::ToolTipRole) return {};
    const Row* row = rowAt(index.row());
    if (!row) return {};
    const QString& text = row->texts[static_cast<std::size_t>(index.column())];
    if (role == Qt::ToolTipRole) {
        // Only a text the column cuts short needs a tip.
        const int chars = displayChars(index.column());
        return chars > 0 && text.size() > chars ? QVariant(text) : QVariant();
    }
    return text;
}

QVariant TableModel::headerData(int section, Qt::Orientation orientation, int role) const {
    if (role != Qt::DisplayRole) return {};
    if (orientation == Qt::Horizontal) {
        if (section < 0 || section >= columnCount()) return {};
        return columns_[static_cast<std::size_t>(section)].caption;
    }
    // The row indicator: a marker beside the current record, as in a data grid.
    return section == currentRow_ ? QStringLiteral("\u25B8") : QString();
}

Qt::ItemFlags TableModel::flags(const QModelIndex& index) const {
    if (!index.isValid()) return Qt::NoItemFlags;
    return Qt::ItemIsEnabled | Qt::ItemIsSelectable;  // read-only
}

void TableModel::reload() {
    beginResetModel();
    blocks_.clear();
    rows_ = 0;
    currentRow_ = -1;
    if (following_ && table_.isOpen() && !table_.editing()) {
        const std::uint32_t recno = table_.recNo();
        const bool hadCurrent = recno <= table_.recCount();
        rows_ = static_cast<int>(std::min<std::uint32_t>(table_.queryCount(), INT32_MAX));
        restoreCurrent(recno, hadCurrent);
        currentRow_ = findCurrentRow();
    }
    endResetModel();
    emit currentRowChanged(currentRow_);
}

void TableModel::setFollowing(bool on) {
    if (following_ == on) return;
    following_ = on;
    if (on) reload();
}

bool TableModel::setCurrentRow(int row) {
    const std::uint32_t recno = recordAt(row);
    if (recno == 0 || !following_) return false;
    if (!table_.go(recno)) return false;
    const int old = currentRow_;
    currentRow_ = row;
    if (old >= 0) emit headerDataChanged(Qt::Vertical, old, old);
    emit headerDataChanged(Qt::Vertical, row, row);
    return true;
}

std::uint32_t TableModel::recordAt(int row) const {
    const Row* r = rowAt(row);
    return r ? r->recno : 0;
}

int TableModel::cachedRows() const {
    int n = 0;
    for (const auto& [index, block] : blocks_) n += static_cast<int>(block.rows.size());
    return n;
}

const TableModel::Row* TableModel::rowAt(int row) const {
    if (row < 0 || row >= rows_) return nullptr;
    const int block = row / kBlockRows;
    auto it = blocks_.find(block);
    if (it == blocks_.end()) {
        loadBlock(block);
        it = blocks_.find(block);
        if (it == blocks_.end()) return nullptr;
    }
    it->second.used = ++useCounter_;
    const auto offset = static_cast<std::size_t>(row - block * kBlockRows);
    return offset < it->second.rows.size() ? &it->second.rows[offset] : nullptr;
}

void TableModel::restoreCurrent(std::uint32_t recno, bool hadCurrent) const {
    if (hadCurrent) {
        table_.go(recno);
    } else if (table_.last()) {
        table_.next();  // past the end: no current record, as before
    }
}

void TableModel::loadBlock(int block) const {
    // Reading would move the record pointer; with a record being edited that would post it.
    if (!following_ || !table_.isOpen() || table_.editing()) return;
    const int start = block * kBlockRows;
    const int end = std::min(rows_, start + kBlockRows);
    if (start >= end) return;

    const std::uint32_t savedRecno = table_.recNo();
    const bool hadCurrent = savedRecno <= table_.recCount();

    // Start from whichever known row is nearest: the first, the last, or a remembered one.
    int from = 0;
    bool positioned = false;
    int bestDistance = start;  // walking from the first row
    enum class Origin { First, Last, Cached } origin = Origin::First;
    std::uint32_t anchorRecno = 0;
    if (rows_ - 1 - start < bestDistance) {
        bestDistance = rows_ - 1 - start;
        origin = Origin::Last;
    }
    for (const auto& [index, cached] : blocks_) {
        if (cached.rows.empty()) continue;
        const int firstRow = index * kBlockRows;
        const int lastRow = firstRow + static_cast<int>(cached.rows.size()) - 1;
        const int candidate = start < firstRow ? firstRow : lastRow;
        const int distance = std::abs(candidate - start);
        if (distance < bestDistance) {
            bestDistance = distance;
            origin = Origin::Cached;
            from = candidate;
            anchorRecno = cached.rows[static_cast<std::size_t>(candidate - firstRow)].recno;
        }
    }
    switch (origin) {
        case Origin::First:
            positioned = table_.first();
            from = 0;
            break;
        case Origin::Last:
            positioned = table_.last();
            from = rows_ - 1;
            break;
        case Origin::Cached: positioned = table_.go(anchorRecno); break;
    }
    bool ok = positioned;
    while (ok && from < start) {
        ok = table_.next();
        ++from;
    }
    while (ok && from > start) {
        ok = table_.previous();
        --from;
    }

    Block loaded;
    for (int row = start; ok && row < end; ++row) {
        Row r;
        r.recno = table_.recNo();
        r.texts.reserve(columns_.size());
        for (const TableColumn& column : columns_) r.texts.push_back(column.value(table_));
        loaded.rows.push_back(std::move(r));
        if (row + 1 < end) ok = table_.next();
    }
    restoreCurrent(savedRecno, hadCurrent);
    if (loaded.rows.empty()) return;

    if (static_cast<int>(blocks_.size()) >= kMaxBlocks) {
        auto oldest = std::min_element(blocks_.begin(), blocks_.end(), [](const auto& a, const auto& b) {
            return a.second.used < b.second.used;
        });
        blocks_.erase(oldest);
    }
    loaded.used = ++useCounter_;
    blocks_[block] = std::move(loaded);
}

int TableModel::findCurrentRow() const {
    if (!table_.isOpen() || table_.editing() || rows_ == 0) return -1;
    const std::uint32_t recno = table_.recNo();
    if (recno > table_.recCount()) return -1;
    int row = -1;
    if (table_.first()) {
        int n = 0;
        do {
            if (table_.recNo() == recno) {
                row = n;
                break;
            }
            ++n;
        } while (n < rows_ && table_.next());
    }
    restoreCurrent(recno, true);
    return row;
}

}  // namespace pellora::ui
