// Reading a recording for the encoder: any file that libsndfile reads, mixed
// to mono, resampled with libsamplerate's best converter to the rate the
// chip will play it at, and turned into 16-bit values.
//
// Every input is opened once, as `cat` opens it: a FIFO waits for its writer,
// and a pipe's bytes are read once, so that nothing is lost to a second open.
// A signal the program catches (Ctrl-C) ends such a wait as a failed read.
//
// Functions: readInput, openAudio, closeAudio, resampledLength, readResampled,
// audioFormatOf, hasAudioExtension.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace adpcm {

/// Reads up to `limit` bytes of the file at `path` into `bytes`. False with
/// `error` set (one line, no newline) when it cannot be opened or read, or
/// is a directory.
bool readInput(const std::string& path, std::size_t limit, std::vector<std::uint8_t>& bytes,
               std::string& error);

/// An open audio file and what its header says.
struct AudioSource {
    void* handle = nullptr; // the libsndfile handle, kept out of this header
    void* memory = nullptr; // a pipe's bytes, read whole, that the handle reads
    int descriptor = -1;    // a regular file, open once, that the handle reads
    std::string format;     // "WAV (Microsoft), Signed 16 bit PCM"
    int rate = 0;
    int channels = 0;
    std::int64_t frames = 0;
};

/// Opens `path` and reads its header. False with `error` set (one line, no
/// newline) when the file cannot be read or is not audio that libsndfile knows.
/// Anything but a regular file (a pipe, a FIFO, a device) is read whole
/// first, up to PIPED_AUDIO_LIMIT bytes.
bool openAudio(const std::string& path, AudioSource& source, std::string& error);

void closeAudio(AudioSource& source);

/// How many values the recording gives at `rate`: its frames scaled by the
/// ratio of the rates, rounded. Known before anything is read, so that a
/// recording too long for the chip is turned away at once.
std::int64_t resampledLength(const AudioSource& source, int rate);

/// What reading a recording came across, for the program to report.
struct ReadReport {
    std::int64_t clipped = 0;   // values the converter pushed beyond full scale, clipped
    std::int64_t notFinite = 0; // NaN (taken as 0) and infinite values (taken as full scale) in the file
    double removedDecibels = 0; // energy the band-limiting to the new rate took away; 0 at the same rate
};

/// The recording as 16-bit mono values at `rate`, exactly
/// resampledLength(source, rate) of them. Values the converter pushes beyond
/// full scale are clipped; float files' NaN and infinite values are replaced
/// before anything else sees them. Both are counted in `report`.
bool readResampled(AudioSource& source, int rate, std::vector<std::int16_t>& samples, ReadReport& report,
                   std::string& error);

/// The most bytes of audio read from a pipe, a FIFO or a device: far more
/// than any recording the chip can hold, at any sensible rate.
inline constexpr std::size_t PIPED_AUDIO_LIMIT = std::size_t{256} << 20;

/// The format libsndfile recognises in a file's `bytes` by its header,
/// "WAV (Microsoft)"; empty when it recognises none.
std::string audioFormatOf(std::span<const std::uint8_t> bytes);

/// Whether `path` ends in an extension of an audio format libsndfile knows
/// (".wav", ".flac", ".ogg", ...), in any case.
bool hasAudioExtension(const std::string& path);

} // namespace adpcm
