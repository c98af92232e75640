// The Windows terminal: no line editor of our own (the console's line editing
// serves), standard input in the C runtime's text mode so that a typed line
// ends in LF as elsewhere, and a console control handler in place of signals.
#include "app/terminal.h"

#include "link/device_link.h"
#include "link/port.h"

#include <atomic>
#include <cstdio>

#include <fcntl.h>
#include <io.h>
#include <windows.h>

namespace {

std::atomic<bool> interrupted{false};

// Runs on a thread of its own that the system starts for each event.
BOOL WINAPI onConsoleEvent(DWORD event)
{
    if (event == CTRL_C_EVENT) {
        interrupted = true;
        interruptLink();
        return TRUE;
    }
    // Ctrl-Break, the console closing, logoff, shutdown: the process ends
    // after this handler; the port's settings go back first.
    restorePortFromSignal();
    return FALSE;
}

} // namespace

void prepareProcess()
{
    // Text mode turns the typed CR LF into LF; the tool's own output is
    // written byte for byte (the progress line's lone CR included).
    _setmode(_fileno(stdin), _O_TEXT);
    _setmode(_fileno(stdout), _O_BINARY);
    _setmode(_fileno(stderr), _O_BINARY);
}

void installSignalHandlers()
{
    SetConsoleCtrlHandler(onConsoleEvent, TRUE);
}

bool takeInterrupt()
{
    return interrupted.exchange(false);
}

bool interruptEndedInput()
{
    if (takeInterrupt()) {
        return true;
    }
    // At a console, Ctrl-C ends the read before the control handler, on a
    // thread of its own, has run: give it a moment.
    if (!inputIsTerminal()) {
        return false;
    }
    Sleep(100);
    return takeInterrupt();
}

bool inputIsTerminal()
{
    return _isatty(_fileno(stdin)) != 0;
}

int outputColumns()
{
    CONSOLE_SCREEN_BUFFER_INFO info{};
    if (!GetConsoleScreenBufferInfo(GetStdHandle(STD_OUTPUT_HANDLE), &info)) {
        return -1;
    }
    return info.srWindow.Right - info.srWindow.Left + 1;
}

std::string portHelp()
{
    return "COM3 and COM4 open the devices \\\\.\\COM3 and \\\\.\\COM4.\n"
           "The tool keeps the line's speed: set it first, e.g. mode COM3 BAUD=115200.\n";
}

bool startLineEditor()
{
    return false;
}

EditedLine readEditedLine(std::string&)
{
    return EditedLine::END;
}

void stopLineEditor() {}

HistoryRefusal historyRefusal(std::string&)
{
    return HistoryRefusal::NONE;
}

void beginCommand() {}

void endCommand() {}
