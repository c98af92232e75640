#include "music/memory_image.h"

#include "chip/ym2608.h"
#include "link/frames.h"

#include <algorithm>

namespace {

constexpr std::size_t UNIT = ADDRESS_UNIT;
constexpr std::size_t GRANULE = COMMIT_GRANULE;
constexpr std::size_t MEMORY = SAMPLE_MEMORY_SIZE;
constexpr std::size_t UNITS = SAMPLE_MEMORY_UNITS;

constexpr std::size_t UNITS_PER_GRANULE = GRANULE / UNIT;

// The bytes of `block` inside the memory: [first, last).
std::pair<std::size_t, std::size_t> extent(const MemoryBlock& block)
{
    // The parsers refuse blocks past the memory's end; clip all the same.
    if (block.address >= MEMORY) {
        return {0, 0};
    }
    return {block.address, block.address + std::min(block.bytes.size(), MEMORY - block.address)};
}

bool overlap(const MemoryBlock& a, const MemoryBlock& b)
{
    const auto [aFirst, aLast] = extent(a);
    const auto [bFirst, bLast] = extent(b);
    return aFirst < aLast && bFirst < bLast && aFirst < bLast && bFirst < aLast;
}

// Which blocks wait for their place in the song (see the header). Blocks
// with no write between them keep their order however they are sent, unless
// the earlier one waits.
std::vector<bool> timedBlocks(const MusicLog& log)
{
    const std::vector<MemoryBlock>& blocks = log.blocks;
    const auto inLoop = [&](const MemoryBlock& block) {
        return log.looped && block.atWrite >= log.loopWrite;
    };
    std::vector<bool> timed(blocks.size(), false);
    for (std::size_t i = 0; i < blocks.size(); ++i) {
        for (std::size_t j = 0; j < blocks.size() && !timed[i]; ++j) {
            const bool before = j < i && (blocks[j].atWrite < blocks[i].atWrite || timed[j]);
            const bool laterInLoop = j > i && inLoop(blocks[i]) && inLoop(blocks[j]);
            timed[i] = (before || laterInLoop) && overlap(blocks[i], blocks[j]);
        }
    }
    return timed;
}

void lay(const MemoryBlock& block, std::vector<std::uint8_t>& image, std::vector<bool>& touched)
{
    const auto [first, last] = extent(block);
    std::copy_n(block.bytes.begin(), last - first, image.begin() + static_cast<std::ptrdiff_t>(first));
    for (std::size_t unit = first / UNIT; unit * UNIT < last; ++unit) {
        touched[unit] = true;
    }
}

MemoryLoad runOf(const std::vector<std::uint8_t>& image, std::size_t first, std::size_t end)
{
    MemoryLoad load;
    load.unit = static_cast<std::uint32_t>(first);
    load.bytes.assign(image.begin() + static_cast<std::ptrdiff_t>(first * UNIT),
                      image.begin() + static_cast<std::ptrdiff_t>(end * UNIT));
    return load;
}

// Where the load of units [first, end) starts. The commits round a run up
// to whole granules from its start; a run that would reach past the memory's
// end starts at its granule instead, the bytes before it taken from the image.
std::size_t runStart(std::size_t first, std::size_t end)
{
    if (first + commitSize((end - first) * UNIT) / UNIT > UNITS) {
        first -= first % UNITS_PER_GRANULE;
    }
    return first;
}

// The runs of whole units that cover every touched unit of the image.
std::vector<MemoryLoad> runsOf(const std::vector<std::uint8_t>& image, const std::vector<bool>& touched)
{
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
        loads.push_back(runOf(image, runStart(unit, end), end));
        unit = end;
    }
    return loads;
}

// A mid-song block's run: its units rounded up to whole granules from its
// first (from the granule before, where that would pass the memory's end).
MemoryLoad granuleRun(const MemoryBlock& block, const std::vector<std::uint8_t>& image)
{
    const auto [firstByte, lastByte] = extent(block);
    const std::size_t end = (lastByte + UNIT - 1) / UNIT;
    const std::size_t first = runStart(firstByte / UNIT, end);
    return runOf(image, first, first + commitSize((end - first) * UNIT) / UNIT);
}

} // namespace

MemoryPlan planMemory(const MusicLog& log)
{
    const std::vector<bool> timed = timedBlocks(log);
    std::vector<std::uint8_t> image(MEMORY, 0);
    std::vector<bool> touched(UNITS, false);
    for (std::size_t i = 0; i < log.blocks.size(); ++i) {
        if (!timed[i]) {
            lay(log.blocks[i], image, touched);
        }
    }
    MemoryPlan plan;
    plan.before = runsOf(image, touched);
    for (std::size_t i = 0; i < log.blocks.size(); ++i) {
        const MemoryBlock& block = log.blocks[i];
        if (timed[i]) {
            lay(block, image, touched);
            plan.during.push_back({block.atWrite, granuleRun(block, image)});
        }
    }
    return plan;
}

std::vector<MemoryLoad> memoryLoads(const MusicLog& log)
{
    return planMemory(log).before;
}
