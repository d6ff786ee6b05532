// Blank trimming used by the settings code and by the windows for user input.
// A blank is a space only: tabs and other white space are kept on purpose, so text the
// user typed keeps them.
#pragma once

#include <string>
#include <string_view>

namespace pellora::settings {

std::string trimLeft(std::string_view text);
std::string trimRight(std::string_view text);
std::string trim(std::string_view text);

}  // namespace pellora::settings
