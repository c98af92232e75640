// The console's side of the operator's terminal and of the process: standard
// descriptors made safe, signal handling, and the line editor used when
// standard input is a terminal. One backend file per platform: on POSIX the
// editor is libedit, with history kept across sessions; on Windows the
// console's own line editing serves and there is no editor here.
//
// Signals: Ctrl-C sets an interrupt that the console loop takes, and ends any
// wait on the board at once (interruptLink). SIGTERM, SIGHUP and SIGQUIT (on
// Windows: the console closing, logoff, shutdown, Ctrl-Break) restore the
// port's settings and the terminal, release the port, and end the process
// with the signal's usual status.
// While the editor runs, Ctrl-Z gives the terminal back as it was before the
// editor for the time the process is stopped; when it is continued (fg), the
// editor's settings (or a command's) come back and the prompt and the line
// so far are drawn again.
//
// Functions: prepareProcess, installSignalHandlers, takeInterrupt,
// interruptEndedInput, inputIsTerminal, outputColumns, portHelp, startLineEditor, readEditedLine,
// stopLineEditor, historyRefusal, beginCommand, endCommand.
#pragma once

#include <cstdint>
#include <string>

/// First thing in main: descriptors 0, 1 and 2 open (on the null device when
/// closed, so that no port or file ever becomes one of them), SIGPIPE ignored,
/// the standard streams in the modes the console reads and prints in.
void prepareProcess();

/// Installs the handlers of Ctrl-C and the ending signals.
void installSignalHandlers();

/// True when Ctrl-C came since the last call; forgets it.
bool takeInterrupt();

/// After standard input gave no byte: true when Ctrl-C ended the read (the
/// input goes on), and the Ctrl-C is then taken.
bool interruptEndedInput();

/// True when standard input is a terminal.
bool inputIsTerminal();

/// The width in columns of the terminal that standard output is: 0 when it
/// is a terminal of unknown width, -1 when standard output is no terminal.
int outputColumns();

/// The platform's lines on how the port names map to devices, for --help.
std::string portHelp();

/// Starts the line editor when standard input is a terminal and this build
/// has one; false otherwise (lines are then read as bytes from standard input).
bool startLineEditor();

enum class EditedLine {
    LINE,        // a line, its newline dropped
    INTERRUPTED, // Ctrl-C: the line being typed was dropped
    END,         // end of input
};

/// Shows the prompt ">" and reads one line through the editor, recording it
/// in the history. Ctrl-C drops the line and ends it on the terminal.
EditedLine readEditedLine(std::string& line);

/// Saves nothing more and gives the terminal back as it was.
void stopLineEditor();

/// Why the history is not kept across sessions although the editor runs.
enum class HistoryRefusal : std::uint8_t {
    NONE,
    NOT_OWNED,      // its folder belongs to another user
    OPEN_TO_OTHERS, // others may write in its folder
};

/// After startLineEditor: NONE, or why the history's `folder` was refused.
HistoryRefusal historyRefusal(std::string& folder);

/// Around each command run while the editor is in use: keys typed during the
/// command are not echoed (they would garble the progress line) and are
/// discarded at its end, so that nothing typed blind runs after a failure.
void beginCommand();
void endCommand();
