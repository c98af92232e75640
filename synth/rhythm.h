// The YM2608's rhythm unit (registers 0x10-0x1D of the first bank): six
// instruments played from the chip's built-in 8 KiB rhythm memory, rendered
// one output sample (the master clock / 144) at a time for the board emulator.
//
// We do not have that memory: it is the chip maker's data, and the emulator
// plays it only from an image a user has dumped (loadRhythmMemory). Without
// one the unit is silent. Each instrument is a stretch of the image in the
// unit's own 4-bit ADPCM, two codes a byte, high nibble first, decoded to 12
// bits at the master clock / 432 (18.5 kHz at 7987200 Hz): one code every
// third output sample, the value held in between.
//
//   0x10       x------- dump (stop) the instruments set below, else key them on
//              --xxxxxx rim shot, tom, hi-hat, top cymbal, snare drum, bass drum (bit 0)
//   0x11       --xxxxxx total level, 0.75 dB a step, 63 loudest
//   0x18-0x1D  x------- left   -x------ right   ---xxxxx instrument level, 0.75 dB a step, 31 loudest
//
// Functions: resetRhythm, loadRhythmMemory, readRhythmMemoryFile, writeRhythm, clockRhythm,
// decodeRhythmCode.
#pragma once

#include "chip/ym2608.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace synth {

inline constexpr std::size_t RHYTHM_MEMORY_SIZE = 8192;
/// The instruments, one key bit each (RHYTHM_INSTRUMENT_COUNT in chip/ym2608.h).
inline constexpr int RHYTHM_INSTRUMENTS = RHYTHM_INSTRUMENT_COUNT;

/// Where each instrument lies in the rhythm memory, first and last byte, in
/// the order of the key bits: bass drum, snare drum, top cymbal, hi-hat, tom, rim shot.
inline constexpr std::uint16_t RHYTHM_FIRST_BYTE[RHYTHM_INSTRUMENTS] = {0x0000, 0x01C0, 0x0440,
                                                                        0x1B80, 0x1D00, 0x1F80};
inline constexpr std::uint16_t RHYTHM_LAST_BYTE[RHYTHM_INSTRUMENTS] = {0x01BF, 0x043F, 0x1B7F,
                                                                       0x1CFF, 0x1F7F, 0x1FFF};

/// Output samples per decoded code.
inline constexpr int RHYTHM_SAMPLES_PER_CODE = 3;

/// The decoder of one instrument: a 12-bit value and an index into the step table.
struct RhythmDecoder {
    std::int32_t value = 0;
    std::int32_t stepIndex = 0;
};

struct RhythmInstrument {
    bool playing = false;
    std::uint32_t code = 0; // next code, counted in nibbles from the memory's start
    RhythmDecoder decoder;
    std::uint8_t control = 0; // its 0x18-0x1D register
};

/// The rhythm unit's whole state; resetRhythm gives the chip's power-up state
/// (the rhythm memory image, if any, is kept).
struct RhythmUnit {
    std::array<std::uint8_t, RHYTHM_MEMORY_SIZE> memory{};
    bool hasMemory = false;
    RhythmInstrument instrument[RHYTHM_INSTRUMENTS];
    std::uint8_t totalLevel = 0;
    int phase = 0; // output samples since the last code
    std::int32_t left = 0;  // the held output of both sides
    std::int32_t right = 0;
};

/// Power-up: nothing playing, every level 0; the memory image stays.
void resetRhythm(RhythmUnit& rhythm);

/// Takes a dumped rhythm memory image. False (and the unit stays silent) when
/// `image` is not exactly RHYTHM_MEMORY_SIZE bytes.
bool loadRhythmMemory(RhythmUnit& rhythm, std::span<const std::uint8_t> image);

/// Reads a dumped rhythm memory image from the file at `path` into `image`.
/// False with `reason` set (one line, without the path) when the file cannot
/// be read or is not exactly RHYTHM_MEMORY_SIZE bytes.
bool readRhythmMemoryFile(const std::string& path, std::vector<std::uint8_t>& image, std::string& reason);

/// One write to a rhythm register (0x10, 0x11, 0x18-0x1D); others are ignored.
void writeRhythm(RhythmUnit& rhythm, std::uint8_t reg, std::uint8_t value);

/// Advances one output sample and adds the instruments' output, each at
/// most the chip's 14-bit channel range at full levels, to `left` and
/// `right` as their output bits say.
void clockRhythm(RhythmUnit& rhythm, std::int32_t& left, std::int32_t& right);

/// Advances `decoder` by one 4-bit code: the value moves by (2L+1) x step / 8
/// (L the code's low three bits, bit 3 the sign) and stays within 12 bits;
/// the step index moves by -1 for L of 0-3 and by 2, 5, 7, 9 for 4-7, within
/// the 49 steps. Returns the new value.
std::int32_t decodeRhythmCode(RhythmDecoder& decoder, std::uint8_t code);

} // namespace synth
