// The help window: plx.hlp, an HTML document with one anchor per topic number, shown in a
// browser window that stays open beside the program and is reused for every topic.
#pragma once

#include <QString>
#include <filesystem>

class QTextBrowser;
class QWidget;

namespace pellora::ui {

// The help file is looked for beside the program's data (the program folder), then beside
// the executable; a program installed without it falls back to the copy built into it.
QString helpFileLocation(const std::filesystem::path& programFolder);

// Opens (or raises) the help window at `topic`. Returns the browser for tests.
QTextBrowser* showHelpTopic(const QString& helpFile, int topic);

// The help window if one is open.
QTextBrowser* helpWindow();

}  // namespace pellora::ui
