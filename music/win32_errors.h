// For the music library's Win32 backends only: a system error code worded
// as the C library words the errno value nearest to it, so that a refusal
// reads on Windows as it does on Linux ("No such file or directory").
//
// Functions: errnoOfWin32Error, win32ErrorText.
#pragma once

#include <cerrno>
#include <cstring>
#include <string>

#include <windows.h>

inline int errnoOfWin32Error(DWORD code)
{
    switch (code) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_DRIVE:
    case ERROR_INVALID_NAME:
    case ERROR_BAD_NETPATH:
    case ERROR_BAD_NET_NAME:
        return ENOENT;
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION:
        return EACCES;
    case ERROR_DIRECTORY:
        return ENOTDIR;
    default:
        return EIO;
    }
}

inline std::string win32ErrorText(DWORD code)
{
    return std::strerror(errnoOfWin32Error(code));
}
