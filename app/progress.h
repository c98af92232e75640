// The progress line of the two long transfers (`l` and `t`): one console line
// redrawn in place, "\r(  done/ total) pct% [oooo......]". Each caller decides
// when to draw it and prints "\n" once its transfer has ended.
#pragma once

#include <cstdint>

/// Draws the line for `done` of `total` bytes (total > 0) and flushes it, so
/// the operator sees it while the next frame is on its way.
void printProgress(std::uint32_t done, std::uint32_t total);
