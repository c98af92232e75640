// ym2608-adpcm: makes sample files for `l` from recordings, and turns sample
// files back into WAV files for checking by ear.
//
//   ym2608-adpcm encode IN OUT.bin [--rate HZ] [--greedy]
//   ym2608-adpcm decode IN.bin OUT.wav [--rate HZ]
//
// Failures are one line on standard error and exit status 1 (2 for a wrong
// command line); the output file is written only when everything succeeded.
#include "adpcm/atomic_file.h"
#include "adpcm/audio_input.h"
#include "adpcm/codec.h"
#include "adpcm/render.h"
#include "chip/ym2608.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

namespace {

/// The rate at which `p` plays (PLAYBACK_DELTA_N, about 16016 codes a second).
constexpr int PLAYBACK_RATE =
    static_cast<int>((std::uint64_t{adpcm::OUTPUT_RATE} * PLAYBACK_DELTA_N + 32768) / 65536);

/// Rates that a delta-N can express (below 65536) and the converter can reach sensibly.
constexpr int MIN_RATE = 1000;
constexpr int MAX_RATE = 55555;

constexpr int EXIT_FAILED = 1;
constexpr int EXIT_USAGE = 2;

constexpr const char* USAGE = "usage: ym2608-adpcm encode IN OUT.bin [--rate HZ] [--greedy]\n"
                              "       ym2608-adpcm decode IN.bin OUT.wav [--rate HZ]\n";

struct Options {
    std::string command;
    std::string input;
    std::string output;
    int rate = PLAYBACK_RATE;
    bool greedy = false;
};

int fail(const std::string& message)
{
    std::fprintf(stderr, "ym2608-adpcm: %s\n", message.c_str());
    return EXIT_FAILED;
}

int usage(const std::string& message)
{
    std::fprintf(stderr, "ym2608-adpcm: %s\n%s", message.c_str(), USAGE);
    return EXIT_USAGE;
}

bool parseRate(std::string_view text, int& rate)
{
    if (text.empty() || text.size() > 6) {
        return false;
    }
    int value = 0;
    for (const char c : text) {
        if (c < '0' || c > '9') {
            return false;
        }
        value = value * 10 + (c - '0');
    }
    if (value < MIN_RATE || value > MAX_RATE) {
        return false;
    }
    rate = value;
    return true;
}

/// Reads the command line; an empty string when it is sound, else what is wrong.
std::string parseOptions(int argc, char** argv, Options& options)
{
    if (argc < 2) {
        return "no command";
    }
    options.command = argv[1];
    if (options.command != "encode" && options.command != "decode") {
        return "unknown command " + options.command;
    }
    std::vector<std::string> paths;
    for (int i = 2; i < argc; ++i) {
        const std::string_view argument = argv[i];
        if (argument == "--rate") {
            if (i + 1 >= argc || !parseRate(argv[i + 1], options.rate)) {
                return "--rate needs a whole number of hertz from " + std::to_string(MIN_RATE) + " to " +
                       std::to_string(MAX_RATE);
            }
            ++i;
        } else if (argument == "--greedy" && options.command == "encode") {
            options.greedy = true;
        } else if (argument.size() > 1 && argument[0] == '-') {
            return "unknown option " + std::string(argument);
        } else {
            paths.emplace_back(argument);
        }
    }
    if (paths.size() != 2) {
        return "expected an input and an output file";
    }
    options.input = paths[0];
    options.output = paths[1];
    return {};
}

std::uint32_t deltaNFor(int rate)
{
    return static_cast<std::uint32_t>(std::lround(rate * 65536.0 / adpcm::OUTPUT_RATE));
}

std::string seconds(double value)
{
    char text[32];
    std::snprintf(text, sizeof text, "%.2f s", value);
    return text;
}

std::string tooLong(const std::string& path, std::int64_t samples, int rate)
{
    const std::size_t bytes = adpcm::paddedSampleBytes(static_cast<std::size_t>(samples));
    const double longest = static_cast<double>(adpcm::maxSamplesThatFit()) / rate;
    return path + " is too long: " + seconds(static_cast<double>(samples) / rate) + " at " +
           std::to_string(rate) + " Hz needs " + std::to_string(bytes) + " bytes, the chip holds " +
           std::to_string(SAMPLE_MEMORY_SIZE) + "; at most " + seconds(longest) + " fits";
}

int encode(const Options& options)
{
    adpcm::AudioSource source;
    std::string error;
    if (!adpcm::openAudio(options.input, source, error)) {
        return fail(error);
    }
    std::printf("read %s: %s, %d Hz, %d channel%s, %s\n", options.input.c_str(), source.format.c_str(),
                source.rate, source.channels, source.channels == 1 ? "" : "s",
                seconds(static_cast<double>(source.frames) / source.rate).c_str());
    const std::int64_t length = adpcm::resampledLength(source, options.rate);
    if (length <= 0) {
        closeAudio(source);
        return fail(options.input + " holds no audio");
    }
    if (static_cast<std::uint64_t>(length) > adpcm::maxSamplesThatFit()) {
        closeAudio(source);
        return fail(tooLong(options.input, length, options.rate));
    }

    std::vector<std::int16_t> samples;
    std::int64_t clipped = 0;
    const bool read = adpcm::readResampled(source, options.rate, samples, clipped, error);
    closeAudio(source);
    if (!read) {
        return fail(options.input + ": " + error);
    }
    std::printf("resampled to %d Hz (delta-N 0x%04X): %zu values%s\n", options.rate, deltaNFor(options.rate),
                samples.size(), options.rate == source.rate ? ", rate unchanged" : "");
    if (clipped > 0) {
        std::printf("%lld values clipped at full scale\n", static_cast<long long>(clipped));
    }

    const adpcm::Encoder encoder = options.greedy ? adpcm::Encoder::GREEDY : adpcm::Encoder::SEARCH;
    const std::vector<std::uint8_t> bytes = adpcm::encodeSample(samples, encoder);
    const std::size_t units = bytes.size() / ADDRESS_UNIT;
    std::printf("encoded (%s): %zu bytes, %zu units of %zu bytes, the last one silence\n",
                options.greedy ? "greedy" : "search", bytes.size(), units, ADDRESS_UNIT);

    const std::vector<std::int16_t> decoded = adpcm::decodeSample(bytes);
    const bool silent = std::all_of(samples.begin(), samples.end(), [](std::int16_t x) { return x == 0; });
    if (silent) {
        std::printf("SNR not measured: the input is silent\n");
    } else {
        std::printf("SNR %.1f dB against the resampled input\n", adpcm::snrDecibels(samples, decoded));
    }

    if (!adpcm::writeFileAtomically(options.output, bytes, error)) {
        return fail(error);
    }
    std::printf("wrote %s\n", options.output.c_str());
    return 0;
}

int decode(const Options& options)
{
    std::FILE* file = std::fopen(options.input.c_str(), "rb");
    if (file == nullptr) {
        return fail("cannot read " + options.input + ": " + std::strerror(errno));
    }
    // One byte more than the chip holds tells a file that fits from one that does not.
    std::vector<std::uint8_t> bytes(SAMPLE_MEMORY_SIZE + 1);
    const std::size_t count = std::fread(bytes.data(), 1, bytes.size(), file);
    const bool failed = std::ferror(file) != 0;
    const int readErrno = errno;
    std::fclose(file);
    if (failed) {
        return fail("cannot read " + options.input + ": " + std::strerror(readErrno));
    }
    if (count == 0) {
        return fail(options.input + " is empty");
    }
    if (count > SAMPLE_MEMORY_SIZE) {
        return fail(options.input + " is too long: more than the " + std::to_string(SAMPLE_MEMORY_SIZE) +
                    " bytes the chip holds");
    }
    bytes.resize(count);

    const std::vector<std::int16_t> values = adpcm::decodeSample(bytes);
    std::printf("read %s: %zu bytes, %zu codes\n", options.input.c_str(), bytes.size(), values.size());
    std::string error;
    if (!adpcm::writeWavAtomically(options.output, values, 1, options.rate, error)) {
        return fail(error);
    }
    std::printf("wrote %s: 16-bit mono, %d Hz, %s\n", options.output.c_str(), options.rate,
                seconds(static_cast<double>(values.size()) / options.rate).c_str());
    return 0;
}

} // namespace

int main(int argc, char** argv)
{
    Options options;
    if (const std::string problem = parseOptions(argc, argv, options); !problem.empty()) {
        return usage(problem);
    }
    return options.command == "encode" ? encode(options) : decode(options);
}
