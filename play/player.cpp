#include "play/player.h"

#include "link/device_link.h"
#include "link/memory_writer.h"
#include "music/memory_image.h"
#include "music/schedule.h"
#include "play/report.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <ctime>
#include <vector>

#include <sys/prctl.h>

namespace {

constexpr std::int64_t NS_PER_SECOND = 1'000'000'000;
constexpr std::int64_t STATUS_INTERVAL_NS = 250'000'000;
constexpr std::size_t REGISTER_FRAME_BYTES = 3;

std::int64_t monotonicNs()
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<std::int64_t>(now.tv_sec) * NS_PER_SECOND + now.tv_nsec;
}

Frame writeFrame(std::uint16_t reg, std::uint8_t value)
{
    const auto low = static_cast<std::uint8_t>(reg & 0xFF);
    return reg >= BANK1_BASE ? bank1WriteFrame(low, value) : bank0WriteFrame(low, value);
}

// The progress line of the memory load, at a terminal.
struct LoadProgress {
    std::size_t before = 0; // bytes of earlier runs
    std::size_t total = 0;
};

void drawLoadProgress(void* context, std::size_t done, std::size_t)
{
    const auto* progress = static_cast<const LoadProgress*>(context);
    const std::size_t sent = progress->before + done;
    std::printf("\r  ADPCM memory (%6zu/%6zu) %3zu%%", sent, progress->total, sent * 100 / progress->total);
    std::fflush(stdout);
}

std::string memoryFailure(const MemoryWriteResult& result, std::uint32_t unit)
{
    const char* what = result.stop == MemoryWriteStop::CACHE_WRITE_FAILED ? "a cache write"
                       : result.stop == MemoryWriteStop::COMMIT_FAILED   ? "a commit"
                                                                          : "the load's reach";
    return std::string("ADPCM memory load failed: the board did not confirm ") + what + " (run from unit " +
           std::to_string(unit) + ", " + std::to_string(result.committed) + " bytes committed)";
}

bool loadMemory(const MusicLog& log, bool terminal, std::string& detail)
{
    const std::vector<MemoryLoad> loads = memoryLoads(log);
    LoadProgress progress;
    for (const MemoryLoad& load : loads) {
        progress.total += load.bytes.size();
    }
    if (loads.empty()) {
        return true;
    }
    for (const MemoryLoad& load : loads) {
        const MemoryWriteResult result =
            writeMemory(load.bytes, load.unit, terminal ? drawLoadProgress : nullptr, &progress);
        if (result.stop != MemoryWriteStop::COMPLETE || result.committed != load.bytes.size()) {
            if (terminal) {
                std::printf("\n");
            }
            detail = memoryFailure(result, load.unit);
            return false;
        }
        progress.before += load.bytes.size();
    }
    std::printf("%s  ADPCM memory: %zu bytes loaded\n", terminal ? "\r" : "", progress.total);
    std::fflush(stdout);
    return true;
}

// The figures behind the status line, gathered between two redraws.
struct Status {
    bool enabled = false;
    std::int64_t origin = 0;
    std::int64_t lastDraw = 0;
    std::uint32_t writes = 0;     // since the last draw
    std::int64_t lateness = 0;    // the latest estimate
    StatusFigures figures;
};

void drawStatus(Status& status, std::int64_t now, double speed, std::uint32_t baud)
{
    const std::int64_t interval = std::max<std::int64_t>(now - status.lastDraw, 1);
    status.figures.elapsedNs = static_cast<std::int64_t>(static_cast<double>(now - status.origin) * speed);
    status.figures.writesPerSecond = static_cast<std::uint32_t>(status.writes * NS_PER_SECOND / interval);
    status.figures.linePercent =
        baud == 0 ? 0
                  : static_cast<std::uint32_t>(static_cast<std::int64_t>(status.writes) * REGISTER_FRAME_BYTES *
                                               BITS_PER_BYTE * 100 * NS_PER_SECOND / interval / baud);
    status.figures.latenessNs = status.lateness;
    const std::string line = statusLine(status.figures);
    std::fwrite(line.data(), 1, line.size(), stdout);
    std::fflush(stdout);
    status.writes = 0;
    status.lastDraw = now;
}

// Sleeps until `target` on the monotonic clock, redrawing the status line on
// the way. False when a signal asked to stop.
bool sleepUntil(std::int64_t target, const PlaySettings& settings, Status& status)
{
    while (true) {
        if (*settings.stop != 0) {
            return false;
        }
        const std::int64_t now = monotonicNs();
        if (status.enabled && now - status.lastDraw >= STATUS_INTERVAL_NS) {
            drawStatus(status, now, settings.speed, settings.baud);
        }
        if (now >= target) {
            return true;
        }
        std::int64_t wake = target;
        if (status.enabled) {
            wake = std::min(wake, status.lastDraw + STATUS_INTERVAL_NS);
        }
        const timespec until{static_cast<time_t>(wake / NS_PER_SECOND), static_cast<long>(wake % NS_PER_SECOND)};
        // A signal ends the sleep early (EINTR); the loop then looks at the stop flag.
        clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &until, nullptr);
    }
}

// When the bytes queued now will have reached the board.
std::int64_t lineClearAt(std::int64_t now, std::uint32_t baud)
{
    if (baud == 0) {
        return now;
    }
    const auto queued = static_cast<std::int64_t>(portQueuedOutput(linkPort()));
    return now + queued * BITS_PER_BYTE * NS_PER_SECOND / baud;
}

} // namespace

bool silenceChip()
{
    std::vector<Frame> frames;
    for (const auto& [reg, value] : SILENCE_WRITES) {
        frames.push_back(writeFrame(reg, value));
    }
    const std::size_t expected = frames.size() * REGISTER_FRAME_BYTES;
    return sendFrames(frames) == expected && drainPort(linkPort());
}

PlayResult playLog(const MusicLog& log, const PlaySettings& settings)
{
    PlayResult result;
    if (!loadMemory(log, settings.terminal, result.detail)) {
        result.end = PlayEnd::MEMORY_FAILED;
        return result;
    }

    // Wake-ups come at the due time, not up to the default 50 us of timer
    // slack after it: the sleeps are few (one per tick), so this costs nothing.
    prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);

    ScheduleCursor cursor;
    startSchedule(cursor, log, settings.loops, settings.dropping);
    Status status;
    status.enabled = settings.terminal;
    status.origin = monotonicNs();
    status.lastDraw = status.origin;
    status.figures.totalNs = songLength(log, settings.loops);
    status.figures.passes = log.looped ? settings.loops : 1;
    const auto toClock = [&](std::int64_t songNs) {
        return status.origin + static_cast<std::int64_t>(static_cast<double>(songNs) / settings.speed);
    };

    std::vector<Frame> tick;
    ScheduledWrite next;
    bool more = nextWrite(cursor, next);
    bool stopped = false;
    while (more) {
        // A tick: every write due at one instant, sent in one piece.
        const std::int64_t due = next.dueNs;
        status.figures.pass = cursor.pass;
        tick.clear();
        while (more && next.dueNs == due) {
            if (next.send) {
                tick.push_back(writeFrame(next.reg, next.value));
            }
            more = nextWrite(cursor, next);
        }
        if (tick.empty()) {
            continue;
        }
        const std::int64_t target = toClock(due);
        if (!sleepUntil(target, settings, status)) {
            stopped = true;
            break;
        }
        if (sendFrames(tick) != tick.size() * REGISTER_FRAME_BYTES) {
            result.end = PlayEnd::LINE_FAILED;
            result.detail = "the line failed: the port stopped taking writes";
            break;
        }
        status.writes += static_cast<std::uint32_t>(tick.size());
        status.lateness = lineClearAt(monotonicNs(), settings.baud) - target;
    }
    // The song lasts to its end command, past its last write.
    if (result.end != PlayEnd::LINE_FAILED && !stopped && !sleepUntil(toClock(status.figures.totalNs), settings, status)) {
        stopped = true;
    }
    if (status.enabled) {
        drawStatus(status, monotonicNs(), settings.speed, settings.baud);
        std::printf("\n");
        std::fflush(stdout);
    }
    if (result.end == PlayEnd::LINE_FAILED) {
        return result;
    }
    // Whatever is queued goes out first: a frame is never cut, so the board
    // never takes half a write for the start of the next.
    if (!silenceChip()) {
        result.end = PlayEnd::LINE_FAILED;
        result.detail = "the line failed while silencing the chip";
        return result;
    }
    result.end = stopped ? PlayEnd::STOPPED : PlayEnd::SONG_END;
    return result;
}
