#include "synth/chip_sound.h"

#include "chip/ym2608.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace synth {

namespace {

constexpr std::uint8_t SSG_LAST = 0x0D;
constexpr std::uint8_t ADPCM_LAST = 0x0F;
// The coupling high-pass: y = x - x' + y' (1 - 1/1024), a corner of
// 55467 / (2 pi 1024), about 9 Hz.
constexpr int HIGH_PASS_BITS = 10;
// The FM channels' sum goes through the same high-pass, on each side: the
// standing offset that operators can leave (a carrier and its modulator held
// at one phase relation, a pitch far below hearing) never reaches the output.
// The FM and SSG units render this many samples at a time, between the writes.
constexpr std::size_t FM_BLOCK = 256;

// One step of a coupling high-pass: `last` is its last input, `filtered`
// its output in 1/2^HIGH_PASS_BITS; returns the output.
std::int32_t couple(std::int32_t& last, std::int64_t& filtered, std::int32_t in)
{
    filtered = (std::int64_t{in - last} << HIGH_PASS_BITS) + filtered - (filtered >> HIGH_PASS_BITS);
    last = in;
    return static_cast<std::int32_t>(filtered >> HIGH_PASS_BITS);
}

std::int16_t toConverter(std::int64_t value)
{
    return static_cast<std::int16_t>(std::clamp<std::int64_t>(value, std::numeric_limits<std::int16_t>::min(),
                                                              std::numeric_limits<std::int16_t>::max()));
}

} // namespace

void resetChipSound(ChipSound& chip, std::span<const std::uint8_t> rhythmMemory)
{
    resetFm(chip.fm);
    resetSsg(chip.ssg);
    chip.rhythm.hasMemory = false;
    resetRhythm(chip.rhythm);
    loadRhythmMemory(chip.rhythm, rhythmMemory);
    chip.adpcmRegs = AdpcmRegisters{};
    chip.adpcm = AdpcmVoice{};
    chip.memory.assign(SAMPLE_MEMORY_SIZE, 0);
    chip.ssgLastIn = 0;
    chip.ssgFiltered = 0;
    for (int side = 0; side < 2; ++side) {
        chip.fmLastIn[side] = 0;
        chip.fmFiltered[side] = 0;
    }
}

void setSsgLevel(ChipSound& chip, double decibels)
{
    const double level = std::clamp(decibels, SSG_LEVEL_MIN_DB, SSG_LEVEL_MAX_DB);
    chip.ssgGain =
        static_cast<std::int32_t>(std::lround(std::pow(10.0, level / 20.0) * (1 << SSG_GAIN_BITS)));
}

void writeChipSound(ChipSound& chip, int bank, std::uint8_t reg, std::uint8_t value)
{
    if (bank == 0) {
        if (reg <= SSG_LAST) {
            writeSsg(chip.ssg, reg, value);
        } else if (reg >= RHYTHM_KEY && reg <= RHYTHM_INSTRUMENT_LAST) {
            writeRhythm(chip.rhythm, reg, value);
        }
        writeFm(chip.fm, 0, reg, value);
        return;
    }
    if (reg <= ADPCM_LAST) {
        if (applyAdpcmWrite(chip.adpcmRegs, reg, value)) {
            startVoice(chip.adpcm, chip.adpcmRegs);
        } else if (reg == ADPCM_CONTROL1 && (!(value & CONTROL1_START) || (value & CONTROL1_RESET))) {
            chip.adpcm.playing = false; // a stop or a reset ends the playback under way
        }
    }
    writeFm(chip.fm, 1, reg, value);
}

void writeChipMemory(ChipSound& chip, std::size_t offset, std::span<const std::uint8_t> bytes)
{
    if (offset >= chip.memory.size()) {
        return;
    }
    const std::size_t count = std::min(bytes.size(), chip.memory.size() - offset);
    std::copy_n(bytes.begin(), count, chip.memory.begin() + static_cast<std::ptrdiff_t>(offset));
}

void renderChipSound(ChipSound& chip, std::span<std::int16_t> frames)
{
    const bool adpcmLeft = (chip.adpcmRegs.control2 & CONTROL2_LEFT) != 0;
    const bool adpcmRight = (chip.adpcmRegs.control2 & CONTROL2_RIGHT) != 0;
    std::int32_t fmLeft[FM_BLOCK];
    std::int32_t fmRight[FM_BLOCK];
    std::int32_t ssgBlock[FM_BLOCK];
    const std::size_t total = frames.size() / 2;
    for (std::size_t first = 0; first < total; first += FM_BLOCK) {
        const std::size_t count = std::min(FM_BLOCK, total - first);
        std::fill_n(fmLeft, count, 0);
        std::fill_n(fmRight, count, 0);
        renderFm(chip.fm, std::span<std::int32_t>(fmLeft, count), std::span<std::int32_t>(fmRight, count));
        renderSsg(chip.ssg, std::span<std::int32_t>(ssgBlock, count));
        for (std::size_t k = 0; k < count; ++k) {
            std::int32_t left = couple(chip.fmLastIn[0], chip.fmFiltered[0], fmLeft[k]);
            std::int32_t right = couple(chip.fmLastIn[1], chip.fmFiltered[1], fmRight[k]);
            clockRhythm(chip.rhythm, left, right);

            const std::int32_t adpcm = stepVoice(chip.adpcm, chip.adpcmRegs, chip.memory) >> ADPCM_MIX_SHIFT;
            if (adpcmLeft) {
                left += adpcm;
            }
            if (adpcmRight) {
                right += adpcm;
            }

            const std::int32_t ssg = (ssgBlock[k] * chip.ssgGain) >> (SSG_GAIN_BITS + SSG_MIX_SHIFT);
            const std::int32_t ssgOut = couple(chip.ssgLastIn, chip.ssgFiltered, ssg);

            // The chip's own output is held to 16 bits; the SSG joins it on the
            // board, and the whole comes to the file at OUTPUT_SHIFT below.
            const std::size_t i = 2 * (first + k);
            frames[i] = toConverter((std::int64_t{toConverter(left)} + ssgOut) >> OUTPUT_SHIFT);
            frames[i + 1] = toConverter((std::int64_t{toConverter(right)} + ssgOut) >> OUTPUT_SHIFT);
        }
    }
}

std::uint64_t chipSampleAt(std::int64_t nanos, std::uint32_t clock)
{
    constexpr std::uint64_t NANOS = 1'000'000'000;
    if (nanos <= 0) {
        return 0;
    }
    // ceil(nanos x clock / 144 / 10^9), in two parts so that hours do not overflow.
    const auto t = static_cast<std::uint64_t>(nanos);
    const std::uint64_t clocks = (t / NANOS) * clock + ((t % NANOS) * clock + NANOS - 1) / NANOS;
    return (clocks + CLOCKS_PER_SAMPLE - 1) / CLOCKS_PER_SAMPLE;
}

} // namespace synth
