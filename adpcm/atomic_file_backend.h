// The platform's part of writing a file whole or not at all: a temporary
// file beside the target, written, flushed to the disk and renamed over the
// target. atomic_file.cpp holds the rest; the build compiles one backend
// (atomic_file_posix.cpp or atomic_file_win32.cpp). A function that fails
// leaves errno saying why, for strerror.
//
// Functions: createTemp, writeTemp, commitTemp, discardTemp.
#pragma once

#include <cstdint>
#include <span>
#include <string>

namespace adpcm {

/// A temporary file open for writing: its C runtime descriptor (what
/// sf_open_fd takes) and its name.
struct TempFile {
    int fd = -1;
    std::string path;
};

/// Makes a new file beside `target`, so that the final rename stays within
/// one file system and cannot fail half-way.
bool createTemp(const std::string& target, TempFile& temp);

/// Writes all of `bytes` at the file's position.
bool writeTemp(TempFile& temp, std::span<const std::uint8_t> bytes);

/// Flushes the file to the disk, closes it and renames it over `target`.
/// After a failure the file is still there for discardTemp.
bool commitTemp(TempFile& temp, const std::string& target);

/// Closes the file when it is open and removes it.
void discardTemp(TempFile& temp);

} // namespace adpcm
