// What the whole chip puts out: the FM, SSG, rhythm and ADPCM units driven by
// the register writes of both banks and the sample memory, mixed as the
// board's output carries them, one stereo output sample (the master clock /
// 144) at a time. Every program that makes the chip's sound is a front end
// over this: the emulator's session WAV feeds it writes and sample memory in
// the order they arrived on the line, the player's render in the order of
// the log. A write goes down from here to the unit it is for, and nowhere else.
//
// The mix, in the FM unit's channel range (a channel at full scale swings
// +-8192): the six FM channels as they are; each rhythm instrument at full
// levels up to the same range; the ADPCM unit's 16-bit output at level 255
// scaled to the same range (a quarter); the SSG, mixed in beside the chip on
// the board, with a channel at full level swinging half that range, through a
// coupling capacitor (a high-pass at about 9 Hz) since its output never goes
// below 0. The sum goes to a 16-bit converter: what passes its range is held
// at the limit, as a DAC clips, never wrapped round.
//
// Functions: resetChipSound, setSsgLevel, writeChipSound, writeChipMemory, renderChipSound, chipSampleAt.
#pragma once

#include "synth/adpcm.h"
#include "synth/fm.h"
#include "synth/rhythm.h"
#include "synth/ssg.h"

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace synth {

/// Where each unit comes into the mix, as a shift of its output: the ADPCM
/// unit's 16 bits go down by two to the FM channels' 14; the SSG's channel
/// scale (SSG_FULL_SCALE) comes in at half.
inline constexpr int ADPCM_MIX_SHIFT = 0;
inline constexpr int SSG_MIX_SHIFT = 1;
/// The output scale: the chip's 16-bit output, with the SSG beside it, at
/// half (-6 dB), so that one FM operator at full level peaks at -18 dBFS and
/// the chip's own limit at -6 dBFS, leaving room for the SSG.
inline constexpr int OUTPUT_SHIFT = 1;

/// The SSG's level against FM, in dB, that setSsgLevel takes: boards differ
/// in how they mix the SSG beside the chip. 0 is the PC-9801-86's balance.
inline constexpr double SSG_LEVEL_MIN_DB = -40.0;
inline constexpr double SSG_LEVEL_MAX_DB = 20.0;
/// The SSG's gain is kept in 1/2^SSG_GAIN_BITS.
inline constexpr int SSG_GAIN_BITS = 12;

struct ChipSound {
    FmUnit fm;
    SsgUnit ssg;
    RhythmUnit rhythm;
    AdpcmRegisters adpcmRegs;
    AdpcmVoice adpcm;
    std::vector<std::uint8_t> memory;          // the sample memory, as the board's commits left it
    std::int32_t ssgLastIn = 0;                // the coupling high-pass's last input
    std::int64_t ssgFiltered = 0;              // and its output, in 1/1024
    std::int32_t fmLastIn[2] = {};             // the same high-pass on the FM sum, left and right
    std::int64_t fmFiltered[2] = {};           // and its outputs, in 1/1024
    std::int32_t ssgGain = 1 << SSG_GAIN_BITS; // the board's mix, which a reset leaves as it is
};

/// Powers the chip up: every unit reset, sample memory cleared. A rhythm
/// memory image is taken when `rhythmMemory` has the right size; otherwise
/// the rhythm unit stays silent.
void resetChipSound(ChipSound& chip, std::span<const std::uint8_t> rhythmMemory);

/// Sets the SSG's level against FM to `decibels` (within SSG_LEVEL_MIN_DB
/// to SSG_LEVEL_MAX_DB; 0 after construction).
void setSsgLevel(ChipSound& chip, double decibels);

/// One register write: bank 0 reaches the SSG (0x00-0x0D), the rhythm unit
/// (0x10-0x1D) and the FM unit; bank 1 the ADPCM unit (0x00-0x0F) and the FM unit.
void writeChipSound(ChipSound& chip, int bank, std::uint8_t reg, std::uint8_t value);

/// Copies `bytes` into the sample memory at byte `offset` (the part past the end is dropped).
void writeChipMemory(ChipSound& chip, std::size_t offset, std::span<const std::uint8_t> bytes);

/// Renders `frames.size() / 2` stereo output samples, interleaved left/right.
void renderChipSound(ChipSound& chip, std::span<std::int16_t> frames);

/// The first output sample at or after `nanos` from the start on a master
/// clock of `clock` Hz: output sample k stands for the time k x 144 / clock,
/// so a write at `nanos` takes effect from this sample on. 0 for a time at or
/// before the start.
std::uint64_t chipSampleAt(std::int64_t nanos, std::uint32_t clock);

} // namespace synth
