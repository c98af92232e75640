#include "adpcm/atomic_file.h"

#include <sndfile.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace adpcm {

namespace {

struct TempFile {
    int fd = -1;
    std::string path;
};

std::string osError(const std::string& what)
{
    return what + ": " + std::strerror(errno);
}

/// A new file beside `target`, so that the final rename stays within one
/// file system and cannot fail half-way.
bool createTemp(const std::string& target, TempFile& temp, std::string& error)
{
    std::vector<char> name(target.begin(), target.end());
    const char suffix[] = ".tmp-XXXXXX";
    name.insert(name.end(), suffix, suffix + sizeof suffix);
    const int fd = mkstemp(name.data());
    if (fd < 0) {
        error = osError("cannot write " + target);
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

void discardTemp(TempFile& temp)
{
    if (temp.fd >= 0) {
        close(temp.fd);
    }
    unlink(temp.path.c_str());
    temp.fd = -1;
}

/// Flushes the temporary file to the disk and renames it over `target`.
bool commitTemp(TempFile& temp, const std::string& target, std::string& error)
{
    if (fsync(temp.fd) != 0) {
        error = osError("cannot write " + target);
        discardTemp(temp);
        return false;
    }
    const int fd = temp.fd;
    temp.fd = -1;
    if (close(fd) != 0) {
        error = osError("cannot write " + target);
        discardTemp(temp);
        return false;
    }
    if (std::rename(temp.path.c_str(), target.c_str()) != 0) {
        error = osError("cannot write " + target);
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

} // namespace

bool writeFileAtomically(const std::string& path, std::span<const std::uint8_t> bytes, std::string& error)
{
    TempFile temp;
    if (!createTemp(path, temp, error)) {
        return false;
    }
    if (!writeAll(temp.fd, bytes)) {
        error = osError("cannot write " + path);
        discardTemp(temp);
        return false;
    }
    return commitTemp(temp, path, error);
}

bool writeWavAtomically(const std::string& path, std::span<const std::int16_t> frames, int channels, int rate,
                        std::string& error)
{
    TempFile temp;
    if (!createTemp(path, temp, error)) {
        return false;
    }
    SF_INFO info{};
    info.samplerate = rate;
    info.channels = channels;
    info.format = SF_FORMAT_WAV | SF_FORMAT_PCM_16;
    SNDFILE* file = sf_open_fd(temp.fd, SFM_WRITE, &info, SF_FALSE);
    if (file == nullptr) {
        error = "cannot write " + path + ": " + sf_strerror(nullptr);
        discardTemp(temp);
        return false;
    }
    const auto frameCount = static_cast<sf_count_t>(frames.size() / static_cast<std::size_t>(channels));
    const sf_count_t written = sf_writef_short(file, frames.data(), frameCount);
    if (written != frameCount) {
        error = "cannot write " + path + ": " + sf_strerror(file);
        sf_close(file);
        discardTemp(temp);
        return false;
    }
    if (sf_close(file) != 0) {
        error = "cannot write " + path + ": the WAV header could not be completed";
        discardTemp(temp);
        return false;
    }
    return commitTemp(temp, path, error);
}

} // namespace adpcm
