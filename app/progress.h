// The progress line of the two long transfers (`l` and `t`): one console line
// redrawn in place, "\r(  done/ total) pct% [oooo......]". The library reports
// every step of a transfer to drawPacedProgress, which draws the line at the
// pace the command asks for; the command prints "\n" once its transfer has
// ended.
//
// At a terminal the line is fitted to the terminal's width (the marks, then
// the counts give way), blanks clear what a longer line before it left, and
// a transfer that stops short ends the line before its failure line. Written
// anywhere else, the line's bytes are always the whole text above.
//
// Functions: printProgress, drawPacedProgress.
#pragma once

#include <cstddef>
#include <cstdint>

/// Draws the line for `done` of `total` bytes and flushes it, so the operator
/// sees it while the next frame is on its way. `total` 0: the transfer stopped
/// short and its failure line follows; at a terminal a line drawn is ended
/// ("\n"), elsewhere nothing is written.
void printProgress(std::uint32_t done, std::uint32_t total);

/// When the line is drawn: at the `first` step reported, at every `every`th
/// step after it, and at the last step (done == total) whatever its number.
struct ProgressPace {
    unsigned first = 1;
    unsigned every = 1;
    unsigned steps = 0; // the steps reported so far
};

/// A progress callback for the library (the memory writer, the data file
/// transfer): `context` is the ProgressPace the command made for its transfer.
void drawPacedProgress(void* context, std::size_t done, std::size_t total);
