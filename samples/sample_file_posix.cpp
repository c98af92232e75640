#include "samples/sample_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

std::FILE* openSampleFile(const char* path)
{
    // A FIFO is opened as `cat` opens it: the open waits for its writer, and
    // Ctrl-C (whose handler restarts no call) ends the wait, and the load, as
    // a failed read. Anything else opens at once: a plain open of a serial
    // device waits for its carrier, for ever if none comes.
    struct stat named {};
    const bool fifo = stat(path, &named) == 0 && S_ISFIFO(named.st_mode);
    const int fd = open(path, O_RDONLY | O_NOCTTY | O_CLOEXEC | (fifo ? 0 : O_NONBLOCK));
    if (fd < 0) {
        return nullptr;
    }
    // Blocking again for the reads, so a device or a FIFO whose writer is
    // slow still delivers what it writes.
    const int flags = fcntl(fd, F_GETFL);
    if (flags >= 0 && (flags & O_NONBLOCK) != 0) {
        fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
    }
    std::FILE* file = fdopen(fd, "rb");
    if (file == nullptr) {
        close(fd);
    }
    return file;
}
