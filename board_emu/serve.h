// The emulator's serving loop: reads what the console tool writes to the
// pseudo-terminal, splits it into frames by the frame table, lets the board
// carry each one out, and writes the reply back. With a line speed (--baud)
// bytes are taken no faster than the line delivers them, and a reply is held
// until it would have reached the console; with a latency timer
// (--latency-timer) it is held further as a USB-serial adapter would hold it.
// The times come from the line model (line_model.h), the loop only reads the
// clock and waits. Every frame and reply goes to the frame log, every register
// write to the write log with its arrival time (logs.h); with --verbose a line
// in the board's terms goes to standard error. Each register write and each
// change to sample memory is handed to the session renderer, and each start
// from memory, and each write that ends one, to the playback worker, which
// names the WAV in a verbose line.
// SIGINT, SIGTERM and SIGHUP end the loop; they are blocked and read through
// a signalfd, so that one arriving at any moment ends the run cleanly, with
// its dumps and sound files written.
//
// Functions: blockStopSignals, startServing, serveBoard.
#pragma once

#include "board_emu/options.h"
#include "board_emu/pty.h"

#include <cstdio>
#include <string>

/// Blocks SIGINT, SIGTERM and SIGHUP (to be read by serveBoard) and ignores SIGPIPE.
/// Call before anything else, so that no stop signal is lost at start-up.
bool blockStopSignals(std::string& error);

/// Takes the line speed, the latency timer and verbosity from `options`, the
/// frame log and the write log (either may be null).
void startServing(const EmuOptions& options, Pty& pty, std::FILE* log, std::FILE* writes);

/// Serves frames on `pty` until SIGINT, SIGTERM or SIGHUP. Hangs up (closes `pty`)
/// when the board says so, and then waits for the signal.
bool serveBoard(Pty& pty, std::string& error);
