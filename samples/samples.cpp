#include "samples/samples.h"

#include "chip/ym2608.h"
#include "link/device_link.h"
#include "link/memory_writer.h"
#include "samples/sample_file.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <vector>

namespace {

struct SampleMemory {
    std::array<SlotRecord, SLOT_COUNT> slots{};
    std::uint32_t nextSampleAddress = 0; // in units
};

SampleMemory memory;

constexpr std::size_t UNITS_PER_GRANULE = COMMIT_GRANULE / ADDRESS_UNIT;

// The values the set-up and playback write.
constexpr std::uint8_t CONTROL1_MEMORY = CONTROL1_MEMORY_DATA;
constexpr std::uint8_t CONTROL1_MEMORY_RESET = CONTROL1_MEMORY_DATA | CONTROL1_RESET;
constexpr std::uint8_t CONTROL1_START_FROM_MEMORY = CONTROL1_START | CONTROL1_MEMORY_DATA;
constexpr std::uint8_t CONTROL2_BOTH_OUTPUTS_8BIT = CONTROL2_LEFT | CONTROL2_RIGHT | CONTROL2_WIDE_MEMORY;
constexpr std::uint8_t LEVEL_FULL = 0xFF;

constexpr std::uint8_t lowByte(std::uint32_t value)
{
    return static_cast<std::uint8_t>(value & 0xFF);
}

constexpr std::uint8_t highByte(std::uint32_t value)
{
    return static_cast<std::uint8_t>((value >> 8) & 0xFF);
}

std::uint32_t unitsFor(std::size_t bytes)
{
    return static_cast<std::uint32_t>((bytes + ADDRESS_UNIT - 1) / ADDRESS_UNIT);
}

void loaderError(const char* message)
{
    // The progress line on standard output comes first on a shared terminal.
    std::fflush(stdout);
    std::fputs(message, stderr);
}

// Reads up to MAX_SAMPLE_FILE bytes from the file's start; 0 for an empty or
// unreadable file. false when the file cannot be opened, or when Ctrl-C ended
// the read of a FIFO or a pipe whose writer was slow.
bool readSampleFile(const char* path, std::vector<std::uint8_t>& bytes)
{
    std::FILE* file = openSampleFile(path);
    if (file == nullptr) {
        return false;
    }
    bytes.resize(MAX_SAMPLE_FILE);
    const std::size_t count = std::fread(bytes.data(), 1, bytes.size(), file);
    const bool interrupted = std::ferror(file) != 0 && errno == EINTR;
    std::fclose(file);
    bytes.resize(count);
    return !interrupted;
}

// The loader's progress line: drawn after every other chunk, and after the last.
struct LoadProgress {
    ProgressDisplay show = nullptr;
    bool toggle = false;
};

void onChunk(void* context, std::size_t done, std::size_t total)
{
    auto& progress = *static_cast<LoadProgress*>(context);
    progress.toggle = !progress.toggle;
    if ((progress.toggle || done == total) && progress.show != nullptr) {
        progress.show(static_cast<std::uint32_t>(done), static_cast<std::uint32_t>(total));
    }
}

} // namespace

void resetSampleMemory()
{
    memory.nextSampleAddress = 0;
}

void clearSlotTable()
{
    memory.slots.fill(SlotRecord{});
}

const SlotRecord& findSlot(std::uint8_t slot)
{
    return memory.slots[slot];
}

void loadSample(const char* path, std::uint8_t slot, ProgressDisplay showProgress)
{
    std::vector<std::uint8_t> bytes;
    if (!readSampleFile(path, bytes)) {
        loaderError("file read error.\n");
        return;
    }
    if (bytes.empty()) {
        loaderError("read error.\n");
        return;
    }
    std::printf("[%s] -> [%u,%zu]\n", path, memory.nextSampleAddress, bytes.size());
    // Commits write whole granules from page starts, so the load reaches up to
    // its length rounded up to a granule; past the chip's memory the addresses
    // would wrap onto earlier samples.
    const std::uint32_t units = unitsFor(bytes.size());
    const std::uint32_t reach = (units + UNITS_PER_GRANULE - 1) / UNITS_PER_GRANULE * UNITS_PER_GRANULE;
    if (memory.nextSampleAddress + reach > SAMPLE_MEMORY_UNITS) {
        loaderError("sample memory full.\n");
        return;
    }

    LoadProgress progress{showProgress};
    const MemoryWriteResult written = writeMemory(bytes, memory.nextSampleAddress, onChunk, &progress);
    if (written.stop != MemoryWriteStop::COMPLETE && showProgress != nullptr) {
        showProgress(0, 0); // the failure line comes next
    }
    if (written.stop == MemoryWriteStop::CACHE_WRITE_FAILED) {
        loaderError("cache write error.\n");
    } else if (written.stop == MemoryWriteStop::COMMIT_FAILED) {
        loaderError("ym2608 write error.\n");
    }
    std::printf("\n");

    // Recorded even when the transfer stopped: the slot then holds what
    // confirmed commits put in chip memory, possibly nothing. Bytes that only
    // reached the board's cache never play.
    SlotRecord& record = memory.slots[slot];
    record.loaded = true;
    record.start = memory.nextSampleAddress;
    record.length = static_cast<std::uint16_t>(unitsFor(written.committed));
    memory.nextSampleAddress += record.length;
    std::printf("idx:%u:[%u,%u]\n", static_cast<unsigned>(slot), record.start,
                static_cast<unsigned>(record.length));
}

void setupAdpcm()
{
    writeBank1(ADPCM_CONTROL1, CONTROL1_MEMORY);
    writeBank1(ADPCM_CONTROL1, CONTROL1_MEMORY_RESET);
    writeBank1(ADPCM_DELTA_N_LOW, lowByte(PLAYBACK_DELTA_N));
    writeBank1(ADPCM_DELTA_N_HIGH, highByte(PLAYBACK_DELTA_N));
    writeBank1(ADPCM_LEVEL, LEVEL_FULL);
    writeBank1(ADPCM_CONTROL2, CONTROL2_BOTH_OUTPUTS_8BIT);
}

void playSlot(std::uint8_t slot)
{
    const SlotRecord& record = memory.slots[slot];
    // A slot whose load failed at its first frame holds nothing: its stop
    // address would fall below its start and play the whole memory.
    if (!record.loaded || record.length == 0) {
        return;
    }
    const std::uint32_t end = record.start + record.length - 1U;
    writeBank1(ADPCM_CONTROL1, CONTROL1_MEMORY_RESET);
    writeBank1(ADPCM_START_LOW, lowByte(record.start));
    writeBank1(ADPCM_START_HIGH, highByte(record.start));
    writeBank1(ADPCM_STOP_LOW, lowByte(end));
    writeBank1(ADPCM_STOP_HIGH, highByte(end));
    writeBank1(ADPCM_CONTROL1, CONTROL1_START_FROM_MEMORY);
}
