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
// a spin only for that last stretch below the timer's resolution. The spin
// gives the processor to any other thread ready to run on it at each turn
// (the serial driver's work may be waiting for it), and reads a wake from a
// flag rather than by waiting on the event.
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

// Set by wakeClock from any thread (the console control handler's among
// them): the flag first, for the spin to read without a system call, then
// the event, for the waits.
std::atomic<HANDLE> wakeEvent{nullptr};
std::atomic<bool> wakePending{false};

HANDLE keyInput()
{
    return sleeper.keys ? GetStdHandle(STD_INPUT_HANDLE) : nullptr;
}

// Takes a wake that came: its flag and its event both.
bool takeWake()
{
    if (!wakePending.exchange(false)) {
        return false;
    }
    WaitForSingleObject(wakeEvent.load(), 0);
    return true;
}

// The last stretch before the deadline, on the performance counter. A wake
// ends it; a key typed meanwhile is taken after it, at most MAX_SPIN_NS on.
Wake spinUntil(std::int64_t deadline)
{
    while (clockNow() < deadline) {
        if (wakePending.load(std::memory_order_relaxed) && takeWake()) {
            return Wake::WOKEN;
        }
        SwitchToThread();
    }
    return Wake::DEADLINE;
}

// The timer fired at `now`, armed for `armedFor`. The lateness followed is
// raised by a quarter of a rise and let go by a sixteenth of a fall, so that
// neither one late wake-up nor one lucky one moves the spins much.
void noteLateness(std::int64_t now, std::int64_t armedFor)
{
    const std::int64_t late = std::clamp<std::int64_t>(now - armedFor, 0, MAX_SPIN_NS);
    const std::int64_t change = late - sleeper.lateness;
    sleeper.lateness += change > 0 ? change / 4 : change / 16;
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
    if (takeWake()) {
        return Wake::WOKEN;
    }
    if (const HANDLE input = keyInput(); input != nullptr && WaitForSingleObject(input, 0) == WAIT_OBJECT_0) {
        return Wake::KEY;
    }
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
            wakePending = false;
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
        wakePending = true;
        SetEvent(wake);
    }
}

void watchKeys(bool on)
{
    sleeper.keys = on;
}
