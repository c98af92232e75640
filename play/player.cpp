#include "play/player.h"

#include "link/device_link.h"
#include "link/memory_writer.h"
#include "music/chip_restore.h"
#include "music/memory_image.h"
#include "music/play_plan.h"
#include "music/register_file.h"
#include "music/schedule.h"
#include "play/clock.h"
#include "play/display.h"
#include "play/keys.h"
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
        progress->quit = progress->quit || keyCommand(key).action == KeyAction::QUIT;
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

// The blocks the log loads in mid-song, and the next one not yet sent: load
// `next` of pass `pass` (`next` at the end: none left in that pass). Plain
// play moves it on load by load; a seek forward moves it past the loads it
// sends; a seek back leaves it, so that no load is sent twice in one pass.
struct TimedMemory {
    const std::vector<TimedLoad>* loads = nullptr;
    std::size_t next = 0;
    int pass = 0;
};

// True when load mark `a` comes before `b` in the play.
bool markBefore(const TimedMemory& a, const TimedMemory& b)
{
    return a.pass < b.pass || (a.pass == b.pass && a.next < b.next);
}

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
    if (pass < timed.pass) {
        return false; // a seek back: the loads of this stretch were sent
    }
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
    const MusicLog* log = nullptr;
    double speed = 1.0;         // the keys change it
    std::int64_t origin = 0;    // the clock's time of the song's start, at the present speed
    std::int64_t nextCheck = 0; // when the next wait looks for the board
    std::int64_t lineFree = 0;  // when the bytes written so far will have left, at the line's speed
    bool paused = false;        // space: the chip silenced, the song's time standing at pausedAt
    std::int64_t pausedAt = 0;
    WriteTransform transform;   // the log's register file and the chip's, with mute and fade
    FadePlan fade;
    LogStates states;           // for seeking; indexed when keys are read
    ScheduleCursor* cursor = nullptr;
    TimedMemory* timed = nullptr;
    bool moved = false;         // a seek moved the cursor: the next write is to be taken again
    Status status;
    PlayResult result;
};

// The song's time at clock time `now`.
std::int64_t songTimeAt(const Play& play, std::int64_t now)
{
    return static_cast<std::int64_t>(static_cast<double>((play.paused ? play.pausedAt : now) - play.origin) *
                                     play.speed);
}

std::int64_t clockTimeOf(const Play& play, std::int64_t songNs)
{
    return play.origin + static_cast<std::int64_t>(static_cast<double>(songNs) / play.speed);
}

// The clock's origin that puts song time `songNs` at clock time `at`.
void anchorSong(Play& play, std::int64_t songNs, std::int64_t at)
{
    play.origin = at - static_cast<std::int64_t>(static_cast<double>(songNs) / play.speed);
}

void drawStatus(Play& play, std::int64_t now)
{
    Status& status = play.status;
    const std::uint32_t baud = play.settings->baud;
    const std::int64_t interval = std::max<std::int64_t>(now - status.lastDraw, 1);
    status.figures.elapsedNs = songTimeAt(play, now);
    status.figures.writesPerSecond = static_cast<std::uint32_t>(status.writes * NS_PER_SECOND / interval);
    status.figures.linePercent =
        baud == 0 ? 0
                  : static_cast<std::uint32_t>(static_cast<std::int64_t>(status.writes) * REGISTER_FRAME_BYTES *
                                               BITS_PER_BYTE * 100 * NS_PER_SECOND / interval / baud);
    status.figures.latenessNs = status.lateness;
    status.figures.paused = play.paused;
    status.figures.speed = play.speed;
    status.figures.muted = play.transform.muted;
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

// Sends register writes given by the transform (which recorded them as the
// chip's) in one piece. False when the line failed.
bool sendWrites(Play& play, std::span<const RegisterWrite> writes, const char* failure)
{
    std::vector<Frame> frames;
    for (const RegisterWrite& w : writes) {
        frames.push_back(writeFrame(w.reg, w.value));
    }
    if (frames.empty() || sendFrames(frames) == frames.size() * REGISTER_FRAME_BYTES) {
        play.status.writes += static_cast<std::uint32_t>(frames.size());
        return true;
    }
    lineFailed(play, failure);
    return false;
}

// Sends the writes that take the chip from what it was sent to the log's
// register state now, as the transforms view it. False when the line failed.
bool restoreLogState(Play& play)
{
    std::vector<RegisterWrite> restore;
    restoreChip(play.transform, restore);
    return sendWrites(play, restore, "the line failed while restoring the chip");
}

// Silences the chip with SILENCE_WRITES, waiting until the line has carried
// them. False when the line failed.
bool silenceForPause(Play& play)
{
    std::vector<RegisterWrite> silence;
    for (const auto& [reg, value] : SILENCE_WRITES) {
        silence.push_back({reg, value});
        noteSent(play.transform, reg, value);
    }
    if (!sendWrites(play, silence, "the line failed while silencing the chip") || !drainPort(linkPort())) {
        lineFailed(play, "the line failed while silencing the chip");
        return false;
    }
    return true;
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
// Paused with space, the chip is silent already and stays so. False when
// the play ends here.
bool stopForJobControl(Play& play)
{
    const std::int64_t stoppedAt = clockNow();
    if (play.status.enabled) {
        drawStatus(play, stoppedAt);
    }
    endLine();
    if (!play.paused && !silenceForPause(play)) {
        return false;
    }
    stopTerminal();
    pauseProcess();
    startTerminal();
    if (stopStatus() != 0) {
        play.result.end = PlayEnd::STOPPED;
        return false;
    }
    if (play.paused) {
        return true;
    }
    if (!restoreLogState(play)) {
        return false;
    }
    moveScheduleOn(play, stoppedAt);
    return true;
}

// Space: pauses (the chip silenced at once, the song's time standing), or
// resumes (the chip back in the log's state, the schedule moved on by the
// time paused). False when the line failed.
bool togglePause(Play& play)
{
    if (!play.paused) {
        if (!silenceForPause(play)) {
            return false;
        }
        play.pausedAt = clockNow();
        play.paused = true;
        return true;
    }
    play.paused = false;
    if (!restoreLogState(play)) {
        return false;
    }
    moveScheduleOn(play, play.pausedAt);
    return true;
}

// Mutes exactly `muted`. Paused, the chip stays silent: the resume brings
// the new view.
bool changeMute(Play& play, UnitSet muted)
{
    if (play.paused) {
        play.transform.muted = muted;
        return true;
    }
    std::vector<RegisterWrite> out;
    setMuted(play.transform, muted, out);
    return sendWrites(play, out, "the line failed while muting");
}

// The load mark of a play at `point`: the first of the mid-song loads at or after it.
TimedMemory loadMarkAt(const TimedMemory& timed, const MusicLog& log, const PlayPoint& point)
{
    const std::vector<TimedLoad>& loads = *timed.loads;
    TimedMemory mark = timed;
    mark.pass = point.pass;
    mark.next = point.pass == 0 ? 0 : firstLoopLoad(loads, log);
    while (mark.next < loads.size() && loads[mark.next].atWrite < point.index) {
        ++mark.next;
    }
    return mark;
}

// The loads from mark `from` to mark `to`, as indexes into the loads, each
// once and in the order of its last place among them: sent so, they leave
// the memory as the loads sent one by one in the play's order would (a load
// that comes again later writes the same bytes later).
std::vector<std::size_t> loadsBetween(TimedMemory from, const TimedMemory& to, const MusicLog& log)
{
    const std::vector<TimedLoad>& loads = *from.loads;
    const std::size_t first = firstLoopLoad(loads, log);
    std::vector<std::size_t> order;
    while (markBefore(from, to)) {
        if (from.next >= loads.size()) {
            ++from.pass;
            from.next = first;
            continue;
        }
        std::erase(order, from.next);
        order.push_back(from.next++);
    }
    return order;
}

// Sends one mid-song load, with no progress line (the music's status line
// stays). False when the play ends here (writeRuns).
bool sendLoad(Play& play, const TimedLoad& load)
{
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
    RegisterFile& chip = play.transform.chip;
    for (std::uint16_t reg = BANK1_BASE + ADPCM_CONTROL1; reg <= BANK1_BASE + ADPCM_FLAG_CONTROL; ++reg) {
        chip.value[reg] = -1;
    }
    chip.keys.adpcm = false;
    return true;
}

// A seek to `point`: forward, the mid-song loads it jumps over are sent
// first, as the schedule would have sent them, so that the memory holds what
// the music from there on plays. Back, nothing is sent again, and the mark
// stays where it was. False when the play ends here.
bool seekLoads(Play& play, const PlayPoint& point)
{
    TimedMemory& timed = *play.timed;
    const TimedMemory target = loadMarkAt(timed, *play.log, point);
    if (!markBefore(timed, target)) {
        return true;
    }
    for (const std::size_t index : loadsBetween(timed, target, *play.log)) {
        if (!sendLoad(play, (*timed.loads)[index])) {
            return false;
        }
    }
    timed = target;
    return true;
}

// A seek key: the chip taken to the log's state at the target, the schedule
// and the clock moved there. Past the play's end, the next file; before its
// start, its start. False when the play ends here.
bool seekBy(Play& play, std::int64_t stepNs)
{
    const std::int64_t now = clockNow();
    const std::int64_t target = std::max<std::int64_t>(songTimeAt(play, now) + stepNs, 0);
    if (target >= play.status.figures.totalNs) {
        play.result.end = PlayEnd::NEXT;
        return false;
    }
    const PlayPoint point = playPointAt(*play.log, play.fade.loops, target);
    // The loads first: they pass through the ADPCM unit, whose registers the
    // seek's writes then give the target's values.
    if (!seekLoads(play, point)) {
        return false;
    }
    const RegisterFile state = logStateAt(play.states, point);
    // The fade follows the play's time: a seek back before it takes it away.
    play.transform.fade = fadeStepsAt(play.fade, target);
    if (play.paused) {
        play.transform.log = state;
    } else {
        std::vector<RegisterWrite> out;
        seekTransform(play.transform, state, out);
        if (!sendWrites(play, out, "the line failed while seeking")) {
            return false;
        }
    }
    seekSchedule(*play.cursor, point, play.transform.chip);
    // The song's time stood while the loads went: the target is due now.
    moveScheduleOn(play, now);
    anchorSong(play, target, play.paused ? play.pausedAt : clockNow());
    play.moved = true;
    return true;
}

// A speed key: the song's time now stays where it is.
void changeSpeed(Play& play, bool up)
{
    const std::int64_t at = play.paused ? play.pausedAt : clockNow();
    const std::int64_t song = songTimeAt(play, at);
    play.speed = nextSpeed(play.speed, up);
    anchorSong(play, song, at);
}

// Acts on one key. False when the play ends here.
bool takeKey(Play& play, const KeyCommand& command)
{
    const UnitSet muted = play.transform.muted;
    switch (command.action) {
    case KeyAction::QUIT:
        play.result.end = PlayEnd::QUIT;
        return false;
    case KeyAction::NEXT:
        play.result.end = PlayEnd::NEXT;
        return false;
    case KeyAction::PREVIOUS:
        play.result.end =
            songTimeAt(play, clockNow()) >= RESTART_AFTER_NS ? PlayEnd::RESTART : PlayEnd::PREVIOUS;
        return false;
    case KeyAction::PAUSE:
        return togglePause(play);
    case KeyAction::SEEK_BACK:
    case KeyAction::SEEK_FORWARD:
        if (!play.settings->keys) {
            return true; // nothing indexed to seek in
        }
        return seekBy(play, command.action == KeyAction::SEEK_BACK ? -SEEK_STEP_NS : SEEK_STEP_NS);
    case KeyAction::FASTER:
    case KeyAction::SLOWER:
        changeSpeed(play, command.action == KeyAction::FASTER);
        return true;
    case KeyAction::TOGGLE_MUTE:
        return changeMute(play, muted ^ unitBit(command.unit));
    case KeyAction::UNMUTE_ALL:
        return changeMute(play, 0);
    case KeyAction::NONE:
        return true;
    }
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
    if (pauseAsked() && !stopForJobControl(play)) {
        return false;
    }
    if (takeContinued()) {
        // Continued after a stop from outside, or into the background: the
        // terminal is the player's again only in the foreground.
        stopTerminal();
        startTerminal();
    }
    bool redraw = takeResize();
    for (Key key = readKey(); key.kind != KeyKind::NONE; key = readKey()) {
        if (!takeKey(play, keyCommand(key))) {
            return false;
        }
        redraw = true;
    }
    if (redraw && play.status.enabled) {
        drawStatus(play, clockNow());
    }
    return true;
}

enum class Wait : std::uint8_t {
    DUE,   // the time has come
    MOVED, // a seek moved the schedule: the next write is to be taken again
    ENDED, // the play ends here (play.result says why)
};

// Waits until song time `songNs` is due, redrawing the status line on the
// way and taking the keys.
Wait waitUntilDue(Play& play, std::int64_t songNs)
{
    while (true) {
        if (!takeRequests(play)) {
            return Wait::ENDED;
        }
        if (play.moved) {
            play.moved = false;
            return Wait::MOVED;
        }
        const std::int64_t now = clockNow();
        if (now >= play.nextCheck) {
            if (!checkLink()) {
                lineFailed(play, "the line failed: the port stopped taking writes");
                return Wait::ENDED;
            }
            play.nextCheck = now + HANGUP_CHECK_NS;
        }
        if (play.status.enabled && !play.paused && now - play.status.lastDraw >= STATUS_INTERVAL_NS) {
            drawStatus(play, now);
        }
        const std::int64_t target = clockTimeOf(play, songNs);
        if (!play.paused && now >= target) {
            return Wait::DUE;
        }
        std::int64_t wake = play.paused ? play.nextCheck : std::min(target, play.nextCheck);
        if (play.status.enabled && !play.paused) {
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
Wait sendTimedLoad(Play& play, const TimedLoad& load, std::int64_t dueNs)
{
    if (const Wait wait = waitUntilDue(play, dueNs); wait != Wait::DUE) {
        return wait;
    }
    const std::int64_t started = clockNow();
    if (!sendLoad(play, load)) {
        return Wait::ENDED;
    }
    if (!restoreLogState(play)) {
        return Wait::ENDED;
    }
    moveScheduleOn(play, started);
    return Wait::DUE;
}

// The fade's steps due up to song time `untilNs`, each at its time. DUE once
// they are all sent.
Wait fadeUntil(Play& play, std::int64_t untilNs)
{
    std::vector<RegisterWrite> out;
    while (play.fade.fading && play.transform.fade < FADE_SILENT &&
           fadeStepDue(play.fade, play.transform.fade + 1) <= untilNs) {
        const std::int64_t due = fadeStepDue(play.fade, play.transform.fade + 1);
        if (const Wait wait = waitUntilDue(play, due); wait != Wait::DUE) {
            return wait;
        }
        // Late on a loaded machine, the steps due go out back to back: each
        // step's writes as --stats --list gives them.
        out.clear();
        raiseFade(play.transform, play.transform.fade + 1, out);
        if (!sendWrites(play, out, "the line failed: the port stopped taking writes")) {
            return Wait::ENDED;
        }
    }
    return Wait::DUE;
}

// One tick: every write due at `next`'s instant, through the transforms,
// sent in one piece. `next` becomes the write after the tick; false in
// `more` after the last.
bool playTick(Play& play, ScheduledWrite& next, bool& more, const auto& loadNext)
{
    const std::int64_t due = next.dueNs;
    play.status.figures.pass = play.cursor->pass;
    std::vector<RegisterWrite> out;
    do {
        transformWrite(play.transform, next.reg, next.value, out);
        more = nextWrite(*play.cursor, next);
    } while (more && next.dueNs == due && !loadNext());
    if (out.empty()) {
        return true;
    }
    std::vector<Frame> tick;
    for (const RegisterWrite& w : out) {
        tick.push_back(writeFrame(w.reg, w.value));
    }
    return sendTick(play, tick, due);
}

// The music: every tick on time, with the memory the log loads in mid-song
// and the fade's steps, then the song's end (a fade's silence). False when
// it ended early.
bool playMusic(Play& play, const MusicLog& log, const std::vector<TimedLoad>& loads)
{
    ScheduleCursor cursor;
    // The transform drops what changes nothing, as the schedule's filter would.
    startSchedule(cursor, log, play.fade.loops, false);
    TimedMemory timed;
    timed.loads = &loads;
    play.cursor = &cursor;
    play.timed = &timed;
    ScheduledWrite next;
    // Whether a load comes before `next`, write cursor.index - 1 of pass cursor.pass.
    const auto loadNext = [&] { return loadDue(timed, log, cursor.pass, cursor.index - 1); };
    const std::int64_t end = play.status.figures.totalNs;
    bool more = nextWrite(cursor, next);
    while (true) {
        // The song lasts to its end command, past its last write.
        const bool writing = more && !(play.fade.fading && next.dueNs >= end);
        const std::int64_t until = writing ? next.dueNs : end;
        Wait wait = fadeUntil(play, until);
        if (wait == Wait::DUE && writing && loadNext()) {
            wait = sendTimedLoad(play, takeLoad(timed, log, cursor.pass), next.dueNs);
            if (wait == Wait::DUE) {
                continue;
            }
        }
        if (wait == Wait::DUE) {
            wait = waitUntilDue(play, until);
        }
        if (wait == Wait::ENDED) {
            return false;
        }
        if (wait == Wait::MOVED) {
            more = nextWrite(cursor, next);
            continue;
        }
        if (!writing) {
            return true;
        }
        if (!playTick(play, next, more, loadNext)) {
            return false;
        }
    }
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
    play.log = &log;
    play.speed = settings.speed;
    play.result.muted = settings.muted;
    play.result.speed = settings.speed;
    startDisplay(settings.terminal);
    const MemoryPlan memory = planMemory(log);
    if (!loadMemory(memory.before, play.result)) {
        if (play.result.end != PlayEnd::MEMORY_FAILED) {
            silenceAfter(play);
        }
        return play.result;
    }

    play.fade = planFade(log, settings.loops, settings.fadeNs);
    if (settings.keys) {
        indexLogStates(play.states, log);
    }
    startTransform(play.transform, settings.dropping, settings.muted);
    play.status.enabled = settings.terminal;
    play.status.figures.totalNs = play.fade.fading ? play.fade.endNs : songLength(log, settings.loops);
    play.status.figures.passes = playPasses(log, settings.loops);
    play.status.figures.title = settings.title;
    play.status.figures.track = settings.track;
    play.status.figures.tracks = settings.tracks;
    play.origin = clockNow();
    play.nextCheck = play.origin + HANGUP_CHECK_NS;
    play.status.lastDraw = play.origin;
    setStopWaits(StopWaits::KEEP);
    const bool whole = playMusic(play, log, memory.during);
    play.result.muted = play.transform.muted;
    play.result.speed = play.speed;
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
