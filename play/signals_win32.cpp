// The Windows requests: a console control handler in place of signals. The
// system runs the handler on a thread of its own for each event, so it notes
// the stop, ends the waits the play allows it to end, and wakes the clock,
// as the POSIX handlers do. For the console window closing, logoff and
// shutdown the system ends the process as soon as the handler returns: the
// handler stays in there while the player silences the chip and ends by
// itself (the process's end ends the handler too), and gives up after a few
// seconds, before the system would.
//
// Windows has no job control: no pause and no continue come.
#include "play/signals.h"

#include "link/device_link.h"
#include "link/port.h"
#include "play/clock.h"
#include "play/terminal.h"

#include <atomic>
#include <csignal>

#include <windows.h>

namespace {

// The exit statuses the shells give a program ended by Ctrl-C and by SIGTERM,
// so that scripts read a stop alike on every platform.
constexpr int STATUS_INTERRUPTED = 130;
constexpr int STATUS_TERMINATED = 143;

// How long the handler of an ending event (the window closing, logoff,
// shutdown) waits for the player: the system ends a process that takes
// five seconds over its console window's closing.
constexpr DWORD ENDING_WAIT_MS = 4000;

// The exit status of the stop, and the same less 128 for the render, which
// polls a signal's number.
constexpr int STATUS_SIGNAL_BASE = 128;
std::atomic<int> stopCode{0};
volatile std::sig_atomic_t stopNumber = 0;
std::atomic<int> waitsOnStop{static_cast<int>(StopWaits::END_AT_ONCE)};

// The stretch of grace the frame in flight has after a stop in the memory load.
std::atomic<HANDLE> graceTimer{nullptr};

// The frame in flight had its time: its wait ends now.
VOID CALLBACK onGraceOver(PVOID, BOOLEAN)
{
    if (stopCode != 0 && waitsOnStop == static_cast<int>(StopWaits::FINISH_FRAME)) {
        interruptLink();
    }
}

void startGrace()
{
    HANDLE timer = nullptr;
    if (!CreateTimerQueueTimer(&timer, nullptr, onGraceOver, nullptr, STOP_GRACE_MS, 0, WT_EXECUTEONLYONCE)) {
        // No timer for the grace: the wait ends at once, as elsewhere it
        // would after the grace.
        interruptLink();
        return;
    }
    graceTimer = timer;
}

bool endsProcess(DWORD event)
{
    return event == CTRL_CLOSE_EVENT || event == CTRL_LOGOFF_EVENT || event == CTRL_SHUTDOWN_EVENT;
}

BOOL WINAPI onConsoleEvent(DWORD event)
{
    const int status =
        event == CTRL_C_EVENT || event == CTRL_BREAK_EVENT ? STATUS_INTERRUPTED : STATUS_TERMINATED;
    int before = 0;
    if (!stopCode.compare_exchange_strong(before, status)) {
        // The line no longer drains, or the user will not wait: end now,
        // without the C runtime's exit, whose locks the player may hold.
        restoreTerminalFromSignal();
        restorePortFromSignal();
        TerminateProcess(GetCurrentProcess(), static_cast<UINT>(status));
        return TRUE;
    }
    stopNumber = status - STATUS_SIGNAL_BASE;
    if (waitsOnStop == static_cast<int>(StopWaits::END_AT_ONCE)) {
        interruptLink();
    } else if (waitsOnStop == static_cast<int>(StopWaits::FINISH_FRAME)) {
        startGrace();
    }
    wakeClock();
    if (endsProcess(event)) {
        Sleep(ENDING_WAIT_MS);
        // The system ends the process now: the port and the console as they were.
        restoreTerminalFromSignal();
        restorePortFromSignal();
    }
    return TRUE;
}

} // namespace

void installPlaySignals()
{
    SetConsoleCtrlHandler(onConsoleEvent, TRUE);
}

void setStopWaits(StopWaits waits)
{
    waitsOnStop = static_cast<int>(waits);
    // A stop that came in the stretch before ends the waits of this one too.
    if (stopCode != 0 && waits == StopWaits::END_AT_ONCE) {
        interruptLink();
    }
}

void catchPause(bool) {}

int stopStatus()
{
    return stopCode;
}

const volatile std::sig_atomic_t* stopSignalFlag()
{
    return &stopNumber;
}

bool pauseAsked()
{
    return false;
}

void pauseProcess() {}

bool takeContinued()
{
    return false;
}

void settleStop()
{
    waitsOnStop = static_cast<int>(StopWaits::KEEP);
    // Waits for a grace callback under way, so that none ends a wait after this.
    const HANDLE timer = graceTimer.exchange(nullptr);
    if (timer != nullptr) {
        DeleteTimerQueueTimer(nullptr, timer, INVALID_HANDLE_VALUE);
    }
    allowLinkWaits();
}
