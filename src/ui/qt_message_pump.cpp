#include "ui/qt_message_pump.h"

#include <QCoreApplication>
#include <QEvent>

namespace pellora::ui {

QtMessagePump::QtMessagePump(QObject* parent) : QObject(parent) {
    if (auto* app = QCoreApplication::instance()) {
        app->installEventFilter(this);
        connect(app, &QCoreApplication::aboutToQuit, this, [this] { quitRequested_ = true; });
    }
}

bool QtMessagePump::processPending() {
    QCoreApplication::processEvents(QEventLoop::AllEvents);
    return !quitRequested_;
}

bool QtMessagePump::eventFilter(QObject* watched, QEvent* event) {
    if (watched == QCoreApplication::instance() && event->type() == QEvent::Quit)
        quitRequested_ = true;
    return false;
}

}  // namespace pellora::ui
