// The POSIX requests: handlers that note the signal and wake the clock. The
// stop signals are installed without SA_RESTART, so that a read or an open
// under way (a board's reply, a FIFO waiting for its writer) ends with EINTR
// and the code around it looks at the request; the job-control signals and
// the others restart what they interrupt.
#include "play/signals.h"

#include "link/device_link.h"
#include "link/port.h"
#include "play/clock.h"
#include "play/terminal.h"

#include <csignal>

#include <unistd.h>

namespace {

constexpr int EXIT_SIGNAL_BASE = 128;
constexpr int STOP_SIGNALS[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};

volatile std::sig_atomic_t stopSignal = 0;
volatile std::sig_atomic_t pauseWaiting = 0;
volatile std::sig_atomic_t continuedOutside = 0;
volatile std::sig_atomic_t pausing = 0; // inside pauseProcess: its SIGCONT is expected
volatile std::sig_atomic_t waitsOnStop = static_cast<int>(StopWaits::END_AT_ONCE);

void onStop(int signal)
{
    if (stopSignal != 0) {
        // The line no longer drains, or the user will not wait: end now.
        restoreTerminalFromSignal();
        restorePortFromSignal();
        _exit(EXIT_SIGNAL_BASE + signal);
    }
    stopSignal = signal;
    if (waitsOnStop == static_cast<int>(StopWaits::END_AT_ONCE)) {
        interruptLink();
    } else if (waitsOnStop == static_cast<int>(StopWaits::FINISH_FRAME)) {
        alarm((STOP_GRACE_MS + 999) / 1000);
    }
    wakeClock();
}

// The frame in flight had its time: its wait ends now.
void onGraceOver(int)
{
    if (stopSignal != 0 && waitsOnStop == static_cast<int>(StopWaits::FINISH_FRAME)) {
        interruptLink();
    }
}

void onPause(int)
{
    pauseWaiting = 1;
    wakeClock();
}

void onContinue(int)
{
    if (pausing == 0) {
        continuedOutside = 1;
    }
    wakeClock();
}

void handle(int signal, void (*handler)(int), bool restart)
{
    struct sigaction action {};
    action.sa_handler = handler;
    sigemptyset(&action.sa_mask);
    // A stop handler runs whole before another stop's: the second one sees the first's note.
    for (int stop : STOP_SIGNALS) {
        sigaddset(&action.sa_mask, stop);
    }
    action.sa_flags = restart ? SA_RESTART : 0;
    sigaction(signal, &action, nullptr);
}

} // namespace

void installPlaySignals()
{
    // A closed pipe on standard output, or a board that vanishes, must end a
    // write with an error, not the process.
    std::signal(SIGPIPE, SIG_IGN);
    for (int stop : STOP_SIGNALS) {
        handle(stop, onStop, false);
    }
    handle(SIGALRM, onGraceOver, false); // ends the read it lands in, as a stop does
    handle(SIGCONT, onContinue, true);
}

void setStopWaits(StopWaits waits)
{
    waitsOnStop = static_cast<int>(waits);
    // A stop that came in the stretch before ends the waits of this one too.
    if (stopSignal != 0 && waits == StopWaits::END_AT_ONCE) {
        interruptLink();
    }
}

void catchPause(bool on)
{
    if (on) {
        handle(SIGTSTP, onPause, true);
        return;
    }
    std::signal(SIGTSTP, SIG_DFL);
    // A Ctrl-Z that came too late to be taken is the system's now.
    if (pauseWaiting != 0) {
        pauseWaiting = 0;
        raise(SIGTSTP);
    }
}

int stopStatus()
{
    return stopSignal == 0 ? 0 : EXIT_SIGNAL_BASE + stopSignal;
}

const volatile std::sig_atomic_t* stopSignalFlag()
{
    return &stopSignal;
}

bool pauseAsked()
{
    return pauseWaiting != 0;
}

void pauseProcess()
{
    pauseWaiting = 0;
    pausing = 1;
    // Stopped as Ctrl-Z stops any program, so that the shell reports it and
    // `fg` or `bg` continue it; the kernel discards the signal for an
    // orphaned process group, and the play then goes on at once.
    std::signal(SIGTSTP, SIG_DFL);
    raise(SIGTSTP);
    handle(SIGTSTP, onPause, true);
    pausing = 0;
}

bool takeContinued()
{
    const bool was = continuedOutside != 0;
    continuedOutside = 0;
    return was;
}

void settleStop()
{
    waitsOnStop = static_cast<int>(StopWaits::KEEP);
    alarm(0);
    allowLinkWaits();
}
