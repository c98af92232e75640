#include "music/memory_image.h"

#include "chip/ym2608.h"
#include "link/frames.h"

#include <algorithm>

namespace {

constexpr std::size_t UNIT = ADDRESS_UNIT;
constexpr std::size_t GRANULE = COMMIT_GRANULE;
constexpr std::size_t MEMORY = SAMPLE_MEMORY_SIZE;
constexpr std::size_t UNITS = SAMPLE_MEMORY_UNITS;

} // namespace

std::vector<MemoryLoad> memoryLoads(const MusicLog& log)
{
    std::vector<std::uint8_t> image(MEMORY, 0);
    std::vector<bool> touched(UNITS, false);
    for (const MemoryBlock& block : log.blocks) {
        // The parsers refuse blocks past the memory's end; clip all the same.
        if (block.address >= MEMORY) {
            continue;
        }
        const std::size_t count = std::min(block.bytes.size(), MEMORY - block.address);
        std::copy_n(block.bytes.begin(), count, image.begin() + block.address);
        for (std::size_t unit = block.address / UNIT; unit * UNIT < block.address + count; ++unit) {
            touched[unit] = true;
        }
    }
    std::vector<MemoryLoad> loads;
    std::size_t unit = 0;
    while (unit < UNITS) {
        if (!touched[unit]) {
            ++unit;
            continue;
        }
        std::size_t end = unit;
        while (true) {
            while (end < UNITS && touched[end]) {
                ++end;
            }
            // The run's last granule reaches this far; a run that starts
            // within it joins this one.
            const std::size_t reach = unit + commitSize((end - unit) * UNIT) / UNIT;
            std::size_t next = end;
            while (next < UNITS && next < reach && !touched[next]) {
                ++next;
            }
            if (next < UNITS && next < reach && touched[next]) {
                end = next;
                continue;
            }
            break;
        }
        // The commits round the run up to whole granules from its start; a
        // run that would reach past the memory's end starts at its granule
        // instead, the bytes before it taken from the image.
        std::size_t first = unit;
        if (first + commitSize((end - first) * UNIT) / UNIT > UNITS) {
            first -= first % (GRANULE / UNIT);
        }
        MemoryLoad load;
        load.unit = static_cast<std::uint32_t>(first);
        load.bytes.assign(image.begin() + static_cast<std::ptrdiff_t>(first * UNIT),
                          image.begin() + static_cast<std::ptrdiff_t>(end * UNIT));
        loads.push_back(std::move(load));
        unit = end;
    }
    return loads;
}
