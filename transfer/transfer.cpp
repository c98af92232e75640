#include "transfer/transfer.h"

#include "link/device_link.h"
#include "transfer/data_file.h"

#include <algorithm>
#include <cstdint>
#include <span>
#include <vector>

namespace {

/// The file's last bytes that are never sent.
constexpr std::size_t UNSENT_TAIL = 64;

/// The most bytes read from a file: a file this long or longer sends DATA_FILE_LIMIT.
constexpr std::size_t READ_LIMIT = DATA_FILE_LIMIT + UNSENT_TAIL;

/// A file that yields fewer bytes than this is refused.
constexpr std::size_t MIN_DATA_FILE = 256;

// The data phase; false when a frame was not confirmed.
bool streamData(std::span<const std::uint8_t> data, TransferProgress progress, void* context)
{
    std::size_t offset = 0;
    while (offset < data.size()) {
        const std::size_t len = std::min(data.size() - offset, MAX_CHUNK);
        const std::size_t written = sendFrame(streamDataFrame(data.subspan(offset, len)));
        // The board's status byte alone does not prove the data went out: a
        // frame of which no data byte was written is a failed frame.
        if (!readStatus() || written <= STREAM_DATA_HEADER) {
            return false;
        }
        // The position moves by the data bytes the port accepted.
        offset += written - STREAM_DATA_HEADER;
        if (progress != nullptr) {
            progress(context, offset, data.size());
        }
    }
    return true;
}

} // namespace

TransferStop transferDataFile(const char* path, TransferProgress progress, void* context)
{
    std::vector<std::uint8_t> buffer(READ_LIMIT);
    const DataFileRead file = readDataFile(path, buffer);
    if (!file.opened) {
        return TransferStop::OPEN_FAILED;
    }
    if (file.bytesRead < MIN_DATA_FILE) {
        return TransferStop::TOO_SHORT;
    }

    if (!exchangeStatus(stopFrame())) {
        return TransferStop::STOP_FAILED;
    }
    if (!exchangeStatus(wpResetFrame())) {
        return TransferStop::WP_RESET_FAILED;
    }
    // All but the tail of the file, by its 64-bit size; a file whose size is
    // not known (a FIFO) ends where its reading ended.
    const std::uint64_t size =
        file.sized ? std::max<std::uint64_t>(file.size, file.bytesRead) : std::uint64_t{file.bytesRead};
    const std::size_t total =
        static_cast<std::size_t>(std::min<std::uint64_t>(size - UNSENT_TAIL, DATA_FILE_LIMIT));
    if (!streamData(std::span(buffer).first(std::min(total, file.bytesRead)), progress, context)) {
        return TransferStop::WRITE_FAILED;
    }
    if (!exchangeStatus(startFrame())) {
        return TransferStop::START_FAILED;
    }
    return TransferStop::COMPLETE;
}
