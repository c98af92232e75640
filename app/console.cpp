// The console loop: prompt, read a line, cut it, dispatch on its first letter.
#include "app/console.h"

#include "app/commands.h"
#include "app/operands.h"
#include "link/device_link.h"
#include "samples/samples.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>

namespace {

/// The line buffer holds a line's characters and its terminating NUL.
constexpr std::size_t LINE_BUFFER_SIZE = 32768;

struct Console {
    char line[LINE_BUFFER_SIZE];
};

Console console;

enum class LineRead {
    LINE,     // a whole line, its newline dropped
    LAST,     // the input ended after this line (possibly empty)
    OVERLONG, // longer than the buffer: the rest was read and dropped
};

LineRead readLine()
{
    std::size_t length = 0;
    bool overlong = false;
    for (;;) {
        const int c = std::getchar();
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
    char letter;
    bool needsConnection;
    void (*run)(const char* line);
};

// `n` goes out even when not connected; `q` is the loop's own.
constexpr Command COMMANDS[] = {
    {'b', true, backlightCommand},     {'c', false, connectCommand}, {'l', true, loadCommand},
    {'n', false, opNCommand},          {'o', true, registerCommand}, {'p', true, playCommand},
    {'r', true, resetOrRhythmCommand}, {'t', true, transferCommand},
};

/// Runs one line; false when it was `q`.
bool runLine(char* line)
{
    if (line[0] == '\0' || line[0] == '\n' || line[0] == '\r') {
        std::printf("\n");
        return true;
    }
    cutCarriageReturn(line);
    if (line[0] == 'q') {
        return false;
    }
    for (const Command& command : COMMANDS) {
        if (command.letter != line[0]) {
            continue;
        }
        if (command.needsConnection && !isConnected()) {
            std::printf("no connect.\n");
            return true;
        }
        command.run(line);
        return true;
    }
    std::printf("invalid command [%c]\n", line[0]);
    return true;
}

} // namespace

void runConsole()
{
    resetSampleMemory();
    resetCommands();
    for (;;) {
        std::printf(">");
        std::fflush(stdout);
        const LineRead read = readLine();
        if (read == LineRead::OVERLONG) {
            // Not run: nothing is sent and the slot counter stays.
            std::printf("??\n");
            continue;
        }
        if (read == LineRead::LAST && console.line[0] == '\0') {
            break;
        }
        // Input that ends runs its unterminated last line, then quits as `q` does.
        if (!runLine(console.line) || read == LineRead::LAST) {
            break;
        }
    }
    std::printf("exit!\n");
    std::fflush(stdout);
    closeLink();
}
