#include "adpcm/file_status.h"

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace adpcm {

bool isDirectory(const std::string& path)
{
    struct stat status {};
    return ::stat(path.c_str(), &status) == 0 && S_ISDIR(status.st_mode);
}

bool isSameFile(const std::string& first, const std::string& second)
{
    struct stat one {};
    struct stat other {};
    return ::stat(first.c_str(), &one) == 0 && ::stat(second.c_str(), &other) == 0 &&
           one.st_dev == other.st_dev && one.st_ino == other.st_ino;
}

int outputFolderProblem(const std::string& path)
{
    const std::size_t slash = path.find_last_of('/');
    const std::string folder = slash == std::string::npos ? "." : path.substr(0, slash + 1);
    struct stat place {};
    if (::stat(folder.c_str(), &place) != 0) {
        return errno;
    }
    if (!S_ISDIR(place.st_mode)) {
        return ENOTDIR;
    }
    if (::access(folder.c_str(), W_OK | X_OK) != 0) {
        return errno;
    }
    return 0;
}

bool isStandardOutput(const std::string& path)
{
    struct stat named {};
    struct stat standard {};
    return ::stat(path.c_str(), &named) == 0 && fstat(STDOUT_FILENO, &standard) == 0 &&
           named.st_dev == standard.st_dev && named.st_ino == standard.st_ino;
}

namespace {

void onInterrupt(int) {}

} // namespace

void interruptibleReading(bool on)
{
    struct sigaction action {};
    action.sa_handler = on ? onInterrupt : SIG_DFL;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESETHAND; // and no SA_RESTART: the wait ends with EINTR
    sigaction(SIGINT, &action, nullptr);
}

int openForReading(const std::string& path)
{
    return ::open(path.c_str(), O_RDONLY | O_NOCTTY | O_CLOEXEC);
}

} // namespace adpcm
