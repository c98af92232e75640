// What the whole chip puts out: the FM, SSG, rhythm and ADPCM units driven by
// the register writes of both banks, mixed as the board's output carries
// them, one stereo output sample (the master clock / 144) at a time. The
// session renderer owns one ChipSound and feeds it writes and sample memory
// in the order they arrived on the line.
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
// Functions: resetChipSound, writeChipSound, writeChipMemory, renderChipSound.
#pragma once

#include "adpcm/render.h"
#include "synth/fm.h"
#include "synth/rhythm.h"
#include "synth/ssg.h"

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

/// Where each unit comes into the mix, as a shift of its output: the ADPCM
/// unit's 16 bits go down by two to the FM channels' 14; the SSG's channel
/// scale (SSG_FULL_SCALE) comes in at half.
inline constexpr int ADPCM_MIX_SHIFT = 2;
inline constexpr int SSG_MIX_SHIFT = 1;

struct ChipSound {
    synth::FmUnit fm;
    synth::SsgUnit ssg;
    synth::RhythmUnit rhythm;
    adpcm::AdpcmRegisters adpcmRegs;
    adpcm::AdpcmVoice adpcm;
    std::vector<std::uint8_t> memory; // the sample memory, as the board's commits left it
    std::int32_t ssgLastIn = 0;   // the coupling high-pass's last input
    std::int64_t ssgFiltered = 0; // and its output, in 1/1024
};

/// Powers the chip up: every unit reset, sample memory cleared. A rhythm
/// memory image is taken when `rhythmMemory` has the right size; otherwise
/// the rhythm unit stays silent.
void resetChipSound(ChipSound& chip, std::span<const std::uint8_t> rhythmMemory);

/// One register write: bank 0 reaches the SSG (0x00-0x0D), the rhythm unit
/// (0x10-0x1D) and the FM unit; bank 1 the ADPCM unit (0x00-0x0F) and the FM unit.
void writeChipSound(ChipSound& chip, int bank, std::uint8_t reg, std::uint8_t value);

/// Copies `bytes` into the sample memory at byte `offset` (the part past the end is dropped).
void writeChipMemory(ChipSound& chip, std::size_t offset, std::span<const std::uint8_t> bytes);

/// Renders `frames.size() / 2` stereo output samples, interleaved left/right.
void renderChipSound(ChipSound& chip, std::span<std::int16_t> frames);
