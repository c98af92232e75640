// ym2608-play: plays YM2608 music logs (VGM, VGZ, S98) on the board. Every
// file is read and checked before the port is opened, so a bad file sends
// nothing. Exit status: 0 when every song played to its end (or q ended the
// play), 1 when the board could not be reached or the line failed, 2 for bad
// options or a bad file, 130 after Ctrl-C and 143 after SIGTERM (the chip
// silenced first). With --render the logs go through the chip's sound into a
// WAV instead.
#include "link/device_link.h"
#include "play/clock.h"
#include "play/messages.h"
#include "play/options.h"
#include "play/player.h"
#include "play/render.h"
#include "play/report.h"
#include "play/signals.h"
#include "play/stats.h"
#include "play/terminal.h"

#include "version.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {

constexpr int EXIT_FAILED = 1;
constexpr int EXIT_BAD_INPUT = 2;

// Reads and checks every file before anything is sent. 0 when all are good;
// else the exit status, the reason said. A FIFO is opened as any file is, so
// the read waits for its writer; a stop ends that wait as a failed read.
int readSongs(const PlayOptions& options, std::vector<Song>& songs)
{
    for (const std::string& path : options.files) {
        Song song;
        song.path = path;
        std::vector<std::uint8_t> bytes;
        std::string error;
        const bool read = stopStatus() == 0 && readMusicFile(path.c_str(), bytes, error);
        if (stopStatus() != 0) {
            complain(path + ": read interrupted");
            return stopStatus();
        }
        if (!read || !parseMusicLog(bytes, song.log, error)) {
            complain(path + ": " + error);
            return EXIT_BAD_INPUT;
        }
        songs.push_back(std::move(song));
    }
    return 0;
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

// Why the board did not identify itself, after the words that say so.
std::string identifyFailure(LinkFault fault, int replyTimeoutMs)
{
    switch (fault) {
    case LinkFault::NO_REPLY:
        return ": no reply within " + std::to_string(replyTimeoutMs) + " ms (" + REPLY_TIMEOUT_VARIABLE + ")";
    case LinkFault::LOST:
        return ": connection lost";
    default:
        return "";
    }
}

// Opens the board's port and identifies the board. 0 when there is a board
// to play on; else the exit status, the reason said (a stop needs no words).
int connectPlayer(const PlayOptions& options, int replyTimeoutMs)
{
    setStopWaits(StopWaits::END_AT_ONCE);
    ConnectOutcome outcome = options.port.empty() ? openLink() : openLinkAt(options.port.c_str());
    if (!outcome.opened) {
        complain(connectFailure(outcome));
        return EXIT_FAILED;
    }
    if (latencyWorthLowering(outcome.latency)) {
        complain(latencyNote(outcome));
    }
    identifyLink(outcome);
    if (outcome.identified) {
        return 0;
    }
    closeLink();
    const LinkFault fault = takeLinkFault();
    if (stopStatus() != 0) {
        return stopStatus();
    }
    complain("the board on " + outcome.attempts.back().device + " did not identify itself as a YM2608 board" +
             identifyFailure(fault, replyTimeoutMs));
    return EXIT_FAILED;
}

int playSongs(const PlayOptions& options, const std::vector<Song>& songs, int replyTimeoutMs)
{
    if (const int status = connectPlayer(options, replyTimeoutMs); status != 0) {
        return status;
    }
    PlaySettings settings;
    settings.loops = options.loops;
    settings.speed = options.speed;
    settings.dropping = options.dropping;
    settings.baud = options.baud != 0 ? options.baud : portSpeed(linkPort());
    settings.terminal = outputIsTerminal();

    // From here to the end the terminal may be the player's, so Ctrl-Z is
    // taken where the player can give it back (and silence the chip first).
    startTerminal();
    catchPause(true);
    int status = 0;
    for (const Song& song : songs) {
        if (stopStatus() != 0) {
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
        if (result.end != PlayEnd::SONG_END) {
            break;
        }
    }
    stopTerminal();
    closeLink();
    catchPause(false);
    if (stopStatus() != 0 && status == 0) {
        return stopStatus();
    }
    return status;
}

// --render: the songs through the chip's sound into a WAV (play/render.cpp).
int renderLogs(PlayOptions& options, const std::vector<Song>& songs)
{
    options.render.terminal = outputIsTerminal();
    std::vector<RenderSong> logs;
    for (const Song& song : songs) {
        printNotes(song, options.render.clock);
        logs.push_back({song.path, &song.log});
    }
    return renderSongs(options, logs, stopSignalFlag());
}

// A write error on standard output (a full disk, a closed pipe) fails the
// run, as in the console, whatever else went well.
int finishOutput(int status)
{
    const bool flushed = std::fflush(stdout) == 0;
    const int error = errno;
    if (flushed && std::ferror(stdout) == 0) {
        return status;
    }
    complain(std::string("cannot write to standard output: ") +
             (flushed ? "write error" : std::strerror(error)));
    return status == 0 ? EXIT_FAILED : status;
}

} // namespace

int main(int argc, char** argv)
{
    prepareTextOutput();
    PlayOptions options;
    std::string error;
    if (!parsePlayOptions(argc - 1, argv + 1, options, error)) {
        complain(error);
        return EXIT_BAD_INPUT;
    }
    if (options.help) {
        std::fputs(playUsageText(), stdout);
        return finishOutput(0);
    }
    if (options.version) {
        std::printf("ym2608-play %s\n", YM2608_VERSION);
        return finishOutput(0);
    }
    int replyTimeoutMs = NO_TIMEOUT;
    if (!replyTimeoutFromEnvironment(replyTimeoutMs)) {
        complain(std::string(REPLY_TIMEOUT_VARIABLE) + " must be a positive number of milliseconds");
        return EXIT_BAD_INPUT;
    }
    setReplyTimeout(replyTimeoutMs);
    if (!startClock()) {
        complain("cannot set up the clock's timer");
        return EXIT_FAILED;
    }
    installPlaySignals();
    std::vector<Song> songs;
    if (const int status = readSongs(options, songs); status != 0) {
        return status;
    }
    if (!options.render.wavPath.empty()) {
        return finishOutput(renderLogs(options, songs));
    }
    return finishOutput(options.stats ? printStats(options, songs)
                                      : playSongs(options, songs, replyTimeoutMs));
}
