// The YM2608's SSG unit (registers 0x00-0x0D of the first bank): three square
// wave tones, one noise source, the mixer that gates each channel with them,
// fixed levels or the shared envelope generator, rendered one output sample
// (the master clock / 144) at a time for the board emulator.
//
// The unit runs on the master clock / 32, the chip's internal division for
// the SSG: a tone of period TP toggles every TP of those ticks (f = clock /
// (64 TP)), the noise shifts every 2 NP ticks (clock / (64 NP)) and the
// envelope takes one of its 32 steps every EP ticks (a whole ramp in clock /
// (1024 EP)). An output sample spans 4.5 ticks; it is the mean of the ticks
// that fall in it, which keeps tones above the output rate from folding back.
//
//   0x00-0x05  tone period of A, B, C: fine 8 bits, then coarse ----xxxx
//   0x06       ---xxxxx noise period
//   0x07       --xxx--- noise off on C, B, A   -----xxx tone off on C, B, A
//   0x08-0x0A  ---x---- level from the envelope   ----xxxx fixed level (3 dB a step)
//   0x0B-0x0C  envelope period: fine 8 bits, then coarse 8 bits
//   0x0D       ----xxxx envelope shape: continue, attack, alternate, hold; a write restarts it
//
// Functions: resetSsg, writeSsg, clockSsg, ssgLevel.
#pragma once

#include <cstdint>

namespace synth {

inline constexpr int SSG_CHANNELS = 3;

/// A channel's output at the loudest level, before the board's mix; the
/// output of a channel swings between 0 and this.
inline constexpr std::int32_t SSG_FULL_SCALE = 8191;

/// The SSG unit's whole state; resetSsg gives the chip's power-up state.
struct SsgUnit {
    std::uint8_t regs[16] = {};
    std::uint16_t toneCount[SSG_CHANNELS] = {};
    bool toneHigh[SSG_CHANNELS] = {};
    std::uint16_t noiseCount = 0;
    std::uint32_t noiseShift = 1; // 17-bit shift register, output in bit 0
    std::uint32_t envelopeCount = 0;
    std::uint8_t envelopeStep = 0; // 0..31 along the current ramp
    bool envelopeRising = false;
    bool envelopeHeld = false;
    std::uint8_t envelopeHeldLevel = 0;
    std::uint32_t tickPhase = 0; // master clocks carried over to the next output sample
};

/// Power-up: all registers 0 (every tone and noise gate open, every level 0),
/// counters and the envelope at their start.
void resetSsg(SsgUnit& ssg);

/// One write to an SSG register (0x00-0x0D); other registers are ignored.
void writeSsg(SsgUnit& ssg, std::uint8_t reg, std::uint8_t value);

/// Advances one output sample and returns the three channels' summed output,
/// 0..3 x SSG_FULL_SCALE (the unit's output never goes below 0).
std::int32_t clockSsg(SsgUnit& ssg);

/// A channel's amplitude at a 5-bit envelope level (0 silent, 31 loudest,
/// 1.5 dB a step); a fixed level L sounds at 2L+1.
std::int32_t ssgLevel(int level);

} // namespace synth
