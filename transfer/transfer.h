// The data file transfer behind `t FILE`: four phases, each confirmed by the
// board with a status byte: stop (OP_STOP), wp reset (OP_WP_RESET), the data
// in OP_STREAM_DATA frames of at most 60 bytes, and start (OP_START). At most
// 32704 bytes are sent from the file's start; the file's last 64 bytes never
// are. Nothing here prints: the transfer returns where it stopped, and
// progress goes to a callback.
//
// Functions: transferDataFile.
#pragma once

#include <cstddef>
#include <cstdint>

/// The file buffer's size: the most bytes one transfer sends.
inline constexpr std::size_t DATA_FILE_LIMIT = 0x7FC0;

/// Where a transfer stopped. Phases after the one that failed are not sent.
enum class TransferStop : std::uint8_t {
    COMPLETE,        // every phase confirmed
    OPEN_FAILED,     // the file cannot be opened: nothing sent
    TOO_SHORT,       // the file yields fewer than 256 bytes: nothing sent
    STOP_FAILED,     // OP_STOP was not confirmed
    WP_RESET_FAILED, // OP_WP_RESET was not confirmed
    WRITE_FAILED,    // a data frame was not confirmed, or carried no data byte
    START_FAILED,    // OP_START was not confirmed
};

/// Called after each data frame the board confirmed: `sent` of `total` bytes.
using TransferProgress = void (*)(void* context, std::size_t sent, std::size_t total);

/// `t FILE`: sends the file and starts the board on it. Needs the link connected.
TransferStop transferDataFile(const char* path, TransferProgress progress = nullptr, void* context = nullptr);
