#include "adpcm/atomic_file.h"

#include "adpcm/atomic_file_backend.h"
#include "adpcm/memory_sound.h"

#include <sndfile.h>

#include <cerrno>
#include <cstring>

namespace adpcm {

namespace {

/// The failure that errno names, captured before anything else can change it.
std::string osError(const std::string& path)
{
    return "cannot write " + path + ": " + std::strerror(errno);
}

} // namespace

bool writeFileAtomically(const std::string& path, std::span<const std::uint8_t> bytes, std::string& error)
{
    const std::string target = replacedFile(path);
    if (target.empty()) {
        if (!writeInPlace(path, bytes)) {
            error = osError(path);
            return false;
        }
        return true;
    }
    TempFile temp;
    if (!createTemp(target, temp)) {
        error = osError(path);
        return false;
    }
    if (!writeTemp(temp, bytes) || !commitTemp(temp, target)) {
        error = osError(path);
        discardTemp(temp);
        return false;
    }
    return true;
}

bool openWavAtomically(const std::string& path, int channels, int rate, TempWav& wav, std::string& error)
{
    const std::string target = replacedFile(path);
    if (target.empty()) {
        error = "cannot write " + path + ": not a regular file";
        return false;
    }
    TempFile temp;
    if (!createTemp(target, temp)) {
        error = osError(path);
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
    wav = TempWav{target, temp.path, temp.fd, file};
    return true;
}

bool commitWav(TempWav& wav, std::string& error)
{
    TempFile temp{wav.fd, wav.tempPath};
    const int closed = sf_close(wav.file);
    wav.file = nullptr;
    wav.fd = -1;
    wav.tempPath.clear();
    if (closed != 0) {
        error = "cannot write " + wav.path + ": the WAV header could not be completed";
        discardTemp(temp);
        return false;
    }
    if (!commitTemp(temp, wav.path)) {
        error = osError(wav.path);
        discardTemp(temp);
        return false;
    }
    return true;
}

void discardWav(TempWav& wav)
{
    if (wav.file != nullptr) {
        sf_close(wav.file);
        wav.file = nullptr;
    }
    TempFile temp{wav.fd, wav.tempPath};
    if (!temp.path.empty()) {
        discardTemp(temp);
    }
    wav.fd = -1;
    wav.tempPath.clear();
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
