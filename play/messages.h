// The player's lines on standard error: every one starts "ym2608-play: ",
// after whatever standard output holds, so that the two read in order on
// one terminal.
//
// Functions: complain, printNotes.
#pragma once

#include "play/player.h"

#include <cstdint>
#include <string>

/// "ym2608-play: TEXT" on standard error.
void complain(const std::string& text);

/// The song's notes from its reader, and the pitch warning when the log's
/// clock is not the board's.
void printNotes(const Song& song, std::uint32_t boardClock);
