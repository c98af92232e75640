// Files that appear whole or not at all: the sample files and WAV files of
// the encode/decode program and the emulator's playback WAVs are written
// under a temporary name in the target's directory, flushed, and renamed over
// the target only once complete, so a failure never leaves a truncated file.
// Only a regular file, or a name not yet taken, is replaced so: a symlink is
// written through, the temporary file then standing beside the file it leads
// to; a device, a FIFO or standard output is written into as it is.
//
// Functions: replacedFile, writeFileAtomically, writeWavAtomically.
#pragma once

#include <cstdint>
#include <span>
#include <string>

namespace adpcm {

/// The file that writing `path` replaces: the one a symlink at `path` leads
/// to (through every link of a chain), else `path` itself. Empty when that is
/// neither a regular file nor a name not yet taken: a device, a FIFO or
/// standard output, which is then written into in place.
std::string replacedFile(const std::string& path);

/// Writes `bytes` to `path`. False with `error` set (one line, no newline)
/// on failure; `path` is then as it was and the temporary file is gone.
bool writeFileAtomically(const std::string& path, std::span<const std::uint8_t> bytes, std::string& error);

/// Writes interleaved 16-bit `frames` of `channels` channels at `rate` Hz as
/// a WAV file at `path`, with the same guarantees as writeFileAtomically.
bool writeWavAtomically(const std::string& path, std::span<const std::int16_t> frames, int channels, int rate,
                        std::string& error);

} // namespace adpcm
