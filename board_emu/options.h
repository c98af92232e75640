// The emulator's command line: where its terminal is linked, what it logs and
// dumps and where it writes what it plays, how the board answers
// (identification, backlight, scripted faults) and how fast its line and its
// USB-serial adapter are. Parsing and --help read one table of the options
// (options.cpp, through cli/options.h). Parsing never ends the process; it
// returns a one-line error that main prints before exiting with status 2.
//
// Functions: parseOptions, usageText.
#pragma once

#include "chip/ym2608.h"
#include "board_emu/board.h"

#include <cstdint>
#include <string>

/// The terminal's speed setting without --baud: the fastest a client can ask
/// for, so that one pacing itself by the port's speed is not slowed.
inline constexpr std::uint32_t UNPACED_LINE_SPEED = 4'000'000;

struct EmuOptions {
    std::string linkPath;
    std::string logPath;
    /// Where every register write is recorded with its arrival time; empty for none.
    std::string writesLogPath;
    std::string memoryDumpPath;
    std::string streamDumpPath;
    /// Where each playback from memory is written as a WAV file; empty for none.
    std::string wavDir;
    /// The session WAV; empty for none.
    std::string wavPath;
    /// The session WAV's rate: 0 for the chip's own (clock / 144), or 44100 or 48000.
    std::uint32_t wavRate = 0;
    /// The SSG's level against FM in the session WAV, in dB (0: the PC-9801-86's balance).
    double ssgLevelDb = 0.0;
    /// The board's master clock in Hz, for every sound unit.
    std::uint32_t clock = DEFAULT_CLOCK;
    /// A dumped 8 KiB rhythm memory image; empty for a silent rhythm unit.
    std::string rhythmRomPath;
    BoardSetup board;
    /// Line speed in baud: input is taken no faster than it would arrive and
    /// replies are held as long as they would take; 0 for no line model.
    std::uint32_t baud = 0;
    /// A USB-serial adapter's latency timer in milliseconds: bytes bound for
    /// the computer are held until ADAPTER_BUFFER wait or this long has
    /// passed since the first of them; 0 for no adapter.
    std::uint32_t latencyTimerMs = 0;
    bool verbose = false;
    bool help = false;
    bool version = false;
};

/// Fills `options` from the arguments after the program name. False, with a
/// one-line message in `error`, for an unknown option, a missing value or a bad number.
bool parseOptions(int argc, const char* const* argv, EmuOptions& options, std::string& error);

/// The text printed for --help.
const char* usageText();
