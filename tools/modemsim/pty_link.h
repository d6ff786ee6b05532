// The serial side of a simulated modem as a pseudo-terminal, for programs that open a modem
// by its device path. The rig holds the master; PATH becomes a symlink to the slave.
#pragma once

#include <deque>
#include <string>

#include "tools/modemsim/rig.h"

namespace pellora::modemsim {

class PtyLink : public DteLink {
public:
    // Creates the pseudo-terminal and the symlink `path` to it; ok() tells whether it worked.
    explicit PtyLink(const std::string& path);
    ~PtyLink() override;
    bool ok() const { return master_ >= 0; }
    const std::string& error() const { return error_; }
    const std::string& slavePath() const { return slavePath_; }

    int takeFromDte(std::uint8_t* buffer, int max) override;
    void giveToDte(const std::uint8_t* data, int length) override;
    void setModemLines(bool, bool, bool) override {}  // a pseudo-terminal has no lines

private:
    void flush();
    int master_ = -1;
    int slave_ = -1;
    std::string link_;
    std::string slavePath_;
    std::string error_;
    std::deque<std::uint8_t> pending_;
};

}  // namespace pellora::modemsim
