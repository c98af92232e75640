// The chip's ADPCM sample memory as the tool sees it: the slot table, the
// allocation of memory (samples packed one after another, never freed within a
// run), the paged loader behind `l`, and playback behind `p`.
//
// The loader reads a file and hands its bytes to the memory writer
// (link/memory_writer.h), which streams them through the board's cache into
// chip memory. Addresses and lengths are counted in units of 32 bytes.
//
// Functions: resetSampleMemory, loadSample, setupAdpcm, playSlot, findSlot,
// clearSlotTable.
#pragma once

#include "chip/ym2608.h"
#include "link/device_link.h"

#include <cstddef>
#include <cstdint>

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

/// `l FILE`: loads the file into chip memory through the memory writer and
/// records it under `slot`, drawing progress with `showProgress`. Needs the
/// link connected. Error lines go to standard error.
void loadSample(const char* path, std::uint8_t slot, ProgressDisplay showProgress);

/// The fixed ADPCM set-up of `p`: memory-data mode, playback rate, full
/// output level, both outputs.
void setupAdpcm();

/// Plays `slot` if it holds a sample; sends nothing for an empty slot.
void playSlot(std::uint8_t slot);
