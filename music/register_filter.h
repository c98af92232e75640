// Fewer bytes on the line: a write that sets a register to the value it
// already holds changes nothing in the chip, unless the write itself does
// something (keys a note, restarts an envelope, pushes a byte, moves a
// latch). The filter remembers what every register was last set to and
// passes only writes that matter. Its table of registers whose writes are
// never dropped, each with the reason, is in register_filter.cpp.
//
// Functions: writeHasEffect, resetRegisterFilter, passWrite.
#pragma once

#include "chip/ym2608.h"

#include <array>
#include <cstdint>

/// What the chip's registers hold as far as the filter knows: -1 for a
/// register not yet written (its power-on value is not relied upon).
struct RegisterFilter {
    std::array<std::int16_t, REGISTER_COUNT> known;
};

/// True when a write to `reg` (0x000..0x1FF) acts on the chip even with the
/// value the register already holds, so that it is never dropped.
bool writeHasEffect(std::uint16_t reg);

/// Forgets every register's value, as before the first write of a song.
void resetRegisterFilter(RegisterFilter& filter);

/// True when the write must reach the chip: it has an effect of its own or
/// changes the register's value. Records the value either way.
bool passWrite(RegisterFilter& filter, std::uint16_t reg, std::uint8_t value);
