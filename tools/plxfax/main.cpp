// plxfax: Pellora's fax machinery from the command line.
#include <cstdio>
#include <exception>
#include <string>
#include <string_view>

#include "commands.h"

namespace {

struct Command {
    const char* name;
    int (*run)(const plxfax::Args&);
    const char* synopsis;
};

const Command kCommands[] = {
    {"table", plxfax::tableCommand,
     "table init DIR | dump FILE.DBF [--tag NAME|--natural] [--query EXPR] [--deleted]\n"
     "             | add FILE.DBF FIELD=VALUE... | delete FILE.DBF --where EXPR\n"
     "             | pack FILE.DBF | reindex FILE.DBF"},
    {"info", plxfax::imageInfoCommand, "info FILE.PLF"},
    {"export", plxfax::imageExportCommand,
     "export FILE.PLF [--page N] --format bmp|pcx|dcx [-o OUT]"},
    {"cat", plxfax::imageCatCommand, "cat DEST.PLF SRC.PLF..."},
    {"convert", plxfax::convertCommand,
     "convert INPUT [-o OUT.PLF] [--type text|textex|tiff|pcx|dcx|bmp] [--fine] [--wide]\n"
     "             [--font standard|small] [--font-name NAME --font-size PT]\n"
     "             [--lines-per-page N] [--top-margin N] [--left-margin N] [--station ID]"},
    {"send", plxfax::sendCommand,
     "send --device DEV [--class auto|1|2|2.0] [--bps N] [--station ID] [--header TEXT]\n"
     "             [--cover FILE] [--ecm] [--pulse] [--prefix DIGITS] [--attempts N]\n"
     "             [--retry-wait S] [--init CMD] [--history FILE] NUMBER FILE.PLF..."},
    {"receive", plxfax::receiveCommand,
     "receive --device DEV [--class auto|1|2|2.0] [--dir DIR] [--rings N] [--one]\n"
     "             [--station ID] [--init CMD] [--history FILE]"},
    {"modem-check", plxfax::modemCheckCommand, "modem-check --device DEV"},
};

void printHelp(std::FILE* out) {
    std::fprintf(out,
                 "plxfax - Pellora's fax tables, files and modems from the command line\n\n"
                 "usage: plxfax COMMAND [ARGS...]\n\ncommands:\n");
    for (const auto& c : kCommands) std::fprintf(out, "  %s\n", c.synopsis);
    std::fprintf(out, "\n  plxfax help         this text\n");
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        printHelp(stderr);
        return 2;
    }
    std::string_view name = argv[1];
    if (name == "help" || name == "--help" || name == "-h") {
        printHelp(stdout);
        return 0;
    }
    plxfax::Args args(argv + 2, argv + argc);
    for (const auto& c : kCommands) {
        if (name != c.name) continue;
        try {
            return c.run(args);
        } catch (const plxfax::UsageError& e) {
            std::fprintf(stderr, "plxfax %s: %s\nusage: plxfax %s\n", c.name, e.message.c_str(),
                         c.synopsis);
            return 2;
        } catch (const std::exception& e) {
            std::fprintf(stderr, "plxfax %s: %s\n", c.name, e.what());
            return 1;
        }
    }
    std::fprintf(stderr, "plxfax: unknown command '%s' (try 'plxfax help')\n", argv[1]);
    return 2;
}
