// Rules shared by every window: message boxes, centring, remembered placement, the program
// folder, the help window and the default font.
#include "ui/windows.h"

#include <QDialog>
#include <QFile>
#include <QFontDialog>
#include <QGuiApplication>
#include <QLabel>
#include <QScreen>
#include <QScrollBar>
#include <QTextBrowser>
#include <QTextEdit>
#include <QTimer>
#include <QVBoxLayout>
#include <unistd.h>

#include <gtest/gtest.h>

#include "settings/ini_file.h"
#include "settings/settings.h"
#include "support/temp_dir.h"
#include "ui/default_font.h"
#include "ui/gui_test_util.h"
#include "ui/help_window.h"
#include "ui/program_folder.h"
#include "ui/window_placement.h"

using pellora::settings::IniFile;
using pellora::test::BoxAnswerer;
using pellora::test::TempDir;
namespace ui = pellora::ui;

namespace {

QRect screenArea() { return QGuiApplication::primaryScreen()->availableGeometry(); }

// A main window shown at a known place; cleared as the main window afterwards.
class MainWindowFixture : public ::testing::Test {
protected:
    void SetUp() override {
        main.setWindowTitle("Main");
        main.setGeometry(100, 80, 400, 300);
        main.show();
        ASSERT_TRUE(pellora::test::waitFor([&] { return main.isVisible(); }));
        ui::setMainWindow(&main);
    }
    void TearDown() override { ui::setMainWindow(nullptr); }

    QWidget main;
};

TEST_F(MainWindowFixture, MessageBoxesHaveTheirCaptionsIconsAndPreselectedButtons) {
    ui::setApplicationTitle("Pellora");
    struct Case {
        const char* what;
        std::function<bool()> show;
        QMessageBox::StandardButton press;
        QString title;
        QMessageBox::Icon icon;
        QMessageBox::StandardButton preselected;
        bool result;
    } cases[] = {
        {"question, Yes preselected, answered Yes", [] { return ui::questionYes("Go on?"); },
         QMessageBox::Yes, "Confirm", QMessageBox::Question, QMessageBox::Yes, true},
        {"question, Yes preselected, answered No",
         [] { return ui::questionYes("You are receiving a fax. Exit the program?", "Exit"); },
         QMessageBox::No, "Exit", QMessageBox::Question, QMessageBox::Yes, false},
        {"question, No preselected, answered No", [] { return ui::questionNo("Delete it?"); },
         QMessageBox::No, "Confirm", QMessageBox::Question, QMessageBox::No, false},
        {"question, No preselected, answered Yes", [] { return ui::questionNo("Delete it?"); },
         QMessageBox::Yes, "Confirm", QMessageBox::Question, QMessageBox::No, true},
        {"information", [] { ui::informationBox("Done."); return true; }, QMessageBox::Ok,
         "Information", QMessageBox::Information, QMessageBox::Ok, true},
        {"error", [] { ui::errorBox("Unable to write to /x/PLX.INI"); return true; },
         QMessageBox::Ok, "Pellora", QMessageBox::Critical, QMessageBox::Ok, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        BoxAnswerer answerer(c.press);
        EXPECT_EQ(c.show(), c.result);
        ASSERT_EQ(answerer.seen().size(), 1u);
        const auto& box = answerer.seen()[0];
        EXPECT_EQ(box.title, c.title);
        EXPECT_EQ(box.icon, c.icon);
        if (c.icon == QMessageBox::Question) {
            EXPECT_EQ(box.defaultButton, c.preselected);
        }
        EXPECT_EQ(box.parent, &main);  // owned by the main window
    }
}

TEST_F(MainWindowFixture, BoxesAndDialogsAreCentredOverTheMainWindow) {
    BoxAnswerer answerer;
    ui::informationBox("A message long enough to give the box some width of its own.");
    ASSERT_EQ(answerer.seen().size(), 1u);
    const QRect box = answerer.seen()[0].geometry;
    const QRect m = main.frameGeometry();
    EXPECT_NEAR(box.left(), m.left() + (m.width() - box.width()) / 2, 1);
    EXPECT_NEAR(box.top(), m.top() + (m.height() - box.height()) / 2, 1);

    QDialog dialog(&main);
    auto* layout = new QVBoxLayout(&dialog);
    layout->addWidget(new QLabel("A dialog with a layout"));
    ui::centreOnShow(&dialog);
    dialog.show();
    const QRect d = dialog.frameGeometry();
    EXPECT_NEAR(d.left(), m.left() + (m.width() - d.width()) / 2, 1);
    EXPECT_NEAR(d.top(), m.top() + (m.height() - d.height()) / 2, 1);
}

TEST_F(MainWindowFixture, CentringUsesTheScreenForTheMainWindowAMaximisedOneOrAHiddenOne) {
    const QRect screen = screenArea();
    QWidget other;
    other.resize(200, 100);

    main.showMaximized();
    ui::centreWindow(&other);
    EXPECT_EQ(other.pos(), QPoint(screen.left() + (screen.width() - 200) / 2,
                                  screen.top() + (screen.height() - 100) / 2));

    main.showNormal();
    main.setGeometry(10, 10, 300, 200);
    ui::centreWindow(&main);
    EXPECT_EQ(main.frameGeometry().left(), screen.left() + (screen.width() - main.frameGeometry().width()) / 2);

    main.hide();
    other.move(0, 0);
    ui::centreWindow(&other);
    EXPECT_EQ(other.pos(), QPoint(screen.left() + (screen.width() - 200) / 2,
                                  screen.top() + (screen.height() - 100) / 2));

    // A dialog bigger than the space beside the main window is kept on the screen.
    main.showNormal();
    main.setGeometry(screen.right() - 120, screen.bottom() - 90, 100, 80);
    other.resize(400, 300);
    ui::centreWindow(&other);
    EXPECT_LE(other.frameGeometry().right(), screen.right());
    EXPECT_LE(other.frameGeometry().bottom(), screen.bottom());
}

TEST(WindowPlacement, SavedRectangleComesBackAndOneOffTheScreenIsMovedBackOn) {
    TempDir dir;
    const auto ini = dir / "PLX.INI";
    const QRect screen = screenArea();
    const std::string section = "TTestWindow_Placement";
    struct Case {
        const char* what;
        QRect stored;
        QRect expected;
    } cases[] = {
        {"inside", QRect(50, 40, 300, 200), QRect(50, 40, 300, 200)},
        {"past the right and bottom edges",
         QRect(screen.right() - 99, screen.bottom() - 49, 300, 200),
         QRect(screen.right() + 1 - 300, screen.bottom() + 1 - 200, 300, 200)},
        {"off the left and top", QRect(screen.left() - 50, screen.top() - 30, 300, 200),
         QRect(screen.left(), screen.top(), 300, 200)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        IniFile file;
        file.load(ini);
        file.writeInteger(section, "Left", c.stored.left());
        file.writeInteger(section, "Top", c.stored.top());
        file.writeInteger(section, "Right", c.stored.left() + c.stored.width());
        file.writeInteger(section, "Bottom", c.stored.top() + c.stored.height());
        file.writeBool(section, "Maximized", false);
        file.saveAs(ini);

        QWidget w;
        ui::restoreWindowPlacement(&w, "TTestWindow", ini, false);
        EXPECT_EQ(w.geometry(), c.expected);
        // The placement is written back at once, as applied.
        IniFile after;
        after.load(ini);
        EXPECT_EQ(after.readInteger(section, "Left", -1), c.expected.left());
        EXPECT_EQ(after.readInteger(section, "Right", -1), c.expected.left() + c.expected.width());
    }
}

TEST(WindowPlacement, WithoutARecordTheWindowIsCentredAndMaximisedAsDesigned) {
    TempDir dir;
    const auto ini = dir / "PLX.INI";
    const QRect screen = screenArea();
    QWidget w;
    w.resize(300, 200);
    ui::restoreWindowPlacement(&w, "TNew", ini, false);
    EXPECT_EQ(w.geometry().topLeft(), QPoint(screen.left() + (screen.width() - 300) / 2,
                                             screen.top() + (screen.height() - 200) / 2));
    EXPECT_FALSE(w.windowState() & Qt::WindowMaximized);

    QWidget designedMax;
    designedMax.resize(300, 200);
    ui::restoreWindowPlacement(&designedMax, "TBig", ini, true);
    EXPECT_TRUE(designedMax.windowState() & Qt::WindowMaximized);
}

TEST(WindowPlacement, SaveWritesTheNormalRectangleAndTheMaximisedState) {
    TempDir dir;
    const auto ini = dir / "PLX.INI";
    QWidget w;
    w.setGeometry(30, 40, 320, 240);
    w.show();
    ui::saveWindowPlacement(&w, "TViewer", ini);
    IniFile file;
    file.load(ini);
    const std::string section = ui::placementSection(&w, "TViewer");
    EXPECT_EQ(section, "TViewer_Placement");  // 96 dpi: no number appended
    EXPECT_EQ(file.readInteger(section, "Left", -1), 30);
    EXPECT_EQ(file.readInteger(section, "Top", -1), 40);
    EXPECT_EQ(file.readInteger(section, "Right", -1), 350);
    EXPECT_EQ(file.readInteger(section, "Bottom", -1), 280);
    EXPECT_FALSE(file.readBool(section, "Maximized", true));

    w.showMaximized();
    ui::saveWindowPlacement(&w, "TViewer", ini);
    file.load(ini);
    EXPECT_TRUE(file.readBool(section, "Maximized", false));
    EXPECT_EQ(file.readInteger(section, "Left", -1), 30);  // still the normal rectangle
    EXPECT_EQ(file.readInteger(section, "Right", -1), 350);

    // Restoring a maximised record maximises the window again.
    QWidget again;
    ui::restoreWindowPlacement(&again, "TViewer", ini, false);
    EXPECT_TRUE(again.windowState() & Qt::WindowMaximized);
    EXPECT_EQ(again.geometry(), QRect(30, 40, 320, 240));
}

TEST(ProgramFolder, TheExecutablesFolderWhenWritableElseTheUsersDataFolder) {
    const std::filesystem::path exe = "/opt/pellora/bin", data = "/home/u/.local/share/pellora";
    EXPECT_EQ(ui::chooseProgramFolder(exe, data, [](const auto&) { return true; }), exe);
    EXPECT_EQ(ui::chooseProgramFolder(exe, data, [](const auto&) { return false; }), data);

    TempDir dir;
    EXPECT_TRUE(ui::folderIsWritable(dir.path()));
    EXPECT_TRUE(std::filesystem::is_empty(dir.path()));  // the probe leaves nothing behind
    EXPECT_FALSE(ui::folderIsWritable(dir / "missing"));
    pellora::test::writeFile(dir / "file", "x");
    EXPECT_FALSE(ui::folderIsWritable(dir / "file"));
    if (::geteuid() != 0) {  // root writes everywhere
        std::filesystem::create_directory(dir / "ro");
        std::filesystem::permissions(dir / "ro", std::filesystem::perms::owner_read |
                                                     std::filesystem::perms::owner_exec);
        EXPECT_FALSE(ui::folderIsWritable(dir / "ro"));
        std::filesystem::permissions(dir / "ro", std::filesystem::perms::owner_all);
    }
    // This test's own folder is writable, so it is the program folder.
    EXPECT_EQ(ui::programFolder(),
              std::filesystem::path(QCoreApplication::applicationDirPath().toStdString()));
}

TEST(HelpWindow, OpensTheHelpFileAtTheTopicsAnchorAndReusesItsWindow) {
    TempDir dir;
    std::string html = "<html><body><h1><a name=\"1009\"></a>Contents</h1>";
    for (int i = 0; i < 200; ++i) html += "<p>Filler paragraph " + std::to_string(i) + "</p>";
    html += "<h2><a name=\"911\"></a>FAQ</h2><p>Answers</p>";
    for (int i = 0; i < 200; ++i) html += "<p>More " + std::to_string(i) + "</p>";
    html += "</body></html>";
    pellora::test::writeFile(dir / "plx.hlp", html);

    const QString file = ui::helpFileLocation(dir.path());
    EXPECT_EQ(file, QString::fromStdString((dir / "plx.hlp").string()));

    QTextBrowser* browser = ui::showHelpTopic(file, 911);
    ASSERT_NE(browser, nullptr);
    EXPECT_TRUE(browser->isVisible());
    EXPECT_TRUE(browser->toPlainText().contains("Answers"));
    QApplication::processEvents();
    const int atFaq = browser->verticalScrollBar()->value();
    EXPECT_GT(atFaq, 1000);  // far down the page, past 200 paragraphs

    QTextBrowser* same = ui::showHelpTopic(file, 1009);
    EXPECT_EQ(same, browser);
    EXPECT_LT(browser->verticalScrollBar()->value(), 50);  // back at the top
    EXPECT_EQ(ui::helpWindow(), browser);
    browser->close();
    ASSERT_TRUE(pellora::test::waitFor([] { return ui::helpWindow() == nullptr; }));
}

TEST(DefaultFont, AnEmptyEditorTypesInTheDefaultFont) {
    pellora::settings::Settings s;
    s.FontName = "DejaVu Sans";
    s.FontSize = 14;
    s.FontBold = true;
    s.FontItalic = false;
    s.FontUnderline = true;
    QTextEdit editor;
    ui::applyDefaultFont(&editor, s);
    const QFont f = editor.currentCharFormat().font();
    EXPECT_EQ(f.family(), "DejaVu Sans");
    EXPECT_EQ(f.pointSize(), 14);
    EXPECT_TRUE(f.bold());
    EXPECT_FALSE(f.italic());
    EXPECT_TRUE(f.underline());
}

TEST(DefaultFont, TheDialogStartsFromTheFileAndWritesTheChoice) {
    TempDir dir;
    const auto ini = dir / "PLX.INI";
    pellora::test::writeFile(ini, "[Default Font]\nName=DejaVu Serif\nSize=12\nItalic=1\n");

    // Cancel changes nothing.
    QFont offered;
    QTimer::singleShot(50, [&] {
        auto* d = qobject_cast<QFontDialog*>(QApplication::activeModalWidget());
        ASSERT_NE(d, nullptr);
        offered = d->currentFont();
        d->reject();
    });
    pellora::settings::Settings s;
    EXPECT_FALSE(ui::chooseDefaultFont(nullptr, ini, s));
    EXPECT_EQ(offered.pointSize(), 12);
    EXPECT_TRUE(offered.italic());
    EXPECT_EQ(pellora::test::readFile(ini), "[Default Font]\nName=DejaVu Serif\nSize=12\nItalic=1\n");

    QTimer::singleShot(50, [] {
        auto* d = qobject_cast<QFontDialog*>(QApplication::activeModalWidget());
        ASSERT_NE(d, nullptr);
        QFont f("DejaVu Sans");
        f.setPointSize(16);
        f.setBold(true);
        d->setCurrentFont(f);
        d->accept();
    });
    EXPECT_TRUE(ui::chooseDefaultFont(nullptr, ini, s));
    EXPECT_EQ(s.FontSize, 16);
    EXPECT_TRUE(s.FontBold);
    pellora::settings::Settings reread;
    reread.read(ini);
    EXPECT_EQ(reread.FontName, s.FontName);
    EXPECT_EQ(reread.FontSize, 16);
    EXPECT_TRUE(reread.FontBold);
}

}  // namespace
