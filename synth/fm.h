// The YM2608's FM unit: six channels of four operators each, rendered one
// output sample at a time (the chip's master clock / 144), so that the board
// emulator can play what the board's FM registers say.
//
// The emulator owns one FmUnit, resets it with resetFm, passes every register
// write of either bank to writeFm and calls clockFm once per output sample;
// clockFm adds each channel's signed 14-bit output to the left and right sums
// its output bits select.
//
// Functions: resetFm, writeFm, clockFm.
#pragma once

#include <cstdint>

namespace synth {

/// The FM unit's whole state; resetFm gives the chip's power-up state.
struct FmUnit {
    std::uint8_t regs[2][256] = {};
};

/// Puts the unit in its power-up state: all keys off, all registers zero, all outputs on.
void resetFm(FmUnit& fm);

/// One register write to the FM unit: bank 0 (port 0: channels 1-3, and 0x22 LFO, 0x27 channel-3 mode, 0x28 key
/// on/off) or bank 1 (channels 4-6). Writes to registers that are not the FM unit's are ignored.
void writeFm(FmUnit& fm, int bank, std::uint8_t reg, std::uint8_t value);

/// Advances one FM output sample (the chip's clock/144) and adds each channel's output, in the chip's signed
/// 14-bit channel range (-8192..8191), to `left` and/or `right` as that channel's output bits (0xB4-0xB6) say.
void clockFm(FmUnit& fm, std::int32_t& left, std::int32_t& right);

} // namespace synth
