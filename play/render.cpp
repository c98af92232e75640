#include "play/render.h"

#include "music/memory_image.h"
#include "music/schedule.h"
#include "play/player.h"
#include "play/report.h"
#include "synth/chip_wav.h"
#include "synth/rhythm.h"

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <system_error>

namespace {

constexpr std::size_t BLOCK_FRAMES = 4096;
constexpr int EXIT_FAILED = 1;
constexpr int EXIT_BAD_INPUT = 2;
constexpr int EXIT_SIGNAL_BASE = 128;

struct Renderer {
    synth::ChipSound& chip;
    RenderSink sink;
    const volatile std::sig_atomic_t* stop;
    std::uint64_t at = 0;
    bool halted = false;
    std::int16_t block[2 * BLOCK_FRAMES] = {};
};

// Renders up to (not including) output sample `target`; false once the sink
// refused or a stop was asked for.
bool renderTo(Renderer& r, std::uint64_t target)
{
    while (!r.halted && r.at < target) {
        const auto count = static_cast<std::size_t>(std::min<std::uint64_t>(BLOCK_FRAMES, target - r.at));
        const std::span<std::int16_t> frames(r.block, 2 * count);
        synth::renderChipSound(r.chip, frames);
        r.at += count;
        r.halted = !r.sink.take(r.sink.context, frames) || (r.stop != nullptr && *r.stop != 0);
    }
    return !r.halted;
}

void applyWrite(synth::ChipSound& chip, std::uint16_t reg, std::uint8_t value)
{
    synth::writeChipSound(chip, reg >= BANK1_BASE ? 1 : 0, static_cast<std::uint8_t>(reg & 0xFF), value);
}

std::int64_t atSpeed(std::int64_t songNs, double speed)
{
    return static_cast<std::int64_t>(static_cast<double>(songNs) / speed);
}

// The output's side of a render: the WAV, and the progress line at a terminal.
struct Output {
    synth::ChipWav wav;
    bool terminal = false;
    std::uint32_t clock = DEFAULT_CLOCK;
    std::uint64_t done = 0;      // output samples written
    std::uint64_t songStart = 0; // where the song under way started
    std::int64_t totalNs = 0;    // its length
    std::int64_t lastPercent = -1; // of the line drawn last
};

std::int64_t samplesToNs(std::uint64_t samples, std::uint32_t clock)
{
    return static_cast<std::int64_t>(static_cast<double>(samples) * 1e9 / outputRate(clock));
}

bool takeFrames(void* context, std::span<const std::int16_t> frames)
{
    auto& out = *static_cast<Output*>(context);
    out.done += frames.size() / 2;
    const std::int64_t doneNs = samplesToNs(out.done - out.songStart, out.clock);
    const std::int64_t percent = out.totalNs > 0 ? doneNs * 100 / out.totalNs : 100;
    if (out.terminal && percent != out.lastPercent) {
        // Drawn when the figure moves: at most a hundred times a song.
        std::fputs(renderProgressLine(doneNs, out.totalNs).c_str(), stdout);
        std::fflush(stdout);
        out.lastPercent = percent;
    }
    return synth::writeChipWav(out.wav, frames);
}

void complain(const std::string& text)
{
    std::fflush(stdout);
    std::fprintf(stderr, "ym2608-play: %s\n", text.c_str());
}

// Refuses an output that cannot be the WAV: a directory, or one of the logs.
bool checkOutput(const std::string& path, std::span<const RenderSong> songs)
{
    std::error_code ec;
    if (std::filesystem::is_directory(path, ec)) {
        complain("--render " + path + ": is a directory");
        return false;
    }
    for (const RenderSong& song : songs) {
        if (std::filesystem::equivalent(path, song.path, ec)) {
            complain("--render " + path + ": is the log " + song.path + ", which it would replace");
            return false;
        }
    }
    return true;
}

} // namespace

std::uint64_t renderSong(synth::ChipSound& chip, const MusicLog& log, const SongTiming& timing, std::uint64_t start,
                         RenderSink sink, const volatile std::sig_atomic_t* stop)
{
    for (const MemoryLoad& load : memoryLoads(log)) {
        synth::writeChipMemory(chip, std::size_t{load.unit} * ADDRESS_UNIT, load.bytes);
    }
    Renderer r{chip, sink, stop, start};
    ScheduleCursor cursor;
    startSchedule(cursor, log, timing.loops, timing.dropping);
    const std::int64_t frame = frameNanoseconds(timing.baud);
    std::int64_t lineFree = 0;
    std::int64_t last = 0;
    ScheduledWrite write;
    while (nextWrite(cursor, write)) {
        if (!write.send) {
            continue;
        }
        std::int64_t at = atSpeed(write.dueNs, timing.speed);
        if (frame != 0) {
            // The frame leaves when due, or behind the ones before it, and
            // acts once its last byte is in.
            at = std::max(at, lineFree) + frame;
            lineFree = at;
        }
        if (!renderTo(r, start + synth::chipSampleAt(at, timing.clock))) {
            return r.at;
        }
        applyWrite(chip, write.reg, write.value);
        last = at;
    }
    const std::int64_t end = std::max(atSpeed(songLength(log, timing.loops), timing.speed), last);
    if (renderTo(r, start + synth::chipSampleAt(end, timing.clock))) {
        for (const auto& [reg, value] : SILENCE_WRITES) {
            applyWrite(chip, reg, value);
        }
    }
    return r.at;
}

std::string renderProgressLine(std::int64_t doneNs, std::int64_t totalNs)
{
    const std::int64_t percent = totalNs > 0 ? std::min<std::int64_t>(doneNs * 100 / totalNs, 100) : 100;
    char line[96];
    std::snprintf(line, sizeof line, "\r  rendering %s / %s %3lld%%", formatClock(doneNs).c_str(),
                  formatClock(totalNs).c_str(), static_cast<long long>(percent));
    return line;
}

int renderSongs(const PlayOptions& options, std::span<const RenderSong> songs,
                const volatile std::sig_atomic_t* stop)
{
    const RenderOptions& render = options.render;
    std::vector<std::uint8_t> rhythm;
    std::string reason;
    if (!render.rhythmRomPath.empty() && !synth::readRhythmMemoryFile(render.rhythmRomPath, rhythm, reason)) {
        complain("--rhythm-rom " + render.rhythmRomPath + ": " + reason);
        return EXIT_BAD_INPUT;
    }
    if (!checkOutput(render.wavPath, songs)) {
        return EXIT_BAD_INPUT;
    }
    const SongTiming timing{options.loops, options.speed, options.dropping, options.baud, render.clock};
    Output out;
    out.terminal = render.terminal;
    out.clock = render.clock;
    if (!synth::openChipWav(out.wav, render.wavPath, synth::WavKind::WHOLE, render.clock, render.wavRate, reason)) {
        complain(reason);
        return EXIT_FAILED;
    }
    synth::ChipSound chip;
    synth::resetChipSound(chip, rhythm);
    synth::setSsgLevel(chip, render.ssgLevelDb);
    std::uint64_t at = 0;
    for (const RenderSong& song : songs) {
        std::printf("%s\n", song.path.c_str());
        std::fputs(tagLines(song.log->tags).c_str(), stdout);
        std::fflush(stdout);
        out.songStart = at;
        out.totalNs = atSpeed(songLength(*song.log, options.loops), options.speed);
        out.lastPercent = -1;
        at = renderSong(chip, *song.log, timing, at, RenderSink{takeFrames, &out}, stop);
        if (render.terminal) {
            std::printf("\n");
        }
        if (out.wav.failed || (stop != nullptr && *stop != 0)) {
            break;
        }
    }
    if (stop != nullptr && *stop != 0) {
        synth::discardChipWav(out.wav);
        return EXIT_SIGNAL_BASE + *stop;
    }
    if (!synth::closeChipWav(out.wav)) {
        complain(out.wav.error);
        return EXIT_FAILED;
    }
    std::printf("%s: %s at %d Hz\n", render.wavPath.c_str(), formatClock(samplesToNs(at, render.clock)).c_str(),
                render.wavRate != 0 ? static_cast<int>(render.wavRate) : wavRate(render.clock));
    return 0;
}
