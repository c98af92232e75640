#include "play/player.h"

#include "link/device_link.h"
#include "link/memory_writer.h"
#include "music/chip_restore.h"
#include "music/memory_image.h"
#include "music/register_file.h"
#include "music/schedule.h"
#include "play/clock.h"
#include "play/display.h"
#include "play/report.h"
#include "play/signals.h"
#include "play/terminal.h"

#include <algorithm>
#include <span>
#include <vector>

namespace {

constexpr std::int64_t STATUS_INTERVAL_NS = 250'000'000;
/// How often a wait looks whether the board is still on the line: a board
/// lost in a long rest of the music is noticed within this.
constexpr std::int64_t HANGUP_CHECK_NS = 250'000'000;
constexpr std::size_t REGISTER_FRAME_BYTES = 3;

/// The key that ends the play, as a stop does, but with nothing more to play.
constexpr char QUIT_KEY = 'q';

Frame writeFrame(std::uint16_t reg, std::uint8_t value)
{
    const auto low = static_cast<std::uint8_t>(reg & 0xFF);
    return reg >= BANK1_BASE ? bank1WriteFrame(low, value) : bank0WriteFrame(low, value);
}

// The memory load's progress, and whether it goes on.
struct LoadProgress {
    std::size_t before = 0; // bytes of earlier runs
    std::size_t total = 0;
    bool quit = false;   // q was typed
    bool silent = false; // nothing sounds: a pause is taken here (before the music)
};

void drawLoadProgress(void* context, std::size_t done, std::size_t)
{
    const auto* progress = static_cast<const LoadProgress*>(context);
    drawLine(loadProgressLine(progress->before + done, progress->total));
}

// Between two frames of the load: a stop or q ends it there, the frame
// before confirmed. Before the music, where the chip is silent, Ctrl-Z
// stops the player here with the terminal given back.
bool loadGoesOn(void* context)
{
    auto* progress = static_cast<LoadProgress*>(context);
    for (Key key = readKey(); key.kind != KeyKind::NONE; key = readKey()) {
        progress->quit = progress->quit || (key.kind == KeyKind::CHARACTER && key.character == QUIT_KEY);
    }
    if (progress->silent && pauseAsked()) {
        endLine();
        stopTerminal();
        pauseProcess();
        startTerminal();
    }
    return stopStatus() == 0 && !progress->quit;
}

std::string memoryFailure(const MemoryWriteResult& result, std::uint32_t unit)
{
    if (takeLinkFault() == LinkFault::LOST) {
        return "connection lost in the ADPCM memory load (" + std::to_string(result.committed) +
               " bytes committed)";
    }
    const char* what = result.stop == MemoryWriteStop::CACHE_WRITE_FAILED ? "a cache write"
                       : result.stop == MemoryWriteStop::COMMIT_FAILED   ? "a commit"
                                                                          : "the load's reach";
    return std::string("ADPCM memory load failed: the board did not confirm ") + what + " (run from unit " +
           std::to_string(unit) + ", " + std::to_string(result.committed) + " bytes committed)";
}

// Sends runs of ADPCM memory, drawing the progress with `draw` (or not).
// False when the play ends here: stopped (result.end STOPPED or QUIT) or
// failed (MEMORY_FAILED, with the detail).
bool writeRuns(std::span<const MemoryLoad> runs, LoadProgress& progress, MemoryWriteProgress draw,
               PlayResult& outcome)
{
    for (const MemoryLoad& run : runs) {
        const MemoryWriteResult result = writeMemory(run.bytes, run.unit, draw, &progress, loadGoesOn);
        if (result.stop == MemoryWriteStop::COMPLETE && result.committed == run.bytes.size()) {
            progress.before += run.bytes.size();
            continue;
        }
        endLine();
        // A stop whose frame was not confirmed in time ended the wait for it.
        if (result.stop == MemoryWriteStop::STOPPED || stopStatus() != 0) {
            outcome.end = progress.quit ? PlayEnd::QUIT : PlayEnd::STOPPED;
        } else {
            outcome.end = PlayEnd::MEMORY_FAILED;
            outcome.detail = memoryFailure(result, run.unit);
        }
        return false;
    }
    return true;
}

// Sends the ADPCM memory the log loads before the music, with its progress
// line. False when the play ends here (writeRuns).
bool loadMemory(const std::vector<MemoryLoad>& runs, PlayResult& outcome)
{
    if (runs.empty()) {
        return true;
    }
    LoadProgress progress;
    progress.silent = true;
    for (const MemoryLoad& run : runs) {
        progress.total += run.bytes.size();
    }
    setStopWaits(StopWaits::FINISH_FRAME);
    if (!writeRuns(runs, progress, drawLoadProgress, outcome)) {
        return false;
    }
    finishLine(loadedLine(progress.total));
    return true;
}

// The blocks the log loads in mid-song, and the next one due in the pass
// under way.
struct TimedMemory {
    const std::vector<TimedLoad>* loads = nullptr;
    std::size_t next = 0;
    int pass = 0;
};

// The first of the loads that lie in the looped part, which every pass after the first plays again.
std::size_t firstLoopLoad(const std::vector<TimedLoad>& loads, const MusicLog& log)
{
    std::size_t first = 0;
    while (first < loads.size() && loads[first].atWrite < log.loopWrite) {
        ++first;
    }
    return first;
}

// True when a mid-song load comes before write `index` of pass `pass`.
bool loadDue(const TimedMemory& timed, const MusicLog& log, int pass, std::size_t index)
{
    const std::vector<TimedLoad>& loads = *timed.loads;
    if (pass == timed.pass) {
        return timed.next < loads.size() && loads[timed.next].atWrite <= index;
    }
    // The pass before has loads left (after its last write): they come first.
    if (timed.next < loads.size()) {
        return true;
    }
    const std::size_t first = firstLoopLoad(loads, log);
    return first < loads.size() && loads[first].atWrite <= index;
}

// The load loadDue found, taken.
const TimedLoad& takeLoad(TimedMemory& timed, const MusicLog& log, int pass)
{
    const std::vector<TimedLoad>& loads = *timed.loads;
    if (pass != timed.pass && timed.next >= loads.size()) {
        timed.pass = pass;
        timed.next = firstLoopLoad(loads, log);
    }
    return loads[timed.next++];
}

// The figures behind the status line, gathered between two redraws.
struct Status {
    bool enabled = false;
    std::int64_t lastDraw = 0;
    std::uint32_t writes = 0;  // since the last draw
    std::int64_t lateness = 0; // the latest estimate
    StatusFigures figures;
};

// One play of a log: where its schedule stands on the clock, and how it ends.
struct Play {
    const PlaySettings* settings = nullptr;
    std::int64_t origin = 0;    // the clock's time of the song's start
    std::int64_t nextCheck = 0; // when the next wait looks for the board
    std::int64_t lineFree = 0;  // when the bytes written so far will have left, at the line's speed
    RegisterFile logFile;       // every write of the log so far, sent or dropped
    RegisterFile chipFile;      // every write sent, the silencing ones among them
    Status status;
    PlayResult result;
};

std::int64_t clockTimeOf(const Play& play, std::int64_t songNs)
{
    return play.origin + static_cast<std::int64_t>(static_cast<double>(songNs) / play.settings->speed);
}

void drawStatus(Play& play, std::int64_t now)
{
    Status& status = play.status;
    const std::uint32_t baud = play.settings->baud;
    const std::int64_t interval = std::max<std::int64_t>(now - status.lastDraw, 1);
    status.figures.elapsedNs =
        static_cast<std::int64_t>(static_cast<double>(now - play.origin) * play.settings->speed);
    status.figures.writesPerSecond = static_cast<std::uint32_t>(status.writes * NS_PER_SECOND / interval);
    status.figures.linePercent =
        baud == 0 ? 0
                  : static_cast<std::uint32_t>(static_cast<std::int64_t>(status.writes) * REGISTER_FRAME_BYTES *
                                               BITS_PER_BYTE * 100 * NS_PER_SECOND / interval / baud);
    status.figures.latenessNs = status.lateness;
    drawLine(statusLine(status.figures, terminalWidth()));
    status.writes = 0;
    status.lastDraw = now;
}

// The line failed: the board gone, or the port refusing.
void lineFailed(Play& play, const char* what)
{
    play.result.end = PlayEnd::LINE_FAILED;
    play.result.detail = takeLinkFault() == LinkFault::LOST ? "connection lost" : what;
}

// Sends register writes in one piece and records them as the chip's. False
// when the line failed.
bool sendWrites(Play& play, std::span<const RegisterWrite> writes, const char* failure)
{
    std::vector<Frame> frames;
    for (const RegisterWrite& w : writes) {
        frames.push_back(writeFrame(w.reg, w.value));
        applyWrite(play.chipFile, w.reg, w.value);
    }
    if (frames.empty() || sendFrames(frames) == frames.size() * REGISTER_FRAME_BYTES) {
        return true;
    }
    lineFailed(play, failure);
    return false;
}

// Sends the writes that take the chip from what it was sent to the log's
// register state now. False when the line failed.
bool restoreChip(Play& play)
{
    std::vector<RegisterWrite> restore;
    restoreWrites(play.chipFile, play.logFile, restore);
    return sendWrites(play, restore, "the line failed while restoring the chip");
}

// After a stretch without music (stopped, or loading memory) that began at
// `since`: the schedule moves on by its length, so the song goes on from
// where it was.
void moveScheduleOn(Play& play, std::int64_t since)
{
    const std::int64_t now = clockNow();
    play.origin += now - since;
    play.lineFree = std::max(play.lineFree, now);
    play.status.lastDraw = now;
    play.status.writes = 0;
}

// Ctrl-Z: the chip silenced and the terminal given back before the process
// stops; once continued, the chip back in the log's state at that moment
// (registers, and the keys of held notes), and the schedule moved on by the
// time stopped, so that the song carries on from where it stopped, on time.
// False when the play ends here.
bool pausePlay(Play& play)
{
    const std::int64_t pausedAt = clockNow();
    if (play.status.enabled) {
        drawStatus(play, pausedAt);
    }
    endLine();
    std::vector<RegisterWrite> silence;
    for (const auto& [reg, value] : SILENCE_WRITES) {
        silence.push_back({reg, value});
    }
    if (!sendWrites(play, silence, "the line failed while silencing the chip") || !drainPort(linkPort())) {
        return false;
    }
    stopTerminal();
    pauseProcess();
    startTerminal();
    if (stopStatus() != 0) {
        play.result.end = PlayEnd::STOPPED;
        return false;
    }
    if (!restoreChip(play)) {
        return false;
    }
    moveScheduleOn(play, pausedAt);
    return true;
}

// Takes what came from outside since the last look. False when the play ends
// here, with the reason in play.result.
bool takeRequests(Play& play)
{
    if (stopStatus() != 0) {
        play.result.end = PlayEnd::STOPPED;
        return false;
    }
    if (pauseAsked() && !pausePlay(play)) {
        return false;
    }
    if (takeContinued()) {
        // Continued after a stop from outside, or into the background: the
        // terminal is the player's again only in the foreground.
        stopTerminal();
        startTerminal();
    }
    for (Key key = readKey(); key.kind != KeyKind::NONE; key = readKey()) {
        if (key.kind == KeyKind::CHARACTER && key.character == QUIT_KEY) {
            play.result.end = PlayEnd::QUIT;
            return false;
        }
    }
    if (takeResize() && play.status.enabled) {
        drawStatus(play, clockNow());
    }
    return true;
}

// Waits until song time `songNs` is due, redrawing the status line on the
// way. False when the play ends first.
bool waitUntilDue(Play& play, std::int64_t songNs)
{
    while (true) {
        if (!takeRequests(play)) {
            return false;
        }
        const std::int64_t now = clockNow();
        if (now >= play.nextCheck) {
            if (!checkLink()) {
                lineFailed(play, "the line failed: the port stopped taking writes");
                return false;
            }
            play.nextCheck = now + HANGUP_CHECK_NS;
        }
        if (play.status.enabled && now - play.status.lastDraw >= STATUS_INTERVAL_NS) {
            drawStatus(play, now);
        }
        const std::int64_t target = clockTimeOf(play, songNs);
        if (now >= target) {
            return true;
        }
        std::int64_t wake = std::min(target, play.nextCheck);
        if (play.status.enabled) {
            wake = std::min(wake, play.status.lastDraw + STATUS_INTERVAL_NS);
        }
        sleepUntil(wake);
    }
}

// How long `bytes` take on the line; 0 when its speed is unknown.
std::int64_t lineTime(std::size_t bytes, std::uint32_t baud)
{
    return baud == 0 ? 0 : static_cast<std::int64_t>(bytes) * BITS_PER_BYTE * NS_PER_SECOND / baud;
}

// Sends one tick's frames, due at song time `dueNs`, and works out when its
// last byte reaches the board. False when the line failed.
bool sendTick(Play& play, const std::vector<Frame>& tick, std::int64_t dueNs)
{
    const std::uint32_t baud = play.settings->baud;
    const std::int64_t started = clockNow();
    if (sendFrames(tick) != tick.size() * REGISTER_FRAME_BYTES) {
        lineFailed(play, "the line failed: the port stopped taking writes");
        return false;
    }
    const std::int64_t returned = clockNow();
    // Three ways of knowing, and the latest is the truth: the line carries
    // the bytes at its speed behind those written before (a pseudo-terminal
    // or an adapter may not say what it still holds); the port says what is
    // queued; and nothing arrives before its write has returned.
    play.lineFree = std::max(play.lineFree, started) + lineTime(tick.size() * REGISTER_FRAME_BYTES, baud);
    const std::int64_t queued = returned + lineTime(portQueuedOutput(linkPort()), baud);
    play.status.writes += static_cast<std::uint32_t>(tick.size());
    play.status.lateness = std::max({play.lineFree, queued, returned}) - clockTimeOf(play, dueNs);
    return true;
}

// A block loaded in mid-song, at song time `dueNs`: the music waits for it,
// and the schedule moves on by the time it took.
bool sendTimedLoad(Play& play, const TimedLoad& load, std::int64_t dueNs)
{
    if (!waitUntilDue(play, dueNs)) {
        return false;
    }
    const std::int64_t started = clockNow();
    LoadProgress progress;
    progress.total = load.run.bytes.size();
    setStopWaits(StopWaits::FINISH_FRAME);
    const bool loaded = writeRuns(std::span(&load.run, 1), progress, nullptr, play.result);
    setStopWaits(StopWaits::KEEP);
    if (!loaded) {
        return false;
    }
    // The board can reach the chip's memory only through its ADPCM unit, so
    // the unit's registers are no longer known: they become the log's again.
    for (std::uint16_t reg = BANK1_BASE + ADPCM_CONTROL1; reg <= BANK1_BASE + ADPCM_FLAG_CONTROL; ++reg) {
        play.chipFile.value[reg] = -1;
    }
    play.chipFile.keys.adpcm = false;
    if (!restoreChip(play)) {
        return false;
    }
    moveScheduleOn(play, started);
    return true;
}

// The music: every tick on time, with the memory the log loads in mid-song,
// then the song's end. False when it ended early.
bool playMusic(Play& play, const MusicLog& log, const std::vector<TimedLoad>& loads)
{
    const PlaySettings& settings = *play.settings;
    ScheduleCursor cursor;
    startSchedule(cursor, log, settings.loops, settings.dropping);
    TimedMemory timed;
    timed.loads = &loads;
    std::vector<Frame> tick;
    ScheduledWrite next;
    // Whether a load comes before `next`, write cursor.index - 1 of pass cursor.pass.
    const auto nextDue = [&] { return loadDue(timed, log, cursor.pass, cursor.index - 1); };
    bool more = nextWrite(cursor, next);
    while (more) {
        if (nextDue()) {
            if (!sendTimedLoad(play, takeLoad(timed, log, cursor.pass), next.dueNs)) {
                return false;
            }
            continue;
        }
        // A tick: every write due at one instant, sent in one piece.
        const std::int64_t due = next.dueNs;
        play.status.figures.pass = cursor.pass;
        tick.clear();
        do {
            applyWrite(play.logFile, next.reg, next.value);
            if (next.send) {
                tick.push_back(writeFrame(next.reg, next.value));
                applyWrite(play.chipFile, next.reg, next.value);
            }
            more = nextWrite(cursor, next);
        } while (more && next.dueNs == due && !nextDue());
        if (tick.empty()) {
            continue;
        }
        if (!waitUntilDue(play, due) || !sendTick(play, tick, due)) {
            return false;
        }
    }
    // The song lasts to its end command, past its last write.
    return waitUntilDue(play, play.status.figures.totalNs);
}

// Silences the chip after the play, whatever ended it, when the link still
// holds the board. False when the line failed on the way.
bool silenceAfter(Play& play)
{
    settleStop();
    if (!isConnected()) {
        return true; // the stop ended a wait the board never answered: no board to silence
    }
    // Whatever is queued goes out first: a frame is never cut, so the board
    // never takes half a write for the start of the next.
    if (!silenceChip()) {
        lineFailed(play, "the line failed while silencing the chip");
        return false;
    }
    return true;
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
    Play play;
    play.settings = &settings;
    startDisplay(settings.terminal);
    const MemoryPlan memory = planMemory(log);
    if (!loadMemory(memory.before, play.result)) {
        if (play.result.end != PlayEnd::MEMORY_FAILED) {
            silenceAfter(play);
        }
        return play.result;
    }

    play.status.enabled = settings.terminal;
    play.origin = clockNow();
    play.nextCheck = play.origin + HANGUP_CHECK_NS;
    play.status.lastDraw = play.origin;
    play.status.figures.totalNs = songLength(log, settings.loops);
    play.status.figures.passes = log.looped ? settings.loops : 1;
    clearRegisterFile(play.logFile);
    clearRegisterFile(play.chipFile);
    setStopWaits(StopWaits::KEEP);
    const bool whole = playMusic(play, log, memory.during);
    if (play.status.enabled) {
        drawStatus(play, clockNow());
    }
    endLine();
    if (play.result.end == PlayEnd::LINE_FAILED || !silenceAfter(play)) {
        return play.result;
    }
    if (whole) {
        play.result.end = PlayEnd::SONG_END;
    }
    return play.result;
}
