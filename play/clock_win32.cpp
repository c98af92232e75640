// The Windows clock: QueryPerformanceCounter, and sleeps on a waitable timer
// armed for a relative time (relative due times run on the system's
// interrupt time, which never jumps with the time of day). The timer is a
// high-resolution one where the system has them (Windows 10 version 1803
// and later); elsewhere an ordinary timer with the system's timer period
// lowered to 1 ms for as long as the clock runs. One wait takes the timer,
// an event that wakeClock sets and, while keys are watched, the console's
// input handle, so a wake that came just before the wait is never lost: the
// event stays set until a wait takes it.
//
// A timer ends a wait at one of the system's timer ticks, so it fires up to
// a tick after its due time. It is armed early by the lateness it has lately
// shown, and what is left of the wait is spun out on the performance counter:
// a spin only for that last stretch below the timer's resolution.
#include "play/clock.h"

#include <algorithm>
#include <atomic>

#include <windows.h>

namespace {

// Not in every SDK's headers: the flag of CreateWaitableTimerExW that asks
// for a timer of high resolution. Older systems refuse it as a bad parameter.
constexpr DWORD HIGH_RESOLUTION_TIMER = 0x00000002;

// The system's timer period asked for when there is no high-resolution timer.
constexpr UINT TIMER_PERIOD_MS = 1;

// How late a timer of each kind is taken to fire before it has shown itself.
constexpr std::int64_t HIGH_RESOLUTION_LATENESS_NS = 500'000;
constexpr std::int64_t PERIOD_LATENESS_NS = 1'000'000 * TIMER_PERIOD_MS;

// The longest spin: on a system whose timer fires later than this, the play
// is late by the rest rather than a processor kept spinning.
constexpr std::int64_t MAX_SPIN_NS = 2'000'000;

// The timer's arming takes 100 ns units; a negative due time is relative.
constexpr std::int64_t NS_PER_TIMER_UNIT = 100;

struct Clock {
    std::int64_t frequency = 0; // performance counter ticks a second
    HANDLE timer = nullptr;
    bool periodLowered = false;
    std::int64_t lateness = 0; // how late the timer has lately fired, spun out
    bool keys = false;
};

Clock sleeper;

// Set by wakeClock from any thread (the console control handler's among them).
std::atomic<HANDLE> wakeEvent{nullptr};

bool pending(HANDLE handle)
{
    return WaitForSingleObject(handle, 0) == WAIT_OBJECT_0;
}

HANDLE keyInput()
{
    return sleeper.keys ? GetStdHandle(STD_INPUT_HANDLE) : nullptr;
}

// The last stretch before the deadline, on the performance counter; a wake
// or a key ends it as it ends a wait.
Wake spinUntil(std::int64_t deadline)
{
    const HANDLE wake = wakeEvent.load();
    const HANDLE input = keyInput();
    while (clockNow() < deadline) {
        if (pending(wake)) {
            return Wake::WOKEN;
        }
        if (input != nullptr && pending(input)) {
            return Wake::KEY;
        }
        YieldProcessor();
    }
    return Wake::DEADLINE;
}

// The timer fired at `now`, armed for `armedFor`: its lateness is followed at
// once when it grows and let go slowly when it shrinks, so that one lucky
// wake-up does not leave the next ones late.
void noteLateness(std::int64_t now, std::int64_t armedFor)
{
    const std::int64_t late = std::clamp<std::int64_t>(now - armedFor, 0, MAX_SPIN_NS);
    sleeper.lateness = late > sleeper.lateness ? late : sleeper.lateness - (sleeper.lateness - late) / 16;
}

} // namespace

bool startClock()
{
    LARGE_INTEGER frequency{};
    QueryPerformanceFrequency(&frequency);
    sleeper.frequency = frequency.QuadPart;
    sleeper.timer = CreateWaitableTimerExW(nullptr, nullptr, HIGH_RESOLUTION_TIMER, TIMER_ALL_ACCESS);
    sleeper.lateness = HIGH_RESOLUTION_LATENESS_NS;
    if (sleeper.timer == nullptr) {
        sleeper.periodLowered = timeBeginPeriod(TIMER_PERIOD_MS) == TIMERR_NOERROR;
        sleeper.timer = CreateWaitableTimerW(nullptr, FALSE, nullptr);
        sleeper.lateness = PERIOD_LATENESS_NS;
    }
    const HANDLE wake = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    wakeEvent = wake;
    if (sleeper.frequency <= 0 || sleeper.timer == nullptr || wake == nullptr) {
        stopClock();
        return false;
    }
    return true;
}

void stopClock()
{
    const HANDLE wake = wakeEvent.exchange(nullptr);
    if (wake != nullptr) {
        CloseHandle(wake);
    }
    if (sleeper.timer != nullptr) {
        CloseHandle(sleeper.timer);
    }
    if (sleeper.periodLowered) {
        timeEndPeriod(TIMER_PERIOD_MS);
    }
    sleeper = Clock{};
}

std::int64_t clockNow()
{
    LARGE_INTEGER counter{};
    QueryPerformanceCounter(&counter);
    // Whole seconds and the rest apart: ticks times 10^9 would overflow
    // after a few weeks of uptime at a 10 MHz counter.
    const std::int64_t ticks = counter.QuadPart;
    const std::int64_t frequency = sleeper.frequency > 0 ? sleeper.frequency : 1;
    return ticks / frequency * NS_PER_SECOND + ticks % frequency * NS_PER_SECOND / frequency;
}

Wake sleepUntil(std::int64_t deadline)
{
    const HANDLE wake = wakeEvent.load();
    for (;;) {
        const std::int64_t left = deadline - clockNow();
        if (left <= sleeper.lateness) {
            return spinUntil(deadline);
        }
        // Armed early by the lateness the timer has shown; the rest is spun.
        const std::int64_t armedFor = deadline - sleeper.lateness;
        LARGE_INTEGER due{};
        due.QuadPart = -std::max<std::int64_t>((left - sleeper.lateness) / NS_PER_TIMER_UNIT, 1);
        HANDLE handles[3] = {wake, sleeper.timer, keyInput()};
        const DWORD count = handles[2] != nullptr ? 3 : 2;
        if (!SetWaitableTimer(sleeper.timer, &due, 0, nullptr, nullptr, FALSE)) {
            // No timer to wait on: the deadline is still kept, by a plain sleep.
            Sleep(static_cast<DWORD>(left / 1'000'000));
            return spinUntil(deadline);
        }
        const DWORD waited = WaitForMultipleObjects(count, handles, FALSE, INFINITE);
        if (waited == WAIT_OBJECT_0) {
            return Wake::WOKEN;
        }
        if (waited == WAIT_OBJECT_0 + 2) {
            return Wake::KEY;
        }
        if (waited != WAIT_OBJECT_0 + 1) {
            Sleep(static_cast<DWORD>(left / 1'000'000));
            return spinUntil(deadline);
        }
        noteLateness(clockNow(), armedFor);
    }
}

void wakeClock()
{
    const HANDLE wake = wakeEvent.load();
    if (wake != nullptr) {
        SetEvent(wake);
    }
}

void watchKeys(bool on)
{
    sleeper.keys = on;
}
