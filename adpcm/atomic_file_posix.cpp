// The temporary files of atomic_file.cpp on POSIX: mkstemp beside the
// target, fsync, rename.
#include "adpcm/atomic_file_backend.h"

#include <cerrno>
#include <cstdio>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace adpcm {

bool createTemp(const std::string& target, TempFile& temp)
{
    std::vector<char> name(target.begin(), target.end());
    const char suffix[] = ".tmp-XXXXXX";
    name.insert(name.end(), suffix, suffix + sizeof suffix);
    const int fd = mkstemp(name.data());
    if (fd < 0) {
        return false;
    }
    // mkstemp makes the file private to its owner; give it the permissions
    // that an ordinary new file would get.
    const mode_t mask = umask(0);
    umask(mask);
    fchmod(fd, 0666 & ~mask);
    temp.fd = fd;
    temp.path = name.data();
    return true;
}

bool writeTemp(TempFile& temp, std::span<const std::uint8_t> bytes)
{
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t written = write(temp.fd, bytes.data() + done, bytes.size() - done);
        if (written < 0 && errno == EINTR) {
            continue;
        }
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
    if (fsync(temp.fd) != 0) {
        return false;
    }
    const int fd = temp.fd;
    temp.fd = -1;
    if (close(fd) != 0) {
        return false;
    }
    return std::rename(temp.path.c_str(), target.c_str()) == 0;
}

void discardTemp(TempFile& temp)
{
    if (temp.fd >= 0) {
        close(temp.fd);
    }
    unlink(temp.path.c_str());
    temp.fd = -1;
}

} // namespace adpcm
