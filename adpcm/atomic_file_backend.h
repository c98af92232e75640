// The platform's part of writing a file whole or not at all: a temporary
// file beside the target, written, flushed to the disk and renamed over the
// target; and, for what is not a regular file (a device, a FIFO, standard
// output), the write in place. atomic_file.cpp holds the rest, and the
// backend also defines replacedFile (atomic_file.h); the build compiles one backend
// (atomic_file_posix.cpp or atomic_file_win32.cpp). A function that fails
// leaves errno saying why, for strerror.
//
// Functions: createTemp, writeTemp, commitTemp, discardTemp, writeInPlace.
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
/// one file system and cannot fail half-way. It gets the permissions (and,
/// where the system lets us, the owner) of the file it will replace, or those
/// of an ordinary new file.
bool createTemp(const std::string& target, TempFile& temp);

/// Writes all of `bytes` at the file's position.
bool writeTemp(TempFile& temp, std::span<const std::uint8_t> bytes);

/// Flushes the file to the disk, closes it and renames it over `target`.
/// After a failure the file is still there for discardTemp.
bool commitTemp(TempFile& temp, const std::string& target);

/// Closes the file when it is open and removes it.
void discardTemp(TempFile& temp);

/// Writes all of `bytes` into what `path` names as it is, without creating
/// or truncating it: standard output through the descriptor the program was
/// given, anything else opened for writing (a FIFO's open waits for its
/// reader, as a shell's does).
bool writeInPlace(const std::string& path, std::span<const std::uint8_t> bytes);

} // namespace adpcm
