// The session WAV (--wav FILE): everything the chip puts out from the first
// byte on the line to the stop, in one stereo 16-bit file, as the board's
// output would carry it. The serving loop hands over each register write and
// each commit to sample memory with its arrival time on the line (the clock of
// --log-writes, in nanoseconds since the first byte), and says how far the
// line has got; a worker thread renders the chip up to each arrival, applies
// it and writes the output, so that no reply ever waits for a render. Output
// sample k stands for the time k x 144 / clock, so a write takes effect at
// the first sample at or after its arrival. What waits for the worker is
// bounded (64 MiB); only a worker starved of the CPU that long makes the
// serving loop wait for it.
//
// The file is written at the chip's own rate (clock / 144, 55467 Hz at
// 7987200 Hz), or resampled with libsamplerate to 44100 or 48000 Hz. Its
// header is kept up to date as it grows, so it can be read while the session
// runs, and it is complete once finishSession returns.
//
// Functions: startSession, sessionWrite, sessionMemory, sessionReached, finishSession.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

struct SessionSetup {
    std::string wavPath;
    std::uint32_t clock = 0;   // master clock in Hz
    std::uint32_t wavRate = 0; // 0 for the chip's own rate, else 44100 or 48000
    double ssgLevelDb = 0.0;   // the SSG's level against FM
    std::vector<std::uint8_t> rhythmMemory; // an 8 KiB image, or empty for a silent rhythm unit
};

/// Creates the WAV file and starts the worker. False with `error` set (one
/// line) when the file cannot be written or the resampler cannot start.
bool startSession(const SessionSetup& setup, std::string& error);

/// A register write of `bank` that arrived `nanos` after the first byte.
/// Returns at once; nothing happens before startSession.
void sessionWrite(std::int64_t nanos, int bank, std::uint8_t reg, std::uint8_t value);

/// Bytes committed to sample memory at byte `offset`, `nanos` after the first byte.
void sessionMemory(std::int64_t nanos, std::size_t offset, std::span<const std::uint8_t> bytes);

/// Nothing more will arrive before `nanos` after the first byte: the worker
/// may render up to there. The last call before finishSession marks the
/// session's end.
void sessionReached(std::int64_t nanos);

/// Renders up to the last point reached, completes the file and stops the
/// worker. False when the file could not be written; the failure has been
/// reported on standard error.
bool finishSession();
