// The chip's output as a WAV file: stereo 16-bit frames at the chip's own
// rate (the master clock / 144, 55467 Hz at 7987200 Hz) written as they come,
// or resampled with libsamplerate to 44100 or 48000 Hz. Two ways to a file:
// a growing one at its final name whose header follows every write, so that
// it reads whole while a session runs (the emulator's session WAV), and one
// written under a temporary name and renamed over its target only when
// complete (the player's render), so the target never holds half a file.
//
// Functions: openChipWav, writeChipWav, closeChipWav, discardChipWav.
#pragma once

#include "adpcm/atomic_file.h"

#include <samplerate.h>
#include <sndfile.h>

#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace synth {

/// The rates a WAV may be resampled to, besides the chip's own.
inline constexpr std::uint32_t WAV_RATES[] = {44100, 48000};

enum class WavKind : std::uint8_t { GROWING, WHOLE };

struct ChipWav {
    WavKind kind = WavKind::GROWING;
    std::string path;
    SNDFILE* file = nullptr;
    adpcm::TempWav temp; // a WHOLE file's temporary
    SRC_STATE* resampler = nullptr;
    double ratio = 1.0;
    std::vector<float> in;
    std::vector<float> out;
    bool failed = false;
    std::string error; // the first failure, one line: "cannot write PATH: why"
};

/// Starts the WAV at `path` for a chip on a master clock of `clock` Hz, at
/// `wavRate` (0: the chip's own rate; else 44100 or 48000). False with
/// `reason` set (the library's words, without the path) when the file or the
/// resampler cannot be made; nothing is left behind.
bool openChipWav(ChipWav& wav, const std::string& path, WavKind kind, std::uint32_t clock, std::uint32_t wavRate,
                 std::string& reason);

/// Adds interleaved left/right frames. False once writing has failed (see `wav.error`).
bool writeChipWav(ChipWav& wav, std::span<const std::int16_t> frames);

/// Gives out what the resampler holds and completes the file (a WHOLE one
/// renamed over its target). False with `wav.error` set when any write failed:
/// a WHOLE file is then removed.
bool closeChipWav(ChipWav& wav);

/// Abandons the file: a WHOLE one is removed, a GROWING one closed as it is.
void discardChipWav(ChipWav& wav);

} // namespace synth
