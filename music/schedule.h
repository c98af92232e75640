// A play's schedule and what the line makes of it. The schedule is every
// register write of the play in order, with its due time from the song's
// start: the log once, then its looped part again until it has played the
// asked number of times. The line model sends each write as a 3-byte frame
// at 10 bits a byte, leaving at its due time or, when the line is still busy
// with earlier frames, as soon as it is free; a write's lateness is when its
// frame has fully arrived minus when it was due.
//
// Functions: startSchedule, nextWrite, buildSchedule, frameNanoseconds, lineFigures.
#pragma once

#include "music/music_log.h"
#include "music/register_filter.h"

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

/// The line model run over the writes to send, at `speed` times the log's
/// pace; `lengthNs` is the play's length in song time.
LineFigures lineFigures(std::span<const ScheduledWrite> schedule, std::uint32_t baud, double speed,
                        std::int64_t lengthNs);
