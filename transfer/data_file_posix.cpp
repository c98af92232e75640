#include "transfer/data_file.h"

#include <cerrno>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

DataFileRead readDataFile(const char* path, std::span<std::uint8_t> buffer)
{
    DataFileRead result;
    // O_NONBLOCK: a FIFO with no writer must not hang the open; it then reads
    // as empty. Blocking is restored for the reads themselves.
    const int fd = open(path, O_RDONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        return result;
    }
    struct stat info {};
    // A directory is no data file: it cannot be opened as one.
    if (fstat(fd, &info) != 0 || S_ISDIR(info.st_mode)) {
        close(fd);
        return result;
    }
    const int flags = fcntl(fd, F_GETFL);
    if (flags >= 0) {
        fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
    }
    result.opened = true;
    // Only a regular file has a size; a FIFO or a device is read as far as it goes.
    result.sized = S_ISREG(info.st_mode);
    result.size = result.sized ? static_cast<std::uint64_t>(info.st_size) : 0;
    while (result.bytesRead < buffer.size()) {
        const ssize_t n = read(fd, buffer.data() + result.bytesRead, buffer.size() - result.bytesRead);
        if (n > 0) {
            result.bytesRead += static_cast<std::size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) {
            continue;
        }
        break;
    }
    close(fd);
    return result;
}
