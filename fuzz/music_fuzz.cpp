// Arbitrary bytes as a music log: VGM, S98 or gzip, whichever their first
// bytes make them. Reading must refuse or succeed without a crash, and what
// it accepts must be something the player can stream: registers of the
// chip's two banks, due times that never go back, blocks inside its memory,
// a loop inside the writes, and a schedule whose every write is one of them.
#include "chip/ym2608.h"
#include "music/memory_image.h"
#include "music/music_log.h"
#include "music/schedule.h"

#include <cstdio>
#include <cstdlib>

namespace {

void check(bool condition, const char* what)
{
    if (!condition) {
        std::fprintf(stderr, "music log check failed: %s\n", what);
        std::abort();
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    MusicLog log;
    std::string error;
    if (!parseMusicLog(std::span(data, size), log, error)) {
        check(!error.empty() && error.find('\n') == std::string::npos, "one line of error text");
        return 0;
    }
    std::int64_t previous = 0;
    for (const LogWrite& w : log.writes) {
        check(w.reg < REGISTER_COUNT, "register within the two banks");
        check(w.dueNs >= previous, "due times in order");
        previous = w.dueNs;
    }
    check(log.endNs >= previous, "the end after the last write");
    check(!log.looped || (log.loopWrite <= log.writes.size() && log.loopNs <= log.endNs), "loop inside the log");
    for (const MemoryBlock& block : log.blocks) {
        check(block.address + block.bytes.size() <= SAMPLE_MEMORY_SIZE, "block inside the memory");
    }
    std::size_t loaded = 0;
    for (const MemoryLoad& load : memoryLoads(log)) {
        check(load.unit * ADDRESS_UNIT + load.bytes.size() <= SAMPLE_MEMORY_SIZE, "memory run inside the memory");
        loaded += load.bytes.size();
    }
    check(loaded <= SAMPLE_MEMORY_SIZE, "runs do not overlap");
    const auto schedule = buildSchedule(log, 2, true);
    for (const ScheduledWrite& w : schedule) {
        check(w.reg < REGISTER_COUNT, "scheduled register within the two banks");
    }
    lineFigures(schedule, 115200, 1.0, songLength(log, 2));
    return 0;
}
