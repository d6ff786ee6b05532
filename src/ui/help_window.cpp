#include "ui/help_window.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QPointer>
#include <QTextBrowser>
#include <QUrl>

namespace pellora::ui {

namespace {

constexpr const char* kHelpFileName = "plx.hlp";
constexpr const char* kBuiltInHelp = ":/pellora/plx.hlp";

QPointer<QTextBrowser>& browserPointer() {
    static QPointer<QTextBrowser> browser;
    return browser;
}

QUrl helpUrl(const QString& helpFile) {
    return helpFile.startsWith(QLatin1Char(':')) ? QUrl(QStringLiteral("qrc") + helpFile)
                                                 : QUrl::fromLocalFile(helpFile);
}

}  // namespace

QString helpFileLocation(const std::filesystem::path& programFolder) {
    const QString beside = QDir(QString::fromStdString(programFolder.string())).filePath(kHelpFileName);
    if (QFileInfo::exists(beside)) return beside;
    const QString withExecutable = QDir(QCoreApplication::applicationDirPath()).filePath(kHelpFileName);
    if (QFileInfo::exists(withExecutable)) return withExecutable;
    return QString::fromLatin1(kBuiltInHelp);
}

QTextBrowser* helpWindow() { return browserPointer().data(); }

QTextBrowser* showHelpTopic(const QString& helpFile, int topic) {
    QPointer<QTextBrowser>& browser = browserPointer();
    if (!browser) {
        browser = new QTextBrowser;
        browser->setAttribute(Qt::WA_DeleteOnClose);
        browser->setAttribute(Qt::WA_QuitOnClose, false);
        browser->setObjectName(QStringLiteral("HelpWindow"));
        browser->setWindowTitle(QStringLiteral("Pellora Help"));
        browser->setOpenExternalLinks(true);
        browser->resize(640, 520);
    }
    const QUrl url = helpUrl(helpFile);
    // The file's suffix says nothing about its content: tell the browser it is HTML.
    if (browser->source().adjusted(QUrl::RemoveFragment) != url)
        browser->setSource(url, QTextDocument::HtmlResource);
    browser->scrollToAnchor(QString::number(topic));
    browser->show();
    browser->raise();
    browser->activateWindow();
    return browser;
}

}  // namespace pellora::ui
