// The encoders against a wide search, and their speed. For each signal (our
// own square wave, noise, clicks, sines and tune, and real recordings from
// Debian's alsa-utils and sound-theme-freedesktop when they are installed)
// it prints the SNR each encoder reaches at 16016 Hz, the SNR of a search
// of --wide states (4096 unless told) and what the default effort leaves
// on the table; then the time each encoder takes for 10 s of the tune.
// A program to run from a release build, not a test:
//
//   build/adpcm/ym2608_adpcm_bench [--wide N] [--seconds S] [--runs N] [--only TEXT]
#include "adpcm/audio_input.h"
#include "adpcm/codec.h"
#include "reference_search.h"
#include "test_signals.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

namespace {

constexpr double CLIP_SECONDS = 10.0;

struct Signal {
    std::string name;
    std::vector<std::int16_t> values;
};

struct Effort {
    const char* name;
    adpcm::Encoder encoder;
};

constexpr Effort EFFORTS[] = {{"greedy", adpcm::Encoder::GREEDY},
                              {"fast", adpcm::Encoder::SEARCH_FAST},
                              {"default", adpcm::Encoder::SEARCH},
                              {"best", adpcm::Encoder::SEARCH_BEST}};

/// Recordings from Debian packages, read as the encoder reads them: mixed
/// to mono and resampled to the playback rate.
struct Recording {
    const char* name;
    const char* path;
};

constexpr Recording RECORDINGS[] = {
    {"speech (alsa Front_Center)", "/usr/share/sounds/alsa/Front_Center.wav"},
    {"noise (alsa Noise)", "/usr/share/sounds/alsa/Noise.wav"},
    {"camera shutter", "/usr/share/sounds/freedesktop/stereo/camera-shutter.oga"},
    {"alarm clock", "/usr/share/sounds/freedesktop/stereo/alarm-clock-elapsed.oga"},
    {"bell", "/usr/share/sounds/freedesktop/stereo/bell.oga"},
    {"complete", "/usr/share/sounds/freedesktop/stereo/complete.oga"},
};

bool readRecording(const char* path, double seconds, std::vector<std::int16_t>& values)
{
    adpcm::AudioSource source;
    std::string error;
    if (!adpcm::openAudio(path, source, error)) {
        return false;
    }
    adpcm::ReadReport report;
    const bool read = adpcm::readResampled(source, adpcm::test::SIGNAL_RATE, values, report, error);
    adpcm::closeAudio(source);
    if (values.size() > static_cast<std::size_t>(seconds * adpcm::test::SIGNAL_RATE)) {
        values.resize(static_cast<std::size_t>(seconds * adpcm::test::SIGNAL_RATE));
    }
    return read && !values.empty();
}

double snrOfCodes(const std::vector<std::int16_t>& signal, const std::vector<std::uint8_t>& codes)
{
    std::vector<std::int16_t> decoded;
    decoded.reserve(codes.size());
    adpcm::DecoderState state;
    for (const std::uint8_t code : codes) {
        decoded.push_back(adpcm::decodeCode(state, code));
    }
    return adpcm::snrDecibels(signal, decoded);
}

double secondsSince(std::chrono::steady_clock::time_point begin)
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
}

std::string machine()
{
    std::ifstream cpu("/proc/cpuinfo");
    std::string line;
    std::string model = "unknown processor";
    while (std::getline(cpu, line)) {
        if (line.rfind("model name", 0) == 0) {
            model = line.substr(line.find(':') + 2);
            break;
        }
    }
    std::ifstream loadFile("/proc/loadavg");
    std::string load;
    loadFile >> load;
    return model + ", " + std::to_string(std::thread::hardware_concurrency()) + " cores, load average " +
           (load.empty() ? "unknown" : load);
}

} // namespace

int main(int argc, char** argv)
{
    std::size_t wide = 4096;
    double seconds = 1.0;
    int runs = 3;
    const char* only = ""; // signals whose names hold this text
    if (argc % 2 == 0) {
        std::fprintf(stderr, "usage: ym2608_adpcm_bench [--wide N] [--seconds S] [--runs N] [--only TEXT]\n");
        return 2;
    }
    for (int i = 1; i + 1 < argc; i += 2) {
        if (std::strcmp(argv[i], "--wide") == 0) {
            wide = static_cast<std::size_t>(std::atoi(argv[i + 1]));
        } else if (std::strcmp(argv[i], "--seconds") == 0) {
            seconds = std::atof(argv[i + 1]);
        } else if (std::strcmp(argv[i], "--runs") == 0) {
            runs = std::atoi(argv[i + 1]);
        } else if (std::strcmp(argv[i], "--only") == 0) {
            only = argv[i + 1];
        } else {
            std::fprintf(stderr,
                         "usage: ym2608_adpcm_bench [--wide N] [--seconds S] [--runs N] [--only TEXT]\n");
            return 2;
        }
    }
    if (wide < 1 || seconds <= 0.0 || runs < 1) {
        std::fprintf(stderr, "ym2608_adpcm_bench: --wide, --seconds and --runs must be positive\n");
        return 2;
    }

    namespace test = adpcm::test;
    std::vector<Signal> signals = {
        {"square 440 Hz, half scale", test::square(440.0, 0.5, seconds)},
        {"white noise, RMS 1/4", test::whiteNoise(0.25, seconds)},
        {"pink noise, RMS 1/4", test::pinkNoise(0.25, seconds)},
        {"clicks out of silence", test::clicks(0.5, seconds)},
        {"sine 100 Hz, half scale", test::sine(100.0, 0.5, seconds)},
        {"sine 440 Hz, half scale", test::sine(440.0, 0.5, seconds)},
        {"sine 1 kHz, half scale", test::sine(1000.0, 0.5, seconds)},
        {"sine 3 kHz, half scale", test::sine(3000.0, 0.5, seconds)},
        {"sine 6 kHz, half scale", test::sine(6000.0, 0.5, seconds)},
        {"test tune (our own)", test::tune(seconds)},
        {"vowel swelling to loud", test::vowel(seconds)},
    };
    for (const Recording& recording : RECORDINGS) {
        Signal signal{recording.name, {}};
        if (readRecording(recording.path, seconds, signal.values)) {
            signals.push_back(std::move(signal));
        } else {
            std::printf("(%s not found: apt install alsa-utils sound-theme-freedesktop)\n", recording.path);
        }
    }

    std::printf("SNR in dB at %d Hz, first %.2f s of each signal, against a search of %zu states\n\n",
                test::SIGNAL_RATE, seconds, wide);
    std::printf("| signal | greedy | fast | default | best | %zu states | left by default |\n", wide);
    std::printf("|---|---|---|---|---|---|---|\n");
    double worstGap = -1e9;
    for (const Signal& signal : signals) {
        if (signal.name.find(only) == std::string::npos) {
            continue;
        }
        std::printf("| %s |", signal.name.c_str());
        double snr[std::size(EFFORTS)] = {};
        for (std::size_t e = 0; e < std::size(EFFORTS); ++e) {
            adpcm::DecoderState state;
            snr[e] = snrOfCodes(signal.values, adpcm::encodeCodes(signal.values, EFFORTS[e].encoder, state));
            std::printf(" %.2f |", snr[e]);
        }
        std::fflush(stdout);
        const double reference = snrOfCodes(signal.values, test::referenceSearch(signal.values, wide));
        const double gap = reference - snr[2];
        worstGap = std::max(worstGap, gap);
        std::printf(" %.2f | %.2f |\n", reference, gap);
        std::fflush(stdout);
    }
    std::printf("\nmost left on the table by the default effort: %.2f dB\n", worstGap);

    std::printf("\nencoding %.0f s of the tune at %d Hz (%zu values), best of %d, one core; %s\n\n",
                CLIP_SECONDS, test::SIGNAL_RATE, test::tune(CLIP_SECONDS).size(), runs, machine().c_str());
    const std::vector<std::int16_t> clip = test::tune(CLIP_SECONDS);
    std::printf("| encoder | time | SNR |\n|---|---|---|\n");
    for (const Effort& effort : EFFORTS) {
        double best = 1e9;
        std::vector<std::uint8_t> bytes;
        for (int run = 0; run < runs; ++run) {
            const auto begin = std::chrono::steady_clock::now();
            bytes = adpcm::encodeSample(clip, effort.encoder);
            best = std::min(best, secondsSince(begin));
        }
        std::printf("| %s | %.3f s | %.2f dB |\n", effort.name, best,
                    adpcm::snrDecibels(clip, adpcm::decodeSample(bytes)));
        std::fflush(stdout);
    }
    return 0;
}
