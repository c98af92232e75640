// The emulator's serving loop: reads what the console tool writes to the
// pseudo-terminal, splits it into frames by the frame table, lets the board
// carry each one out, and writes the reply back. With a line speed (--baud)
// it models the line: bytes are taken no faster than the line delivers them,
// each with the time it would have arrived, and a reply is held until it
// would have reached the console. Every frame and reply goes to the log in
// hexadecimal, one per line ("rx 09 3c 00 00 ...", "tx 01", "drop ff",
// "hangup"); every register write goes to the write log with its arrival time
// in microseconds since the session's first byte ("1520 1 00 a0"); with
// --verbose a line in the board's terms goes to standard error.
// Each second-bank write is also handed to the playback module, which queues
// a playback from memory for its worker and names the WAV in a verbose line.
// SIGINT and SIGTERM end the loop; they are blocked and read through a
// signalfd, so that one arriving at any moment ends the run cleanly.
//
// Functions: blockStopSignals, startServing, serveBoard.
#pragma once

#include "board_emu/options.h"
#include "board_emu/pty.h"

#include <cstdio>
#include <string>

/// Blocks SIGINT and SIGTERM (to be read by serveBoard) and ignores SIGPIPE.
/// Call before anything else, so that no stop signal is lost at start-up.
bool blockStopSignals(std::string& error);

/// Takes the line speed and verbosity from `options`, the frame log and the
/// write log (either may be null). A board unplugged after 0 frames closes
/// `pty` here, before its path is shown, so that no console can open it.
void startServing(const EmuOptions& options, Pty& pty, std::FILE* log, std::FILE* writes);

/// Serves frames on `pty` until SIGINT or SIGTERM. Hangs up (closes `pty`)
/// when the board says so, and then waits for the signal.
bool serveBoard(Pty& pty, std::string& error);
