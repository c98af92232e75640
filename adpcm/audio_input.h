// Reading a recording for the encoder: any file that libsndfile reads, mixed
// to mono, resampled with libsamplerate's best converter to the rate the
// chip will play it at, and turned into 16-bit values.
//
// Functions: openAudio, closeAudio, resampledLength, readResampled.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace adpcm {

/// An open audio file and what its header says.
struct AudioSource {
    void* handle = nullptr; // the libsndfile handle, kept out of this header
    std::string format;     // "WAV (Microsoft), Signed 16 bit PCM"
    int rate = 0;
    int channels = 0;
    std::int64_t frames = 0;
};

/// Opens `path` and reads its header. False with `error` set (one line, no
/// newline) when the file cannot be read or is not audio that libsndfile knows.
bool openAudio(const std::string& path, AudioSource& source, std::string& error);

void closeAudio(AudioSource& source);

/// How many values the recording gives at `rate`: its frames scaled by the
/// ratio of the rates, rounded. Known before anything is read, so that a
/// recording too long for the chip is turned away at once.
std::int64_t resampledLength(const AudioSource& source, int rate);

/// The recording as 16-bit mono values at `rate`, exactly
/// resampledLength(source, rate) of them. Values the converter pushes beyond
/// full scale are clipped and counted in `clipped`.
bool readResampled(AudioSource& source, int rate, std::vector<std::int16_t>& samples, std::int64_t& clipped,
                   std::string& error);

} // namespace adpcm
