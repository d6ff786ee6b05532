// Remembered window positions applied to real windows. The rules (section names, fitting a
// rectangle to the screen, centring) are the pure functions of settings/placement.h; this
// only reads and applies rectangles.
#pragma once

#include <QRect>
#include <QString>
#include <filesystem>

class QWidget;

namespace pellora::ui {

// The placement section for a window of class `className` on the screen it is on.
std::string placementSection(const QWidget* window, const QString& className);

// Writes the window's normal (not maximised) rectangle and whether it is maximised. Throws
// settings::WriteError when the file cannot be written.
void saveWindowPlacement(const QWidget* window, const QString& className,
                         const std::filesystem::path& iniFile);

// Puts the window where it was last: a remembered rectangle is moved back inside the screen
// and applied, otherwise the window is centred; it is maximised when it was (or, with no
// record, when `designedMaximized`). Then the placement is saved at once, so the file shows
// where the window really is; a file that cannot be written is no reason to stop a window
// from opening, so that write is best effort.
void restoreWindowPlacement(QWidget* window, const QString& className,
                            const std::filesystem::path& iniFile, bool designedMaximized);

}  // namespace pellora::ui
