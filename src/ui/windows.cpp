#include "ui/windows.h"

#include <QApplication>
#include <QCoreApplication>
#include <QEvent>
#include <QGuiApplication>
#include <QMessageBox>
#include <QPointer>
#include <QScreen>
#include <QWidget>

#include "settings/placement.h"

namespace pellora::ui {

namespace {

QPointer<QWidget>& mainWindowPointer() {
    static QPointer<QWidget> window;
    return window;
}

settings::Rect toRect(const QRect& r) {
    return {r.left(), r.top(), r.left() + r.width(), r.top() + r.height()};
}

class CentreOnShowFilter : public QObject {
public:
    using QObject::QObject;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (event->type() == QEvent::Show && !event->spontaneous())
            if (auto* w = qobject_cast<QWidget*>(watched)) {
                // A window shown for the first time has not been sized yet: give it the size
                // its layout asks for, so that the centring uses the size it will have.
                if (!w->testAttribute(Qt::WA_Resized)) w->resize(w->sizeHint());
                centreWindow(w);
            }
        return false;
    }
};

// A message box sizes itself only while being shown; show it, then centre it with its real
// size, then run it modally (exec() leaves a shown window where it is).
int runBox(QMessageBox& box) {
    box.setWindowModality(Qt::ApplicationModal);
    box.show();
    centreWindow(&box);
    return box.exec();
}

bool question(const QString& text, const QString& caption, QMessageBox::StandardButton preselected) {
    QMessageBox box(QMessageBox::Question, caption, text, QMessageBox::Yes | QMessageBox::No,
                    mainWindow());
    box.setDefaultButton(preselected);
    box.setEscapeButton(QMessageBox::No);
    return runBox(box) == QMessageBox::Yes;
}

QString& titleStorage() {
    static QString title;
    return title;
}

}  // namespace

void setApplicationTitle(const QString& title) { titleStorage() = title; }

QString applicationTitle() {
    return titleStorage().isEmpty() ? QCoreApplication::applicationName() : titleStorage();
}

void setMainWindow(QWidget* window) { mainWindowPointer() = window; }

QWidget* mainWindow() { return mainWindowPointer().data(); }

void centreWindow(QWidget* window) {
    if (!window) return;
    QWidget* main = mainWindow();
    const bool mainShown = main && main->isVisible() && !main->isMinimized();
    QScreen* screen = mainShown ? main->screen() : window->screen();
    if (!screen) screen = QGuiApplication::primaryScreen();
    if (!screen) return;
    const QRect area = screen->availableGeometry();
    const QRect mainRect = mainShown ? main->frameGeometry() : area;
    const QSize size = window->frameGeometry().size().expandedTo(window->size());
    const settings::Point p = settings::centredPosition(
        {size.width(), size.height()}, toRect(mainRect), mainShown && main->isMaximized(),
        window == main || !mainShown, toRect(area));
    // Position the frame, as the user sees the window; move() takes the frame's corner.
    window->move(p.x, p.y);
}

void centreOnShow(QWidget* window) {
    if (window) window->installEventFilter(new CentreOnShowFilter(window));
}

bool questionYes(const QString& text, const QString& caption) {
    return question(text, caption, QMessageBox::Yes);
}

bool questionNo(const QString& text, const QString& caption) {
    return question(text, caption, QMessageBox::No);
}

void informationBox(const QString& text) {
    QMessageBox box(QMessageBox::Information, QStringLiteral("Information"), text, QMessageBox::Ok,
                    mainWindow());
    runBox(box);
}

void errorBox(const QString& text) {
    QMessageBox box(QMessageBox::Critical, applicationTitle(), text, QMessageBox::Ok, mainWindow());
    runBox(box);
}

}  // namespace pellora::ui
