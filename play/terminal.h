// The player's side of the user's terminal: single keys typed at it, read
// without echo and without waiting for a line, and the width of the
// terminal the status line is drawn on, with a notice when it changes.
// Whatever the terminal was set to before is given back on every way out:
// the end of the play, a stop, a pause (the shell gets its terminal back
// while the player is stopped) and the second stop signal that ends the
// process from its handler (restoreTerminalFromSignal).
//
// One backend per platform:
//   terminal_posix.cpp  termios on standard input (no canonical mode, no
//                       echo, no flow control; Ctrl-C and Ctrl-Z stay
//                       signals), only while the player is in the
//                       terminal's foreground; TIOCGWINSZ and SIGWINCH.
//   terminal_win32.cpp  the console input API: the input mode without line
//                       input, echo and quick edit, processed input kept
//                       (Ctrl-C stays the control handler's), key events from
//                       ReadConsoleInput with the arrows from their virtual
//                       key codes; the width from GetConsoleScreenBufferInfo,
//                       its changes from WINDOW_BUFFER_SIZE_EVENT records;
//                       the console's output code page set to UTF-8.
//
// The text the player prints is UTF-8 on every platform (tags, file names):
// on Windows the console is set to show it as such (prepareTextOutput).
//
// Functions: prepareTextOutput, outputIsTerminal, startTerminal,
// stopTerminal, readKey, terminalWidth, takeResize, restoreTerminalFromSignal.
#pragma once

#include <cstdint>

enum class KeyKind : std::uint8_t {
    NONE,      // no key is waiting
    CHARACTER, // a printable character or a control key: `character`
    LEFT,
    RIGHT,
    UP,
    DOWN,
};

struct Key {
    KeyKind kind = KeyKind::NONE;
    char character = 0; // CHARACTER: the byte typed (ASCII; other bytes pass as they come)
};

/// First thing in main: standard output and error made to show UTF-8 text.
/// On Windows, a console's output code page becomes UTF-8 until the process
/// ends (the one before is given back then); nothing on POSIX, where the
/// terminal's own setting stands.
void prepareTextOutput();

/// True when standard output is a terminal (a console on Windows), where
/// the progress and status lines are drawn.
bool outputIsTerminal();

/// Starts the player's use of the terminal: single keys when standard input
/// is a terminal the player may set (in the foreground), and the resize
/// notice when standard output is a terminal. True when keys are on; the
/// clock then watches standard input (watchKeys). Again after a pause or a
/// continue: the foreground may have changed.
bool startTerminal();

/// Gives the terminal back as it was and stops watching keys. Idempotent.
void stopTerminal();

/// The next key typed, without waiting; NONE when none is whole yet. When
/// the input ends (the terminal hung up), keys go off.
Key readKey();

/// Columns of the terminal standard output shows on; 0 when it is none or
/// does not say.
int terminalWidth();

/// True once after the terminal's size changed (the clock was woken for it).
bool takeResize();

/// For a signal handler about to end the process: the terminal's settings
/// given back with async-signal-safe calls only. Nothing when they were not changed.
void restoreTerminalFromSignal();
