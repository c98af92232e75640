// The POSIX clock: CLOCK_MONOTONIC, and sleeps on a timerfd armed at the
// absolute deadline. The timerfd is polled together with a wake pipe (written
// by wakeClock, from signal handlers too) and, while keys are watched,
// standard input, so one poll waits for whichever comes first and a wake that
// came just before the poll is never lost: its byte is still in the pipe.
#include "play/clock.h"

#include <cerrno>
#include <csignal>
#include <ctime>
#include <initializer_list>

#include <fcntl.h>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/timerfd.h>
#include <unistd.h>

namespace {

struct Clock {
    int timer = -1;
    int wakeRead = -1;
    bool keys = false;
};

Clock sleeper;

// The pipe's writing end as a signal handler sees it.
volatile std::sig_atomic_t wakeWrite = -1;

void drainWakes()
{
    char bytes[64];
    while (read(sleeper.wakeRead, bytes, sizeof bytes) > 0) {
    }
}

} // namespace

bool startClock()
{
    // Wake-ups come at the due time, not up to the default 50 us of timer
    // slack after it: the sleeps are few (one per tick), so this costs nothing.
    prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
    int pipeEnds[2] = {-1, -1};
    sleeper.timer = timerfd_create(CLOCK_MONOTONIC, TFD_CLOEXEC | TFD_NONBLOCK);
    if (sleeper.timer < 0 || pipe2(pipeEnds, O_CLOEXEC | O_NONBLOCK) != 0) {
        stopClock();
        return false;
    }
    sleeper.wakeRead = pipeEnds[0];
    wakeWrite = pipeEnds[1];
    return true;
}

void stopClock()
{
    const int writeEnd = wakeWrite;
    wakeWrite = -1;
    for (int fd : {sleeper.timer, sleeper.wakeRead, writeEnd}) {
        if (fd >= 0) {
            close(fd);
        }
    }
    sleeper = Clock{};
}

std::int64_t clockNow()
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<std::int64_t>(now.tv_sec) * NS_PER_SECOND + now.tv_nsec;
}

Wake sleepUntil(std::int64_t deadline)
{
    const itimerspec at{
        {0, 0}, {static_cast<time_t>(deadline / NS_PER_SECOND), static_cast<long>(deadline % NS_PER_SECOND)}};
    // A deadline already past fires at once.
    timerfd_settime(sleeper.timer, TFD_TIMER_ABSTIME, &at, nullptr);
    for (;;) {
        pollfd ready[3] = {
            {sleeper.wakeRead, POLLIN, 0}, {sleeper.timer, POLLIN, 0}, {STDIN_FILENO, POLLIN, 0}};
        const int polled = poll(ready, sleeper.keys ? 3 : 2, -1);
        if (polled < 0 && errno != EINTR) {
            // Cannot poll: the deadline is still kept, by a plain sleep.
            while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &at.it_value, nullptr) == EINTR) {
            }
            return Wake::DEADLINE;
        }
        if ((ready[0].revents & POLLIN) != 0) {
            drainWakes();
            return Wake::WOKEN;
        }
        if (sleeper.keys && (ready[2].revents & (POLLIN | POLLHUP | POLLERR)) != 0) {
            return Wake::KEY;
        }
        if (clockNow() >= deadline) {
            std::uint64_t expirations = 0;
            [[maybe_unused]] const ssize_t taken = read(sleeper.timer, &expirations, sizeof expirations);
            return Wake::DEADLINE;
        }
        // A signal whose handler wanted nothing of the player: sleep on.
    }
}

void wakeClock()
{
    const int fd = wakeWrite;
    if (fd < 0) {
        return;
    }
    const int savedErrno = errno;
    const char byte = 1;
    // A full pipe already holds a wake.
    [[maybe_unused]] const ssize_t written = write(fd, &byte, 1);
    errno = savedErrno;
}

void watchKeys(bool on)
{
    sleeper.keys = on;
}
