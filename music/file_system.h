// The platform seam for what the playlist reader asks of the file system:
// what a path names, the names in a folder, a path made absolute with its
// links resolved (to know a playlist met again), and how paths are put
// together and taken apart on this platform. One backend file per platform
// (file_system_posix.cpp, file_system_win32.cpp); paths are UTF-8 on both.
// Reading a file's bytes is readMusicFile's (music_log.h).
//
// Functions: pathKind, listFolder, canonicalPath, isAbsolutePath, joinPath,
// folderOf, fileNameOf.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

enum class PathKind : std::uint8_t {
    MISSING, // nothing of that name, or a folder on the way is missing
    FILE,    // anything that is no folder: a file, a FIFO, a device
    FOLDER,
    UNREADABLE, // the system refused to say (permissions)
};

/// What `path` names; for MISSING and UNREADABLE, the system's words in `error`.
PathKind pathKind(const std::string& path, std::string& error);

/// The names in the folder at `path`, without "." and "..", in no order.
/// False with the system's words in `error` when it cannot be read.
bool listFolder(const std::string& path, std::vector<std::string>& names, std::string& error);

/// `path` made absolute with its links resolved; `path` itself where that fails.
std::string canonicalPath(const std::string& path);

bool isAbsolutePath(std::string_view path);

/// `name` inside `folder` ("" for the working folder).
std::string joinPath(std::string_view folder, std::string_view name);

/// The folder part of `path`: "" for a bare name.
std::string folderOf(std::string_view path);

/// The last part of `path`, after its folder.
std::string_view fileNameOf(std::string_view path);
