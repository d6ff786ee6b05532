// The tables and the settings file keep text in Windows-1252, the code page the program's
// files have always used; the windows work in Unicode.
#pragma once

#include <QString>
#include <string>
#include <string_view>

namespace pellora::ui {

QString fromWindows1252(std::string_view bytes);
// Characters with no Windows-1252 form become '?'.
std::string toWindows1252(const QString& text);

}  // namespace pellora::ui
