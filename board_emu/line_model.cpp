#include "board_emu/line_model.h"

#include <algorithm>

LineModel startLine(std::int64_t byteNanos)
{
    LineModel line;
    line.byteNanos = byteNanos;
    return line;
}

std::int64_t takeStart(const LineModel& line, std::int64_t noticed)
{
    return line.backlog ? line.rxFree : std::max(line.rxFree, noticed);
}

std::int64_t takenBy(const LineModel& line, std::int64_t start, std::size_t count)
{
    return start + static_cast<std::int64_t>(count) * line.byteNanos;
}

void takeBurst(LineModel& line, std::size_t at, std::int64_t noticed)
{
    line.chunkStart = at;
    line.chunkBase = noticed;
    if (line.firstByte < 0) {
        line.firstByte = arrivalAt(line, at + 1);
    }
}

void takeBytes(LineModel& line, std::size_t at, std::int64_t start, std::size_t count, bool more)
{
    takeBurst(line, at, start);
    line.rxFree = takenBy(line, start, count);
    line.backlog = more;
}

std::int64_t arrivalAt(const LineModel& line, std::size_t end)
{
    if (line.byteNanos == 0 || end <= line.chunkStart) {
        return line.chunkBase;
    }
    return line.chunkBase + static_cast<std::int64_t>(end - line.chunkStart) * line.byteNanos;
}

std::int64_t replyReaches(LineModel& line, std::int64_t arrival, std::size_t length)
{
    if (line.byteNanos == 0 || length == 0) {
        return arrival;
    }
    line.txFree = takenBy(line, std::max(arrival, line.txFree), length);
    return line.txFree;
}

std::int64_t lineReached(const LineModel& line, std::int64_t now)
{
    if (line.byteNanos == 0) {
        return now;
    }
    return line.backlog ? line.rxFree : std::max(line.rxFree, now);
}
