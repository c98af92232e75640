// ym2608-console: exercises a YM2608 sound board on a serial port. Everything
// is typed at its prompt; the only arguments are --help, -h and --version.
// The environment variable YM2608_REPLY_TIMEOUT_MS bounds each reply's wait.
#include "app/console.h"
#include "app/terminal.h"
#include "link/device_link.h"
#include "link/port.h"

#include "version.h"

#include <cstdio>
#include <string>

namespace {

/// Bad arguments or environment.
constexpr int USAGE_ERROR = 2;

void printUsage()
{
    std::printf("usage: ym2608-console [--help | --version]\n"
                "Exercises a YM2608 sound board on a serial port. Type one-letter commands at the\n"
                "\">\" prompt; each goes to the board as byte frames, and the outcome is printed.\n"
                "\n"
                "Ports: \"c\" opens COM3, else COM4, and identifies the board there.\n");
    std::fputs(portHelp().c_str(), stdout);
    std::printf("\nCommands:\n");
    printCommandList(stdout);
    std::printf("\n"
                "Environment:\n"
                "  YM2608_COM3, YM2608_COM4   the devices of the two ports\n"
                "  YM2608_REPLY_TIMEOUT_MS    the longest wait for each reply, in milliseconds\n"
                "                             (a positive integer; unset: no limit)\n"
                "  XDG_STATE_HOME             at a terminal, the history is kept in\n"
                "                             $XDG_STATE_HOME/ym2608-console/history\n"
                "                             (default ~/.local/state/ym2608-console/history)\n"
                "\n"
                "Ctrl-C ends a command's wait for the board, or drops the line being typed;\n"
                "q or the end of input quits.\n"
                "The manual: man ym2608-console\n");
}

} // namespace

int main(int argc, char** argv)
{
    prepareProcess();
    for (int i = 1; i < argc; ++i) {
        const std::string argument = argv[i];
        if (argument == "--help" || argument == "-h") {
            printUsage();
            return std::fflush(stdout) == 0 ? 0 : 1;
        }
        if (argument == "--version") {
            std::printf("ym2608-console %s\n", YM2608_VERSION);
            return std::fflush(stdout) == 0 ? 0 : 1;
        }
        // A device given as an argument is the likeliest slip: say where it goes.
        if (argument.find('/') != std::string::npos || argument.find('\\') != std::string::npos ||
            argument.rfind("COM", 0) == 0) {
            std::fprintf(
                stderr,
                "ym2608-console: unknown argument '%s'; the port's device is set in the environment: "
                "YM2608_COM3=%s ym2608-console\n",
                argv[i], argv[i]);
        } else {
            std::fprintf(stderr, "ym2608-console: unknown argument '%s' (see ym2608-console --help)\n",
                         argv[i]);
        }
        return USAGE_ERROR;
    }
    int replyTimeoutMs = NO_TIMEOUT;
    if (!replyTimeoutFromEnvironment(replyTimeoutMs)) {
        std::fprintf(stderr,
                     "ym2608-console: YM2608_REPLY_TIMEOUT_MS must be a positive number of milliseconds\n");
        return USAGE_ERROR;
    }
    setReplyTimeout(replyTimeoutMs);
    installSignalHandlers();
    return runConsole();
}
