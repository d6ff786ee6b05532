#include "fax/engine/com_port.h"

#include <algorithm>
#include <atomic>
#include <future>

#include "fax/engine/posix_port_device.h"
#include "fax/image/fax_errors.h"

namespace pellora::fax {

namespace {

constexpr std::uint8_t kXon = 0x11;
constexpr std::uint8_t kXoff = 0x13;
constexpr int kMaxTriggers = 64;
constexpr int kChunk = 4096;

std::atomic<std::uint16_t> gNextPortId{1};

}  // namespace

// --- TPortDispatcher -----------------------------------------------------------------------

TPortDispatcher::TPortDispatcher(TComPort& port) : port_(port) {
    std::promise<void> started;
    auto ready = started.get_future();
    thread_ = std::thread([this, &started] {
        // Announced before open() returns, so simulated time never runs ahead of the port.
        port_.clock_.enterThread();
        started.set_value();
        run();
        port_.clock_.leaveThread();
    });
    ready.wait();
}

TPortDispatcher::~TPortDispatcher() {
    if (thread_.joinable()) thread_.join();
}

void TPortDispatcher::run() {
    for (;;) {
        if (port_.dispatchOne()) continue;
        {
            std::lock_guard lock(port_.mutex_);
            if (port_.stopping_) return;
        }
        port_.waitForWork();
    }
}

// --- TComPort --------------------------------------------------------------------------------

TComPort::TComPort(Clock& clock) : clock_(clock), portId_(gNextPortId++) {}

TComPort::~TComPort() { close(); }

void TComPort::setHWFlowOptions(unsigned options) {
    std::lock_guard lock(mutex_);
    hwFlow_ = options;
    if (device_) {
        deviceDoesHwFlow_ = device_->setHardwareFlow((hwFlow_ & (hwfUseRTS | hwfRequireCTS)) ==
                                                     (hwfUseRTS | hwfRequireCTS));
        device_->wake();
    }
}

int TComPort::open() {
    if (isOpen()) {
        lastErrorText_ = deviceName_ + " is already open in this program";
        return ecAlreadyOpen;
    }
    PosixOpenOptions options;
    options.lockDirectory = lockDirectory_;
    options.baud = baud_;
    PosixOpenResult r = openPosixPortDevice(deviceName_, options);
    lastErrorText_ = r.text;
    if (r.code < 0) return r.code;
    return openWith(std::move(r.device));
}

int TComPort::open(std::unique_ptr<PortDevice> device) {
    if (isOpen()) {
        lastErrorText_ = "The port is already open";
        return ecAlreadyOpen;
    }
    lastErrorText_.clear();
    return openWith(std::move(device));
}

int TComPort::openWith(std::unique_ptr<PortDevice> device) {
    {
        std::lock_guard lock(mutex_);
        device_ = std::move(device);
        input_.clear();
        output_.clear();
        pending_.clear();
        triggers_.clear();
        stopping_ = false;
        held_ = false;
        dataNotify_ = false;
        flowDirection_ = 0;
        remoteStoppedUs_ = weStoppedRemote_ = rtsThrottled_ = false;
        controlByte_ = -1;
        device_->setBaud(baud_);
        deviceDoesHwFlow_ = device_->setHardwareFlow((hwFlow_ & (hwfUseRTS | hwfRequireCTS)) ==
                                                     (hwfUseRTS | hwfRequireCTS));
        dtr_ = rts_ = true;
        device_->setLines(true, true);
        lines_ = device_->lines();
    }
    dispatcher_ = std::make_unique<TPortDispatcher>(*this);
    return 0;
}

void TComPort::close() {
    {
        std::lock_guard lock(mutex_);
        if (!device_) return;
        stopping_ = true;
        device_->wake();
    }
    dispatcher_.reset();
    std::lock_guard lock(mutex_);
    device_.reset();
    input_.clear();
    output_.clear();
    pending_.clear();
    triggers_.clear();
    stopping_ = false;
}

bool TComPort::isOpen() const {
    std::lock_guard lock(mutex_);
    return device_ != nullptr;
}

// --- bytes -------------------------------------------------------------------------------------

bool TComPort::byteAvailable() {
    std::lock_guard lock(mutex_);
    if (!device_) return false;
    if (input_.empty()) pumpInput();
    return !input_.empty();
}

int TComPort::readByte() {
    std::uint8_t b;
    int n = read(&b, 1);
    if (n < 0) return n;
    return n == 1 ? b : ecBufferIsEmpty;
}

int TComPort::read(std::uint8_t* buffer, int max) {
    std::lock_guard lock(mutex_);
    if (!device_) return ecCommNotOpen;
    if (input_.empty()) pumpInput();
    bool wasFull = static_cast<int>(input_.size()) >= inSize_;
    int n = std::min<int>(max, static_cast<int>(input_.size()));
    std::copy_n(input_.begin(), n, buffer);
    input_.erase(input_.begin(), input_.begin() + n);
    checkInputLevels();
    if (controlByte_ >= 0) pumpOutput();
    if (wasFull) device_->wake();  // the dispatcher may read again
    return n;
}

int TComPort::inputUsed() {
    std::lock_guard lock(mutex_);
    return static_cast<int>(input_.size());
}

int TComPort::write(const std::uint8_t* data, int length) {
    std::lock_guard lock(mutex_);
    if (!device_) return ecCommNotOpen;
    if (length < 0) return ecBadArgument;
    if (length > outSize_) return ecOutputBufferTooSmall;
    if (length > outSize_ - static_cast<int>(output_.size())) return ecPutBlockFail;
    output_.insert(output_.end(), data, data + length);
    // Straight on to the device when it takes it: the caller may be the dispatcher thread
    // itself, busy in a handler that waits for an answer.
    pumpOutput();
    device_->wake();
    return 0;
}

int TComPort::queuedOutput() {
    return static_cast<int>(output_.size()) + (device_ ? device_->pendingOutput() : 0);
}

int TComPort::outputUsed() {
    std::lock_guard lock(mutex_);
    return queuedOutput();
}

int TComPort::outputFree() {
    std::lock_guard lock(mutex_);
    return outSize_ - static_cast<int>(output_.size());
}

void TComPort::discardInput() {
    std::lock_guard lock(mutex_);
    if (!device_) return;
    device_->discardInput();
    input_.clear();
    checkInputLevels();
    pumpOutput();
    device_->wake();
}

void TComPort::discardOutput() {
    std::lock_guard lock(mutex_);
    if (!device_) return;
    output_.clear();
    device_->discardOutput();
    device_->wake();
}

// --- lines ---------------------------------------------------------------------------------------

void TComPort::setLines(bool dtr, bool rts) {
    std::lock_guard lock(mutex_);
    dtr_ = dtr;
    rts_ = rts;
    if (!device_) return;
    device_->setLines(dtr, rts && !rtsThrottled_);
    device_->wake();
}

bool TComPort::carrierDetect() { return modemLines().dcd; }

ModemLines TComPort::modemLines() {
    std::lock_guard lock(mutex_);
    if (!device_) return {};
    refreshLines();
    return lines_;
}

int TComPort::setBaud(long bps) {
    std::lock_guard lock(mutex_);
    if (!device_) {
        baud_ = bps;
        return 0;
    }
    int r = device_->setBaud(bps);
    if (r == 0) baud_ = bps;
    return r;
}

void TComPort::softwareFlowOn(int fullLevel, int resumeLevel, int direction) {
    std::lock_guard lock(mutex_);
    flowFull_ = fullLevel;
    flowResume_ = resumeLevel;
    flowDirection_ = direction;
    if (!(direction & kFlowObeyRemote)) remoteStoppedUs_ = false;
    if (device_) {
        checkInputLevels();
        pumpOutput();
        device_->wake();
    }
}

void TComPort::softwareFlowOff() {
    std::lock_guard lock(mutex_);
    flowDirection_ = 0;
    remoteStoppedUs_ = false;
    // A modem we stopped must not stay stopped once we no longer speak XON/XOFF.
    if (weStoppedRemote_) controlByte_ = kXon;
    weStoppedRemote_ = false;
    if (device_) {
        pumpOutput();
        device_->wake();
    }
}

// --- triggers ------------------------------------------------------------------------------------

int TComPort::triggerIndex(int handle) const {
    int i = handle - 1;
    if (i < 0 || i >= static_cast<int>(triggers_.size()) || triggers_[i].kind < 0) return -1;
    return i;
}

int TComPort::addTimerTrigger() { return addStatusTrigger(0); }

int TComPort::addStatusTrigger(int kind) {
    std::lock_guard lock(mutex_);
    if (!device_) return ecCommNotOpen;
    if (kind != 0 && kind != kTriggerModemLines && kind != kTriggerOutputRoom &&
        kind != kTriggerOutputUsed)
        return ecBadArgument;
    for (std::size_t i = 0; i < triggers_.size(); ++i) {
        if (triggers_[i].kind < 0) {
            triggers_[i] = Trigger{};
            triggers_[i].kind = kind;
            return static_cast<int>(i) + 1;
        }
    }
    if (triggers_.size() >= kMaxTriggers) return ecNoMoreTriggers;
    triggers_.emplace_back();
    triggers_.back().kind = kind;
    return static_cast<int>(triggers_.size());
}

int TComPort::armTimer(int handle, long ticks, bool on) {
    std::lock_guard lock(mutex_);
    int i = triggerIndex(handle);
    if (i < 0 || triggers_[i].kind != 0) return ecBadTriggerHandle;
    triggers_[i].armed = on;
    triggers_[i].due = clock_.now() + std::max(0L, ticks) * kTickMs;
    device_->wake();
    return 0;
}

int TComPort::armStatusTrigger(int handle, int level, bool on) {
    std::lock_guard lock(mutex_);
    int i = triggerIndex(handle);
    if (i < 0 || triggers_[i].kind == 0) return ecBadTriggerHandle;
    triggers_[i].armed = on;
    triggers_[i].level = level;
    refreshLines();
    triggers_[i].lastLines = lines_;
    device_->wake();
    return 0;
}

int TComPort::removeTrigger(int handle) {
    std::lock_guard lock(mutex_);
    int i = triggerIndex(handle);
    if (i < 0) return ecBadTriggerHandle;
    triggers_[i] = Trigger{};
    // A notification already queued for it must not arrive after the removal.
    std::erase_if(pending_, [&](const Event& e) { return e.handle == handle; });
    return 0;
}

void TComPort::enableDataNotification(bool on) {
    std::lock_guard lock(mutex_);
    dataNotify_ = on;
    freshData_ = true;
    if (device_) device_->wake();
}

void TComPort::attachHandler(PortHandler handler, const void* session) {
    std::lock_guard lock(mutex_);
    handler_ = std::move(handler);
    session_ = session;
    if (device_) device_->wake();
}

void TComPort::detachHandler(const void* session) {
    std::unique_lock lock(mutex_);
    if (session != nullptr && session != session_) return;
    handler_ = nullptr;
    session_ = nullptr;
    std::erase_if(pending_, [](const Event& e) { return e.message == kPortDataMessage; });
    // Once detach returns the old handler is not running (unless it detached itself).
    bool self = dispatcher_ && dispatcher_->onDispatcherThread();
    while (delivering_ && !self) {
        lock.unlock();
        clock_.waitUntil(deliveryDone_, kForever);
        lock.lock();
    }
}

bool TComPort::holdNotifications(bool on) {
    std::lock_guard lock(mutex_);
    bool previous = held_;
    held_ = on;
    if (!on && device_) device_->wake();
    return previous;
}

void TComPort::poll() {
    std::lock_guard lock(mutex_);
    if (!device_) return;
    pumpInput();
    pumpOutput();
}

// --- servicing (mutex_ held) ---------------------------------------------------------------

void TComPort::pumpInput() {
    std::uint8_t buf[kChunk];
    while (static_cast<int>(input_.size()) < inSize_) {
        int room = std::min(kChunk, inSize_ - static_cast<int>(input_.size()));
        int n = device_->read(buf, room);
        if (n <= 0) break;
        for (int i = 0; i < n; ++i) {
            std::uint8_t b = buf[i];
            if ((flowDirection_ & kFlowObeyRemote) && (b == kXoff || b == kXon)) {
                remoteStoppedUs_ = b == kXoff;
                continue;
            }
            input_.push_back(b);
        }
        freshData_ = true;
        checkInputLevels();
    }
    checkInputLevels();
}

void TComPort::checkInputLevels() {
    int used = static_cast<int>(input_.size());
    if (flowDirection_ & kFlowSendToRemote) {
        if (!weStoppedRemote_ && used >= flowFull_) {
            weStoppedRemote_ = true;
            controlByte_ = kXoff;
        } else if (weStoppedRemote_ && used <= flowResume_) {
            weStoppedRemote_ = false;
            // An XOFF that never went out needs no XON.
            controlByte_ = controlByte_ == kXoff ? -1 : kXon;
        }
    }
    if ((hwFlow_ & hwfUseRTS) && !deviceDoesHwFlow_ && rts_) {
        if (!rtsThrottled_ && used >= inSize_ * 3 / 4) {
            rtsThrottled_ = true;
            device_->setLines(dtr_, false);
        } else if (rtsThrottled_ && used <= inSize_ / 4) {
            rtsThrottled_ = false;
            device_->setLines(dtr_, true);
        }
    }
}

bool TComPort::wantsWrite() const {
    if (controlByte_ >= 0) return true;
    if (output_.empty() || remoteStoppedUs_) return false;
    return !((hwFlow_ & hwfRequireCTS) && !deviceDoesHwFlow_ && !lines_.cts);
}

void TComPort::pumpOutput() {
    if (controlByte_ >= 0) {
        std::uint8_t b = static_cast<std::uint8_t>(controlByte_);
        if (device_->write(&b, 1) != 1) return;
        controlByte_ = -1;
    }
    if (output_.empty() || remoteStoppedUs_) return;
    if ((hwFlow_ & hwfRequireCTS) && !deviceDoesHwFlow_) {
        refreshLines();
        if (!lines_.cts) return;
    }
    std::uint8_t buf[kChunk];
    while (!output_.empty()) {
        int k = std::min<int>(kChunk, static_cast<int>(output_.size()));
        std::copy_n(output_.begin(), k, buf);
        int n = device_->write(buf, k);
        if (n <= 0) break;
        output_.erase(output_.begin(), output_.begin() + n);
        if (n < k) break;
    }
}

void TComPort::refreshLines() { lines_ = device_->lines(); }

void TComPort::collectEvents(ClockMs now) {
    for (std::size_t i = 0; i < triggers_.size(); ++i) {
        Trigger& t = triggers_[i];
        if (!t.armed) continue;
        bool fire = false;
        unsigned message = kPortStatusMessage;
        switch (t.kind) {
            case 0:
                fire = t.due <= now;
                message = kPortTimerMessage;
                break;
            case kTriggerModemLines: fire = lines_ != t.lastLines; break;
            case kTriggerOutputRoom:
                fire = outSize_ - static_cast<int>(output_.size()) >= t.level;
                break;
            case kTriggerOutputUsed: fire = queuedOutput() <= t.level; break;
            default: break;
        }
        if (!fire) continue;
        t.armed = false;
        if (handler_) pending_.push_back({message, static_cast<std::uint16_t>(i + 1)});
    }
    if (dataNotify_ && handler_ && !input_.empty() &&
        (freshData_ || now - lastDataNotify_ >= kTickMs)) {
        bool queued = std::any_of(pending_.begin(), pending_.end(),
                                  [](const Event& e) { return e.message == kPortDataMessage; });
        if (!queued) pending_.push_back({kPortDataMessage, 0});
        freshData_ = false;
        lastDataNotify_ = now;
    }
}

ClockMs TComPort::nextDeadline(ClockMs now) const {
    ClockMs deadline = kForever;
    bool watchLines = (hwFlow_ & hwfRequireCTS) && !deviceDoesHwFlow_ && !output_.empty();
    for (const Trigger& t : triggers_) {
        if (!t.armed) continue;
        if (t.kind == 0) deadline = std::min(deadline, t.due);
        if (t.kind == kTriggerModemLines) watchLines = true;
        // The device empties its own queue without telling: look again shortly.
        if (t.kind == kTriggerOutputUsed) deadline = std::min(deadline, now + 10);
    }
    if (watchLines) {
        ClockMs interval = device_->linePollInterval();
        if (interval != kForever) deadline = std::min(deadline, now + interval);
    }
    if (dataNotify_ && handler_ && !input_.empty() && !held_)
        deadline = std::min(deadline, lastDataNotify_ + kTickMs);
    return deadline;
}

bool TComPort::dispatchOne() {
    std::unique_lock lock(mutex_);
    if (!device_ || stopping_) return false;
    pumpInput();
    pumpOutput();
    refreshLines();
    collectEvents(clock_.now());
    if (held_ || pending_.empty()) return false;
    Event event = pending_.front();
    pending_.pop_front();
    if (!handler_) return true;
    PortHandler handler = handler_;
    delivering_ = true;
    std::uint32_t param = static_cast<std::uint32_t>(portId_) << 16;
    lock.unlock();
    handler(event.message, event.handle, param);
    lock.lock();
    delivering_ = false;
    clock_.wake(deliveryDone_);
    return true;
}

void TComPort::waitForWork() {
    PortDevice* device;
    ClockMs deadline;
    bool write;
    {
        std::lock_guard lock(mutex_);
        if (!device_ || stopping_) return;
        device = device_.get();
        deadline = nextDeadline(clock_.now());
        write = wantsWrite();
    }
    device->wait(clock_, deadline, write);
}

}  // namespace pellora::fax
