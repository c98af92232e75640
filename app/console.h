// The command console: the tool's front end and main loop. It prompts with
// ">", reads one line at a time from standard input, and dispatches on the
// line's first letter to the command's own module:
//   b backlight   c connect   l load sample   n OP_N   o register write
//   p play slot   q quit      r reset / ry rhythm test  t data file transfer
// Commands that talk to the board (all but c, n and q) first need the link
// to be connected.
#pragma once

/// Runs the loop until `q`, or until standard input ends (which quits the same
/// way). Returns with the link closed.
void runConsole();
