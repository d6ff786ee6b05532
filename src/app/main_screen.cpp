#include "app/main_screen.h"

#include <QAction>
#include <QApplication>
#include <QCloseEvent>
#include <QDesktopServices>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QMenu>
#include <QMenuBar>
#include <QProxyStyle>
#include <QStackedWidget>
#include <QStatusTipEvent>
#include <QTabBar>
#include <QTableView>
#include <QTextBrowser>
#include <QTimer>
#include <QToolButton>
#include <QToolTip>
#include <QVBoxLayout>
#include <cmath>

#include "app/about_box.h"
#include "app/fax_columns.h"
#include "app/graphic_panel.h"
#include "settings/ini_file.h"
#include "ui/help_window.h"
#include "ui/qt_message_pump.h"
#include "ui/table_grid.h"
#include "ui/table_model.h"
#include "ui/window_placement.h"
#include "ui/windows.h"

// The window's resources (help file, icons) are compiled into a static library; a library's
// resources must be registered by hand, or the linker drops them.
static void initResources() { Q_INIT_RESOURCE(app); }

namespace pellora::app {

namespace fs = std::filesystem;

namespace {

constexpr int kHintDelayMs = 1200;
constexpr int kHintHideMs = 30000;

// Design sizes at 96 pixels per inch.
constexpr int kClientWidth = 592;
constexpr int kClientHeight = 383;
constexpr int kButtonBarHeight = 45;
constexpr int kStatusLineHeight = 32;

const QColor kClBlue(0, 0, 255);
const QColor kClGreen(0, 128, 0);

// Hints appear after 1.2 seconds of resting on a control.
class HintStyle : public QProxyStyle {
public:
    using QProxyStyle::QProxyStyle;
    int styleHint(StyleHint hint, const QStyleOption* option, const QWidget* widget,
                  QStyleHintReturn* data) const override {
        if (hint == SH_ToolTip_WakeUpDelay) return kHintDelayMs;
        return QProxyStyle::styleHint(hint, option, widget, data);
    }
};

// The window font: Arial 11 pixels high at 96 pixels per inch. Given in points so that it
// grows with the screen's scale.
QFont windowFont() {
    QFont font(QStringLiteral("Arial"));
    font.setStyleHint(QFont::SansSerif);
    font.setPointSizeF(8.25);
    return font;
}

QFont captionFont() {
    QFont font(QStringLiteral("Arial"));
    font.setStyleHint(QFont::SansSerif);
    font.setPointSizeF(9.75);  // 13 pixels at 96 pixels per inch
    return font;
}

}  // namespace

TMainScreen::TMainScreen(fs::path programFolder, QWidget* parent)
    : QMainWindow(parent), folder_(std::move(programFolder)), store_(folder_) {
    initResources();
    setObjectName(QStringLiteral("MainScreen"));
    ui::setMainWindow(this);
    pump_ = std::make_unique<ui::QtMessagePump>();
    store_.setMessagePump([this] { pump_->processPending(); });
    openUrl_ = [](const QUrl& url) { return QDesktopServices::openUrl(url); };
    buildWindow();
    buildMenus();
    // The design size is the client area, below the menu bar.
    resize(kClientWidth, kClientHeight + menuBar()->sizeHint().height());
    FormCreate();
}

TMainScreen::~TMainScreen() {
    qApp->removeEventFilter(this);
    if (outgoingModel_) outgoingModel_->setFollowing(false);
    if (incomingModel_) incomingModel_->setFollowing(false);
    if (ui::mainWindow() == this) ui::setMainWindow(nullptr);
}

fs::path TMainScreen::settingsFile() const { return settings::settingsFilePath(folder_); }

// ---- building the window ----

QToolButton* TMainScreen::addButton(const char* name, const QString& caption,
                                    const QString& hint) {
    auto* button = new QToolButton;
    button->setObjectName(QString::fromLatin1(name));
    button->setText(caption);
    button->setToolTip(hint);
    button->setStatusTip(hint);
    button->setToolTipDuration(kHintHideMs);
    button->setAutoRaise(false);
    button->setToolButtonStyle(Qt::ToolButtonTextOnly);
    button->setFocusPolicy(Qt::TabFocus);
    buttons_[button->objectName()] = button;
    return button;
}

void TMainScreen::buildWindow() {
    setWindowTitle(QString::fromLatin1(kMainCaption));
    setFont(windowFont());

    auto* central = new QWidget;
    auto* layout = new QVBoxLayout(central);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);

    // Button bar.
    auto* bar = new QWidget;
    bar->setObjectName(QStringLiteral("ButtonBar"));
    bar->setFixedHeight(kButtonBarHeight);
    auto* barLayout = new QHBoxLayout(bar);
    barLayout->setContentsMargins(4, 4, 4, 4);
    barLayout->setSpacing(3);
    NewButton = addButton("NewButton", QStringLiteral("&New"), QStringLiteral("Create a new fax"));
    EditButton = addButton("EditButton", QStringLiteral("&Edit"),
                           QStringLiteral("Edit the currently selected fax"));
    CloneButton = addButton("CloneButton", QStringLiteral("&Clone"),
                            QStringLiteral("Clone the currently selected fax"));
    DeleteButton = addButton("DeleteButton", QStringLiteral("&Delete"),
                             QStringLiteral("Delete  the currently selected fax"));
    SendButton = addButton("SendButton", QStringLiteral("&Send"),
                           QStringLiteral("Send the currently selected fax"));
    ReceiveButton = addButton("ReceiveButton", QStringLiteral("&Receive"),
                              QStringLiteral("Start receiving faxes"));
    ViewButton = addButton("ViewButton", QStringLiteral("&View"),
                           QStringLiteral("See a preview of and optionally  print the fax"));
    ExitButton = addButton("ExitButton", QStringLiteral("E&xit"), QStringLiteral("Exit the program"));
    for (QToolButton* b : {NewButton, EditButton, CloneButton, DeleteButton, SendButton,
                           ReceiveButton, ViewButton, ExitButton}) {
        b->setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Expanding);
        b->setMinimumWidth(QFontMetrics(font()).horizontalAdvance(QStringLiteral("Receive")) + 16);
        barLayout->addWidget(b);
    }
    barLayout->addStretch(1);
    connect(NewButton, &QToolButton::clicked, this, &TMainScreen::NewButtonClick);
    connect(EditButton, &QToolButton::clicked, this, &TMainScreen::EditButtonClick);
    connect(CloneButton, &QToolButton::clicked, this, &TMainScreen::CloneButtonClick);
    connect(DeleteButton, &QToolButton::clicked, this, &TMainScreen::DeleteButtonClick);
    connect(SendButton, &QToolButton::clicked, this, &TMainScreen::SendButtonClick);
    connect(ReceiveButton, &QToolButton::clicked, this, &TMainScreen::ReceiveButtonClick);
    connect(ViewButton, &QToolButton::clicked, this, &TMainScreen::ViewButtonClick);
    connect(ExitButton, &QToolButton::clicked, this, &TMainScreen::ExitButtonClick);
    layout->addWidget(bar);

    // The two lists, one page each.
    notebook_ = new QStackedWidget;
    notebook_->setObjectName(QStringLiteral("Notebook"));
    auto makePage = [this](const QString& caption, const QColor& colour, TGraphicPanel*& panel,
                           QTableView*& grid, const char* gridName) {
        auto* page = new QWidget;
        auto* pageLayout = new QVBoxLayout(page);
        pageLayout->setContentsMargins(0, 0, 0, 0);
        pageLayout->setSpacing(0);
        panel = new TGraphicPanel;
        panel->setCaption(caption);
        panel->setColor(colour);
        panel->setBevelOuter(TGraphicPanel::bvNone);
        panel->setFont(captionFont());
        QPalette pal = panel->palette();
        pal.setColor(QPalette::WindowText, Qt::white);
        panel->setPalette(pal);
        panel->setFixedHeight(QFontMetrics(captionFont()).height() + 8);
        panel->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
        grid = new QTableView;
        grid->setObjectName(QString::fromLatin1(gridName));
        pageLayout->addWidget(panel);
        pageLayout->addWidget(grid, 1);
        notebook_->addWidget(page);
    };
    makePage(QStringLiteral("Outgoing Faxes"), kClBlue, outgoingCaption_, outgoingGrid_,
             "OutgoingGrid");
    makePage(QStringLiteral("Incoming Faxes"), kClGreen, incomingCaption_, incomingGrid_,
             "IncomingGrid");
    outgoingCaption_->setObjectName(QStringLiteral("OutgoingCaption"));
    incomingCaption_->setObjectName(QStringLiteral("IncomingCaption"));
    layout->addWidget(notebook_, 1);

    // Tab strip under the lists.
    tabSet_ = new QTabBar;
    tabSet_->setObjectName(QStringLiteral("TabSet"));
    tabSet_->setShape(QTabBar::RoundedSouth);
    tabSet_->setDrawBase(true);
    tabSet_->setExpanding(false);
    tabSet_->addTab(QStringLiteral("Outgoing"));
    tabSet_->addTab(QStringLiteral("Incoming"));
    connect(tabSet_, &QTabBar::tabBarClicked, this, [this](int index) {
        if (index >= 0) TabSetClick(index);
    });
    connect(tabSet_, &QTabBar::currentChanged, this, [this](int index) {
        if (index >= 0 && index != visiblePage()) TabSetClick(index);
    });
    layout->addWidget(tabSet_);

    // Status line.
    statusLine_ = new QLabel;
    statusLine_->setObjectName(QStringLiteral("StatusLine"));
    statusLine_->setAlignment(Qt::AlignCenter);
    statusLine_->setFixedHeight(kStatusLineHeight);
    statusLine_->setFrameShape(QFrame::Panel);
    statusLine_->setFrameShadow(QFrame::Sunken);
    statusLine_->setTextFormat(Qt::PlainText);
    QPalette pal = statusLine_->palette();
    pal.setColor(QPalette::WindowText, kClBlue);
    statusLine_->setPalette(pal);
    layout->addWidget(statusLine_);

    setCentralWidget(central);
}

QAction* TMainScreen::addItem(QMenu* menu, const char* name, const QString& caption,
                              const QString& hint, const QKeySequence& shortcut) {
    QAction* action = menu->addAction(caption);
    action->setObjectName(QString::fromLatin1(name));
    if (!hint.isEmpty()) action->setStatusTip(hint);
    if (!shortcut.isEmpty()) action->setShortcut(shortcut);
    return action;
}

void TMainScreen::buildMenus() {
    QMenu* file = menuBar()->addMenu(QStringLiteral("&File"));
    file->setObjectName(QStringLiteral("FileMenu"));
    newFaxItem_ = addItem(file, "NewFaxItem", QStringLiteral("&New Fax"),
                          QStringLiteral("Create a new fax"));
    editFaxItem_ = addItem(file, "EditFaxItem", QStringLiteral("&Edit Fax"),
                           QStringLiteral("Edit the currently selected fax"));
    cloneFaxItem_ = addItem(file, "CloneFaxItem", QStringLiteral("Clone Fax"),
                            QStringLiteral("Clone the currently selected fax"));
    deleteFaxItem_ = addItem(file, "DeleteFaxItem", QStringLiteral("Delete Fax"),
                             QStringLiteral("Delete the currently selected fax"));
    faxLogCleanupItem_ = addItem(file, "FaxLogCleanupItem", QStringLiteral("Fax Log Cleanup"));
    file->addSeparator();
    sendFaxItem_ = addItem(file, "SendFaxItem", QStringLiteral("Send Fax"),
                           QStringLiteral("Send the currently selected fax"),
                           QKeySequence(Qt::CTRL | Qt::Key_S));
    receiveFaxesItem_ = addItem(file, "ReceiveFaxesItem", QStringLiteral("Receive Faxes"), {},
                                QKeySequence(Qt::CTRL | Qt::Key_R));
    viewFaxItem_ = addItem(file, "ViewFaxItem", QStringLiteral("View/Print Fax"),
                           QStringLiteral("See a preview of and optionally  print the fax"),
                           QKeySequence(Qt::CTRL | Qt::Key_V));
    file->addSeparator();
    coverSheetsItem_ = addItem(file, "CoverSheetsItem", QStringLiteral("C&over Sheets"),
                               QStringLiteral("Create or modify cover page templates"));
    phoneBookItem_ = addItem(file, "PhoneBookItem", QStringLiteral("&Phone Book"),
                             QStringLiteral("Create or modify phone book entries"));
    rebuildIndexesItem_ = addItem(file, "RebuildIndexesItem", QStringLiteral("Rebuild &Indexes"),
                                  QStringLiteral("Do this every 2 weeks "));
    preferencesItem_ = addItem(file, "PreferencesItem", QStringLiteral("P&references"),
                               QStringLiteral("Set Pellora preferences"));
    file->addSeparator();
    QAction* exitItem = addItem(file, "ExitItem", QStringLiteral("E&xit"),
                                QStringLiteral("Exit to Windows"), QKeySequence(Qt::CTRL | Qt::Key_X));

    // The list commands of the menu act by clicking their button, so they do exactly what
    // the button does.
    connect(newFaxItem_, &QAction::triggered, NewButton, &QToolButton::click);
    connect(editFaxItem_, &QAction::triggered, EditButton, &QToolButton::click);
    connect(cloneFaxItem_, &QAction::triggered, CloneButton, &QToolButton::click);
    connect(deleteFaxItem_, &QAction::triggered, DeleteButton, &QToolButton::click);
    connect(sendFaxItem_, &QAction::triggered, SendButton, &QToolButton::click);
    connect(receiveFaxesItem_, &QAction::triggered, this, &TMainScreen::ReceiveButtonClick);
    connect(viewFaxItem_, &QAction::triggered, this, &TMainScreen::ViewButtonClick);
    connect(faxLogCleanupItem_, &QAction::triggered, this, &TMainScreen::FaxLogCleanupClick);
    connect(coverSheetsItem_, &QAction::triggered, this, &TMainScreen::CoverSheetsClick);
    connect(phoneBookItem_, &QAction::triggered, this, &TMainScreen::PhoneBookClick);
    connect(rebuildIndexesItem_, &QAction::triggered, this, &TMainScreen::RebuildIndexesClick);
    connect(preferencesItem_, &QAction::triggered, this, &TMainScreen::PreferencesClick);
    connect(exitItem, &QAction::triggered, this, &TMainScreen::ExitButtonClick);

    QMenu* help = menuBar()->addMenu(QStringLiteral("&Help"));
    help->setObjectName(QStringLiteral("HelpMenu"));
    QAction* contents = addItem(help, "ContentsItem", QStringLiteral("Contents"),
                                QStringLiteral("Open the Pellora help file"));
    QAction* faq = addItem(help, "FaqItem", QStringLiteral("Frequently Asked Questions (FAQ)"));
    QAction* config =
        addItem(help, "ConfigurationInformationItem", QStringLiteral("Configuration Information"));
    QAction* support = addItem(help, "TechnicalSupportItem", QStringLiteral("Technical Support"));
    QAction* about = addItem(help, "AboutItem", QStringLiteral("About"),
                             QStringLiteral("Information about Pellora"));
    help->addSeparator();
    QAction* tips = addItem(help, "TroubleshootingTipsItem", QStringLiteral("Troubleshooting Tips"));
    QAction* website =
        addItem(help, "VisitWebsiteItem", QStringLiteral("Visit Our Internet Website"));
    help->addSeparator();
    showHintsItem_ = addItem(help, "ShowHintsItem", QStringLiteral("Show Hints"));
    showHintsItem_->setCheckable(true);

    connect(contents, &QAction::triggered, this, &TMainScreen::ContentsClick);
    connect(faq, &QAction::triggered, this, &TMainScreen::FaqClick);
    connect(config, &QAction::triggered, this, &TMainScreen::ConfigurationInformationClick);
    connect(support, &QAction::triggered, this, &TMainScreen::TechnicalSupportClick);
    connect(about, &QAction::triggered, this, &TMainScreen::AboutClick);
    connect(tips, &QAction::triggered, this, &TMainScreen::TroubleshootingTipsClick);
    connect(website, &QAction::triggered, this, &TMainScreen::VisitWebsiteClick);
    connect(showHintsItem_, &QAction::triggered, this, &TMainScreen::ShowHintsClick);
}

// ---- start-up ----

void TMainScreen::FormCreate() {
    // The lists fill their space; the outgoing list shows first.
    notebook_->setCurrentIndex(OutgoingPage);
    tabSet_->setCurrentIndex(OutgoingPage);

    // Both tables are tried, so both messages can appear; the close waits for the event loop.
    const bool faxOk = OpenFaxDBF();
    if (!faxOk) ui::informationBox(QStringLiteral("Unable to open/create the FAX datafile - closing program"));
    const bool recOk = OpenRecFaxDBF();
    if (!recOk)
        ui::informationBox(
            QStringLiteral("Unable to open/create the FAX RECEIVE datafile - closing program"));
    if (!faxOk || !recOk) {
        startFailed_ = true;
        QMetaObject::invokeMethod(this, [this] { close(); }, Qt::QueuedConnection);
    }

    // Grids over the tables as they are now.
    outgoingModel_ = new ui::TableModel(store_.faxTable(), outgoingColumns(store_.faxTable()), this);
    incomingModel_ = new ui::TableModel(store_.recTable(), receivedColumns(store_.recTable()), this);
    for (QTableView* grid : {outgoingGrid_, incomingGrid_}) grid->setFont(windowFont());
    ui::configureGrid(outgoingGrid_, outgoingModel_);
    ui::configureGrid(incomingGrid_, incomingModel_);
    connect(outgoingGrid_, &QTableView::doubleClicked, this, &TMainScreen::ViewButtonClick);
    connect(incomingGrid_, &QTableView::doubleClicked, this, &TMainScreen::ViewButtonClick);

    // Settings; a file without a port means the program has not been set up yet.
    settings_.read(settingsFile());
    firstRun_ = settings_.FirstRun;

    helpFile_ = ui::helpFileLocation(folder_);

    receiveMode_ = false;
    faxInProgress_ = false;

    // Received faxes go to their own folder. It usually exists; a failure shows later, when a
    // fax arrives and cannot be stored.
    receiveFolder_ = folder_ / "receive";
    std::error_code ec;
    fs::create_directories(receiveFolder_, ec);

    // Hints.
    if (!dynamic_cast<HintStyle*>(QApplication::style()))
        QApplication::setStyle(new HintStyle(QApplication::style()->name()));
    qApp->installEventFilter(this);
    showHintsItem_->setChecked(settings_.HintsOn);
    applyHints();
}

void TMainScreen::FormActivate(StartShow show) {
    if (!firstActivation_) return;
    firstActivation_ = false;
    if (startFailed_ || closing_) return;

    ui::restoreWindowPlacement(this, QString::fromLatin1(kPlacementClass), settingsFile(), false);
    placed_ = true;
    SetButtons();

    if (show == StartShow::Minimized)
        showMinimized();
    else
        this->show();
    pump_->processPending();
    if (closing_) return;

    // A first run (no port in the settings) is where the Preferences dialog takes over once
    // it exists; firstRun() keeps the flag for it.

    if (settings_.AtStartup) ReceiveButtonClick();
}

void TMainScreen::bringToFront() {
    if (isMinimized()) setWindowState((windowState() & ~Qt::WindowMinimized) | Qt::WindowActive);
    show();
    raise();
    activateWindow();
}

// ---- tables ----

bool TMainScreen::OpenFaxDBF() {
    if (outgoingModel_) outgoingModel_->setFollowing(false);
    const bool ok = store_.OpenFaxDBF();
    if (outgoingModel_) outgoingModel_->setFollowing(true);
    return ok;
}

bool TMainScreen::OpenRecFaxDBF() {
    if (incomingModel_) incomingModel_->setFollowing(false);
    const bool ok = store_.OpenRecFaxDBF();
    if (incomingModel_) incomingModel_->setFollowing(true);
    return ok;
}

bool TMainScreen::OpenCoverDBF(store::Table& table) { return store_.OpenCoverDBF(table); }

bool TMainScreen::OpenPhoneDBF(store::Table& table) { return store_.OpenPhoneDBF(table); }

void TMainScreen::FaxTableCloseAndOpen() {
    outgoingModel_->setFollowing(false);
    try {
        store_.FaxTableCloseAndOpen();
    } catch (const std::exception& e) {
        ui::informationBox(QString::fromLocal8Bit(e.what()));
    }
    outgoingModel_->setFollowing(true);
}

void TMainScreen::RecTableCloseAndOpen() {
    incomingModel_->setFollowing(false);
    try {
        store_.RecTableCloseAndOpen();
    } catch (const std::exception& e) {
        ui::informationBox(QString::fromLocal8Bit(e.what()));
    }
    incomingModel_->setFollowing(true);
}

void TMainScreen::setGridsFollowing(bool on) {
    outgoingModel_->setFollowing(on);
    incomingModel_->setFollowing(on);
}

// ---- command states ----

bool TMainScreen::listEmpty(store::Table& table) {
    if (!table.isOpen()) return true;
    // A list that has records but whose pointer ran off its end (past the last record) still
    // shows records; put it on the first one rather than calling it empty.
    if (table.recNo() > table.recCount() && !table.editing()) table.first();
    return table.recNo() == table.recCount() + 1;
}

void TMainScreen::SetButtons() {
    struct List {
        store::Table& table;
        const char* tag;
        ui::TableModel* model;
        QTableView* grid;
        bool empty = true;
    };
    List lists[] = {{store_.faxTable(), "DATESENT", outgoingModel_, outgoingGrid_},
                    {store_.recTable(), "DATETIME", incomingModel_, incomingGrid_}};
    for (List& list : lists) {
        list.empty = listEmpty(list.table);
        if (list.table.isOpen() && !list.table.editing()) {
            bool reordered = false;
            try {
                if (list.empty && list.table.order() > 0) {
                    list.table.setOrder(0);
                    reordered = true;
                } else if (!list.empty && list.table.order() == 0) {
                    if (const int tag = list.table.tagNumber(list.tag); tag > 0) {
                        list.table.setOrder(tag);
                        list.table.first();
                        reordered = true;
                    }
                }
            } catch (const std::exception&) {
                // The list stays in the order it has.
            }
            if (reordered && list.model) list.model->reload();
        }
        list.grid->setEnabled(!list.empty);
    }
    const bool eo = lists[0].empty;
    const bool ei = lists[1].empty;
    const bool outgoing = visiblePage() == OutgoingPage;
    const bool r = receiveMode_;

    const bool editDelete = outgoing ? !eo : (!r && !ei);
    const bool view = outgoing ? !eo : !ei;

    NewButton->setEnabled(outgoing);
    newFaxItem_->setEnabled(outgoing);
    CloneButton->setEnabled(outgoing && !eo);
    cloneFaxItem_->setEnabled(outgoing && !eo);
    SendButton->setEnabled(outgoing && !r && !eo);
    sendFaxItem_->setEnabled(outgoing && !r && !eo);
    EditButton->setEnabled(editDelete);
    editFaxItem_->setEnabled(editDelete);
    DeleteButton->setEnabled(editDelete);
    deleteFaxItem_->setEnabled(editDelete);
    ViewButton->setEnabled(view);
    viewFaxItem_->setEnabled(view);
    rebuildIndexesItem_->setEnabled(!r);
    preferencesItem_->setEnabled(!r);
    ReceiveButton->setEnabled(true);
    receiveFaxesItem_->setEnabled(true);
}

int TMainScreen::visiblePage() const { return notebook_->currentIndex(); }

void TMainScreen::TabSetClick(int page) {
    if (page < 0 || page >= notebook_->count()) return;
    notebook_->setCurrentIndex(page);
    if (tabSet_->currentIndex() != page) {
        const QSignalBlocker block(tabSet_);
        tabSet_->setCurrentIndex(page);
    }
    SetButtons();
}

void TMainScreen::setReceiveMode(bool on) {
    receiveMode_ = on;
    ReceiveButton->setText(on ? QStringLiteral("STOP") : QStringLiteral("Receive"));
    const QString hint = on ? QStringLiteral("Stop receiving faxes") : QStringLiteral("Start receiving faxes");
    ReceiveButton->setToolTip(hint);
    ReceiveButton->setStatusTip(hint);
    SetButtons();
}

void TMainScreen::stopReceiveMode() {
    // The receive session itself comes with receive mode; what is here is the window's side.
    faxInProgress_ = false;
    setReceiveMode(false);
    setStatusText(QString());
}

bool TMainScreen::visibleListEmpty() {
    return listEmpty(visiblePage() == OutgoingPage ? store_.faxTable() : store_.recTable());
}

// ---- status line and hints ----

void TMainScreen::setStatusText(const QString& text) {
    statusText_ = text;
    statusLine_->setText(text);
}

QString TMainScreen::statusText() const { return statusLine_->text(); }

void TMainScreen::applyHints() {
    // Tool tips are filtered in eventFilter; the status line shows hints only while they are on.
    if (!settings_.HintsOn) QToolTip::hideText();
}

bool TMainScreen::event(QEvent* event) {
    if (event->type() == QEvent::StatusTip) {
        const QString tip = static_cast<QStatusTipEvent*>(event)->tip();
        // A hint shows while the pointer rests on its control; leaving it brings back what
        // the program had to say.
        statusLine_->setText(settings_.HintsOn && !tip.isEmpty() ? tip : statusText_);
        return true;
    }
    return QMainWindow::event(event);
}

bool TMainScreen::eventFilter(QObject* watched, QEvent* event) {
    if (event->type() == QEvent::ToolTip && !settings_.HintsOn) return true;
    return QMainWindow::eventFilter(watched, event);
}

void TMainScreen::ShowHintsClick() {
    settings_.HintsOn = showHintsItem_->isChecked();
    try {
        settings_.write(settingsFile());
    } catch (const std::exception& e) {
        ui::errorBox(QString::fromLocal8Bit(e.what()));
    }
    applyHints();
    setStatusText(QString());
}

// ---- commands ----

void TMainScreen::featureNotAvailable(const QString& feature) {
    ui::informationBox(QStringLiteral("\"%1\" is not available yet in this version of Pellora.")
                           .arg(feature));
}

void TMainScreen::NewButtonClick() {
    if (visiblePage() != OutgoingPage) return;
    featureNotAvailable(QStringLiteral("New Fax"));
    SetButtons();
}

void TMainScreen::EditButtonClick() {
    if (visibleListEmpty()) {
        QApplication::beep();
        return;
    }
    featureNotAvailable(QStringLiteral("Edit Fax"));
    SetButtons();
}

void TMainScreen::CloneButtonClick() {
    if (visiblePage() != OutgoingPage) return;
    if (listEmpty(store_.faxTable())) {
        QApplication::beep();
        return;
    }
    featureNotAvailable(QStringLiteral("Clone Fax"));
    SetButtons();
}

void TMainScreen::DeleteButtonClick() {
    if (visibleListEmpty()) {
        QApplication::beep();
        return;
    }
    featureNotAvailable(QStringLiteral("Delete Fax"));
    SetButtons();
}

void TMainScreen::SendButtonClick() {
    if (visiblePage() != OutgoingPage || receiveMode_) return;
    if (listEmpty(store_.faxTable())) {
        QApplication::beep();
        return;
    }
    featureNotAvailable(QStringLiteral("Send Fax"));
    SetButtons();
}

void TMainScreen::ReceiveButtonClick() {
    if (receiveMode_) {
        stopReceiveMode();
        return;
    }
    featureNotAvailable(QStringLiteral("Receive Faxes"));
    SetButtons();
}

void TMainScreen::ViewButtonClick() {
    if (visibleListEmpty()) {
        QApplication::beep();
        return;
    }
    featureNotAvailable(QStringLiteral("View/Print Fax"));
    SetButtons();
}

void TMainScreen::ExitButtonClick() { close(); }

void TMainScreen::FaxLogCleanupClick() {
    featureNotAvailable(QStringLiteral("Fax Log Cleanup"));
    SetButtons();
}

void TMainScreen::CoverSheetsClick() {
    store::Table covers;
    if (!OpenCoverDBF(covers)) return;
    featureNotAvailable(QStringLiteral("Cover Sheets"));
    covers.close();
}

void TMainScreen::PhoneBookClick() {
    store::Table phoneBook;
    if (!OpenPhoneDBF(phoneBook)) return;
    featureNotAvailable(QStringLiteral("Phone Book"));
    phoneBook.close();
}

void TMainScreen::RebuildIndexesClick() {
    if (receiveMode_) return;
    setGridsFollowing(false);
    featureNotAvailable(QStringLiteral("Rebuild Indexes"));
    setGridsFollowing(true);
    SetButtons();
}

void TMainScreen::PreferencesClick() {
    if (receiveMode_) return;
    featureNotAvailable(QStringLiteral("Preferences"));
}

void TMainScreen::ConfigurationInformationClick() {
    featureNotAvailable(QStringLiteral("Configuration Information"));
}

void TMainScreen::showHelp(int topic) { ui::showHelpTopic(helpFile_, topic); }

void TMainScreen::ContentsClick() { showHelp(kHelpContents); }
void TMainScreen::FaqClick() { showHelp(kHelpFaq); }
void TMainScreen::TroubleshootingTipsClick() { showHelp(kHelpTroubleshooting); }
void TMainScreen::TechnicalSupportClick() { showHelp(kHelpTechnicalSupport); }

void TMainScreen::AboutClick() {
    TSplashform about(this);
    about.exec();
}

void TMainScreen::VisitWebsiteClick() {
    const QUrl url(QString::fromLatin1(kWebsiteUrl));
    if (!openUrl_ || !openUrl_(url))
        ui::informationBox(QStringLiteral("Unable to open %1").arg(url.toString()));
}

// ---- closing ----

bool TMainScreen::FormCloseQuery() {
    if (faxInProgress_ &&
        !ui::questionYes(QStringLiteral("You are receiving a fax. Exit the program?"),
                         QStringLiteral("Exit")))
        return false;
    setGridsFollowing(false);
    store_.faxTable().close();
    store_.recTable().close();
    return true;
}

void TMainScreen::FormClose() {
    if (receiveMode_) stopReceiveMode();
    if (auto* help = ui::helpWindow()) help->close();
    try {
        // A window that was never placed (start-up failed) has no place worth remembering.
        if (placed_) ui::saveWindowPlacement(this, QString::fromLatin1(kPlacementClass), settingsFile());
        settings_.write(settingsFile());
    } catch (const std::exception& e) {
        ui::errorBox(QString::fromLocal8Bit(e.what()));
    }
}

void TMainScreen::closeEvent(QCloseEvent* event) {
    if (closedForGood_) {
        event->accept();
        return;
    }
    closing_ = true;
    if (!FormCloseQuery()) {
        closing_ = false;
        event->ignore();
        return;
    }
    FormClose();
    closedForGood_ = true;
    event->accept();
    emit closed();
}

}  // namespace pellora::app
