#include "fax/engine/clock.h"

#include <algorithm>
#include <chrono>

namespace pellora::fax {

namespace {

// The clocks the calling thread has announced itself to (normally none or one).
thread_local std::vector<const Clock*> tlAnnounced;

bool announced(const Clock* clock) {
    return std::find(tlAnnounced.begin(), tlAnnounced.end(), clock) != tlAnnounced.end();
}

std::int64_t steadyNs() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

}  // namespace

void Clock::sleepFor(ClockMs ms) {
    if (ms <= 0) return;
    sleepUntil(now() + ms);
}

void Clock::sleepUntil(ClockMs deadline) {
    Wakeup private_wakeup;  // nobody else knows it: only the deadline ends the wait
    while (now() < deadline) waitUntil(private_wakeup, deadline);
}

// --- RealClock -------------------------------------------------------------------------

RealClock::RealClock() : originNs_(steadyNs()) {}

RealClock& RealClock::instance() {
    static RealClock clock;
    return clock;
}

ClockMs RealClock::now() const { return (steadyNs() - originNs_) / 1000000; }

bool RealClock::waitUntil(Wakeup& wakeup, ClockMs deadline) {
    std::unique_lock lock(wakeup.mutex_);
    if (deadline == kForever) {
        wakeup.cv_.wait(lock, [&] { return wakeup.signalled_; });
    } else {
        auto until = std::chrono::steady_clock::time_point(
            std::chrono::nanoseconds(originNs_ + deadline * 1000000));
        wakeup.cv_.wait_until(lock, until, [&] { return wakeup.signalled_; });
    }
    bool was = wakeup.signalled_;
    wakeup.signalled_ = false;
    return was;
}

void RealClock::wake(Wakeup& wakeup) {
    {
        std::lock_guard lock(wakeup.mutex_);
        wakeup.signalled_ = true;
    }
    wakeup.cv_.notify_all();
}

// --- SimClock --------------------------------------------------------------------------

ClockMs SimClock::now() const {
    std::lock_guard lock(mutex_);
    return now_;
}

void SimClock::enterThread() {
    std::lock_guard lock(mutex_);
    ++threads_;
    tlAnnounced.push_back(this);
}

void SimClock::leaveThread() {
    std::lock_guard lock(mutex_);
    --threads_;
    auto it = std::find(tlAnnounced.begin(), tlAnnounced.end(), this);
    if (it != tlAnnounced.end()) tlAnnounced.erase(it);
    advanceIfAllWaiting();
}

void SimClock::advanceIfAllWaiting() {
    if (waiters_.empty()) return;
    int blocked = 0;
    ClockMs earliest = kForever;
    for (const Waiter* w : waiters_) {
        if (runnable(*w)) return;  // someone is about to run: time stands still
        ++blocked;
        earliest = std::min(earliest, w->deadline);
    }
    if (blocked < threads_ || earliest == kForever) return;
    now_ = earliest;
    cv_.notify_all();
}

bool SimClock::waitUntil(Wakeup& wakeup, ClockMs deadline) {
    std::unique_lock lock(mutex_);
    const bool guest = !announced(this);
    if (guest) ++threads_;
    Waiter self{&wakeup, deadline};
    waiters_.push_back(&self);
    advanceIfAllWaiting();
    cv_.wait(lock, [&] { return runnable(self); });
    waiters_.erase(std::find(waiters_.begin(), waiters_.end(), &self));
    if (guest) --threads_;
    bool was = wakeup.signalled_;
    wakeup.signalled_ = false;
    // Leaving may let the others' time move on (a guest leaves the count).
    advanceIfAllWaiting();
    return was;
}

void SimClock::wake(Wakeup& wakeup) {
    std::lock_guard lock(mutex_);
    wakeup.signalled_ = true;
    cv_.notify_all();
}

void SimClock::advance(ClockMs ms) {
    std::lock_guard lock(mutex_);
    now_ += ms;
    cv_.notify_all();
}

}  // namespace pellora::fax
