// A scripted Class 2 / 2.0 fax modem for the command-level tests of the Class 2 machines: it
// answers +F commands the way such modems do, takes page data up to its terminator, plays
// pages to a receiving engine, and can be told to refuse a command, reject pages or report
// a remote without fine resolution. It runs on its own thread in the session's simulated
// time, on the serial line the engine's port opens.
#pragma once

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "fax/engine/clock.h"
#include "fax/engine/page_transfer.h"
#include "sim_thread.h"
#include "tools/modemsim/rig.h"

namespace pellora::fax::test {

struct ScriptOptions {
    bool class20 = false;
    std::string errorOn;          // answer ERROR to commands starting with this
    int rejectPages = 0;          // the first N pages sent to it are refused
    bool remoteFine = true;       // the remote takes fine resolution
    std::string remoteId = "REMOTE 1";
    // Receive: pages to play to the engine (coded bytes as stored), and the +FET code after
    // each ('0' same document, '1' new document, '2' end).
    std::vector<std::vector<std::uint8_t>> pages;
    std::vector<char> fetCodes;
    int rings = 1;
    std::string lastHangup = "0";  // the hang-up code reported after the last page
};

class ScriptedModem {
public:
    ScriptedModem(SimClock& clock, std::shared_ptr<modemsim::SimSerialLine> line, ScriptOptions o)
        : clock_(clock), line_(std::move(line)), o_(std::move(o)) {
        thread_ = std::make_unique<SimThread>(clock_, [this] { step(); });
    }
    ~ScriptedModem() { thread_.reset(); }

    void ring() { ringing_ = true; }

    struct SentPage {
        std::vector<std::uint8_t> data;  // DLE doubling undone
        std::uint8_t terminator = 0;     // ETX (Class 2) or ',' ';' '.' (Class 2.0)
    };
    std::vector<std::string> commands() {
        std::lock_guard lock(mutex_);
        return commands_;
    }
    std::vector<SentPage> pages() {
        std::lock_guard lock(mutex_);
        return sentPages_;
    }

private:
    const char* r(const char* two, const char* twenty) const { return o_.class20 ? twenty : two; }
    void say(const std::string& text) {
        std::string out = "\r\n" + text + "\r\n";
        line_->giveToDte(reinterpret_cast<const std::uint8_t*>(out.data()), int(out.size()));
    }
    void raw(const std::vector<std::uint8_t>& bytes) { line_->giveToDte(bytes.data(), int(bytes.size())); }
    bool startsWith(const std::string& s, const std::string& p) const { return s.compare(0, p.size(), p) == 0; }
    std::string caps() const { return std::string(o_.remoteFine ? "1" : "0") + ",3,0,2,0,0,0,0"; }

    void step() {
        std::uint8_t buf[512];
        int n = line_->takeFromDte(buf, sizeof buf);
        for (int i = 0; i < n; ++i) {
            std::uint8_t b = buf[i];
            if (mode_ == Mode::PageIn) {
                pageByte(b);
            } else if (mode_ == Mode::WaitDC2) {
                if (b == kDC2) playPage();
            } else if (b == '\r') {
                if (!command_.empty()) onCommand(command_);
                command_.clear();
            } else if (b >= ' ') {
                command_.push_back(char(b));
            }
        }
        if (ringing_ && nextRing_ == 0) nextRing_ = clock_.now() + 2000;  // once the engine waits
        if (ringing_ && ringsSent_ < o_.rings && clock_.now() >= nextRing_) {
            say("RING");
            ++ringsSent_;
            nextRing_ = clock_.now() + 3000;
        }
    }

    void onCommand(const std::string& c) {
        {
            std::lock_guard lock(mutex_);
            commands_.push_back(c);
        }
        if (!o_.errorOn.empty() && startsWith(c, o_.errorOn)) return say("ERROR");
        if (c == "AT+FCLASS=?") {
            say(o_.class20 ? "0,1,2.0" : "0,1,2");
            return say("OK");
        }
        if (startsWith(c, "ATD")) {
            say(r("+FCON", "+FCO"));
            say(std::string(r("+FCSI:", "+FCI:")) + "\"" + o_.remoteId + "\"");
            say(std::string(r("+FDIS:", "+FIS:")) + caps());
            return say("OK");
        }
        if (c == "AT+FDT") {
            say(std::string(r("+FDCS:", "+FCS:")) + "0,3,0,2,0,0,0,0");
            say("CONNECT");
            if (!o_.class20) raw({kDC1});
            mode_ = Mode::PageIn;
            page_.clear();
            afterDle_ = false;
            return;
        }
        if (startsWith(c, "AT+FET=")) {
            bool ok = pageAccepted();
            say(std::string("+FPTS:") + (ok ? "1" : "2"));
            if (ok && c == "AT+FET=2") say("+FHNG:" + o_.lastHangup);
            return say("OK");
        }
        if (c == "AT+FPS?") {
            say("+FPS:2");
            return say("OK");
        }
        if (c == "ATA") {
            say(r("+FCON", "+FCO"));
            say(std::string(r("+FTSI:", "+FTI:")) + "\"" + o_.remoteId + "\"");
            say(std::string(r("+FDCS:", "+FCS:")) + "0,3,0,2,0,0,0,0");
            return say("OK");
        }
        if (c == "AT+FDR") {
            if (played_ >= o_.pages.size()) return say("ERROR");
            say("CONNECT");
            mode_ = Mode::WaitDC2;
            return;
        }
        say("OK");
    }

    bool pageAccepted() {
        std::lock_guard lock(mutex_);
        return int(sentPages_.size()) > o_.rejectPages;
    }

    void pageByte(std::uint8_t b) {
        if (afterDle_) {
            afterDle_ = false;
            if (b == kDLE) {
                page_.push_back(b);
                return;
            }
            bool end = o_.class20 ? (b == ',' || b == ';' || b == '.') : b == kETX;
            if (!end) return;
            {
                std::lock_guard lock(mutex_);
                sentPages_.push_back({page_, b});
            }
            mode_ = Mode::Command;
            if (!o_.class20) return say("OK");
            bool ok = pageAccepted();
            if (!ok) return say("ERROR");
            if (b == '.') say("+FHS:" + o_.lastHangup);
            return say("OK");
        }
        if (b == kDLE) afterDle_ = true;
        else page_.push_back(b);
    }

    void playPage() {
        mode_ = Mode::Command;
        std::vector<std::uint8_t> out;
        for (std::uint8_t b : o_.pages[played_]) {
            std::uint8_t wire = o_.class20 ? b : reverseBits(b);  // Class 2 sends MSB first
            out.push_back(wire);
            if (wire == kDLE) out.push_back(kDLE);
        }
        out.push_back(kDLE);
        out.push_back(kETX);
        raw(out);
        char fet = played_ < o_.fetCodes.size() ? o_.fetCodes[played_] : '2';
        ++played_;
        say(r("+FPTS:1", "+FPS:1"));
        say(std::string("+FET:") + fet);
        say("OK");
        if (fet == '2') {
            say(r("+FHNG:0", "+FHS:00"));
            say("OK");
        }
    }

    enum class Mode { Command, PageIn, WaitDC2 };
    SimClock& clock_;
    std::shared_ptr<modemsim::SimSerialLine> line_;
    ScriptOptions o_;
    std::atomic<bool> ringing_{false};
    std::string command_;
    ClockMs nextRing_ = 0;
    int ringsSent_ = 0;
    std::mutex mutex_;
    std::vector<std::string> commands_;
    std::vector<SentPage> sentPages_;
    Mode mode_ = Mode::Command;
    std::vector<std::uint8_t> page_;
    bool afterDle_ = false;
    std::size_t played_ = 0;
    std::unique_ptr<SimThread> thread_;  // last: it starts once everything else is there
};

}  // namespace pellora::fax::test
