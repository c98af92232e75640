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

AdapterModel startAdapter(std::int64_t holdNanos)
{
    AdapterModel adapter;
    adapter.holdNanos = holdNanos;
    return adapter;
}

std::int64_t adapterPasses(AdapterModel& adapter, std::int64_t last, std::int64_t byteNanos,
                           std::size_t count)
{
    if (adapter.holdNanos == 0 || count == 0) {
        return last;
    }
    std::int64_t passes = last;
    for (std::size_t i = 0; i < count; ++i) {
        const std::int64_t in = last - static_cast<std::int64_t>(count - 1 - i) * byteNanos;
        if (adapter.waiting > 0 && in >= adapter.firstHeld + adapter.holdNanos) {
            adapter.waiting = 0; // the timer ran out first: the bytes held went on without this one
        }
        if (adapter.waiting == 0) {
            adapter.firstHeld = in;
        }
        if (++adapter.waiting == ADAPTER_BUFFER) {
            adapter.waiting = 0; // a full buffer goes on at once
            passes = in;
        }
    }
    return adapter.waiting > 0 ? adapter.firstHeld + adapter.holdNanos : passes;
}
