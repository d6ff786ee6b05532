// A component stand-in for session tests: a Notifier that runs the handler on the calling
// thread and records every notification, and a wait for the posted finish that lets
// simulated time run.
#pragma once

#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <vector>

#include "core_iface/notifier.h"
#include "fax/engine/clock.h"
#include "fax/engine/session_defs.h"

namespace pellora::fax::test {

class RecordingNotifier : public Notifier {
public:
    explicit RecordingNotifier(Clock& clock) : clock_(clock) {}

    void setHandler(Handler handler) override {
        std::lock_guard lock(mutex_);
        handler_ = std::move(handler);
    }

    std::optional<std::int64_t> send(const Notification& n, std::chrono::milliseconds) override {
        Handler h;
        {
            std::lock_guard lock(mutex_);
            seen_.push_back(n);
            h = handler_;
        }
        return h ? h(n) : 0;
    }

    void post(const Notification& n) override {
        {
            std::lock_guard lock(mutex_);
            seen_.push_back(n);
            finished_ = true;
        }
        clock_.wake(finishWake_);
    }

    // Waits (in the clock's time) for the finish notification.
    bool waitFinish(ClockMs limitMs) {
        ClockMs end = clock_.now() + limitMs;
        for (;;) {
            {
                std::lock_guard lock(mutex_);
                if (finished_) return true;
            }
            if (clock_.now() >= end) return false;
            clock_.waitUntil(finishWake_, std::min(end, clock_.now() + 1000));
        }
    }

    std::vector<Notification> seen() {
        std::lock_guard lock(mutex_);
        return seen_;
    }
    std::vector<std::int64_t> payloads(int message) {
        std::vector<std::int64_t> out;
        for (const auto& n : seen())
            if (n.message == message) out.push_back(n.payload);
        return out;
    }
    std::optional<std::int64_t> finishCode() {
        for (const auto& n : seen())
            if (n.message == kNotifyFinish) return n.payload;
        return std::nullopt;
    }

private:
    Clock& clock_;
    std::mutex mutex_;
    Handler handler_;
    std::vector<Notification> seen_;
    bool finished_ = false;
    Wakeup finishWake_;
};

}  // namespace pellora::fax::test
