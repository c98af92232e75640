// A play's schedule and what the line makes of it. The schedule is every
// register write of the play in order, with its due time from the song's
// start: the log once, then its looped part again until it has played the
// asked number of times. The line model sends each write as a 3-byte frame
// at 10 bits a byte, leaving at its due time or, when the line is still busy
// with earlier frames, as soon as it is free; a write's lateness is when its
// frame has fully arrived minus when it was due.
//
// The line model also runs fed one write at a time (LineModel), so that a
// play of any length (a thousand loops) is measured in fixed memory: it asks
// for a few passes over the same writes, and finds the exact median and 99th
// percentile of the lateness a digit at a time, counting instead of keeping.
//
// Functions: startSchedule, nextWrite, buildSchedule, frameNanoseconds,
// startLineModel, feedLineModel, endLinePass, lineModelFigures, lineFigures.
#pragma once

#include "music/music_log.h"
#include "music/register_filter.h"

#include <array>
#include <cstdint>
#include <span>
#include <vector>

struct ScheduledWrite {
    std::int64_t dueNs = 0;
    std::uint16_t reg = 0;
    std::uint8_t value = 0;
    bool send = true; // false: the filter drops it, the value is already held
};

/// Where a play is in its schedule: the pass (0 is the whole log, then the
/// looped part again) and the write within the log.
struct ScheduleCursor {
    const MusicLog* log = nullptr;
    int loops = 1;
    bool dropping = true;
    int pass = 0;
    std::size_t index = 0;
    RegisterFilter filter{};
};

/// Sets `cursor` before the first write of a play of `log`, which it refers to.
void startSchedule(ScheduleCursor& cursor, const MusicLog& log, int loops, bool dropping);

/// The next write of the play, filtered as buildSchedule does; false after the last.
bool nextWrite(ScheduleCursor& cursor, ScheduledWrite& write);

/// The play's writes with `loops` passes of the looped part in all (1 or
/// more). Every write is listed; with `dropping`, those that change nothing
/// have `send` false.
std::vector<ScheduledWrite> buildSchedule(const MusicLog& log, int loops, bool dropping);

/// How long one register frame takes on a line of `baud` bits per second.
std::int64_t frameNanoseconds(std::uint32_t baud);

struct LineFigures {
    std::size_t writes = 0;        // frames sent
    std::size_t peakBurst = 0;     // most frames due at one instant
    std::int64_t peakBurstNs = 0;  // when (in song time)
    double load = 0;               // the line's busy time over the play's length
    double peakLoad = 0;           // the same over the busiest second
    std::int64_t medianLateNs = 0; // lateness of the frames sent
    std::int64_t p99LateNs = 0;
    std::int64_t maxLateNs = 0;
    std::int64_t maxLateAtNs = 0;  // due time of the latest frame
};

/// The line model over a stream of writes. Feed it every write of the play
/// in order, then endLinePass; while that says so, feed the same writes
/// again. Writes with `send` false pass the line by.
struct LineModel {
    std::int64_t frame = 0; // one register frame's time on the line
    double speed = 1.0;
    int pass = 0;
    // The line within a pass.
    std::int64_t lineFree = 0;
    std::int64_t second = -1; // the second of the play being summed, and its busy time
    std::int64_t busy = 0;
    std::size_t burst = 0;
    std::int64_t burstDue = -1;
    LineFigures figures;
    /// A lateness quantile found a digit at a time: the digits fixed so far,
    /// the values below them, and this pass's count of each next digit.
    struct Quantile {
        double fraction = 0.5;
        std::uint64_t rank = 0; // the rank-th smallest lateness (1-based)
        std::uint64_t prefix = 0;
        std::uint64_t below = 0;
        std::vector<std::uint64_t> counts;
    };
    std::array<Quantile, 2> quantiles; // the median, the 99th percentile
};

/// Readies `model` for the first pass over a play at `speed` times the log's
/// pace on a line of `baud`.
void startLineModel(LineModel& model, std::uint32_t baud, double speed);

/// One write of the play, in order.
void feedLineModel(LineModel& model, const ScheduledWrite& write);

/// Ends a pass; true when the model needs the same writes once more.
bool endLinePass(LineModel& model);

/// The figures, once endLinePass has said no more; `lengthNs` is the play's
/// length in song time.
LineFigures lineModelFigures(const LineModel& model, std::int64_t lengthNs);

/// The line model run over the writes to send, at `speed` times the log's
/// pace; `lengthNs` is the play's length in song time.
LineFigures lineFigures(std::span<const ScheduledWrite> schedule, std::uint32_t baud, double speed,
                        std::int64_t lengthNs);
