#include "synth/chip_wav.h"

#include "chip/ym2608.h"

namespace synth {

namespace {

constexpr int CHANNELS = 2;
// Room in the resampler's output for a block's worth, besides the ratio.
constexpr std::size_t OUTPUT_SLACK_FRAMES = 4096;

void fail(ChipWav& wav, const char* why)
{
    if (!wav.failed) {
        wav.error = "cannot write " + wav.path + ": " + why;
    }
    wav.failed = true;
}

bool putFloats(ChipWav& wav, const float* frames, sf_count_t count)
{
    if (count > 0 && sf_writef_float(wav.file, frames, count) != count) {
        fail(wav, sf_strerror(wav.file));
        return false;
    }
    return true;
}

// Resamples `frames` (the last call with `last` set gives out what the
// resampler holds) and writes what comes out.
bool resample(ChipWav& wav, std::span<const std::int16_t> frames, bool last)
{
    wav.in.resize(frames.size());
    src_short_to_float_array(frames.data(), wav.in.data(), static_cast<int>(frames.size()));
    const std::size_t inFrames = frames.size() / CHANNELS;
    wav.out.resize(CHANNELS * (static_cast<std::size_t>(static_cast<double>(inFrames) * wav.ratio) + OUTPUT_SLACK_FRAMES));
    SRC_DATA data{};
    data.data_in = wav.in.data();
    data.input_frames = static_cast<long>(inFrames);
    data.src_ratio = wav.ratio;
    data.end_of_input = last ? 1 : 0;
    for (;;) {
        data.data_out = wav.out.data();
        data.output_frames = static_cast<long>(wav.out.size() / CHANNELS);
        if (const int status = src_process(wav.resampler, &data); status != 0) {
            fail(wav, src_strerror(status));
            return false;
        }
        if (!putFloats(wav, wav.out.data(), data.output_frames_gen)) {
            return false;
        }
        data.data_in += CHANNELS * data.input_frames_used;
        data.input_frames -= data.input_frames_used;
        // At the end the resampler gives out what it holds over several calls.
        if (data.input_frames == 0 && (!last || data.output_frames_gen == 0)) {
            return true;
        }
    }
}

} // namespace

bool openChipWav(ChipWav& wav, const std::string& path, WavKind kind, std::uint32_t clock, std::uint32_t wavRate,
                 std::string& reason)
{
    wav = ChipWav{};
    wav.kind = kind;
    wav.path = path;
    const int rate = wavRate != 0 ? static_cast<int>(wavRate) : ::wavRate(clock);
    if (wavRate != 0) {
        int status = 0;
        wav.resampler = src_new(SRC_SINC_FASTEST, CHANNELS, &status);
        if (wav.resampler == nullptr) {
            reason = std::string("resampler: ") + src_strerror(status);
            return false;
        }
        wav.ratio = wavRate / outputRate(clock);
    }
    if (kind == WavKind::WHOLE) {
        if (!adpcm::openWavAtomically(path, CHANNELS, rate, wav.temp, reason)) {
            discardChipWav(wav);
            return false;
        }
        wav.file = wav.temp.file;
        return true;
    }
    SF_INFO info{};
    info.channels = CHANNELS;
    info.samplerate = rate;
    info.format = SF_FORMAT_WAV | SF_FORMAT_PCM_16;
    wav.file = sf_open(path.c_str(), SFM_WRITE, &info);
    if (wav.file == nullptr) {
        reason = sf_strerror(nullptr);
        discardChipWav(wav);
        return false;
    }
    // The header follows every write, so the file reads whole while it grows.
    sf_command(wav.file, SFC_SET_UPDATE_HEADER_AUTO, nullptr, SF_TRUE);
    sf_command(wav.file, SFC_SET_CLIPPING, nullptr, SF_TRUE);
    return true;
}

bool writeChipWav(ChipWav& wav, std::span<const std::int16_t> frames)
{
    if (wav.failed) {
        return false;
    }
    if (wav.resampler != nullptr) {
        return resample(wav, frames, false);
    }
    const auto count = static_cast<sf_count_t>(frames.size() / CHANNELS);
    if (sf_writef_short(wav.file, frames.data(), count) != count) {
        fail(wav, sf_strerror(wav.file));
        return false;
    }
    return true;
}

bool closeChipWav(ChipWav& wav)
{
    if (wav.resampler != nullptr && !wav.failed) {
        resample(wav, {}, true);
    }
    if (wav.kind == WavKind::WHOLE && !wav.failed) {
        wav.temp.file = wav.file;
        wav.file = nullptr;
        std::string error;
        if (!adpcm::commitWav(wav.temp, error)) {
            wav.failed = true;
            wav.error = error;
        }
    }
    const bool written = !wav.failed;
    discardChipWav(wav);
    return written;
}

void discardChipWav(ChipWav& wav)
{
    if (wav.resampler != nullptr) {
        src_delete(wav.resampler);
        wav.resampler = nullptr;
    }
    if (wav.kind == WavKind::WHOLE) {
        wav.temp.file = wav.file;
        wav.file = nullptr;
        adpcm::discardWav(wav.temp);
        return;
    }
    if (wav.file != nullptr && sf_close(wav.file) != 0) {
        fail(wav, "the WAV header could not be completed");
    }
    wav.file = nullptr;
}

} // namespace synth
