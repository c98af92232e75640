// The ADPCM memory a log loads, as the runs to send through the board's
// memory writer before the music starts. The blocks are laid into one image
// of the chip's 256 KiB in the log's order (a later block overwrites an
// earlier one where they overlap), then cut into runs of whole 32-byte units
// in ascending address order. Runs less than a commit granule apart are
// joined, the gap between them taken from the image, so that the tail of one
// run's last granule never lands on bytes of the next after it was written.
// A run whose last granule would pass the memory's end starts at a granule
// boundary instead, so that every run can be committed.
//
// Functions: memoryLoads.
#pragma once

#include "music/music_log.h"

#include <cstdint>
#include <vector>

struct MemoryLoad {
    std::uint32_t unit = 0; // first unit of 32 bytes
    std::vector<std::uint8_t> bytes;
};

/// The runs that put every block's bytes where the log says, in the order to send them.
std::vector<MemoryLoad> memoryLoads(const MusicLog& log);
