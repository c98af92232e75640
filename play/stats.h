// --stats: what a play would send and what the line makes of it, printed
// for each song without sending anything.
//
// Functions: printStats.
#pragma once

#include "play/options.h"
#include "play/player.h"

#include <vector>

/// Prints the report (and with --list every write) of each song on
/// standard output; notes and warnings on standard error. Returns the exit
/// status.
int printStats(const PlayOptions& options, const std::vector<Song>& songs);
