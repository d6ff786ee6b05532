// The grid model over a store table: rows in the controlling order under the query, read a
// block at a time, the table's current record left where the windows put it.
#include "ui/table_model.h"

#include <QHeaderView>
#include <QTableView>
#include <random>

#include <gtest/gtest.h>

#include "store/fax_store.h"
#include "support/temp_dir.h"
#include "ui/gui_test_util.h"
#include "ui/table_grid.h"
#include "ui/text_codec.h"

using pellora::store::FaxStore;
using pellora::store::Table;
using pellora::test::TempDir;
using pellora::ui::TableColumn;
using pellora::ui::TableModel;

namespace {

void addFax(Table& t, const std::string& recipient, const std::string& date,
            const std::string& time, bool sent, int pages = 1) {
    t.appendBlank();
    t.setField(t.fieldIndex("RECIPIENT"), recipient);
    t.setField(t.fieldIndex("DATESENT"), date);
    t.setField(t.fieldIndex("TIMESENT"), time);
    t.setField(t.fieldIndex("SENT"), sent ? "T" : "F");
    t.setField(t.fieldIndex("PAGES"), std::to_string(pages));
    t.post();
}

std::vector<TableColumn> recipientColumns(const Table& t) {
    return {pellora::ui::fieldColumn(t, "RECIPIENT", "Recipient", 20),
            pellora::ui::fieldColumn(t, "PAGES", "Pages", 5),
            pellora::ui::fieldColumn(t, "DATESENT", "Date Sent")};
}

QString cell(const TableModel& m, int row, int column) {
    return m.data(m.index(row, column)).toString();
}

class TableModelTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(store.OpenFaxDBF());
        table().setOrder(table().tagNumber("DATESENT"));
    }
    Table& table() { return store.faxTable(); }

    TempDir dir;
    FaxStore store{dir.path()};
};

TEST_F(TableModelTest, RowsFollowTheControllingOrderAndTheQuery) {
    addFax(table(), "Older", "20240101", "10:00", true);
    addFax(table(), "Unsent", "", "", false);
    addFax(table(), "Newest", "20240301", "08:00", true);
    addFax(table(), "Gone", "20240401", "08:00", true);
    table().deleteRecord();
    table().post();
    addFax(table(), "Same day later", "20240101", "11:30", true);
    table().setQuery(".not. deleted()");
    table().first();

    TableModel model(table(), recipientColumns(table()));
    ASSERT_EQ(model.rowCount(), 4);
    EXPECT_EQ(model.columnCount(), 3);
    // Newest first, the unsent fax (blank key) last, the deleted one not at all.
    const QStringList expected{"Newest", "Same day later", "Older", "Unsent"};
    for (int r = 0; r < 4; ++r) EXPECT_EQ(cell(model, r, 0), expected[r]) << r;
    EXPECT_EQ(cell(model, 0, 1), "1");
    EXPECT_EQ(model.data(model.index(0, 1), Qt::TextAlignmentRole).value<Qt::Alignment>() &
                  Qt::AlignRight,
              Qt::AlignRight);
    EXPECT_EQ(cell(model, 3, 2), "");  // an empty date shows nothing
    EXPECT_FALSE(cell(model, 0, 2).isEmpty());
    EXPECT_EQ(model.headerData(0, Qt::Horizontal).toString(), "Recipient");
    EXPECT_EQ(model.displayChars(0), 20);
    EXPECT_EQ(model.displayChars(2), 10);  // a date shows in ten characters
    EXPECT_FALSE(model.flags(model.index(0, 0)) & Qt::ItemIsEditable);
}

TEST_F(TableModelTest, AnEmptyTableHasNoRowsAndNoCurrentRow) {
    TableModel model(table(), recipientColumns(table()));
    EXPECT_EQ(model.rowCount(), 0);
    EXPECT_EQ(model.currentRow(), -1);
    EXPECT_FALSE(model.data(model.index(0, 0)).isValid());
    EXPECT_EQ(model.recordAt(0), 0u);
}

TEST_F(TableModelTest, ALargeTableIsReadInBlocksAndMatchesAStraightWalk) {
    constexpr int kRecords = 3000;
    for (int i = 0; i < kRecords; ++i) {
        char date[16];
        std::snprintf(date, sizeof date, "2023%02d%02d", 1 + (i * 7) % 12, 1 + (i * 13) % 28);
        char time[8];
        std::snprintf(time, sizeof time, "%02d:%02d", (i * 5) % 24, i % 60);
        addFax(table(), "R" + std::to_string(i), i % 17 == 0 ? "" : date, time, true, i % 99);
    }
    table().setQuery(".not. deleted()");
    // The walk the model must agree with.
    std::vector<std::uint32_t> walk;
    for (bool ok = table().first(); ok; ok = table().next()) walk.push_back(table().recNo());
    ASSERT_EQ(walk.size(), static_cast<std::size_t>(kRecords));

    table().go(walk[1234]);
    TableModel model(table(), recipientColumns(table()));
    ASSERT_EQ(model.rowCount(), kRecords);
    EXPECT_EQ(model.currentRow(), 1234);
    EXPECT_EQ(model.cachedRows(), 0);  // nothing read before a row is asked for

    std::mt19937 random(7);
    std::uniform_int_distribution<int> pick(0, kRecords - 1);
    std::vector<int> rows{0, kRecords - 1, 63, 64, 65, 1500, 2999, 2998, 1};
    for (int i = 0; i < 200; ++i) rows.push_back(pick(random));
    for (int row : rows) {
        ASSERT_EQ(model.recordAt(row), walk[static_cast<std::size_t>(row)]) << row;
        table().go(walk[static_cast<std::size_t>(row)]);
        const std::string recipient = table().getString(table().fieldIndex("RECIPIENT"));
        table().go(walk[1234]);
        ASSERT_EQ(cell(model, row, 0).toStdString(), recipient) << row;
        // Reading never moves the current record the windows act on.
        ASSERT_EQ(table().recNo(), walk[1234]);
        ASSERT_LE(model.cachedRows(), TableModel::kBlockRows * TableModel::kMaxBlocks);
    }
}

TEST_F(TableModelTest, ChoosingARowMakesItsRecordCurrentAndReloadFindsTheCurrentRecord) {
    for (int i = 1; i <= 9; ++i)
        addFax(table(), "R" + std::to_string(i), "2024010" + std::to_string(i), "10:00", true);
    table().setQuery(".not. deleted()");
    table().first();
    TableModel model(table(), recipientColumns(table()));
    EXPECT_EQ(model.currentRow(), 0);
    EXPECT_EQ(model.headerData(0, Qt::Vertical).toString(), QString(QChar(0x25B8)));
    EXPECT_EQ(model.headerData(1, Qt::Vertical).toString(), QString());

    ASSERT_TRUE(model.setCurrentRow(4));
    EXPECT_EQ(table().getString(table().fieldIndex("RECIPIENT")), "R5");
    EXPECT_EQ(model.headerData(4, Qt::Vertical).toString(), QString(QChar(0x25B8)));
    EXPECT_FALSE(model.setCurrentRow(9));
    EXPECT_FALSE(model.setCurrentRow(-1));

    // A record added elsewhere shows after a reload, and the current row follows the record.
    addFax(table(), "Newest", "20250101", "10:00", true);
    table().go(5);  // R5
    model.reload();
    EXPECT_EQ(model.rowCount(), 10);
    EXPECT_EQ(model.currentRow(), 5);
    EXPECT_EQ(cell(model, 0, 0), "Newest");
}

TEST_F(TableModelTest, WhileNotFollowingTheTableIsNotTouched) {
    addFax(table(), "Only", "20240101", "10:00", true);
    table().setQuery(".not. deleted()");
    table().first();
    TableModel model(table(), recipientColumns(table()));
    model.setFollowing(false);
    const auto path = table().path();
    table().close();  // as during a close and reopen
    EXPECT_FALSE(model.data(model.index(0, 0)).isValid());
    table().open(path);
    table().setOrder(table().tagNumber("DATESENT"));
    table().setQuery(".not. deleted()");
    model.setFollowing(true);
    EXPECT_EQ(model.rowCount(), 1);
    EXPECT_EQ(cell(model, 0, 0), "Only");
}

TEST_F(TableModelTest, ARecordBeingEditedIsNotPostedByReading) {
    addFax(table(), "First", "20240101", "10:00", true);
    addFax(table(), "Second", "20240102", "10:00", true);
    table().setQuery(".not. deleted()");
    table().first();
    TableModel model(table(), recipientColumns(table()));
    table().edit();
    table().setField(table().fieldIndex("RECIPIENT"), "Changed");
    // The view repaints while the editor's messages run: nothing may be read.
    (void)model.data(model.index(1, 0));
    EXPECT_TRUE(table().editing());
    table().cancel();
}

TEST(TextCodec, Windows1252RoundTripsAndMapsTheHighControls) {
    const std::string bytes = "Caf\xE9 \x80 \x93quoted\x94 \x81";
    const QString text = pellora::ui::fromWindows1252(bytes);
    EXPECT_EQ(text, QString::fromUtf8("Caf\u00E9 \u20AC \u201Cquoted\u201D \u0081"));
    EXPECT_EQ(pellora::ui::toWindows1252(text), bytes);
    EXPECT_EQ(pellora::ui::toWindows1252(QString::fromUtf8("\u4E2D")), "?");
}

TEST_F(TableModelTest, GridColumnsAreAsWideAsTheirCharactersAndNeverNarrowerThanTheirTitle) {
    addFax(table(), "Someone", "20240101", "10:00", true);
    table().setQuery(".not. deleted()");
    table().first();
    TableModel model(table(), recipientColumns(table()));
    QTableView view;
    pellora::ui::configureGrid(&view, &model);
    const int digit = QFontMetrics(view.font()).horizontalAdvance(QLatin1Char('0'));
    EXPECT_GE(view.columnWidth(0), 20 * digit);
    EXPECT_LT(view.columnWidth(0), 20 * digit + 40);
    // "Pages" (5 characters wide) at least fits its title.
    EXPECT_GE(view.columnWidth(1),
              QFontMetrics(view.horizontalHeader()->font()).horizontalAdvance("Pages"));
    EXPECT_EQ(view.editTriggers(), QAbstractItemView::NoEditTriggers);
    EXPECT_TRUE(view.showGrid());
    EXPECT_FALSE(view.verticalHeader()->isHidden());
    EXPECT_EQ(view.currentIndex().row(), 0);
}

}  // namespace
