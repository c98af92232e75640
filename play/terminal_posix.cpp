// The POSIX terminal: single keys through termios on standard input, the
// width through TIOCGWINSZ on standard output, resizes through SIGWINCH.
// Keys are read with VMIN 0 after a poll, never by making standard input
// non-blocking: the descriptor is shared with the shell, which would inherit
// the flag.
#include "play/terminal.h"

#include "play/clock.h"

#include <cerrno>
#include <csignal>
#include <cstddef>
#include <cstring>

#include <poll.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

namespace {

constexpr unsigned char ESCAPE = 0x1B;

struct KeyTerminal {
    bool keys = false;
    bool resizeWatched = false;
    termios saved{};
    unsigned char pending[16]{}; // bytes read but not yet taken as keys
    std::size_t count = 0;
};

KeyTerminal term;

// What the handlers read: the saved settings are whole once this is set.
volatile std::sig_atomic_t settingsSaved = 0;
volatile std::sig_atomic_t resized = 0;

void onResize(int)
{
    resized = 1;
    wakeClock();
}

// A terminal that is not the process's controlling terminal has no
// foreground to be out of: job control never stops the process for it.
bool inForeground()
{
    const pid_t group = tcgetpgrp(STDIN_FILENO);
    return group == -1 ? errno == ENOTTY : group == getpgrp();
}

// Setting a terminal from the background stops the process (SIGTTOU) unless
// that signal is blocked; giving the user's settings back must never stop it.
void setTerminal(const termios& settings)
{
    sigset_t ttou;
    sigset_t before;
    sigemptyset(&ttou);
    sigaddset(&ttou, SIGTTOU);
    sigprocmask(SIG_BLOCK, &ttou, &before);
    tcsetattr(STDIN_FILENO, TCSANOW, &settings);
    sigprocmask(SIG_SETMASK, &before, nullptr);
}

void keysGone()
{
    term.keys = false;
    term.count = 0;
    watchKeys(false);
}

// Takes in what standard input holds, without waiting.
void fill()
{
    while (term.count < sizeof term.pending) {
        pollfd ready{STDIN_FILENO, POLLIN, 0};
        if (poll(&ready, 1, 0) <= 0) {
            return;
        }
        const ssize_t got = read(STDIN_FILENO, term.pending + term.count, sizeof term.pending - term.count);
        if (got > 0) {
            term.count += static_cast<std::size_t>(got);
            continue;
        }
        if (got < 0 && (errno == EINTR || errno == EAGAIN)) {
            return;
        }
        // End of input or a hung-up terminal: there are no more keys to read.
        keysGone();
        return;
    }
}

void consume(std::size_t bytes)
{
    std::memmove(term.pending, term.pending + bytes, term.count - bytes);
    term.count -= bytes;
}

// The length of the escape sequence at the start of `pending` (ESC [ ... final
// byte), or 0 while it is not whole.
std::size_t sequenceLength()
{
    for (std::size_t i = 2; i < term.count; ++i) {
        if (term.pending[i] >= 0x40 && term.pending[i] <= 0x7E) {
            return i + 1;
        }
    }
    return 0;
}

KeyKind arrow(unsigned char final)
{
    switch (final) {
    case 'A':
        return KeyKind::UP;
    case 'B':
        return KeyKind::DOWN;
    case 'C':
        return KeyKind::RIGHT;
    case 'D':
        return KeyKind::LEFT;
    default:
        return KeyKind::NONE;
    }
}

} // namespace

void prepareTextOutput() {}

bool outputIsTerminal()
{
    return isatty(STDOUT_FILENO) != 0;
}

bool startTerminal()
{
    if (!term.resizeWatched && isatty(STDOUT_FILENO) != 0) {
        struct sigaction action {};
        action.sa_handler = onResize;
        sigemptyset(&action.sa_mask);
        action.sa_flags = SA_RESTART;
        sigaction(SIGWINCH, &action, nullptr);
        term.resizeWatched = true;
    }
    if (term.keys) {
        return true;
    }
    if (isatty(STDIN_FILENO) == 0 || !inForeground() || tcgetattr(STDIN_FILENO, &term.saved) != 0) {
        watchKeys(false);
        return false;
    }
    settingsSaved = 1;
    // A key read from the background would stop the player with the chip
    // sounding; ignored, the read fails instead, and keys go off until the
    // player is continued in the foreground.
    std::signal(SIGTTIN, SIG_IGN);
    termios keys = term.saved;
    keys.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO);
    // Ctrl-S would hold the status line's output, and the play with it.
    keys.c_iflag &= ~static_cast<tcflag_t>(IXON);
    keys.c_cc[VMIN] = 0;
    keys.c_cc[VTIME] = 0;
    setTerminal(keys);
    term.keys = true;
    term.count = 0;
    watchKeys(true);
    return true;
}

void stopTerminal()
{
    if (settingsSaved != 0) {
        setTerminal(term.saved);
        settingsSaved = 0;
    }
    term.keys = false;
    term.count = 0;
    watchKeys(false);
}

Key readKey()
{
    if (!term.keys) {
        return {};
    }
    fill();
    while (term.count > 0) {
        const unsigned char first = term.pending[0];
        if (first != ESCAPE || term.count == 1) {
            consume(1);
            return {KeyKind::CHARACTER, static_cast<char>(first)};
        }
        // Arrows come as ESC [ A (or ESC O A in the terminal's application mode).
        if (term.pending[1] == 'O' && term.count >= 3) {
            const KeyKind kind = arrow(term.pending[2]);
            consume(3);
            if (kind != KeyKind::NONE) {
                return {kind, 0};
            }
            continue;
        }
        if (term.pending[1] != '[') {
            consume(1);
            return {KeyKind::CHARACTER, static_cast<char>(first)};
        }
        const std::size_t length = sequenceLength();
        if (length == 0 && term.count < sizeof term.pending) {
            return {}; // the rest of the sequence comes with the next read
        }
        if (length == 0) {
            term.count = 0; // no sequence of a key is this long: drop it
            return {};
        }
        const KeyKind kind = length == 3 ? arrow(term.pending[2]) : KeyKind::NONE;
        consume(length);
        if (kind != KeyKind::NONE) {
            return {kind, 0};
        }
        // Another key's sequence (a function key, a modified arrow): not ours.
    }
    return {};
}

int terminalWidth()
{
    winsize size{};
    if (ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) != 0) {
        return 0;
    }
    return size.ws_col;
}

bool takeResize()
{
    const bool was = resized != 0;
    resized = 0;
    return was;
}

void restoreTerminalFromSignal()
{
    if (settingsSaved == 0) {
        return;
    }
    // sigprocmask and tcsetattr: single system calls, safe in a handler.
    sigset_t ttou;
    sigemptyset(&ttou);
    sigaddset(&ttou, SIGTTOU);
    sigprocmask(SIG_BLOCK, &ttou, nullptr);
    tcsetattr(STDIN_FILENO, TCSANOW, &term.saved);
}
