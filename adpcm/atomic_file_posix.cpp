// The platform's part of atomic_file.cpp on POSIX: mkstemp beside the
// target, fsync, rename; symlinks followed to the file they lead to; devices,
// FIFOs and standard output written into as they are.
#include "adpcm/atomic_file.h"
#include "adpcm/atomic_file_backend.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace adpcm {

namespace {

/// The most links followed from an output's name to its file, as the system's own limit does.
constexpr int MAX_LINKS = 40;

bool isStandardOutput(const struct stat& status)
{
    struct stat output {};
    return fstat(STDOUT_FILENO, &output) == 0 && output.st_dev == status.st_dev && output.st_ino == status.st_ino;
}

/// A link's target, taken from the link's own folder when it is relative.
std::string besideLink(const std::string& link, const std::string& target)
{
    const std::size_t slash = link.find_last_of('/');
    if (target.starts_with('/') || slash == std::string::npos) {
        return target;
    }
    return link.substr(0, slash + 1) + target;
}

bool writeAll(int fd, std::span<const std::uint8_t> bytes)
{
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t written = write(fd, bytes.data() + done, bytes.size() - done);
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

} // namespace

std::string replacedFile(const std::string& path)
{
    // What the name finally leads to decides; a name whose links lead
    // nowhere yet is created where the last of them points.
    struct stat status {};
    if (::stat(path.c_str(), &status) == 0) {
        if (!S_ISREG(status.st_mode) || isStandardOutput(status)) {
            return {};
        }
    }
    // A name that cannot be looked at (no such file, a file where a folder
    // should be, no permission) is taken as a new file: the check of its
    // folder, and the temporary file's creation, say what is wrong.
    std::string name = path;
    for (int links = 0; links < MAX_LINKS; ++links) {
        if (::lstat(name.c_str(), &status) != 0 || !S_ISLNK(status.st_mode)) {
            return name;
        }
        char target[PATH_MAX];
        const ssize_t length = readlink(name.c_str(), target, sizeof target);
        if (length <= 0 || static_cast<std::size_t>(length) >= sizeof target) {
            return {};
        }
        name = besideLink(name, std::string(target, static_cast<std::size_t>(length)));
    }
    return {};
}

bool createTemp(const std::string& target, TempFile& temp)
{
    std::vector<char> name(target.begin(), target.end());
    const char suffix[] = ".tmp-XXXXXX";
    name.insert(name.end(), suffix, suffix + sizeof suffix);
    const int fd = mkstemp(name.data());
    if (fd < 0) {
        return false;
    }
    // mkstemp makes the file private to its owner. A file replaced keeps its
    // permissions (and its owner, where we may give it); a new one gets those
    // an ordinary new file would get.
    struct stat replaced {};
    if (::stat(target.c_str(), &replaced) == 0) {
        fchmod(fd, replaced.st_mode & 07777);
        [[maybe_unused]] const int ignored = fchown(fd, replaced.st_uid, replaced.st_gid);
    } else {
        const mode_t mask = umask(0);
        umask(mask);
        fchmod(fd, 0666 & ~mask);
    }
    temp.fd = fd;
    temp.path = name.data();
    return true;
}

bool writeTemp(TempFile& temp, std::span<const std::uint8_t> bytes)
{
    return writeAll(temp.fd, bytes);
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

bool writeInPlace(const std::string& path, std::span<const std::uint8_t> bytes)
{
    struct stat status {};
    const bool standardOutput = ::stat(path.c_str(), &status) == 0 && isStandardOutput(status);
    const int fd = standardOutput ? STDOUT_FILENO : open(path.c_str(), O_WRONLY | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) {
        return false;
    }
    if (!writeAll(fd, bytes)) {
        const int saved = errno;
        if (!standardOutput) {
            close(fd);
        }
        errno = saved;
        return false;
    }
    return standardOutput || close(fd) == 0;
}

} // namespace adpcm
