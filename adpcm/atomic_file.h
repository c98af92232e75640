// Files that appear whole or not at all: the sample files and WAV files of
// the encode/decode program and the emulator's playback WAVs are written
// under a temporary name in the target's directory, flushed, and renamed over
// the target only once complete, so a failure never leaves a truncated file.
// Only a regular file, or a name not yet taken, is replaced so: a symlink is
// written through, the temporary file then standing beside the file it leads
// to; a device, a FIFO or standard output is written into as it is.
//
// A WAV file that is written as it is made (a whole song's render) goes the
// same way: openWavAtomically gives the libsndfile handle on the temporary
// file, commitWav completes it and renames it over the target, and
// discardWav removes it, so the target never holds half a file.
//
// Functions: replacedFile, writeFileAtomically, writeWavAtomically, openWavAtomically, commitWav, discardWav.
#pragma once

#include <sndfile.h>

#include <cstdint>
#include <span>
#include <string>

namespace adpcm {

/// A 16-bit WAV file being written under a temporary name beside `path`.
struct TempWav {
    std::string path;     // the target
    std::string tempPath; // where it is written meanwhile
    int fd = -1;
    SNDFILE* file = nullptr;
};

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

/// Starts a 16-bit WAV of `channels` channels at `rate` Hz for `path`: the
/// frames go to `wav.file`, in a temporary file beside the file `path`
/// replaces (a WAV written as it is made needs a file to seek back in, so a
/// device or a FIFO is refused). False with `error` set (one line, no newline) on
/// failure, with nothing left behind.
bool openWavAtomically(const std::string& path, int channels, int rate, TempWav& wav, std::string& error);

/// Completes the WAV, flushes it to the disk and renames it over its target.
/// False with `error` set on failure; the temporary file is then gone and
/// the target as it was.
bool commitWav(TempWav& wav, std::string& error);

/// Closes and removes an unfinished WAV; the target stays as it was.
void discardWav(TempWav& wav);

} // namespace adpcm
