#include "play/stats.h"

#include "link/device_link.h"
#include "music/memory_image.h"
#include "music/play_plan.h"
#include "music/schedule.h"
#include "play/clock.h"
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

// The line figures of a play, with and without dropping, from passes over
// its schedule: nothing of it is kept.
void measureLine(const PlayOptions& options, const MusicLog& log, StatsInput& input)
{
    const std::int64_t length = songLength(log, options.loops);
    LineModel every;
    LineModel sent;
    startLineModel(every, input.baud, options.speed);
    startLineModel(sent, input.baud, options.speed);
    bool more = true;
    while (more) {
        ScheduleCursor cursor;
        startSchedule(cursor, log, options.loops, options.dropping);
        input.allWrites = 0;
        ScheduledWrite w;
        while (nextWrite(cursor, w)) {
            ++input.allWrites;
            feedLineModel(sent, w);
            if (options.dropping) {
                w.send = true;
                feedLineModel(every, w);
            }
        }
        more = endLinePass(sent);
        endLinePass(every);
    }
    input.figures = lineModelFigures(sent, length);
    input.undropped = options.dropping ? lineModelFigures(every, length) : input.figures;
}

bool transformed(const PlayOptions& options)
{
    return options.muted != 0 || options.fadeSeconds > 0;
}

PlayPlan playPlan(const PlayOptions& options)
{
    return PlayPlan{options.loops, options.dropping, options.muted,
                    static_cast<std::int64_t>(options.fadeSeconds * NS_PER_SECOND)};
}

// The line figures of a play through the mute and the fade: the play as one
// list (buildPlaySchedule), since the transforms' writes depend on the whole
// play before them.
void measureTransformedLine(const PlayOptions& options, const MusicLog& log, StatsInput& input)
{
    const PlayPlan plan = playPlan(options);
    const FadePlan fade = planFade(log, plan.loops, plan.fadeNs);
    const std::vector<ScheduledWrite> schedule = buildPlaySchedule(log, plan);
    const std::int64_t length = fade.fading ? fade.endNs : songLength(log, options.loops);
    input.muted = options.muted;
    input.fading = fade.fading;
    input.fadeStartNs = fade.startNs;
    input.fadeEndNs = fade.endNs;
    LineModel every;
    LineModel sent;
    startLineModel(every, input.baud, options.speed);
    startLineModel(sent, input.baud, options.speed);
    bool more = true;
    while (more) {
        input.unsent = 0;
        for (ScheduledWrite w : schedule) {
            input.unsent += w.send ? 0 : 1;
            feedLineModel(sent, w);
            w.send = true;
            feedLineModel(every, w);
        }
        more = endLinePass(sent);
        endLinePass(every);
    }
    ScheduleCursor cursor;
    startSchedule(cursor, log, fade.loops, false);
    std::size_t logWrites = 0;
    for (ScheduledWrite w; nextWrite(cursor, w) && !(fade.fading && w.dueNs >= fade.endNs);) {
        ++logWrites;
    }
    // Each of the log's writes gives one entry unless the transforms add to
    // it: the entries past the log's writes are theirs.
    input.transformWrites = schedule.size() > logWrites ? schedule.size() - logWrites : 0;
    input.allWrites = logWrites;
    input.figures = lineModelFigures(sent, length);
    input.undropped = options.dropping ? lineModelFigures(every, length) : input.figures;
}

void listWrites(const PlayOptions& options, const MusicLog& log)
{
    if (transformed(options)) {
        const PlayPlan plan = playPlan(options);
        const FadePlan fade = planFade(log, plan.loops, plan.fadeNs);
        for (const ScheduledWrite& w : buildPlaySchedule(log, plan)) {
            if (std::ferror(stdout) != 0) {
                break;
            }
            std::fputs(listLine(w).c_str(), stdout);
        }
        std::fputs(listEndLine(fade.fading ? fade.endNs : songLength(log, options.loops)).c_str(), stdout);
        return;
    }
    ScheduleCursor cursor;
    startSchedule(cursor, log, options.loops, options.dropping);
    ScheduledWrite w;
    // A failed standard output ends the list: main says so.
    while (nextWrite(cursor, w) && std::ferror(stdout) == 0) {
        std::fputs(listLine(w).c_str(), stdout);
    }
    std::fputs(listEndLine(songLength(log, options.loops)).c_str(), stdout);
}

void printSongStats(const PlayOptions& options, const Song& song, std::uint32_t baud)
{
    std::fputs(logHeadline(song.path, song.log).c_str(), stdout);
    std::fputs(tagLines(song.log.tags).c_str(), stdout);
    StatsInput input;
    input.log = &song.log;
    input.loops = options.loops;
    input.speed = options.speed;
    input.baud = baud;
    input.dropping = options.dropping;
    const MemoryPlan memory = planMemory(song.log);
    for (const MemoryLoad& load : memory.before) {
        input.adpcmBytes += load.bytes.size();
    }
    for (const TimedLoad& load : memory.during) {
        input.midSongBytes += load.run.bytes.size();
    }
    input.midSongBlocks = memory.during.size();
    if (transformed(options)) {
        measureTransformedLine(options, song.log, input);
    } else {
        measureLine(options, song.log, input);
    }
    std::fputs(statsReport(input).c_str(), stdout);
    if (options.list) {
        listWrites(options, song.log);
    }
}

} // namespace

int printStats(const PlayOptions& options, const std::vector<Song>& songs)
{
    bool fromDefault = false;
    const std::uint32_t baud = statsBaud(options, fromDefault);
    if (fromDefault) {
        complain(
            "note: no port's speed to read; the line figures are for 115200 baud (--baud N for another)");
    }
    for (const Song& song : songs) {
        if (std::ferror(stdout) != 0) {
            break;
        }
        printNotes(song, options.boardClock);
        printSongStats(options, song, baud);
    }
    return 0;
}
