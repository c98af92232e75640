// The platform seam under the device link: find the device a port name stands
// for ("COM3", "COM4"), open it, write frames, read replies, close. The build
// compiles exactly one backend file (port_posix.cpp or port_win32.cpp); the
// unit tests and the fuzzers link the scripted board of port_fake.cpp in its
// place. Backend state lives inside the backend, and each call turns an
// operating-system failure into a result at once.
//
// Opening a port also looks at the USB-serial adapter it may stand for. Such
// an adapter holds the bytes it receives from the board until its buffer
// fills or its latency timer runs out (16 ms by default), so every reply waits
// out the timer. On Linux the backend asks the driver for low-latency mode
// for the session (restored at close, and by restorePortFromSignal); where
// the driver refuses, and on Windows, it reads the timer, and the front end
// says how to lower one that costs the frames (latencyWorthLowering).
//
// Functions: portFailureText, latencyWorthLowering, portDevicePath, openPort,
// writePort, readPort, closePort, portSpeed, portQueuedOutput, portHungUp, drainPort,
// cancelPortWaits, allowPortWaits, restorePortFromSignal.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

/// An open port, or INVALID_PORT. Opaque to everything above the backend.
using PortHandle = std::intptr_t;
inline constexpr PortHandle INVALID_PORT = -1;

/// Why a port could not be opened.
enum class PortFailure : std::uint8_t {
    NONE,       // it opened
    NO_DEVICE,  // nothing at that path
    PERMISSION, // the user may not open it
    IN_USE,     // another program holds it
    NOT_SERIAL, // it is no serial line
    SETTINGS,   // the line refused raw 8-bit settings
    OTHER,      // any other refusal
};

/// The words every program gives a failure, in one table so that the console
/// and the player say the same: "COM3: /dev/ttyUSB0: in use by another program".
struct PortFailureWords {
    PortFailure failure;
    const char* text;
};
inline constexpr PortFailureWords PORT_FAILURE_WORDS[] = {
    {PortFailure::NO_DEVICE, "no such device"},
    {PortFailure::PERMISSION, "permission denied (is your user in the dialout group?)"},
    {PortFailure::IN_USE, "in use by another program"},
    {PortFailure::NOT_SERIAL, "not a serial port"},
    {PortFailure::SETTINGS, "the line refused raw 8-bit settings"},
};

/// The words for `failure`; "cannot be opened" for OTHER (and NONE).
constexpr const char* portFailureText(PortFailure failure)
{
    for (const PortFailureWords& row : PORT_FAILURE_WORDS) {
        if (row.failure == failure) {
            return row.text;
        }
    }
    return "cannot be opened";
}

/// The bits one byte takes on the line: a start bit, eight data bits and a
/// stop bit, no parity. Every timing drawn from a line's speed counts this
/// many: a line of N baud carries N / 10 bytes a second.
inline constexpr int BITS_PER_BYTE = 10;

/// What the open found of the adapter's latency timer.
enum class AdapterTimer : std::uint8_t {
    NOT_FOUND,   // no timer to find: a pseudo-terminal, a built-in port, another adapter
    LOW_LATENCY, // the driver runs in low-latency mode for the session (1 ms on an FTDI adapter)
    SYSFS_FILE,  // Linux: the timer as the driver's file `where` gives it
    REGISTRY,    // Windows: the timer as the FTDI driver's key `where` gives it for the port
};

struct AdapterLatency {
    AdapterTimer found = AdapterTimer::NOT_FOUND;
    int timerMs = 0;   // the timer read (SYSFS_FILE, REGISTRY)
    std::string where; // the file or the registry key it was read from
};

/// A latency timer up to this costs a frame little beside the line itself.
inline constexpr int LATENCY_TIMER_QUIET_MS = 2;

/// A timer was read and is above LATENCY_TIMER_QUIET_MS: worth telling the
/// user how to lower it.
inline bool latencyWorthLowering(const AdapterLatency& latency)
{
    return (latency.found == AdapterTimer::SYSFS_FILE || latency.found == AdapterTimer::REGISTRY) &&
           latency.timerMs > LATENCY_TIMER_QUIET_MS;
}

/// How an FTDI adapter's timer is set to 1 ms for good on Linux: a udev rule
/// (a file in /etc/udev/rules.d) applied each time one is plugged in.
inline constexpr const char* FTDI_LATENCY_UDEV_RULE =
    "ACTION==\"add\", SUBSYSTEM==\"usb-serial\", DRIVER==\"ftdi_sio\", ATTR{latency_timer}=\"1\"";

/// Where Windows' FTDI driver lets the user set a port's latency timer.
inline constexpr const char* FTDI_LATENCY_SETTING =
    "Device Manager, Ports (COM & LPT), the port's Properties, Port Settings, Advanced, Latency Timer (msec)";

struct PortOpening {
    PortHandle port = INVALID_PORT;
    PortFailure failure = PortFailure::NONE;
    AdapterLatency latency; // for a port that opened
};

/// How a read or write ended.
enum class PortStatus : std::uint8_t {
    DONE,      // every byte moved
    GONE,      // end of file or an unplugged adapter: the board has gone
    TIMED_OUT, // the time allowed ran out first
    CANCELLED, // cancelPortWaits ended the wait, or came before it
    FAILED,    // any other error of the port
};

struct PortTransfer {
    std::size_t count = 0; // the bytes that moved, whatever the status
    PortStatus status = PortStatus::DONE;
};

/// Wait for ever (readPort's time allowed).
inline constexpr int NO_TIMEOUT = -1;

/// The device a port name opens: on POSIX the variable YM2608_COM3 (or
/// YM2608_COM4) when set and not empty, else /dev/ttyS2 (/dev/ttyS3); on
/// Windows \\.\COM3 (\\.\COM4).
std::string portDevicePath(const char* name);

/// Opens the serial device at `path` exclusively, with the line left at the
/// speed it has and switched to raw bytes, and finds what it can of the
/// adapter's latency timer (which never fails the open). A failed open leaves
/// nothing held. The process holds at most one port: opening another
/// releases the first.
PortOpening openPort(const char* path);

/// Writes all of `bytes` (one frame, or several whole frames back to back),
/// looping over partial writes. Refused (CANCELLED, nothing written) after
/// cancelPortWaits; once begun, a write is never cut off by it, so a frame
/// leaves whole or not at all.
PortTransfer writePort(PortHandle port, std::span<const std::uint8_t> bytes);

/// Waits until all of `bytes` have arrived, looping over partial reads, for at
/// most `timeoutMs` milliseconds in all (NO_TIMEOUT: no limit). Ends
/// CANCELLED after cancelPortWaits.
PortTransfer readPort(PortHandle port, std::span<std::uint8_t> bytes, int timeoutMs);

/// Lets frames already written reach the line, restores the port's settings and
/// releases it. Tolerates a port that is already gone.
void closePort(PortHandle port);

/// The line's speed in bits per second, from the port's settings; 0 when unknown.
std::uint32_t portSpeed(PortHandle port);

/// Bytes written but not yet sent on the line; 0 when unknown.
std::size_t portQueuedOutput(PortHandle port);

/// Without waiting: true when the port says its board has gone (a hung-up
/// line, an unplugged adapter), for a program that neither writes nor reads
/// for a long while and must still notice. False while it looks present.
bool portHungUp(PortHandle port);

/// Waits until every byte written has left; false when the port failed.
bool drainPort(PortHandle port);

/// For a signal handler (async-signal-safe): ends the read under way and
/// refuses every read and write until allowPortWaits. A handler that lands
/// just before a read blocks is seen when the read's bytes arrive; a second
/// one ends a wait on a silent board.
void cancelPortWaits();

/// Lets reads and writes run again after cancelPortWaits.
void allowPortWaits();

/// For a signal handler about to end the process: restores the held port's
/// settings (its driver's latency mode among them) and releases its exclusive
/// hold, with async-signal-safe calls only.
/// Does nothing when no port is held.
void restorePortFromSignal();
