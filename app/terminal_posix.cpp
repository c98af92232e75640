// The POSIX terminal: libedit for lines typed at a terminal, with history in
// $XDG_STATE_HOME/ym2608-console/history (default ~/.local/state/...), and
// the signal handlers. libedit's own signal handling stays off: it passes a
// signal on to the whole process group, which is not ours to signal.
//
// The history file is read and written here, in libedit's format, through
// the folder opened once and checked (ours, and no one else may write in
// it), and never through a symlink: a file planted in its place is never
// followed, so its target is neither read nor overwritten.
#include "app/terminal.h"

#include "app/operands.h"
#include "link/device_link.h"
#include "link/port.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <clocale>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <string>
#include <string_view>
#include <vector>

// strunvis is the same in either of libbsd's flavours; this one is libedit's own.
#define LIBBSD_NETBSD_VIS
#include <bsd/vis.h>
#include <dirent.h>
#include <fcntl.h>
#include <histedit.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

namespace {

/// Lines the history keeps, in the session and in its file.
constexpr int HISTORY_LINES = 1000;

/// A line longer than this is no command (the console answers "??") and is not kept.
constexpr std::size_t HISTORY_LINE_MAX = 4096;

/// The most of the history file read at start, from its end: a thousand
/// ordinary lines take a few tens of kilobytes.
constexpr off_t HISTORY_READ_MAX = off_t{1} << 20;

/// The file's first line in libedit's format; each line after it is one
/// entry, oldest first, encoded with strvis.
constexpr std::string_view HISTORY_COOKIE = "_HiStOrY_V2_";

struct Terminal {
    EditLine* editor = nullptr;
    History* history = nullptr;
    HistEvent event{};
    int historyFolder = -1; // the history file's folder; -1: no history kept across sessions
    HistoryRefusal refusal = HistoryRefusal::NONE;
    std::string refusedFolder;
    std::FILE* editorOutput = nullptr;
    bool ownsEditorOutput = false;
    termios saved{}; // standard input's settings before the editor ran
    bool echoOff = false;
};

Terminal terminal;

// What the signal handlers read: plain flags, and the saved terminal settings
// once they are complete.
volatile std::sig_atomic_t interrupted = 0;
volatile std::sig_atomic_t terminalSaved = 0;

// Ctrl-C at the prompt wakes the editor's wait for a key through this pipe,
// wherever the editor was when the signal came; so does a continue after a
// stop (Ctrl-Z, then fg), which has the line shown again.
int wakeRead = -1;
volatile std::sig_atomic_t wakeWrite = -1;
volatile std::sig_atomic_t continued = 0;
volatile std::sig_atomic_t atPrompt = 0;

// The terminal's settings to put back when the console is continued: the
// editor's while it reads a line, the command's (no echo) while one runs. A
// shell gives a stopped job's terminal its own settings; the line would then
// be read with the terminal's echo and line editing instead of the editor's.
termios resumeSettings{};
volatile std::sig_atomic_t resumeValid = 0;

void onInterrupt(int)
{
    const int savedErrno = errno;
    interrupted = 1;
    interruptLink();
    if (wakeWrite >= 0) {
        const char byte = 1;
        [[maybe_unused]] const ssize_t ignored = write(wakeWrite, &byte, 1);
    }
    errno = savedErrno;
}

void drainWake()
{
    char bytes[64];
    while (wakeRead >= 0 && read(wakeRead, bytes, sizeof bytes) > 0) {
    }
}

// The editor's key reader: one character from standard input, decoded in the
// user's character set, or -1 (errno EINTR) once Ctrl-C has come.
int readCharacter(EditLine* editor, wchar_t* character)
{
    std::mbstate_t state{};
    for (;;) {
        pollfd ready[2] = {{STDIN_FILENO, POLLIN, 0}, {wakeRead, POLLIN, 0}};
        if (poll(ready, 2, -1) < 0 && errno != EINTR) {
            return -1;
        }
        if (interrupted != 0) {
            drainWake();
            errno = EINTR;
            return -1;
        }
        if (continued != 0 || (ready[1].revents & POLLIN) != 0) {
            drainWake();
            if (continued != 0) {
                // Back from a stop: the prompt and the line so far, drawn
                // again from the start of the line the cursor is on.
                continued = 0;
                std::fputs("\r", terminal.editorOutput);
                el_set(editor, EL_REFRESH);
            }
            continue;
        }
        if ((ready[0].revents & (POLLIN | POLLHUP | POLLERR)) == 0) {
            continue;
        }
        char byte = 0;
        const ssize_t got = read(STDIN_FILENO, &byte, 1);
        if (got == 0) {
            return 0;
        }
        if (got < 0) {
            if (errno == EINTR || errno == EAGAIN) {
                continue;
            }
            return -1;
        }
        const std::size_t used = std::mbrtowc(character, &byte, 1, &state);
        if (used == static_cast<std::size_t>(-2)) {
            continue; // more bytes of the character to come
        }
        if (used == static_cast<std::size_t>(-1)) {
            *character = static_cast<unsigned char>(byte); // not in the character set: the byte itself
            state = std::mbstate_t{};
        }
        return 1;
    }
}

void onEndingSignal(int signal)
{
    restorePortFromSignal();
    if (terminalSaved != 0) {
        tcsetattr(STDIN_FILENO, TCSANOW, &terminal.saved);
    }
    // Ends the process with the signal's own status once the handler returns
    // and the signal is unblocked.
    std::signal(signal, SIG_DFL);
    std::raise(signal);
}

// `flags` 0, no SA_RESTART: a read waiting on the board ends with EINTR.
void handle(int signal, void (*handler)(int), int flags = 0)
{
    struct sigaction action {};
    action.sa_handler = handler;
    sigemptyset(&action.sa_mask);
    action.sa_flags = flags;
    sigaction(signal, &action, nullptr);
}

// Ctrl-Z: the terminal goes back to the settings it had before the editor
// ran, for the shell, and the process stops as the signal's default does.
void onStop(int)
{
    const int savedErrno = errno;
    if (terminalSaved != 0) {
        tcsetattr(STDIN_FILENO, TCSANOW, &terminal.saved);
    }
    std::signal(SIGTSTP, SIG_DFL);
    std::raise(SIGTSTP); // held until the handler unblocks it below
    sigset_t stop;
    sigemptyset(&stop);
    sigaddset(&stop, SIGTSTP);
    sigprocmask(SIG_UNBLOCK, &stop, nullptr); // the process stops here until continued
    handle(SIGTSTP, onStop, SA_RESTART);
    errno = savedErrno;
}

// Continued (fg after Ctrl-Z, or after any stop): the settings of the moment
// of the stop again, and at the prompt the line drawn anew.
void onContinue(int)
{
    const int savedErrno = errno;
    if (resumeValid != 0) {
        tcsetattr(STDIN_FILENO, TCSANOW, &resumeSettings);
    }
    if (atPrompt != 0) {
        continued = 1;
        if (wakeWrite >= 0) {
            const char byte = 1;
            [[maybe_unused]] const ssize_t ignored = write(wakeWrite, &byte, 1);
        }
    }
    errno = savedErrno;
}

// Keeps the terminal's present settings as those to resume with.
void rememberSettings()
{
    resumeValid = 0;
    if (tcgetattr(STDIN_FILENO, &resumeSettings) == 0) {
        resumeValid = 1;
    }
}

const char* prompt(EditLine*)
{
    return ">";
}

/// The most names Tab lists below the line at once.
constexpr std::size_t COMPLETION_LIST_MAX = 100;

// The names in `folder` ("" for the current one) that begin with `prefix`
// and that a line can hold: a CR or LF would end the operand before the name.
// Hidden names only when the prefix asks for them, as shells complete.
std::vector<std::string> matchingNames(const std::string& folder, const std::string& prefix)
{
    std::vector<std::string> names;
    DIR* dir = opendir(folder.empty() ? "." : folder.c_str());
    if (dir == nullptr) {
        return names;
    }
    while (const dirent* entry = readdir(dir)) {
        const std::string_view name = entry->d_name;
        if (name == "." || name == ".." || !name.starts_with(prefix) ||
            name.find_first_of("\r\n") != std::string_view::npos ||
            (name.starts_with('.') && !prefix.starts_with('.'))) {
            continue;
        }
        names.emplace_back(name);
    }
    closedir(dir);
    std::sort(names.begin(), names.end());
    return names;
}

// Lists the names below the line, control characters shown as '?'.
void listNames(const std::vector<std::string>& names)
{
    std::string text = "\n";
    for (std::size_t i = 0; i < names.size() && i < COMPLETION_LIST_MAX; ++i) {
        for (const char c : names[i]) {
            text += static_cast<unsigned char>(c) < 0x20 || c == 0x7F ? '?' : c;
        }
        text += "  ";
    }
    if (names.size() > COMPLETION_LIST_MAX) {
        text += '(';
        text += std::to_string(names.size() - COMPLETION_LIST_MAX);
        text += " more)";
    }
    text += "\n";
    std::fputs(text.c_str(), terminal.editorOutput);
}

// Tab completes a file name in the operand of `l` and `t`, and nothing else.
// The operand is the rest of the line taken as it is (blanks, quotes and
// backslashes belong to the name), so a name goes in as it is: no quoting,
// and no blank after it. A folder gets its "/", so that Tab can go on in it;
// names that share no more than what is typed are listed.
unsigned char complete(EditLine* editor, int)
{
    const LineInfo* line = el_line(editor);
    if (line->lastchar == line->buffer || (line->buffer[0] != 'l' && line->buffer[0] != 't')) {
        return CC_ERROR;
    }
    const char* start = line->buffer + 1;
    while (start < line->cursor && isBlank(*start)) {
        ++start;
    }
    if (line->cursor < start) {
        return CC_ERROR;
    }
    const std::string typed(start, line->cursor);
    const std::string folder = typed.substr(0, typed.rfind('/') + 1); // npos + 1 is 0
    const std::string prefix = typed.substr(folder.size());
    const std::vector<std::string> names = matchingNames(folder, prefix);
    if (names.empty()) {
        return CC_ERROR;
    }
    std::string common = names.front();
    for (const std::string& name : names) {
        common.resize(static_cast<std::size_t>(
            std::mismatch(common.begin(), common.end(), name.begin(), name.end()).first - common.begin()));
    }
    std::string insert = common.substr(prefix.size());
    struct stat info {};
    if (names.size() == 1 && stat((folder + common).c_str(), &info) == 0 && S_ISDIR(info.st_mode)) {
        insert += '/';
    }
    if (!insert.empty()) {
        el_insertstr(editor, insert.c_str());
        return CC_REFRESH;
    }
    if (names.size() > 1) {
        listNames(names);
        return CC_REDISPLAY;
    }
    return CC_REFRESH;
}

bool makeDirectories(const std::string& path)
{
    for (std::size_t slash = 1; slash <= path.size(); ++slash) {
        if (slash != path.size() && path[slash] != '/') {
            continue;
        }
        const std::string prefix = path.substr(0, slash);
        if (mkdir(prefix.c_str(), 0700) != 0 && errno != EEXIST) {
            return false;
        }
    }
    return true;
}

// $XDG_STATE_HOME/ym2608-console, or ~/.local/state/...; empty when neither
// an absolute XDG_STATE_HOME nor HOME is set.
std::string historyFolder()
{
    std::string state;
    const char* xdg = std::getenv("XDG_STATE_HOME");
    const char* home = std::getenv("HOME");
    if (xdg != nullptr && xdg[0] == '/') {
        state = xdg;
    } else if (home != nullptr && home[0] != '\0') {
        state = std::string(home) + "/.local/state";
    } else {
        return {};
    }
    const std::string folder = state + "/ym2608-console";
    return makeDirectories(folder) ? folder : std::string();
}

// Opens the history's folder, once for the session; -1 when there is none or
// it is refused: another user's, or one that others may write in (they could
// plant a file or a link where the history goes).
int openHistoryFolder()
{
    const std::string folder = historyFolder();
    if (folder.empty()) {
        return -1;
    }
    const int fd = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    struct stat info {};
    if (fd < 0 || fstat(fd, &info) != 0) {
        if (fd >= 0) {
            close(fd);
        }
        return -1;
    }
    if (info.st_uid != geteuid() || (info.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
        terminal.refusal =
            info.st_uid != geteuid() ? HistoryRefusal::NOT_OWNED : HistoryRefusal::OPEN_TO_OTHERS;
        terminal.refusedFolder = folder;
        close(fd);
        return -1;
    }
    return fd;
}

// The history file in its folder, never through a link; O_NONBLOCK: a FIFO
// there must not hang the console (it is then no regular file, and left alone).
int openHistoryFile(int flags)
{
    const int fd =
        openat(terminal.historyFolder, "history", flags | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0600);
    struct stat info {};
    if (fd >= 0 && (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode))) {
        close(fd);
        return -1;
    }
    return fd;
}

// The last HISTORY_READ_MAX bytes of the history file, whole lines only.
std::string readHistoryTail(int fd)
{
    struct stat info {};
    char cookie[HISTORY_COOKIE.size()];
    if (fstat(fd, &info) != 0 || pread(fd, cookie, sizeof cookie, 0) != static_cast<ssize_t>(sizeof cookie) ||
        std::string_view(cookie, sizeof cookie) != HISTORY_COOKIE) {
        return {};
    }
    const off_t start = std::max<off_t>(0, info.st_size - HISTORY_READ_MAX);
    std::string text(static_cast<std::size_t>(info.st_size - start), '\0');
    std::size_t got = 0;
    while (got < text.size()) {
        const ssize_t n = pread(fd, text.data() + got, text.size() - got, start + static_cast<off_t>(got));
        if (n <= 0) {
            break;
        }
        got += static_cast<std::size_t>(n);
    }
    text.resize(got);
    // The cookie's line, or the part of a line the start cut.
    const std::size_t first = text.find('\n');
    return first == std::string::npos ? std::string() : text.substr(first + 1);
}

// Loads the history's last lines, leaving out any line longer than a command
// can be: such a line would stay in the file for ever, and many of them would
// cost many times their size in the editor's memory.
void loadHistory()
{
    const int fd = openHistoryFile(O_RDONLY);
    if (fd < 0) {
        return;
    }
    const std::string text = readHistoryTail(fd);
    close(fd);
    std::vector<std::string> lines;
    std::vector<char> decoded;
    for (std::size_t begin = 0, end = 0; begin < text.size(); begin = end + 1) {
        end = std::min(text.find('\n', begin), text.size());
        // strvis writes a character in at most four.
        if (end - begin > 4 * HISTORY_LINE_MAX) {
            continue;
        }
        const std::string encoded = text.substr(begin, end - begin);
        decoded.resize(encoded.size() + 1);
        const int length = strunvis(decoded.data(), encoded.c_str());
        if (length > 0 && static_cast<std::size_t>(length) <= HISTORY_LINE_MAX) {
            lines.emplace_back(decoded.data(), static_cast<std::size_t>(length));
        }
    }
    const std::size_t kept = std::min(lines.size(), static_cast<std::size_t>(HISTORY_LINES));
    for (std::size_t i = lines.size() - kept; i < lines.size(); ++i) {
        history(terminal.history, &terminal.event, H_ENTER, lines[i].c_str());
    }
}

// Writes the whole history over the file, through the folder and never a link.
void saveHistory()
{
    if (terminal.historyFolder < 0) {
        return;
    }
    const int fd = openHistoryFile(O_WRONLY | O_CREAT);
    if (fd < 0) {
        return;
    }
    std::FILE* file = ftruncate(fd, 0) == 0 ? fdopen(fd, "w") : nullptr;
    if (file == nullptr) {
        close(fd);
        return;
    }
    history(terminal.history, &terminal.event, H_SAVE_FP, file);
    std::fclose(file);
}

void setEcho(bool on)
{
    termios settings{};
    if (tcgetattr(STDIN_FILENO, &settings) != 0) {
        return;
    }
    if (on) {
        settings.c_lflag |= ECHO;
    } else {
        settings.c_lflag &= ~static_cast<tcflag_t>(ECHO);
    }
    tcsetattr(STDIN_FILENO, TCSANOW, &settings);
}

} // namespace

void prepareProcess()
{
    // A closed descriptor 0, 1 or 2 would be the next one opened: the port
    // itself, which would then get the console's text as frames.
    for (int fd = 0; fd <= 2; ++fd) {
        if (fcntl(fd, F_GETFD) == -1 && errno == EBADF) {
            const int opened = open("/dev/null", O_RDWR);
            if (opened >= 0 && opened != fd) {
                close(opened); // cannot happen: the lowest free number is fd
            }
        }
    }
    // A closed pipe on standard output, or a board that vanishes while a frame
    // is written, must end a write, not the process.
    std::signal(SIGPIPE, SIG_IGN);
}

void installSignalHandlers()
{
    handle(SIGINT, onInterrupt);
    handle(SIGTERM, onEndingSignal);
    handle(SIGHUP, onEndingSignal);
    handle(SIGQUIT, onEndingSignal);
}

bool takeInterrupt()
{
    const bool was = interrupted != 0;
    interrupted = 0;
    return was;
}

bool interruptEndedInput()
{
    return std::ferror(stdin) != 0 && errno == EINTR && takeInterrupt();
}

bool inputIsTerminal()
{
    return isatty(STDIN_FILENO) != 0;
}

int outputColumns()
{
    winsize size{};
    if (ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) != 0) {
        return -1;
    }
    return size.ws_col;
}

std::string portHelp()
{
    return "COM3 is the device named by YM2608_COM3 (default /dev/ttyS2), COM4 the one named by\n"
           "YM2608_COM4 (default /dev/ttyS3); now: COM3 " +
           portDevicePath("COM3") + ", COM4 " + portDevicePath("COM4") +
           ".\n"
           "The tool keeps the line's speed: set it first, e.g. stty -F /dev/ttyUSB0 115200.\n";
}

bool startLineEditor()
{
    // Only when the stdin stream is descriptor 0 itself (the fuzzers read from memory).
    if (fileno(stdin) != STDIN_FILENO || !inputIsTerminal() ||
        tcgetattr(STDIN_FILENO, &terminal.saved) != 0) {
        return false;
    }
    terminalSaved = 1;
    // The editor's prompt and echo go to the terminal: to standard output
    // when that is the terminal, else to the terminal of standard input, so
    // that output piped elsewhere holds only the tool's own text.
    terminal.editorOutput = stdout;
    if (!isatty(STDOUT_FILENO)) {
        const char* name = ttyname(STDIN_FILENO);
        const int fd = name != nullptr ? open(name, O_WRONLY | O_NOCTTY | O_CLOEXEC) : -1;
        terminal.editorOutput = fd >= 0 ? fdopen(fd, "w") : nullptr;
        if (terminal.editorOutput == nullptr) {
            if (fd >= 0) {
                close(fd);
            }
            return false;
        }
        terminal.ownsEditorOutput = true;
    }
    // File names and lines in the user's character set.
    std::setlocale(LC_CTYPE, "");
    terminal.editor = el_init("ym2608-console", stdin, terminal.editorOutput, stderr);
    terminal.history = history_init();
    int wake[2] = {-1, -1};
    if (terminal.editor == nullptr || terminal.history == nullptr ||
        pipe2(wake, O_CLOEXEC | O_NONBLOCK) != 0) {
        stopLineEditor();
        return false;
    }
    history(terminal.history, &terminal.event, H_SETSIZE, HISTORY_LINES);
    history(terminal.history, &terminal.event, H_SETUNIQUE, 1);
    terminal.historyFolder = openHistoryFolder();
    if (terminal.historyFolder >= 0) {
        loadHistory();
    }
    wakeRead = wake[0];
    wakeWrite = wake[1];
    el_set(terminal.editor, EL_GETCFN, readCharacter);
    el_set(terminal.editor, EL_EDITOR, "emacs");
    el_set(terminal.editor, EL_PROMPT, prompt);
    el_set(terminal.editor, EL_HIST, history, terminal.history);
    // The wide call: the narrow one copies the two strings and never frees them.
    el_wset(terminal.editor, EL_ADDFN, L"ym2608-complete", L"Complete a file name after l or t", complete);
    el_set(terminal.editor, EL_BIND, "^I", "ym2608-complete", nullptr);
    // The user's own bindings from ~/.editrc, as in other libedit programs.
    el_source(terminal.editor, nullptr);
    // Calls under way go on after a stop: a stop is no Ctrl-C.
    handle(SIGTSTP, onStop, SA_RESTART);
    handle(SIGCONT, onContinue, SA_RESTART);
    return true;
}

EditedLine readEditedLine(std::string& line)
{
    // A Ctrl-C during the command before was that command's.
    drainWake();
    takeInterrupt();
    int count = 0;
    errno = 0;
    // The editor prints its prompt first and sets the terminal up for editing
    // only when it reads the first key. A Ctrl-D typed in between would meet
    // the terminal's own line discipline, which takes it as the end of a line
    // and loses it when editing begins: the console would wait on. Setting
    // the terminal up before the prompt is shown closes that gap.
    el_set(terminal.editor, EL_PREP_TERM, 1);
    rememberSettings();
    atPrompt = 1;
    const char* text = el_gets(terminal.editor, &count);
    atPrompt = 0;
    rememberSettings();
    if (text == nullptr) {
        if (count < 0 && (errno == EINTR || interrupted != 0)) {
            // Keys typed but not yet read belong to the dropped line too; the
            // next prompt starts a line of its own on the terminal.
            tcflush(STDIN_FILENO, TCIFLUSH);
            std::fputs("\n", terminal.editorOutput);
            std::fflush(terminal.editorOutput);
            takeInterrupt();
            return EditedLine::INTERRUPTED;
        }
        return EditedLine::END;
    }
    line.assign(text, static_cast<std::size_t>(count));
    if (!line.empty() && line.back() == '\n') {
        line.pop_back();
    }
    if (!line.empty() && line.size() <= HISTORY_LINE_MAX) {
        history(terminal.history, &terminal.event, H_ENTER, line.c_str());
        // Saved at once: a session ended by a signal keeps its lines too.
        saveHistory();
    }
    return EditedLine::LINE;
}

void stopLineEditor()
{
    std::signal(SIGTSTP, SIG_DFL);
    std::signal(SIGCONT, SIG_DFL);
    resumeValid = 0;
    if (terminal.editor != nullptr) {
        el_end(terminal.editor);
    }
    if (terminal.history != nullptr) {
        history_end(terminal.history);
    }
    if (terminal.ownsEditorOutput) {
        std::fclose(terminal.editorOutput);
    }
    if (terminal.historyFolder >= 0) {
        close(terminal.historyFolder);
    }
    terminalSaved = 0;
    if (terminal.editor != nullptr) {
        tcsetattr(STDIN_FILENO, TCSANOW, &terminal.saved);
    }
    if (wakeWrite >= 0) {
        const int write = wakeWrite;
        wakeWrite = -1;
        close(write);
        close(wakeRead);
        wakeRead = -1;
    }
    terminal = Terminal{};
}

HistoryRefusal historyRefusal(std::string& folder)
{
    folder = terminal.refusedFolder;
    return terminal.refusal;
}

void beginCommand()
{
    if (terminal.editor == nullptr) {
        return;
    }
    setEcho(false);
    terminal.echoOff = true;
    rememberSettings();
}

void endCommand()
{
    if (!terminal.echoOff) {
        return;
    }
    tcflush(STDIN_FILENO, TCIFLUSH);
    setEcho(true);
    terminal.echoOff = false;
    rememberSettings();
}
