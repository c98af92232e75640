// What the board would sound like: with --wav-dir every write to control 1 of
// the second bank that starts playback from memory is rendered, with the ADPCM
// registers the board keeps, as the chip would output it and written to
// DIR/play-0001.wav, play-0002.wav, ... (numbered from 1 in each run, one file
// per playback that sounds). The start takes a copy of the sample memory as it
// is at that moment; a worker thread renders and writes the file, so that the
// serving loop goes on answering frames meanwhile. At most PLAYBACK_QUEUE
// playbacks wait for the worker; a start beyond that waits for room, so a
// console that starts playback in a loop cannot make the emulator hold an
// unbounded number of memory copies.
//
// A file holds what the playback really plays, on the line's clock (the
// clock of --log-writes): from its start to its stop unit, or to the write
// that ends it sooner (a control 1 write with start clear or reset set, or
// the next start), whichever comes first; and never more than
// adpcm::MAX_RENDER_SECONDS. A song that starts each note over the whole
// memory and ends it with a reset gets files as long as its notes. So the
// worker writes a file once its playback has ended: when the write that ends
// it comes, when the line has passed its stop unit's end, or at the finish.
//
// Functions: startPlaybacks, followAdpcmStart, followAdpcmControl,
// playbacksReached, finishPlaybacks.
#pragma once

#include "adpcm/render.h"

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

/// Playbacks that may wait for the worker at once.
inline constexpr std::size_t PLAYBACK_QUEUE = 4;

/// Makes `dir` when it is missing and starts the worker. Until this has
/// succeeded, followAdpcmStart does nothing. False with `error` set (one
/// line) when `dir` cannot be made or written to.
/// Playbacks are rendered for a master clock of `clock` Hz.
bool startPlaybacks(const std::string& dir, std::uint32_t clock, std::string& error);

/// Called for each second-bank write that starts playback from memory, with
/// the ADPCM registers after it, `nanos` after the session's first byte: ends
/// the playback under way there, queues this one's render from `memory` and
/// returns the line that announces it, without a newline, e.g.
/// "play units 0..31 at 15990 Hz, 0.13 s -> play-0001.wav" (the length to its
/// stop unit); a start that sounds nothing is announced with the reason and
/// writes no file. Empty before startPlaybacks.
std::string followAdpcmStart(const adpcm::AdpcmRegisters& regs, std::span<const std::uint8_t> memory,
                             std::int64_t nanos);

/// Called for every other write of `value` to control 1, `nanos` after the
/// first byte: one with start clear or reset set ends the playback under way.
void followAdpcmControl(std::uint8_t value, std::int64_t nanos);

/// Nothing more will arrive before `nanos` after the first byte: a playback
/// that has reached its stop unit by then is written without waiting further.
void playbacksReached(std::int64_t nanos);

/// Waits until every queued playback is written, then stops the worker. False
/// when any file could not be written; each failure has already been reported
/// on standard error as it happened.
bool finishPlaybacks();
