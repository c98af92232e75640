#include "play/options.h"

#include "cli/options.h"
#include "music/write_transform.h"
#include "play/keys.h"
#include "synth/chip_sound.h"
#include "synth/chip_wav.h"

#include <string_view>

namespace {

using cli::Given;

constexpr int MAX_LOOPS = 1000;
constexpr double MIN_SPEED = 0.01;
constexpr double MAX_SPEED = 1000.0;
constexpr std::uint64_t MIN_BAUD = 50;
constexpr std::uint64_t MAX_BAUD = 100'000'000;
constexpr std::uint64_t MIN_CLOCK = 1'000'000;
constexpr double MAX_FADE_SECONDS = 600.0;
constexpr std::uint64_t MAX_CLOCK = 20'000'000;

bool setPort(PlayOptions& o, const Given& given, std::string& error)
{
    return cli::setPath(o.port, given, "a device path", error);
}

bool setBaud(PlayOptions& o, const Given& given, std::string& error)
{
    return cli::setWhole(o.baud, given, MIN_BAUD, MAX_BAUD, "N must be a whole number from 50 to 100000000",
                         error);
}

bool setLoops(PlayOptions& o, const Given& given, std::string& error)
{
    return cli::setWhole(o.loops, given, 1, MAX_LOOPS, "N must be a whole number from 1 to 1000", error);
}

bool setSpeed(PlayOptions& o, const Given& given, std::string& error)
{
    return cli::setReal(o.speed, given, MIN_SPEED, MAX_SPEED, "X must be a number from 0.01 to 1000", error);
}

bool setBoardClock(PlayOptions& o, const Given& given, std::string& error)
{
    return cli::setWhole(o.boardClock, given, MIN_CLOCK, MAX_CLOCK,
                         "HZ must be a whole number from 1000000 to 20000000", error);
}

bool setRender(PlayOptions& o, const Given& given, std::string& error)
{
    return cli::setPath(o.render.wavPath, given, "a file", error);
}

bool setWavRate(PlayOptions& o, const Given& given, std::string& error)
{
    o.renderOnly = true;
    for (const std::uint32_t rate : synth::WAV_RATES) {
        if (given.value == std::to_string(rate)) {
            o.render.wavRate = rate;
            return true;
        }
    }
    error = cli::badValue(given, "N must be 44100 or 48000");
    return false;
}

bool setClock(PlayOptions& o, const Given& given, std::string& error)
{
    o.renderOnly = true;
    return cli::setWhole(o.render.clock, given, MIN_CLOCK, MAX_CLOCK,
                         "HZ must be a whole number from 1000000 to 20000000", error);
}

bool setRhythmRom(PlayOptions& o, const Given& given, std::string& error)
{
    o.renderOnly = true;
    return cli::setPath(o.render.rhythmRomPath, given, "a file", error);
}

bool setSsgLevel(PlayOptions& o, const Given& given, std::string& error)
{
    o.renderOnly = true;
    return cli::setReal(o.render.ssgLevelDb, given, synth::SSG_LEVEL_MIN_DB, synth::SSG_LEVEL_MAX_DB,
                        "DB must be a number from -40 to 20", error);
}

// LIST: unit names, comma-separated.
bool setUnits(std::uint16_t& units, const Given& given, std::string& error)
{
    UnitSet parsed = 0;
    std::string badName;
    if (!parseUnitList(given.value, parsed, badName)) {
        error = cli::badValue(given, (badName.empty() ? std::string("an empty name")
                                                      : "no unit is called \"" + badName + "\"") +
                                         " (LIST: fm1-fm6, ssg1-ssg3, rhythm, adpcm, comma-separated)");
        return false;
    }
    units |= parsed;
    return true;
}

bool setMute(PlayOptions& o, const Given& given, std::string& error)
{
    return setUnits(o.muted, given, error);
}

bool setSolo(PlayOptions& o, const Given& given, std::string& error)
{
    o.solo = true;
    return setUnits(o.soloed, given, error);
}

bool setFade(PlayOptions& o, const Given& given, std::string& error)
{
    return cli::setReal(o.fadeSeconds, given, 0.0, MAX_FADE_SECONDS, "SECONDS must be a number from 0 to 600",
                        error);
}

using cli::setFalse;
using cli::setTrue;

/// Every option of the player: parsing and --help read this one table.
const cli::Option<PlayOptions> OPTIONS[] = {
    {"--port", "PATH", "the board's device instead of COM3/COM4 (YM2608_COM3, YM2608_COM4)", setPort},
    {"--baud", "N",
     "the line's speed, 50 to 100000000, for the timing and --stats,\n"
     "instead of the port's",
     setBaud},
    {"--loops", "N", "play the looped part N times in all, 1 to 1000 (default 2)", setLoops},
    {"--speed", "X", "play X times faster, 0.01 to 1000 (default 1)", setSpeed},
    {"--board-clock", "HZ",
     "the board's YM2608 clock, 1000000 to 20000000 (default 7987200);\n"
     "warns of a pitch offset",
     setBoardClock},
    {"--no-drop", "", "send every write, also those that change nothing", setFalse<&PlayOptions::dropping>},
    {"--mute", "LIST",
     "mute these units from the start: fm1-fm6, ssg1-ssg3, rhythm, adpcm,\n"
     "comma-separated (the keys 1-9, r, a unmute them)",
     setMute},
    {"--solo", "LIST", "mute every unit but these (names as for --mute)", setSolo},
    {"--fade", "SECONDS",
     "fade out over SECONDS, 0 to 600, after the last loop (a log without\n"
     "a loop over its last seconds), then end; default 0: no fade",
     setFade},
    {"--info", "", "play nothing: print each log's tags, length, loop, chips, ADPCM\nmemory and writes a second",
     setTrue<&PlayOptions::info>},
    {"--render", "OUT",
     "play nothing: render the logs through the chip's sound into the\n"
     "WAV file OUT, as fast as it goes (--baud N: as the board would\n"
     "play them over that line)",
     setRender},
    {"--wav-rate", "N", "with --render: 44100 or 48000 Hz (resampled) instead of clock / 144", setWavRate},
    {"--clock", "HZ", "with --render: the chip's master clock, 1000000 to 20000000 (default 7987200)", setClock},
    {"--rhythm-rom", "FILE", "with --render: an 8192-byte dump of the chip's rhythm memory", setRhythmRom},
    {"--ssg-level", "DB",
     "with --render: the SSG's level against FM, -40 to 20 dB (default 0, the\n"
     "PC-9801-86's balance; a PC-88 board's is about +3)",
     setSsgLevel},
    {"--stats", "", "play nothing: print what would be sent and what the line makes of it",
     setTrue<&PlayOptions::stats>},
    {"--list", "",
     "with --stats: every write, one line each: due time in microseconds,\n"
     "register, value, \"send\" or \"drop\"; last the play's length:\n"
     "microseconds, \"end\"",
     setTrue<&PlayOptions::list>},
    // No help of their own: listed together as "-h, --help, --version".
    {"-h, --help", "", "", setTrue<&PlayOptions::help>},
    {"--version", "", "", setTrue<&PlayOptions::version>},
};

/// Where each option's help starts in --help.
constexpr std::size_t HELP_COLUMN = 22;

} // namespace

const char* playUsageText()
{
    static const std::string text =
        "usage: ym2608-play [options] FILE...\n"
        "Plays YM2608 music logs (VGM, VGZ, S98) on the board: opens \"COM3\" (else \"COM4\"),\n"
        "loads the log's ADPCM memory, then streams its register writes on time.\n" +
        cli::optionList<PlayOptions>(OPTIONS, HELP_COLUMN) +
        "Ctrl-C or SIGTERM silences the chip and ends the play (status 130 after Ctrl-C).\n"
        "Keys at a terminal:\n" +
        keyHelpText(HELP_COLUMN) +
        "Ctrl-Z silences the chip until fg, which restores it and plays on.\n"
        "FILE may be a playlist (.m3u, .m3u8) or a folder (its logs in name order); a bad\n"
        "entry is reported and skipped, and the exit status is 2 at the end.\n"
        "YM2608_REPLY_TIMEOUT_MS bounds each wait for a reply of the board (milliseconds).\n"
        "The manual: man ym2608-play\n";
    return text.c_str();
}

bool parsePlayOptions(int argc, const char* const* argv, PlayOptions& options, std::string& error)
{
    // Music logs may stand anywhere among the options, and after "--" even
    // when their names start with a dash.
    const cli::Syntax syntax{.inlineValues = true, .endOfOptions = true, .missingValueIsEmpty = false};
    if (!cli::parseCommandLine(std::span(argv, static_cast<std::size_t>(argc)), OPTIONS, syntax, options,
                               &options.files, error)) {
        return false;
    }
    if (options.renderOnly && options.render.wavPath.empty()) {
        error = "--wav-rate, --clock, --rhythm-rom and --ssg-level go with --render";
        return false;
    }
    if (!options.render.wavPath.empty() && options.stats) {
        error = "--render and --stats do not go together";
        return false;
    }
    if (options.solo) {
        options.muted |= static_cast<std::uint16_t>(ALL_UNITS & ~options.soloed);
    }
    const bool transformed = options.muted != 0 || options.fadeSeconds > 0;
    if (transformed && !options.render.wavPath.empty()) {
        error = "--mute, --solo and --fade do not go with --render";
        return false;
    }
    if (options.info && (options.stats || !options.render.wavPath.empty())) {
        error = "--info goes with neither --stats nor --render";
        return false;
    }
    if (options.list && !options.stats) {
        error = "--list goes with --stats";
        return false;
    }
    if (options.files.empty() && !options.help && !options.version) {
        error = "no music log given (usage: ym2608-play [options] FILE...)";
        return false;
    }
    return true;
}
