// The console loop: prompt, read a line, cut it, dispatch on its command,
// and after each command say why the link closed itself, if it did.
#include "app/console.h"

#include "app/commands.h"
#include "app/operands.h"
#include "app/terminal.h"
#include "link/device_link.h"
#include "samples/samples.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

namespace {

/// The line buffer holds a line's characters and its terminating NUL.
constexpr std::size_t LINE_BUFFER_SIZE = 32768;

struct Console {
    char line[LINE_BUFFER_SIZE];
};

Console console;

enum class LineRead {
    LINE,        // a whole line, its newline dropped
    LAST,        // the input ended after this line (possibly empty)
    OVERLONG,    // longer than the buffer: the rest was read and dropped
    INTERRUPTED, // Ctrl-C while the line was read: what came of it is dropped
};

// Reads a line from standard input byte for byte, as typed or piped.
LineRead readLine()
{
    std::size_t length = 0;
    bool overlong = false;
    for (;;) {
        const int c = std::getchar();
        if (c == EOF && interruptEndedInput()) {
            std::clearerr(stdin);
            return LineRead::INTERRUPTED;
        }
        if (c == EOF) {
            console.line[overlong ? 0 : length] = '\0';
            return overlong ? LineRead::OVERLONG : LineRead::LAST;
        }
        if (c == '\n') {
            break;
        }
        if (length + 1 < LINE_BUFFER_SIZE) {
            console.line[length++] = static_cast<char>(c);
        } else {
            overlong = true;
        }
    }
    console.line[length] = '\0';
    return overlong ? LineRead::OVERLONG : LineRead::LINE;
}

// Reads a line through the line editor at a terminal.
LineRead readEditorLine()
{
    std::string line;
    switch (readEditedLine(line)) {
    case EditedLine::INTERRUPTED:
        return LineRead::INTERRUPTED;
    case EditedLine::END:
        console.line[0] = '\0';
        return LineRead::LAST;
    case EditedLine::LINE:
        break;
    }
    if (line.size() >= LINE_BUFFER_SIZE) {
        return LineRead::OVERLONG;
    }
    // A NUL typed into the line ends it, as from any other input.
    line.copy(console.line, line.size());
    console.line[line.size()] = '\0';
    return LineRead::LINE;
}

// A line typed on a terminal that sends CR LF keeps its CR. After the first
// blank past the command letter, the line ends at the first CR or LF, so that
// "t file.bin\r" names "file.bin". A line without such a blank is left as it is.
void cutCarriageReturn(char* line)
{
    char* p = line + 1;
    while (*p != '\0' && !isBlank(*p)) {
        ++p;
    }
    if (*p == '\0') {
        return;
    }
    for (++p; *p != '\0'; ++p) {
        if (*p == '\r' || *p == '\n') {
            *p = '\0';
            return;
        }
    }
}

struct Command {
    const char* name; // the line's first letters that choose it
    const char* usage;
    const char* description;
    bool needsConnection;
    void (*run)(const char* line); // nullptr: `q`, the loop's own
};

void listCommands(const char*);

// The dispatcher's table, and the list `?` and --help print. A line runs the
// first command whose name it begins with: `ry` before `r`. `n` goes out even
// when not connected.
constexpr Command COMMANDS[] = {
    {"b", "b", "ask for the backlight state", true, backlightCommand},
    {"c", "c", "connect: open COM3 (else COM4) and identify the board", false, connectCommand},
    {"l", "l FILE", "load a sample file into chip memory under the next slot", true, loadCommand},
    {"n", "n", "send the bare OP_N frame", false, opNCommand},
    {"o", "o REG VAL", "write a chip register, both hexadecimal (REG 100-1FF: second bank)", true,
     registerCommand},
    {"p", "p N", "play slot N", true, playCommand},
    {"ry", "ry N", "sound the rhythm section, N (decimal) the key-on bits", true, rhythmCommand},
    {"r", "r", "reset the board", true, resetCommand},
    {"t", "t FILE", "send a data file and start the board on it", true, transferCommand},
    {"q", "q", "quit (end of input quits too)", false, nullptr},
    {"?", "?", "list the commands", false, listCommands},
};

void listCommands(const char*)
{
    printCommandList(stdout);
}

bool startsWith(const char* line, const char* name)
{
    for (; *name != '\0'; ++name, ++line) {
        if (*line != *name) {
            return false;
        }
    }
    return true;
}

// "invalid command [x]" with x as typed when it is printable ASCII, else as
// \xNN: a raw ESC would start a terminal control sequence.
void invalidCommand(char letter)
{
    const auto byte = static_cast<unsigned char>(letter);
    if (byte >= 0x20 && byte < 0x7F) {
        std::printf("invalid command [%c]\n", letter);
    } else {
        std::printf("invalid command [\\x%02x]\n", byte);
    }
}

/// Runs one line; false when it was `q`.
bool runLine(char* line)
{
    if (line[0] == '\0' || line[0] == '\n' || line[0] == '\r') {
        std::printf("\n");
        return true;
    }
    cutCarriageReturn(line);
    for (const Command& command : COMMANDS) {
        if (!startsWith(line, command.name)) {
            continue;
        }
        if (command.run == nullptr) {
            return false;
        }
        if (command.needsConnection && !isConnected()) {
            std::printf("no connect.\n");
            return true;
        }
        command.run(line);
        return true;
    }
    invalidCommand(line[0]);
    return true;
}

// Says why the link closed itself during the command, once, after its output.
void reportLinkFault()
{
    switch (takeLinkFault()) {
    case LinkFault::NONE:
        break;
    case LinkFault::LOST:
        std::printf("connection lost.\n");
        break;
    case LinkFault::NO_REPLY:
        std::printf("no reply.\n");
        break;
    case LinkFault::INTERRUPTED:
        std::printf("interrupted.\n");
        break;
    }
}

// Says once, at the start, why the history of typed lines is not kept.
void reportHistoryRefusal()
{
    std::string folder;
    switch (historyRefusal(folder)) {
    case HistoryRefusal::NONE:
        break;
    case HistoryRefusal::NOT_OWNED:
        std::fprintf(stderr, "ym2608-console: history not kept: %s belongs to another user\n",
                     folder.c_str());
        break;
    case HistoryRefusal::OPEN_TO_OTHERS:
        std::fprintf(stderr, "ym2608-console: history not kept: others can write in %s\n", folder.c_str());
        break;
    }
}

// False once standard output has failed: a full disk, a closed pipe.
bool outputHolds()
{
    return std::fflush(stdout) == 0 && std::ferror(stdout) == 0;
}

} // namespace

void printCommandList(std::FILE* out)
{
    for (const Command& command : COMMANDS) {
        std::fprintf(out, "%-10s %s\n", command.usage, command.description);
    }
}

int runConsole()
{
    resetSampleMemory();
    resetCommands();
    const bool edited = startLineEditor();
    reportHistoryRefusal();
    int status = 0;
    for (;;) {
        if (!edited) {
            std::printf(">");
        }
        if (!outputHolds()) {
            status = 1;
            break;
        }
        const LineRead read = edited ? readEditorLine() : readLine();
        if (read == LineRead::INTERRUPTED) {
            // Ctrl-C at the prompt drops the line; it never quits. (The line
            // editor ends the dropped line on the terminal itself.)
            if (!edited) {
                std::printf("\n");
            }
            continue;
        }
        if (read == LineRead::OVERLONG) {
            // Not run: nothing is sent and the slot counter stays.
            std::printf("??\n");
            continue;
        }
        if (read == LineRead::LAST && console.line[0] == '\0') {
            break;
        }
        // A Ctrl-C from before the command does not end its waits.
        takeInterrupt();
        allowLinkWaits();
        beginCommand();
        const bool more = runLine(console.line);
        reportLinkFault();
        endCommand();
        if (!outputHolds()) {
            status = 1;
            break;
        }
        // Input that ends runs its unterminated last line, then quits as `q` does.
        if (!more || read == LineRead::LAST) {
            break;
        }
    }
    if (status == 0) {
        std::printf("exit!\n");
        status = outputHolds() ? 0 : 1;
    }
    closeLink();
    stopLineEditor();
    return status;
}
