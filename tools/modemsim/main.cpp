// modemsim: a simulated fax modem on a pseudo-terminal, for trying a fax program without
// hardware.
//
//   modemsim --pty PATH [--class 1|2|2.0] [--speed N] (--far-receive OUT.tif |
//            --far-send IN.tif [--rings N] | --pair PATH2) [--fault FAULT]... [--timeout S] [--log]
//
// --class 1 (the default) is SpanDSP's T.31 modem; --class 2 and --class 2.0 are modems that
// run T.30 themselves and speak +F commands (AT+FDT, AT+FET, AT+FDR, +FCON, +FDIS, +FPTS,
// +FHNG, or their Class 2.0 names). The far end is a fax machine that answers and stores the
// pages in OUT.tif, or calls and sends IN.tif; with --pair (Class 1 only) it is a second
// modem on PATH2 with a DTE of its own. PATH (and PATH2) become symlinks to the
// pseudo-terminals. It runs until the call ends (with --pair until both sides hang up) and
// exits 0 when the fax went through, 1 when it did not, 2 on a usage error.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <thread>

#include "tools/modemsim/pty_link.h"
#include "tools/modemsim/rig.h"

using namespace pellora::modemsim;

namespace {

int usage(const char* why) {
    std::fprintf(stderr,
                 "modemsim: %s\n"
                 "usage: modemsim --pty PATH [--class 1|2|2.0] [--speed N] (--far-receive OUT.tif |\n"
                 "       --far-send IN.tif [--rings N] | --pair PATH2) [--fault FAULT]...\n"
                 "       [--timeout SECONDS] [--log]\n"
                 "faults: busy[:N] no-dial-tone voice no-carrier no-answer error:COMMAND silence\n"
                 "        carrier-lost[:PAGE] dcn garbage[:N] ftt:RATE[,RATE]... rtn[:PAGE] no-fine\n",
                 why);
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    RigOptions options;
    std::string pty, pty2;
    double speed = 1.0;
    double timeout = 300;
    int modes = 0;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        auto value = [&]() -> const char* { return i + 1 < argc ? argv[++i] : nullptr; };
        const char* v = nullptr;
        if (a == "--log") {
            options.log = true;
            continue;
        }
        if (a == "--help") {
            usage("a simulated fax modem on a pseudo-terminal");
            return 0;
        }
        if (!(v = value())) return usage(("missing value after " + a).c_str());
        if (a == "--pty") {
            pty = v;
        } else if (a == "--class") {
            if (std::strcmp(v, "1") == 0) options.modemClass = 1;
            else if (std::strcmp(v, "2") == 0) options.modemClass = 2;
            else if (std::strcmp(v, "2.0") == 0) options.modemClass = 20;
            else return usage("--class wants 1, 2 or 2.0");
        } else if (a == "--speed") {
            speed = std::atof(v);
            if (speed < 0.1 || speed > 100) return usage("--speed wants a factor from 0.1 to 100");
        } else if (a == "--far-receive") {
            options.far = FarEnd::Receive;
            options.tiff = v;
            ++modes;
        } else if (a == "--far-send") {
            options.far = FarEnd::Send;
            options.tiff = v;
            ++modes;
        } else if (a == "--pair") {
            options.far = FarEnd::Modem;
            pty2 = v;
            ++modes;
        } else if (a == "--rings") {
            options.rings = std::atoi(v);
            if (options.rings < 1) return usage("--rings wants a number of at least 1");
        } else if (a == "--fault") {
            Fault f;
            if (!parseFault(v, f)) return usage((std::string("unknown fault: ") + v).c_str());
            options.faults.push_back(f);
        } else if (a == "--timeout") {
            timeout = std::atof(v);
        } else {
            return usage(("unknown option " + a).c_str());
        }
    }
    if (pty.empty()) return usage("--pty PATH is required");
    if (modes != 1) return usage("give exactly one of --far-receive, --far-send, --pair");
    if (options.far == FarEnd::Modem && options.modemClass != 1)
        return usage("--pair joins two Class 1 modems");

    auto link = std::make_shared<PtyLink>(pty);
    if (!link->ok()) {
        std::fprintf(stderr, "modemsim: %s\n", link->error().c_str());
        return 1;
    }
    std::shared_ptr<PtyLink> link2;
    if (!pty2.empty()) {
        link2 = std::make_shared<PtyLink>(pty2);
        if (!link2->ok()) {
            std::fprintf(stderr, "modemsim: %s\n", link2->error().c_str());
            return 1;
        }
    }
    ModemRig rig(pellora::fax::RealClock::instance(), options, speed);
    rig.setDteLink(0, link);
    if (link2) rig.setDteLink(1, link2);
    rig.start();
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(static_cast<long>(timeout * 1000));
    while (!rig.finished() && std::chrono::steady_clock::now() < end)
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    // A DTE resets its modem after the call: keep answering for a moment.
    if (rig.finished()) std::this_thread::sleep_for(std::chrono::seconds(3));
    rig.stop();
    bool ok = rig.faxOk();
    if (!rig.farFrames().empty()) std::fprintf(stderr, "modemsim: far frames: %s\n", rig.farFrames().c_str());
    std::fprintf(stderr, "modemsim: %s (%d page(s)%s%s)\n", ok ? "fax went through" : "no fax",
                 rig.farPages(), rig.farResult().empty() ? "" : ", ",
                 rig.farResult().c_str());
    return ok ? 0 : 1;
}
