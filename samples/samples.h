// The chip's ADPCM sample memory as the tool sees it: the slot table, the
// allocation of memory (samples packed one after another, never freed within a
// run), the paged loader behind `l`, and playback behind `p`.
//
// The loader reads a file, then hands its bytes to the memory writer
// (link/memory_writer.h), which streams them through the board's cache into
// chip memory. Addresses and lengths are counted in units of 32 bytes. Nothing
// here prints: each step returns its outcome, and the console words it
// between the steps.
//
// Functions: resetSampleMemory, readSample, nextSampleUnit, storeSample,
// setupAdpcm, playSlot, findSlot, clearSlotTable.
#pragma once

#include "chip/ym2608.h"
#include "link/memory_writer.h"

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

struct SlotRecord {
    bool loaded = false;
    std::uint32_t start = 0;  // first unit in chip memory
    std::uint16_t length = 0; // size in units
};

/// Every value of an 8-bit slot number has a record.
inline constexpr std::size_t SLOT_COUNT = 256;

/// The largest sample file read: the most the chip's memory holds.
inline constexpr std::size_t MAX_SAMPLE_FILE = SAMPLE_MEMORY_SIZE;

/// Places the next sample at unit 0. The slot records are not touched.
void resetSampleMemory();

/// Forgets every slot, as at process start.
void clearSlotTable();

/// The record of `slot`.
const SlotRecord& findSlot(std::uint8_t slot);

/// How reading a sample file ended.
enum class SampleRead : std::uint8_t {
    READ,        // at least one byte
    OPEN_FAILED, // the file cannot be opened
    EMPTY,       // it opened but yielded nothing (empty, a directory, a read error)
};

/// The first step of `l FILE`: up to MAX_SAMPLE_FILE bytes from the file's
/// start into `bytes`. Sends nothing.
SampleRead readSample(const char* path, std::vector<std::uint8_t>& bytes);

/// The unit the next sample is placed at.
std::uint32_t nextSampleUnit();

/// How storing a sample ended: the writer's stop, and the slot's record as it
/// now stands.
struct SampleStore {
    MemoryWriteStop stop = MemoryWriteStop::COMPLETE;
    SlotRecord record;
};

/// The second step of `l FILE`: writes `bytes` into chip memory at the next
/// unit and records them under `slot`, reporting each chunk the board took to
/// `progress`. Needs the link connected. A load that would reach past the
/// chip's memory (PAST_MEMORY_END) sends nothing and leaves the slot as it
/// was; a load that stopped part way records what confirmed commits wrote,
/// possibly nothing, and the next sample follows that.
SampleStore storeSample(std::span<const std::uint8_t> bytes, std::uint8_t slot,
                        MemoryWriteProgress progress = nullptr, void* context = nullptr);

/// The fixed ADPCM set-up of `p`: memory-data mode, playback rate, full
/// output level, left and right both on.
void setupAdpcm();

/// What playSlot did.
enum class SlotPlay : std::uint8_t {
    STARTED, // the slot's addresses and the start went out
    EMPTY,   // the slot holds nothing: nothing sent
};

/// Plays `slot` if it holds a sample; sends nothing for an empty slot.
SlotPlay playSlot(std::uint8_t slot);
