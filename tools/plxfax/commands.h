// Subcommands of plxfax. Each takes the arguments after its own name and returns the exit code.
#pragma once

#include <string>
#include <vector>

namespace plxfax {

using Args = std::vector<std::string>;

int tableCommand(const Args& args);

// PLF fax files: header and pages; one page as BMP, PCX or DCX; appending files.
int imageInfoCommand(const Args& args);
int imageExportCommand(const Args& args);
int imageCatCommand(const Args& args);

// A text file or an image to a PLF fax file.
int convertCommand(const Args&);

// Faxes over a modem: sending, receiving, asking the modem for its fax classes.
int sendCommand(const Args& args);
int receiveCommand(const Args& args);
int modemCheckCommand(const Args& args);

// Thrown for a wrong command line; main prints the text and the usage hint.
struct UsageError {
    std::string message;
};

}  // namespace plxfax
