// The device under a TComPort: a serial line that moves bytes and modem control lines.
//
// TComPort keeps its own buffers, flow control and triggers; a device only moves bytes without
// blocking and tells the state of the lines. Two kinds exist: the termios backend for real
// serial devices and pseudo-terminals, and the simulated modem of the test rig.
#pragma once

#include <cstdint>

#include "fax/engine/clock.h"

namespace pellora::fax {

struct ModemLines {
    bool dcd = false;  // carrier detect
    bool cts = true;   // clear to send
    bool dsr = true;
    bool ri = false;   // ring indicator
    bool operator==(const ModemLines&) const = default;
};

class PortDevice {
public:
    virtual ~PortDevice() = default;

    // Reads what is there, up to `max` bytes, without blocking: the count, or < 0 on error.
    virtual int read(std::uint8_t* buffer, int max) = 0;
    // Writes what the device takes now, without blocking: the count taken, or < 0 on error.
    virtual int write(const std::uint8_t* data, int length) = 0;
    // Bytes the device has taken but not yet sent down the line.
    virtual int pendingOutput() { return 0; }

    virtual void setLines(bool dtr, bool rts) = 0;
    virtual ModemLines lines() = 0;
    // Returns 0 or a negative error code (unsupported rate).
    virtual int setBaud(long bps) = 0;
    // RTS/CTS flow done below the port (by the driver). Returns true when the device does it;
    // otherwise the port itself holds output while CTS is off.
    virtual bool setHardwareFlow(bool on) = 0;
    virtual void discardInput() = 0;
    virtual void discardOutput() = 0;

    // Blocks until input may be waiting, output room may have appeared (when `wantWrite`),
    // wake() was called or `deadline` on `clock` has come. May return early.
    virtual void wait(Clock& clock, ClockMs deadline, bool wantWrite) = 0;
    virtual void wake() = 0;
    // How long the port should wait at most before looking at the modem lines again, in
    // milliseconds of the port's clock; kForever when the device wakes the port on a change.
    virtual ClockMs linePollInterval() const { return kForever; }
};

}  // namespace pellora::fax
