#include "app/progress.h"

#include <cstdio>

void printProgress(std::uint32_t done, std::uint32_t total)
{
    const std::uint32_t percent = done * 100U / total;
    char marks[11];
    for (std::uint32_t i = 0; i < 10; ++i) {
        marks[i] = percent >= (i + 1) * 10 ? 'o' : '.';
    }
    marks[10] = '\0';
    std::printf("\r(%6u/%6u) %03u%% [%s]", done, total, percent, marks);
    std::fflush(stdout);
}
