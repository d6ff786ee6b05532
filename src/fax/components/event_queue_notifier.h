// A Notifier and MessagePump without a window system: a small event queue owned by one thread
// (the one that creates it). The command-line tool runs its fax components on it, and tests
// use it where a component's thread matters.
//
// send() from another thread queues the notification and waits until the owner runs the
// handler, giving up after the time-out (the notification is then dropped, never run late);
// send() on the owner thread runs the handler at once; post() queues and returns. The owner
// runs what is queued with processPending() or waitAndProcess().
#pragma once

#include <chrono>
#include <condition_variable>
#include <deque>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

#include "core_iface/message_pump.h"
#include "core_iface/notifier.h"

namespace pellora::fax {

class EventQueueNotifier : public Notifier, public MessagePump {
public:
    EventQueueNotifier();
    ~EventQueueNotifier() override;
    EventQueueNotifier(const EventQueueNotifier&) = delete;
    EventQueueNotifier& operator=(const EventQueueNotifier&) = delete;

    void setHandler(Handler handler) override;
    std::optional<std::int64_t> send(const Notification& notification,
                                     std::chrono::milliseconds timeout = kSendTimeout) override;
    void post(const Notification& notification) override;

    // Runs everything queued so far (on the owner thread). False when a quit request was
    // among it.
    bool processPending() override;
    // Waits up to `timeout` for something to be queued, then runs what is queued.
    bool waitAndProcess(std::chrono::milliseconds timeout);
    // Queues a quit request (from any thread); it also wakes waitAndProcess().
    void postQuit();

    bool onOwnerThread() const { return std::this_thread::get_id() == owner_; }

    // Called on the owner thread when the handler throws (the answer is then 0). Without it
    // the exception is dropped: it must not unwind into the engine's thread or the queue.
    std::function<void(std::exception_ptr)> OnHandlerException;

private:
    struct Request;
    std::int64_t runHandler(const Notification& notification);

    const std::thread::id owner_;
    std::mutex handlerMutex_;
    Handler handler_;
    std::mutex queueMutex_;
    std::condition_variable queued_;
    std::deque<std::shared_ptr<Request>> queue_;
};

}  // namespace pellora::fax
