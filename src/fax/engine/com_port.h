// TComPort: the serial port the fax engine drives a modem through, with its dispatcher.
//
// The port keeps an input buffer (InSize, 8192 bytes) filled from the device and an output
// buffer (OutSize, 8192 bytes) drained into it, does software flow control in both directions
// at the levels the engine asks for, holds output while CTS is off, and tells one attached
// handler about data, timers (counted in 55 ms ticks of the port's clock) and status triggers.
// Every notification comes from the port's own dispatcher thread, one at a time; the handler
// may call any operation of the port.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "fax/engine/clock.h"
#include "fax/engine/port_device.h"
#include "fax/image/fax_errors.h"

namespace pellora::fax {

enum THWFlowOption : unsigned {
    hwfUseRTS = 1,      // lower RTS while the input buffer is nearly full
    hwfRequireCTS = 2,  // send only while the modem raises CTS
};

// Messages a handler receives. Trigger messages are told apart by their handle.
inline constexpr unsigned kPortDataMessage = 0x7E01;
inline constexpr unsigned kPortTimerMessage = 0x7E02;
inline constexpr unsigned kPortStatusMessage = 0x7E03;

// Status trigger kinds.
inline constexpr int kTriggerModemLines = 1;
inline constexpr int kTriggerOutputRoom = 3;  // fires when room >= level
inline constexpr int kTriggerOutputUsed = 4;  // fires when queued <= level

// Software flow directions (may be combined).
inline constexpr int kFlowObeyRemote = 1;  // stop sending on XOFF from the modem until XON
inline constexpr int kFlowSendToRemote = 2;  // send XOFF when input fills, XON when it empties

// (message, trigger handle, port id in the upper 16 bits)
using PortHandler = std::function<void(unsigned message, std::uint16_t handle, std::uint32_t param)>;

class TComPort;

// The thread that services one open port: moves bytes between the device and the buffers,
// runs the timers and delivers the notifications.
class TPortDispatcher {
public:
    explicit TPortDispatcher(TComPort& port);
    ~TPortDispatcher();
    TPortDispatcher(const TPortDispatcher&) = delete;
    TPortDispatcher& operator=(const TPortDispatcher&) = delete;

    bool onDispatcherThread() const { return std::this_thread::get_id() == thread_.get_id(); }

private:
    void run();
    TComPort& port_;
    std::thread thread_;
};

class TComPort {
public:
    explicit TComPort(Clock& clock = RealClock::instance());
    ~TComPort();
    TComPort(const TComPort&) = delete;
    TComPort& operator=(const TComPort&) = delete;

    // --- settings (before open) ------------------------------------------------------------
    void setDeviceName(std::string name) { deviceName_ = std::move(name); }
    const std::string& deviceName() const { return deviceName_; }
    void setLockDirectory(std::string dir) { lockDirectory_ = std::move(dir); }
    void setInSize(int bytes) { inSize_ = bytes; }
    int InSize() const { return inSize_; }
    void setOutSize(int bytes) { outSize_ = bytes; }
    int OutSize() const { return outSize_; }
    void setHWFlowOptions(unsigned options);
    unsigned HWFlowOptions() const { return hwFlow_; }
    std::uint16_t portId() const { return portId_; }
    Clock& clock() const { return clock_; }

    // --- open and close ------------------------------------------------------------------------
    // Opens deviceName() with the termios backend. 0 or a negative code; lastErrorText() then
    // says what went wrong in words.
    int open();
    // Opens on a device made elsewhere (the simulated modem of the tests).
    int open(std::unique_ptr<PortDevice> device);
    // Not from inside the handler.
    void close();
    bool isOpen() const;
    const std::string& lastErrorText() const { return lastErrorText_; }

    // --- bytes ---------------------------------------------------------------------------------
    bool byteAvailable();
    int readByte();  // the byte, or ecBufferIsEmpty / ecCommNotOpen
    int read(std::uint8_t* buffer, int max);
    int inputUsed();
    // Queues the whole block, or nothing and a negative code.
    int write(const std::uint8_t* data, int length);
    int write(std::uint8_t byte) { return write(&byte, 1); }
    int write(std::string_view text) {
        return write(reinterpret_cast<const std::uint8_t*>(text.data()), static_cast<int>(text.size()));
    }
    int outputUsed();
    int outputFree();
    void discardInput();
    void discardOutput();

    // --- lines and line settings -----------------------------------------------------------
    void setLines(bool dtr, bool rts);
    bool dtr() const { return dtr_; }
    bool rts() const { return rts_; }
    bool carrierDetect();
    ModemLines modemLines();
    int setBaud(long bps);
    long baud() const { return baud_; }
    void softwareFlowOn(int fullLevel, int resumeLevel, int direction);
    void softwareFlowOff();

    // --- triggers and notifications --------------------------------------------------------
    int addTimerTrigger();
    int addStatusTrigger(int kind);
    int armTimer(int handle, long ticks, bool on);
    int armStatusTrigger(int handle, int level, bool on);
    int removeTrigger(int handle);
    void enableDataNotification(bool on = true);
    void attachHandler(PortHandler handler, const void* session);
    void detachHandler(const void* session);
    // Returns the previous state. While held nothing is delivered; what came up meanwhile is
    // delivered after the hold ends.
    bool holdNotifications(bool on);
    // Moves waiting input into the buffer and output to the device now (synchronous waits).
    void poll();

private:
    friend class TPortDispatcher;
    struct Trigger {
        int kind = -1;  // -1 free, 0 timer, else status kind
        bool armed = false;
        ClockMs due = 0;
        int level = 0;
        ModemLines lastLines;
    };
    struct Event {
        unsigned message;
        std::uint16_t handle;
    };

    int openWith(std::unique_ptr<PortDevice> device);
    // All with mutex_ held.
    void pumpInput();
    void pumpOutput();
    void refreshLines();
    void checkInputLevels();
    void collectEvents(ClockMs now);
    ClockMs nextDeadline(ClockMs now) const;
    bool wantsWrite() const;
    int triggerIndex(int handle) const;
    int queuedOutput();

    // The dispatcher loop's pieces.
    bool dispatchOne();  // delivers one event; false when none could be delivered
    void waitForWork();

    Clock& clock_;
    std::uint16_t portId_;
    std::string deviceName_;
    std::string lockDirectory_ = "/var/lock";
    int inSize_ = 8192;
    int outSize_ = 8192;
    unsigned hwFlow_ = 0;
    std::string lastErrorText_;

    mutable std::mutex mutex_;
    std::unique_ptr<PortDevice> device_;
    std::unique_ptr<TPortDispatcher> dispatcher_;
    bool stopping_ = false;
    std::deque<std::uint8_t> input_;
    std::deque<std::uint8_t> output_;
    bool dtr_ = false, rts_ = false;
    bool rtsThrottled_ = false;
    bool deviceDoesHwFlow_ = false;
    long baud_ = 19200;
    ModemLines lines_;
    ClockMs nextLinePoll_ = 0;

    int flowDirection_ = 0;
    int flowFull_ = 0, flowResume_ = 0;
    bool remoteStoppedUs_ = false;  // XOFF received
    bool weStoppedRemote_ = false;  // XOFF sent
    int controlByte_ = -1;         // XON/XOFF waiting to go out ahead of the queue

    std::vector<Trigger> triggers_;
    std::deque<Event> pending_;
    bool dataNotify_ = false;
    bool freshData_ = false;
    ClockMs lastDataNotify_ = 0;
    PortHandler handler_;
    const void* session_ = nullptr;
    bool held_ = false;
    bool delivering_ = false;
    Wakeup deliveryDone_;
};

}  // namespace pellora::fax
