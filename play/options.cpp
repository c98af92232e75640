#include "play/options.h"

#include <charconv>
#include <cmath>
#include <string_view>

namespace {

constexpr int MAX_LOOPS = 1000;
constexpr double MIN_SPEED = 0.01;
constexpr double MAX_SPEED = 1000.0;
constexpr std::uint64_t MIN_BAUD = 50;
constexpr std::uint64_t MAX_BAUD = 100'000'000;
constexpr std::uint64_t MIN_CLOCK = 1'000'000;
constexpr std::uint64_t MAX_CLOCK = 20'000'000;

bool parseWhole(std::string_view text, std::uint64_t low, std::uint64_t high, std::uint64_t& value)
{
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    return !text.empty() && ec == std::errc{} && end == text.data() + text.size() && value >= low && value <= high;
}

bool parseReal(std::string_view text, double low, double high, double& value)
{
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    return !text.empty() && ec == std::errc{} && end == text.data() + text.size() && std::isfinite(value) &&
           value >= low && value <= high;
}

bool isFlag(std::string_view arg)
{
    return arg == "--stats" || arg == "--list" || arg == "--no-drop" || arg == "--help" || arg == "-h" ||
           arg == "--version";
}

bool takesValue(std::string_view arg)
{
    return arg == "--port" || arg == "--baud" || arg == "--loops" || arg == "--speed" || arg == "--board-clock";
}

} // namespace

const char* playUsageText()
{
    return "usage: ym2608-play [options] FILE...\n"
           "Plays YM2608 music logs (VGM, VGZ, S98) on the board: opens \"COM3\" (else \"COM4\"),\n"
           "loads the log's ADPCM memory, then streams its register writes on time.\n"
           "  --port PATH         the board's device instead of COM3/COM4 (YM2608_COM3, YM2608_COM4)\n"
           "  --baud N            the line's speed for the timing and --stats, instead of the port's\n"
           "  --loops N           play the looped part N times in all (default 2)\n"
           "  --speed X           play X times faster (default 1)\n"
           "  --board-clock HZ    the board's YM2608 clock (default 7987200); warns of a pitch offset\n"
           "  --no-drop           send every write, also those that change nothing\n"
           "  --stats             play nothing: print what would be sent and what the line makes of it\n"
           "  --list              with --stats: every write, one line each: due time in microseconds,\n"
           "                      register, value, \"send\" or \"drop\"; last the play's length:\n"
           "                      microseconds, \"end\"\n"
           "  -h, --help, --version\n"
           "Ctrl-C or SIGTERM silences the chip and ends the play (status 130 after Ctrl-C).\n"
           "The manual: man ym2608-play\n";
}

bool parsePlayOptions(int argc, const char* const* argv, PlayOptions& options, std::string& error)
{
    bool filesOnly = false;
    for (int i = 0; i < argc; ++i) {
        std::string_view arg = argv[i];
        if (filesOnly || !arg.starts_with("-") || arg == "-") {
            options.files.emplace_back(arg);
            continue;
        }
        if (arg == "--") {
            filesOnly = true;
            continue;
        }
        std::string_view value;
        bool hasValue = false;
        if (const std::size_t equals = arg.find('='); arg.starts_with("--") && equals != std::string_view::npos) {
            value = arg.substr(equals + 1);
            arg = arg.substr(0, equals);
            hasValue = true;
        }
        if (isFlag(arg)) {
            if (hasValue) {
                error = std::string(arg) + " takes no value";
                return false;
            }
            if (arg == "--stats") {
                options.stats = true;
            } else if (arg == "--list") {
                options.list = true;
            } else if (arg == "--no-drop") {
                options.dropping = false;
            } else if (arg == "--help" || arg == "-h") {
                options.help = true;
            } else {
                options.version = true;
            }
            continue;
        }
        if (!takesValue(arg)) {
            error = "unknown option " + std::string(arg);
            return false;
        }
        if (!hasValue) {
            if (i + 1 >= argc) {
                error = std::string(arg) + " needs a value";
                return false;
            }
            value = argv[++i];
        }
        std::uint64_t number = 0;
        const std::string prefix = std::string(arg) + " " + std::string(value) + ": ";
        if (arg == "--port") {
            if (value.empty()) {
                error = "--port needs a device path";
                return false;
            }
            options.port = value;
        } else if (arg == "--baud") {
            if (!parseWhole(value, MIN_BAUD, MAX_BAUD, number)) {
                error = prefix + "N must be a whole number from 50 to 100000000";
                return false;
            }
            options.baud = static_cast<std::uint32_t>(number);
        } else if (arg == "--loops") {
            if (!parseWhole(value, 1, MAX_LOOPS, number)) {
                error = prefix + "N must be a whole number from 1 to 1000";
                return false;
            }
            options.loops = static_cast<int>(number);
        } else if (arg == "--speed") {
            if (!parseReal(value, MIN_SPEED, MAX_SPEED, options.speed)) {
                error = prefix + "X must be a number from 0.01 to 1000";
                return false;
            }
        } else {
            if (!parseWhole(value, MIN_CLOCK, MAX_CLOCK, number)) {
                error = prefix + "HZ must be a whole number from 1000000 to 20000000";
                return false;
            }
            options.boardClock = static_cast<std::uint32_t>(number);
        }
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
