#include "ui/program_folder.h"

#include <QCoreApplication>
#include <QDir>
#include <QStandardPaths>
#include <QTemporaryFile>

namespace pellora::ui {

namespace fs = std::filesystem;

fs::path chooseProgramFolder(const fs::path& executableFolder, const fs::path& appDataFolder,
                             const std::function<bool(const fs::path&)>& isWritable) {
    return isWritable(executableFolder) ? executableFolder : appDataFolder;
}

bool folderIsWritable(const fs::path& folder) {
    std::error_code ec;
    if (!fs::is_directory(folder, ec)) return false;
    QTemporaryFile probe(QDir(QString::fromStdString(folder.string())).filePath(".pellora-probe-XXXXXX"));
    return probe.open();
}

fs::path programFolder() {
    const fs::path executableFolder =
        QCoreApplication::applicationDirPath().toStdString();
    const fs::path appData =
        QStandardPaths::writableLocation(QStandardPaths::AppDataLocation).toStdString();
    const fs::path chosen = chooseProgramFolder(executableFolder, appData, folderIsWritable);
    if (chosen == appData) {
        std::error_code ec;
        fs::create_directories(appData, ec);
    }
    return chosen;
}

}  // namespace pellora::ui
