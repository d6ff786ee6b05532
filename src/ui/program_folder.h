// Where the program keeps its tables, PLX.INI and received faxes: beside the executable, as
// the program has always done, when that folder can be written (a build tree, a portable
// copy); otherwise, as for an installed program whose folder belongs to root, the user's own
// application data folder.
#pragma once

#include <filesystem>
#include <functional>

namespace pellora::ui {

// The rule itself, over folders given: `executableFolder` when `isWritable` says so, else
// `appDataFolder`.
std::filesystem::path chooseProgramFolder(
    const std::filesystem::path& executableFolder, const std::filesystem::path& appDataFolder,
    const std::function<bool(const std::filesystem::path&)>& isWritable);

// Whether files can be created in the folder (tried, not guessed from permission bits).
bool folderIsWritable(const std::filesystem::path& folder);

// The program folder of this process; the application data folder is created when it is the
// one chosen. Needs the Q(Core)Application to exist.
std::filesystem::path programFolder();

}  // namespace pellora::ui
