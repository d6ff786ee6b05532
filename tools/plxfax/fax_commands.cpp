// plxfax send / receive / modem-check: the fax components on a real or simulated modem.
//
// The components run on this program's main thread through an EventQueueNotifier, exactly as
// they run on the window thread of the desktop program: the engine works on the port's
// dispatcher thread and its notifications are handled here, between waits of the main loop.
#include <signal.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <clocale>
#include <cstdio>
#include <filesystem>
#include <stdexcept>
#include <string>

#include "commands.h"
#include "fax/components/event_queue_notifier.h"
#include "fax/components/fax_log.h"
#include "fax/components/fax_status_model.h"
#include "fax/components/receive_fax.h"
#include "fax/components/send_fax.h"
#include "fax/engine/com_port.h"
#include "fax/image/fax_errors.h"
#include "fax/image/plf.h"

namespace plxfax {
namespace {

namespace fax = pellora::fax;
using Clock = std::chrono::steady_clock;

constexpr int kExitInterrupted = 130;

// --- Ctrl-C ------------------------------------------------------------------------------------

std::atomic<int> gInterrupted{0};

extern "C" void onInterrupt(int) { gInterrupted.store(1); }

// The first Ctrl-C (or SIGTERM) asks for a clean stop; SA_RESETHAND lets a second one end the
// program at once should the modem never let go.
void catchInterrupts() {
    gInterrupted.store(0);
    struct sigaction sa {};
    sa.sa_handler = onInterrupt;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESETHAND;
    ::sigaction(SIGINT, &sa, nullptr);
    ::sigaction(SIGTERM, &sa, nullptr);
}

// --- options -----------------------------------------------------------------------------------

unsigned number(const std::string& opt, const std::string& v, unsigned min, unsigned max) {
    try {
        std::size_t used = 0;
        if (v.empty() || v.front() == '-') throw std::out_of_range(v);
        const unsigned long n = std::stoul(v, &used);
        if (used != v.size() || n < min || n > max) throw std::out_of_range(v);
        return unsigned(n);
    } catch (const std::exception&) {
        throw UsageError{opt + " needs a number from " + std::to_string(min) + " to " +
                         std::to_string(max) + ", not '" + v + "'"};
    }
}

fax::TFaxClass classNamed(const std::string& v) {
    if (v == "auto") return fax::fcDetect;
    if (v == "1") return fax::fcClass1;
    if (v == "2") return fax::fcClass2;
    if (v == "2.0") return fax::fcClass2_0;
    throw UsageError{"--class wants auto, 1, 2 or 2.0, not '" + v + "'"};
}

// Options every fax command takes.
struct Common {
    std::string device;
    fax::TFaxClass faxClass = fax::fcDetect;
    std::string station;
    std::string modemInit;
    std::string history;

    // Takes args[i] (and its value) when it is a common option.
    bool take(const Args& args, std::size_t& i) {
        const std::string& a = args[i];
        auto value = [&]() -> const std::string& {
            if (i + 1 >= args.size()) throw UsageError{a + " needs a value"};
            return args[++i];
        };
        if (a == "--device") device = value();
        else if (a == "--class") faxClass = classNamed(value());
        else if (a == "--station") station = value();
        else if (a == "--init") modemInit = value();
        else if (a == "--history") history = value();
        else return false;
        return true;
    }
    void require() const {
        if (device.empty()) throw UsageError{"--device DEV is required"};
    }
};

// --- the status line ---------------------------------------------------------------------------

// Shows the run: on a terminal one line rewritten in place, otherwise one line whenever the
// status or the page changes (so a log of the run stays readable).
class StatusLine : public fax::TAbstractFaxStatus {
public:
    StatusLine() : tty_(::isatty(STDOUT_FILENO) == 1) {}

    void UpdateDisplay(bool first, bool last) override {
        if (first) model_.reset();
        if (last) {
            endLine();
            return;
        }
        if (!Fax()) return;
        const fax::FaxRunInfo info = Fax()->runInfo();
        const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                            Clock::now().time_since_epoch()).count();
        const fax::FaxStatusFields f = model_.update(info, ms);
        std::string line = f.status.empty() ? "(status " + std::to_string(info.statusCode) + ")" : f.status;
        // Pages are shown once there are any: a sender knows its total, a receiver counts.
        if (info.sending ? info.totalPages > 0 : info.currentPage > 0) {
            line += " | page " + f.currentPage;
            if (info.sending) line += "/" + f.totalPages;
        }
        line += " | " + f.bytesTransferred + " bytes";
        if (info.sending && info.pageLength > 0) line += " (" + std::to_string(f.meterPosition) + "%)";
        line += " | " + f.connectBPS + " bit/s";
        if (!f.remoteID.empty()) line += " | remote \"" + f.remoteID + "\"";
        line += " | " + f.elapsedTime.substr(f.elapsedTime.find_first_not_of(' '));
        if (tty_) {
            std::fprintf(stdout, "\r%s\x1b[K", fitTerminal(line).c_str());
            shown_ = true;
        } else {
            const long key = long(info.statusCode) * 100000 + info.currentPage;
            if (key == lastKey_) return;
            lastKey_ = key;
            std::fprintf(stdout, "%s\n", line.c_str());
        }
        std::fflush(stdout);
    }

    // Prints a line of its own without the status line running over it.
    void message(std::FILE* out, const std::string& text) {
        endLine();
        std::fprintf(out, "%s\n", text.c_str());
        std::fflush(out);
    }

    void endLine() {
        if (tty_ && shown_) {
            std::fputc('\n', stdout);
            std::fflush(stdout);
        }
        shown_ = false;
    }

private:
    // A line wider than the terminal would wrap, and "\r" would then rewrite only its tail.
    static std::string fitTerminal(const std::string& line) {
        winsize ws{};
        if (::ioctl(STDOUT_FILENO, TIOCGWINSZ, &ws) == 0 && ws.ws_col > 1 && line.size() >= ws.ws_col)
            return line.substr(0, ws.ws_col - 1);
        return line;
    }

    bool tty_;
    bool shown_ = false;
    long lastKey_ = -1;
    fax::FaxStatusModel model_;
};

// --- running a component -----------------------------------------------------------------------

void openPort(fax::TComPort& port, const std::string& device) {
    port.setDeviceName(device);
    const int rc = port.open();
    if (rc < 0) {
        std::string text = device + ": " + fax::faxErrorText(rc);
        if (!port.lastErrorText().empty()) text += " (" + port.lastErrorText() + ")";
        throw std::runtime_error(text);
    }
}

// Links the status line, the history file (when asked for) and the port to a component and
// gives it the options both commands share.
void attachCommon(fax::TAbstractFax& comp, const Common& c, StatusLine& status, fax::TFaxLog& history,
                  fax::TComPort& port) {
    status.setFax(&comp);
    if (!c.history.empty()) {
        history.FaxHistoryName = c.history;
        history.setFax(&comp);
    }
    comp.setComPort(&port);
    comp.setFaxClass(c.faxClass);
    comp.setStationID(c.station);
    comp.setModemInit(c.modemInit);
}

// Wires the events, starts the run with `begin` and handles notifications until it finishes.
// Returns the exit code. A run of several calls reports each failed call as it happens; the
// error of a single fax is the run's result and reported once, at the end.
template <typename Begin>
int runFax(const char* name, fax::TAbstractFax& comp, fax::EventQueueNotifier& queue,
           StatusLine& status, bool reportEachError, Begin begin) {
    bool finished = false;
    int result = 0;
    queue.OnHandlerException = [&](std::exception_ptr e) {
        try {
            std::rethrow_exception(e);
        } catch (const std::exception& ex) {
            status.message(stderr, std::string("plxfax ") + name + ": " + ex.what());
        } catch (...) {
        }
    };
    if (reportEachError)
        comp.OnFaxError = [&](fax::TCustomAbstractFax&, int code) {
            if (code != fax::ecCancelRequested)
                status.message(stderr, std::string("plxfax ") + name + ": call failed: " + fax::faxErrorText(code));
        };
    comp.OnFaxLog = [&](fax::TCustomAbstractFax& cp, fax::TFaxLogCode code) {
        switch (code) {
            case fax::lcTransmitOk:
                status.message(stdout, "sent to \"" + cp.RemoteID() + "\"");
                break;
            case fax::lcReceiveStart:
                status.message(stdout, "receiving " + cp.FaxFile() + " from \"" + cp.RemoteID() + "\"");
                break;
            case fax::lcReceiveOk:
                status.message(stdout, "received " + cp.FaxFile());
                break;
            default:
                break;
        }
    };
    comp.OnFaxFinish = [&](fax::TCustomAbstractFax&, int code) {
        finished = true;
        result = code;
    };

    // The fax history writes dates and times the way the user's locale does.
    std::setlocale(LC_TIME, "");
    catchInterrupts();
    begin();
    bool cancelled = false;
    Clock::time_point giveUp{};
    while (!finished) {
        queue.waitAndProcess(std::chrono::milliseconds(100));
        if (gInterrupted.load() && !cancelled) {
            cancelled = true;
            status.message(stderr, "plxfax: cancelling...");
            comp.AbortSession();
            // A session that is not running any more has nothing to cancel: do not wait for
            // a finish that will not come.
            giveUp = Clock::now() + std::chrono::seconds(15);
        }
        if (cancelled && !finished && Clock::now() > giveUp) {
            result = fax::ecCancelRequested;
            break;
        }
    }
    status.endLine();
    queue.OnHandlerException = nullptr;
    if (result == 0) return 0;
    std::fprintf(stderr, "plxfax %s: %s\n", name, fax::faxErrorText(result).c_str());
    return cancelled ? kExitInterrupted : 1;
}

}  // namespace

int sendCommand(const Args& args) {
    Common common;
    std::string cover, header, prefix;
    unsigned bps = 9600, attempts = 3, retryWait = 60;
    bool ecm = false, pulse = false;
    std::vector<std::string> positional;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        auto value = [&]() -> const std::string& {
            if (i + 1 >= args.size()) throw UsageError{a + " needs a value"};
            return args[++i];
        };
        if (common.take(args, i)) continue;
        if (a == "--bps") bps = number(a, value(), 2400, 14400);
        else if (a == "--header") header = value();
        else if (a == "--cover") cover = value();
        else if (a == "--ecm") ecm = true;
        else if (a == "--pulse") pulse = true;
        else if (a == "--prefix") prefix = value();
        else if (a == "--attempts") attempts = number(a, value(), 0, 100);
        else if (a == "--retry-wait") retryWait = number(a, value(), 0, 3600);
        else if (a.size() > 1 && a.front() == '-') throw UsageError{"unknown option " + a};
        else positional.push_back(a);
    }
    common.require();
    if (positional.size() < 2) throw UsageError{"expected a phone number and at least one PLF file"};
    const std::string number = positional.front();
    const std::vector<std::string> files(positional.begin() + 1, positional.end());
    // A wrong file is found here rather than after the modem was prepared and the number dialled.
    for (const auto& f : files) {
        fax::PlfReader reader;
        if (int rc = reader.open(f)) throw std::runtime_error(f + ": " + fax::faxErrorText(rc));
    }
    if (!cover.empty() && !std::filesystem::is_regular_file(cover))
        throw std::runtime_error(cover + ": " + fax::faxErrorText(fax::ecFileNotFound));

    // The port outlives the component: a run still going when the component goes is
    // cancelled on it.
    fax::TComPort port;
    fax::EventQueueNotifier queue;
    fax::TSendFax send(queue, &queue);
    StatusLine status;
    fax::TFaxLog history;
    attachCommon(send, common, status, history, port);
    send.PhoneNumber = number;
    send.FaxFileList = files;
    send.CoverFile = cover;
    send.HeaderLine = header;
    send.DialPrefix = prefix;
    send.DesiredBPS = bps;
    send.DesiredECM = ecm;
    send.ToneDial = !pulse;
    send.DialAttempts = attempts;
    send.DialRetryWait = retryWait;
    openPort(port, common.device);
    return runFax("send", send, queue, status, false, [&] { send.BeginTransmit(); });
}

int receiveCommand(const Args& args) {
    Common common;
    std::string dir;
    unsigned rings = 1;
    bool one = false;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        auto value = [&]() -> const std::string& {
            if (i + 1 >= args.size()) throw UsageError{a + " needs a value"};
            return args[++i];
        };
        if (common.take(args, i)) continue;
        if (a == "--dir") dir = value();
        else if (a == "--rings") rings = number(a, value(), 1, 99);
        else if (a == "--one") one = true;
        else throw UsageError{"unknown argument " + a};
    }
    common.require();
    if (!dir.empty() && !std::filesystem::is_directory(dir))
        throw std::runtime_error(dir + ": " + fax::faxErrorText(fax::ecPathNotFound));

    fax::TComPort port;
    fax::EventQueueNotifier queue;
    fax::TReceiveFax receive(queue, &queue);
    StatusLine status;
    fax::TFaxLog history;
    attachCommon(receive, common, status, history, port);
    receive.DestinationDir = dir;
    receive.AnswerOnRing = rings;
    receive.OneFax = one;
    openPort(port, common.device);
    return runFax("receive", receive, queue, status, !one, [&] { receive.BeginReceive(); });
}

int modemCheckCommand(const Args& args) {
    Common common;
    for (std::size_t i = 0; i < args.size(); ++i) {
        if (args[i] != "--device") throw UsageError{"unknown argument " + args[i]};
        if (i + 1 >= args.size()) throw UsageError{"--device needs a value"};
        common.device = args[++i];
    }
    common.require();
    fax::TComPort port;
    fax::EventQueueNotifier queue;
    fax::TSendFax probe(queue, &queue);
    probe.setComPort(&port);
    openPort(port, common.device);
    const fax::TFaxClassSet classes = probe.QueryFaxClasses();
    if (!classes.any())
        throw std::runtime_error(common.device + ": " + fax::faxErrorText(fax::ecFaxBadModemResult));
    std::printf("%s: fax classes", common.device.c_str());
    if (classes.class1) std::printf(" 1");
    if (classes.class2) std::printf(" 2");
    if (classes.class2_0) std::printf(" 2.0");
    std::printf("\n");
    return 0;
}

}  // namespace plxfax
