// A scripted Class 1 modem for the failures that a real far machine will not produce on
// demand: frames never sent, training data of a chosen quality, a caller that hangs up early,
// a modem that does not answer "ATH". It answers the Class 1 commands like a T.31 modem; what
// the other side "says" after dialling, each "AT+FRH=3" and "AT+FRM=" comes from the script.
#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "fax/engine/clock.h"
#include "fax/engine/t30_frames.h"
#include "sim_thread.h"
#include "tools/modemsim/rig.h"

namespace pellora::fax::test {

class ScriptedClass1Modem {
public:
    // The caller's message number n (0-based): frames (address, control, FCF, FIF), handed
    // over one per "AT+FRH=3"; nothing is silence.
    using FrameScript = std::function<std::vector<std::vector<std::uint8_t>>(int n)>;
    // What arrives after "AT+FRM=<code>" number n: data bytes, or nothing (silence).
    using DataScript = std::function<std::vector<std::uint8_t>(const std::string& code, int n)>;

    ScriptedClass1Modem(SimClock& clock, std::shared_ptr<modemsim::SimSerialLine> line, FrameScript frames,
                        DataScript data, bool answer = true)
        : clock_(clock), line_(std::move(line)), frames_(std::move(frames)), data_(std::move(data)), answer_(answer) {
        thread_ = std::make_unique<SimThread>(clock_, [this] { step(); });
    }
    ~ScriptedClass1Modem() { thread_.reset(); }
    void ring() { ringing_ = true; }
    // A modem that never answers "ATH" (the engine then hangs up by escape and dropped lines).
    void ignoreHangUp() { hangUpAnswers_ = false; }

    // The FCFs of the frames the engine sent, in order.
    std::vector<std::uint8_t> sentFrames() {
        std::lock_guard lock(mutex_);
        return sent_;
    }

    // One frame as the modem hands it over: the bytes, DLE doubled, then DLE ETX.
    static std::vector<std::uint8_t> wireFrame(const std::vector<std::uint8_t>& frame) {
        std::vector<std::uint8_t> out;
        for (auto b : frame) {
            out.push_back(b);
            if (b == 0x10) out.push_back(0x10);
        }
        out.push_back(0x10);
        out.push_back(0x03);
        return out;
    }

private:
    void say(const std::string& text) {
        std::string out = "\r\n" + text + "\r\n";
        line_->giveToDte(reinterpret_cast<const std::uint8_t*>(out.data()), int(out.size()));
    }
    void raw(const std::vector<std::uint8_t>& b) { line_->giveToDte(b.data(), int(b.size())); }

    void step() {
        std::uint8_t buf[512];
        int n = line_->takeFromDte(buf, sizeof buf);
        for (int i = 0; i < n; ++i) {
            std::uint8_t b = buf[i];
            if (dataOut_) {
                dataByte(b);
            } else if (hdlcOut_) {
                frameByte(b);
            } else if (b == '\r') {
                if (!command_.empty()) onCommand(command_);
                command_.clear();
            } else if (b >= ' ') {
                command_.push_back(char(b));
            }
        }
        if (ringing_ && !answered_) {
            if (nextRing_ == 0) nextRing_ = clock_.now() + 2000;
            if (clock_.now() >= nextRing_) {
                say("RING");
                nextRing_ = clock_.now() + 3000;
            }
        }
    }

    void onCommand(const std::string& c) {
        if (c == "AT+FCLASS=?") {
            say("0,1");
            return say("OK");
        }
        if (c == "AT+FRM=?" || c == "AT+FTM=?") {
            say("24,48,72,96");
            return say("OK");
        }
        if (c == "ATA") {
            answered_ = true;
            if (answer_) say("CONNECT"), hdlcOut_ = true, frame_.clear(), afterDle_ = false;
            return;
        }
        if (c.rfind("ATD", 0) == 0) {
            // Dialling: the answering machine's first frames arrive as after "AT+FRH=3".
            return deliverFrame();
        }
        if (c.rfind("AT+FTM=", 0) == 0) {
            say("CONNECT");
            dataOut_ = true;
            afterDle_ = false;
            return;
        }
        if ((c == "ATH" || c == "ATH0") && !hangUpAnswers_) return;
        if (c == "AT+FTH=3") {
            say("CONNECT");
            hdlcOut_ = true;
            frame_.clear();
            afterDle_ = false;
            return;
        }
        if (c == "AT+FRH=3") return deliverFrame();
        if (c.rfind("AT+FRM=", 0) == 0) {
            auto data = data_(c.substr(7), frm_++);
            if (data.empty()) return;
            say("CONNECT");
            raw(wireFrame(data));
            say("NO CARRIER");
            return;
        }
        say("OK");
    }

    // One frame per "AT+FRH=3", as a modem delivers them; the script is asked for the other
    // side's next message when the last one has been read.
    void deliverFrame() {
        if (pending_.empty()) {
            auto frames = frames_(frh_++);
            pending_.assign(frames.begin(), frames.end());
        }
        if (pending_.empty()) return;
        say("CONNECT");
        raw(wireFrame(pending_.front()));
        pending_.pop_front();
        say("OK");
    }

    // High-speed data from the DTE (training check, page): counted, ended by DLE ETX.
    void dataByte(std::uint8_t b) {
        if (afterDle_) {
            afterDle_ = false;
            if (b == 0x03) {
                dataOut_ = false;
                ++dataBlocks_;
                say("OK");
            }
            return;
        }
        if (b == 0x10) afterDle_ = true;
    }

    void frameByte(std::uint8_t b) {
        if (afterDle_) {
            afterDle_ = false;
            if (b == 0x03) {
                bool final = frame_.size() >= 2 && (frame_[1] & 0x10);
                {
                    std::lock_guard lock(mutex_);
                    if (frame_.size() >= 3) sent_.push_back(frame_[2]);
                }
                frame_.clear();
                if (final) {
                    hdlcOut_ = false;
                    say("OK");
                } else {
                    say("CONNECT");
                }
                return;
            }
            frame_.push_back(b);
            return;
        }
        if (b == 0x10) afterDle_ = true;
        else frame_.push_back(b);
    }

    SimClock& clock_;
    std::shared_ptr<modemsim::SimSerialLine> line_;
    FrameScript frames_;
    DataScript data_;
    bool answer_;
    std::atomic<bool> ringing_{false};
    std::string command_;
    ClockMs nextRing_ = 0;
    bool answered_ = false;
    std::atomic<bool> hangUpAnswers_{true};
    std::mutex mutex_;
    std::vector<std::uint8_t> sent_;
    bool hdlcOut_ = false, dataOut_ = false, afterDle_ = false;
    int dataBlocks_ = 0;
    std::vector<std::uint8_t> frame_;
    std::deque<std::vector<std::uint8_t>> pending_;
    int frh_ = 0, frm_ = 0;
    std::unique_ptr<SimThread> thread_;  // last: it starts once everything else is there
};

}  // namespace pellora::fax::test
