#include "board_emu/serve.h"

#include "board_emu/line_model.h"
#include "board_emu/logs.h"
#include "board_emu/playback.h"
#include "board_emu/session.h"
#include "link/port.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <ctime>
#include <poll.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/signalfd.h>
#include <unistd.h>
#include <vector>

namespace {

// Bytes kept from one burst of input: far more than one frame, and a bound on
// what a misbehaving writer can make the emulator hold.
constexpr std::size_t READ_SIZE = 4096;
constexpr std::int64_t NANOS = 1'000'000'000;
constexpr std::int64_t SPIN_NANOS = 300'000; // the end of a reply's hold is spun, not slept
// After a reply on a line with a speed, the board end is watched without
// sleeping for this long: a real board's UART has the next frame the moment it
// comes off the wire, while waking from poll costs a virtual machine tens of
// microseconds per frame, which would count against the line.
constexpr std::int64_t RECEIVE_SPIN_NANOS = 1'000'000;
// While a session WAV or playback files are written, an idle line tells the
// workers how far it has got this often, so that the session file keeps up
// with the session and a playback's file is written once it has played.
constexpr int IDLE_REPORT_MILLIS = 100;

struct Server {
    int signals = -1;
    int input = -1;               // the board end while it is open, watched during holds
    std::int64_t inputSince = -1; // when input was first seen waiting during a hold; -1 for none
    Logs logs;
    bool verbose = false;
    bool session = false;  // a session WAV or playbacks are written: the line's progress is told while idle
    bool stopping = false; // a stop came: what is still waiting is taken without holds
    LineModel line;
    AdapterModel adapter;
    std::int64_t lastReply = 0; // when the last reply was written
    std::vector<std::uint8_t> pending;
    bool unplugPending = false; // the board is gone as soon as more input comes
};

Server server;

std::int64_t now()
{
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return std::int64_t{t.tv_sec} * NANOS + t.tv_nsec;
}

bool stopRequested(int timeoutMillis)
{
    pollfd p{server.signals, POLLIN, 0};
    return poll(&p, 1, timeoutMillis) > 0;
}

// One wait within a hold, `timeout` at most: true when a stop signal is
// waiting. With `watch`, input that comes meanwhile stays in the terminal,
// but the time it was first seen is kept, so that it counts as noticed then
// and not when the hold ends: a client may write its next frames while a
// reply is held, as it may while a USB-serial adapter's timer runs.
bool holdWait(const timespec* timeout, bool watch)
{
    const bool watching = watch && server.input >= 0 && server.inputSince < 0;
    pollfd p[2] = {{server.signals, POLLIN, 0}, {server.input, POLLIN, 0}};
    if (ppoll(p, watching ? 2 : 1, timeout, nullptr) <= 0) {
        return false;
    }
    if (watching && p[1].revents != 0) {
        server.inputSince = now();
    }
    return (p[0].revents & POLLIN) != 0;
}

// Holds until the monotonic clock reaches `deadline`, or a stop signal is
// waiting (the main loop then reads it). The wait is to the nanosecond, not
// rounded up to whole milliseconds: at 115200 baud a frame and its reply take
// a few milliseconds, and rounding would slow the line by a tenth. `watch`:
// input is watched for meanwhile (see holdWait); not while the bytes being
// taken are themselves still waiting in the terminal.
void waitUntil(std::int64_t deadline, bool watch)
{
    if (server.stopping) {
        return;
    }
    for (std::int64_t left = deadline - now(); left > 0; left = deadline - now()) {
        // A virtual machine's timers wake late by a tenth of a millisecond or
        // more, as long as a frame on a fast line: the last stretch is spun.
        if (left <= SPIN_NANOS) {
            const timespec none{0, 0};
            if (holdWait(&none, watch)) {
                return;
            }
            sched_yield(); // the console or the terminal's own work may need this CPU
            continue;
        }
        const std::int64_t wait = std::min<std::int64_t>(left - SPIN_NANOS, NANOS);
        const timespec timeout{static_cast<time_t>(wait / NANOS), static_cast<long>(wait % NANOS)};
        if (holdWait(&timeout, watch)) {
            return;
        }
    }
}

bool writeAll(int fd, std::span<const std::uint8_t> bytes)
{
    while (!bytes.empty()) {
        ssize_t n = write(fd, bytes.data(), bytes.size());
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return false;
        }
        bytes = bytes.subspan(static_cast<std::size_t>(n));
    }
    return true;
}

// One read, then whatever else is already waiting, up to READ_SIZE in all: a
// data frame without a length field is exactly one such burst, because the
// tool waits for each reply before it writes the next frame.
bool readBurst(int fd, std::int64_t noticed)
{
    std::uint8_t buffer[READ_SIZE];
    const std::size_t at = server.pending.size();
    bool first = true;
    while (server.pending.size() < READ_SIZE) {
        if (!first) {
            pollfd p{fd, POLLIN, 0};
            if (poll(&p, 1, 0) <= 0 || !(p.revents & POLLIN)) {
                break;
            }
        }
        ssize_t n = read(fd, buffer, READ_SIZE - server.pending.size());
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            if (first) {
                return false;
            }
            break;
        }
        server.pending.insert(server.pending.end(), buffer, buffer + n);
        first = false;
    }
    takeBurst(server.line, at, noticed);
    return true;
}

// With a line speed, takes the bytes waiting on the board end no faster than
// the line would deliver them: the count waiting now, once the last of them
// would have come off the wire. Meanwhile the writer's further bytes stay in
// the terminal, so a writer that outruns the line backs up as on a UART.
bool readPaced(int fd, std::int64_t noticed)
{
    int waiting = 0;
    if (ioctl(fd, FIONREAD, &waiting) != 0 || waiting <= 0) {
        return readBurst(fd, noticed); // a hang-up or an error: the read says which
    }
    std::uint8_t buffer[READ_SIZE];
    const std::size_t room = READ_SIZE - std::min(READ_SIZE - 1, server.pending.size());
    const std::size_t count = std::min(static_cast<std::size_t>(waiting), room);
    const std::int64_t start = takeStart(server.line, noticed);
    waitUntil(takenBy(server.line, start, count), false);
    ssize_t n = 0;
    do {
        n = read(fd, buffer, count);
    } while (n < 0 && errno == EINTR);
    if (n <= 0) {
        return false;
    }
    const std::size_t at = server.pending.size();
    server.pending.insert(server.pending.end(), buffer, buffer + n);
    int more = 0;
    const bool backlog = ioctl(fd, FIONREAD, &more) == 0 && more > 0;
    takeBytes(server.line, at, start, static_cast<std::size_t>(n), backlog);
    return true;
}

// Nanoseconds from the session's first byte to `time`: the clock of the
// write log and of the session WAV.
std::int64_t sessionTime(std::int64_t time)
{
    return time - server.line.firstByte;
}

// Tells the session renderer how far the line has got.
void markReached()
{
    if (server.line.firstByte < 0) {
        return;
    }
    const std::int64_t reached = sessionTime(lineReached(server.line, now()));
    sessionReached(reached);
    playbacksReached(reached);
}

void unplug(Pty& pty)
{
    closePty(pty);
    server.input = -1;
    server.inputSince = -1;
    logEvent(server.logs, "hangup");
    server.pending.clear();
    server.unplugPending = false;
}

// A hang-up discards what the console has not read yet. Before hanging up
// after a reply cut short, give the console a moment to take the bytes it was
// sent: until the terminal's input queue stays empty, at most DRAIN_LIMIT.
// Either way the console ends up with fewer bytes than due.
constexpr int DRAIN_LIMIT_MILLIS = 200;
constexpr int DRAIN_QUIET_MILLIS = 5;

void drainBeforeHangup(const Pty& pty)
{
    int quiet = 0;
    for (int waited = 0; waited < DRAIN_LIMIT_MILLIS && quiet < DRAIN_QUIET_MILLIS; ++waited) {
        int queued = 0;
        if (ioctl(pty.terminal, TIOCINQ, &queued) != 0) {
            return;
        }
        quiet = queued == 0 ? quiet + 1 : 0;
        if (stopRequested(1)) {
            return;
        }
    }
}

// Hands one frame the board has acted on, in at `arrival`, to the logs, to
// standard error with --verbose and to the workers: register writes and
// changed memory to the session renderer, and a start from memory to the
// playback worker, queued there before the next frame is taken.
void handOff(std::span<const std::uint8_t> frame, const FrameOutcome& out, std::int64_t arrival)
{
    logFrame(server.logs, out.dropped ? "drop" : "rx", frame);
    if (server.verbose) {
        std::fprintf(stderr, "%s\n", out.text.c_str());
    }
    const bool write = !out.dropped && (frame[0] == OP_WRITE_BANK0 || frame[0] == OP_WRITE_BANK1);
    if (write) {
        const int bank = frame[0] == OP_WRITE_BANK1 ? 1 : 0;
        logWrite(server.logs, sessionTime(arrival) / 1000, bank, frame[1], frame[2]);
        sessionWrite(sessionTime(arrival), bank, frame[1], frame[2]);
    }
    if (out.committedSize > 0) {
        sessionMemory(sessionTime(arrival), out.committedOffset,
                      std::span(boardState().memory).subspan(out.committedOffset, out.committedSize));
    }
    if (out.adpcmStart) {
        std::string played = followAdpcmStart(boardState().adpcm, boardState().memory, sessionTime(arrival));
        if (server.verbose && !played.empty()) {
            std::fprintf(stderr, "%s\n", played.c_str());
        }
    } else if (write && frame[0] == OP_WRITE_BANK1 && frame[1] == ADPCM_CONTROL1) {
        followAdpcmControl(frame[2], sessionTime(arrival));
    }
}

// Writes the reply to a frame in at `arrival`, once the line model says it
// has reached the adapter and the adapter has passed it on to the console.
void sendReply(const Pty& pty, const FrameOutcome& out, std::int64_t arrival)
{
    if (out.replyLength == 0) {
        return;
    }
    const std::int64_t reaches = replyReaches(server.line, arrival, out.replyLength);
    const std::int64_t passes =
        adapterPasses(server.adapter, reaches, server.line.byteNanos, out.replyLength);
    if (passes > arrival) {
        waitUntil(passes, true);
    }
    std::span<const std::uint8_t> reply(out.reply.data(), out.replyLength);
    writeAll(pty.master, reply);
    server.lastReply = now();
    logFrame(server.logs, "tx", reply);
}

// Carries out every whole frame in `pending`.
void serveFrames(Pty& pty)
{
    std::size_t used = 0;
    std::span<const std::uint8_t> all(server.pending);
    while (used < all.size()) {
        std::span<const std::uint8_t> rest = all.subspan(used);
        std::size_t length = frameLength(rest);
        if (length == 0) {
            break;
        }
        std::span<const std::uint8_t> frame = rest.first(length);
        FrameOutcome out = handleFrame(frame);
        used += length;
        const std::int64_t arrival = arrivalAt(server.line, used);
        handOff(frame, out, arrival);
        sendReply(pty, out, arrival);
        if (out.hangUp) {
            if (out.replyLength > 0) {
                drainBeforeHangup(pty);
            }
            unplug(pty);
            return;
        }
        if (out.unplugNext) {
            server.unplugPending = true;
            if (used < all.size()) {
                unplug(pty); // more has come already: it is lost with the board
                return;
            }
        }
    }
    server.pending.erase(server.pending.begin(), server.pending.begin() + static_cast<std::ptrdiff_t>(used));
}

// Reads one burst from the board end and serves it.
void serveInput(Pty& pty)
{
    const std::int64_t noticed = server.inputSince >= 0 ? server.inputSince : now();
    server.inputSince = -1;
    if (server.unplugPending) {
        unplug(pty);
        return;
    }
    const bool read =
        server.line.byteNanos > 0 ? readPaced(pty.master, noticed) : readBurst(pty.master, noticed);
    if (!read) {
        // The emulator holds the terminal end itself, so this only happens
        // when the system takes the terminal away.
        unplug(pty);
        return;
    }
    serveFrames(pty);
    markReached();
}

// After a stop signal: frames the console wrote before it still count (a
// console that sent `p 1` and quit has its frames in the log and dumps). A
// poll of the board end pushes through what the terminal still carries, so
// nothing written before the signal is missed; it is taken at once, with the
// arrival times the line gives it. The session ends at the stop, or when the
// line has carried everything taken, whichever is later.
void serveUntilStopped(Pty& pty)
{
    signalfd_siginfo info{};
    ssize_t n = read(server.signals, &info, sizeof info);
    (void)n;
    server.stopping = true;
    while (pty.master >= 0) {
        pollfd p{pty.master, POLLIN, 0};
        if (poll(&p, 1, 0) <= 0) {
            break;
        }
        serveInput(pty);
    }
    markReached();
}

} // namespace

bool blockStopSignals(std::string& error)
{
    std::signal(SIGPIPE, SIG_IGN);
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGHUP);
    if (sigprocmask(SIG_BLOCK, &set, nullptr) != 0) {
        error = std::string("sigprocmask: ") + std::strerror(errno);
        return false;
    }
    server.signals = signalfd(-1, &set, SFD_CLOEXEC);
    if (server.signals < 0) {
        error = std::string("signalfd: ") + std::strerror(errno);
        return false;
    }
    // The kernel may otherwise let a held reply's wake-up slip by 50 us, a
    // tenth of a frame's time on a fast line.
    prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
    return true;
}

void startServing(const EmuOptions& options, Pty& pty, std::FILE* log, std::FILE* writes)
{
    server.session = !options.wavPath.empty() || !options.wavDir.empty();
    server.logs = Logs{log, writes};
    server.verbose = options.verbose;
    server.stopping = false;
    server.line = startLine(options.baud > 0 ? std::int64_t{BITS_PER_BYTE} * NANOS / options.baud : 0);
    server.adapter = startAdapter(std::int64_t{options.latencyTimerMs} * NANOS / 1000);
    server.input = pty.master;
    server.inputSince = -1;
    server.lastReply = 0;
    server.pending.clear();
    server.unplugPending = false;
}

bool serveBoard(Pty& pty, std::string& error)
{
    for (;;) {
        pollfd fds[2] = {{server.signals, POLLIN, 0}, {pty.master, POLLIN, 0}};
        nfds_t count = pty.master >= 0 ? 2 : 1;
        const bool spin = server.line.byteNanos > 0 && now() - server.lastReply < RECEIVE_SPIN_NANOS;
        if (!spin) {
            flushWrites(server.logs); // idle: a reader of the write log sees everything so far
        }
        const int ready = poll(fds, count, spin ? 0 : (server.session ? IDLE_REPORT_MILLIS : -1));
        if (ready == 0) {
            if (spin) {
                sched_yield();
            } else {
                markReached();
            }
            continue;
        }
        if (ready < 0) {
            if (errno == EINTR) {
                continue;
            }
            error = std::string("poll: ") + std::strerror(errno);
            return false;
        }
        if (fds[0].revents & POLLIN) {
            serveUntilStopped(pty);
            return true;
        }
        if (count == 2 && fds[1].revents != 0) {
            serveInput(pty);
        }
    }
}
