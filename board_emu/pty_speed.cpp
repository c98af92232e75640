// The terminal end's speed setting, through the kernel's termios2 so that any
// rate can be set, not only the standard ones. Kept apart from pty.cpp because
// the kernel's termios header and the C library's cannot share a file.
#include "board_emu/pty.h"

#include <asm/ioctls.h>
#include <asm/termbits.h>
#include <cerrno>
#include <cstring>
#include <sys/ioctl.h>

namespace {

struct StandardSpeed {
    std::uint32_t baud;
    unsigned code;
};

// The rates the C library's cfgetospeed can name. A client asking through it
// sees one of these exactly; any other rate is set as BOTHER with the number
// itself, which only termios2 reads.
constexpr StandardSpeed STANDARD_SPEEDS[] = {
    {50, B50},           {75, B75},           {110, B110},         {134, B134},
    {150, B150},         {200, B200},         {300, B300},         {600, B600},
    {1200, B1200},       {1800, B1800},       {2400, B2400},       {4800, B4800},
    {9600, B9600},       {19200, B19200},     {38400, B38400},     {57600, B57600},
    {115200, B115200},   {230400, B230400},   {460800, B460800},   {500000, B500000},
    {576000, B576000},   {921600, B921600},   {1000000, B1000000}, {1152000, B1152000},
    {1500000, B1500000}, {2000000, B2000000}, {2500000, B2500000}, {3000000, B3000000},
    {3500000, B3500000}, {4000000, B4000000},
};

} // namespace

bool setLineSpeed(const Pty& pty, std::uint32_t baud, std::string& error)
{
    termios2 settings{};
    if (ioctl(pty.terminal, TCGETS2, &settings) != 0) {
        error = std::string("TCGETS2: ") + std::strerror(errno);
        return false;
    }
    unsigned code = BOTHER;
    for (const StandardSpeed& speed : STANDARD_SPEEDS) {
        if (speed.baud == baud) {
            code = speed.code;
        }
    }
    // The input speed bits left 0 mean "as the output speed".
    settings.c_cflag &= ~(CBAUD | (CBAUD << IBSHIFT));
    settings.c_cflag |= code;
    settings.c_ispeed = baud;
    settings.c_ospeed = baud;
    if (ioctl(pty.terminal, TCSETS2, &settings) != 0) {
        error = std::string("TCSETS2: ") + std::strerror(errno);
        return false;
    }
    return true;
}
