// The memory writer: writes bytes into the chip's ADPCM sample memory through
// the board's cache. The bytes go into the 8192-byte cache page in
// OP_CACHE_WRITE frames of at most 60 bytes, each confirmed by the board; each
// time the page is full, or the bytes are done, OP_CACHE_COMMIT writes the
// page into chip memory at the next unit. The last page is committed in whole
// granules of 512 bytes, so up to 511 bytes past the end are written too
// (whatever the cache page held there). Nothing here prints: progress goes to
// a callback.
//
// Functions: writeMemory.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

/// Why the writer stopped.
enum class MemoryWriteStop : std::uint8_t {
    COMPLETE,           // every byte committed
    CACHE_WRITE_FAILED, // a cache write was not confirmed
    COMMIT_FAILED,      // a commit was not confirmed
    PAST_MEMORY_END,    // the commits would reach past the chip's memory: nothing sent
    STOPPED,            // the caller's goOn said stop, between two frames
};

struct MemoryWriteResult {
    /// Bytes carried by cache writes the board confirmed and not dropped by a
    /// failed commit of their page: what the cache took, committed or not.
    std::size_t accepted = 0;
    /// Bytes that confirmed commits hold in chip memory, from the start unit on.
    std::size_t committed = 0;
    MemoryWriteStop stop = MemoryWriteStop::COMPLETE;
};

/// Called after each chunk the board took: `done` of `total` bytes accepted.
using MemoryWriteProgress = void (*)(void* context, std::size_t done, std::size_t total);

/// Asked after each frame the board confirmed, with the progress's context:
/// false ends the write there (STOPPED), so that a stop the user asked for
/// never cuts a frame nor leaves its reply unread.
using MemoryWriteGoOn = bool (*)(void* context);

/// Writes `bytes` into chip memory from unit `startUnit` over the open link.
MemoryWriteResult writeMemory(std::span<const std::uint8_t> bytes, std::uint32_t startUnit,
                              MemoryWriteProgress progress = nullptr, void* context = nullptr,
                              MemoryWriteGoOn goOn = nullptr);
