// The temporary files of atomic_file.cpp on Windows: a new file of a fresh
// name beside the target through the C runtime (its descriptor is what
// sf_open_fd takes), flushed with _commit, then moved over the target with
// MoveFileEx, which replaces an existing file in one step as rename does
// on POSIX.
#include "adpcm/atomic_file.h"
#include "adpcm/atomic_file_backend.h"

#include "adpcm/win32_error.h"

#include <windows.h>

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>

namespace adpcm {

namespace {

/// Names tried before giving up when others keep turning out to exist.
constexpr int TEMP_NAME_TRIES = 100;

} // namespace

bool createTemp(const std::string& target, TempFile& temp)
{
    // Six hexadecimal digits, as mkstemp's X's, from the process, the time and the try.
    const unsigned long seed = GetCurrentProcessId() * 2654435761UL + GetTickCount();
    for (int attempt = 0; attempt < TEMP_NAME_TRIES; ++attempt) {
        char suffix[16];
        std::snprintf(suffix, sizeof suffix, ".tmp-%06lx", (seed + attempt * 40503UL) & 0xFFFFFFUL);
        const std::string name = target + suffix;
        const int fd = _open(name.c_str(), _O_CREAT | _O_EXCL | _O_WRONLY | _O_BINARY, _S_IREAD | _S_IWRITE);
        if (fd >= 0) {
            temp.fd = fd;
            temp.path = name;
            return true;
        }
        if (errno != EEXIST) {
            return false;
        }
    }
    return false;
}

bool writeTemp(TempFile& temp, std::span<const std::uint8_t> bytes)
{
    // _write takes at most an unsigned int at a time.
    constexpr std::size_t CHUNK = 1U << 20;
    std::size_t done = 0;
    while (done < bytes.size()) {
        const std::size_t wanted = bytes.size() - done < CHUNK ? bytes.size() - done : CHUNK;
        const int written = _write(temp.fd, bytes.data() + done, static_cast<unsigned int>(wanted));
        if (written < 0) {
            return false;
        }
        if (written == 0) {
            errno = EIO;
            return false;
        }
        done += static_cast<std::size_t>(written);
    }
    return true;
}

bool commitTemp(TempFile& temp, const std::string& target)
{
    if (_commit(temp.fd) != 0) {
        return false;
    }
    const int fd = temp.fd;
    temp.fd = -1;
    if (_close(fd) != 0) {
        return false;
    }
    if (!MoveFileExA(temp.path.c_str(), target.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        errno = errnoOfWin32(GetLastError());
        return false;
    }
    return true;
}

void discardTemp(TempFile& temp)
{
    if (temp.fd >= 0) {
        _close(temp.fd);
    }
    DeleteFileA(temp.path.c_str());
    temp.fd = -1;
}

std::string replacedFile(const std::string& path)
{
    // A name not yet taken, or a file, is replaced whole; a device (NUL,
    // CON, a COM port) or a pipe is written into as it is.
    const DWORD attributes = GetFileAttributesA(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        const DWORD failure = GetLastError();
        return failure == ERROR_FILE_NOT_FOUND || failure == ERROR_PATH_NOT_FOUND ? path : std::string{};
    }
    return (attributes & FILE_ATTRIBUTE_DEVICE) != 0 ? std::string{} : path;
}

bool writeInPlace(const std::string& path, std::span<const std::uint8_t> bytes)
{
    const int fd = _open(path.c_str(), _O_WRONLY | _O_BINARY);
    if (fd < 0) {
        return false;
    }
    TempFile place;
    place.fd = fd;
    const bool written = writeTemp(place, bytes);
    const int saved = errno;
    _close(fd);
    errno = saved;
    return written;
}

} // namespace adpcm
