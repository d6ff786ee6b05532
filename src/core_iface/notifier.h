// How a fax component's engine, running on its serial port's dispatch thread, tells the
// component about progress: each notification is delivered on the thread that owns the
// component. `send` waits for the answer and gives up after a time-out, so an engine is never
// held by a window that hangs; `post` is for the finish notification, which must arrive only
// after the run has wound down, so it is queued and never waited for.
//
// The window layer implements this with a Qt object in the GUI thread; the command-line tool
// with a small event queue of its own. Plain C++: the core includes this header.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>

namespace pellora::fax {

struct Notification {
    int message = 0;           // which notification (next fax, status, log, name, ...)
    std::int64_t payload = 0;  // its argument (flags, log code, error code)
};

class Notifier {
public:
    using Handler = std::function<std::int64_t(const Notification&)>;
    static constexpr std::chrono::milliseconds kSendTimeout{1000};

    virtual ~Notifier() = default;

    // The component's handler; it runs on the owner's thread and its result is the answer.
    virtual void setHandler(Handler handler) = 0;

    // Delivers the notification on the owner's thread and waits for the answer. No answer
    // within `timeout`: the notification is dropped (it will not run late) and the result is
    // empty. Called on the owner's thread itself, the handler runs at once.
    virtual std::optional<std::int64_t> send(const Notification& notification,
                                             std::chrono::milliseconds timeout = kSendTimeout) = 0;

    // Queues the notification for the owner's thread and returns at once.
    virtual void post(const Notification& notification) = 0;
};

}  // namespace pellora::fax
