#include "board_emu/session.h"

#include "chip/ym2608.h"
#include "synth/chip_sound.h"

#include "synth/chip_wav.h"

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <mutex>
#include <sys/resource.h>
#include <thread>
#include <unistd.h>

namespace {

constexpr std::size_t RENDER_BLOCK = 4096; // output samples rendered at a time
constexpr std::chrono::milliseconds WORKER_PERIOD{50};
constexpr int WORKER_NICENESS = 10;
// What may wait for the worker, counting each event at its size: far more
// than a session hands over between two of the worker's rounds, and a bound
// on what a writer that outruns a starved worker can make the emulator hold.
// Past it the serving loop waits for the worker's next round.
constexpr std::size_t QUEUE_LIMIT_BYTES = 64u << 20;

struct SessionEvent {
    std::int64_t nanos = 0;
    bool memory = false; // a commit to sample memory, else a register write
    int bank = 0;
    std::uint8_t reg = 0;
    std::uint8_t value = 0;
    std::size_t offset = 0;
    std::vector<std::uint8_t> bytes;
};

struct Session {
    bool started = false;
    SessionSetup setup;
    bool rhythmSilent = false; // no rhythm memory image was given
    bool rhythmNoted = false;  // and that has been said
    // The worker's own: the chip, the file and the resampler.
    synth::ChipSound chip;
    synth::ChipWav wav;
    std::uint64_t rendered = 0; // output samples rendered so far
    bool writeFailed = false;
    // Shared with the serving loop, under mutex.
    std::mutex mutex;
    std::condition_variable closed;
    std::condition_variable room;
    std::deque<SessionEvent> queue;
    std::size_t queuedBytes = 0;
    std::int64_t reached = 0;
    bool closing = false;
    std::thread worker;
};

Session session;

std::uint64_t sampleAt(std::int64_t nanos)
{
    return synth::chipSampleAt(nanos, session.setup.clock);
}

void writeFrames(std::span<const std::int16_t> frames)
{
    if (!synth::writeChipWav(session.wav, frames) && !session.writeFailed) {
        std::fprintf(stderr, "ym2608-board-emu: %s\n", session.wav.error.c_str());
        session.writeFailed = true;
    }
}

void renderUntil(std::uint64_t target)
{
    std::int16_t block[2 * RENDER_BLOCK];
    while (session.rendered < target) {
        const auto count = static_cast<std::size_t>(std::min<std::uint64_t>(RENDER_BLOCK, target - session.rendered));
        synth::renderChipSound(session.chip, std::span<std::int16_t>(block, 2 * count));
        writeFrames(std::span<const std::int16_t>(block, 2 * count));
        session.rendered += count;
    }
}

void apply(const SessionEvent& event)
{
    renderUntil(sampleAt(event.nanos));
    if (event.memory) {
        synth::writeChipMemory(session.chip, event.offset, event.bytes);
    } else {
        synth::writeChipSound(session.chip, event.bank, event.reg, event.value);
    }
}

void runWorker()
{
    // Below the serving loop: on a busy machine a reply gets the CPU first,
    // and the render catches up afterwards from its queue.
    setpriority(PRIO_PROCESS, static_cast<id_t>(gettid()), WORKER_NICENESS);
    for (;;) {
        std::deque<SessionEvent> events;
        std::int64_t reached = 0;
        bool closing = false;
        {
            std::unique_lock<std::mutex> lock(session.mutex);
            session.closed.wait_for(lock, WORKER_PERIOD, [] { return session.closing; });
            events.swap(session.queue);
            session.queuedBytes = 0;
            reached = session.reached;
            closing = session.closing;
        }
        session.room.notify_all();
        for (const SessionEvent& event : events) {
            apply(event);
        }
        renderUntil(sampleAt(reached));
        if (closing) {
            return;
        }
    }
}

void push(SessionEvent&& event)
{
    const std::size_t size = sizeof event + event.bytes.size();
    std::unique_lock<std::mutex> lock(session.mutex);
    session.room.wait(lock, [] { return session.queuedBytes < QUEUE_LIMIT_BYTES; });
    session.queuedBytes += size;
    session.queue.push_back(std::move(event));
}

} // namespace

bool startSession(const SessionSetup& setup, std::string& error)
{
    session.setup = setup;
    std::string reason;
    if (!synth::openChipWav(session.wav, setup.wavPath, synth::WavKind::GROWING, setup.clock, setup.wavRate,
                            reason)) {
        error = "--wav " + setup.wavPath + ": " + reason;
        return false;
    }
    synth::resetChipSound(session.chip, setup.rhythmMemory);
    synth::setSsgLevel(session.chip, setup.ssgLevelDb);
    session.rhythmSilent = !session.chip.rhythm.hasMemory;
    session.rendered = 0;
    session.writeFailed = false;
    session.rhythmNoted = false;
    session.queue.clear();
    session.queuedBytes = 0;
    session.reached = 0;
    session.closing = false;
    session.worker = std::thread(runWorker);
    session.started = true;
    return true;
}

void sessionWrite(std::int64_t nanos, int bank, std::uint8_t reg, std::uint8_t value)
{
    if (!session.started) {
        return;
    }
    if (bank == 0 && reg == RHYTHM_KEY && !(value & RHYTHM_DUMP) && (value & RHYTHM_KEY_BITS) &&
        session.rhythmSilent && !session.rhythmNoted) {
        session.rhythmNoted = true;
        std::fprintf(stderr, "ym2608-board-emu: rhythm key-on, but no --rhythm-rom: the rhythm unit is silent "
                             "in the session WAV\n");
    }
    SessionEvent event;
    event.nanos = nanos;
    event.bank = bank;
    event.reg = reg;
    event.value = value;
    push(std::move(event));
}

void sessionMemory(std::int64_t nanos, std::size_t offset, std::span<const std::uint8_t> bytes)
{
    if (!session.started) {
        return;
    }
    SessionEvent event;
    event.nanos = nanos;
    event.memory = true;
    event.offset = offset;
    event.bytes.assign(bytes.begin(), bytes.end());
    push(std::move(event));
}

void sessionReached(std::int64_t nanos)
{
    if (!session.started) {
        return;
    }
    std::lock_guard<std::mutex> lock(session.mutex);
    session.reached = std::max(session.reached, nanos);
}

bool finishSession()
{
    if (!session.started) {
        return true;
    }
    {
        std::lock_guard<std::mutex> lock(session.mutex);
        session.closing = true;
    }
    session.closed.notify_all();
    session.worker.join();
    session.started = false;
    if (!synth::closeChipWav(session.wav) && !session.writeFailed) {
        std::fprintf(stderr, "ym2608-board-emu: %s\n", session.wav.error.c_str());
        session.writeFailed = true;
    }
    return !session.writeFailed;
}
