// The platform seam for the data file of `t`: the file is opened for reading
// with others free to read and write it, its size taken, and up to a buffer's
// worth read from its start. One backend file per platform.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

struct DataFileRead {
    bool opened = false;    // false: the file could not be opened
    bool sized = false;     // a regular file, whose size is known
    std::uint64_t size = 0; // the file's size in bytes, when sized
    std::size_t bytesRead = 0;
};

/// Reads up to `buffer.size()` bytes from the start of the file at `path`.
DataFileRead readDataFile(const char* path, std::span<std::uint8_t> buffer);
