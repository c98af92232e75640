#include "music/schedule.h"

#include "link/port.h"

#include <algorithm>
#include <cmath>

namespace {

constexpr std::int64_t NS_PER_SECOND = 1'000'000'000;
constexpr std::int64_t FRAME_BITS = 3 * BITS_PER_BYTE; // opcode, register, value

// The value at fraction `q` of sorted `values` (nearest rank).
std::int64_t quantile(const std::vector<std::int64_t>& sorted, double q)
{
    if (sorted.empty()) {
        return 0;
    }
    const auto rank = static_cast<std::size_t>(std::ceil(q * static_cast<double>(sorted.size())));
    return sorted[std::clamp<std::size_t>(rank, 1, sorted.size()) - 1];
}

} // namespace

void startSchedule(ScheduleCursor& cursor, const MusicLog& log, int loops, bool dropping)
{
    cursor.log = &log;
    cursor.loops = loops;
    cursor.dropping = dropping;
    cursor.pass = 0;
    cursor.index = 0;
    resetRegisterFilter(cursor.filter);
}

bool nextWrite(ScheduleCursor& cursor, ScheduledWrite& write)
{
    const MusicLog& log = *cursor.log;
    if (cursor.index >= log.writes.size()) {
        // A pass ends: the next one plays the looped part, if there is one
        // with a length of its own.
        if (!log.looped || log.endNs <= log.loopNs || cursor.pass + 1 >= cursor.loops ||
            log.loopWrite >= log.writes.size()) {
            return false;
        }
        ++cursor.pass;
        cursor.index = log.loopWrite;
    }
    const LogWrite& w = log.writes[cursor.index++];
    const std::int64_t shift = (log.endNs - log.loopNs) * cursor.pass;
    const bool send = !cursor.dropping || passWrite(cursor.filter, w.reg, w.value);
    write = ScheduledWrite{w.dueNs + shift, w.reg, w.value, send};
    return true;
}

std::vector<ScheduledWrite> buildSchedule(const MusicLog& log, int loops, bool dropping)
{
    std::vector<ScheduledWrite> schedule;
    ScheduleCursor cursor;
    startSchedule(cursor, log, loops, dropping);
    ScheduledWrite w;
    while (nextWrite(cursor, w)) {
        schedule.push_back(w);
    }
    return schedule;
}

std::int64_t frameNanoseconds(std::uint32_t baud)
{
    return baud == 0 ? 0 : FRAME_BITS * NS_PER_SECOND / baud;
}

LineFigures lineFigures(std::span<const ScheduledWrite> schedule, std::uint32_t baud, double speed,
                        std::int64_t lengthNs)
{
    LineFigures figures;
    const std::int64_t frame = frameNanoseconds(baud);
    std::vector<std::int64_t> lateness;
    std::int64_t second = -1; // the second of the play being summed, and its busy time
    std::int64_t busy = 0;
    std::int64_t lineFree = 0;
    std::size_t burst = 0;
    std::int64_t burstDue = -1;
    for (const ScheduledWrite& w : schedule) {
        if (!w.send) {
            continue;
        }
        ++figures.writes;
        burst = w.dueNs == burstDue ? burst + 1 : 1;
        burstDue = w.dueNs;
        if (burst > figures.peakBurst) {
            figures.peakBurst = burst;
            figures.peakBurstNs = w.dueNs;
        }
        const auto due = static_cast<std::int64_t>(static_cast<double>(w.dueNs) / speed);
        const std::int64_t arrival = std::max(due, lineFree) + frame;
        lineFree = arrival;
        lateness.push_back(arrival - due);
        if (arrival - due > figures.maxLateNs) {
            figures.maxLateNs = arrival - due;
            figures.maxLateAtNs = w.dueNs;
        }
        if (due / NS_PER_SECOND != second) {
            second = due / NS_PER_SECOND;
            busy = 0;
        }
        busy += frame;
        figures.peakLoad = std::max(figures.peakLoad, static_cast<double>(busy) / NS_PER_SECOND);
    }
    const auto playNs = static_cast<double>(lengthNs) / speed;
    if (playNs > 0) {
        figures.load = static_cast<double>(figures.writes) * static_cast<double>(frame) / playNs;
    }
    std::sort(lateness.begin(), lateness.end());
    figures.medianLateNs = quantile(lateness, 0.5);
    figures.p99LateNs = quantile(lateness, 0.99);
    return figures;
}
