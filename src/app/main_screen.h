// TMainScreen: the main window. A button bar, the outgoing and incoming fax lists (one shown at
// a time, switched by a tab strip), a status line and the menus. It owns the two fax tables
// for the whole run, decides which commands are available (SetButtons) and sends every
// command to the code that does the work.
#pragma once

#include <QMainWindow>
#include <QUrl>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>

#include "settings/settings.h"
#include "store/fax_store.h"

class QAction;
class QLabel;
class QMenu;
class QStackedWidget;
class QTabBar;
class QTableView;
class QToolButton;

namespace pellora::ui {
class QtMessagePump;
class TableModel;
}  // namespace pellora::ui

namespace pellora::app {

class TGraphicPanel;

inline constexpr const char* kApplicationTitle = "Pellora";
inline constexpr const char* kMainCaption = "Pellora ";
inline constexpr const char* kWebsiteUrl = "https://pellora.example.org/";
inline constexpr const char* kPlacementClass = "TMainScreen";

// Help topics the main window opens.
inline constexpr int kHelpContents = 1009;
inline constexpr int kHelpFaq = 911;
inline constexpr int kHelpTroubleshooting = 411;
inline constexpr int kHelpTechnicalSupport = 1025;

class TMainScreen : public QMainWindow {
    Q_OBJECT
public:
    enum Page { OutgoingPage = 0, IncomingPage = 1 };
    // How the program was asked to show its window.
    enum class StartShow { Normal, Minimized };

    // Builds the window over the program folder (FormCreate): opens the two fax tables,
    // creating them when missing, and reads the settings. When a table cannot be opened the
    // user is told and the window closes itself as soon as the event loop runs.
    explicit TMainScreen(std::filesystem::path programFolder, QWidget* parent = nullptr);
    ~TMainScreen() override;

    // The first activation (FormActivate): window placement, command states, showing the
    // window, and receive mode when the settings ask for it at start-up. Runs once; nothing
    // happens when start-up already failed.
    void FormActivate(StartShow show = StartShow::Normal);

    // Another copy of the program was started: come forward, restored when minimised.
    void bringToFront();

    // Tables (the store does the work; these keep the grids in step).
    bool OpenFaxDBF();
    bool OpenRecFaxDBF();
    bool OpenCoverDBF(store::Table& table);
    bool OpenPhoneDBF(store::Table& table);
    void FaxTableCloseAndOpen();
    void RecTableCloseAndOpen();
    // Stops (false) or resumes (true) the grids following their tables.
    void setGridsFollowing(bool on);

    // Command states after anything that may change a list or receive mode.
    void SetButtons();

    // Window state shared with the receive and send code.
    bool receiveMode() const { return receiveMode_; }
    // Receive mode on or off as the user sees it: the flag, the Receive button's caption and
    // hint, and the command states.
    void setReceiveMode(bool on);
    bool faxInProgress() const { return faxInProgress_; }
    void setFaxInProgress(bool on) { faxInProgress_ = on; }
    // Set when the settings file named no port: the Preferences dialog is due.
    bool firstRun() const { return firstRun_; }
    bool startFailed() const { return startFailed_; }

    int visiblePage() const;
    // Shows a list as a click on its tab does.
    void TabSetClick(int page);

    void setStatusText(const QString& text);
    QString statusText() const;

    settings::Settings& settings() { return settings_; }
    const std::filesystem::path& programFolder() const { return folder_; }
    std::filesystem::path settingsFile() const;
    std::filesystem::path receiveFolder() const { return receiveFolder_; }
    const QString& helpFile() const { return helpFile_; }
    store::FaxStore& store() { return store_; }
    ui::TableModel* outgoingModel() const { return outgoingModel_; }
    ui::TableModel* incomingModel() const { return incomingModel_; }
    QTableView* outgoingGrid() const { return outgoingGrid_; }
    QTableView* incomingGrid() const { return incomingGrid_; }

    // How web addresses are opened (the desktop's browser unless replaced, as tests do).
    void setUrlOpener(std::function<bool(const QUrl&)> opener) { openUrl_ = std::move(opener); }

    bool hintsOn() const { return settings_.HintsOn; }

public slots:
    void NewButtonClick();
    void EditButtonClick();
    void CloneButtonClick();
    void DeleteButtonClick();
    void SendButtonClick();
    void ReceiveButtonClick();
    void ViewButtonClick();
    void ExitButtonClick();
    void FaxLogCleanupClick();
    void CoverSheetsClick();
    void PhoneBookClick();
    void RebuildIndexesClick();
    void PreferencesClick();
    void ContentsClick();
    void FaqClick();
    void ConfigurationInformationClick();
    void TechnicalSupportClick();
    void AboutClick();
    void TroubleshootingTipsClick();
    void VisitWebsiteClick();
    void ShowHintsClick();

signals:
    // The window has closed for good (the program ends).
    void closed();

protected:
    void closeEvent(QCloseEvent* event) override;
    bool event(QEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void FormCreate();
    bool FormCloseQuery();
    void FormClose();
    void buildWindow();
    void buildMenus();
    QToolButton* addButton(const char* name, const QString& caption, const QString& hint);
    QAction* addItem(QMenu* menu, const char* name, const QString& caption,
                     const QString& hint = {}, const QKeySequence& shortcut = {});
    void applyHints();
    void showHelp(int topic);
    void featureNotAvailable(const QString& feature);
    bool visibleListEmpty();
    bool listEmpty(store::Table& table);
    void stopReceiveMode();

    std::filesystem::path folder_;
    std::filesystem::path receiveFolder_;
    QString helpFile_;
    settings::Settings settings_;
    store::FaxStore store_;
    std::unique_ptr<ui::QtMessagePump> pump_;
    std::function<bool(const QUrl&)> openUrl_;

    // Main window state.
    bool receiveMode_ = false;
    bool faxInProgress_ = false;
    int lastFaxError_ = 0;
    unsigned short currentPage_ = 0;
    QString receivedFile_;
    bool cloneRequest_ = false;
    int builtPages_ = 0;
    bool firstActivation_ = true;

    bool firstRun_ = false;
    bool startFailed_ = false;
    bool placed_ = false;
    bool closing_ = false;
    bool closedForGood_ = false;
    QString statusText_;

    // Widgets.
    std::map<QString, QToolButton*> buttons_;
    QToolButton* NewButton = nullptr;
    QToolButton* EditButton = nullptr;
    QToolButton* CloneButton = nullptr;
    QToolButton* DeleteButton = nullptr;
    QToolButton* SendButton = nullptr;
    QToolButton* ReceiveButton = nullptr;
    QToolButton* ViewButton = nullptr;
    QToolButton* ExitButton = nullptr;
    QStackedWidget* notebook_ = nullptr;
    TGraphicPanel* outgoingCaption_ = nullptr;
    TGraphicPanel* incomingCaption_ = nullptr;
    QTableView* outgoingGrid_ = nullptr;
    QTableView* incomingGrid_ = nullptr;
    ui::TableModel* outgoingModel_ = nullptr;
    ui::TableModel* incomingModel_ = nullptr;
    QTabBar* tabSet_ = nullptr;
    QLabel* statusLine_ = nullptr;

    QAction* newFaxItem_ = nullptr;
    QAction* editFaxItem_ = nullptr;
    QAction* cloneFaxItem_ = nullptr;
    QAction* deleteFaxItem_ = nullptr;
    QAction* faxLogCleanupItem_ = nullptr;
    QAction* sendFaxItem_ = nullptr;
    QAction* receiveFaxesItem_ = nullptr;
    QAction* viewFaxItem_ = nullptr;
    QAction* coverSheetsItem_ = nullptr;
    QAction* phoneBookItem_ = nullptr;
    QAction* rebuildIndexesItem_ = nullptr;
    QAction* preferencesItem_ = nullptr;
    QAction* showHintsItem_ = nullptr;
};

}  // namespace pellora::app
