// "Let pending window messages run" for the core's long loops and synchronous waits.
#pragma once

#include <QObject>

#include "core_iface/message_pump.h"

namespace pellora::ui {

class QtMessagePump : public QObject, public fax::MessagePump {
    Q_OBJECT
public:
    // Watches the application for quit requests from the moment it is created.
    explicit QtMessagePump(QObject* parent = nullptr);

    // Runs the events waiting now (not those they post in turn, so a loop calling this
    // cannot be held forever by a busy window). False once the application was asked to quit.
    bool processPending() override;

    bool quitRequested() const { return quitRequested_; }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    bool quitRequested_ = false;
};

}  // namespace pellora::ui
