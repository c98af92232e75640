// The emulator's pseudo-terminal: the board end (master) that the emulator
// reads frames from and writes replies to, and the terminal end whose path the
// console tool opens as its serial port. The emulator keeps its own descriptor
// of the terminal end open for its whole run, so that a console closing the
// port (and opening it again on the next `c`) never hangs the line up; only an
// unplugged board (closePty) does.
//
// The terminal's speed setting tells a client that paces itself by the port's
// speed how fast the emulated line is; a pseudo-terminal carries bytes at any
// speed, so the setting changes nothing else.
//
// Functions: openPty, setLineSpeed, closePty.
#pragma once

#include <cstdint>
#include <string>

struct Pty {
    int master = -1;
    int terminal = -1;
    std::string path;
};

/// Creates the pair and puts the terminal end in raw mode. False, with the
/// reason in `error`, when the system has no pseudo-terminal to give.
bool openPty(Pty& pty, std::string& error);

/// Sets the terminal end's speed setting (output and input) to `baud`. False,
/// with the reason in `error`, when the system refuses it.
bool setLineSpeed(const Pty& pty, std::uint32_t baud, std::string& error);

/// Closes both ends: the console's next read ends as on an unplugged board.
void closePty(Pty& pty);
