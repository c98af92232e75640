#include "transfer/transfer.h"

#include "app/progress.h"
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

bool sendPhase(std::span<const std::uint8_t> frame)
{
    sendFrame(frame);
    return readStatus();
}

// The data phase; false when a frame was not confirmed.
bool streamData(std::span<const std::uint8_t> data)
{
    const auto total = static_cast<std::uint32_t>(data.size());
    std::size_t offset = 0;
    unsigned counter = 0;
    std::array<std::uint8_t, STREAM_DATA_HEADER + MAX_CHUNK> frame{};
    frame[0] = OP_STREAM_DATA;
    while (offset < data.size()) {
        const std::size_t len = std::min(data.size() - offset, MAX_CHUNK);
        std::copy_n(data.begin() + static_cast<std::ptrdiff_t>(offset), len,
                    frame.begin() + STREAM_DATA_HEADER);
        const std::size_t written = sendFrame(std::span(frame).first(STREAM_DATA_HEADER + len));
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
            printProgress(static_cast<std::uint32_t>(offset), total);
        }
    }
    return true;
}

} // namespace

void transferDataFile(const char* path)
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

    const std::array<std::uint8_t, 1> stop{OP_STOP};
    if (!sendPhase(stop)) {
        std::printf("stop error.\n");
        return;
    }
    const std::array<std::uint8_t, 1> wpReset{OP_WP_RESET};
    if (!sendPhase(wpReset)) {
        std::printf("wp reset error.\n");
        return;
    }
    const bool sent = streamData(std::span(buffer).first(std::min<std::size_t>(total, file.bytesRead)));
    std::printf("\n");
    if (!sent) {
        return;
    }
    const std::array<std::uint8_t, 2> start{OP_START, START_ARGUMENT};
    if (!sendPhase(start)) {
        std::printf("start error.\n");
    }
}
