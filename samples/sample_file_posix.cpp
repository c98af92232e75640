#include "samples/sample_file.h"

#include <fcntl.h>
#include <unistd.h>

std::FILE* openSampleFile(const char* path)
{
    // A plain fopen of a FIFO waits for a writer, forever if none comes.
    const int fd = open(path, O_RDONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        return nullptr;
    }
    // Blocking again for the reads, so a FIFO whose writer is slow still
    // delivers what it writes.
    const int flags = fcntl(fd, F_GETFL);
    if (flags >= 0) {
        fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
    }
    std::FILE* file = fdopen(fd, "rb");
    if (file == nullptr) {
        close(fd);
    }
    return file;
}
