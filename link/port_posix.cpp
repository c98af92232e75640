// The POSIX serial backend. "COM3" and "COM4" name device paths: the
// environment variable YM2608_COM3 (YM2608_COM4) when set and non-empty, else
// /dev/ttyS2 (/dev/ttyS3), the classic mapping of COM ports to serial devices.
//
// The port is opened so that the open cannot hang and no second program can
// interleave frames on the same board, switched to raw bytes at the speed it
// already has, and then used with blocking reads and writes; a read with a
// time limit waits in poll first.
//
// A USB-serial driver that answers TIOCGSERIAL is put in low-latency mode
// (ASYNC_LOW_LATENCY: the FTDI driver then runs the adapter's timer at 1 ms)
// and its flags are put back at close. One that does not is looked up in
// sysfs: /sys/class/tty/NAME/device/latency_timer, NAME the device's own name
// once links are followed. The variable YM2608_TEST_SYSFS_ROOT, when set and
// not empty, stands for /sys there: it is for the tests alone, which have no
// adapter, and appears in no help or page.
#include "link/port.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include <climits>
#include <cstdio>

#include <fcntl.h>
#include <linux/serial.h>
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
    serial_struct savedSerial{}; // the driver's flags before low-latency mode
    bool lowLatencySet = false;
};

OpenPort held;

// The held port's descriptor as a signal handler may see it: set once the port
// is fully open, cleared before it is released, so that a handler never works
// on settings half saved or a descriptor already closed.
volatile std::sig_atomic_t signalFd = -1;

// Set by cancelPortWaits from a signal handler.
volatile std::sig_atomic_t cancelled = 0;

// Undoes whatever an open got as far as; each step tolerates a port already gone.
void release(OpenPort& port)
{
    if (port.fd < 0) {
        return;
    }
    if (port.fd == signalFd) {
        signalFd = -1;
    }
    if (port.lowLatencySet) {
        ioctl(port.fd, TIOCSSERIAL, &port.savedSerial);
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

// The adapter's timer as its driver's sysfs file gives it, for the device
// at `path`; NOT_FOUND when there is no such file or it holds no number.
AdapterLatency readLatencyTimer(const char* path)
{
    char resolved[PATH_MAX];
    if (realpath(path, resolved) == nullptr) {
        return {};
    }
    const char* slash = std::strrchr(resolved, '/');
    const char* root = std::getenv("YM2608_TEST_SYSFS_ROOT");
    const std::string file = std::string(root != nullptr && root[0] != '\0' ? root : "/sys") + "/class/tty/" +
                             (slash != nullptr ? slash + 1 : resolved) + "/device/latency_timer";
    std::FILE* timer = std::fopen(file.c_str(), "re");
    if (timer == nullptr) {
        return {};
    }
    int ms = 0;
    const bool read = std::fscanf(timer, "%d", &ms) == 1 && ms >= 0;
    std::fclose(timer);
    if (!read) {
        return {};
    }
    return {AdapterTimer::SYSFS_FILE, ms, file};
}

// Low-latency mode for the session where the driver takes it; else what its
// timer is. Either way the open goes on.
AdapterLatency lowerLatency(OpenPort& port, const char* path)
{
    serial_struct serial{};
    if (ioctl(port.fd, TIOCGSERIAL, &serial) == 0) {
        if ((serial.flags & ASYNC_LOW_LATENCY) != 0) {
            return {AdapterTimer::LOW_LATENCY, 0, {}};
        }
        port.savedSerial = serial;
        serial.flags |= ASYNC_LOW_LATENCY;
        if (ioctl(port.fd, TIOCSSERIAL, &serial) == 0) {
            port.lowLatencySet = true;
            return {AdapterTimer::LOW_LATENCY, 0, {}};
        }
    }
    return readLatencyTimer(path);
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
    return error == EIO || error == ENXIO || error == ENODEV || error == EPIPE;
}

PortFailure openFailure(int error)
{
    switch (error) {
    case ENOENT:
    case ENODEV:
    case ENXIO:
    case ENOTDIR:
    case EIO: // a pseudo-terminal whose other end has gone
        return PortFailure::NO_DEVICE;
    case EACCES:
    case EPERM:
    case EROFS:
        return PortFailure::PERMISSION;
    case EBUSY:
    case EWOULDBLOCK:
        return PortFailure::IN_USE;
    case ENOTTY:
        return PortFailure::NOT_SERIAL;
    default:
        return PortFailure::OTHER;
    }
}

PortOpening refuse(OpenPort& port, PortFailure failure)
{
    release(port);
    return {INVALID_PORT, failure, {}};
}

long long nowMs()
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<long long>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

// What poll may wait before `deadline` (-1: for ever, with no deadline).
int pollBudget(long long deadline)
{
    if (deadline < 0) {
        return -1;
    }
    const long long left = deadline - nowMs();
    return left <= 0 ? 0 : static_cast<int>(left);
}

struct SpeedCode {
    speed_t code;
    std::uint32_t bitsPerSecond;
};

constexpr SpeedCode SPEEDS[] = {
    {B50, 50},           {B75, 75},     {B110, 110},   {B134, 134},     {B150, 150},
    {B200, 200},         {B300, 300},   {B600, 600},   {B1200, 1200},   {B1800, 1800},
    {B2400, 2400},       {B4800, 4800}, {B9600, 9600}, {B19200, 19200}, {B38400, 38400},
#ifdef B57600
    {B57600, 57600},
#endif
#ifdef B115200
    {B115200, 115200},
#endif
#ifdef B230400
    {B230400, 230400},
#endif
#ifdef B460800
    {B460800, 460800},
#endif
#ifdef B500000
    {B500000, 500000},
#endif
#ifdef B576000
    {B576000, 576000},
#endif
#ifdef B921600
    {B921600, 921600},
#endif
#ifdef B1000000
    {B1000000, 1000000},
#endif
#ifdef B1152000
    {B1152000, 1152000},
#endif
#ifdef B1500000
    {B1500000, 1500000},
#endif
#ifdef B2000000
    {B2000000, 2000000},
#endif
#ifdef B2500000
    {B2500000, 2500000},
#endif
#ifdef B3000000
    {B3000000, 3000000},
#endif
#ifdef B3500000
    {B3500000, 3500000},
#endif
#ifdef B4000000
    {B4000000, 4000000},
#endif
};

} // namespace

std::string portDevicePath(const char* name)
{
    const bool com4 = std::strcmp(name, "COM4") == 0;
    const char* fromEnvironment = std::getenv(com4 ? "YM2608_COM4" : "YM2608_COM3");
    if (fromEnvironment != nullptr && fromEnvironment[0] != '\0') {
        return fromEnvironment;
    }
    return com4 ? "/dev/ttyS3" : "/dev/ttyS2";
}

PortOpening openPort(const char* path)
{
    // A board that vanishes while a frame is being written must end the write,
    // not the process.
    std::signal(SIGPIPE, SIG_IGN);
    release(held);

    OpenPort port;
    // O_NONBLOCK: without it the open waits for carrier on a modem line.
    // O_NOCTTY: the port must never become the controlling terminal.
    port.fd = open(path, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (port.fd < 0) {
        return {INVALID_PORT, openFailure(errno), {}};
    }
    if (!isatty(port.fd)) {
        return refuse(port, PortFailure::NOT_SERIAL);
    }
    // The lock comes first: it holds even against root, and against other
    // tools that lock; TIOCEXCL then refuses further opens of the device.
    if (flock(port.fd, LOCK_EX | LOCK_NB) != 0) {
        return refuse(port, errno == EWOULDBLOCK ? PortFailure::IN_USE : openFailure(errno));
    }
    if (ioctl(port.fd, TIOCEXCL) == 0) {
        port.exclusive = true;
    } else if (errno != ENOTTY && errno != EINVAL) {
        return refuse(port, PortFailure::OTHER);
    }
    if (!makeRaw(port)) {
        return refuse(port, PortFailure::SETTINGS);
    }
    const int flags = fcntl(port.fd, F_GETFL);
    if (flags < 0 || fcntl(port.fd, F_SETFL, flags & ~O_NONBLOCK) != 0) {
        return refuse(port, PortFailure::OTHER);
    }
    const AdapterLatency latency = lowerLatency(port, path);
    // Replies are one byte each with no way to resynchronise: a single stale
    // byte from before the open would shift every later reply.
    tcflush(port.fd, TCIFLUSH);

    held = port;
    signalFd = held.fd;
    return {held.fd, PortFailure::NONE, latency};
}

PortTransfer writePort(PortHandle port, std::span<const std::uint8_t> bytes)
{
    const int fd = static_cast<int>(port);
    PortTransfer result;
    if (cancelled != 0) {
        result.status = PortStatus::CANCELLED;
        return result;
    }
    while (result.count < bytes.size()) {
        const ssize_t n = write(fd, bytes.data() + result.count, bytes.size() - result.count);
        if (n > 0) {
            result.count += static_cast<std::size_t>(n);
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
        result.status = n < 0 && boardGone(errno) ? PortStatus::GONE : PortStatus::FAILED;
        break;
    }
    return result;
}

PortTransfer readPort(PortHandle port, std::span<std::uint8_t> bytes, int timeoutMs)
{
    const int fd = static_cast<int>(port);
    const long long deadline = timeoutMs < 0 ? -1 : nowMs() + timeoutMs;
    PortTransfer result;
    while (result.count < bytes.size()) {
        if (cancelled != 0) {
            result.status = PortStatus::CANCELLED;
            break;
        }
        // With no time limit the read itself waits: one system call per reply;
        // a signal ends it with EINTR (the handlers do not restart calls).
        if (deadline >= 0) {
            pollfd ready{fd, POLLIN, 0};
            const int polled = poll(&ready, 1, pollBudget(deadline));
            if (polled < 0 && errno != EINTR) {
                result.status = PortStatus::FAILED;
                break;
            }
            if (polled == 0) {
                result.status = PortStatus::TIMED_OUT;
                break;
            }
            if (polled < 0) {
                continue;
            }
        }
        const ssize_t n = read(fd, bytes.data() + result.count, bytes.size() - result.count);
        if (n > 0) {
            result.count += static_cast<std::size_t>(n);
            continue;
        }
        if (n == 0 || boardGone(errno)) {
            result.status = PortStatus::GONE; // end of file, or an unplugged adapter
            break;
        }
        if (errno == EINTR) {
            continue;
        }
        if (errno == EAGAIN) {
            pollfd ready{fd, POLLIN, 0};
            if (poll(&ready, 1, pollBudget(deadline)) >= 0 || errno == EINTR) {
                continue;
            }
        }
        result.status = PortStatus::FAILED;
        break;
    }
    return result;
}

void closePort(PortHandle port)
{
    if (port != held.fd) {
        return;
    }
    // A frame sent just before quitting must still reach the board.
    drainPort(port);
    release(held);
}

std::uint32_t portSpeed(PortHandle port)
{
    termios settings{};
    if (tcgetattr(static_cast<int>(port), &settings) != 0) {
        return 0;
    }
    const speed_t code = cfgetospeed(&settings);
    for (const SpeedCode& speed : SPEEDS) {
        if (speed.code == code) {
            return speed.bitsPerSecond;
        }
    }
    return 0;
}

std::size_t portQueuedOutput(PortHandle port)
{
    int queued = 0;
    if (ioctl(static_cast<int>(port), TIOCOUTQ, &queued) != 0 || queued < 0) {
        return 0;
    }
    return static_cast<std::size_t>(queued);
}

bool portHungUp(PortHandle port)
{
    // A hung-up line reports POLLHUP (and an unplugged adapter POLLERR) to a
    // poll that asks for nothing.
    pollfd state{static_cast<int>(port), 0, 0};
    return poll(&state, 1, 0) > 0 && (state.revents & (POLLHUP | POLLERR | POLLNVAL)) != 0;
}

bool drainPort(PortHandle port)
{
    for (;;) {
        if (tcdrain(static_cast<int>(port)) == 0) {
            return true;
        }
        if (errno != EINTR) {
            return false;
        }
    }
}

void cancelPortWaits()
{
    cancelled = 1;
}

void allowPortWaits()
{
    cancelled = 0;
}

void restorePortFromSignal()
{
    const int fd = signalFd;
    if (fd < 0) {
        return;
    }
    // tcsetattr, ioctl, flock and close: each a single system call on the
    // descriptor, safe in a handler.
    if (held.lowLatencySet) {
        ioctl(fd, TIOCSSERIAL, &held.savedSerial);
    }
    if (held.settingsChanged) {
        tcsetattr(fd, TCSANOW, &held.saved);
    }
    if (held.exclusive) {
        ioctl(fd, TIOCNXCL);
    }
    flock(fd, LOCK_UN);
    close(fd);
    signalFd = -1;
}
