#include "board_emu/pty.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

namespace {

bool fail(Pty& pty, std::string& error, const char* step)
{
    error = std::string(step) + ": " + std::strerror(errno);
    closePty(pty);
    return false;
}

} // namespace

bool openPty(Pty& pty, std::string& error)
{
    pty.master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (pty.master < 0) {
        return fail(pty, error, "posix_openpt");
    }
    if (grantpt(pty.master) != 0) {
        return fail(pty, error, "grantpt");
    }
    if (unlockpt(pty.master) != 0) {
        return fail(pty, error, "unlockpt");
    }
    char name[128];
    if (ptsname_r(pty.master, name, sizeof name) != 0) {
        return fail(pty, error, "ptsname_r");
    }
    pty.path = name;
    pty.terminal = open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (pty.terminal < 0) {
        return fail(pty, error, "open terminal end");
    }
    // Raw bytes both ways from the start: no echo of frames back to the tool,
    // no line editing, no translation of 0x0a or 0x0d.
    termios settings{};
    if (tcgetattr(pty.terminal, &settings) != 0) {
        return fail(pty, error, "tcgetattr");
    }
    cfmakeraw(&settings);
    settings.c_cc[VMIN] = 1;
    settings.c_cc[VTIME] = 0;
    if (tcsetattr(pty.terminal, TCSANOW, &settings) != 0) {
        return fail(pty, error, "tcsetattr");
    }
    return true;
}

void closePty(Pty& pty)
{
    if (pty.terminal >= 0) {
        close(pty.terminal);
        pty.terminal = -1;
    }
    if (pty.master >= 0) {
        close(pty.master);
        pty.master = -1;
    }
}
