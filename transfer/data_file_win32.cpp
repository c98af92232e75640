// The data file of `t` through the Win32 file API: opened for reading with
// others free to read and write it, its size taken, then read from the start.
#include "transfer/data_file.h"

#include <windows.h>

DataFileRead readDataFile(const char* path, std::span<std::uint8_t> buffer)
{
    DataFileRead result;
    // A directory cannot be opened this way (that would take backup
    // semantics), so it is no data file, as elsewhere.
    const HANDLE file =
        CreateFileA(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                    FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return result;
    }
    result.opened = true;
    // Only a disk file has a size; a pipe or a device is read as far as it goes.
    if (GetFileType(file) == FILE_TYPE_DISK) {
        LARGE_INTEGER size{};
        if (GetFileSizeEx(file, &size) && size.QuadPart >= 0) {
            result.sized = true;
            result.size = static_cast<std::uint64_t>(size.QuadPart);
        }
    }
    while (result.bytesRead < buffer.size()) {
        DWORD got = 0;
        const DWORD wanted = static_cast<DWORD>(buffer.size() - result.bytesRead);
        if (!ReadFile(file, buffer.data() + result.bytesRead, wanted, &got, nullptr) || got == 0) {
            break;
        }
        result.bytesRead += got;
    }
    CloseHandle(file);
    return result;
}
