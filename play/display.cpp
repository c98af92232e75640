#include "play/display.h"

#include "play/report.h"
#include "play/terminal.h"

#include <cstdio>

namespace {

struct Display {
    bool terminal = false;
    bool open = false;      // a line is drawn and not yet ended
    std::size_t length = 0; // its columns
};

Display display;

} // namespace

void startDisplay(bool terminal)
{
    display = Display{};
    display.terminal = terminal;
}

void drawLine(const std::string& text)
{
    if (!display.terminal) {
        return;
    }
    const int width = terminalWidth();
    const std::string bytes = redrawLine(text, width, display.open ? display.length : 0);
    std::fwrite(bytes.data(), 1, bytes.size(), stdout);
    std::fflush(stdout);
    display.open = true;
    // What shows of the text; the blanks after it need no covering.
    display.length = shownColumns(text, width);
}

void endLine()
{
    if (!display.open) {
        return;
    }
    std::fputs("\n", stdout);
    std::fflush(stdout);
    display.open = false;
    display.length = 0;
}

void finishLine(const std::string& text)
{
    if (!display.terminal) {
        std::printf("%s\n", text.c_str());
        std::fflush(stdout);
        return;
    }
    drawLine(text);
    endLine();
}
