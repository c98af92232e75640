#include "play/report.h"

#include "music/memory_image.h"
#include "music/tag_text.h"
#include "music/write_transform.h"

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

namespace {

// What the status line says of the play's state: paused, the speed, the muted units.
std::string stateField(const StatusFigures& f)
{
    std::string out;
    if (f.paused) {
        out += "  paused";
    }
    if (f.speed != 1.0) {
        out += format("  x%g", f.speed);
    }
    if (f.muted != 0) {
        out += "  muted ";
        for (int unit = 0; unit < SOUND_UNIT_COUNT; ++unit) {
            if ((f.muted & (1U << unit)) != 0) {
                out += std::string(out.back() == ' ' ? "" : ",") +
                       std::string(unitName(static_cast<SoundUnit>(unit)));
            }
        }
    }
    return out;
}

// The first bytes of `text` that fill at most `columns` columns, cut at a
// character's boundary.
std::string cutToColumns(const std::string& text, std::size_t columns)
{
    std::size_t used = 0;
    std::size_t end = 0;
    while (end < text.size()) {
        std::size_t next = end + 1;
        while (next < text.size() && (static_cast<unsigned char>(text[next]) & 0xC0) == 0x80) {
            ++next;
        }
        const std::size_t width = textWidth(std::string_view(text).substr(end, next - end));
        if (used + width > columns) {
            break;
        }
        used += width;
        end = next;
    }
    return text.substr(0, end);
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
    if (in.fading) {
        out += format("  fade-out      from %s to %s, where the play ends\n", formatClock(in.fadeStartNs).c_str(),
                      formatClock(in.fadeEndNs).c_str());
    }
    if (in.muted != 0) {
        StatusFigures muted;
        muted.muted = in.muted;
        out += "  muted        " + stateField(muted).substr(std::string_view("  muted").size()) + "\n";
    }
    if (in.speed != 1.0) {
        const std::int64_t played = in.fading ? in.fadeEndNs : length;
        out += format("  speed         %g times: %s of play\n", in.speed,
                      formatClock(static_cast<std::int64_t>(static_cast<double>(played) / in.speed)).c_str());
    }
    if (in.fading || in.muted != 0) {
        out += format("  writes        %zu, %zu of them not sent (changing nothing, or muted), %zu added by the "
                      "mute and the fade: %zu sent\n",
                      in.allWrites, in.unsent, in.transformWrites, in.figures.writes);
    } else if (in.dropping) {
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
    if (in.midSongBlocks == 0) {
        out += format("  ADPCM memory  %zu bytes in %zu block%s, before the music\n", in.adpcmBytes,
                      log.blocks.size(), log.blocks.size() == 1 ? "" : "s");
    } else {
        const std::size_t first = log.blocks.size() - in.midSongBlocks;
        out +=
            format("  ADPCM memory  %zu bytes in %zu block%s before the music, %zu bytes in %zu block%s in "
                   "mid-song\n",
                   in.adpcmBytes, first, first == 1 ? "" : "s", in.midSongBytes, in.midSongBlocks,
                   in.midSongBlocks == 1 ? "" : "s");
    }
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
    const std::string head[] = {
        format(" %s / %s", formatClock(f.elapsedNs).c_str(), formatClock(f.totalNs).c_str()),
        format("  loop %d/%d", std::min(f.pass + 1, std::max(f.passes, 1)), f.passes),
        f.track > 0 ? format("  %d/%d", f.track, f.tracks) : std::string(),
        stateField(f),
    };
    const std::string figures[] = {
        format("  %5u writes/s", f.writesPerSecond),
        format("  line %3u%%", f.linePercent),
        format("  late %6.1f ms ", ms(f.latenessNs)),
    };
    const std::size_t room = width > 0 ? static_cast<std::size_t>(width - 1) : std::string::npos;
    std::string line;
    const auto add = [&](const std::string& field) {
        if (textWidth(line) + textWidth(field) > room) {
            return false;
        }
        line += field;
        return true;
    };
    for (const std::string& field : head) {
        if (!add(field)) {
            // Not even the time fits: as much of it as does (redrawLine cuts it).
            return line.empty() ? head[0] : line;
        }
    }
    if (!f.title.empty()) {
        const std::size_t used = textWidth(line) + 2;
        constexpr std::size_t TITLE_MIN_COLUMNS = 4;
        if (room != std::string::npos && used + textWidth(f.title) > room) {
            return used + TITLE_MIN_COLUMNS <= room ? line + "  " + fitToWidth(f.title, room - used) : line;
        }
        line += "  " + f.title;
    }
    for (const std::string& field : figures) {
        if (!add(field)) {
            break;
        }
    }
    return line;
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
    std::string shown = cutToColumns(text, room);
    const std::size_t columns = textWidth(shown);
    const std::size_t cover = std::min(previousLength, room);
    if (cover > columns) {
        shown.append(cover - columns, ' ');
    }
    return "\r" + shown;
}

std::size_t shownColumns(const std::string& text, int width)
{
    return textWidth(cutToColumns(text, width > 0 ? static_cast<std::size_t>(width - 1) : std::string::npos));
}

std::string logHeadline(const std::string& path, const MusicLog& log)
{
    return format("%s: %s, YM2608 at %u Hz\n", path.c_str(), log.format == LogFormat::VGM ? "VGM" : "S98",
                  log.clockHz);
}

namespace {

constexpr std::int64_t NS_PER_SECOND = 1'000'000'000;

std::string chipList(const std::vector<LogChip>& chips)
{
    std::string out;
    for (const LogChip& chip : chips) {
        out += out.empty() ? "" : ", ";
        out += chip.count > 1 ? std::to_string(chip.count) + " x " : "";
        out += chip.clockHz != 0 ? format("%s at %u Hz", chip.name.c_str(), chip.clockHz)
                                 : chip.name + " (no clock given)";
    }
    return out.empty() ? "YM2608" : out;
}

// The most writes due within one second of the pass, and when that second starts.
std::pair<std::size_t, std::int64_t> busiestSecond(const std::vector<LogWrite>& writes)
{
    std::pair<std::size_t, std::int64_t> best{0, 0};
    std::size_t first = 0;
    for (std::size_t last = 0; last < writes.size(); ++last) {
        while (writes[last].dueNs - writes[first].dueNs >= NS_PER_SECOND) {
            ++first;
        }
        if (last - first + 1 > best.first) {
            best = {last - first + 1, writes[first].dueNs};
        }
    }
    return best;
}

} // namespace

std::string infoReport(const std::string& path, const MusicLog& log)
{
    std::string out = logHeadline(path, log) + tagLines(log.tags);
    out += format("  length        %s a pass\n", formatClock(log.endNs).c_str());
    if (log.looped && log.endNs > log.loopNs) {
        out += format("  loop          from %s, %s long\n", formatClock(log.loopNs).c_str(),
                      formatClock(log.endNs - log.loopNs).c_str());
    } else {
        out += "  loop          none\n";
    }
    out += "  chips         " + chipList(log.chips) + "\n";
    std::size_t bytes = 0;
    for (const MemoryBlock& block : log.blocks) {
        bytes += block.bytes.size();
    }
    const std::size_t runs = memoryLoads(log).size();
    if (log.blocks.empty()) {
        out += "  ADPCM memory  none\n";
    } else {
        out +=
            format("  ADPCM memory  %zu bytes in %zu block%s, loaded in %zu run%s before the music\n", bytes,
                   log.blocks.size(), log.blocks.size() == 1 ? "" : "s", runs, runs == 1 ? "" : "s");
    }
    const double seconds = static_cast<double>(log.endNs) / NS_PER_SECOND;
    const auto [peak, peakAt] = busiestSecond(log.writes);
    out +=
        format("  writes        %zu a pass, %.1f a second on average, %zu in the busiest second (from %s)\n",
               log.writes.size(), seconds > 0 ? static_cast<double>(log.writes.size()) / seconds : 0.0, peak,
               formatClock(peakAt).c_str());
    return out;
}
