// The requests that reach the player from outside it: stop, and the pause and
// continue of the shell's job control. A request is noted and wakes the
// clock's sleep (wakeClock); the player takes it where the play allows: between
// ticks of the music, between the frames of the memory load, before a file
// is read. A second stop request, for a line that no longer drains, ends the
// process at once from the handler, with the port's and the terminal's
// settings given back (restorePortFromSignal, restoreTerminalFromSignal).
//
// Where the requests come from, on each platform:
//   stop      POSIX: SIGINT (Ctrl-C), SIGTERM, SIGHUP, SIGQUIT. Windows: the
//             console control handler's Ctrl-C, Ctrl-Break, the console window
//             closing, logoff and shutdown (for the last three the system
//             ends the process when the handler returns, so the handler waits
//             there until the player has silenced the chip, or a few seconds).
//   pause     POSIX: SIGTSTP (Ctrl-Z), caught while the songs play.
//             Windows: none (pauseAsked is never true).
//   continue  POSIX: SIGCONT. Windows: none.
//
// A wait on the board under way when a stop comes (a reply to a frame) is
// treated as the stretch of the play asks (setStopWaits).
//
// Functions: installPlaySignals, setStopWaits, catchPause, stopStatus,
// stopSignalFlag, pauseAsked, pauseProcess, takeContinued, settleStop.
#pragma once

#include <csignal>
#include <cstdint>

/// How long the reply to the frame in flight may still take once a stop has
/// come in the memory load, before the wait for it is ended.
inline constexpr int STOP_GRACE_MS = 1000;

/// What a stop does to a wait on the board under way.
enum class StopWaits : std::uint8_t {
    END_AT_ONCE,  // nothing to finish (identifying the board, reading files): the wait ends at once
    FINISH_FRAME, // the memory load: the frame in flight gets STOP_GRACE_MS for its reply, then the wait ends
    KEEP,         // the music: writes are never cut off; the stop is taken between ticks
};

/// Installs the handlers of every request above. After startClock.
void installPlaySignals();

/// Sets what a stop does to the waits from now on; END_AT_ONCE at the start.
void setStopWaits(StopWaits waits);

/// While on, a pause request is caught and waits for pauseProcess; while
/// off, the system's own pause (if any) stops the process where it is. On
/// while the player may have the chip sounding or the terminal set: a
/// request still waiting when it goes off is the system's then.
void catchPause(bool on);

/// 0 while no stop has come; else the exit status the stop asks for: on POSIX
/// 128 + the signal's number (130 after Ctrl-C, 143 after SIGTERM); on
/// Windows 130 for Ctrl-C and Ctrl-Break, 143 for the others.
int stopStatus();

/// The stop request as a flag for code that polls one (the render): 0, or
/// the number stopStatus adds to 128.
const volatile std::sig_atomic_t* stopSignalFlag();

/// True while a pause request waits to be taken by pauseProcess.
bool pauseAsked();

/// Takes the pause request: stops the process as the request asked, so that
/// the shell's job control has it, and returns once it is continued. The
/// player has silenced the chip and given the terminal back before. Where
/// stopping is not possible (an orphaned process group), returns at once.
void pauseProcess();

/// True once after the process was continued without pauseProcess (stopped
/// from outside, or continued into the background): the terminal's mode is to
/// be looked at again.
bool takeContinued();

/// Once the player has taken a stop and is about to silence the chip: no
/// wait is ended from now on, and one ended too late for the player to see
/// is forgotten, so that the silencing writes go out.
void settleStop();
