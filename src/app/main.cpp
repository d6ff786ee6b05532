// Pellora: start-up. One copy per user runs; a second start brings the first one forward.
#include <QApplication>
#include <QIcon>
#include <QTimer>

#include "app/main_screen.h"
#include "app/single_instance.h"
#include "ui/program_folder.h"
#include "ui/windows.h"

int main(int argc, char* argv[]) {
    QApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("pellora"));
    QGuiApplication::setDesktopFileName(QStringLiteral("pellora"));
    pellora::ui::setApplicationTitle(QString::fromLatin1(pellora::app::kApplicationTitle));

    // Before any window exists: another copy running means this one only asks it forward.
    pellora::app::SingleInstance instance(pellora::app::SingleInstance::applicationKey());
    if (!instance.isPrimary()) {
        instance.forwardToPrimary();
        return 0;
    }

    QApplication::setWindowIcon(QIcon(QStringLiteral(":/pellora/pellora-256.png")));
    pellora::app::TMainScreen screen(pellora::ui::programFolder());
    QObject::connect(&instance, &pellora::app::SingleInstance::activationRequested, &screen,
                     &pellora::app::TMainScreen::bringToFront);
    // The window closes itself when start-up failed, before it was ever shown.
    QObject::connect(&screen, &pellora::app::TMainScreen::closed, &app, &QCoreApplication::quit,
                     Qt::QueuedConnection);
    QTimer::singleShot(0, &screen, [&screen] { screen.FormActivate(); });
    return app.exec();
}
