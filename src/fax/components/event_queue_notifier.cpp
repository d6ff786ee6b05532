#include "fax/components/event_queue_notifier.h"

namespace pellora::fax {

// One queued notification. A sender that waits shares it with the owner thread, so that a
// sender that gave up can tell the owner not to run the handler late.
struct EventQueueNotifier::Request {
    enum class State { Waiting, Running, Done, Abandoned };

    Request(const Notification& n, bool q) : notification(n), quit(q) {}

    Notification notification;
    bool quit = false;
    std::mutex mutex;
    std::condition_variable done;
    State state = State::Waiting;
    std::int64_t answer = 0;
};

EventQueueNotifier::EventQueueNotifier() : owner_(std::this_thread::get_id()) {}

EventQueueNotifier::~EventQueueNotifier() {
    // Senders still waiting run into their time-out, as with an owner that hangs.
    std::lock_guard lock(queueMutex_);
    for (auto& r : queue_) {
        std::lock_guard rl(r->mutex);
        if (r->state == Request::State::Waiting) r->state = Request::State::Abandoned;
    }
    queue_.clear();
}

void EventQueueNotifier::setHandler(Handler handler) {
    std::lock_guard lock(handlerMutex_);
    handler_ = std::move(handler);
}

std::int64_t EventQueueNotifier::runHandler(const Notification& notification) {
    Handler handler;
    {
        std::lock_guard lock(handlerMutex_);
        handler = handler_;
    }
    if (!handler) return 0;
    try {
        return handler(notification);
    } catch (...) {
        if (OnHandlerException) OnHandlerException(std::current_exception());
        return 0;
    }
}

std::optional<std::int64_t> EventQueueNotifier::send(const Notification& notification,
                                                     std::chrono::milliseconds timeout) {
    if (onOwnerThread()) return runHandler(notification);
    auto request = std::make_shared<Request>(notification, false);
    {
        std::lock_guard lock(queueMutex_);
        queue_.push_back(request);
    }
    queued_.notify_all();
    std::unique_lock lock(request->mutex);
    const bool answered = request->done.wait_for(
        lock, timeout, [&] { return request->state == Request::State::Done; });
    if (answered) return request->answer;
    if (request->state == Request::State::Waiting) request->state = Request::State::Abandoned;
    return std::nullopt;
}

void EventQueueNotifier::post(const Notification& notification) {
    {
        std::lock_guard lock(queueMutex_);
        queue_.push_back(std::make_shared<Request>(notification, false));
    }
    queued_.notify_all();
}

void EventQueueNotifier::postQuit() {
    {
        std::lock_guard lock(queueMutex_);
        queue_.push_back(std::make_shared<Request>(Notification{}, true));
    }
    queued_.notify_all();
}

bool EventQueueNotifier::processPending() {
    std::deque<std::shared_ptr<Request>> batch;
    {
        std::lock_guard lock(queueMutex_);
        batch.swap(queue_);
    }
    bool quit = false;
    while (!batch.empty()) {
        auto request = std::move(batch.front());
        batch.pop_front();
        if (request->quit) {
            quit = true;
            continue;
        }
        {
            std::lock_guard lock(request->mutex);
            if (request->state == Request::State::Abandoned) continue;  // the sender gave up
            request->state = Request::State::Running;
        }
        const std::int64_t answer = runHandler(request->notification);
        {
            std::lock_guard lock(request->mutex);
            request->answer = answer;
            request->state = Request::State::Done;
        }
        request->done.notify_all();
    }
    return !quit;
}

bool EventQueueNotifier::waitAndProcess(std::chrono::milliseconds timeout) {
    {
        std::unique_lock lock(queueMutex_);
        queued_.wait_for(lock, timeout, [&] { return !queue_.empty(); });
    }
    return processPending();
}

}  // namespace pellora::fax
