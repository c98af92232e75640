// The data file transfer behind `t FILE`: four phases, each confirmed by the
// board with a status byte: stop (OP_STOP), wp reset (OP_WP_RESET), the data
// in OP_STREAM_DATA frames of at most 60 bytes, and start (OP_START). At most
// 32704 bytes are sent from the file's start; the file's last 64 bytes never are.
#pragma once

#include "link/device_link.h"

#include <cstddef>
#include <cstdint>

/// The file buffer's size: the most bytes one transfer sends.
inline constexpr std::size_t DATA_FILE_LIMIT = 0x7FC0;

/// `t FILE`: sends the file and starts the board on it, drawing progress with
/// `showProgress`; reports on standard output.
void transferDataFile(const char* path, ProgressDisplay showProgress);
