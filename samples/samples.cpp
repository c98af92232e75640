#include "samples/samples.h"

#include "chip/ym2608.h"
#include "link/device_link.h"
#include "link/memory_writer.h"
#include "samples/sample_file.h"

#include <array>
#include <cerrno>
#include <cstdio>

namespace {

struct SampleMemory {
    std::array<SlotRecord, SLOT_COUNT> slots{};
    std::uint32_t nextSampleAddress = 0; // in units
};

SampleMemory memory;

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

SampleRead readSample(const char* path, std::vector<std::uint8_t>& bytes)
{
    bytes.clear();
    std::FILE* file = openSampleFile(path);
    if (file == nullptr) {
        return SampleRead::OPEN_FAILED;
    }
    bytes.resize(MAX_SAMPLE_FILE);
    const std::size_t count = std::fread(bytes.data(), 1, bytes.size(), file);
    // Ctrl-C ending the read of a FIFO or a pipe whose writer was slow is a
    // failed read, not a short file.
    const bool interrupted = std::ferror(file) != 0 && errno == EINTR;
    std::fclose(file);
    bytes.resize(count);
    if (interrupted) {
        bytes.clear();
        return SampleRead::OPEN_FAILED;
    }
    return count == 0 ? SampleRead::EMPTY : SampleRead::READ;
}

std::uint32_t nextSampleUnit()
{
    return memory.nextSampleAddress;
}

SampleStore storeSample(std::span<const std::uint8_t> bytes, std::uint8_t slot, MemoryWriteProgress progress,
                        void* context)
{
    SampleStore store;
    // The writer refuses, sending nothing, a load whose commits would reach
    // past the chip's memory, where the addresses would wrap onto earlier
    // samples.
    const MemoryWriteResult written = writeMemory(bytes, memory.nextSampleAddress, progress, context);
    store.stop = written.stop;
    if (written.stop == MemoryWriteStop::PAST_MEMORY_END) {
        store.record = memory.slots[slot];
        return store;
    }
    // Recorded even when the transfer stopped: the slot then holds what
    // confirmed commits put in chip memory, possibly nothing. Bytes that only
    // reached the board's cache never play.
    SlotRecord& record = memory.slots[slot];
    record.loaded = true;
    record.start = memory.nextSampleAddress;
    record.length = static_cast<std::uint16_t>(unitsFor(written.committed));
    memory.nextSampleAddress += record.length;
    store.record = record;
    return store;
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

SlotPlay playSlot(std::uint8_t slot)
{
    const SlotRecord& record = memory.slots[slot];
    // A slot whose load failed at its first frame holds nothing: its stop
    // address would fall below its start and play the whole memory.
    if (!record.loaded || record.length == 0) {
        return SlotPlay::EMPTY;
    }
    const std::uint32_t end = record.start + record.length - 1U;
    writeBank1(ADPCM_CONTROL1, CONTROL1_MEMORY_RESET);
    writeBank1(ADPCM_START_LOW, lowByte(record.start));
    writeBank1(ADPCM_START_HIGH, highByte(record.start));
    writeBank1(ADPCM_STOP_LOW, lowByte(end));
    writeBank1(ADPCM_STOP_HIGH, highByte(end));
    writeBank1(ADPCM_CONTROL1, CONTROL1_START_FROM_MEMORY);
    return SlotPlay::STARTED;
}
