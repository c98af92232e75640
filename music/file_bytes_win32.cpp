// Reading a file whole through the Win32 file functions. The name is UTF-8
// (the command line's, in the manifest's code page, or a playlist's) and is
// opened by its wide characters; a name that is no UTF-8 came from a system
// that kept its ANSI code page for the command line, and opens as it came.
// The system's refusals are worded as the C library words the errno value
// nearest to them, so that a message reads as it does on Linux.
#include "music/file_bytes.h"

#include "music/win32_errors.h"

#include <cerrno>
#include <cstring>
#include <string>

#include <windows.h>

namespace {

constexpr DWORD CHUNK_BYTES = 65536;

// The name's wide characters; empty when it is no UTF-8.
std::wstring wideName(const char* path)
{
    const int n = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, path, -1, nullptr, 0);
    if (n <= 1) {
        return {};
    }
    std::wstring name(static_cast<std::size_t>(n), L'\0');
    MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, path, -1, name.data(), n);
    return name;
}

HANDLE openForReading(const char* path, const std::wstring& wide)
{
    const DWORD share = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
    return wide.empty() ? CreateFileA(path, GENERIC_READ, share, nullptr, OPEN_EXISTING,
                                      FILE_ATTRIBUTE_NORMAL, nullptr)
                        : CreateFileW(wide.c_str(), GENERIC_READ, share, nullptr, OPEN_EXISTING,
                                      FILE_ATTRIBUTE_NORMAL, nullptr);
}

bool isFolder(const char* path, const std::wstring& wide)
{
    const DWORD attributes = wide.empty() ? GetFileAttributesA(path) : GetFileAttributesW(wide.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

} // namespace

FileRead readFileBytes(const char* path, std::size_t limit, std::vector<std::uint8_t>& bytes,
                       std::string& error)
{
    const std::wstring wide = wideName(path);
    const HANDLE file = openForReading(path, wide);
    if (file == INVALID_HANDLE_VALUE) {
        const DWORD code = GetLastError();
        // A folder does not open as a file: Windows says only "access denied".
        error = code == ERROR_ACCESS_DENIED && isFolder(path, wide) ? std::strerror(EISDIR) : win32ErrorText(code);
        return FileRead::FAILED;
    }
    bytes.clear();
    std::vector<std::uint8_t> chunk(CHUNK_BYTES);
    FileRead result = FileRead::DONE;
    while (true) {
        DWORD n = 0;
        if (!ReadFile(file, chunk.data(), CHUNK_BYTES, &n, nullptr)) {
            error = win32ErrorText(GetLastError());
            result = FileRead::FAILED;
            break;
        }
        if (n == 0) {
            break;
        }
        bytes.insert(bytes.end(), chunk.begin(), chunk.begin() + static_cast<std::ptrdiff_t>(n));
        if (bytes.size() > limit) {
            result = FileRead::TOO_LARGE;
            break;
        }
    }
    CloseHandle(file);
    return result;
}
