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
// Not every block can go first. A block that overwrites bytes an earlier
// block put there (two samples at address 0, at 1 s and at 2 s) would leave
// only the later one for the music before it: such a block is loaded at its
// place in the song, when the play reaches the write after it. So is a block
// of the looped part that a later block of the looped part overwrites, on
// every pass, so that each pass finds the memory the log gave its first.
// A block loaded in mid-song goes as one run of whole granules, the bytes
// around it taken from the memory as it stands then, so that its commit's
// tail writes back what was there. Where blocks do not overlap, all go first.
//
// Functions: planMemory, memoryLoads.
#pragma once

#include "music/music_log.h"

#include <cstdint>
#include <vector>

struct MemoryLoad {
    std::uint32_t unit = 0; // first unit of 32 bytes
    std::vector<std::uint8_t> bytes;
};

/// A block loaded in mid-song: sent when a pass reaches write `atWrite` of
/// the log (every pass that plays that write).
struct TimedLoad {
    std::size_t atWrite = 0;
    MemoryLoad run;
};

struct MemoryPlan {
    std::vector<MemoryLoad> before; // the runs before the music, in the order to send them
    std::vector<TimedLoad> during;  // the blocks loaded in mid-song, in the log's order
};

/// What the log loads, before the music and in mid-song.
MemoryPlan planMemory(const MusicLog& log);

/// The runs sent before the music: planMemory(log).before.
std::vector<MemoryLoad> memoryLoads(const MusicLog& log);
