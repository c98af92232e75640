// The progress line of the two long transfers (`l` and `t`): one console line
// redrawn in place, "\r(  done/ total) pct% [oooo......]". Each caller decides
// when to draw it and prints "\n" once its transfer has ended.
//
// At a terminal the line is fitted to the terminal's width (the marks, then
// the counts give way), blanks clear what a longer line before it left, and
// a transfer that stops short ends the line before its failure line. Written
// anywhere else, the line's bytes are always the whole text above.
#pragma once

#include <cstdint>

/// Draws the line for `done` of `total` bytes and flushes it, so the operator
/// sees it while the next frame is on its way. `total` 0: the transfer stopped
/// short and its failure line follows; at a terminal a line drawn is ended
/// ("\n"), elsewhere nothing is written.
void printProgress(std::uint32_t done, std::uint32_t total);
