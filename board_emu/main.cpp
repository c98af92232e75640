// ym2608-board-emu: the YM2608 board on a pseudo-terminal, for trying the
// console tool without hardware and for testing it end to end. Prints the
// terminal's path as its first line, serves frames until SIGINT or SIGTERM,
// then writes the dumps and playbacks it was asked for and exits 0. Bad options exit 2.
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
    std::FILE* file = std::fopen(path.c_str(), "rb");
    if (file == nullptr) {
        error = "--rhythm-rom " + path + ": " + std::strerror(errno);
        return false;
    }
    image.assign(synth::RHYTHM_MEMORY_SIZE + 1, 0);
    const std::size_t got = std::fread(image.data(), 1, image.size(), file);
    const bool failedRead = std::ferror(file) != 0;
    std::fclose(file);
    if (failedRead) {
        error = "--rhythm-rom " + path + ": cannot read it";
        return false;
    }
    if (got != synth::RHYTHM_MEMORY_SIZE) {
        error = "--rhythm-rom " + path + ": " + (got > synth::RHYTHM_MEMORY_SIZE ? "more" : std::to_string(got)) +
                " bytes, a rhythm memory image has 8192";
        return false;
    }
    image.resize(synth::RHYTHM_MEMORY_SIZE);
    return true;
}

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
    if (!blockStopSignals(error)) {
        return failed(error);
    }
    std::FILE* log = nullptr;
    if (!options.logPath.empty()) {
        log = std::fopen(options.logPath.c_str(), "w");
        if (log == nullptr) {
            return failed("cannot write " + options.logPath + ": " + std::strerror(errno));
        }
    }
    std::FILE* writes = nullptr;
    if (!options.writesLogPath.empty()) {
        writes = std::fopen(options.writesLogPath.c_str(), "w");
        if (writes == nullptr) {
            return failed("cannot write " + options.writesLogPath + ": " + std::strerror(errno));
        }
    }
    resetBoard(options.board);
    Pty pty;
    if (!openPty(pty, error) ||
        !setLineSpeed(pty, options.baud > 0 ? options.baud : UNPACED_LINE_SPEED, error)) {
        closePty(pty);
        return failed(error);
    }
    std::string path = pty.path;
    if (!options.linkPath.empty() && !makeLink(path, options.linkPath, error)) {
        closePty(pty);
        return failed(error);
    }
    SessionSetup session;
    session.wavPath = options.wavPath;
    session.clock = options.clock;
    session.wavRate = options.wavRate;
    const bool started = (options.wavDir.empty() || startPlaybacks(options.wavDir, options.clock, error)) &&
                         (options.rhythmRomPath.empty() ||
                          readRhythmMemory(options.rhythmRomPath, session.rhythmMemory, error)) &&
                         (options.wavPath.empty() || startSession(session, error));
    if (!started) {
        closePty(pty);
        if (!options.linkPath.empty()) {
            removeLink(path, options.linkPath);
        }
        finishPlaybacks();
        return failed(error);
    }
    startServing(options, pty, log, writes);
    std::printf("%s\n", path.c_str());
    std::fflush(stdout);

    bool served = serveBoard(pty, error);
    closePty(pty);
    if (!options.linkPath.empty()) {
        removeLink(path, options.linkPath);
    }
    if (log != nullptr) {
        std::fclose(log);
    }
    const BoardState& state = boardState();
    bool dumped = true;
    if (writes != nullptr && std::fclose(writes) != 0) {
        dumped = false;
        failed("cannot write " + options.writesLogPath);
    }
    if (!options.memoryDumpPath.empty() && !writeFile(options.memoryDumpPath, state.memory)) {
        dumped = false;
        failed("cannot write " + options.memoryDumpPath);
    }
    if (!options.streamDumpPath.empty() && !writeFile(options.streamDumpPath, state.stream)) {
        dumped = false;
        failed("cannot write " + options.streamDumpPath);
    }
    // Every playback started before the stop is written before the exit,
    // and the session WAV is complete.
    if (!finishPlaybacks()) {
        dumped = false;
    }
    if (!finishSession()) {
        dumped = false;
    }
    if (!served) {
        return failed(error);
    }
    return dumped ? 0 : EXIT_FAILED;
}
