#include "board_emu/options.h"

#include <algorithm>
#include <charconv>
#include <limits>
#include <string_view>

namespace {

// A whole decimal number, or hexadecimal after 0x, within [low, high].
bool parseNumber(std::string_view text, std::uint64_t low, std::uint64_t high, std::uint64_t& value)
{
    int base = 10;
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        base = 16;
        text.remove_prefix(2);
    }
    if (text.empty()) {
        return false;
    }
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value, base);
    return ec == std::errc{} && end == text.data() + text.size() && value >= low && value <= high;
}

// NAME:K[:BYTE] for --fail, NAME:K for --short. NAME must be a frame that has a reply.
bool parseFault(std::string_view option, std::string_view text, bool shortReply, FaultRule& rule,
                std::string& error)
{
    std::string prefix = std::string(option) + " " + std::string(text) + ": ";
    std::size_t colon = text.find(':');
    if (colon == std::string_view::npos) {
        error = prefix + "expected NAME:K";
        return false;
    }
    const FrameInfo* info = findFrame(text.substr(0, colon));
    if (info == nullptr) {
        error = prefix + "no frame is called " + std::string(text.substr(0, colon));
        return false;
    }
    if (info->reply == ReplyKind::NONE) {
        error = prefix + std::string(info->name) + " has no reply";
        return false;
    }
    std::string_view rest = text.substr(colon + 1);
    std::size_t second = rest.find(':');
    std::string_view ordinal = rest.substr(0, second);
    std::uint64_t k = 0;
    if (!parseNumber(ordinal, 1, std::numeric_limits<std::uint32_t>::max(), k)) {
        error = prefix + "K must be a frame count from 1";
        return false;
    }
    rule = FaultRule{info->opcode, static_cast<std::uint32_t>(k), shortReply, 0x00};
    if (second == std::string_view::npos) {
        return true;
    }
    std::uint64_t byte = 0;
    if (shortReply || !parseNumber(rest.substr(second + 1), 0, 255, byte)) {
        error = prefix + (shortReply ? "expected NAME:K" : "BYTE must be 0 to 255 (or 0x00 to 0xff)");
        return false;
    }
    rule.reply = static_cast<std::uint8_t>(byte);
    return true;
}

} // namespace

const char* usageText()
{
    return "usage: ym2608-board-emu [options]\n"
           "Plays the YM2608 board on a pseudo-terminal; prints its path first, serves until "
           "SIGINT/SIGTERM.\n"
           "  --link PATH            also make a symlink to the terminal at PATH\n"
           "  --log FILE             every frame received and reply sent, in hexadecimal\n"
           "  --log-writes FILE      every register write, one line each: MICROSECONDS BANK REG VALUE\n"
           "                         (arrival time since the first byte in decimal; bank 0 or 1;\n"
           "                         register and value in two hexadecimal digits)\n"
           "  --dump-memory FILE     write the 256 KiB sample memory at exit\n"
           "  --dump-stream FILE     write the stream buffer at exit\n"
           "  --wav-dir DIR          write each playback from memory as DIR/play-0001.wav, ...\n"
           "  --wav FILE             write the chip's output for the whole session (FM, SSG, rhythm,\n"
           "                         ADPCM), each write at its arrival time on the line\n"
           "  --wav-rate N           the session WAV at 44100 or 48000 Hz (resampled) instead of\n"
           "                         the chip's own clock / 144\n"
           "  --clock HZ             the board's master clock (default 7987200)\n"
           "  --rhythm-rom FILE      an 8192-byte dump of the chip's rhythm memory; without it the\n"
           "                         rhythm unit is silent\n"
           "  --identify TEXT        the four bytes answered to OP_IDENTIFY (default 2608)\n"
           "  --backlight N          the backlight state byte (default 1)\n"
           "  --fail NAME:K[:BYTE]   answer the K-th frame of NAME with BYTE (default 0x00)\n"
           "  --short NAME:K         answer the K-th frame of NAME short, then hang up\n"
           "  --hangup-after K       close the terminal after K frames\n"
           "  --baud N               model a line of N baud: take bytes no faster than it delivers\n"
           "                         them and hold replies as long as it takes; the terminal's\n"
           "                         speed setting is N (without --baud 4000000)\n"
           "  --verbose              one line per frame on standard error\n"
           "  -h, --help             print this help and exit\n"
           "  --version              print the version and exit\n"
           "The manual: man ym2608-board-emu\n";
}

bool parseOptions(int argc, const char* const* argv, EmuOptions& options, std::string& error)
{
    for (int i = 0; i < argc; ++i) {
        std::string_view arg = argv[i];
        std::string_view value;
        bool hasValue = false;
        if (std::size_t equals = arg.find('='); arg.starts_with("--") && equals != std::string_view::npos) {
            value = arg.substr(equals + 1);
            arg = arg.substr(0, equals);
            hasValue = true;
        }
        if (arg == "--verbose" || arg == "--help" || arg == "-h" || arg == "--version") {
            if (hasValue) {
                error = std::string(arg) + " takes no value";
                return false;
            }
            bool& flag = arg == "--verbose" ? options.verbose : arg == "--version" ? options.version : options.help;
            flag = true;
            continue;
        }
        if (!hasValue) {
            bool known = arg == "--link" || arg == "--log" || arg == "--log-writes" || arg == "--dump-memory" ||
                         arg == "--dump-stream" || arg == "--wav-dir" || arg == "--wav" ||
                         arg == "--wav-rate" || arg == "--clock" || arg == "--rhythm-rom" || arg == "--identify" ||
                         arg == "--backlight" || arg == "--fail" || arg == "--short" ||
                         arg == "--hangup-after" || arg == "--baud";
            if (!known) {
                error = "unknown option " + std::string(arg);
                return false;
            }
            if (i + 1 >= argc) {
                error = std::string(arg) + " needs a value";
                return false;
            }
            value = argv[++i];
        }
        std::uint64_t number = 0;
        if (arg == "--link") {
            options.linkPath = value;
        } else if (arg == "--log") {
            options.logPath = value;
        } else if (arg == "--log-writes") {
            options.writesLogPath = value;
        } else if (arg == "--dump-memory") {
            options.memoryDumpPath = value;
        } else if (arg == "--dump-stream") {
            options.streamDumpPath = value;
        } else if (arg == "--wav-dir") {
            if (value.empty()) {
                error = "--wav-dir needs a directory";
                return false;
            }
            options.wavDir = value;
        } else if (arg == "--wav") {
            if (value.empty()) {
                error = "--wav needs a file";
                return false;
            }
            options.wavPath = value;
        } else if (arg == "--wav-rate") {
            if (value != "44100" && value != "48000") {
                error = "--wav-rate " + std::string(value) + ": N must be 44100 or 48000";
                return false;
            }
            options.wavRate = value == "44100" ? 44100 : 48000;
        } else if (arg == "--clock") {
            if (!parseNumber(value, 1'000'000, 20'000'000, number)) {
                error = "--clock " + std::string(value) + ": HZ must be 1000000 to 20000000";
                return false;
            }
            options.clock = static_cast<std::uint32_t>(number);
        } else if (arg == "--rhythm-rom") {
            if (value.empty()) {
                error = "--rhythm-rom needs a file";
                return false;
            }
            options.rhythmRomPath = value;
        } else if (arg == "--identify") {
            if (value.size() != options.board.identify.size()) {
                error = "--identify " + std::string(value) + ": TEXT must be exactly four bytes";
                return false;
            }
            std::copy(value.begin(), value.end(), options.board.identify.begin());
        } else if (arg == "--backlight") {
            if (!parseNumber(value, 0, 255, number)) {
                error = "--backlight " + std::string(value) + ": N must be 0 to 255";
                return false;
            }
            options.board.backlight = static_cast<std::uint8_t>(number);
        } else if (arg == "--fail" || arg == "--short") {
            FaultRule rule;
            if (!parseFault(arg, value, arg == "--short", rule, error)) {
                return false;
            }
            options.board.faults.push_back(rule);
        } else if (arg == "--hangup-after") {
            if (!parseNumber(value, 0, std::numeric_limits<std::uint32_t>::max(), number)) {
                error = "--hangup-after " + std::string(value) + ": K must be a frame count";
                return false;
            }
            options.board.hangupAfter = static_cast<std::uint32_t>(number);
        } else if (arg == "--baud") {
            if (!parseNumber(value, 1, 100'000'000, number)) {
                error = "--baud " + std::string(value) + ": N must be 1 to 100000000";
                return false;
            }
            options.baud = static_cast<std::uint32_t>(number);
        } else {
            error = "unknown option " + std::string(arg);
            return false;
        }
    }
    return true;
}
