#include "board_emu/playback.h"

#include "adpcm/render.h"

#include <condition_variable>
#include <cstdio>
#include <deque>
#include <filesystem>
#include <mutex>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

/// One playback waiting for the worker: the registers at its start and the
/// sample memory as it was then.
struct PlaybackJob {
    adpcm::AdpcmRegisters regs;
    std::vector<std::uint8_t> memory;
    std::string path;
};

struct Playbacks {
    bool started = false;
    std::string dir;
    std::uint32_t clock = adpcm::DEFAULT_CLOCK;
    std::uint32_t numbered = 0; // files named so far
    std::mutex mutex;
    std::condition_variable changed;
    std::deque<PlaybackJob> queue; // guarded by mutex, as are the two below
    bool closing = false;
    bool failed = false;
    std::thread worker;
};

Playbacks playbacks;

void writePlayback(const PlaybackJob& job)
{
    const std::vector<std::int16_t> frames = adpcm::renderPlayback(job.memory, job.regs, playbacks.clock);
    std::string error;
    if (adpcm::writePlaybackWav(job.path, frames, error, playbacks.clock)) {
        return;
    }
    std::fprintf(stderr, "ym2608-board-emu: %s\n", error.c_str());
    std::lock_guard<std::mutex> lock(playbacks.mutex);
    playbacks.failed = true;
}

void runWorker()
{
    for (;;) {
        PlaybackJob job;
        {
            std::unique_lock<std::mutex> lock(playbacks.mutex);
            playbacks.changed.wait(lock, [] { return !playbacks.queue.empty() || playbacks.closing; });
            if (playbacks.queue.empty()) {
                return;
            }
            job = std::move(playbacks.queue.front());
            playbacks.queue.pop_front();
        }
        playbacks.changed.notify_all();
        writePlayback(job);
    }
}

std::string fileName(std::uint32_t number)
{
    char name[32];
    std::snprintf(name, sizeof name, "play-%04u.wav", static_cast<unsigned>(number));
    return name;
}

} // namespace

bool startPlaybacks(const std::string& dir, std::uint32_t clock, std::string& error)
{
    std::error_code ec;
    std::filesystem::create_directories(dir, ec);
    if (!std::filesystem::is_directory(dir)) {
        error = "--wav-dir " + dir + ": " + (ec ? ec.message() : std::string("not a directory"));
        return false;
    }
    if (access(dir.c_str(), W_OK | X_OK) != 0) {
        error = "--wav-dir " + dir + ": cannot write files there";
        return false;
    }
    playbacks.dir = dir;
    playbacks.clock = clock;
    playbacks.numbered = 0;
    playbacks.queue.clear();
    playbacks.closing = false;
    playbacks.failed = false;
    playbacks.worker = std::thread(runWorker);
    playbacks.started = true;
    return true;
}

std::string followAdpcmStart(const adpcm::AdpcmRegisters& regs, std::span<const std::uint8_t> memory)
{
    if (!playbacks.started) {
        return {};
    }
    if (!adpcm::planPlayback(regs, playbacks.clock).plays) {
        return adpcm::describePlayback(regs, "", playbacks.clock);
    }
    playbacks.numbered += 1;
    const std::string name = fileName(playbacks.numbered);
    PlaybackJob job{regs, std::vector<std::uint8_t>(memory.begin(), memory.end()),
                    (std::filesystem::path(playbacks.dir) / name).string()};
    {
        std::unique_lock<std::mutex> lock(playbacks.mutex);
        playbacks.changed.wait(lock, [] { return playbacks.queue.size() < PLAYBACK_QUEUE; });
        playbacks.queue.push_back(std::move(job));
    }
    playbacks.changed.notify_all();
    return adpcm::describePlayback(regs, name, playbacks.clock);
}

bool finishPlaybacks()
{
    if (!playbacks.started) {
        return true;
    }
    {
        std::lock_guard<std::mutex> lock(playbacks.mutex);
        playbacks.closing = true;
    }
    playbacks.changed.notify_all();
    playbacks.worker.join();
    playbacks.started = false;
    return !playbacks.failed;
}
