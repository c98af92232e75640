// ym2608-adpcm: makes sample files for `l` from recordings, and turns sample
// files back into WAV files for checking by ear.
//
//   ym2608-adpcm encode IN OUT.bin [--rate HZ] [--effort fast|default|best] [--greedy] [--force]
//   ym2608-adpcm decode IN.bin OUT.wav [--rate HZ] [--force]
//
// Failures are one line on standard error and exit status 1 (2 for a wrong
// command line, the line then ending with the usage's shape); the output file
// is written only when everything succeeded.
// Warnings go to standard error too, prefixed "warning:".
#include "adpcm/atomic_file.h"
#include "adpcm/audio_input.h"
#include "adpcm/codec.h"
#include "adpcm/file_status.h"
#include "chip/ym2608.h"
#include "cli/options.h"
#include "version.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

namespace {

/// The encoder works its rates out at the chip's rated clock, its output rate
/// taken to the whole hertz (55556 Hz); a board on DEFAULT_CLOCK plays them 0.16% slow.
constexpr std::uint64_t CHIP_RATE = wavRate(RATED_CLOCK);

/// The rate at which `p` plays at that clock (PLAYBACK_DELTA_N, 16016 codes a second).
constexpr int PLAYBACK_RATE =
    static_cast<int>((CHIP_RATE * PLAYBACK_DELTA_N + DELTA_N_ONE / 2) / DELTA_N_ONE);

/// Rates that a delta-N can express (below 65536) and the converter can reach sensibly.
constexpr int MIN_RATE = 1000;
constexpr int MAX_RATE = 55555;

constexpr int EXIT_FAILED = 1;
constexpr int EXIT_USAGE = 2;

constexpr const char* USAGE =
    "usage: ym2608-adpcm encode IN OUT.bin [--rate HZ] [--effort fast|default|best] [--greedy] [--force]\n"
    "       ym2608-adpcm decode IN.bin OUT.wav [--rate HZ] [--force]\n"
    "       ym2608-adpcm --help | --version\n";

/// What the command line asks beyond a command: help or the version.
enum class Request : std::uint8_t { RUN, HELP, VERSION };

struct Options {
    std::string command;
    std::string input;
    std::string output;
    int rate = PLAYBACK_RATE;
    adpcm::Encoder encoder = adpcm::Encoder::SEARCH;
    bool effortGiven = false;
    bool greedy = false;
    bool force = false;
    Request request = Request::RUN;
};

int fail(const std::string& message)
{
    std::fprintf(stderr, "ym2608-adpcm: %s\n", message.c_str());
    return EXIT_FAILED;
}

/// A wrong command line: one line, what is wrong and the shape of a right one.
int usage(const std::string& message)
{
    std::fprintf(stderr,
                 "ym2608-adpcm: %s (usage: ym2608-adpcm encode|decode IN OUT [OPTION]...; see --help)\n",
                 message.c_str());
    return EXIT_USAGE;
}

bool parseRate(std::string_view text, int& rate)
{
    std::uint64_t value = 0;
    // At most six characters, leading zeros and all.
    if (text.size() > 6 || !cli::readWhole(text, MIN_RATE, MAX_RATE, value)) {
        return false;
    }
    rate = static_cast<int>(value);
    return true;
}

bool parseEffort(std::string_view text, adpcm::Encoder& encoder)
{
    if (text == "fast") {
        encoder = adpcm::Encoder::SEARCH_FAST;
    } else if (text == "default") {
        encoder = adpcm::Encoder::SEARCH;
    } else if (text == "best") {
        encoder = adpcm::Encoder::SEARCH_BEST;
    } else {
        return false;
    }
    return true;
}

// The setters of the table's rows. A value option last on the line comes
// with an empty value, which each refuses in its own words.
bool setRate(Options& o, const cli::Given& given, std::string& error)
{
    if (!parseRate(given.value, o.rate)) {
        error = cli::needs(given.name, "a whole number of hertz from " + std::to_string(MIN_RATE) + " to " +
                                           std::to_string(MAX_RATE));
        return false;
    }
    return true;
}

/// --effort and --greedy choose how to encode: decode does not know them.
bool encodingOnly(const Options& o, const cli::Given& given, std::string& error)
{
    if (o.command != "encode") {
        error = cli::unknownOption(given.name);
        return false;
    }
    return true;
}

bool setEffort(Options& o, const cli::Given& given, std::string& error)
{
    if (!encodingOnly(o, given, error)) {
        return false;
    }
    if (!parseEffort(given.value, o.encoder)) {
        error = cli::needs(given.name, "fast, default or best");
        return false;
    }
    o.effortGiven = true;
    return true;
}

bool setGreedy(Options& o, const cli::Given& given, std::string& error)
{
    if (!encodingOnly(o, given, error)) {
        return false;
    }
    o.greedy = true;
    return true;
}

bool askHelp(Options& o, const cli::Given& /*given*/, std::string& /*error*/)
{
    o.request = Request::HELP;
    return true;
}

bool askVersion(Options& o, const cli::Given& /*given*/, std::string& /*error*/)
{
    o.request = Request::VERSION;
    return true;
}

const std::string RATE_HELP = "the rate the sample plays at, 1000 to 55555 (default " +
                              std::to_string(PLAYBACK_RATE) + ",\nthe rate at which `p` plays)";

/// Every option of the encoder: parsing and --help read this one table.
const cli::Option<Options> OPTIONS[] = {
    {"--rate", "HZ", RATE_HELP, setRate},
    {"--effort", "fast|default|best", "how widely the encoder searches (default: default)", setEffort},
    {"--greedy", "", "the plain encoder: each code on its own", setGreedy},
    {"--force", "",
     "encode to an output named like an audio file; decode a file\n"
     "that looks like audio rather than ADPCM",
     cli::setTrue<&Options::force>},
    {"-h, --help", "", "this help", askHelp},
    {"--version", "", "the program's version", askVersion},
};

/// Where each option's help starts in --help.
constexpr std::size_t HELP_COLUMN = 17;

/// --help: the usage, what the commands do, and the options.
std::string helpText()
{
    return std::string(USAGE) +
           "\n"
           "encode reads any audio file that libsndfile reads, mixes it to mono, resamples\n"
           "it and writes the YM2608's 4-bit ADPCM codes for `l`, ended with silence.\n"
           "decode writes a sample file back as a 16-bit mono WAV file.\n"
           "\n" +
           cli::optionList<Options>(OPTIONS, HELP_COLUMN) +
           "\n"
           "See man ym2608-adpcm for more.\n";
}

/// Reads the command line; an empty string when it is sound, else what is wrong.
std::string parseOptions(int argc, char** argv, Options& options)
{
    // --help and --version are answered wherever they stand, whatever else
    // the line holds.
    std::string error;
    for (int i = 1; i < argc; ++i) {
        const cli::Option<Options>* row = cli::findOption<Options>(OPTIONS, argv[i]);
        if (row != nullptr && (row->set == askHelp || row->set == askVersion)) {
            row->set(options, {argv[i], {}}, error);
            return {};
        }
    }
    if (argc < 2) {
        return "no command";
    }
    options.command = argv[1];
    if (options.command.size() > 1 && options.command[0] == '-') {
        return cli::unknownOption(options.command);
    }
    if (options.command != "encode" && options.command != "decode") {
        return "unknown command " + options.command;
    }
    // The paths may stand anywhere among the options; "-" is a path.
    const cli::Syntax syntax{.inlineValues = false, .endOfOptions = false, .missingValueIsEmpty = true};
    std::vector<std::string> paths;
    if (!cli::parseCommandLine(std::span<const char* const>(argv + 2, static_cast<std::size_t>(argc - 2)),
                               OPTIONS, syntax, options, &paths, error)) {
        return error;
    }
    if (options.greedy && options.effortGiven) {
        return "--greedy does not search: it takes no --effort";
    }
    if (options.greedy) {
        options.encoder = adpcm::Encoder::GREEDY;
    }
    if (paths.size() != 2) {
        return "expected an input and an output file";
    }
    options.input = paths[0];
    options.output = paths[1];
    return {};
}

const char* encoderName(adpcm::Encoder encoder)
{
    switch (encoder) {
    case adpcm::Encoder::GREEDY:
        return "greedy";
    case adpcm::Encoder::SEARCH_FAST:
        return "search, effort fast";
    case adpcm::Encoder::SEARCH:
        return "search, effort default";
    case adpcm::Encoder::SEARCH_BEST:
        return "search, effort best";
    }
    return "search";
}

/// Checks that the output can be written before any work is done: it must
/// not be the input itself (the same file under any name), nor a directory,
/// and the folder of the file it replaces must exist. A device, a FIFO or
/// standard output is written into as it is, so no folder is needed for it.
/// Empty when sound, else the failure.
std::string checkOutput(const Options& options)
{
    if (adpcm::isDirectory(options.output)) {
        return "cannot write " + options.output + ": it is a directory";
    }
    if (adpcm::isSameFile(options.input, options.output)) {
        return "cannot write " + options.output + ": it is the input file; choose another output name";
    }
    // A device, a FIFO or standard output is written into as it is: no folder to check.
    const std::string replaced = adpcm::replacedFile(options.output);
    if (replaced.empty()) {
        return {};
    }
    if (const int problem = adpcm::outputFolderProblem(replaced); problem != 0) {
        return "cannot write " + options.output + ": " + std::strerror(problem);
    }
    return {};
}

/// Where the lines that report the work go: standard output, or standard
/// error when the codes or the WAV file themselves go to standard output.
std::FILE* reports = stdout;

void chooseReports(const std::string& output)
{
    reports = adpcm::isStandardOutput(output) ? stderr : stdout;
}

void warn(const std::string& message)
{
    std::fprintf(stderr, "ym2608-adpcm: warning: %s\n", message.c_str());
}

std::uint32_t deltaNFor(int rate)
{
    return static_cast<std::uint32_t>(std::lround(rate * static_cast<double>(DELTA_N_ONE) / CHIP_RATE));
}

std::string seconds(double value, int decimals = 2)
{
    char text[32];
    std::snprintf(text, sizeof text, "%.*f s", decimals, value);
    return text;
}

/// Two durations with enough decimals (two at least) to tell them apart.
std::pair<std::string, std::string> distinctSeconds(double first, double second)
{
    int decimals = 2;
    while (decimals < 6 && seconds(first, decimals) == seconds(second, decimals)) {
        ++decimals;
    }
    return {seconds(first, decimals), seconds(second, decimals)};
}

std::string tooLong(const std::string& path, std::int64_t samples, int rate)
{
    const std::size_t bytes = adpcm::paddedSampleBytes(static_cast<std::size_t>(samples));
    const auto [length, longest] = distinctSeconds(static_cast<double>(samples) / rate,
                                                   static_cast<double>(adpcm::maxSamplesThatFit()) / rate);
    return path + " is too long: " + length + " at " + std::to_string(rate) + " Hz needs " +
           std::to_string(bytes) + " bytes, the chip holds " + std::to_string(SAMPLE_MEMORY_SIZE) +
           "; at most " + longest + " fits";
}

/// Band-limiting that takes away more than this much of a recording's energy
/// is worth a warning: the sample will play far quieter than the recording.
constexpr double BAND_LIMIT_WARNING_DB = 3.0;

void reportReading(const adpcm::ReadReport& report, int rate)
{
    if (report.notFinite > 0) {
        warn(std::to_string(report.notFinite) +
             " values in the input are not numbers (NaN or infinite); taken as 0, or as full scale "
             "for infinities");
    }
    if (report.removedDecibels > BAND_LIMIT_WARNING_DB) {
        char amount[64];
        if (std::isinf(report.removedDecibels)) {
            std::snprintf(amount, sizeof amount, "all");
        } else {
            std::snprintf(amount, sizeof amount, "%.1f dB", report.removedDecibels);
        }
        warn(std::string("band-limiting to ") + std::to_string(rate / 2) + " Hz removed " + amount +
             " of the input's energy: most of the recording lies above what " + std::to_string(rate) +
             " Hz can hold");
    }
    if (report.clipped > 0) {
        std::fprintf(reports, "%lld values clipped at full scale\n", static_cast<long long>(report.clipped));
    }
}

/// `p` programs the playback rate; a sample made for another rate needs its
/// own delta-N, written by hand after `p` starts it.
void reportPlaybackRate(int rate)
{
    const std::uint32_t deltaN = deltaNFor(rate);
    if (deltaN == PLAYBACK_DELTA_N) {
        return;
    }
    std::fprintf(reports, "note: `p` plays at %d Hz; for %d Hz, type these after `p N`:\n", PLAYBACK_RATE,
                 rate);
    std::fprintf(reports, "o %x %02x\n", unsigned{BANK1_BASE} + ADPCM_DELTA_N_LOW, deltaN & 0xFFU);
    std::fprintf(reports, "o %x %02x\n", unsigned{BANK1_BASE} + ADPCM_DELTA_N_HIGH, deltaN >> 8);
}

int encode(const Options& options)
{
    if (const std::string problem = checkOutput(options); !problem.empty()) {
        return fail(problem);
    }
    if (adpcm::hasAudioExtension(options.output) && !options.force) {
        return fail("will not write ADPCM codes to " + options.output +
                    ", a name for an audio file; --force writes it anyway");
    }
    chooseReports(options.output);
    adpcm::AudioSource source;
    std::string error;
    adpcm::interruptibleReading(true);
    const bool opened = adpcm::openAudio(options.input, source, error);
    adpcm::interruptibleReading(false);
    if (!opened) {
        return fail(error);
    }
    std::fprintf(reports, "read %s: %s, %d Hz, %d channel%s, %s\n", options.input.c_str(),
                 source.format.c_str(), source.rate, source.channels, source.channels == 1 ? "" : "s",
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
    adpcm::ReadReport report;
    const bool read = adpcm::readResampled(source, options.rate, samples, report, error);
    closeAudio(source);
    if (!read) {
        return fail(options.input + ": " + error);
    }
    std::fprintf(reports, "resampled to %d Hz (delta-N 0x%04X): %zu values%s\n", options.rate,
                 deltaNFor(options.rate), samples.size(),
                 options.rate == source.rate ? ", rate unchanged" : "");
    reportReading(report, options.rate);

    const std::vector<std::uint8_t> bytes = adpcm::encodeSample(samples, options.encoder);
    const std::size_t units = bytes.size() / ADDRESS_UNIT;
    std::fprintf(reports, "encoded (%s): %zu bytes, %zu units of %zu bytes, the last one silence\n",
                 encoderName(options.encoder), bytes.size(), units, ADDRESS_UNIT);

    const std::vector<std::int16_t> decoded = adpcm::decodeSample(bytes);
    const bool silent = std::all_of(samples.begin(), samples.end(), [](std::int16_t x) { return x == 0; });
    if (silent) {
        std::fprintf(reports, "SNR not measured: the input is silent\n");
    } else {
        std::fprintf(reports, "SNR %.1f dB against the resampled input\n",
                     adpcm::snrDecibels(samples, decoded));
    }

    if (!adpcm::writeFileAtomically(options.output, bytes, error)) {
        return fail(error);
    }
    std::fprintf(reports, "wrote %s\n", options.output.c_str());
    reportPlaybackRate(options.rate);
    return 0;
}

int decode(const Options& options)
{
    if (const std::string problem = checkOutput(options); !problem.empty()) {
        return fail(problem);
    }
    chooseReports(options.output);
    // One byte more than the chip holds tells a file that fits from one that does not.
    std::vector<std::uint8_t> bytes;
    std::string error;
    adpcm::interruptibleReading(true);
    const bool read = adpcm::readInput(options.input, SAMPLE_MEMORY_SIZE + 1, bytes, error);
    adpcm::interruptibleReading(false);
    if (!read) {
        return fail(error);
    }
    if (bytes.empty()) {
        return fail(options.input + " is empty");
    }
    // Sample files have no header; one that libsndfile recognises is audio.
    if (const std::string format = adpcm::audioFormatOf(bytes); !format.empty() && !options.force) {
        return fail(options.input + " is a " + format +
                    " file, not ADPCM codes; --force decodes its bytes as codes anyway");
    }
    if (bytes.size() > SAMPLE_MEMORY_SIZE) {
        return fail(options.input + " is too long: more than the " + std::to_string(SAMPLE_MEMORY_SIZE) +
                    " bytes the chip holds");
    }

    const std::vector<std::int16_t> values = adpcm::decodeSample(bytes);
    std::fprintf(reports, "read %s: %zu bytes, %zu codes\n", options.input.c_str(), bytes.size(),
                 values.size());
    if (!adpcm::writeWavAtomically(options.output, values, 1, options.rate, error)) {
        return fail(error);
    }
    std::fprintf(reports, "wrote %s: 16-bit mono, %d Hz, %s\n", options.output.c_str(), options.rate,
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
    if (options.request == Request::HELP) {
        std::fputs(helpText().c_str(), stdout);
        return 0;
    }
    if (options.request == Request::VERSION) {
        std::printf("ym2608-adpcm %s\n", YM2608_VERSION);
        return 0;
    }
    return options.command == "encode" ? encode(options) : decode(options);
}
