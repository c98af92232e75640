// The player's command line. Parsing and --help read one table of the options
// (options.cpp, through cli/options.h). Parsing never ends the process: it
// returns a one-line error that main prints before exiting with status 2.
//
// Functions: parsePlayOptions, playUsageText.
#pragma once

#include "chip/ym2608.h"

#include <cstdint>
#include <string>
#include <vector>

/// --render and the options that go with it.
struct RenderOptions {
    /// The WAV to render into; empty to play on the board.
    std::string wavPath;
    /// 0 for the chip's own rate (clock / 144), else 44100 or 48000.
    std::uint32_t wavRate = 0;
    /// The chip's master clock for the render.
    std::uint32_t clock = DEFAULT_CLOCK;
    /// A dumped 8 KiB rhythm memory image; empty for a silent rhythm unit.
    std::string rhythmRomPath;
    /// The SSG's level against FM in dB (0: the PC-9801-86's balance).
    double ssgLevelDb = 0.0;
    /// Draw the progress line (main sets it: standard output is a terminal).
    bool terminal = false;
};

struct PlayOptions {
    std::vector<std::string> files;
    /// A device path for the board instead of "COM3" then "COM4".
    std::string port;
    /// The line's speed in baud for the timing and --stats; 0: the port's own setting.
    std::uint32_t baud = 0;
    /// How many times the looped part plays in all.
    int loops = 2;
    double speed = 1.0;
    std::uint32_t boardClock = DEFAULT_CLOCK;
    bool stats = false;
    bool list = false;    // --stats: every write on its own line
    bool dropping = true; // --no-drop clears it
    /// The units muted from the start: --mute's, and all but --solo's.
    std::uint16_t muted = 0;
    std::uint16_t soloed = 0;
    bool solo = false;
    /// --fade: the fade-out's length in seconds; 0 for none.
    double fadeSeconds = 0.0;
    bool info = false; // --info: describe the logs, play nothing
    RenderOptions render;
    bool renderOnly = false; // an option that goes with --render was given
    bool help = false;
    bool version = false;
};

/// Fills `options` from the arguments after the program name. False, with a
/// one-line message in `error`, for an unknown option, a missing or bad value, or no file.
bool parsePlayOptions(int argc, const char* const* argv, PlayOptions& options, std::string& error);

/// The text printed for --help.
const char* playUsageText();
