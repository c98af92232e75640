// The platform seam for reading a file whole: the music logs and the
// playlists are read into memory before anything is sent. One backend file
// per platform: the C library's files on POSIX (file_bytes_posix.cpp), the
// Win32 file functions on Windows (file_bytes_win32.cpp), where a UTF-8 name
// is opened by its wide characters, whatever the process's code page.
//
// Functions: readFileBytes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

enum class FileRead : std::uint8_t {
    DONE,      // every byte is in `bytes`
    TOO_LARGE, // the file holds more than the limit
    FAILED,    // the system refused: its words are in `error`
};

/// Reads the file at `path` (UTF-8) into `bytes`, when it holds at most
/// `limit` bytes. A folder is refused as it is on Linux: "Is a directory".
FileRead readFileBytes(const char* path, std::size_t limit, std::vector<std::uint8_t>& bytes,
                       std::string& error);
