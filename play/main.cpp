// ym2608-play: plays YM2608 music logs (VGM, VGZ, S98) on the board, and the
// logs of playlists and folders. Every log named as an argument is read and
// checked before the port is opened, so a bad file sends nothing; a bad
// entry of a list is said and skipped. Exit status: 0 when every song played
// to its end (or q ended the play), 1 when the board could not be reached or
// the line failed, 2 for bad options or a bad file (at the end, for a list's
// entry left out), 130 after Ctrl-C and 143 after SIGTERM (the chip silenced
// first). With --render the logs go through the chip's sound into a
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
#include "play/tracks.h"

#include "version.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {

constexpr int EXIT_FAILED = 1;
constexpr int EXIT_BAD_INPUT = 2;

// Reads and checks every log named as an argument before anything is sent;
// a bad one (or a bad folder or playlist named so) ends the run here. 0 when
// all are good; else the exit status, the reason said. A FIFO is opened as
// any file is, so the read waits for its writer; a stop ends that wait as a
// failed read.
int readArguments(std::vector<Track>& tracks)
{
    for (Track& track : tracks) {
        if (!track.argument) {
            continue;
        }
        std::string error;
        const bool read = stopStatus() == 0 && loadTrack(track, error);
        if (stopStatus() != 0) {
            complain(track.entry.path + ": read interrupted");
            return stopStatus();
        }
        if (!read) {
            complain(error);
            return EXIT_BAD_INPUT;
        }
    }
    return 0;
}

// A list's entry, read when its turn comes: a bad one is said and skipped
// (false), and the run ends with status 2.
bool readEntry(Track& track, bool& refused)
{
    if (track.bad) {
        return false;
    }
    std::string error;
    if (loadTrack(track, error)) {
        return true;
    }
    if (stopStatus() == 0) {
        complain(error);
    }
    track.bad = true;
    refused = true;
    return false;
}

// For --stats, --render and --info: every track read at once, the bad entries
// said and left out.
std::vector<Song> readAll(std::vector<Track>& tracks, bool& refused)
{
    std::vector<Song> songs;
    for (Track& track : tracks) {
        if (stopStatus() == 0 && readEntry(track, refused)) {
            songs.push_back(std::move(track.song));
        }
    }
    return songs;
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

// The track to play after `current` ends as `end` says; tracks.size() when none.
std::size_t followingTrack(const std::vector<Track>& tracks, std::size_t current, PlayEnd end)
{
    if (end == PlayEnd::RESTART) {
        return current;
    }
    if (end != PlayEnd::PREVIOUS) {
        return current + 1;
    }
    // Back over the entries refused on the way: at the first file, that file again.
    for (std::size_t before = current; before > 0; --before) {
        if (!tracks[before - 1].bad) {
            return before - 1;
        }
    }
    return current;
}

// What the player has of one run over the tracks.
struct Session {
    PlaySettings settings;
    bool connected = false;
    bool refused = false; // an entry was left out: status 2 at the end
};

// Opens the board for the first track there is to play, and sets up the terminal.
int startSession(const PlayOptions& options, Session& session, int replyTimeoutMs)
{
    if (const int status = connectPlayer(options, replyTimeoutMs); status != 0) {
        return status;
    }
    session.connected = true;
    PlaySettings& settings = session.settings;
    settings.baud = options.baud != 0 ? options.baud : portSpeed(linkPort());
    settings.terminal = outputIsTerminal();
    // From here to the end the terminal may be the player's, so Ctrl-Z is
    // taken where the player can give it back (and silence the chip first).
    settings.keys = startTerminal();
    catchPause(true);
    return 0;
}

int playSongs(const PlayOptions& options, std::vector<Track>& tracks, int replyTimeoutMs)
{
    Session session;
    PlaySettings& settings = session.settings;
    settings.loops = options.loops;
    settings.speed = options.speed;
    settings.dropping = options.dropping;
    settings.muted = options.muted;
    settings.fadeNs = static_cast<std::int64_t>(options.fadeSeconds * NS_PER_SECOND);
    settings.tracks = static_cast<int>(tracks.size());
    int status = 0;
    std::size_t current = 0;
    while (current < tracks.size() && stopStatus() == 0) {
        Track& track = tracks[current];
        if (!readEntry(track, session.refused)) {
            ++current;
            continue;
        }
        if (!session.connected) {
            if (status = startSession(options, session, replyTimeoutMs); status != 0) {
                return status;
            }
        }
        const Song& song = track.song;
        printNotes(song, options.boardClock);
        std::printf("%s\n", song.path.c_str());
        std::fputs(tagLines(song.log.tags).c_str(), stdout);
        std::fflush(stdout);
        settings.title = trackTitle(track);
        settings.track = static_cast<int>(current) + 1;
        const PlayResult result = playLog(song.log, settings);
        releaseTrack(track);
        settings.muted = result.muted;
        settings.speed = result.speed;
        if (result.end == PlayEnd::MEMORY_FAILED || result.end == PlayEnd::LINE_FAILED) {
            complain(song.path + ": " + result.detail);
            status = EXIT_FAILED;
            break;
        }
        if (result.end == PlayEnd::STOPPED || result.end == PlayEnd::QUIT) {
            break;
        }
        current = followingTrack(tracks, current, result.end);
    }
    if (session.connected) {
        stopTerminal();
        closeLink();
        catchPause(false);
    }
    if (stopStatus() != 0 && status == 0) {
        return stopStatus();
    }
    return status == 0 && session.refused ? EXIT_BAD_INPUT : status;
}

// --info: each log described, without a board.
int printInfo(const std::vector<Song>& songs)
{
    for (const Song& song : songs) {
        if (std::ferror(stdout) != 0) {
            break;
        }
        printNotes(song, DEFAULT_CLOCK);
        std::fputs(infoReport(song.path, song.log).c_str(), stdout);
    }
    return 0;
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
    std::vector<Track> tracks = gatherTracks(options.files);
    if (const int status = readArguments(tracks); status != 0) {
        return status;
    }
    if (options.render.wavPath.empty() && !options.stats && !options.info) {
        return finishOutput(playSongs(options, tracks, replyTimeoutMs));
    }
    bool refused = false;
    std::vector<Song> songs = readAll(tracks, refused);
    if (stopStatus() != 0) {
        return stopStatus();
    }
    int status = 0;
    if (!options.render.wavPath.empty()) {
        status = songs.empty() ? 0 : renderLogs(options, songs);
    } else if (options.info) {
        status = printInfo(songs);
    } else {
        status = printStats(options, songs);
    }
    return finishOutput(status == 0 && refused ? EXIT_BAD_INPUT : status);
}
