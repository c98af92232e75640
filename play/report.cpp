#include "play/report.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace {

constexpr std::int64_t NS_PER_TENTH = 100'000'000;
constexpr double NS_PER_MS = 1e6;

std::string format(const char* pattern, auto... values)
{
    char line[256];
    std::snprintf(line, sizeof line, pattern, values...);
    return line;
}

double ms(std::int64_t ns)
{
    return static_cast<double>(ns) / NS_PER_MS;
}

} // namespace

std::string formatClock(std::int64_t ns)
{
    const std::int64_t tenths = std::max<std::int64_t>(ns, 0) / NS_PER_TENTH;
    return format("%lld:%02lld.%lld", static_cast<long long>(tenths / 600), static_cast<long long>(tenths / 10 % 60),
                  static_cast<long long>(tenths % 10));
}

std::string tagLines(const MusicTags& tags)
{
    std::string out;
    const std::pair<const char*, const std::string*> fields[] = {
        {"title", &tags.title}, {"game", &tags.game}, {"system", &tags.system}, {"author", &tags.author}};
    for (const auto& [name, value] : fields) {
        if (!value->empty()) {
            out += "  " + std::string(name) + ": " + *value + "\n";
        }
    }
    return out;
}

std::string clockWarning(std::uint32_t logClock, std::uint32_t boardClock)
{
    if (logClock == boardClock || logClock == 0) {
        return {};
    }
    // Every tone the chip makes scales with its clock.
    const double cents = 1200.0 * std::log2(static_cast<double>(boardClock) / logClock);
    return format("the log's YM2608 runs at %u Hz, the board's at %u Hz: the music plays %.1f cents %s", logClock,
                  boardClock, std::fabs(cents), cents < 0 ? "flat" : "sharp");
}

std::string statsReport(const StatsInput& in)
{
    const MusicLog& log = *in.log;
    std::string out;
    const std::int64_t length = songLength(log, in.loops);
    if (log.looped) {
        out += format("  length        %s, the looped part (from %s) played %d time%s in all\n",
                      formatClock(length).c_str(), formatClock(log.loopNs).c_str(), in.loops,
                      in.loops == 1 ? "" : "s");
    } else {
        out += format("  length        %s, no loop\n", formatClock(length).c_str());
    }
    if (in.speed != 1.0) {
        out += format("  speed         %g times: %s of play\n", in.speed,
                      formatClock(static_cast<std::int64_t>(static_cast<double>(length) / in.speed)).c_str());
    }
    if (in.dropping) {
        const double dropped = in.allWrites == 0 ? 0.0
                                                 : 100.0 * static_cast<double>(in.allWrites - in.figures.writes) /
                                                       static_cast<double>(in.allWrites);
        out += format("  writes        %zu, %zu after dropping those that change nothing (%.1f%% dropped)\n",
                      in.allWrites, in.figures.writes, dropped);
    } else {
        out += format("  writes        %zu, all sent (--no-drop)\n", in.allWrites);
    }
    if (log.memoryWritesFolded != 0) {
        out += format("  memory writes %zu writes to 0x108 sent as memory blocks instead\n", log.memoryWritesFolded);
    }
    out += format("  ADPCM memory  %zu bytes in %zu block%s, before the music\n", in.adpcmBytes, log.blocks.size(),
                  log.blocks.size() == 1 ? "" : "s");
    out += format("  peak burst    %zu writes due at %s\n", in.figures.peakBurst,
                  formatClock(in.figures.peakBurstNs).c_str());
    out += format("  line          %u baud: %.1f%% busy on average, %.1f%% in the busiest second\n", in.baud,
                  100.0 * in.figures.load, 100.0 * in.figures.peakLoad);
    out += format("  lateness      median %.2f ms, 99%% within %.2f ms, at most %.2f ms (at %s)\n",
                  ms(in.figures.medianLateNs), ms(in.figures.p99LateNs), ms(in.figures.maxLateNs),
                  formatClock(in.figures.maxLateAtNs).c_str());
    if (in.dropping) {
        out += format("                without dropping: median %.2f ms, 99%% within %.2f ms, at most %.2f ms\n",
                      ms(in.undropped.medianLateNs), ms(in.undropped.p99LateNs), ms(in.undropped.maxLateNs));
    }
    return out;
}

std::string listLine(const ScheduledWrite& write)
{
    return format("%lld %03x %02x %s\n", static_cast<long long>(write.dueNs / 1000), unsigned{write.reg},
                  unsigned{write.value}, write.send ? "send" : "drop");
}

std::string listEndLine(std::int64_t lengthNs)
{
    return format("%lld end\n", static_cast<long long>(lengthNs / 1000));
}

std::string statusLine(const StatusFigures& f, int width)
{
    const std::string fields[] = {
        format(" %s / %s", formatClock(f.elapsedNs).c_str(), formatClock(f.totalNs).c_str()),
        format("  loop %d/%d", f.pass + 1, f.passes),
        format("  %5u writes/s", f.writesPerSecond),
        format("  line %3u%%", f.linePercent),
        format("  late %6.1f ms ", ms(f.latenessNs)),
    };
    std::string line;
    for (const std::string& field : fields) {
        if (width > 0 && line.size() + field.size() > static_cast<std::size_t>(width - 1)) {
            break;
        }
        line += field;
    }
    // Not even the time fits: as much of it as does (redrawLine cuts it).
    return line.empty() ? fields[0] : line;
}

std::string loadProgressLine(std::size_t sent, std::size_t total)
{
    return format("  ADPCM memory (%6zu/%6zu) %3zu%%", sent, total, total == 0 ? 100 : sent * 100 / total);
}

std::string loadedLine(std::size_t total)
{
    return format("  ADPCM memory: %zu bytes loaded", total);
}

std::string redrawLine(const std::string& text, int width, std::size_t previousLength)
{
    // A terminal narrowed since the last line: blanks past its width would wrap.
    const std::size_t room = width > 0 ? static_cast<std::size_t>(width - 1) : std::string::npos;
    std::string shown = text.substr(0, room);
    const std::size_t cover = std::min(previousLength, room);
    if (cover > shown.size()) {
        shown.append(cover - shown.size(), ' ');
    }
    return "\r" + shown;
}
