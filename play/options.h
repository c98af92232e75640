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
    bool help = false;
    bool version = false;
};

/// Fills `options` from the arguments after the program name. False, with a
/// one-line message in `error`, for an unknown option, a missing or bad value, or no file.
bool parsePlayOptions(int argc, const char* const* argv, PlayOptions& options, std::string& error);

/// The text printed for --help.
const char* playUsageText();
