// The YM2608's SSG unit (registers 0x00-0x0D of the first bank): three square
// wave tones, one noise source, the mixer that gates each channel with them,
// fixed levels or the shared envelope generator, rendered one output sample
// (the master clock / 144) at a time for the board emulator.
//
// The unit runs on the master clock / 32, the chip's internal division for
// the SSG: a tone of period TP toggles every TP of those ticks (f = clock /
// (64 TP)), the noise shifts every 2 NP ticks (clock / (64 NP)) and the
// envelope takes one of its 32 steps every EP ticks (a whole ramp in clock /
// (1024 EP)). An output sample spans 4.5 ticks. The ticks' output goes
// through a low-pass filter (a windowed sinc over 41 ticks, about 9 output
// samples, cutting off from about 15 kHz and 63 dB down from about 40 kHz)
// that gives an output sample every 4.5 ticks, so that the square waves'
// harmonics above the output rate do not fold back into what is heard.
//
// The noise is the chip's 17-bit shift register: it shifts towards bit 0,
// which is the noise output, and takes bit 0 XOR bit 3 into bit 16; it starts
// at 1 (a maximal sequence of 131071 shifts).
//
//   0x00-0x05  tone period of A, B, C: fine 8 bits, then coarse ----xxxx
//   0x06       ---xxxxx noise period
//   0x07       --xxx--- noise off on C, B, A   -----xxx tone off on C, B, A
//   0x08-0x0A  ---x---- level from the envelope   ----xxxx fixed level (about 3 dB a step)
//   0x0B-0x0C  envelope period: fine 8 bits, then coarse 8 bits
//   0x0D       ----xxxx envelope shape: continue, attack, alternate, hold; a write restarts it
//
// Functions: resetSsg, writeSsg, clockSsg, renderSsg, shiftSsgNoise, ssgLevel.
#pragma once

#include <cstdint>
#include <span>

namespace synth {

inline constexpr int SSG_CHANNELS = 3;

/// A channel's output at the loudest level, before the board's mix; the
/// output of a channel swings between 0 and this.
inline constexpr std::int32_t SSG_FULL_SCALE = 8191;

/// The noise shift register's start and its length.
inline constexpr std::uint32_t SSG_NOISE_START = 1;
inline constexpr int SSG_NOISE_BITS = 17;

/// Ticks of the output filter, and the ring that holds the last of them.
inline constexpr int SSG_FILTER_TICKS = 41;
inline constexpr int SSG_TICK_RING = 64;

/// The SSG unit's whole state; resetSsg gives the chip's power-up state.
struct SsgUnit {
    std::uint8_t regs[16] = {};
    // What the registers say, worked out when they are written.
    std::uint16_t tonePeriod[SSG_CHANNELS] = {1, 1, 1};
    std::uint16_t noisePeriod = 2; // ticks between shifts
    std::uint32_t envelopePeriod = 1;
    std::int32_t amplitude[SSG_CHANNELS] = {}; // each channel's level now, 0..SSG_FULL_SCALE
    std::uint16_t toneCount[SSG_CHANNELS] = {};
    bool toneHigh[SSG_CHANNELS] = {};
    std::uint16_t noiseCount = 0;
    std::uint32_t noiseShift = SSG_NOISE_START; // 17-bit shift register, output in bit 0
    std::uint32_t envelopeCount = 0;
    std::uint8_t envelopeStep = 0; // 0..31 along the current ramp
    bool envelopeRising = false;
    bool envelopeHeld = false;
    std::uint8_t envelopeHeldLevel = 0;
    std::int32_t output = 0; // the channels' summed output since the last change
    // The output filter: the last ticks' summed output, and which of the two
    // alignments of an output sample on the ticks comes next.
    // The ring is kept twice over, so that the last SSG_FILTER_TICKS ticks
    // always lie side by side; `steady` counts the ticks that have had the
    // same output as the last one (a held level, or silence).
    std::int32_t ticks[2 * SSG_TICK_RING] = {};
    std::uint32_t tickAt = 0;
    std::uint32_t steady = 0;
    bool oddSample = false;
};

/// Power-up: all registers 0 (every tone and noise gate open, every level 0),
/// counters and the envelope at their start.
void resetSsg(SsgUnit& ssg);

/// One write to an SSG register (0x00-0x0D); other registers are ignored.
void writeSsg(SsgUnit& ssg, std::uint8_t reg, std::uint8_t value);

/// Advances one output sample and returns the three channels' summed output,
/// about 0..3 x SSG_FULL_SCALE (the unit's output never goes below 0; the
/// filter may ring a little past either end at a sharp edge).
std::int32_t clockSsg(SsgUnit& ssg);

/// Advances as many output samples as `out` holds, exactly as that many
/// calls of clockSsg would, and puts each one's output in its place. Where
/// the output holds still (silence, a fixed level) over many samples, the
/// counters move over them all at once.
void renderSsg(SsgUnit& ssg, std::span<std::int32_t> out);

/// The noise shift register after one shift from `state`.
std::uint32_t shiftSsgNoise(std::uint32_t state);

/// A channel's amplitude at a 5-bit envelope level (0 silent, 31 loudest,
/// 1.5 dB a step near the top, more at the bottom); a fixed level L sounds at 2L+1.
std::int32_t ssgLevel(int level);

} // namespace synth
