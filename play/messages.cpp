#include "play/messages.h"

#include "play/report.h"

#include <cstdio>

void complain(const std::string& text)
{
    std::fflush(stdout);
    std::fprintf(stderr, "ym2608-play: %s\n", text.c_str());
}

void printNotes(const Song& song, std::uint32_t boardClock)
{
    for (const std::string& note : song.log.notes) {
        complain(song.path + ": note: " + note);
    }
    if (const std::string warning = clockWarning(song.log.clockHz, boardClock); !warning.empty()) {
        complain(song.path + ": warning: " + warning);
    }
}
