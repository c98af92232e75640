// How long the encoders take on a 10-second clip at the playback rate: the
// search encoder must stay well under a second. Prints the times and the SNR
// each encoder reaches; run it from a release build.
#include "adpcm/codec.h"
#include "test_signals.h"

#include <chrono>
#include <cstdio>

namespace {

constexpr double CLIP_SECONDS = 10.0;
constexpr int RUNS = 5;

void measure(const char* name, const std::vector<std::int16_t>& clip, adpcm::Encoder encoder)
{
    double best = 1e9;
    std::vector<std::uint8_t> bytes;
    for (int run = 0; run < RUNS; ++run) {
        const auto begin = std::chrono::steady_clock::now();
        bytes = adpcm::encodeSample(clip, encoder);
        const std::chrono::duration<double> took = std::chrono::steady_clock::now() - begin;
        best = std::min(best, took.count());
    }
    const double snr = adpcm::snrDecibels(clip, adpcm::decodeSample(bytes));
    std::printf("%-7s %6.3f s for %.0f s of audio (best of %d), SNR %.2f dB\n", name, best, CLIP_SECONDS,
                RUNS, snr);
}

} // namespace

int main()
{
    const std::vector<std::int16_t> clip = adpcm::test::tune(CLIP_SECONDS);
    measure("greedy", clip, adpcm::Encoder::GREEDY);
    measure("search", clip, adpcm::Encoder::SEARCH);
    return 0;
}
