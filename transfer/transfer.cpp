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
constexpr std::size_t UNSENT_TAIL = 64;

/// The most bytes read from a file: a file this long or longer sends DATA_FILE_LIMIT.
constexpr std::size_t READ_LIMIT = DATA_FILE_LIMIT + UNSENT_TAIL;

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
            showProgress(0, 0); // the failure line comes next
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
    std::vector<std::uint8_t> buffer(READ_LIMIT);
    const DataFileRead file = readDataFile(path, buffer);
    if (!file.opened) {
        std::printf("file open error.\n");
        return;
    }
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
    // All but the tail of the file, by its 64-bit size; a file whose size is
    // not known (a FIFO) ends where its reading ended.
    const std::uint64_t size =
        file.sized ? std::max<std::uint64_t>(file.size, file.bytesRead) : std::uint64_t{file.bytesRead};
    const std::size_t total =
        static_cast<std::size_t>(std::min<std::uint64_t>(size - UNSENT_TAIL, DATA_FILE_LIMIT));
    const bool sent = streamData(std::span(buffer).first(std::min(total, file.bytesRead)), showProgress);
    std::printf("\n");
    if (!sent) {
        return;
    }
    if (!exchangeStatus(startFrame())) {
        std::printf("start error.\n");
    }
}
