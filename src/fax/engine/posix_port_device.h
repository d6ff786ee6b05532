// The termios backend: real serial devices (/dev/ttyS*, ttyUSB*, ttyACM*) and pseudo-terminals.
//
// Opening follows the conventions other Linux modem programs follow, so that they and we never
// share a modem by accident: a UUCP lock file LCK..<device> holding our PID in the lock folder
// (a lock whose process is gone is removed), and exclusive use of the tty (TIOCEXCL). This file
// is the only place of the engine that makes POSIX calls.
#pragma once

#include <memory>
#include <string>

#include "fax/engine/port_device.h"

namespace pellora::fax {

struct PosixOpenOptions {
    std::string lockDirectory = "/var/lock";
    long baud = 19200;
};

struct PosixOpenResult {
    std::unique_ptr<PortDevice> device;  // set on success
    int code = 0;                        // 0, or a negative error code
    std::string text;                    // what went wrong, for the user
};

PosixOpenResult openPosixPortDevice(const std::string& path, const PosixOpenOptions& options);

// The lock file name for a device path ("/dev/ttyS0" -> "LCK..ttyS0"; symlinks are followed,
// so every name of one device maps to one lock; "/dev/pts/3" -> "LCK..pts_3").
std::string lockFileNameFor(const std::string& path);

}  // namespace pellora::fax
