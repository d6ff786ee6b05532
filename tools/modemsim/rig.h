// The simulated modem rig: a fax modem on a simulated telephone line, for tests and
// demonstrations without hardware.
//
// The modem is Class 1 (SpanDSP's T.31 emulation) or, with RigOptions::modemClass, a Class 2
// or Class 2.0 modem: a command layer of the rig's that speaks +F commands and reports to its
// DTE, over a SpanDSP fax terminal that runs T.30 on the line. Pages cross between the two as
// one-page TIFF files; the line stands still while the modem waits for its DTE.
//
// The modem's serial side faces a DTE: our engine in the same process (SimPortDevice, in
// simulated time) or any program on a pseudo-terminal (the modemsim program, in real time or a
// few times faster). Its line side is joined, 160 samples every 20 ms and 80 ms late each way,
// to the far end: a SpanDSP fax terminal that receives into a TIFF file or calls and sends
// one, or a second Class 1 modem with a DTE of its own. The rig plays the exchange: ATD
// connects, an incoming call rings, ATA answers, ATH hangs up; and it plays the faults a test
// asks for.
#pragma once

#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "fax/engine/clock.h"
#include "fax/engine/port_device.h"

namespace pellora::modemsim {

using fax::Clock;
using fax::ClockMs;

enum class FaultKind {
    Busy,          // the number is busy (count times, then it answers)
    NoDialTone,
    Voice,         // a person answers
    NoCarrier,     // the call fails with NO CARRIER
    NoAnswer,
    Error,         // the modem answers ERROR to a command that starts with `text`
    Silence,       // the far end answers but never makes a sound
    CarrierLost,   // the line drops in the middle of page `count`
    Dcn,           // the far machine disconnects right after the first exchange
    Garbage,       // `count` junk bytes reach the DTE before the first response
    Ftt,           // the far machine fails every training check at a rate listed in `text`
    Rtn,           // page `count` arrives so damaged that the far machine answers RTN
    NoFine,        // the far machine cannot take fine resolution (its DIS says normal only)
};

struct Fault {
    FaultKind kind;
    int count = 1;
    std::string text;
};

// "busy", "busy:3", "no-dial-tone", "voice", "no-carrier", "no-answer", "error:AT+FCLASS=1",
// "silence", "carrier-lost:2", "dcn", "garbage:40", "ftt:14400,12000", "rtn:2", "no-fine".
// Returns false for anything else.
bool parseFault(const std::string& description, Fault& out);
// "14400,9600" as {14400, 9600}; empty unless every item is a fast modem's rate.
std::vector<int> rateList(const std::string& text);

enum class FarEnd {
    Receive,  // a fax machine that answers our call and stores the pages
    Send,     // a fax machine that calls us and sends a TIFF
    Modem,    // a second simulated modem with a DTE of its own (--pair)
};

struct RigOptions {
    FarEnd far = FarEnd::Receive;
    std::string tiff;  // where a far receiver stores pages, or what a far sender sends
    int rings = 2;     // rings of an incoming call before the caller gives up
    ClockMs ringInterval = 3000;
    ClockMs answerDelay = 1500;  // from ATD until the far end picks up
    int serialBps = 19200;       // pace of the bytes between DTE and modem
    std::vector<Fault> faults;
    std::string farIdent = "+1 555 0100";
    // 1: a Class 1 modem (SpanDSP's T.31). 2 or 20 (for 2.0): a Class 2 or 2.0 modem that runs
    // T.30 itself (a SpanDSP fax terminal) and speaks +F commands; not with FarEnd::Modem, whose
    // two modems are always Class 1.
    int modemClass = 1;
    bool log = false;  // SpanDSP's protocol log on stderr
};

// The serial side of one modem: bytes both ways and the control lines.
class DteLink {
public:
    virtual ~DteLink() = default;
    // Up to `max` bytes the DTE wrote.
    virtual int takeFromDte(std::uint8_t* buffer, int max) = 0;
    virtual void giveToDte(const std::uint8_t* data, int length) = 0;
    virtual void setModemLines(bool dcd, bool cts, bool ri) = 0;
    virtual bool dtr() { return true; }
};

// A DteLink shared by the rig and an in-process port (SimPortDevice).
class SimSerialLine : public DteLink {
public:
    explicit SimSerialLine(Clock& clock) : clock_(clock) {}
    int takeFromDte(std::uint8_t* buffer, int max) override;
    void giveToDte(const std::uint8_t* data, int length) override;
    void setModemLines(bool dcd, bool cts, bool ri) override;
    bool dtr() override;

    // The port's side.
    int portRead(std::uint8_t* buffer, int max);
    int portWrite(const std::uint8_t* data, int length);
    int portPending();
    void portSetLines(bool dtr, bool rts);
    fax::ModemLines portLines();
    void portDiscardInput();
    void portDiscardOutput();
    void portWait(Clock& clock, ClockMs deadline);
    void portWake();

private:
    static constexpr std::size_t kDeviceBuffer = 1024;  // like a UART's and driver's queue
    Clock& clock_;
    std::mutex mutex_;
    std::deque<std::uint8_t> toModem_, toDte_;
    fax::ModemLines lines_{.dcd = false, .cts = true, .dsr = true, .ri = false};
    bool dtr_ = true;
    fax::Wakeup portWakeup_;
};

// The PortDevice a TComPort opens to talk to the rig's modem.
std::unique_ptr<fax::PortDevice> makeSimPortDevice(std::shared_ptr<SimSerialLine> line);

class ModemRig {
public:
    // `clock` paces the rig. `speed` > 1 runs a real clock's line that many times faster.
    ModemRig(Clock& clock, RigOptions options, double speed = 1.0);
    ~ModemRig();
    ModemRig(const ModemRig&) = delete;
    ModemRig& operator=(const ModemRig&) = delete;

    // The serial side of the modem (index 0) and, with FarEnd::Modem, of the second one (1).
    // Set before start(); for in-process use take serialLine(0) and serialLine(1) (null for a
    // modem the rig does not have).
    void setDteLink(int modem, std::shared_ptr<DteLink> link);
    std::shared_ptr<SimSerialLine> serialLine(int modem = 0);

    void start();
    void stop();

    // True once the call is over: the far machine finished (or gave up) and, with a second
    // modem, both DTEs hung up.
    bool finished() const;
    // The fax went through: the far machine received or sent its pages without error
    // (with a second modem: a call was connected and both sides hung up).
    bool faxOk() const;
    int farPages() const;
    std::string farResult() const;  // SpanDSP's text for how the far machine's call ended
    int callsConnected() const;
    // The far machine's frames in order, "<DIS" sent by it, ">DCS" received by it.
    std::string farFrames() const;

    struct Impl;  // SpanDSP lives only in rig.cpp

private:
    std::unique_ptr<Impl> impl_;
};

}  // namespace pellora::modemsim
