// The main window driven as a user would: start-up over real tables, command states, the
// commands still to come, help, hints, placement, closing.
#include "app/main_screen.h"

#include <QAction>
#include <QGuiApplication>
#include <QHelpEvent>
#include <QLabel>
#include <QMenuBar>
#include <QPushButton>
#include <QScreen>
#include <QStyle>
#include <QSignalSpy>
#include <QStatusTipEvent>
#include <QTabBar>
#include <QTableView>
#include <QTest>
#include <QTextBrowser>
#include <QToolButton>
#include <QToolTip>

#include <gtest/gtest.h>

#include "app/about_box.h"
#include "settings/ini_file.h"
#include "store/fax_store.h"
#include "support/temp_dir.h"
#include "ui/gui_test_util.h"
#include "ui/help_window.h"
#include "ui/table_model.h"

using pellora::app::TMainScreen;
using pellora::settings::IniFile;
using pellora::store::FaxStore;
using pellora::store::Table;
using pellora::test::BoxAnswerer;
using pellora::test::TempDir;
using pellora::test::waitFor;

namespace {

void addOutgoing(Table& t, const std::string& recipient, const std::string& date, bool sent) {
    t.appendBlank();
    t.setField(t.fieldIndex("RECIPIENT"), recipient);
    t.setField(t.fieldIndex("SUBJECT"), "About " + recipient);
    t.setField(t.fieldIndex("DATESENT"), date);
    t.setField(t.fieldIndex("TIMESENT"), date.empty() ? "" : "10:15");
    t.setField(t.fieldIndex("SENT"), sent ? "T" : "F");
    t.setField(t.fieldIndex("PAGES"), "3");
    t.post();
}

void addReceived(Table& t, const std::string& from, const std::string& date) {
    t.appendBlank();
    t.setField(t.fieldIndex("FROM"), from);
    t.setField(t.fieldIndex("DATEREC"), date);
    t.setField(t.fieldIndex("TIMEREC"), "08:30");
    t.setField(t.fieldIndex("PAGES"), "2");
    t.setField(t.fieldIndex("FAXFILE"), "FAX0001.PLF");
    t.post();
}

class MainScreenTest : public ::testing::Test {
protected:
    // Puts records in the program folder's tables before the program starts.
    void seed(int outgoing, int incoming) {
        FaxStore store(dir.path());
        ASSERT_TRUE(store.OpenFaxDBF());
        ASSERT_TRUE(store.OpenRecFaxDBF());
        for (int i = 0; i < outgoing; ++i)
            addOutgoing(store.faxTable(), "Recipient " + std::to_string(i),
                        i % 2 ? "" : "2024030" + std::to_string(1 + i % 9), i % 2 == 0);
        for (int i = 0; i < incoming; ++i)
            addReceived(store.recTable(), "Sender " + std::to_string(i),
                        "2024040" + std::to_string(1 + i % 9));
        store.faxTable().close();
        store.recTable().close();
    }

    void writeIni(const std::string& text) { pellora::test::writeFile(dir / "PLX.INI", text); }

    void start() {
        screen = std::make_unique<TMainScreen>(dir.path());
        screen->setUrlOpener([this](const QUrl& url) {
            openedUrls.push_back(url);
            return urlOpens;
        });
        screen->FormActivate();
        ASSERT_TRUE(waitFor([&] { return screen->isVisible(); }));
    }

    void TearDown() override {
        if (screen && screen->isVisible()) {
            screen->setFaxInProgress(false);
            screen->close();
        }
        screen.reset();
        if (auto* help = pellora::ui::helpWindow()) delete help;
    }

    QToolButton* button(const char* name) {
        auto* b = screen->findChild<QToolButton*>(name);
        EXPECT_NE(b, nullptr) << name;
        return b;
    }
    QAction* item(const char* name) {
        auto* a = screen->findChild<QAction*>(name);
        EXPECT_NE(a, nullptr) << name;
        return a;
    }
    IniFile ini() {
        IniFile f;
        f.load(dir / "PLX.INI");
        return f;
    }

    TempDir dir;
    std::unique_ptr<TMainScreen> screen;
    std::vector<QUrl> openedUrls;
    bool urlOpens = true;
};

TEST_F(MainScreenTest, StartsOverNewTablesWithTheLayoutOfTheMainWindow) {
    start();
    for (const char* file : {"PLX.DBF", "PLX.CDX", "PLXREC.DBF", "PLXREC.CDX"})
        EXPECT_TRUE(std::filesystem::exists(dir / file)) << file;
    EXPECT_TRUE(std::filesystem::is_directory(dir / "receive"));
    EXPECT_EQ(screen->windowTitle(), "Pellora ");
    EXPECT_EQ(screen->centralWidget()->size(), QSize(592, 383));
    EXPECT_EQ(screen->visiblePage(), TMainScreen::OutgoingPage);
    EXPECT_TRUE(screen->firstRun());  // no settings file yet
    EXPECT_FALSE(screen->receiveMode());

    const std::vector<std::pair<const char*, const char*>> buttons{
        {"NewButton", "&New"},       {"EditButton", "&Edit"},       {"CloneButton", "&Clone"},
        {"DeleteButton", "&Delete"}, {"SendButton", "&Send"},       {"ReceiveButton", "&Receive"},
        {"ViewButton", "&View"},     {"ExitButton", "E&xit"}};
    int lastX = -1;
    for (const auto& [name, caption] : buttons) {
        QToolButton* b = button(name);
        EXPECT_EQ(b->text(), caption);
        EXPECT_GT(b->x(), lastX) << name << " is left to right";
        lastX = b->x();
    }
    EXPECT_EQ(button("DeleteButton")->toolTip(), "Delete  the currently selected fax");
    EXPECT_EQ(item("DeleteFaxItem")->statusTip(), "Delete the currently selected fax");
    EXPECT_EQ(button("ViewButton")->toolTip(), "See a preview of and optionally  print the fax");
    EXPECT_EQ(item("RebuildIndexesItem")->statusTip(), "Do this every 2 weeks ");
    EXPECT_EQ(item("ExitItem")->statusTip(), "Exit to Windows");
    EXPECT_EQ(item("SendFaxItem")->shortcut(), QKeySequence("Ctrl+S"));
    EXPECT_EQ(item("ReceiveFaxesItem")->shortcut(), QKeySequence("Ctrl+R"));
    EXPECT_EQ(item("ViewFaxItem")->shortcut(), QKeySequence("Ctrl+V"));
    EXPECT_EQ(item("ExitItem")->shortcut(), QKeySequence("Ctrl+X"));
    EXPECT_TRUE(item("ShowHintsItem")->isCheckable());

    auto* tabs = screen->findChild<QTabBar*>("TabSet");
    ASSERT_NE(tabs, nullptr);
    EXPECT_EQ(tabs->count(), 2);
    EXPECT_EQ(tabs->tabText(0), "Outgoing");
    EXPECT_EQ(tabs->tabText(1), "Incoming");
    EXPECT_EQ(screen->findChild<QLabel*>("StatusLine")->height(), 32);
    EXPECT_EQ(screen->findChild<QWidget*>("ButtonBar")->height(), 45);

    // Menus in order, separators included.
    const QList<QAction*> menus = screen->menuBar()->actions();
    ASSERT_EQ(menus.size(), 2);
    QStringList fileItems;
    for (QAction* a : menus[0]->menu()->actions()) fileItems << (a->isSeparator() ? "-" : a->text());
    EXPECT_EQ(fileItems, QStringList({"&New Fax", "&Edit Fax", "Clone Fax", "Delete Fax",
                                      "Fax Log Cleanup", "-", "Send Fax", "Receive Faxes",
                                      "View/Print Fax", "-", "C&over Sheets", "&Phone Book",
                                      "Rebuild &Indexes", "P&references", "-", "E&xit"}));
    QStringList helpItems;
    for (QAction* a : menus[1]->menu()->actions()) helpItems << (a->isSeparator() ? "-" : a->text());
    EXPECT_EQ(helpItems,
              QStringList({"Contents", "Frequently Asked Questions (FAQ)",
                           "Configuration Information", "Technical Support", "About", "-",
                           "Troubleshooting Tips", "Visit Our Internet Website", "-",
                           "Show Hints"}));
}

TEST_F(MainScreenTest, GridsShowTheColumnsOfEachListNewestFirst) {
    seed(4, 3);
    start();
    auto* out = screen->outgoingModel();
    QStringList captions;
    for (int c = 0; c < out->columnCount(); ++c) captions << out->headerData(c, Qt::Horizontal).toString();
    EXPECT_EQ(captions, QStringList({"Sent", "Date Sent", "Time Sent", "Recipient", "Phone",
                                     "Pages", "Subject", "Last Attempt"}));
    const std::vector<int> chars{3, 10, 5, 20, 15, 5, 20, 35};
    for (int c = 0; c < out->columnCount(); ++c) EXPECT_EQ(out->displayChars(c), chars[c]) << c;

    auto* in = screen->incomingModel();
    captions.clear();
    for (int c = 0; c < in->columnCount(); ++c) captions << in->headerData(c, Qt::Horizontal).toString();
    EXPECT_EQ(captions, QStringList({"Date Rec'd", "Time Rec'd", "From", "Pages", "Notes", "Fax File"}));
    EXPECT_EQ(in->displayChars(4), 20);

    // Sent faxes newest first, then the unsent ones, whose "Sent" reads "No " (three characters).
    ASSERT_EQ(out->rowCount(), 4);
    EXPECT_EQ(out->data(out->index(0, 0)).toString(), "Yes");
    EXPECT_EQ(out->data(out->index(0, 3)).toString(), "Recipient 2");
    EXPECT_EQ(out->data(out->index(1, 3)).toString(), "Recipient 0");
    EXPECT_EQ(out->data(out->index(3, 0)).toString(), "No ");
    ASSERT_EQ(in->rowCount(), 3);
    EXPECT_EQ(in->data(in->index(0, 2)).toString(), "Sender 2");

    // The lists are in their tags' order, and the grid's current row is the first record.
    Table& fax = screen->store().faxTable();
    EXPECT_EQ(fax.order(), fax.tagNumber("DATESENT"));
    Table& rec = screen->store().recTable();
    EXPECT_EQ(rec.order(), rec.tagNumber("DATETIME"));
    EXPECT_EQ(screen->outgoingGrid()->currentIndex().row(), 0);
    EXPECT_EQ(out->recordAt(0), fax.recNo());

    // Choosing a row in the grid makes its record the one commands act on.
    screen->outgoingGrid()->setCurrentIndex(out->index(2, 0));
    EXPECT_EQ(fax.recNo(), out->recordAt(2));
}

// The command table: with the visible page, receive mode and which lists are empty.
TEST_F(MainScreenTest, CommandStatesFollowThePageReceiveModeAndEmptyLists) {
    struct Case {
        int page;
        bool receive, outgoingEmpty, incomingEmpty;
        // New, Clone, Send, Edit, Delete, View, Rebuild Indexes, Preferences, Receive
        const char* expected;
    } cases[] = {
        {0, false, false, false, "111111111"}, {0, false, true, false, "100000111"},
        {0, false, false, true, "111111111"},  {0, false, true, true, "100000111"},
        {0, true, false, false, "110111001"},  {0, true, true, false, "100000001"},
        {0, true, false, true, "110111001"},   {0, true, true, true, "100000001"},
        {1, false, false, false, "000111111"}, {1, false, true, false, "000111111"},
        {1, false, false, true, "000000111"},  {1, false, true, true, "000000111"},
        {1, true, false, false, "000001001"},  {1, true, true, false, "000001001"},
        {1, true, false, true, "000000001"},   {1, true, true, true, "000000001"},
    };
    const char* buttonNames[] = {"NewButton",  "CloneButton", "SendButton",
                                 "EditButton", "DeleteButton", "ViewButton"};
    const char* itemNames[] = {"NewFaxItem",  "CloneFaxItem",  "SendFaxItem",
                               "EditFaxItem", "DeleteFaxItem", "ViewFaxItem",
                               "RebuildIndexesItem", "PreferencesItem", "ReceiveFaxesItem"};
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "page " << c.page << " receive " << c.receive
                                        << " outgoing empty " << c.outgoingEmpty
                                        << " incoming empty " << c.incomingEmpty);
        TearDown();
        std::filesystem::remove_all(dir.path());
        std::filesystem::create_directory(dir.path());
        seed(c.outgoingEmpty ? 0 : 2, c.incomingEmpty ? 0 : 2);
        start();
        if (c.page == 1) screen->TabSetClick(1);
        if (c.receive) screen->setReceiveMode(true);
        ASSERT_EQ(screen->visiblePage(), c.page);
        for (int i = 0; i < 6; ++i)
            EXPECT_EQ(button(buttonNames[i])->isEnabled(), c.expected[i] == '1') << buttonNames[i];
        for (int i = 0; i < 9; ++i)
            EXPECT_EQ(item(itemNames[i])->isEnabled(), c.expected[i] == '1') << itemNames[i];
        EXPECT_TRUE(button("ReceiveButton")->isEnabled());
        EXPECT_TRUE(button("ExitButton")->isEnabled());
        EXPECT_EQ(screen->outgoingGrid()->isEnabled(), !c.outgoingEmpty);
        EXPECT_EQ(screen->incomingGrid()->isEnabled(), !c.incomingEmpty);
        EXPECT_EQ(button("ReceiveButton")->text(), c.receive ? "STOP" : "&Receive");
    }
}

TEST_F(MainScreenTest, EmptyListsRunInRecordOrderAndTakeTheirTagWhenRecordsArrive) {
    start();
    Table& fax = screen->store().faxTable();
    EXPECT_EQ(fax.order(), 0);
    addOutgoing(fax, "Late", "20240101", true);
    addOutgoing(fax, "Later", "20240202", true);
    screen->FaxTableCloseAndOpen();
    screen->SetButtons();
    EXPECT_EQ(fax.order(), fax.tagNumber("DATESENT"));
    EXPECT_TRUE(button("EditButton")->isEnabled());
    EXPECT_EQ(screen->outgoingModel()->rowCount(), 2);
    EXPECT_EQ(screen->outgoingModel()->data(screen->outgoingModel()->index(0, 3)).toString(), "Later");

    // Deleting every record empties the list again: record order, commands off.
    for (bool ok = fax.first(); ok; ok = fax.first()) fax.deleteRecord();
    screen->FaxTableCloseAndOpen();
    screen->SetButtons();
    EXPECT_EQ(fax.order(), 0);
    EXPECT_FALSE(button("EditButton")->isEnabled());
    EXPECT_FALSE(screen->outgoingGrid()->isEnabled());
    EXPECT_EQ(screen->outgoingModel()->rowCount(), 0);
}

TEST_F(MainScreenTest, CloseAndReopenKeepsTheCurrentRecord) {
    seed(5, 0);
    start();
    auto* model = screen->outgoingModel();
    screen->outgoingGrid()->setCurrentIndex(model->index(3, 0));
    const std::uint32_t recno = model->recordAt(3);
    screen->FaxTableCloseAndOpen();
    EXPECT_EQ(screen->store().faxTable().recNo(), recno);
    EXPECT_EQ(model->currentRow(), 3);
    EXPECT_EQ(screen->outgoingGrid()->currentIndex().row(), 3);
}

TEST_F(MainScreenTest, TheIncomingTabDisablesNewCloneAndSendEvenWithOutgoingFaxes) {
    seed(3, 0);
    start();
    EXPECT_TRUE(button("NewButton")->isEnabled());
    EXPECT_TRUE(button("SendButton")->isEnabled());
    auto* tabs = screen->findChild<QTabBar*>("TabSet");
    QTest::mouseClick(tabs, Qt::LeftButton, {}, tabs->tabRect(1).center());
    EXPECT_EQ(screen->visiblePage(), TMainScreen::IncomingPage);
    EXPECT_FALSE(button("NewButton")->isEnabled());
    EXPECT_FALSE(button("CloneButton")->isEnabled());
    EXPECT_FALSE(button("SendButton")->isEnabled());
    EXPECT_FALSE(button("ViewButton")->isEnabled());  // the incoming list is empty
    QTest::mouseClick(tabs, Qt::LeftButton, {}, tabs->tabRect(0).center());
    EXPECT_EQ(screen->visiblePage(), TMainScreen::OutgoingPage);
    EXPECT_TRUE(button("SendButton")->isEnabled());
}

// Every command whose window comes later says so; none is silent, none fails.
TEST_F(MainScreenTest, CommandsStillToComeSayTheyAreNotAvailableYet) {
    seed(2, 2);
    start();
    struct Case {
        const char* what;
        std::function<void()> run;
        const char* feature;
    } cases[] = {
        {"New button", [&] { button("NewButton")->click(); }, "New Fax"},
        {"New menu", [&] { item("NewFaxItem")->trigger(); }, "New Fax"},
        {"Edit", [&] { item("EditFaxItem")->trigger(); }, "Edit Fax"},
        {"Clone", [&] { button("CloneButton")->click(); }, "Clone Fax"},
        {"Delete", [&] { item("DeleteFaxItem")->trigger(); }, "Delete Fax"},
        {"Send", [&] { item("SendFaxItem")->trigger(); }, "Send Fax"},
        {"Receive", [&] { button("ReceiveButton")->click(); }, "Receive Faxes"},
        {"View", [&] { item("ViewFaxItem")->trigger(); }, "View/Print Fax"},
        {"View by double click",
         [&] {
             QTableView* grid = screen->outgoingGrid();
             const QRect cell = grid->visualRect(grid->model()->index(0, 1));
             // As the system delivers it: a click, then the double click.
             QTest::mouseClick(grid->viewport(), Qt::LeftButton, {}, cell.center());
             QTest::mouseDClick(grid->viewport(), Qt::LeftButton, {}, cell.center());
         },
         "View/Print Fax"},
        {"Fax Log Cleanup", [&] { item("FaxLogCleanupItem")->trigger(); }, "Fax Log Cleanup"},
        {"Cover Sheets", [&] { item("CoverSheetsItem")->trigger(); }, "Cover Sheets"},
        {"Phone Book", [&] { item("PhoneBookItem")->trigger(); }, "Phone Book"},
        {"Rebuild Indexes", [&] { item("RebuildIndexesItem")->trigger(); }, "Rebuild Indexes"},
        {"Preferences", [&] { item("PreferencesItem")->trigger(); }, "Preferences"},
        {"Configuration Information", [&] { item("ConfigurationInformationItem")->trigger(); },
         "Configuration Information"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        BoxAnswerer answerer;
        c.run();
        ASSERT_EQ(answerer.seen().size(), 1u);
        EXPECT_EQ(answerer.seen()[0].title, "Information");
        EXPECT_TRUE(answerer.seen()[0].text.contains(c.feature)) << answerer.seen()[0].text.toStdString();
        EXPECT_TRUE(answerer.seen()[0].text.contains("not available yet"));
        EXPECT_TRUE(screen->isVisible());
        EXPECT_FALSE(screen->receiveMode());
    }
    // The cover sheet and phone book tables were created on the way and closed again.
    for (const char* file : {"PLXCOV.DBF", "PLXPB.DBF"}) {
        EXPECT_TRUE(std::filesystem::exists(dir / file)) << file;
        Table t;
        EXPECT_NO_THROW(t.open(dir / file)) << file << " is still held open";
    }
    // The lists still show their records after the rebuild stopped and resumed the grids.
    EXPECT_EQ(screen->outgoingModel()->rowCount(), 2);
    EXPECT_EQ(screen->incomingModel()->rowCount(), 2);
}

TEST_F(MainScreenTest, AStartWithReceiveAtStartupGoesToReceiveMode) {
    writeIni("[Receive]\nAtStartup=1\n[Modem]\nComPort=1\n");
    BoxAnswerer answerer;
    start();
    EXPECT_FALSE(screen->firstRun());
    ASSERT_EQ(answerer.seen().size(), 1u);
    EXPECT_TRUE(answerer.seen()[0].text.contains("Receive Faxes"));
}

TEST_F(MainScreenTest, ReceiveStopsReceiveModeAndClosingInReceiveModeAsksNothing) {
    start();
    screen->setReceiveMode(true);
    EXPECT_EQ(button("ReceiveButton")->toolTip(), "Stop receiving faxes");
    {
        BoxAnswerer answerer;
        button("ReceiveButton")->click();  // STOP
        EXPECT_TRUE(answerer.seen().empty());
    }
    EXPECT_FALSE(screen->receiveMode());
    EXPECT_EQ(button("ReceiveButton")->text(), "Receive");
    EXPECT_EQ(button("ReceiveButton")->toolTip(), "Start receiving faxes");

    screen->setReceiveMode(true);
    BoxAnswerer answerer;
    QSignalSpy closed(screen.get(), &TMainScreen::closed);
    EXPECT_TRUE(screen->close());
    EXPECT_TRUE(answerer.seen().empty());
    EXPECT_EQ(closed.count(), 1);
    EXPECT_FALSE(screen->receiveMode());
}

TEST_F(MainScreenTest, ClosingWhileAFaxArrivesAsksFirst) {
    seed(1, 1);
    start();
    screen->setReceiveMode(true);
    screen->setFaxInProgress(true);
    QSignalSpy closed(screen.get(), &TMainScreen::closed);
    {
        BoxAnswerer answerer(QMessageBox::No);
        EXPECT_FALSE(screen->close());
        ASSERT_EQ(answerer.seen().size(), 1u);
        EXPECT_EQ(answerer.seen()[0].title, "Exit");
        EXPECT_EQ(answerer.seen()[0].text, "You are receiving a fax. Exit the program?");
        EXPECT_EQ(answerer.seen()[0].defaultButton, QMessageBox::Yes);
    }
    EXPECT_TRUE(screen->isVisible());
    EXPECT_TRUE(screen->store().faxTable().isOpen());
    EXPECT_EQ(closed.count(), 0);
    {
        BoxAnswerer answerer(QMessageBox::Yes);
        EXPECT_TRUE(screen->close());
        EXPECT_EQ(answerer.seen().size(), 1u);
    }
    EXPECT_EQ(closed.count(), 1);
    EXPECT_FALSE(screen->store().faxTable().isOpen());
    EXPECT_FALSE(screen->store().recTable().isOpen());
}

TEST_F(MainScreenTest, AFailedTableOpenTellsTheUserAndClosesTheProgram) {
    struct Case {
        const char* what;
        bool badOutgoing, badReceived;
        QStringList messages;
    } cases[] = {
        {"outgoing", true, false, {"Unable to open/create the FAX datafile - closing program"}},
        {"received", false, true, {"Unable to open/create the FAX RECEIVE datafile - closing program"}},
        {"both", true, true,
         {"Unable to open/create the FAX datafile - closing program",
          "Unable to open/create the FAX RECEIVE datafile - closing program"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        TempDir folder;
        if (c.badOutgoing) pellora::test::writeFile(folder / "PLX.DBF", "this is not a table");
        if (c.badReceived) pellora::test::writeFile(folder / "PLXREC.DBF", "nor is this");
        BoxAnswerer answerer;
        auto failed = std::make_unique<TMainScreen>(folder.path());
        QSignalSpy closed(failed.get(), &TMainScreen::closed);
        QStringList seen;
        for (const auto& box : answerer.seen()) {
            seen << box.text;
            EXPECT_EQ(box.title, "Information");
        }
        EXPECT_EQ(seen, c.messages);
        EXPECT_TRUE(failed->startFailed());
        EXPECT_EQ(closed.count(), 0);  // the close is posted, not done inside start-up
        ASSERT_TRUE(waitFor([&] { return closed.count() == 1; }));
        failed->FormActivate();  // too late: nothing is shown
        EXPECT_FALSE(failed->isVisible());
        // The broken file is left as it was for the user to look at.
        if (c.badOutgoing) {
            EXPECT_EQ(pellora::test::readFile(folder / "PLX.DBF"), "this is not a table");
        }
    }
}

TEST_F(MainScreenTest, ShowHintsTogglesHintsAndWritesTheSettingsFileAtOnce) {
    start();
    QAction* hints = item("ShowHintsItem");
    EXPECT_TRUE(hints->isChecked());
    // Hints come after 1.2 seconds and go after 30.
    EXPECT_EQ(QApplication::style()->styleHint(QStyle::SH_ToolTip_WakeUpDelay), 1200);
    EXPECT_EQ(button("SendButton")->toolTipDuration(), 30000);
    EXPECT_TRUE(screen->hintsOn());
    QLabel* status = screen->findChild<QLabel*>("StatusLine");

    // With hints on, a control's hint shows in the status line and as a tool tip.
    QStatusTipEvent tip("Create a new fax");
    QApplication::sendEvent(screen.get(), &tip);
    EXPECT_EQ(status->text(), "Create a new fax");

    hints->trigger();
    EXPECT_FALSE(hints->isChecked());
    EXPECT_FALSE(screen->hintsOn());
    EXPECT_EQ(ini().readString("Hints", "On", ""), "0");
    EXPECT_EQ(status->text(), "");
    QApplication::sendEvent(screen.get(), &tip);
    EXPECT_EQ(status->text(), "");
    QToolButton* newButton = button("NewButton");
    QHelpEvent help(QEvent::ToolTip, QPoint(5, 5), newButton->mapToGlobal(QPoint(5, 5)));
    QApplication::sendEvent(newButton, &help);
    EXPECT_FALSE(QToolTip::isVisible());

    hints->trigger();
    EXPECT_TRUE(hints->isChecked());
    EXPECT_EQ(ini().readString("Hints", "On", ""), "1");
    // The whole record is written, not just the one key.
    EXPECT_EQ(ini().readString("Version", "Version", ""), "2.8i");
    QApplication::sendEvent(newButton, &help);
    EXPECT_TRUE(QToolTip::isVisible());
    EXPECT_EQ(QToolTip::text(), "Create a new fax");
    QToolTip::hideText();
}

TEST_F(MainScreenTest, HintsOffInTheSettingsFileStartWithHintsOff) {
    writeIni("[Hints]\nOn=0\n");
    start();
    EXPECT_FALSE(item("ShowHintsItem")->isChecked());
    EXPECT_FALSE(screen->hintsOn());
}

TEST_F(MainScreenTest, PlacementIsRestoredMovedBackOnScreenAndSavedOnClose) {
    const QRect area = QGuiApplication::primaryScreen()->availableGeometry();
    // Remembered on a wider screen: the right edge lies past this screen's.
    const int left = area.right() - 200, top = 40, width = 640, height = 480;
    writeIni("[TMainScreen_Placement]\nLeft=" + std::to_string(left) + "\nTop=" +
             std::to_string(top) + "\nRight=" + std::to_string(left + width) +
             "\nBottom=" + std::to_string(top + height) + "\nMaximized=0\n");
    start();
    EXPECT_EQ(screen->geometry(), QRect(area.right() + 1 - width, top, width, height));

    screen->setGeometry(20, 30, 600, 420);
    ASSERT_TRUE(screen->close());
    IniFile f = ini();
    EXPECT_EQ(f.readInteger("TMainScreen_Placement", "Left", -1), 20);
    EXPECT_EQ(f.readInteger("TMainScreen_Placement", "Top", -1), 30);
    EXPECT_EQ(f.readInteger("TMainScreen_Placement", "Right", -1), 620);
    EXPECT_EQ(f.readInteger("TMainScreen_Placement", "Bottom", -1), 450);
    EXPECT_EQ(f.readString("TMainScreen_Placement", "Maximized", ""), "0");
    // And the settings: a first run stores port index 0, so the next start is not a first run.
    EXPECT_EQ(f.readInteger("Modem", "ComPort", -1), 0);
    EXPECT_EQ(f.readString("Version", "Version", ""), "2.8i");
}

TEST_F(MainScreenTest, WithoutAPlacementTheWindowIsCentredOnTheScreen) {
    start();
    const QRect area = QGuiApplication::primaryScreen()->availableGeometry();
    // Before the window is first shown its frame is not known yet, so the centring is out by
    // at most the frame's width.
    const QRect g = screen->frameGeometry();
    const int frame = g.width() - screen->width();
    EXPECT_NEAR(g.left(), area.left() + (area.width() - g.width()) / 2, frame / 2 + 1);
    EXPECT_NEAR(g.top(), area.top() + (area.height() - g.height()) / 2, frame / 2 + 1);
    // Saved at once, so the file shows where the window is.
    EXPECT_NE(ini().readInteger("TMainScreen_Placement", "Bottom", 0), 0);
}

TEST_F(MainScreenTest, AMaximisedWindowComesBackMaximisedAndAMinimisedStartStaysMinimised) {
    writeIni("[TMainScreen_Placement]\nLeft=10\nTop=10\nRight=610\nBottom=410\nMaximized=1\n");
    start();
    EXPECT_TRUE(screen->isMaximized());
    ASSERT_TRUE(screen->close());
    screen.reset();

    auto minimised = std::make_unique<TMainScreen>(dir.path());
    minimised->FormActivate(TMainScreen::StartShow::Minimized);
    EXPECT_TRUE(minimised->isMinimized());
    minimised->bringToFront();
    EXPECT_FALSE(minimised->isMinimized());
    EXPECT_TRUE(minimised->isVisible());
    minimised->close();
}

TEST_F(MainScreenTest, AFolderThatCannotBeWrittenIsReportedOnClose) {
    start();
    // The settings file's place is taken by a folder: writing it must fail and say so.
    std::filesystem::remove(dir / "PLX.INI");
    std::filesystem::create_directory(dir / "PLX.INI");
    BoxAnswerer answerer;
    EXPECT_TRUE(screen->close());
    ASSERT_EQ(answerer.seen().size(), 1u);
    EXPECT_TRUE(answerer.seen()[0].text.startsWith("Unable to write to"));
    EXPECT_EQ(answerer.seen()[0].icon, QMessageBox::Critical);
}

TEST_F(MainScreenTest, HelpItemsOpenTheHelpFileAtTheirTopics) {
    pellora::test::writeFile(dir / "plx.hlp",
                             "<html><body><a name=\"1009\"></a><p>Contents</p>"
                             "<a name=\"911\"></a><p>FAQ</p><a name=\"411\"></a><p>Tips</p>"
                             "<a name=\"1025\"></a><p>Support</p></body></html>");
    start();
    EXPECT_EQ(screen->helpFile(), QString::fromStdString((dir / "plx.hlp").string()));
    for (const char* name : {"ContentsItem", "FaqItem", "TroubleshootingTipsItem",
                             "TechnicalSupportItem"}) {
        SCOPED_TRACE(name);
        item(name)->trigger();
        QTextBrowser* help = pellora::ui::helpWindow();
        ASSERT_NE(help, nullptr);
        EXPECT_TRUE(help->isVisible());
        EXPECT_EQ(help->source().toLocalFile(), screen->helpFile());
        EXPECT_TRUE(help->toPlainText().contains("Support"));
    }
}

TEST_F(MainScreenTest, WithoutAHelpFileBesideTheProgramTheBuiltInOneIsShown) {
    start();
    if (std::filesystem::exists(std::filesystem::path(
            QCoreApplication::applicationDirPath().toStdString()) / "plx.hlp")) {
        GTEST_SKIP() << "a help file lies beside the test executable";
    }
    EXPECT_EQ(screen->helpFile(), ":/pellora/plx.hlp");
    item("ContentsItem")->trigger();
    QTextBrowser* help = pellora::ui::helpWindow();
    ASSERT_NE(help, nullptr);
    EXPECT_TRUE(help->toPlainText().contains("Pellora Help"));
    // Every topic the program opens has its anchor.
    const QString html = help->document()->toHtml();
    for (int topic : {1009, 911, 411, 1025, 1015, 1016, 1017, 1018, 1019, 1020, 1021, 1022, 1026,
                      1032, 3501, 3502, 3503, 21071})
        EXPECT_TRUE(html.contains(QStringLiteral("name=\"%1\"").arg(topic))) << topic;
}

TEST_F(MainScreenTest, WebsiteAndAboutBox) {
    start();
    item("VisitWebsiteItem")->trigger();
    ASSERT_EQ(openedUrls.size(), 1u);
    EXPECT_EQ(openedUrls[0], QUrl(pellora::app::kWebsiteUrl));
    {
        urlOpens = false;  // no browser: say so rather than nothing
        BoxAnswerer answerer;
        item("VisitWebsiteItem")->trigger();
        ASSERT_EQ(answerer.seen().size(), 1u);
        EXPECT_TRUE(answerer.seen()[0].text.contains(pellora::app::kWebsiteUrl));
    }

    QString title, version, bits;
    bool onTop = false, hasLogo = false;
    QTimer::singleShot(50, [&] {
        auto* about = qobject_cast<pellora::app::TSplashform*>(QApplication::activeModalWidget());
        ASSERT_NE(about, nullptr);
        title = about->windowTitle();
        version = about->findChild<QLabel*>("VersionLabel")->text();
        bits = about->findChild<QLabel*>("BitsLabel")->text();
        onTop = about->windowFlags() & Qt::WindowStaysOnTopHint;
        hasLogo = !about->findChild<QLabel*>("Logo")->pixmap().isNull();
        about->findChild<QPushButton*>("OkButton")->click();
    });
    item("AboutItem")->trigger();
    EXPECT_EQ(title, "About Pellora");
    EXPECT_EQ(version, "Version 2.8i");
    EXPECT_EQ(bits, QStringLiteral("%1-bit version").arg(sizeof(void*) * 8));
    EXPECT_TRUE(onTop);
    EXPECT_TRUE(hasLogo);
}

TEST_F(MainScreenTest, CommandsOnAnEmptyListDoNothing) {
    start();
    // Reached from code (the buttons are disabled): no box, no change.
    BoxAnswerer answerer;
    screen->EditButtonClick();
    screen->DeleteButtonClick();
    screen->ViewButtonClick();
    screen->CloneButtonClick();
    screen->SendButtonClick();
    EXPECT_TRUE(answerer.seen().empty());
}

}  // namespace
