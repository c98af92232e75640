#include "app/progress.h"

#include <array>
#include <charconv>
#include <cstdio>

namespace {

// Appends `value` right-aligned in at least `width` columns, padded with `pad`.
char* appendNumber(char* out, std::uint32_t value, int width, char pad)
{
    std::array<char, 10> digits{};
    const auto [end, error] = std::to_chars(digits.begin(), digits.end(), value);
    (void)error; // ten digits hold every 32-bit value
    for (auto n = static_cast<int>(end - digits.begin()); n < width; ++n) {
        *out++ = pad;
    }
    for (const char* d = digits.begin(); d != end; ++d) {
        *out++ = *d;
    }
    return out;
}

} // namespace

// The line is drawn after every other frame of a sample load, thousands of
// times per load: it is built by hand and written in one piece, so that
// drawing it costs little next to the frame exchange it reports on.
void printProgress(std::uint32_t done, std::uint32_t total)
{
    const std::uint32_t percent = done * 100U / total;
    std::array<char, 64> line{};
    char* out = line.data();
    *out++ = '\r';
    *out++ = '(';
    out = appendNumber(out, done, 6, ' ');
    *out++ = '/';
    out = appendNumber(out, total, 6, ' ');
    *out++ = ')';
    *out++ = ' ';
    out = appendNumber(out, percent, 3, '0');
    *out++ = '%';
    *out++ = ' ';
    *out++ = '[';
    for (std::uint32_t threshold = 10; threshold <= 100; threshold += 10) {
        *out++ = percent >= threshold ? 'o' : '.';
    }
    *out++ = ']';
    std::fwrite(line.data(), 1, static_cast<std::size_t>(out - line.data()), stdout);
    std::fflush(stdout);
}

void drawPacedProgress(void* context, std::size_t done, std::size_t total)
{
    auto& pace = *static_cast<ProgressPace*>(context);
    ++pace.steps;
    const bool due = pace.steps >= pace.first && (pace.steps - pace.first) % pace.every == 0;
    if (due || done == total) {
        printProgress(static_cast<std::uint32_t>(done), static_cast<std::uint32_t>(total));
    }
}
