#include "adpcm/atomic_file.h"

#include "adpcm/memory_sound.h"

#include <sndfile.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace adpcm {

namespace {

/// The most links followed from an output's name to its file, as the system's own limit does.
constexpr int MAX_LINKS = 40;

struct TempFile {
    int fd = -1;
    std::string path;
};

std::string osError(const std::string& what)
{
    return what + ": " + std::strerror(errno);
}

bool isStandardOutput(const struct stat& status)
{
    struct stat output {};
    return fstat(STDOUT_FILENO, &output) == 0 && output.st_dev == status.st_dev &&
           output.st_ino == status.st_ino;
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

/// A new file beside `target`, so that the final rename stays within one
/// file system and cannot fail half-way. `shown` is the name in messages.
bool createTemp(const std::string& target, const std::string& shown, TempFile& temp, std::string& error)
{
    std::vector<char> name(target.begin(), target.end());
    const char suffix[] = ".tmp-XXXXXX";
    name.insert(name.end(), suffix, suffix + sizeof suffix);
    const int fd = mkstemp(name.data());
    if (fd < 0) {
        error = osError("cannot write " + shown);
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

void discardTemp(TempFile& temp)
{
    if (temp.fd >= 0) {
        close(temp.fd);
    }
    unlink(temp.path.c_str());
    temp.fd = -1;
}

/// Flushes the temporary file to the disk and renames it over `target`.
bool commitTemp(TempFile& temp, const std::string& target, const std::string& shown, std::string& error)
{
    if (fsync(temp.fd) != 0) {
        error = osError("cannot write " + shown);
        discardTemp(temp);
        return false;
    }
    const int fd = temp.fd;
    temp.fd = -1;
    if (close(fd) != 0) {
        error = osError("cannot write " + shown);
        discardTemp(temp);
        return false;
    }
    if (std::rename(temp.path.c_str(), target.c_str()) != 0) {
        error = osError("cannot write " + shown);
        discardTemp(temp);
        return false;
    }
    return true;
}

bool writeAll(int fd, std::span<const std::uint8_t> bytes)
{
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t written = write(fd, bytes.data() + done, bytes.size() - done);
        if (written < 0 && errno == EINTR) {
            continue;
        }
        if (written <= 0) {
            return false;
        }
        done += static_cast<std::size_t>(written);
    }
    return true;
}

/// Writes into what `path` names as it is: standard output through the
/// descriptor the program was given, anything else opened without creating
/// or truncating it (a FIFO's open waits for its reader, as a shell's does).
bool writeInPlace(const std::string& path, std::span<const std::uint8_t> bytes, std::string& error)
{
    struct stat status {};
    const bool standardOutput = ::stat(path.c_str(), &status) == 0 && isStandardOutput(status);
    const int fd = standardOutput ? STDOUT_FILENO : open(path.c_str(), O_WRONLY | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) {
        error = osError("cannot write " + path);
        return false;
    }
    if (!writeAll(fd, bytes)) {
        error = osError("cannot write " + path);
        if (!standardOutput) {
            close(fd);
        }
        return false;
    }
    if (!standardOutput && close(fd) != 0) {
        error = osError("cannot write " + path);
        return false;
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
    } else if (errno != ENOENT) {
        return {}; // the open in place says what is wrong
    }
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

bool writeFileAtomically(const std::string& path, std::span<const std::uint8_t> bytes, std::string& error)
{
    const std::string target = replacedFile(path);
    if (target.empty()) {
        return writeInPlace(path, bytes, error);
    }
    TempFile temp;
    if (!createTemp(target, path, temp, error)) {
        return false;
    }
    if (!writeAll(temp.fd, bytes)) {
        error = osError("cannot write " + path);
        discardTemp(temp);
        return false;
    }
    return commitTemp(temp, target, path, error);
}

bool writeWavAtomically(const std::string& path, std::span<const std::int16_t> frames, int channels, int rate,
                        std::string& error)
{
    // Built in memory first: the header's sizes are written last, which a
    // device or a FIFO could not take.
    SF_INFO info{};
    info.samplerate = rate;
    info.channels = channels;
    info.format = SF_FORMAT_WAV | SF_FORMAT_PCM_16;
    MemorySound sound;
    SF_VIRTUAL_IO io = memorySoundIo();
    SNDFILE* file = sf_open_virtual(&io, SFM_WRITE, &info, &sound);
    if (file == nullptr) {
        error = "cannot write " + path + ": " + sf_strerror(nullptr);
        return false;
    }
    const auto frameCount = static_cast<sf_count_t>(frames.size() / static_cast<std::size_t>(channels));
    const sf_count_t written = sf_writef_short(file, frames.data(), frameCount);
    if (written != frameCount) {
        error = "cannot write " + path + ": " + sf_strerror(file);
        sf_close(file);
        return false;
    }
    if (sf_close(file) != 0) {
        error = "cannot write " + path + ": the WAV header could not be completed";
        return false;
    }
    return writeFileAtomically(path, sound.bytes, error);
}

} // namespace adpcm
