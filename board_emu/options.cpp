#include "board_emu/options.h"

#include "cli/options.h"
#include "synth/chip_sound.h"

#include <algorithm>
#include <limits>
#include <string_view>

namespace {

using cli::Given;

// Numbers on the emulator's command line may be written in hexadecimal after 0x.
constexpr cli::Radix RADIX = cli::Radix::DECIMAL_OR_HEX;

// NAME:K[:BYTE] for --fail, NAME:K for --short. NAME must be a frame that has a reply.
bool parseFault(const Given& given, bool shortReply, FaultRule& rule, std::string& error)
{
    const std::string_view text = given.value;
    std::size_t colon = text.find(':');
    if (colon == std::string_view::npos) {
        error = cli::badValue(given, "expected NAME:K");
        return false;
    }
    const FrameInfo* info = findFrame(text.substr(0, colon));
    if (info == nullptr) {
        error = cli::badValue(given, "no frame is called " + std::string(text.substr(0, colon)));
        return false;
    }
    if (info->reply == ReplyKind::NONE) {
        error = cli::badValue(given, std::string(info->name) + " has no reply");
        return false;
    }
    std::string_view rest = text.substr(colon + 1);
    std::size_t second = rest.find(':');
    std::string_view ordinal = rest.substr(0, second);
    std::uint64_t k = 0;
    if (!cli::readWhole(ordinal, 1, std::numeric_limits<std::uint32_t>::max(), k, RADIX)) {
        error = cli::badValue(given, "K must be a frame count from 1");
        return false;
    }
    rule = FaultRule{info->opcode, static_cast<std::uint32_t>(k), shortReply, 0x00};
    if (second == std::string_view::npos) {
        return true;
    }
    std::uint64_t byte = 0;
    if (shortReply || !cli::readWhole(rest.substr(second + 1), 0, 255, byte, RADIX)) {
        error =
            cli::badValue(given, shortReply ? "expected NAME:K" : "BYTE must be 0 to 255 (or 0x00 to 0xff)");
        return false;
    }
    rule.reply = static_cast<std::uint8_t>(byte);
    return true;
}

bool setWavDir(EmuOptions& o, const Given& given, std::string& error)
{
    return cli::setPath(o.wavDir, given, "a directory", error);
}

bool setWav(EmuOptions& o, const Given& given, std::string& error)
{
    return cli::setPath(o.wavPath, given, "a file", error);
}

bool setWavRate(EmuOptions& o, const Given& given, std::string& error)
{
    if (given.value != "44100" && given.value != "48000") {
        error = cli::badValue(given, "N must be 44100 or 48000");
        return false;
    }
    o.wavRate = given.value == "44100" ? 44100 : 48000;
    return true;
}

bool setSsgLevel(EmuOptions& o, const Given& given, std::string& error)
{
    return cli::setReal(o.ssgLevelDb, given, synth::SSG_LEVEL_MIN_DB, synth::SSG_LEVEL_MAX_DB,
                        "DB must be a number from -40 to 20", error);
}

bool setClock(EmuOptions& o, const Given& given, std::string& error)
{
    return cli::setWhole(o.clock, given, 1'000'000, 20'000'000, "HZ must be 1000000 to 20000000", error,
                         RADIX);
}

bool setRhythmRom(EmuOptions& o, const Given& given, std::string& error)
{
    return cli::setPath(o.rhythmRomPath, given, "a file", error);
}

bool setIdentify(EmuOptions& o, const Given& given, std::string& error)
{
    if (given.value.size() != o.board.identify.size()) {
        error = cli::badValue(given, "TEXT must be exactly four bytes");
        return false;
    }
    std::copy(given.value.begin(), given.value.end(), o.board.identify.begin());
    return true;
}

bool setBacklight(EmuOptions& o, const Given& given, std::string& error)
{
    return cli::setWhole(o.board.backlight, given, 0, 255, "N must be 0 to 255", error, RADIX);
}

bool addFault(EmuOptions& o, const Given& given, bool shortReply, std::string& error)
{
    FaultRule rule;
    if (!parseFault(given, shortReply, rule, error)) {
        return false;
    }
    o.board.faults.push_back(rule);
    return true;
}

bool setFail(EmuOptions& o, const Given& given, std::string& error)
{
    return addFault(o, given, false, error);
}

bool setShort(EmuOptions& o, const Given& given, std::string& error)
{
    return addFault(o, given, true, error);
}

// A board unplugged before any frame would print a path no console can open.
bool setHangupAfter(EmuOptions& o, const Given& given, std::string& error)
{
    std::uint32_t frames = 0;
    if (!cli::setWhole(frames, given, 1, std::numeric_limits<std::uint32_t>::max(),
                       "K must be a frame count from 1 to 4294967295", error, RADIX)) {
        return false;
    }
    o.board.hangupAfter = frames;
    return true;
}

// The slowest speed a terminal can be set to; below it one byte would take
// more than a fifth of a second.
bool setBaud(EmuOptions& o, const Given& given, std::string& error)
{
    return cli::setWhole(o.baud, given, 50, 100'000'000, "N must be 50 to 100000000", error, RADIX);
}

// The range a USB-serial adapter's latency timer takes.
bool setLatencyTimer(EmuOptions& o, const Given& given, std::string& error)
{
    return cli::setWhole(o.latencyTimerMs, given, 1, 255, "MS must be 1 to 255", error, RADIX);
}

using cli::setText;
using cli::setTrue;

/// Every option of the emulator: parsing and --help read this one table.
const cli::Option<EmuOptions> OPTIONS[] = {
    {"--link", "PATH", "also make a symlink to the terminal at PATH", setText<&EmuOptions::linkPath>},
    {"--log", "FILE", "every frame received and reply sent, in hexadecimal", setText<&EmuOptions::logPath>},
    {"--log-writes", "FILE",
     "every register write, one line each: MICROSECONDS BANK REG VALUE\n"
     "(arrival time since the first byte in decimal; bank 0 or 1;\n"
     "register and value in two hexadecimal digits)",
     setText<&EmuOptions::writesLogPath>},
    {"--dump-memory", "FILE", "write the 256 KiB sample memory at exit",
     setText<&EmuOptions::memoryDumpPath>},
    {"--dump-stream", "FILE", "write the stream buffer at exit", setText<&EmuOptions::streamDumpPath>},
    {"--wav-dir", "DIR",
     "write each playback from memory as DIR/play-0001.wav, ...,\n"
     "as long as it played: to its stop unit, or to the write that\n"
     "stops or restarts it; 300 s at most",
     setWavDir},
    {"--wav", "FILE",
     "write the chip's output for the whole session (FM, SSG, rhythm,\n"
     "ADPCM), each write at its arrival time on the line",
     setWav},
    {"--wav-rate", "N",
     "the session WAV at 44100 or 48000 Hz (resampled) instead of\n"
     "the chip's own clock / 144",
     setWavRate},
    {"--ssg-level", "DB",
     "the SSG's level against FM in the session WAV, -40 to 20 dB (default 0,\n"
     "the PC-9801-86's balance; a PC-88 board's is about +3)",
     setSsgLevel},
    {"--clock", "HZ", "the board's master clock, 1000000 to 20000000 (default 7987200)", setClock},
    {"--rhythm-rom", "FILE",
     "an 8192-byte dump of the chip's rhythm memory; without it the\n"
     "rhythm unit is silent",
     setRhythmRom},
    {"--identify", "TEXT", "the four bytes answered to OP_IDENTIFY (default 2608)", setIdentify},
    {"--backlight", "N", "the backlight state byte, 0 to 255 (default 1)", setBacklight},
    {"--fail", "NAME:K[:BYTE]",
     "answer the K-th frame of NAME (K from 1) with BYTE, 0 to 255\n"
     "(default 0x00)",
     setFail},
    {"--short", "NAME:K", "answer the K-th frame of NAME (K from 1) short, then hang up", setShort},
    {"--hangup-after", "K", "close the terminal after K frames, 1 to 4294967295", setHangupAfter},
    {"--baud", "N",
     "model a line of N baud, 50 to 100000000: take bytes no faster\n"
     "than it delivers them and hold replies as long as it takes; the\n"
     "terminal's speed setting is N (without --baud 4000000)",
     setBaud},
    {"--latency-timer", "MS",
     "hold the bytes sent to the computer until 62 wait or MS ms,\n"
     "1 to 255, have passed since the first of them, as a USB-serial\n"
     "adapter does (16 ms by default on one); with --baud, a real\n"
     "adapter on a real line",
     setLatencyTimer},
    {"--verbose", "", "one line per frame on standard error", setTrue<&EmuOptions::verbose>},
    {"-h, --help", "", "print this help and exit", setTrue<&EmuOptions::help>},
    {"--version", "", "print the version and exit", setTrue<&EmuOptions::version>},
};

/// Where each option's help starts in --help.
constexpr std::size_t HELP_COLUMN = 25;

} // namespace

const char* usageText()
{
    static const std::string text =
        "usage: ym2608-board-emu [options]\n"
        "Plays the YM2608 board on a pseudo-terminal: prints its path first, then serves frames\n"
        "until SIGINT, SIGTERM or SIGHUP.\n" +
        cli::optionList<EmuOptions>(OPTIONS, HELP_COLUMN) + "The manual: man ym2608-board-emu\n";
    return text.c_str();
}

bool parseOptions(int argc, const char* const* argv, EmuOptions& options, std::string& error)
{
    // Every word is an option: the emulator takes no other arguments.
    const cli::Syntax syntax{.inlineValues = true, .endOfOptions = false, .missingValueIsEmpty = false};
    return cli::parseCommandLine(std::span(argv, static_cast<std::size_t>(argc)), OPTIONS, syntax, options,
                                 nullptr, error);
}
