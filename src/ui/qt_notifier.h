// The Qt side of a fax component's notifications: an object living in the GUI thread that
// runs the component's handler there, whichever thread the engine sends from.
#pragma once

#include <QObject>
#include <memory>
#include <mutex>

#include "core_iface/notifier.h"

namespace pellora::ui {

class QtNotifier : public QObject, public fax::Notifier {
    Q_OBJECT
public:
    explicit QtNotifier(QObject* parent = nullptr);
    ~QtNotifier() override;

    void setHandler(Handler handler) override;
    std::optional<std::int64_t> send(const fax::Notification& notification,
                                     std::chrono::milliseconds timeout = kSendTimeout) override;
    void post(const fax::Notification& notification) override;

protected:
    bool event(QEvent* e) override;

private:
    struct Request;
    std::int64_t runHandler(const fax::Notification& notification);

    std::mutex handlerMutex_;
    Handler handler_;
};

}  // namespace pellora::ui
