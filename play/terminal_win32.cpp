// The Windows terminal: single keys through the console input API, the
// width from the console's screen buffer, and the console's output code
// page set to UTF-8, so that the tags and file names the player prints (all
// UTF-8) show as they are, Japanese titles included.
//
// Keys: the input mode loses line input and echo but keeps processed input,
// so that Ctrl-C and Ctrl-Break stay the control handler's; window input is
// added for the resizes, mouse input and quick edit are taken out (a click
// in the window would otherwise start a selection, and the console holds
// every write of a process while one is open: the status line, and the play
// with it). Each key-down record gives its character, as UTF-8 bytes one key
// each, or its arrow by virtual key code; every other record is taken too,
// so that the input handle, which the clock waits on, is signalled only
// while something unread is there.
#include "play/terminal.h"

#include "play/clock.h"

#include <atomic>
#include <cstdlib>
#include <cstring>

#include <windows.h>

namespace {

struct KeyConsole {
    HANDLE input = nullptr;
    bool keys = false;
    int lastWidth = 0;
    wchar_t highSurrogate = 0;   // the first half of a character typed in two records
    unsigned char pending[16]{}; // bytes of characters typed but not yet taken as keys
    std::size_t count = 0;
};

KeyConsole console;

// What the handlers read from their own thread: the saved settings are
// whole once the flag is set.
std::atomic<bool> modeSaved{false};
DWORD savedMode = 0;
std::atomic<bool> codePageSaved{false};
UINT savedCodePage = 0;
std::atomic<bool> resized{false};

void restoreCodePage()
{
    if (codePageSaved.exchange(false)) {
        SetConsoleOutputCP(savedCodePage);
    }
}

void keysGone()
{
    console.keys = false;
    console.count = 0;
    watchKeys(false);
}

void queue(const char* bytes, std::size_t length)
{
    for (std::size_t i = 0; i < length && console.count < sizeof console.pending; ++i) {
        console.pending[console.count++] = static_cast<unsigned char>(bytes[i]);
    }
}

// A typed UTF-16 unit (half of a pair, or a whole character) into the queue as UTF-8.
void queueCharacter(wchar_t unit)
{
    if (unit >= 0xD800 && unit <= 0xDBFF) {
        console.highSurrogate = unit;
        return;
    }
    wchar_t units[2] = {unit, 0};
    int length = 1;
    if (unit >= 0xDC00 && unit <= 0xDFFF && console.highSurrogate != 0) {
        units[0] = console.highSurrogate;
        units[1] = unit;
        length = 2;
    }
    console.highSurrogate = 0;
    char bytes[8];
    const int n = WideCharToMultiByte(CP_UTF8, 0, units, length, bytes, sizeof bytes, nullptr, nullptr);
    if (n > 0) {
        queue(bytes, static_cast<std::size_t>(n));
    }
}

KeyKind arrow(WORD virtualKey)
{
    switch (virtualKey) {
    case VK_LEFT:
        return KeyKind::LEFT;
    case VK_RIGHT:
        return KeyKind::RIGHT;
    case VK_UP:
        return KeyKind::UP;
    case VK_DOWN:
        return KeyKind::DOWN;
    default:
        return KeyKind::NONE;
    }
}

// One input record: an arrow straight away, a character into the queue.
Key take(const INPUT_RECORD& record)
{
    if (record.EventType == WINDOW_BUFFER_SIZE_EVENT) {
        resized = true;
        return {};
    }
    if (record.EventType != KEY_EVENT || !record.Event.KeyEvent.bKeyDown) {
        return {};
    }
    const KEY_EVENT_RECORD& key = record.Event.KeyEvent;
    if (const KeyKind kind = arrow(key.wVirtualKeyCode); kind != KeyKind::NONE) {
        return {kind, 0};
    }
    // Enter as a terminal in single-key mode gives it elsewhere: a line feed.
    const wchar_t typed = key.uChar.UnicodeChar == L'\r' ? L'\n' : key.uChar.UnicodeChar;
    // A key held down comes as one record with a count of repeats.
    for (WORD i = 0; i < key.wRepeatCount && typed != 0; ++i) {
        queueCharacter(typed);
    }
    return {};
}

int widthNow()
{
    CONSOLE_SCREEN_BUFFER_INFO info{};
    if (!GetConsoleScreenBufferInfo(GetStdHandle(STD_OUTPUT_HANDLE), &info)) {
        return 0;
    }
    return info.srWindow.Right - info.srWindow.Left + 1;
}

} // namespace

void prepareTextOutput()
{
    // Either stream on a console is enough: the code page is the console's.
    DWORD mode = 0;
    if (codePageSaved || (!GetConsoleMode(GetStdHandle(STD_OUTPUT_HANDLE), &mode) &&
                          !GetConsoleMode(GetStdHandle(STD_ERROR_HANDLE), &mode))) {
        return;
    }
    // The code page belongs to the console, not to the process: the shell's
    // own is given back when the player ends.
    savedCodePage = GetConsoleOutputCP();
    if (savedCodePage != CP_UTF8 && SetConsoleOutputCP(CP_UTF8)) {
        codePageSaved = true;
        std::atexit(restoreCodePage);
    }
}

bool outputIsTerminal()
{
    DWORD mode = 0;
    return GetConsoleMode(GetStdHandle(STD_OUTPUT_HANDLE), &mode) != 0;
}

bool startTerminal()
{
    console.lastWidth = widthNow();
    if (console.keys) {
        return true;
    }
    console.input = GetStdHandle(STD_INPUT_HANDLE);
    DWORD mode = 0;
    if (console.input == nullptr || console.input == INVALID_HANDLE_VALUE ||
        !GetConsoleMode(console.input, &mode)) {
        watchKeys(false);
        return false;
    }
    savedMode = mode;
    modeSaved = true;
    DWORD keys = mode & ~static_cast<DWORD>(ENABLE_LINE_INPUT | ENABLE_ECHO_INPUT | ENABLE_MOUSE_INPUT |
                                            ENABLE_QUICK_EDIT_MODE);
    keys |= ENABLE_PROCESSED_INPUT | ENABLE_WINDOW_INPUT | ENABLE_EXTENDED_FLAGS;
    if (!SetConsoleMode(console.input, keys)) {
        modeSaved = false;
        watchKeys(false);
        return false;
    }
    console.keys = true;
    console.count = 0;
    watchKeys(true);
    return true;
}

void stopTerminal()
{
    if (modeSaved.exchange(false)) {
        SetConsoleMode(console.input, savedMode);
    }
    console.keys = false;
    console.count = 0;
    watchKeys(false);
}

Key readKey()
{
    if (!console.keys) {
        return {};
    }
    while (console.count == 0) {
        DWORD waiting = 0;
        if (!GetNumberOfConsoleInputEvents(console.input, &waiting)) {
            keysGone();
            return {};
        }
        if (waiting == 0) {
            return {};
        }
        INPUT_RECORD record{};
        DWORD got = 0;
        if (!ReadConsoleInputW(console.input, &record, 1, &got) || got == 0) {
            keysGone();
            return {};
        }
        if (const Key key = take(record); key.kind != KeyKind::NONE) {
            return key;
        }
    }
    const char first = static_cast<char>(console.pending[0]);
    std::memmove(console.pending, console.pending + 1, console.count - 1);
    --console.count;
    return {KeyKind::CHARACTER, first};
}

int terminalWidth()
{
    return widthNow();
}

bool takeResize()
{
    // Without keys no resize record is read: the width is looked at instead.
    const int width = widthNow();
    const bool changed = resized.exchange(false) || width != console.lastWidth;
    console.lastWidth = width;
    return changed;
}

void restoreTerminalFromSignal()
{
    if (modeSaved.exchange(false)) {
        SetConsoleMode(console.input, savedMode);
    }
    restoreCodePage();
}
