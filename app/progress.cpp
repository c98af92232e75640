#include "app/progress.h"

#include "app/terminal.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <cstdio>
#include <string_view>

namespace {

/// The columns the line drawn last holds on the terminal; 0 when no line is
/// open there (none drawn yet, or its transfer over).
struct ProgressLine {
    std::size_t shown = 0;
};

ProgressLine progressLine;

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

/// The parts of the line, each in its own place of one buffer:
/// "(  done/ total)", "pct%" and "[oooo......]".
struct LineParts {
    std::array<char, 64> text{};
    std::string_view counts, percent, marks;
};

void buildParts(std::uint32_t done, std::uint32_t total, LineParts& parts)
{
    const std::uint32_t pct = static_cast<std::uint32_t>(std::uint64_t{done} * 100U / total);
    char* out = parts.text.data();
    char* const counts = out;
    *out++ = '(';
    out = appendNumber(out, done, 6, ' ');
    *out++ = '/';
    out = appendNumber(out, total, 6, ' ');
    *out++ = ')';
    parts.counts = {counts, out};
    char* const percent = out;
    out = appendNumber(out, pct, 3, '0');
    *out++ = '%';
    parts.percent = {percent, out};
    char* const marks = out;
    *out++ = '[';
    for (std::uint32_t threshold = 10; threshold <= 100; threshold += 10) {
        *out++ = pct >= threshold ? 'o' : '.';
    }
    *out++ = ']';
    parts.marks = {marks, out};
}

/// "\r" and the parts, blank-separated, into `line`; its length.
std::size_t join(char* line, std::initializer_list<std::string_view> parts)
{
    char* out = line;
    *out++ = '\r';
    for (const std::string_view part : parts) {
        if (out != line + 1) {
            *out++ = ' ';
        }
        out = std::copy(part.begin(), part.end(), out);
    }
    return static_cast<std::size_t>(out - line);
}

/// The longest form of the line that fits in `room` columns (after its "\r"):
/// whole, without the marks, without the counts, the percentage alone, cut.
std::size_t fitLine(char* line, const LineParts& parts, std::size_t room)
{
    std::size_t length = join(line, {parts.counts, parts.percent, parts.marks});
    if (length - 1 > room) {
        length = join(line, {parts.counts, parts.percent});
    }
    if (length - 1 > room) {
        length = join(line, {parts.percent, parts.marks});
    }
    if (length - 1 > room) {
        length = join(line, {parts.percent});
    }
    return std::min(length, room + 1);
}

} // namespace

// The line is drawn after every other frame of a sample load, thousands of
// times per load: it is built by hand and written in one piece, so that
// drawing it costs little next to the frame exchange it reports on.
void printProgress(std::uint32_t done, std::uint32_t total)
{
    const int columns = outputColumns();
    if (total == 0) {
        if (columns >= 0 && progressLine.shown > 0) {
            std::fputs("\n", stdout);
            std::fflush(stdout);
        }
        progressLine.shown = 0;
        return;
    }
    LineParts parts;
    buildParts(done, total, parts);
    std::array<char, 160> line{};
    std::size_t length = 0;
    if (columns < 0) {
        length = join(line.data(), {parts.counts, parts.percent, parts.marks});
    } else {
        // The last column is left alone: a terminal that wraps on reaching
        // it would move each redraw to a line of its own.
        const std::size_t room = columns > 0 ? static_cast<std::size_t>(columns) - 1 : line.size();
        length = fitLine(line.data(), parts, std::min(room, std::size_t{64}));
        const std::size_t text = length - 1;
        if (text < progressLine.shown) {
            std::fill_n(line.data() + length, progressLine.shown - text, ' ');
            length += progressLine.shown - text;
        }
        // The last draw of a whole transfer: its caller ends the line.
        progressLine.shown = done >= total ? 0 : text;
    }
    std::fwrite(line.data(), 1, length, stdout);
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
