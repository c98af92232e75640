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
// Functions: startPlaybacks, followAdpcmStart, finishPlaybacks.
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
/// the ADPCM registers after it: queues its render from `memory` and returns
/// the line that announces it, without a newline, e.g.
/// "play units 0..31 at 15990 Hz, 0.13 s -> play-0001.wav"; a start that
/// sounds nothing is announced with the reason and writes no file. Empty
/// before startPlaybacks.
std::string followAdpcmStart(const adpcm::AdpcmRegisters& regs, std::span<const std::uint8_t> memory);

/// Waits until every queued playback is written, then stops the worker. False
/// when any file could not be written; each failure has already been reported
/// on standard error as it happened.
bool finishPlaybacks();
