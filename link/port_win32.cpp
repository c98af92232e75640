// The Win32 serial backend. "COM3" and "COM4" open as \\.\COM3 and \\.\COM4
// (the device namespace prefix is what makes COM10 and up open at all).
//
// The port is opened without sharing, so a second program is refused and
// cannot interleave frames on the same board; it is switched to raw 8-bit
// bytes at the speed it already has, with no flow control and no time-outs,
// and used with overlapped I/O that this file waits for. The waits come in
// slices with a check between them that the port is still there: an
// unplugged USB adapter must end a read short, not leave it waiting forever
// (a synchronous read on a vanished port can even spin).
//
// The FTDI driver keeps each port's latency timer in the registry, where the
// user sets it in Device Manager; the open reads it for the port opened, so
// that the console can say how to lower a timer that holds every reply.
#include "link/port.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include <windows.h>

namespace {

// How long one wait for a read or write lasts before the port is checked again.
constexpr DWORD WAIT_SLICE_MS = 100;

// How long a cancelled transfer may take to come back before the port is
// given up as broken.
constexpr DWORD CANCEL_WAIT_MS = 2000;

// Replies are one to four bytes; reads go through a buffer of our own so that
// a transfer the driver never gives back cannot write into the caller's bytes.
constexpr std::size_t READ_PIECE = 64;

// What an overlapped transfer lends the driver: the OVERLAPPED itself and the
// bytes moved. It lives as long as the port; when a cancelled transfer never
// comes back, the block is left to the driver rather than freed under it.
struct IoBlock {
    OVERLAPPED transfer{};
    std::array<std::uint8_t, READ_PIECE> incoming{};
    std::vector<std::uint8_t> outgoing;
};

// The one port this process holds, and the settings it had before we changed them.
struct OpenPort {
    HANDLE handle = INVALID_HANDLE_VALUE;
    HANDLE ioDone = nullptr; // signalled when the overlapped transfer ends
    DCB savedState{};
    COMMTIMEOUTS savedTimeouts{};
    bool settingsChanged = false;
    bool broken = false; // a transfer could not be taken back: no more I/O
    IoBlock* io = nullptr;
};

OpenPort held;

// Set by cancelPortWaits from the console control handler's thread.
std::atomic<bool> cancelled{false};

// Undoes whatever an open got as far as; each step tolerates a port already gone.
void release(OpenPort& port)
{
    if (port.handle != INVALID_HANDLE_VALUE) {
        if (port.settingsChanged) {
            SetCommTimeouts(port.handle, &port.savedTimeouts);
            SetCommState(port.handle, &port.savedState);
        }
        CloseHandle(port.handle);
    }
    // A transfer the driver kept may still signal the event and fill the block.
    if (!port.broken) {
        if (port.ioDone != nullptr) {
            CloseHandle(port.ioDone);
        }
        delete port.io;
    }
    port = OpenPort{};
}

// Drivers of adapters without modem lines (and some emulated ports) refuse
// the modem-control part of a settings call; the call as a whole then fails
// with ERROR_NOT_SUPPORTED although the rest of the settings took.
bool modemControlRefused(DWORD error)
{
    return error == ERROR_NOT_SUPPORTED;
}

// Eight data bits, no parity, one stop bit, binary, and no flow control or
// byte filter of any kind: the frames are raw bytes, 0x11 and 0x13 included.
// The speed stays as the port has it.
void makeRaw(DCB& state)
{
    state.ByteSize = 8;
    state.Parity = NOPARITY;
    state.StopBits = ONESTOPBIT;
    state.fBinary = TRUE;
    state.fParity = FALSE;
    state.fOutxCtsFlow = FALSE;
    state.fOutxDsrFlow = FALSE;
    state.fDsrSensitivity = FALSE;
    state.fOutX = FALSE;
    state.fInX = FALSE;
    state.fNull = FALSE;
    state.fErrorChar = FALSE;
    state.fAbortOnError = FALSE;
    // DTR and RTS stay as the port has them, but not as handshake lines.
    if (state.fDtrControl == DTR_CONTROL_HANDSHAKE) {
        state.fDtrControl = DTR_CONTROL_ENABLE;
    }
    if (state.fRtsControl == RTS_CONTROL_HANDSHAKE || state.fRtsControl == RTS_CONTROL_TOGGLE) {
        state.fRtsControl = RTS_CONTROL_ENABLE;
    }
}

bool isRaw(const DCB& state)
{
    return state.ByteSize == 8 && state.Parity == NOPARITY && state.StopBits == ONESTOPBIT && state.fBinary &&
           !state.fParity && !state.fOutxCtsFlow && !state.fOutxDsrFlow && !state.fDsrSensitivity &&
           !state.fOutX && !state.fInX && !state.fNull && !state.fErrorChar && !state.fAbortOnError &&
           state.fRtsControl != RTS_CONTROL_HANDSHAKE && state.fRtsControl != RTS_CONTROL_TOGGLE &&
           state.fDtrControl != DTR_CONTROL_HANDSHAKE;
}

bool applySettings(OpenPort& port)
{
    port.savedState.DCBlength = sizeof(DCB);
    if (!GetCommState(port.handle, &port.savedState) && !modemControlRefused(GetLastError())) {
        return false;
    }
    if (!GetCommTimeouts(port.handle, &port.savedTimeouts)) {
        return false;
    }
    DCB raw = port.savedState;
    makeRaw(raw);
    port.settingsChanged = true;
    if (!SetCommState(port.handle, &raw)) {
        if (!modemControlRefused(GetLastError())) {
            return false;
        }
        // Refused in part: check that what the frames need did take.
        DCB applied{};
        applied.DCBlength = sizeof(DCB);
        if (!GetCommState(port.handle, &applied) && !modemControlRefused(GetLastError())) {
            return false;
        }
        if (!isRaw(applied)) {
            return false;
        }
    }
    // All five zero: a read completes only when every byte asked for has come,
    // a write when every byte is out. A previous program's time-outs would
    // otherwise end reads early, and the tool has no time-outs of its own.
    COMMTIMEOUTS none{};
    return SetCommTimeouts(port.handle, &none) != 0;
}

// False once the port has gone: an unplugged adapter fails every call on its
// handle, the state query included.
bool portPresent(HANDLE handle)
{
    DCB state{};
    state.DCBlength = sizeof(DCB);
    return GetCommState(handle, &state) || modemControlRefused(GetLastError());
}

ULONGLONG deadlineFor(int timeoutMs)
{
    return timeoutMs < 0 ? 0 : GetTickCount64() + static_cast<ULONGLONG>(timeoutMs);
}

// The next wait: a slice, or less when the deadline (0: none) comes first.
DWORD sliceBefore(ULONGLONG deadline)
{
    if (deadline == 0) {
        return WAIT_SLICE_MS;
    }
    const ULONGLONG now = GetTickCount64();
    return now >= deadline ? 0 : static_cast<DWORD>(std::min<ULONGLONG>(deadline - now, WAIT_SLICE_MS));
}

// Waits for the overlapped transfer started on the held port (or takes the
// result of one that completed at once), until `deadline` (0: none). Returns
// the bytes it moved and how it ended; a transfer that failed, ran out of
// time or lost its port has been cancelled and taken back.
PortTransfer finishTransfer(ULONGLONG deadline, bool cancellable)
{
    OVERLAPPED& transfer = held.io->transfer;
    DWORD moved = 0;
    PortStatus status = PortStatus::GONE;
    for (;;) {
        const DWORD waited = WaitForSingleObject(held.ioDone, sliceBefore(deadline));
        if (waited == WAIT_OBJECT_0) {
            const bool completed = GetOverlappedResult(held.handle, &transfer, &moved, FALSE) != 0;
            return {moved, completed ? PortStatus::DONE : PortStatus::GONE};
        }
        if (waited != WAIT_TIMEOUT || !portPresent(held.handle)) {
            break;
        }
        if (cancellable && cancelled) {
            status = PortStatus::CANCELLED;
            break;
        }
        if (deadline != 0 && GetTickCount64() >= deadline) {
            status = PortStatus::TIMED_OUT;
            break;
        }
    }
    CancelIoEx(held.handle, &transfer);
    if (WaitForSingleObject(held.ioDone, CANCEL_WAIT_MS) != WAIT_OBJECT_0) {
        // The driver kept the transfer: its block and event stay its own.
        held.broken = true;
        return {0, PortStatus::GONE};
    }
    GetOverlappedResult(held.handle, &transfer, &moved, FALSE);
    return {moved, status};
}

bool usable(PortHandle port)
{
    return port != INVALID_PORT && reinterpret_cast<HANDLE>(port) == held.handle && !held.broken;
}

// Starts one overlapped transfer on the held port's block.
void beginTransfer()
{
    held.io->transfer = OVERLAPPED{};
    held.io->transfer.hEvent = held.ioDone;
    ResetEvent(held.ioDone);
}

// The FTDI driver's devices: one key per adapter (VID_0403+PID_6001+SERIAL),
// one below it per interface (0000, ...), whose "Device Parameters" give the
// port's name (PortName, "COM3") and its latency timer (LatencyTimer, in ms).
constexpr const char* FTDI_DEVICES = "SYSTEM\\CurrentControlSet\\Enum\\FTDIBUS";
constexpr const char* DEVICE_PARAMETERS = "Device Parameters";

// The name of the `index`-th key below `key`; false past the last one.
bool subkeyName(HKEY key, DWORD index, std::string& name)
{
    char text[256];
    DWORD length = sizeof text;
    if (RegEnumKeyExA(key, index, text, &length, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) {
        return false;
    }
    name.assign(text, length);
    return true;
}

// The timer of the interface whose parameters key is `key`, when its port is `port`.
bool timerFor(HKEY key, const std::string& port, DWORD& ms)
{
    char name[64] = {};
    DWORD size = sizeof name - 1;
    DWORD type = 0;
    if (RegQueryValueExA(key, "PortName", nullptr, &type, reinterpret_cast<BYTE*>(name), &size) !=
            ERROR_SUCCESS ||
        type != REG_SZ || lstrcmpiA(name, port.c_str()) != 0) {
        return false;
    }
    size = sizeof ms;
    return RegQueryValueExA(key, "LatencyTimer", nullptr, &type, reinterpret_cast<BYTE*>(&ms), &size) ==
               ERROR_SUCCESS &&
           type == REG_DWORD;
}

// The interface of the adapter `device` (a key below FTDI_DEVICES) that is `port`.
AdapterLatency timerOfAdapter(HKEY devices, const std::string& device, const std::string& port)
{
    HKEY adapter = nullptr;
    if (RegOpenKeyExA(devices, device.c_str(), 0, KEY_READ, &adapter) != ERROR_SUCCESS) {
        return {};
    }
    AdapterLatency latency;
    std::string instance;
    for (DWORD i = 0; latency.found == AdapterTimer::NOT_FOUND && subkeyName(adapter, i, instance); ++i) {
        const std::string parameters = instance + "\\" + DEVICE_PARAMETERS;
        HKEY key = nullptr;
        if (RegOpenKeyExA(adapter, parameters.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) {
            continue;
        }
        DWORD ms = 0;
        if (timerFor(key, port, ms)) {
            latency = {AdapterTimer::REGISTRY, static_cast<int>(ms),
                       std::string("HKLM\\") + FTDI_DEVICES + "\\" + device + "\\" + parameters};
        }
        RegCloseKey(key);
    }
    RegCloseKey(adapter);
    return latency;
}

// The FTDI driver's latency timer for the port at `path` ("\\.\COM3");
// NOT_FOUND for a port that is no FTDI adapter's.
AdapterLatency findLatencyTimer(const char* path)
{
    std::string port = path;
    if (port.rfind("\\\\.\\", 0) == 0) {
        port.erase(0, 4);
    }
    HKEY devices = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, FTDI_DEVICES, 0, KEY_READ, &devices) != ERROR_SUCCESS) {
        return {};
    }
    AdapterLatency latency;
    std::string device;
    for (DWORD i = 0; latency.found == AdapterTimer::NOT_FOUND && subkeyName(devices, i, device); ++i) {
        latency = timerOfAdapter(devices, device, port);
    }
    RegCloseKey(devices);
    return latency;
}

PortFailure openFailure(DWORD error)
{
    switch (error) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_BAD_UNIT:
    case ERROR_DEV_NOT_EXIST:
        return PortFailure::NO_DEVICE;
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION:
        // A serial port opened by another program answers "access denied".
        return PortFailure::IN_USE;
    default:
        return PortFailure::OTHER;
    }
}

// "COM10" and up open only by their name in the device namespace; "COM1"
// to "COM9" open either way. So a bare port name given as a path (the
// player's --port COM12) gets the prefix; anything else opens as given.
std::string deviceNamespacePath(const char* path)
{
    const std::string name = path;
    const bool bare = name.size() > 3 && (name[0] == 'C' || name[0] == 'c') &&
                      (name[1] == 'O' || name[1] == 'o') && (name[2] == 'M' || name[2] == 'm') &&
                      name.find_first_not_of("0123456789", 3) == std::string::npos;
    return bare ? "\\\\.\\" + name : name;
}

} // namespace

std::string portDevicePath(const char* name)
{
    return std::string("\\\\.\\") + name;
}

PortOpening openPort(const char* path)
{
    release(held);

    OpenPort port;
    // No sharing: while this program holds the port, every other open fails.
    port.handle = CreateFileA(deviceNamespacePath(path).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                              OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
    if (port.handle == INVALID_HANDLE_VALUE) {
        return {INVALID_PORT, openFailure(GetLastError()), {}};
    }
    port.ioDone = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    port.io = new IoBlock;
    if (port.ioDone == nullptr) {
        release(port);
        return {INVALID_PORT, PortFailure::OTHER, {}};
    }
    if (!applySettings(port)) {
        release(port);
        return {INVALID_PORT, PortFailure::SETTINGS, {}};
    }
    // Replies are one byte each with no way to resynchronise: a single stale
    // byte from before the open would shift every later reply.
    PurgeComm(port.handle, PURGE_RXABORT | PURGE_RXCLEAR);

    held = port;
    return {reinterpret_cast<PortHandle>(held.handle), PortFailure::NONE, findLatencyTimer(path)};
}

PortTransfer writePort(PortHandle port, std::span<const std::uint8_t> bytes)
{
    PortTransfer result;
    if (cancelled) {
        result.status = PortStatus::CANCELLED;
        return result;
    }
    if (!usable(port)) {
        result.status = PortStatus::GONE;
        return result;
    }
    held.io->outgoing.assign(bytes.begin(), bytes.end());
    // One WriteFile carries all the bytes; another follows only if the
    // driver took part of them.
    while (result.count < bytes.size()) {
        if (!usable(port)) {
            result.status = PortStatus::GONE;
            break;
        }
        beginTransfer();
        const DWORD length = static_cast<DWORD>(bytes.size() - result.count);
        // The count comes from the finished transfer, also when the call
        // completed at once: on an overlapped handle only that one is sure.
        if (!WriteFile(held.handle, held.io->outgoing.data() + result.count, length, nullptr,
                       &held.io->transfer) &&
            GetLastError() != ERROR_IO_PENDING) {
            result.status = PortStatus::GONE;
            break;
        }
        // Once begun, a write runs to its end: a frame leaves whole or not at all.
        const PortTransfer piece = finishTransfer(0, false);
        result.count += piece.count;
        if (piece.status != PortStatus::DONE || piece.count == 0) {
            result.status = piece.status == PortStatus::DONE ? PortStatus::GONE : piece.status;
            break;
        }
    }
    return result;
}

PortTransfer readPort(PortHandle port, std::span<std::uint8_t> bytes, int timeoutMs)
{
    const ULONGLONG deadline = deadlineFor(timeoutMs);
    PortTransfer result;
    while (result.count < bytes.size()) {
        if (cancelled) {
            result.status = PortStatus::CANCELLED;
            break;
        }
        if (!usable(port)) {
            result.status = PortStatus::GONE;
            break;
        }
        beginTransfer();
        const DWORD length = static_cast<DWORD>(std::min(bytes.size() - result.count, READ_PIECE));
        if (!ReadFile(held.handle, held.io->incoming.data(), length, nullptr, &held.io->transfer) &&
            GetLastError() != ERROR_IO_PENDING) {
            result.status = PortStatus::GONE;
            break;
        }
        const PortTransfer piece = finishTransfer(deadline, true);
        if (held.broken) {
            result.status = PortStatus::GONE;
            break;
        }
        std::memcpy(bytes.data() + result.count, held.io->incoming.data(), piece.count);
        result.count += piece.count;
        // With no time-outs a read ends only with every byte asked for; one
        // that ends with none is a port that has gone.
        if (piece.status != PortStatus::DONE || piece.count == 0) {
            result.status = piece.status == PortStatus::DONE ? PortStatus::GONE : piece.status;
            break;
        }
    }
    return result;
}

void closePort(PortHandle port)
{
    if (port == INVALID_PORT || reinterpret_cast<HANDLE>(port) != held.handle) {
        return;
    }
    // A frame sent just before quitting must still reach the board.
    if (!held.broken) {
        FlushFileBuffers(held.handle);
    }
    release(held);
}

std::uint32_t portSpeed(PortHandle port)
{
    if (!usable(port)) {
        return 0;
    }
    DCB state{};
    state.DCBlength = sizeof(DCB);
    if (!GetCommState(held.handle, &state) && !modemControlRefused(GetLastError())) {
        return 0;
    }
    return static_cast<std::uint32_t>(state.BaudRate);
}

std::size_t portQueuedOutput(PortHandle port)
{
    if (!usable(port)) {
        return 0;
    }
    DWORD errors = 0;
    COMSTAT status{};
    if (!ClearCommError(held.handle, &errors, &status)) {
        return 0;
    }
    return status.cbOutQue;
}

bool portHungUp(PortHandle port)
{
    return !usable(port) || !portPresent(held.handle);
}

bool drainPort(PortHandle port)
{
    return usable(port) && FlushFileBuffers(held.handle) != 0;
}

void cancelPortWaits()
{
    cancelled = true;
}

void allowPortWaits()
{
    cancelled = false;
}

void restorePortFromSignal()
{
    // Called from the console control handler's thread as the process ends:
    // the settings go back; the system closes the handle at exit.
    if (held.handle != INVALID_HANDLE_VALUE && held.settingsChanged) {
        SetCommTimeouts(held.handle, &held.savedTimeouts);
        SetCommState(held.handle, &held.savedState);
    }
}
