// The command console: the tool's front end and main loop. It prompts with
// ">", reads one line at a time (through the line editor at a terminal, else
// byte for byte from standard input), and dispatches on the line's first
// letters to the command's own module:
//   b backlight   c connect   l load sample   n OP_N   o register write
//   p play slot   q quit      r reset / ry rhythm test  t data file transfer
//   ? list the commands
// Commands that talk to the board (all but c, n, q and ?) first need the
// link to be connected. After a command during which the link closed itself,
// the console says why: "connection lost.", "no reply." or "interrupted.".
//
// Functions: runConsole, printCommandList.
#pragma once

#include <cstdio>

/// Runs the loop until `q`, or until standard input ends (which quits the same
/// way). Returns with the link closed: 0, or 1 when standard output failed
/// (the session then ends at once, as `q` would, without its last line).
int runConsole();

/// One line per command, "USAGE  description", from the dispatcher's table.
void printCommandList(std::FILE* out);
