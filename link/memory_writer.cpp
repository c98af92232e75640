#include "link/memory_writer.h"

#include "chip/ym2608.h"
#include "link/device_link.h"

#include <algorithm>

MemoryWriteResult writeMemory(std::span<const std::uint8_t> bytes, std::uint32_t startUnit,
                              MemoryWriteProgress progress, void* context, MemoryWriteGoOn goOn)
{
    MemoryWriteResult result;
    const std::size_t count = bytes.size();
    // Every page but the last is whole, so the commits reach as far as one
    // commit of all the bytes would.
    if (startUnit + commitSize(count) / ADDRESS_UNIT > SAMPLE_MEMORY_UNITS) {
        result.stop = MemoryWriteStop::PAST_MEMORY_END;
        return result;
    }
    std::uint32_t dest = startUnit;
    std::size_t pageFill = 0;
    while (result.accepted < count) {
        const std::size_t remaining = count - result.accepted;
        const std::size_t pageRoom = CACHE_PAGE_SIZE - pageFill;
        std::size_t chunk = MAX_CHUNK;
        bool endsPage = false;
        if (pageRoom <= MAX_CHUNK || remaining <= MAX_CHUNK) {
            chunk = std::min(pageRoom, remaining);
            endsPage = true;
        }

        if (!exchangeStatus(cacheWriteFrame(static_cast<std::uint32_t>(pageFill),
                                            bytes.subspan(result.accepted, chunk)))) {
            result.stop = MemoryWriteStop::CACHE_WRITE_FAILED;
            break;
        }
        if (endsPage) {
            // The page is committed in whole granules; a later write that
            // starts right after these bytes overwrites the tail.
            const std::size_t size = commitSize(pageFill + chunk);
            if (!exchangeStatus(cacheCommitFrame(static_cast<std::uint32_t>(size), dest))) {
                result.stop = MemoryWriteStop::COMMIT_FAILED;
                break;
            }
            result.committed += pageFill + chunk;
            dest += static_cast<std::uint32_t>(size / ADDRESS_UNIT);
            pageFill = 0;
        } else {
            pageFill += chunk;
        }
        result.accepted += chunk;
        if (progress != nullptr) {
            progress(context, result.accepted, count);
        }
        if (goOn != nullptr && result.accepted < count && !goOn(context)) {
            result.stop = MemoryWriteStop::STOPPED;
            break;
        }
    }
    return result;
}
