#include "ui/window_placement.h"

#include <QGuiApplication>
#include <QLayout>
#include <QScreen>
#include <QWidget>
#include <cmath>

#include "settings/ini_file.h"
#include "settings/placement.h"
#include "ui/windows.h"

namespace pellora::ui {

namespace {

settings::Rect toRect(const QRect& r) {
    return {r.left(), r.top(), r.left() + r.width(), r.top() + r.height()};
}

QScreen* screenOf(const QWidget* window) {
    QScreen* screen = window ? window->screen() : nullptr;
    return screen ? screen : QGuiApplication::primaryScreen();
}

}  // namespace

std::string placementSection(const QWidget* window, const QString& className) {
    QScreen* screen = screenOf(window);
    const int dpi = screen ? static_cast<int>(std::lround(screen->logicalDotsPerInch())) : 96;
    return settings::placementSectionName(className.toStdString(), dpi);
}

void saveWindowPlacement(const QWidget* window, const QString& className,
                         const std::filesystem::path& iniFile) {
    QRect normal = window->normalGeometry();
    if (!normal.isValid() || normal.isEmpty()) normal = window->geometry();
    settings::Placement placement;
    placement.rect = toRect(normal);
    placement.maximized = window->isMaximized();
    settings::writePlacement(iniFile, placementSection(window, className), placement);
}

void restoreWindowPlacement(QWidget* window, const QString& className,
                            const std::filesystem::path& iniFile, bool designedMaximized) {
    settings::IniFile ini;
    ini.load(iniFile);
    QScreen* screen = screenOf(window);
    const QRect area = screen ? screen->availableGeometry() : QRect(0, 0, 1024, 768);
    const std::string section = placementSection(window, className);
    const settings::RestoredPlacement restored =
        settings::restorePlacement(ini, section, toRect(area), designedMaximized);
    window->setWindowState(window->windowState() & ~Qt::WindowMaximized);
    if (restored.rect) {
        const settings::Rect& r = *restored.rect;
        window->setGeometry(r.left, r.top, r.width(), r.height());
    } else {
        // Centre the window at the size it will be shown with: its layout may ask for more
        // than it was given.
        window->ensurePolished();
        if (QLayout* layout = window->layout()) layout->activate();
        if (!window->testAttribute(Qt::WA_Resized)) window->resize(window->sizeHint());
        window->resize(window->size().expandedTo(window->minimumSizeHint()));
        centreWindow(window);
    }
    if (restored.maximized) window->setWindowState(window->windowState() | Qt::WindowMaximized);
    try {
        settings::Placement now;
        now.rect = toRect(window->geometry());
        now.maximized = restored.maximized;
        settings::writePlacement(iniFile, section, now);
    } catch (const std::exception&) {
        // Reported when the program closes, which writes the same file.
    }
}

}  // namespace pellora::ui
