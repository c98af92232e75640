// ym2608-play: plays YM2608 music logs (VGM, VGZ, S98) on the board. Every
// file is read and checked before the port is opened, so a bad file sends
// nothing. Exit status: 0 when every song played to its end, 1 when the
// board could not be reached or the line failed, 2 for bad options or a bad
// file, 130 after Ctrl-C and 143 after SIGTERM (the chip silenced first).
// With --render the logs go through the chip's sound into a WAV instead.
#include "link/device_link.h"
#include "music/memory_image.h"
#include "music/music_log.h"
#include "music/schedule.h"
#include "play/options.h"
#include "play/player.h"
#include "play/render.h"
#include "play/report.h"

#include "version.h"

#include <csignal>
#include <cstdio>
#include <string>
#include <vector>

#include <unistd.h>

namespace {

constexpr int EXIT_FAILED = 1;
constexpr int EXIT_BAD_INPUT = 2;
constexpr int EXIT_SIGNAL_BASE = 128;
constexpr std::uint32_t STATS_DEFAULT_BAUD = 115200;

// The first SIGINT or SIGTERM asks the play to stop and silence the chip;
// a second one, for a line that no longer drains, ends the process at once
// with the port restored.
volatile std::sig_atomic_t stopSignal = 0;

void onStopSignal(int signal)
{
    if (stopSignal != 0) {
        restorePortFromSignal();
        _exit(EXIT_SIGNAL_BASE + signal);
    }
    stopSignal = signal;
}

void installSignals()
{
    struct sigaction action {};
    action.sa_handler = onStopSignal;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
}

void complain(const std::string& text)
{
    std::fflush(stdout);
    std::fprintf(stderr, "ym2608-play: %s\n", text.c_str());
}

struct Song {
    std::string path;
    MusicLog log;
};

bool readSongs(const PlayOptions& options, std::vector<Song>& songs)
{
    for (const std::string& path : options.files) {
        Song song;
        song.path = path;
        std::vector<std::uint8_t> bytes;
        std::string error;
        if (!readMusicFile(path.c_str(), bytes, error) || !parseMusicLog(bytes, song.log, error)) {
            complain(path + ": " + error);
            return false;
        }
        songs.push_back(std::move(song));
    }
    return true;
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

std::string connectFailure(const ConnectOutcome& outcome)
{
    std::string text = "cannot open the board:";
    for (std::size_t i = 0; i < outcome.attempts.size(); ++i) {
        const PortAttempt& attempt = outcome.attempts[i];
        text += (i == 0 ? " " : "; ") + attempt.name + (attempt.name == attempt.device ? "" : " (" + attempt.device + ")") +
                ": " + portFailureText(attempt.failure);
    }
    return text;
}

// How to lower the latency timer of the adapter that opened, which holds
// each reply of the memory load.
std::string latencyNote(const ConnectOutcome& outcome)
{
    const AdapterLatency& latency = outcome.latency;
    const std::string text = "note: the adapter on " + outcome.attempts.back().device +
                             " holds each reply up to " + std::to_string(latency.timerMs) +
                             " ms (its latency timer), which slows the ADPCM memory load; lower it to 1 ms ";
    if (latency.found == AdapterTimer::REGISTRY) {
        return text + "in " + FTDI_LATENCY_SETTING;
    }
    return text + "with: echo 1 > " + latency.where +
           " (as root, until it is unplugged), or for good with a udev rule in /etc/udev/rules.d: " +
           FTDI_LATENCY_UDEV_RULE;
}

// The line's speed the figures use: --baud, else the port's own setting.
std::uint32_t statsBaud(const PlayOptions& options, bool& fromDefault)
{
    fromDefault = false;
    if (options.baud != 0) {
        return options.baud;
    }
    // Opening a port sends nothing; it only reads the speed the line is set to.
    const ConnectOutcome outcome = options.port.empty() ? openLink() : openLinkAt(options.port.c_str());
    std::uint32_t baud = outcome.opened ? portSpeed(linkPort()) : 0;
    closeLink();
    if (baud == 0) {
        fromDefault = true;
        baud = STATS_DEFAULT_BAUD;
    }
    return baud;
}

int printStats(const PlayOptions& options, const std::vector<Song>& songs)
{
    bool fromDefault = false;
    const std::uint32_t baud = statsBaud(options, fromDefault);
    if (fromDefault) {
        complain("note: no port's speed to read; the line figures are for 115200 baud (--baud N for another)");
    }
    for (const Song& song : songs) {
        printNotes(song, options.boardClock);
        std::printf("%s: %s, YM2608 at %u Hz\n", song.path.c_str(), song.log.format == LogFormat::VGM ? "VGM" : "S98",
                    song.log.clockHz);
        std::fputs(tagLines(song.log.tags).c_str(), stdout);
        const auto all = buildSchedule(song.log, options.loops, false);
        const auto sent = options.dropping ? buildSchedule(song.log, options.loops, true) : all;
        const std::int64_t length = songLength(song.log, options.loops);
        StatsInput input;
        input.log = &song.log;
        input.loops = options.loops;
        input.speed = options.speed;
        input.baud = baud;
        input.dropping = options.dropping;
        input.allWrites = all.size();
        for (const MemoryLoad& load : memoryLoads(song.log)) {
            input.adpcmBytes += load.bytes.size();
        }
        input.undropped = lineFigures(all, baud, options.speed, length);
        input.figures = lineFigures(sent, baud, options.speed, length);
        std::fputs(statsReport(input).c_str(), stdout);
        if (options.list) {
            for (const ScheduledWrite& w : sent) {
                std::fputs(listLine(w).c_str(), stdout);
            }
            std::fputs(listEndLine(length).c_str(), stdout);
        }
    }
    return 0;
}

int playSongs(const PlayOptions& options, const std::vector<Song>& songs)
{
    installSignals();
    ConnectOutcome outcome = options.port.empty() ? openLink() : openLinkAt(options.port.c_str());
    if (!outcome.opened) {
        complain(connectFailure(outcome));
        return EXIT_FAILED;
    }
    if (latencyWorthLowering(outcome.latency)) {
        complain(latencyNote(outcome));
    }
    identifyLink(outcome);
    if (!outcome.identified) {
        closeLink();
        complain("the board on " + outcome.attempts.back().device + " did not identify itself as a YM2608 board");
        return EXIT_FAILED;
    }
    PlaySettings settings;
    settings.loops = options.loops;
    settings.speed = options.speed;
    settings.dropping = options.dropping;
    settings.baud = options.baud != 0 ? options.baud : portSpeed(linkPort());
    settings.terminal = isatty(STDOUT_FILENO) != 0;
    settings.stop = &stopSignal;

    int status = 0;
    for (const Song& song : songs) {
        if (stopSignal != 0) {
            break;
        }
        printNotes(song, options.boardClock);
        std::printf("%s\n", song.path.c_str());
        std::fputs(tagLines(song.log.tags).c_str(), stdout);
        std::fflush(stdout);
        const PlayResult result = playLog(song.log, settings);
        if (result.end == PlayEnd::MEMORY_FAILED || result.end == PlayEnd::LINE_FAILED) {
            complain(song.path + ": " + result.detail);
            status = EXIT_FAILED;
            break;
        }
        if (result.end == PlayEnd::STOPPED) {
            break;
        }
    }
    closeLink();
    if (stopSignal != 0 && status == 0) {
        return EXIT_SIGNAL_BASE + stopSignal;
    }
    return status;
}

// --render: the songs through the chip's sound into a WAV (play/render.cpp).
int renderLogs(PlayOptions& options, const std::vector<Song>& songs)
{
    installSignals();
    options.render.terminal = isatty(STDOUT_FILENO) != 0;
    std::vector<RenderSong> logs;
    for (const Song& song : songs) {
        printNotes(song, options.render.clock);
        logs.push_back({song.path, &song.log});
    }
    return renderSongs(options, logs, &stopSignal);
}

} // namespace

int main(int argc, char** argv)
{
    PlayOptions options;
    std::string error;
    if (!parsePlayOptions(argc - 1, argv + 1, options, error)) {
        complain(error);
        return EXIT_BAD_INPUT;
    }
    if (options.help) {
        std::fputs(playUsageText(), stdout);
        return 0;
    }
    if (options.version) {
        std::printf("ym2608-play %s\n", YM2608_VERSION);
        return 0;
    }
    std::vector<Song> songs;
    if (!readSongs(options, songs)) {
        return EXIT_BAD_INPUT;
    }
    if (!options.render.wavPath.empty()) {
        return renderLogs(options, songs);
    }
    return options.stats ? printStats(options, songs) : playSongs(options, songs);
}
