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
// The console's standard streams are switched to binary at start-up,
// so that the tool reads the bytes typed and prints the bytes of its messages
// exactly as it does elsewhere: the console's own line rules deal with the
// carriage return of a Windows line end, and the progress line's lone
// carriage return stays what it is.
#include "link/port.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>
#include <string>

#include <fcntl.h>
#include <io.h>
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

// The one port this process holds, and the settings it had before we changed them.
struct OpenPort {
    HANDLE handle = INVALID_HANDLE_VALUE;
    HANDLE ioDone = nullptr; // signalled when the overlapped transfer ends
    DCB savedState{};
    COMMTIMEOUTS savedTimeouts{};
    bool settingsChanged = false;
    bool broken = false; // a transfer could not be taken back: no more I/O
    std::array<std::uint8_t, READ_PIECE> incoming{};
};

OpenPort held;

bool binaryConsole()
{
    const bool in = _setmode(_fileno(stdin), _O_BINARY) != -1;
    const bool out = _setmode(_fileno(stdout), _O_BINARY) != -1;
    const bool err = _setmode(_fileno(stderr), _O_BINARY) != -1;
    return in && out && err;
}

// Before main: the console's first prompt already goes out in binary.
[[maybe_unused]] const bool consoleIsBinary = binaryConsole();

std::string devicePath(const char* name)
{
    return std::string("\\\\.\\") + name;
}

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
    if (port.ioDone != nullptr) {
        CloseHandle(port.ioDone);
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

// Waits for an overlapped transfer started on the held port (or takes the
// result of one that completed at once). Returns the bytes
// it moved; `completed` is false when it failed or the port went away, in
// which case the transfer has been cancelled and taken back.
DWORD finishTransfer(OVERLAPPED& transfer, bool& completed)
{
    DWORD moved = 0;
    for (;;) {
        const DWORD waited = WaitForSingleObject(held.ioDone, WAIT_SLICE_MS);
        if (waited == WAIT_OBJECT_0) {
            completed = GetOverlappedResult(held.handle, &transfer, &moved, FALSE) != 0;
            return moved;
        }
        if (waited == WAIT_TIMEOUT && portPresent(held.handle)) {
            continue;
        }
        break;
    }
    completed = false;
    CancelIoEx(held.handle, &transfer);
    if (WaitForSingleObject(held.ioDone, CANCEL_WAIT_MS) != WAIT_OBJECT_0) {
        // The driver kept the transfer: its buffer and event stay its own.
        held.broken = true;
        return 0;
    }
    GetOverlappedResult(held.handle, &transfer, &moved, FALSE);
    return moved;
}

bool usable(PortHandle port)
{
    return port != INVALID_PORT && reinterpret_cast<HANDLE>(port) == held.handle && !held.broken;
}

} // namespace

PortHandle openPort(const char* name)
{
    release(held);

    OpenPort port;
    // No sharing: while this program holds the port, every other open fails.
    port.handle = CreateFileA(devicePath(name).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                              OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
    if (port.handle == INVALID_HANDLE_VALUE) {
        return INVALID_PORT;
    }
    port.ioDone = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (port.ioDone == nullptr || !applySettings(port)) {
        release(port);
        return INVALID_PORT;
    }
    // Replies are one byte each with no way to resynchronise: a single stale
    // byte from before the open would shift every later reply.
    PurgeComm(port.handle, PURGE_RXABORT | PURGE_RXCLEAR);

    held = port;
    return reinterpret_cast<PortHandle>(held.handle);
}

std::size_t writePort(PortHandle port, std::span<const std::uint8_t> bytes)
{
    std::size_t written = 0;
    // One WriteFile carries the whole frame; another follows only if the
    // driver took part of it.
    while (written < bytes.size() && usable(port)) {
        OVERLAPPED transfer{};
        transfer.hEvent = held.ioDone;
        ResetEvent(held.ioDone);
        const DWORD length = static_cast<DWORD>(bytes.size() - written);
        // The count comes from the finished transfer, also when the call
        // completed at once: on an overlapped handle only that one is sure.
        if (!WriteFile(held.handle, bytes.data() + written, length, nullptr, &transfer) &&
            GetLastError() != ERROR_IO_PENDING) {
            break;
        }
        bool completed = false;
        const DWORD moved = finishTransfer(transfer, completed);
        written += moved;
        if (!completed || moved == 0) {
            break;
        }
    }
    return written;
}

std::size_t readPort(PortHandle port, std::span<std::uint8_t> bytes)
{
    std::size_t got = 0;
    while (got < bytes.size() && usable(port)) {
        OVERLAPPED transfer{};
        transfer.hEvent = held.ioDone;
        ResetEvent(held.ioDone);
        const DWORD length = static_cast<DWORD>(std::min(bytes.size() - got, READ_PIECE));
        if (!ReadFile(held.handle, held.incoming.data(), length, nullptr, &transfer) &&
            GetLastError() != ERROR_IO_PENDING) {
            break;
        }
        bool completed = false;
        const DWORD moved = finishTransfer(transfer, completed);
        if (held.broken) {
            break;
        }
        std::memcpy(bytes.data() + got, held.incoming.data(), moved);
        got += moved;
        // With no time-outs a read ends only with every byte asked for; one
        // that ends with none is a port that has gone.
        if (!completed || moved == 0) {
            break;
        }
    }
    return got;
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
