// The player's clock and its one way of waiting. The schedule is kept on a
// monotonic clock in nanoseconds; between ticks the player sleeps until an
// absolute time on it, so that late wake-ups never add up into drift. A sleep
// ends early when something needs the player: a stop or pause request (the
// signal seam calls wakeClock), a resized terminal, or, while keys are
// watched, a key waiting on standard input.
//
// One backend per platform, with the same behaviour:
//   clock_posix.cpp  CLOCK_MONOTONIC; a timerfd armed at the absolute time,
//                    polled with a wake pipe and standard input; a timer
//                    slack of 1 ns so that wake-ups come at their time.
//   clock_win32.cpp  QueryPerformanceCounter; a waitable timer, high
//                    resolution where the system has it
//                    (CREATE_WAITABLE_TIMER_HIGH_RESOLUTION), else
//                    timeBeginPeriod(1) and an ordinary one; waited on with
//                    an event for wakeClock and the console input handle for
//                    keys; a short spin only for what is left below the
//                    timer's resolution.
//
// Functions: startClock, stopClock, clockNow, sleepUntil, wakeClock, watchKeys.
#pragma once

#include <cstdint>

/// Nanoseconds in a second, the clock's unit.
inline constexpr std::int64_t NS_PER_SECOND = 1'000'000'000;

/// Sets the clock up for exact wake-ups, once, before any other call here
/// and before the signal handlers are installed (they wake the clock). False
/// when the system refuses what the sleeps need; nothing can be played then.
bool startClock();

/// Gives back what startClock took (the timer resolution on Windows).
void stopClock();

/// The monotonic clock: never goes back, never jumps with the time of day.
/// Its origin is arbitrary; only differences and deadlines mean anything.
std::int64_t clockNow();

/// Why sleepUntil returned.
enum class Wake : std::uint8_t {
    DEADLINE, // clockNow() has reached the deadline
    WOKEN,    // wakeClock was called since the last sleep ended
    KEY,      // keys are watched and input is waiting on standard input
};

/// Sleeps until clockNow() >= deadline, unless woken first. Never returns
/// DEADLINE before the deadline, and never waits on when a wake or a key is
/// already pending. A deadline already past returns at once.
Wake sleepUntil(std::int64_t deadline);

/// Ends the sleep under way, or else the next one, at once. Safe in a signal
/// handler, and from any thread (the console control handler's on Windows).
void wakeClock();

/// While on, a key waiting on standard input ends a sleep (KEY). Only for a
/// terminal in single-key mode (terminal.h); the terminal seam turns it off
/// when its input ends.
void watchKeys(bool on);
