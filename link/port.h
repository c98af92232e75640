// The platform seam under the device link: open a serial port by its name
// ("COM3", "COM4"), write a frame, read a reply, close. The build compiles
// exactly one backend file (port_posix.cpp here); the unit tests link a fake
// board in its place. Backend state lives inside the backend.
//
// Functions: openPort, writePort, readPort, closePort.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

/// An open port, or INVALID_PORT. Opaque to everything above the backend.
using PortHandle = std::intptr_t;
inline constexpr PortHandle INVALID_PORT = -1;

/// Opens the port called `name` exclusively, with the line left at the speed it
/// has and switched to raw bytes. INVALID_PORT when the port is absent, busy or
/// not a serial line; a failed open leaves nothing held.
PortHandle openPort(const char* name);

/// Writes all of `bytes`, looping over partial writes; returns how many bytes
/// went out (fewer only when the port failed or is gone).
std::size_t writePort(PortHandle port, std::span<const std::uint8_t> bytes);

/// Waits until all of `bytes` have arrived, looping over partial reads; returns
/// how many came (fewer only when the board is gone or the port failed).
std::size_t readPort(PortHandle port, std::span<std::uint8_t> bytes);

/// Lets frames already written reach the line, restores the port's settings and
/// releases it. Tolerates a port that is already gone.
void closePort(PortHandle port);
