#include "board_emu/playback.h"

#include "adpcm/render.h"
#include "synth/adpcm.h"
#include "chip/ym2608.h"

#include <algorithm>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <filesystem>
#include <mutex>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

constexpr std::int64_t NANOS = 1'000'000'000;
constexpr std::int64_t NOT_ENDED = -1;

/// One playback waiting for the worker: the registers at its start, the
/// sample memory as it was then, and when it started and ended on the line.
struct PlaybackJob {
    adpcm::AdpcmRegisters regs;
    std::vector<std::uint8_t> memory;
    std::string path;
    std::uint32_t planned = 0;      // frames to its stop unit (at most MAX_RENDER_SECONDS)
    std::uint64_t firstSample = 0;  // the output sample its start took effect at
    std::int64_t ended = NOT_ENDED; // when the write that ended it came
};

struct Playbacks {
    bool started = false;
    std::string dir;
    std::uint32_t clock = adpcm::DEFAULT_CLOCK;
    std::uint32_t numbered = 0; // files named so far
    std::mutex mutex;
    std::condition_variable changed;
    // Guarded by mutex, as are the four below. The worker takes the front
    // job out only once it has ended; the back one is under way until then.
    std::deque<PlaybackJob> queue;
    bool underWay = false;    // the back job has not ended yet
    std::int64_t reached = 0; // how far the line has got
    bool closing = false;
    bool failed = false;
    std::thread worker;
};

Playbacks playbacks;

// The first output sample at or after `nanos` after the first byte: output
// sample k stands for the time k x 144 / clock, as in the session WAV.
std::uint64_t sampleAt(std::int64_t nanos)
{
    if (nanos <= 0) {
        return 0;
    }
    const auto t = static_cast<std::uint64_t>(nanos);
    const std::uint64_t clock = playbacks.clock;
    const std::uint64_t clocks = (t / NANOS) * clock + ((t % NANOS) * clock + NANOS - 1) / NANOS;
    return (clocks + CLOCKS_PER_SAMPLE - 1) / CLOCKS_PER_SAMPLE;
}

// The frames the playback of `job` really played: to its stop unit, or to
// the sample at which the write that ended it took effect.
std::uint32_t framesPlayed(const PlaybackJob& job)
{
    if (job.ended == NOT_ENDED) {
        return job.planned;
    }
    const std::uint64_t until = sampleAt(job.ended);
    return until <= job.firstSample
               ? 0
               : static_cast<std::uint32_t>(std::min<std::uint64_t>(job.planned, until - job.firstSample));
}

// Whether the worker may write the front job: it has ended, the line has
// passed its stop unit, or the run is over.
bool frontDone()
{
    if (playbacks.queue.empty()) {
        return false;
    }
    const PlaybackJob& job = playbacks.queue.front();
    const bool last = playbacks.queue.size() == 1;
    return !last || !playbacks.underWay || playbacks.closing ||
           sampleAt(playbacks.reached) >= job.firstSample + job.planned;
}

// Renders only the frames played, the way renderPlayback renders a whole
// pass: a playback cut short costs no more than it played.
std::vector<std::int16_t> renderPlayed(const PlaybackJob& job)
{
    const std::uint32_t count = framesPlayed(job);
    const bool left = (job.regs.control2 & CONTROL2_LEFT) != 0;
    const bool right = (job.regs.control2 & CONTROL2_RIGHT) != 0;
    synth::AdpcmVoice voice;
    synth::startVoice(voice, job.regs);
    std::vector<std::int16_t> frames(std::size_t{count} * adpcm::OUTPUT_CHANNELS);
    for (std::size_t frame = 0; frame < count; ++frame) {
        const std::int16_t out = synth::stepVoice(voice, job.regs, job.memory);
        frames[adpcm::OUTPUT_CHANNELS * frame] = left ? out : 0;
        frames[adpcm::OUTPUT_CHANNELS * frame + 1] = right ? out : 0;
    }
    return frames;
}

void writePlayback(const PlaybackJob& job)
{
    const std::vector<std::int16_t> frames = renderPlayed(job);
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
            playbacks.changed.wait(
                lock, [] { return frontDone() || (playbacks.closing && playbacks.queue.empty()); });
            if (playbacks.queue.empty()) {
                return;
            }
            job = std::move(playbacks.queue.front());
            playbacks.queue.pop_front();
            if (playbacks.queue.empty()) {
                playbacks.underWay = false; // it ended by itself, or the run is over
            }
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
    playbacks.underWay = false;
    playbacks.reached = 0;
    playbacks.closing = false;
    playbacks.failed = false;
    playbacks.worker = std::thread(runWorker);
    playbacks.started = true;
    return true;
}

std::string followAdpcmStart(const adpcm::AdpcmRegisters& regs, std::span<const std::uint8_t> memory,
                             std::int64_t nanos)
{
    if (!playbacks.started) {
        return {};
    }
    // A start ends the playback under way, whether or not it sounds itself.
    followAdpcmControl(0, nanos);
    const adpcm::PlaybackPlan plan = adpcm::planPlayback(regs, playbacks.clock);
    if (!plan.plays) {
        return adpcm::describePlayback(regs, "", playbacks.clock);
    }
    playbacks.numbered += 1;
    const std::string name = fileName(playbacks.numbered);
    PlaybackJob job{regs, std::vector<std::uint8_t>(memory.begin(), memory.end()),
                    (std::filesystem::path(playbacks.dir) / name).string(), plan.frameCount, sampleAt(nanos)};
    {
        std::unique_lock<std::mutex> lock(playbacks.mutex);
        playbacks.changed.wait(lock, [] { return playbacks.queue.size() < PLAYBACK_QUEUE; });
        playbacks.queue.push_back(std::move(job));
        playbacks.underWay = true;
    }
    playbacks.changed.notify_all();
    return adpcm::describePlayback(regs, name, playbacks.clock);
}

void followAdpcmControl(std::uint8_t value, std::int64_t nanos)
{
    if (!playbacks.started || ((value & CONTROL1_START) != 0 && (value & CONTROL1_RESET) == 0)) {
        return;
    }
    {
        std::lock_guard<std::mutex> lock(playbacks.mutex);
        if (!playbacks.underWay) {
            return;
        }
        playbacks.queue.back().ended = nanos;
        playbacks.underWay = false;
    }
    playbacks.changed.notify_all();
}

void playbacksReached(std::int64_t nanos)
{
    if (!playbacks.started) {
        return;
    }
    {
        std::lock_guard<std::mutex> lock(playbacks.mutex);
        playbacks.reached = std::max(playbacks.reached, nanos);
    }
    playbacks.changed.notify_all();
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
