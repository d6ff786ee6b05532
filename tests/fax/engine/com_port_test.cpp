// TComPort over a pseudo-terminal (the test plays the modem on the master side) and over a
// small in-memory device where the modem control lines matter.
#include "fax/engine/com_port.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <functional>
#include <mutex>

#include "fax/engine/posix_port_device.h"
#include "fax/image/fax_errors.h"
#include "pty_pair.h"

namespace pellora::fax {
namespace {

using test::PtyPair;
namespace fs = std::filesystem;

struct Event {
    unsigned message;
    std::uint16_t handle;
    std::uint32_t param;
    ClockMs at;
};

// Collects what a port's handler is told; the test thread waits on it.
class Recorder {
public:
    explicit Recorder(TComPort& port) : port_(port) {}

    PortHandler handler(std::function<void(unsigned, std::uint16_t)> extra = nullptr) {
        // The event is recorded before `extra` runs, so a test that waits for what `extra`
        // did also finds the event itself.
        return [this, extra](unsigned m, std::uint16_t h, std::uint32_t p) {
            {
                std::lock_guard lock(mutex_);
                events_.push_back({m, h, p, port_.clock().now()});
                threads_.push_back(std::this_thread::get_id());
            }
            if (extra) extra(m, h);
            std::lock_guard lock(mutex_);
            cv_.notify_all();
        };
    }
    bool waitFor(const std::function<bool(const std::vector<Event>&)>& pred, int ms = 3000) {
        std::unique_lock lock(mutex_);
        return cv_.wait_for(lock, std::chrono::milliseconds(ms), [&] { return pred(events_); });
    }
    std::vector<Event> events() {
        std::lock_guard lock(mutex_);
        return events_;
    }
    std::vector<std::thread::id> threads() {
        std::lock_guard lock(mutex_);
        return threads_;
    }
    static auto count(unsigned message, int handle = -1) {
        return [=](const std::vector<Event>& ev) {
            return std::count_if(ev.begin(), ev.end(), [&](const Event& e) {
                return e.message == message && (handle < 0 || e.handle == handle);
            });
        };
    }

private:
    TComPort& port_;
    std::mutex mutex_;
    std::condition_variable cv_;
    std::vector<Event> events_;
    std::vector<std::thread::id> threads_;
};

class TempDir {
public:
    TempDir() {
        char tmpl[] = "/tmp/pellora-port-XXXXXX";
        path_ = ::mkdtemp(tmpl);
    }
    ~TempDir() { fs::remove_all(path_); }
    const std::string& path() const { return path_; }

private:
    std::string path_;
};

std::vector<std::uint8_t> everyByte(int repeats) {
    std::vector<std::uint8_t> v;
    for (int r = 0; r < repeats; ++r)
        for (int b = 0; b < 256; ++b) v.push_back(static_cast<std::uint8_t>((b + r) & 0xFF));
    return v;
}

struct PtyPort {
    PtyPair pty;
    TempDir locks;
    TComPort port;
    explicit PtyPort(Clock& clock = RealClock::instance()) : port(clock) {
        port.setDeviceName(pty.path());
        port.setLockDirectory(locks.path());
        EXPECT_EQ(port.open(), 0) << port.lastErrorText();
    }
};

// --- bytes --------------------------------------------------------------------------------

TEST(ComPortPty, MovesEveryByteValueBothWaysUntouched) {
    PtyPort p;
    std::vector<std::uint8_t> got;
    std::mutex m;
    Recorder rec(p.port);
    p.port.attachHandler(rec.handler([&](unsigned msg, std::uint16_t) {
        if (msg != kPortDataMessage) return;
        std::uint8_t buf[1000];
        std::lock_guard lock(m);
        while (int n = p.port.read(buf, sizeof buf)) got.insert(got.end(), buf, buf + n);
    }), &p);
    p.port.enableDataNotification();

    // More than the input buffer holds: the handler keeps up while it arrives. XON, XOFF,
    // DLE, CR and NUL must all pass as data while software flow is off.
    auto in = everyByte(48);
    p.pty.send(in);
    ASSERT_TRUE(rec.waitFor([&](auto&) {
        std::lock_guard lock(m);
        return got.size() >= in.size();
    }));
    {
        std::lock_guard lock(m);
        EXPECT_EQ(got, in);
    }

    auto out = everyByte(32);  // exactly OutSize
    ASSERT_EQ(static_cast<int>(out.size()), p.port.OutSize());
    ASSERT_EQ(p.port.write(out.data(), static_cast<int>(out.size())), 0);
    EXPECT_EQ(p.pty.receive(out.size()), out);

    // Every notification came from one thread, the port's dispatcher, never the test's.
    auto threads = rec.threads();
    ASSERT_FALSE(threads.empty());
    for (auto id : threads) {
        EXPECT_EQ(id, threads.front());
        EXPECT_NE(id, std::this_thread::get_id());
    }
    // The port id rides in the upper 16 bits of the third value.
    for (const Event& e : rec.events()) EXPECT_EQ(e.param >> 16, p.port.portId());
}

TEST(ComPortPty, ReadsByteByByteAndReportsAnEmptyBuffer) {
    PtyPort p;
    EXPECT_FALSE(p.port.byteAvailable());
    EXPECT_EQ(p.port.readByte(), ecBufferIsEmpty);
    p.pty.send(std::string("OK\r\n"));
    std::string line;
    for (int i = 0; i < 200 && line.size() < 4; ++i) {
        p.port.poll();
        while (p.port.byteAvailable()) line += static_cast<char>(p.port.readByte());
        if (line.size() < 4) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    EXPECT_EQ(line, "OK\r\n");
}

TEST(ComPortPty, QueuesWholeBlocksOrNothingAndFiresRoomAndDrainedTriggers) {
    PtyPort p;
    Recorder rec(p.port);
    p.port.attachHandler(rec.handler(), &p);
    // The modem says XOFF: output stays in our buffer, so its levels can be watched.
    p.port.softwareFlowOn(6144, 2048, kFlowObeyRemote);
    p.pty.send(std::vector<std::uint8_t>{0x13});
    for (int i = 0; i < 100; ++i) {
        p.port.poll();
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    std::vector<std::uint8_t> block(5000, 0x55);
    ASSERT_EQ(p.port.write(block.data(), 5000), 0);
    EXPECT_EQ(p.port.outputUsed(), 5000);
    EXPECT_EQ(p.port.outputFree(), 8192 - 5000);
    std::vector<std::uint8_t> more(4000, 0xAA);
    EXPECT_EQ(p.port.write(more.data(), 4000), ecPutBlockFail);
    EXPECT_EQ(p.port.outputUsed(), 5000) << "a refused block must leave nothing behind";
    std::vector<std::uint8_t> huge(9000, 0);
    EXPECT_EQ(p.port.write(huge.data(), 9000), ecOutputBufferTooSmall);
    EXPECT_TRUE(p.pty.receive(1, 200).empty()) << "nothing may go out while XOFF holds";

    int room = p.port.addStatusTrigger(kTriggerOutputRoom);
    int drained = p.port.addStatusTrigger(kTriggerOutputUsed);
    ASSERT_GT(room, 0);
    ASSERT_GT(drained, 0);
    ASSERT_NE(room, drained);
    ASSERT_EQ(p.port.armStatusTrigger(room, 4096, true), 0);
    ASSERT_EQ(p.port.armStatusTrigger(drained, 0, true), 0);
    EXPECT_FALSE(rec.waitFor(Recorder::count(kPortStatusMessage), 200));

    p.pty.send(std::vector<std::uint8_t>{0x11});  // XON
    auto sent = p.pty.receive(5000);
    EXPECT_EQ(sent, block);
    ASSERT_TRUE(rec.waitFor(Recorder::count(kPortStatusMessage, drained)));
    auto ev = rec.events();
    auto roomAt = std::find_if(ev.begin(), ev.end(), [&](auto& e) { return e.handle == room; });
    auto drainedAt =
        std::find_if(ev.begin(), ev.end(), [&](auto& e) { return e.handle == drained; });
    ASSERT_NE(roomAt, ev.end());
    EXPECT_LT(roomAt - ev.begin(), drainedAt - ev.begin());
    // One-shot: nothing more until armed again.
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(Recorder::count(kPortStatusMessage)(rec.events()), 2);
    EXPECT_EQ(p.port.removeTrigger(room), 0);
    EXPECT_EQ(p.port.removeTrigger(room), ecBadTriggerHandle);
    EXPECT_EQ(p.port.armStatusTrigger(room, 1, true), ecBadTriggerHandle);
}

TEST(ComPortPty, SendsXoffAtTheFullLevelAndXonAtTheResumeLevel) {
    PtyPort p;
    p.port.softwareFlowOn(6144, 2048, kFlowSendToRemote);
    auto data = everyByte(28);  // 7168 bytes, XON and XOFF values among them
    p.pty.send(data);
    auto xoff = p.pty.receive(1);
    ASSERT_EQ(xoff, std::vector<std::uint8_t>{0x13});
    for (int i = 0; i < 100 && p.port.inputUsed() < 7168; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    ASSERT_EQ(p.port.inputUsed(), 7168) << "sending XOFF must not make us obey XOFF/XON";

    std::vector<std::uint8_t> got(7168);
    ASSERT_EQ(p.port.read(got.data(), 5000), 5000);
    EXPECT_TRUE(p.pty.receive(1, 100).empty()) << "2168 bytes still wait: above the resume level";
    ASSERT_EQ(p.port.read(got.data() + 5000, 200), 200);
    EXPECT_EQ(p.pty.receive(1), std::vector<std::uint8_t>{0x11});
    ASSERT_EQ(p.port.read(got.data() + 5200, 5000), 1968);
    EXPECT_EQ(got, data);
}

TEST(ComPortPty, ObeysXoffAndXonFromTheModemAndKeepsThemOutOfTheData) {
    PtyPort p;
    p.port.softwareFlowOn(6144, 2048, kFlowObeyRemote);
    p.pty.send(std::vector<std::uint8_t>{'A', 0x13, 'B'});
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    p.port.write(std::string_view("held"));
    EXPECT_TRUE(p.pty.receive(4, 200).empty());
    p.pty.send(std::vector<std::uint8_t>{0x11, 'C'});
    auto out = p.pty.receive(4);
    EXPECT_EQ(std::string(out.begin(), out.end()), "held");
    std::uint8_t buf[8];
    EXPECT_EQ(p.port.read(buf, 8), 3);
    EXPECT_EQ(std::string(buf, buf + 3), "ABC");

    // Off again: the control bytes are plain data.
    p.port.softwareFlowOff();
    p.pty.send(std::vector<std::uint8_t>{0x13, 0x11});
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(p.port.read(buf, 8), 2);
    EXPECT_EQ(buf[0], 0x13);
    p.port.write(std::string_view("free"));
    EXPECT_EQ(p.pty.receive(4).size(), 4u);
}

// --- timers in simulated time ---------------------------------------------------------------

TEST(ComPortPty, TimersCountTicksOfThePortsClock) {
    SimClock clock;
    PtyPort p(clock);
    Recorder rec(p.port);
    p.port.attachHandler(rec.handler(), &p);
    int t1 = p.port.addTimerTrigger(), t2 = p.port.addTimerTrigger(), t5 = p.port.addTimerTrigger();
    int gone = p.port.addTimerTrigger();
    ClockMs start = clock.now();
    p.port.armTimer(t5, 5, true);
    p.port.armTimer(t1, 1, true);
    p.port.armTimer(t2, 2, true);
    p.port.armTimer(gone, 3, true);
    p.port.removeTrigger(gone);
    clock.sleepFor(400);
    auto ev = rec.events();
    ASSERT_EQ(ev.size(), 3u);
    EXPECT_EQ(ev[0].handle, t1);
    EXPECT_EQ(ev[0].at - start, 55);
    EXPECT_EQ(ev[1].handle, t2);
    EXPECT_EQ(ev[1].at - start, 110);
    EXPECT_EQ(ev[2].handle, t5);
    EXPECT_EQ(ev[2].at - start, 275);
    for (auto& e : ev) EXPECT_EQ(e.message, kPortTimerMessage);

    // Held notifications wait for the hold to end; disarming cancels.
    EXPECT_FALSE(p.port.holdNotifications(true));
    p.port.armTimer(t1, 1, true);
    p.port.armTimer(t2, 1, true);
    p.port.armTimer(t2, 1, false);
    clock.sleepFor(200);
    EXPECT_EQ(rec.events().size(), 3u);
    EXPECT_TRUE(p.port.holdNotifications(false));
    clock.sleepFor(10);
    ev = rec.events();
    ASSERT_EQ(ev.size(), 4u);
    EXPECT_EQ(ev[3].handle, t1);

    // A detached handler hears nothing.
    p.port.detachHandler(&p);
    p.port.armTimer(t1, 1, true);
    clock.sleepFor(200);
    EXPECT_EQ(rec.events().size(), 4u);
}

TEST(ComPortPty, RunsOutOfTriggerSlotsWithAnError) {
    PtyPort p;
    std::vector<int> handles;
    int h;
    while ((h = p.port.addTimerTrigger()) > 0 && handles.size() < 1000) handles.push_back(h);
    EXPECT_EQ(h, ecNoMoreTriggers);
    EXPECT_LE(handles.size(), 65535u);
    p.port.removeTrigger(handles[3]);
    EXPECT_EQ(p.port.addStatusTrigger(kTriggerOutputRoom), handles[3]);
    EXPECT_EQ(p.port.addStatusTrigger(2), ecBadArgument);
}

// --- locks and open errors --------------------------------------------------------------------

std::string readFile(const std::string& path) {
    std::ifstream in(path);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

TEST(ComPortOpen, LocksTheDeviceAndRefusesSecondOpens) {
    PtyPair pty;
    TempDir locks;
    std::string lock = locks.path() + "/" + lockFileNameFor(pty.path());
    EXPECT_EQ(lockFileNameFor(pty.path()).rfind("LCK..pts_", 0), 0u);
    {
        TComPort port;
        port.setDeviceName(pty.path());
        port.setLockDirectory(locks.path());
        ASSERT_EQ(port.open(), 0);
        char expect[16];
        std::snprintf(expect, sizeof expect, "%10d\n", static_cast<int>(::getpid()));
        EXPECT_EQ(readFile(lock), expect);

        EXPECT_EQ(port.open(), ecAlreadyOpen);
        TComPort second;
        second.setDeviceName(pty.path());
        second.setLockDirectory(locks.path());
        EXPECT_EQ(second.open(), ecAlreadyOpen);
        EXPECT_FALSE(second.isOpen());
        EXPECT_TRUE(fs::exists(lock)) << "a refused open must not take the owner's lock";
    }
    EXPECT_FALSE(fs::exists(lock)) << "closing releases the lock";
}

TEST(ComPortOpen, LockFilesOfOtherProcesses) {
    PtyPair pty;
    TempDir locks;
    std::string lock = locks.path() + "/" + lockFileNameFor(pty.path());
    TComPort port;
    port.setDeviceName(pty.path());
    port.setLockDirectory(locks.path());

    // A live process (init) holds it: in use elsewhere, lock left alone.
    std::ofstream(lock) << "         1\n";
    EXPECT_EQ(port.open(), ecHardware);
    EXPECT_NE(port.lastErrorText().find("in use"), std::string::npos) << port.lastErrorText();
    EXPECT_EQ(readFile(lock), "         1\n");

    // A process that has ended left it: removed and taken over.
    pid_t child = ::fork();
    if (child == 0) ::_exit(0);
    ::waitpid(child, nullptr, 0);
    std::ofstream(lock, std::ios::trunc) << std::string(10 - std::to_string(child).size(), ' ')
                                         << child << "\n";
    ASSERT_EQ(port.open(), 0) << port.lastErrorText();
    EXPECT_EQ(std::stol(readFile(lock)), ::getpid());
    port.close();

    // Garbage in a lock names no process: stale as well.
    std::ofstream(lock, std::ios::trunc) << "garbage";
    EXPECT_EQ(port.open(), 0) << port.lastErrorText();
}

TEST(ComPortOpen, ErrorsForMissingDevicesAndUnusableLockFolders) {
    struct Case {
        std::string device;
        std::string lockDir;
        int code;
        std::string textPart;
    };
    PtyPair pty;
    TempDir locks;
    const Case cases[] = {
        {"/dev/ttyPelloraNone", locks.path(), ecBadId, "No such serial device"},
        {"/etc/hostname", locks.path(), ecBadId, "not a serial device"},
        {pty.path(), "/sys", ecAccessDenied, "lock folder /sys is not writable"},
    };
    for (const Case& c : cases) {
        TComPort port;
        port.setDeviceName(c.device);
        port.setLockDirectory(c.lockDir);
        EXPECT_EQ(port.open(), c.code) << c.device;
        EXPECT_NE(port.lastErrorText().find(c.textPart), std::string::npos) << port.lastErrorText();
        EXPECT_FALSE(port.isOpen());
        EXPECT_TRUE(fs::is_empty(locks.path())) << "a failed open leaves no lock behind";
    }
    // A missing lock folder is no reason to refuse a port: exclusive open still guards it.
    TComPort port;
    port.setDeviceName(pty.path());
    port.setLockDirectory(locks.path() + "/none");
    EXPECT_EQ(port.open(), 0);
}

TEST(ComPortOpen, TellsAUserWithoutPermissionAboutTheDialoutGroup) {
    PtyPair pty;
    ::chmod(pty.path().c_str(), 0600);  // root's only, like a serial device of group dialout
    TempDir locks;
    ::chmod(locks.path().c_str(), 01777);
    pid_t child = ::fork();
    if (child == 0) {
        if (::getuid() == 0 && (::setgid(65534) != 0 || ::setuid(65534) != 0)) ::_exit(3);
        TComPort port;
        port.setDeviceName(pty.path());
        port.setLockDirectory(locks.path());
        int code = port.open();
        bool text = port.lastErrorText().find("dialout") != std::string::npos;
        ::_exit(code == ecAccessDenied && text ? 0 : 1);
    }
    int status = 0;
    ::waitpid(child, &status, 0);
    ASSERT_TRUE(WIFEXITED(status));
    if (WEXITSTATUS(status) == 3) GTEST_SKIP() << "cannot become another user here";
    EXPECT_EQ(WEXITSTATUS(status), 0);
}

// --- modem control lines (in-memory device) -----------------------------------------------

// A device whose lines the test sets, to see the port follow DCD and CTS.
class LineDevice : public PortDevice {
public:
    explicit LineDevice(Clock& clock) : clock_(clock) {}
    int read(std::uint8_t*, int) override { return 0; }
    int write(const std::uint8_t* data, int length) override {
        std::lock_guard lock(m_);
        written.insert(written.end(), data, data + length);
        return length;
    }
    void setLines(bool d, bool r) override {
        std::lock_guard lock(m_);
        dtr = d;
        rts = r;
    }
    ModemLines lines() override {
        std::lock_guard lock(m_);
        return lines_;
    }
    int setBaud(long bps) override {
        baud = bps;
        return bps == 12345 ? ecBaudRate : 0;
    }
    bool setHardwareFlow(bool) override { return false; }
    void discardInput() override {}
    void discardOutput() override {}
    void wait(Clock& c, ClockMs deadline, bool) override { c.waitUntil(wakeup_, deadline); }
    void wake() override { clock_.wake(wakeup_); }

    void set(ModemLines l) {
        {
            std::lock_guard lock(m_);
            lines_ = l;
        }
        wake();
    }
    std::string out() {
        std::lock_guard lock(m_);
        return std::string(written.begin(), written.end());
    }
    bool dtr = false, rts = false;
    long baud = 0;

private:
    Clock& clock_;
    std::mutex m_;
    ModemLines lines_;
    std::vector<std::uint8_t> written;
    Wakeup wakeup_;
};

TEST(ComPortLines, FollowsDtrRtsDcdCtsAndBaud) {
    SimClock clock;
    TComPort port(clock);
    auto owned = std::make_unique<LineDevice>(clock);
    LineDevice& dev = *owned;
    port.setHWFlowOptions(hwfUseRTS | hwfRequireCTS);
    ASSERT_EQ(port.open(std::move(owned)), 0);
    EXPECT_TRUE(dev.dtr && dev.rts) << "an open port raises DTR and RTS";
    EXPECT_EQ(dev.baud, 19200);
    port.setLines(false, true);
    EXPECT_FALSE(dev.dtr);
    EXPECT_TRUE(dev.rts);
    port.setLines(true, false);
    EXPECT_TRUE(dev.dtr);
    EXPECT_FALSE(dev.rts);
    EXPECT_EQ(port.setBaud(9600), 0);
    EXPECT_EQ(port.baud(), 9600);
    EXPECT_EQ(port.setBaud(12345), ecBaudRate);
    EXPECT_EQ(port.baud(), 9600) << "a refused rate leaves the rate as it was";

    Recorder rec(port);
    port.attachHandler(rec.handler(), &port);
    int lines = port.addStatusTrigger(kTriggerModemLines);
    port.armStatusTrigger(lines, 0, true);
    EXPECT_FALSE(port.carrierDetect());
    clock.sleepFor(100);
    EXPECT_TRUE(rec.events().empty());
    dev.set({.dcd = true, .cts = true});
    clock.sleepFor(10);
    EXPECT_TRUE(port.carrierDetect());
    ASSERT_EQ(rec.events().size(), 1u);
    EXPECT_EQ(rec.events()[0].handle, lines);

    // CTS off holds output in the buffer (we asked to require CTS), on again lets it go.
    dev.set({.dcd = true, .cts = false});
    port.write(std::string_view("page data"));
    clock.sleepFor(100);
    EXPECT_EQ(dev.out(), "");
    EXPECT_EQ(port.outputUsed(), 9);
    dev.set({.dcd = true, .cts = true});
    clock.sleepFor(10);
    EXPECT_EQ(dev.out(), "page data");
    port.close();
    EXPECT_FALSE(port.isOpen());
    EXPECT_EQ(port.write(std::string_view("x")), ecCommNotOpen);
}

}  // namespace
}  // namespace pellora::fax
