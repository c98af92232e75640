// The emulator's serving loop: reads what the console tool writes to the
// pseudo-terminal, splits it into frames by the frame table, lets the board
// carry each one out, and writes the reply back. With a line speed (--baud)
// bytes are taken no faster than the line delivers them, and a reply is held
// until it would have reached the console; the times come from the line model
// (line_model.h), the loop only reads the clock and waits. Every frame and
// reply goes to the frame log, every register write to the write log with its
// arrival time (logs.h); with --verbose a line in the board's terms goes to
// standard error. Each register write and each change to sample memory is
// handed to the session renderer, and each start from memory to the playback
// worker, which names the WAV in a verbose line.
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
