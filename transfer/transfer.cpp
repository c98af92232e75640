#include "transfer/transfer.h"

#include "link/device_link.h"
#include "transfer/data_file.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdio>
#include <vector>

namespace {

/// The file's last bytes that are never sent.
constexpr std::uint32_t UNSENT_TAIL = 64;

/// A file that yields fewer bytes than this is refused.
constexpr std::size_t MIN_DATA_FILE = 256;

/// The progress line is drawn after every 32nd data frame (and after the last).
constexpr unsigned PROGRESS_EVERY = 32;

// The data phase; false when a frame was not confirmed.
bool streamData(std::span<const std::uint8_t> data, ProgressDisplay showProgress)
{
    const auto total = static_cast<std::uint32_t>(data.size());
    std::size_t offset = 0;
    unsigned counter = 0;
    while (offset < data.size()) {
        const std::size_t len = std::min(data.size() - offset, MAX_CHUNK);
        const std::size_t written = sendFrame(streamDataFrame(data.subspan(offset, len)));
        // The board's status byte alone does not prove the data went out: a
        // frame of which no data byte was written is a failed frame.
        if (!readStatus() || written <= STREAM_DATA_HEADER) {
            std::printf("write error.\n");
            return false;
        }
        // The position moves by the data bytes the port accepted.
        offset += written - STREAM_DATA_HEADER;
        counter = (counter + 1) % PROGRESS_EVERY;
        if (counter == 0 || offset == data.size()) {
            showProgress(static_cast<std::uint32_t>(offset), total);
        }
    }
    return true;
}

} // namespace

void transferDataFile(const char* path, ProgressDisplay showProgress)
{
    std::vector<std::uint8_t> buffer(DATA_FILE_LIMIT);
    const DataFileRead file = readDataFile(path, buffer);
    if (!file.opened) {
        std::printf("file open error.\n");
        return;
    }
    // The size less the tail, in 32-bit arithmetic as the board counts it: a
    // file under 64 bytes wraps to a huge count, which the limit caps.
    const std::uint32_t total = std::min<std::uint32_t>(file.size - UNSENT_TAIL, DATA_FILE_LIMIT);
    if (file.bytesRead < MIN_DATA_FILE) {
        std::printf("file read error.\n");
        return;
    }

    if (!exchangeStatus(stopFrame())) {
        std::printf("stop error.\n");
        return;
    }
    if (!exchangeStatus(wpResetFrame())) {
        std::printf("wp reset error.\n");
        return;
    }
    const bool sent =
        streamData(std::span(buffer).first(std::min<std::size_t>(total, file.bytesRead)), showProgress);
    std::printf("\n");
    if (!sent) {
        return;
    }
    if (!exchangeStatus(startFrame())) {
        std::printf("start error.\n");
    }
}
