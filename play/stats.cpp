#include "play/stats.h"

#include "link/device_link.h"
#include "music/memory_image.h"
#include "music/schedule.h"
#include "play/messages.h"
#include "play/report.h"

#include <cstdio>

namespace {

constexpr std::uint32_t STATS_DEFAULT_BAUD = 115200;

// The line's speed the figures use: --baud, else the port's own setting.
std::uint32_t statsBaud(const PlayOptions& options, bool& fromDefault)
{
    fromDefault = false;
    if (options.baud != 0) {
        return options.baud;
    }
    // Opening a port sends nothing; it only reads the speed the line is set to.
    const ConnectOutcome outcome = options.port.empty() ? openLink() : openLinkAt(options.port.c_str());
    std::uint32_t baud = outcome.opened ? portSpeed(linkPort()) : 0;
    closeLink();
    if (baud == 0) {
        fromDefault = true;
        baud = STATS_DEFAULT_BAUD;
    }
    return baud;
}

void printSongStats(const PlayOptions& options, const Song& song, std::uint32_t baud)
{
    std::printf("%s: %s, YM2608 at %u Hz\n", song.path.c_str(), song.log.format == LogFormat::VGM ? "VGM" : "S98",
                song.log.clockHz);
    std::fputs(tagLines(song.log.tags).c_str(), stdout);
    const auto all = buildSchedule(song.log, options.loops, false);
    const auto sent = options.dropping ? buildSchedule(song.log, options.loops, true) : all;
    const std::int64_t length = songLength(song.log, options.loops);
    StatsInput input;
    input.log = &song.log;
    input.loops = options.loops;
    input.speed = options.speed;
    input.baud = baud;
    input.dropping = options.dropping;
    input.allWrites = all.size();
    for (const MemoryLoad& load : memoryLoads(song.log)) {
        input.adpcmBytes += load.bytes.size();
    }
    input.undropped = lineFigures(all, baud, options.speed, length);
    input.figures = lineFigures(sent, baud, options.speed, length);
    std::fputs(statsReport(input).c_str(), stdout);
    if (options.list) {
        for (const ScheduledWrite& w : sent) {
            std::fputs(listLine(w).c_str(), stdout);
        }
        std::fputs(listEndLine(length).c_str(), stdout);
    }
}

} // namespace

int printStats(const PlayOptions& options, const std::vector<Song>& songs)
{
    bool fromDefault = false;
    const std::uint32_t baud = statsBaud(options, fromDefault);
    if (fromDefault) {
        complain("note: no port's speed to read; the line figures are for 115200 baud (--baud N for another)");
    }
    for (const Song& song : songs) {
        printNotes(song, options.boardClock);
        printSongStats(options, song, baud);
    }
    return 0;
}
