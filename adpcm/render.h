// What the YM2608's ADPCM unit would play from its sample memory for one
// start, rendered as 16-bit stereo at the chip's output clock, so that the
// board emulator can write each playback to a WAV file for listening.
//
// The emulator folds every second-bank register write into the ADPCM
// registers with synth::applyAdpcmWrite; a write that starts playback from
// memory is the moment to call renderPlayback on the sample memory,
// writePlaybackWav on the frames and describePlayback for the verbose line.
// A playback is played by the chip's own ADPCM voice (synth/adpcm.h), the one
// the whole chip's sound plays through; writePlaybackWav uses libsndfile.
//
// Functions: planPlayback, renderPlayback, describePlayback, writePlaybackWav.
#pragma once

#include "chip/ym2608.h"
#include "synth/adpcm.h"

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace adpcm {

using synth::AdpcmRegisters;

/// Renders are stereo, left and right interleaved.
inline constexpr std::uint32_t OUTPUT_CHANNELS = 2;

/// A render's master clock unless told another: the board's, from
/// chip/ym2608.h, where the output rate (outputRate, wavRate) is worked out too.
using ::DEFAULT_CLOCK;

/// A render never runs longer than this; a longer playback (a very low
/// delta-N over a long stretch of memory) is cut here rather than filling
/// gigabytes.
inline constexpr std::uint32_t MAX_RENDER_SECONDS = 300;

/// What a start with `regs` plays, worked out before rendering.
struct PlaybackPlan {
    bool plays = false;           // false: start, memory data or delta-N missing, reset set, or stop < start
    std::uint32_t codeCount = 0;  // codes from the start unit to the end of the stop unit
    std::uint32_t frameCount = 0; // output frames, after any cut
    bool cut = false;             // frameCount was limited to MAX_RENDER_SECONDS
    double rateHz = 0.0;          // code rate, the output rate * deltaN / 65536
};

/// The plan for `regs` on a master clock of `clock` Hz. Frames run until the
/// counter would need a code past the stop unit: ceil((codeCount + 1) * 65536 / deltaN).
PlaybackPlan planPlayback(const AdpcmRegisters& regs, std::uint32_t clock = DEFAULT_CLOCK);

/// The chip's output for a start with `regs`, as interleaved left/right
/// 16-bit frames at the output rate; empty when the plan does not play. A
/// disabled channel carries silence. `memory` is the sample memory; addresses
/// beyond it wrap, as on a board whose memory is smaller than the chip's
/// address range. With repeat set, one pass is rendered. Memory is read as
/// the board wires it, 8 bits wide; the 1-bit-wide addressing that control 2
/// bit 1 clear would select is not modelled.
std::vector<std::int16_t> renderPlayback(std::span<const std::uint8_t> memory, const AdpcmRegisters& regs,
                                         std::uint32_t clock = DEFAULT_CLOCK);

/// The verbose line for a playback, without a newline, for example
/// "play units 0..31 at 15990 Hz, 0.13 s -> play-0001.wav". A start that
/// renders nothing says why instead of the duration and file.
std::string describePlayback(const AdpcmRegisters& regs, std::string_view wavName,
                             std::uint32_t clock = DEFAULT_CLOCK);

/// Writes rendered frames as a 16-bit stereo WAV at the output rate of
/// `clock`, under a temporary name renamed to `path` once complete. False with
/// `error` set (one line, no newline) on failure, leaving `path` as it was.
bool writePlaybackWav(const std::string& path, std::span<const std::int16_t> frames, std::string& error,
                      std::uint32_t clock = DEFAULT_CLOCK);

} // namespace adpcm
