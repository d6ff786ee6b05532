// The default font of a new cover sheet or document, kept in section "Default Font" of
// PLX.INI: applying it to an empty editor and letting the user choose it.
#pragma once

#include <QFont>
#include <filesystem>

#include "settings/settings.h"

class QTextEdit;
class QWidget;

namespace pellora::ui {

QFont defaultFont(const settings::Settings& settings);

// Sets the editor's insertion attributes (what typing produces) to the default font.
void applyDefaultFont(QTextEdit* editor, const settings::Settings& settings);

// The default-font dialog: re-reads the settings file (another window may have changed it),
// offers the font dialog preset with the default font, and on OK stores the chosen name, size
// and styles and writes the file (settings::WriteError when it cannot be written). `settings`
// receives what was read and chosen. False when the user cancelled.
bool chooseDefaultFont(QWidget* parent, const std::filesystem::path& settingsFile,
                       settings::Settings& settings);

}  // namespace pellora::ui
