#include "transfer/data_file.h"

#include <cerrno>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

DataFileRead readDataFile(const char* path, std::span<std::uint8_t> buffer)
{
    DataFileRead result;
    // A FIFO is opened as `cat` opens it: the open waits for its writer.
    // Ctrl-C (whose handler restarts no call) ends that wait, or a read that
    // waits for a slow writer, as a failed read: the file is then taken as
    // opened with nothing read. Anything else opens at once (O_NONBLOCK: a
    // serial device would wait for its carrier), blocking again for the reads.
    struct stat named {};
    const bool fifo = stat(path, &named) == 0 && S_ISFIFO(named.st_mode);
    const int fd = open(path, O_RDONLY | O_NOCTTY | O_CLOEXEC | (fifo ? 0 : O_NONBLOCK));
    if (fd < 0) {
        result.opened = errno == EINTR;
        return result;
    }
    struct stat info {};
    // A directory is no data file: it cannot be opened as one.
    if (fstat(fd, &info) != 0 || S_ISDIR(info.st_mode)) {
        close(fd);
        return result;
    }
    const int flags = fcntl(fd, F_GETFL);
    if (flags >= 0 && (flags & O_NONBLOCK) != 0) {
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
            result.bytesRead = 0;
        }
        break;
    }
    close(fd);
    return result;
}
