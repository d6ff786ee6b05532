#include "ui/qt_notifier.h"

#include <QCoreApplication>
#include <QEvent>
#include <QThread>
#include <condition_variable>

namespace pellora::ui {

namespace {

const QEvent::Type kNotificationEvent = static_cast<QEvent::Type>(QEvent::registerEventType());

}  // namespace

// One notification in flight. The sender and the GUI thread share it, so that a sender that
// gave up can tell the GUI thread not to run the handler late.
struct QtNotifier::Request {
    enum class State { Waiting, Running, Done, Abandoned };

    explicit Request(const fax::Notification& n) : notification(n) {}

    fax::Notification notification;
    std::mutex mutex;
    std::condition_variable done;
    State state = State::Waiting;
    std::int64_t answer = 0;
};

namespace {

class NotificationEvent : public QEvent {
public:
    explicit NotificationEvent(std::shared_ptr<void> r)
        : QEvent(kNotificationEvent), request(std::move(r)) {}
    std::shared_ptr<void> request;
};

}  // namespace

QtNotifier::QtNotifier(QObject* parent) : QObject(parent) {}

QtNotifier::~QtNotifier() {
    // Events still queued for this object are discarded by Qt; a sender waiting on one of
    // them runs into its time-out, as it would with a hanging window.
}

void QtNotifier::setHandler(Handler handler) {
    std::lock_guard lock(handlerMutex_);
    handler_ = std::move(handler);
}

std::int64_t QtNotifier::runHandler(const fax::Notification& notification) {
    Handler handler;
    {
        std::lock_guard lock(handlerMutex_);
        handler = handler_;
    }
    return handler ? handler(notification) : 0;
}

std::optional<std::int64_t> QtNotifier::send(const fax::Notification& notification,
                                             std::chrono::milliseconds timeout) {
    if (QThread::currentThread() == thread()) return runHandler(notification);

    auto request = std::make_shared<Request>(notification);
    QCoreApplication::postEvent(this, new NotificationEvent(request));

    std::unique_lock lock(request->mutex);
    const bool answered = request->done.wait_for(
        lock, timeout, [&] { return request->state == Request::State::Done; });
    if (answered) return request->answer;
    if (request->state == Request::State::Waiting) request->state = Request::State::Abandoned;
    return std::nullopt;
}

void QtNotifier::post(const fax::Notification& notification) {
    QCoreApplication::postEvent(this,
                                new NotificationEvent(std::make_shared<Request>(notification)));
}

bool QtNotifier::event(QEvent* e) {
    if (e->type() != kNotificationEvent) return QObject::event(e);
    auto request = std::static_pointer_cast<Request>(static_cast<NotificationEvent*>(e)->request);
    {
        std::lock_guard lock(request->mutex);
        if (request->state == Request::State::Abandoned) return true;  // the sender gave up
        request->state = Request::State::Running;
    }
    std::int64_t answer = 0;
    try {
        answer = runHandler(request->notification);
    } catch (...) {
        // An exception must not cross Qt's event loop (it would end the program); the engine
        // gets the neutral answer and goes on, as with a notification that timed out.
    }
    {
        std::lock_guard lock(request->mutex);
        request->answer = answer;
        request->state = Request::State::Done;
    }
    request->done.notify_all();
    return true;
}

}  // namespace pellora::ui
