#include "board_emu/session.h"

#include "chip/ym2608.h"
#include "synth/chip_sound.h"

#include <samplerate.h>
#include <sndfile.h>

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
    SNDFILE* file = nullptr;
    SRC_STATE* resampler = nullptr;
    double ratio = 1.0;
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

void reportWriteFailure()
{
    if (!session.writeFailed) {
        std::fprintf(stderr, "ym2608-board-emu: cannot write %s: %s\n", session.setup.wavPath.c_str(),
                     sf_strerror(session.file));
    }
    session.writeFailed = true;
}

void writeFrames(std::span<const std::int16_t> frames, bool last)
{
    if (session.writeFailed) {
        return;
    }
    if (session.resampler == nullptr) {
        const auto count = static_cast<sf_count_t>(frames.size() / 2);
        if (sf_writef_short(session.file, frames.data(), count) != count) {
            reportWriteFailure();
        }
        return;
    }
    std::vector<float> in(frames.size());
    src_short_to_float_array(frames.data(), in.data(), static_cast<int>(frames.size()));
    std::vector<float> out(2 * (static_cast<std::size_t>(static_cast<double>(frames.size() / 2) * session.ratio) +
                                RENDER_BLOCK));
    SRC_DATA data{};
    data.data_in = in.data();
    data.input_frames = static_cast<long>(frames.size() / 2);
    data.src_ratio = session.ratio;
    data.end_of_input = last ? 1 : 0;
    for (;;) {
        data.data_out = out.data();
        data.output_frames = static_cast<long>(out.size() / 2);
        if (src_process(session.resampler, &data) != 0) {
            reportWriteFailure();
            return;
        }
        const sf_count_t produced = data.output_frames_gen;
        if (produced > 0 && sf_writef_float(session.file, out.data(), produced) != produced) {
            reportWriteFailure();
            return;
        }
        data.data_in += 2 * data.input_frames_used;
        data.input_frames -= data.input_frames_used;
        // At the end the resampler gives out what it holds over several calls.
        if (data.input_frames == 0 && (!last || produced == 0)) {
            return;
        }
    }
}

void renderUntil(std::uint64_t target)
{
    std::int16_t block[2 * RENDER_BLOCK];
    while (session.rendered < target) {
        const auto count = static_cast<std::size_t>(std::min<std::uint64_t>(RENDER_BLOCK, target - session.rendered));
        synth::renderChipSound(session.chip, std::span<std::int16_t>(block, 2 * count));
        writeFrames(std::span<const std::int16_t>(block, 2 * count), false);
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
            if (session.resampler != nullptr) {
                writeFrames({}, true);
            }
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
    const int chipRate = wavRate(setup.clock);
    SF_INFO info{};
    info.channels = 2;
    info.samplerate = setup.wavRate != 0 ? static_cast<int>(setup.wavRate) : chipRate;
    info.format = SF_FORMAT_WAV | SF_FORMAT_PCM_16;
    session.file = sf_open(setup.wavPath.c_str(), SFM_WRITE, &info);
    if (session.file == nullptr) {
        error = "--wav " + setup.wavPath + ": " + sf_strerror(nullptr);
        return false;
    }
    // The header follows every write, so the file reads whole while it grows.
    sf_command(session.file, SFC_SET_UPDATE_HEADER_AUTO, nullptr, SF_TRUE);
    sf_command(session.file, SFC_SET_CLIPPING, nullptr, SF_TRUE);
    if (setup.wavRate != 0) {
        int status = 0;
        session.resampler = src_new(SRC_SINC_MEDIUM_QUALITY, 2, &status);
        if (session.resampler == nullptr) {
            error = std::string("resampler: ") + src_strerror(status);
            sf_close(session.file);
            session.file = nullptr;
            return false;
        }
        session.ratio = setup.wavRate / outputRate(setup.clock);
    }
    synth::resetChipSound(session.chip, setup.rhythmMemory);
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
    if (session.resampler != nullptr) {
        src_delete(session.resampler);
        session.resampler = nullptr;
    }
    if (sf_close(session.file) != 0 && !session.writeFailed) {
        std::fprintf(stderr, "ym2608-board-emu: cannot write %s\n", session.setup.wavPath.c_str());
        session.writeFailed = true;
    }
    session.file = nullptr;
    return !session.writeFailed;
}
