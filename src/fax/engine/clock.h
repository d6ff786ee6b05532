// Where the fax engine's time comes from.
//
// Every wait of the engine and of its serial ports (timer triggers counted in 55 ms ticks,
// short pauses, response time-outs) goes through a Clock, never through the system clock
// directly. The program uses RealClock. Tests use SimClock: simulated time that moves on only
// when every thread taking part is waiting, straight to the earliest deadline, so a fax call of
// a minute runs in a moment of real time and always takes the same course.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <limits>
#include <mutex>
#include <vector>

namespace pellora::fax {

// Milliseconds on a clock's own time line (0 = when the clock was made).
using ClockMs = std::int64_t;
inline constexpr ClockMs kForever = std::numeric_limits<ClockMs>::max();
inline constexpr ClockMs kTickMs = 55;  // the engine's time unit

// Something a thread can wait on and another thread can wake. One waiter at a time.
class Wakeup {
public:
    Wakeup() = default;
    Wakeup(const Wakeup&) = delete;
    Wakeup& operator=(const Wakeup&) = delete;

private:
    friend class RealClock;
    friend class SimClock;
    std::mutex mutex_;  // used by RealClock only
    std::condition_variable cv_;
    bool signalled_ = false;
};

class Clock {
public:
    virtual ~Clock() = default;

    virtual ClockMs now() const = 0;

    // Blocks until `wakeup` is signalled or the clock reaches `deadline`. Returns true when it
    // was signalled; the signal is consumed either way.
    virtual bool waitUntil(Wakeup& wakeup, ClockMs deadline) = 0;
    virtual void wake(Wakeup& wakeup) = 0;

    // True when this clock follows the wall clock (devices may then block in the kernel).
    virtual bool isRealTime() const = 0;

    // A thread that acts on simulated time announces itself, so that time does not move on
    // while it is busy. No effect on a real clock.
    virtual void enterThread() {}
    virtual void leaveThread() {}

    void sleepFor(ClockMs ms);
    void sleepUntil(ClockMs deadline);
};

// Keeps the calling thread announced to a clock for the lifetime of the object.
class ClockThreadScope {
public:
    explicit ClockThreadScope(Clock& clock) : clock_(clock) { clock_.enterThread(); }
    ~ClockThreadScope() { clock_.leaveThread(); }
    ClockThreadScope(const ClockThreadScope&) = delete;
    ClockThreadScope& operator=(const ClockThreadScope&) = delete;

private:
    Clock& clock_;
};

class RealClock final : public Clock {
public:
    RealClock();
    ClockMs now() const override;
    bool waitUntil(Wakeup& wakeup, ClockMs deadline) override;
    void wake(Wakeup& wakeup) override;
    bool isRealTime() const override { return true; }

    // The process-wide real clock.
    static RealClock& instance();

private:
    std::int64_t originNs_;
};

// Simulated time. Time stands still while any announced thread runs; when all of them wait
// (on this clock), it jumps to the earliest deadline among the waiters. Waking a waiter makes
// it count as running at once, so no time passes between a signal and the reaction to it.
// A thread that waits without being announced counts as announced for the wait only.
class SimClock final : public Clock {
public:
    ClockMs now() const override;
    bool waitUntil(Wakeup& wakeup, ClockMs deadline) override;
    void wake(Wakeup& wakeup) override;
    bool isRealTime() const override { return false; }
    void enterThread() override;
    void leaveThread() override;

    // Moves time on by hand (tests that drive time themselves).
    void advance(ClockMs ms);

private:
    struct Waiter {
        Wakeup* wakeup;
        ClockMs deadline;
    };
    bool runnable(const Waiter& w) const { return w.wakeup->signalled_ || w.deadline <= now_; }
    void advanceIfAllWaiting();  // mutex_ held

    mutable std::mutex mutex_;
    std::condition_variable cv_;
    ClockMs now_ = 0;
    int threads_ = 0;
    std::vector<Waiter*> waiters_;
};

}  // namespace pellora::fax
