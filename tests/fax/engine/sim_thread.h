// A thread that lives in a test's simulated time: it is announced to the clock before its
// constructor returns (so time cannot run ahead of it before it starts), it sleeps on the
// clock in small steps, and it is woken when it is to stop, because the owner's thread may
// itself be announced and time then stands still while the owner joins.
#pragma once

#include <atomic>
#include <functional>
#include <future>
#include <thread>

#include "fax/engine/clock.h"

namespace pellora::fax::test {

class SimThread {
public:
    // Runs `step` every `tickMs` of simulated time until stopped.
    SimThread(SimClock& clock, std::function<void()> step, ClockMs tickMs = 5) : clock_(clock) {
        std::promise<void> announced;
        auto ready = announced.get_future();
        thread_ = std::thread([this, &announced, step = std::move(step), tickMs] {
            ClockThreadScope me(clock_);
            announced.set_value();
            while (!stop_) {
                step();
                clock_.waitUntil(wake_, clock_.now() + tickMs);
            }
        });
        ready.wait();
    }
    ~SimThread() { stop(); }
    SimThread(const SimThread&) = delete;
    SimThread& operator=(const SimThread&) = delete;

    void stop() {
        if (!thread_.joinable()) return;
        stop_ = true;
        clock_.wake(wake_);
        thread_.join();
    }

private:
    SimClock& clock_;
    Wakeup wake_;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

}  // namespace pellora::fax::test
