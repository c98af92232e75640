#include "adpcm/audio_input.h"

#include "adpcm/file_status.h"
#include "adpcm/memory_sound.h"

#include <samplerate.h>
#include <sndfile.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>
#include <memory>
#include <sys/stat.h>
#include <unistd.h>

namespace adpcm {

namespace {

std::string formatName(SNDFILE* file, int format)
{
    SF_FORMAT_INFO info{};
    info.format = format;
    if (sf_command(file, SFC_GET_FORMAT_INFO, &info, sizeof info) != 0 || info.name == nullptr) {
        return "unknown";
    }
    return info.name;
}

std::string readError(const std::string& path, int code)
{
    return "cannot read " + path + ": " + (code == EINTR ? "interrupted" : std::strerror(code));
}

/// Opens `path` once for reading, as `cat` does: a FIFO waits in the open for
/// its writer, and a caught signal ends that wait (EINTR) as a failed read.
bool openInput(const std::string& path, int& fd, struct stat& status, std::string& error)
{
    // Asked first: Windows refuses to open a directory at all, with words of its own.
    if (isDirectory(path)) {
        error = path + " is a directory";
        return false;
    }
    fd = openForReading(path);
    if (fd < 0) {
        error = readError(path, errno);
        return false;
    }
    if (fstat(fd, &status) != 0) {
        error = readError(path, errno);
        ::close(fd);
        return false;
    }
    // A directory opens for reading and then reads as nothing.
    if (S_ISDIR(status.st_mode)) {
        error = path + " is a directory";
        ::close(fd);
        return false;
    }
    return true;
}

/// Reads from `fd` until its end or `limit` bytes.
bool readAll(int fd, const std::string& path, std::size_t limit, std::vector<std::uint8_t>& bytes,
             std::string& error)
{
    constexpr std::size_t PIECE = 65536;
    bytes.clear();
    while (bytes.size() < limit) {
        const std::size_t old = bytes.size();
        bytes.resize(std::min(limit, old + PIECE));
        const ssize_t got = ::read(fd, bytes.data() + old, bytes.size() - old);
        if (got <= 0) {
            bytes.resize(old);
            if (got == 0) {
                return true;
            }
            error = readError(path, errno);
            return false;
        }
        bytes.resize(old + static_cast<std::size_t>(got));
    }
    return true;
}

/// Opens a whole sound file held in memory, or nullptr when it is no sound libsndfile knows.
SNDFILE* openMemory(MemorySound& sound, SF_INFO& info)
{
    SF_VIRTUAL_IO io = memorySoundIo();
    return sf_open_virtual(&io, SFM_READ, &info, &sound);
}

void describe(SNDFILE* file, const SF_INFO& info, AudioSource& source)
{
    source.handle = file;
    source.format = formatName(file, info.format & SF_FORMAT_TYPEMASK) + ", " +
                    formatName(file, info.format & SF_FORMAT_SUBMASK);
    source.rate = info.samplerate;
    source.channels = info.channels;
    source.frames = info.frames;
}

} // namespace

bool readInput(const std::string& path, std::size_t limit, std::vector<std::uint8_t>& bytes,
               std::string& error)
{
    int fd = -1;
    struct stat status {};
    if (!openInput(path, fd, status, error)) {
        return false;
    }
    const bool read = readAll(fd, path, limit, bytes, error);
    ::close(fd);
    return read;
}

bool openAudio(const std::string& path, AudioSource& source, std::string& error)
{
    // Opened once: libsndfile reports a missing file and a file it does not
    // understand alike, and the two need different answers; and a pipe or a
    // FIFO opened a second time no longer holds the bytes the first read.
    int fd = -1;
    struct stat status {};
    if (!openInput(path, fd, status, error)) {
        return false;
    }
    SF_INFO info{};
    SNDFILE* file = nullptr;
    if (S_ISREG(status.st_mode)) {
        if (status.st_size == 0) {
            ::close(fd);
            error = path + " is empty";
            return false;
        }
        file = sf_open_fd(fd, SFM_READ, &info, SF_FALSE);
        source.descriptor = fd;
    } else {
        auto sound = std::make_unique<MemorySound>();
        const bool read = readAll(fd, path, PIPED_AUDIO_LIMIT + 1, sound->bytes, error);
        ::close(fd);
        if (!read) {
            return false;
        }
        if (sound->bytes.empty()) {
            error = path + " is empty";
            return false;
        }
        if (sound->bytes.size() > PIPED_AUDIO_LIMIT) {
            error = path + " is too long: more than " + std::to_string(PIPED_AUDIO_LIMIT >> 20) +
                    " MiB from a pipe";
            return false;
        }
        file = openMemory(*sound, info);
        source.memory = sound.release();
    }
    if (file == nullptr) {
        error = path + " is not audio that can be read (" + sf_strerror(nullptr) + ")";
        closeAudio(source);
        return false;
    }
    describe(file, info, source);
    return true;
}

void closeAudio(AudioSource& source)
{
    if (source.handle != nullptr) {
        sf_close(static_cast<SNDFILE*>(source.handle));
    }
    if (source.descriptor >= 0) {
        ::close(source.descriptor);
    }
    delete static_cast<MemorySound*>(source.memory);
    source.handle = nullptr;
    source.memory = nullptr;
    source.descriptor = -1;
}

std::int64_t resampledLength(const AudioSource& source, int rate)
{
    if (source.rate <= 0 || source.frames <= 0) {
        return 0;
    }
    // A stream of unknown length reports an enormous frame count; it is
    // far too long for the chip either way, and must not overflow below.
    constexpr std::int64_t ABSURD_FRAMES = std::int64_t{1} << 40;
    if (source.frames > ABSURD_FRAMES) {
        return std::numeric_limits<std::int64_t>::max() / 2;
    }
    return (source.frames * rate + source.rate / 2) / source.rate;
}

namespace {

// The frames mixed to one channel, each the mean of its channels. A float
// file can hold NaN and infinities: NaN would spread through the converter's
// filter and come out as full-scale clicks, so NaN is taken as 0 and an
// infinity as full scale, and each is counted. Returns the mean power of
// the mix, which the band-limiting's loss is measured against.
double mixToMono(std::vector<float>& interleaved, std::size_t channels, std::size_t frames,
                 std::vector<float>& mono, ReadReport& report)
{
    for (float& value : interleaved) {
        if (std::isnan(value)) {
            value = 0.0F;
            ++report.notFinite;
        } else if (std::isinf(value)) {
            value = value > 0 ? 1.0F : -1.0F;
            ++report.notFinite;
        }
    }
    mono.assign(frames, 0.0F);
    double energy = 0.0;
    for (std::size_t frame = 0; frame < frames; ++frame) {
        float sum = 0.0F;
        for (std::size_t channel = 0; channel < channels; ++channel) {
            sum += interleaved[frame * channels + channel];
        }
        mono[frame] = sum / static_cast<float>(channels);
        energy += static_cast<double>(mono[frame]) * mono[frame];
    }
    return energy / static_cast<double>(frames);
}

// `mono` at `from` Hz converted to `to` Hz with libsamplerate's best
// converter, exactly `wanted` values long: the converter's count can differ
// from the rounded ratio by a value or two, and any shortfall is silence.
bool resample(std::vector<float>& mono, int from, int to, std::size_t wanted, std::vector<float>& resampled,
              std::string& error)
{
    if (from == to) {
        resampled = std::move(mono);
        resampled.resize(wanted, 0.0F);
        return true;
    }
    const double ratio = static_cast<double>(to) / from;
    if (src_is_valid_ratio(ratio) == 0) {
        error = "cannot resample from " + std::to_string(from) + " Hz to " + std::to_string(to) + " Hz";
        return false;
    }
    resampled.resize(wanted + 64);
    SRC_DATA data{};
    data.data_in = mono.data();
    data.input_frames = static_cast<long>(mono.size());
    data.data_out = resampled.data();
    data.output_frames = static_cast<long>(resampled.size());
    data.src_ratio = ratio;
    const int failure = src_simple(&data, SRC_SINC_BEST_QUALITY, 1);
    if (failure != 0) {
        error = std::string("cannot resample: ") + src_strerror(failure);
        return false;
    }
    resampled.resize(static_cast<std::size_t>(data.output_frames_gen));
    resampled.resize(wanted, 0.0F);
    return true;
}

// How many decibels of the input's power the band-limiting took away;
// infinite when nothing is left.
double removedDecibels(double inputPower, const std::vector<float>& resampled)
{
    double energy = 0.0;
    for (const float value : resampled) {
        energy += static_cast<double>(value) * value;
    }
    const double outputPower = resampled.empty() ? 0.0 : energy / static_cast<double>(resampled.size());
    return outputPower > 0.0 ? 10.0 * std::log10(inputPower / outputPower)
                             : std::numeric_limits<double>::infinity();
}

// Full scale 1.0 as 16-bit values, counting those clipped. Clamped before
// rounding: a float file may hold values far beyond full scale, which lround
// cannot represent.
void quantise(const std::vector<float>& resampled, std::vector<std::int16_t>& samples, ReadReport& report)
{
    samples.resize(resampled.size());
    for (std::size_t i = 0; i < resampled.size(); ++i) {
        const double scaled = static_cast<double>(resampled[i]) * 32768.0;
        if (scaled >= 32767.5 || scaled <= -32768.5) {
            ++report.clipped;
        }
        samples[i] = static_cast<std::int16_t>(std::lround(std::clamp(scaled, -32768.0, 32767.0)));
    }
}

} // namespace

bool readResampled(AudioSource& source, int rate, std::vector<std::int16_t>& samples, ReadReport& report,
                   std::string& error)
{
    auto* file = static_cast<SNDFILE*>(source.handle);
    const auto channels = static_cast<std::size_t>(source.channels);
    std::vector<float> interleaved(static_cast<std::size_t>(source.frames) * channels);
    const sf_count_t got = sf_readf_float(file, interleaved.data(), source.frames);
    if (got <= 0) {
        error = std::string("cannot read the audio: ") + sf_strerror(file);
        return false;
    }
    report = {};
    // A file shorter than its header claims is taken as far as it goes.
    std::vector<float> mono;
    const double inputPower = mixToMono(interleaved, channels, static_cast<std::size_t>(got), mono, report);
    interleaved = {};

    const auto wanted = static_cast<std::size_t>(resampledLength(source, rate));
    std::vector<float> resampled;
    if (!resample(mono, source.rate, rate, wanted, resampled, error)) {
        return false;
    }
    if (source.rate != rate && inputPower > 0.0) {
        report.removedDecibels = removedDecibels(inputPower, resampled);
    }
    quantise(resampled, samples, report);
    return true;
}

std::string audioFormatOf(std::span<const std::uint8_t> bytes)
{
    MemorySound sound{{bytes.begin(), bytes.end()}};
    SF_INFO info{};
    SNDFILE* file = openMemory(sound, info);
    if (file == nullptr) {
        return {};
    }
    std::string format = formatName(file, info.format & SF_FORMAT_TYPEMASK);
    sf_close(file);
    return format;
}

bool hasAudioExtension(const std::string& path)
{
    const std::size_t dot = path.find_last_of("./");
    if (dot == std::string::npos || path[dot] != '.') {
        return false;
    }
    std::string extension = path.substr(dot + 1);
    std::transform(extension.begin(), extension.end(), extension.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    if (extension.empty()) {
        return false;
    }
    // libsndfile lists its formats' main extensions; it reads these spellings too.
    for (const char* other : {"aif", "aifc", "snd", "ogg", "opus", "mp3", "mp2", "wavex"}) {
        if (extension == other) {
            return true;
        }
    }
    for (const int listing : {SFC_GET_FORMAT_MAJOR_COUNT, SFC_GET_SIMPLE_FORMAT_COUNT}) {
        int count = 0;
        sf_command(nullptr, listing, &count, sizeof count);
        const int query =
            listing == SFC_GET_FORMAT_MAJOR_COUNT ? SFC_GET_FORMAT_MAJOR : SFC_GET_SIMPLE_FORMAT;
        for (int i = 0; i < count; ++i) {
            SF_FORMAT_INFO info{};
            info.format = i;
            if (sf_command(nullptr, query, &info, sizeof info) == 0 && info.extension != nullptr &&
                extension == info.extension) {
                return true;
            }
        }
    }
    return false;
}

} // namespace adpcm
