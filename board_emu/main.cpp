// ym2608-board-emu: the YM2608 board on a pseudo-terminal, for trying the
// console tool without hardware and for testing it end to end. Prints the
// terminal's path as its first line, serves frames until SIGINT, SIGTERM or
// SIGHUP, then writes the dumps and playbacks it was asked for and exits 0.
// Bad options exit 2.
#include "board_emu/board.h"
#include "board_emu/options.h"
#include "board_emu/playback.h"
#include "board_emu/pty.h"
#include "board_emu/serve.h"
#include "board_emu/session.h"
#include "synth/rhythm.h"
#include "version.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <span>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

constexpr int EXIT_BAD_OPTIONS = 2;
constexpr int EXIT_FAILED = 1;

int failed(const std::string& message)
{
    std::fprintf(stderr, "ym2608-board-emu: %s\n", message.c_str());
    return EXIT_FAILED;
}

bool writeFile(const std::string& path, std::span<const std::uint8_t> bytes)
{
    std::FILE* file = std::fopen(path.c_str(), "wb");
    if (file == nullptr) {
        return false;
    }
    // An empty stream buffer has no data pointer to hand to fwrite.
    bool ok = bytes.empty() || std::fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
    return std::fclose(file) == 0 && ok;
}

// Replaces an earlier symlink at `link` (a board left behind by a killed run),
// never a file that is something else.
bool makeLink(const std::string& target, const std::string& link, std::string& error)
{
    struct stat st {};
    if (lstat(link.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) {
        unlink(link.c_str());
    }
    if (symlink(target.c_str(), link.c_str()) != 0) {
        error = "cannot link " + link + ": " + std::strerror(errno);
        return false;
    }
    return true;
}

void removeLink(const std::string& target, const std::string& link)
{
    char pointsAt[PATH_MAX];
    ssize_t n = readlink(link.c_str(), pointsAt, sizeof pointsAt - 1);
    if (n > 0 && std::string(pointsAt, static_cast<std::size_t>(n)) == target) {
        unlink(link.c_str());
    }
}

// The rhythm memory image: exactly 8192 bytes, or the emulator does not start.
bool readRhythmMemory(const std::string& path, std::vector<std::uint8_t>& image, std::string& error)
{
    std::string reason;
    if (!synth::readRhythmMemoryFile(path, image, reason)) {
        error = "--rhythm-rom " + path + ": " + reason;
        return false;
    }
    return true;
}

// What a run has set up so far, for the one teardown that undoes it.
struct Run {
    std::FILE* log = nullptr;
    std::FILE* writes = nullptr;
    Pty pty;
    std::string path;     // the terminal's path, as shown
    bool linked = false;  // --link points at it
    bool serving = false; // the path was shown: the dumps are due at the end
};

// Opens the log at `path` into `file`; no path, no log.
bool openLog(const std::string& path, std::FILE*& file, std::string& error)
{
    if (path.empty()) {
        return true;
    }
    file = std::fopen(path.c_str(), "w");
    if (file == nullptr) {
        error = "cannot write " + path + ": " + std::strerror(errno);
        return false;
    }
    return true;
}

// The playback worker, the rhythm memory and the session WAV, as asked for.
bool startWorkers(const EmuOptions& options, std::string& error)
{
    SessionSetup session;
    session.wavPath = options.wavPath;
    session.clock = options.clock;
    session.wavRate = options.wavRate;
    session.ssgLevelDb = options.ssgLevelDb;
    return (options.wavDir.empty() || startPlaybacks(options.wavDir, options.clock, error)) &&
           (options.rhythmRomPath.empty() ||
            readRhythmMemory(options.rhythmRomPath, session.rhythmMemory, error)) &&
           (options.wavPath.empty() || startSession(session, error));
}

// Everything up to the path shown on standard output. False with `error` set
// when the board cannot start; what was set up by then is in `run`.
bool setUp(const EmuOptions& options, Run& run, std::string& error);

// The one way out, after a failed start as after serving: the board is
// unplugged and its link removed, the logs closed, the dumps written (once
// serving began) and every playback and the session WAV completed. False when
// anything could not be written; each failure has been reported.
bool tearDown(const EmuOptions& options, Run& run);

} // namespace

int main(int argc, char** argv)
{
    EmuOptions options;
    std::string error;
    if (!parseOptions(argc - 1, argv + 1, options, error)) {
        std::fprintf(stderr, "ym2608-board-emu: %s (try --help)\n", error.c_str());
        return EXIT_BAD_OPTIONS;
    }
    if (options.help) {
        std::fputs(usageText(), stdout);
        return 0;
    }
    if (options.version) {
        std::printf("ym2608-board-emu %s\n", YM2608_VERSION);
        return 0;
    }
    Run run;
    const bool served = setUp(options, run, error) && serveBoard(run.pty, error);
    const bool written = tearDown(options, run);
    if (!served) {
        return failed(error);
    }
    return written ? 0 : EXIT_FAILED;
}

namespace {

bool setUp(const EmuOptions& options, Run& run, std::string& error)
{
    if (!blockStopSignals(error)) {
        return false;
    }
    if (!openLog(options.logPath, run.log, error) || !openLog(options.writesLogPath, run.writes, error)) {
        return false;
    }
    resetBoard(options.board);
    if (!openPty(run.pty, error) ||
        !setLineSpeed(run.pty, options.baud > 0 ? options.baud : UNPACED_LINE_SPEED, error)) {
        return false;
    }
    run.path = run.pty.path;
    if (!options.linkPath.empty()) {
        if (!makeLink(run.path, options.linkPath, error)) {
            return false;
        }
        run.linked = true;
    }
    if (!startWorkers(options, error)) {
        return false;
    }
    startServing(options, run.pty, run.log, run.writes);
    std::printf("%s\n", run.path.c_str());
    std::fflush(stdout);
    run.serving = true;
    return true;
}

bool tearDown(const EmuOptions& options, Run& run)
{
    closePty(run.pty);
    if (run.linked) {
        removeLink(run.path, options.linkPath);
    }
    if (run.log != nullptr) {
        std::fclose(run.log);
    }
    bool written = true;
    if (run.writes != nullptr && std::fclose(run.writes) != 0 && run.serving) {
        written = false;
        failed("cannot write " + options.writesLogPath);
    }
    const BoardState& state = boardState();
    if (run.serving && !options.memoryDumpPath.empty() && !writeFile(options.memoryDumpPath, state.memory)) {
        written = false;
        failed("cannot write " + options.memoryDumpPath);
    }
    if (run.serving && !options.streamDumpPath.empty() && !writeFile(options.streamDumpPath, state.stream)) {
        written = false;
        failed("cannot write " + options.streamDumpPath);
    }
    // Every playback started before the stop is written before the exit,
    // and the session WAV is complete.
    written = finishPlaybacks() && written;
    written = finishSession() && written;
    return written;
}

} // namespace
