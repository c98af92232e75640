// The POSIX serial backend. "COM3" and "COM4" name device paths: the
// environment variable YM2608_COM3 (YM2608_COM4) when set and non-empty, else
// /dev/ttyS2 (/dev/ttyS3), the classic mapping of COM ports to serial devices.
//
// The port is opened so that the open cannot hang and no second program can
// interleave frames on the same board, switched to raw bytes at the speed it
// already has, and then used with blocking reads and writes.
#include "link/port.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

namespace {

// The one port this process holds, and the settings it had before we changed them.
struct OpenPort {
    int fd = -1;
    termios saved{};
    bool settingsChanged = false;
    bool exclusive = false;
};

OpenPort held;

const char* devicePath(const char* name)
{
    const bool com4 = std::strcmp(name, "COM4") == 0;
    const char* fromEnvironment = std::getenv(com4 ? "YM2608_COM4" : "YM2608_COM3");
    if (fromEnvironment != nullptr && fromEnvironment[0] != '\0') {
        return fromEnvironment;
    }
    return com4 ? "/dev/ttyS3" : "/dev/ttyS2";
}

// Undoes whatever an open got as far as; each step tolerates a port already gone.
void release(OpenPort& port)
{
    if (port.fd < 0) {
        return;
    }
    if (port.settingsChanged) {
        tcsetattr(port.fd, TCSANOW, &port.saved);
    }
    if (port.exclusive) {
        ioctl(port.fd, TIOCNXCL);
    }
    flock(port.fd, LOCK_UN);
    close(port.fd);
    port = OpenPort{};
}

// Raw bytes both ways, no flow control of any kind, reads that wait for at
// least one byte. The speed is left as the port has it, and so is HUPCL.
bool makeRaw(OpenPort& port)
{
    if (tcgetattr(port.fd, &port.saved) != 0) {
        return false;
    }
    termios raw = port.saved;
    cfmakeraw(&raw);
    raw.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF | IXANY);
    raw.c_cflag &= ~static_cast<tcflag_t>(CRTSCTS);
    raw.c_cflag |= CLOCAL | CREAD;
    raw.c_cc[VMIN] = 1;
    raw.c_cc[VTIME] = 0;
    port.settingsChanged = true;
    if (tcsetattr(port.fd, TCSANOW, &raw) != 0) {
        return false;
    }

    // tcsetattr succeeds when any one of the changes took; check the ones the
    // frame protocol cannot do without.
    termios applied{};
    if (tcgetattr(port.fd, &applied) != 0) {
        return false;
    }
    const bool rawInput = (applied.c_lflag & (ICANON | ECHO | ISIG | IEXTEN)) == 0 &&
                          (applied.c_iflag & (IXON | IXOFF | ICRNL | INLCR | IGNCR | ISTRIP)) == 0;
    const bool rawOutput = (applied.c_oflag & OPOST) == 0;
    const bool eightBits = (applied.c_cflag & (CSIZE | PARENB)) == CS8 && (applied.c_cflag & CREAD) != 0;
    return rawInput && rawOutput && eightBits && applied.c_cc[VMIN] == 1 && applied.c_cc[VTIME] == 0;
}

bool boardGone(int error)
{
    return error == EIO || error == ENXIO || error == ENODEV;
}

} // namespace

PortHandle openPort(const char* name)
{
    // A board that vanishes while a frame is being written must end the write,
    // not the process.
    std::signal(SIGPIPE, SIG_IGN);
    release(held);

    OpenPort port;
    // O_NONBLOCK: without it the open waits for carrier on a modem line.
    // O_NOCTTY: the port must never become the controlling terminal.
    port.fd = open(devicePath(name), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (port.fd < 0) {
        return INVALID_PORT;
    }
    // The lock comes first: it holds even against root, and against other
    // tools that lock; TIOCEXCL then refuses further opens of the device.
    if (!isatty(port.fd) || flock(port.fd, LOCK_EX | LOCK_NB) != 0) {
        release(port);
        return INVALID_PORT;
    }
    if (ioctl(port.fd, TIOCEXCL) == 0) {
        port.exclusive = true;
    } else if (errno != ENOTTY && errno != EINVAL) {
        release(port);
        return INVALID_PORT;
    }
    if (!makeRaw(port)) {
        release(port);
        return INVALID_PORT;
    }
    const int flags = fcntl(port.fd, F_GETFL);
    if (flags < 0 || fcntl(port.fd, F_SETFL, flags & ~O_NONBLOCK) != 0) {
        release(port);
        return INVALID_PORT;
    }
    // Replies are one byte each with no way to resynchronise: a single stale
    // byte from before the open would shift every later reply.
    tcflush(port.fd, TCIFLUSH);

    held = port;
    return held.fd;
}

std::size_t writePort(PortHandle port, std::span<const std::uint8_t> bytes)
{
    const int fd = static_cast<int>(port);
    std::size_t written = 0;
    while (written < bytes.size()) {
        const ssize_t n = write(fd, bytes.data() + written, bytes.size() - written);
        if (n > 0) {
            written += static_cast<std::size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0 && errno == EAGAIN) {
            pollfd ready{fd, POLLOUT, 0};
            if (poll(&ready, 1, -1) >= 0 || errno == EINTR) {
                continue;
            }
        }
        break;
    }
    return written;
}

std::size_t readPort(PortHandle port, std::span<std::uint8_t> bytes)
{
    const int fd = static_cast<int>(port);
    std::size_t got = 0;
    while (got < bytes.size()) {
        const ssize_t n = read(fd, bytes.data() + got, bytes.size() - got);
        if (n > 0) {
            got += static_cast<std::size_t>(n);
            continue;
        }
        if (n == 0 || boardGone(errno)) {
            break; // end of file, or an unplugged adapter: the reply ends short
        }
        if (errno == EINTR) {
            continue;
        }
        if (errno == EAGAIN) {
            pollfd ready{fd, POLLIN, 0};
            if (poll(&ready, 1, -1) >= 0 || errno == EINTR) {
                continue;
            }
        }
        break;
    }
    return got;
}

void closePort(PortHandle port)
{
    if (port != held.fd) {
        return;
    }
    // A frame sent just before quitting must still reach the board.
    tcdrain(held.fd);
    release(held);
}
