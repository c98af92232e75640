// What the encode/decode program asks of the file system before it does any
// work, so that a run bound to fail at its output fails before it reads and
// encodes anything. One backend file per platform answers it
// (file_status_posix.cpp, file_status_win32.cpp).
//
// Functions: isDirectory, isSameFile, outputFolderProblem, isStandardOutput,
// interruptibleReading, openForReading.
#pragma once

#include <string>

namespace adpcm {

/// Whether `path` names an existing directory.
bool isDirectory(const std::string& path);

/// Whether `first` and `second` both exist and are one file, under any names
/// (the same name, another spelling of it, a hard link).
bool isSameFile(const std::string& first, const std::string& second);

/// Whether a new file can be made where `path` names one: 0 when its folder
/// exists and takes new files, else the errno value that says why not
/// (ENOENT, ENOTDIR, EACCES, ...), for strerror.
int outputFolderProblem(const std::string& path);

/// Whether `path` names the file the program's standard output goes to, so
/// that the report lines must go to standard error instead.
bool isStandardOutput(const std::string& path);

/// While `on`, Ctrl-C ends a wait for a FIFO's writer or on a slow pipe as a
/// failed read (and the default comes back at once, so a second Ctrl-C ends
/// the program); with `on` false, Ctrl-C ends the program as usual.
void interruptibleReading(bool on);

/// Opens `path` once for reading, in binary, as `cat` does (a FIFO waits in
/// the open for its writer): a C runtime descriptor, or -1 with errno set.
int openForReading(const std::string& path);

} // namespace adpcm
