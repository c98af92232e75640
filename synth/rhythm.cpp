#include "synth/rhythm.h"

#include "chip/ym2608.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>

namespace synth {

namespace {

constexpr std::int32_t VALUE_MIN = -2048;
constexpr std::int32_t VALUE_MAX = 2047;
constexpr int STEP_COUNT = 49;
constexpr double DECIBELS_PER_LEVEL = 0.75;
// 12-bit values reach the 14-bit channel range with two more bits.
constexpr int TO_CHANNEL_RANGE = 2;
constexpr int GAIN_BITS = 15;

// The step sizes: 16, then each about 1.1 times the one before, to 1552.
constexpr std::int32_t STEP_SIZE[STEP_COUNT] = {
    16,  17,  19,  21,  23,  25,  28,  31,  34,  37,  41,  45,  50,  55,  60,  66,   73,
    80,  88,  97,  107, 118, 130, 143, 157, 173, 190, 209, 230, 253, 279, 307, 337,  371,
    408, 449, 494, 544, 598, 658, 724, 796, 876, 963, 1060, 1166, 1282, 1411, 1552};
constexpr std::int32_t STEP_MOVE[8] = {-1, -1, -1, -1, 2, 5, 7, 9};

// Gain per 0.75 dB of attenuation, in 1/2^15, for the sum of both levels'
// attenuations (0..94 steps).
constexpr int ATTENUATION_STEPS = RHYTHM_TOTAL_LEVEL_MAX + RHYTHM_LEVEL_MAX + 1;
const auto GAIN = [] {
    std::array<std::int32_t, ATTENUATION_STEPS> table{};
    for (int step = 0; step < ATTENUATION_STEPS; ++step) {
        table[static_cast<std::size_t>(step)] = static_cast<std::int32_t>(
            std::lround((1 << GAIN_BITS) * std::pow(10.0, -DECIBELS_PER_LEVEL * step / 20.0)));
    }
    return table;
}();

void keyOn(RhythmUnit& rhythm, int index)
{
    RhythmInstrument& inst = rhythm.instrument[index];
    inst.playing = rhythm.hasMemory;
    inst.code = std::uint32_t{RHYTHM_FIRST_BYTE[index]} * 2;
    inst.decoder = RhythmDecoder{};
}

// The next code of each playing instrument, and the held output it gives.
void decodeStep(RhythmUnit& rhythm)
{
    std::int32_t left = 0;
    std::int32_t right = 0;
    for (int index = 0; index < RHYTHM_INSTRUMENTS; ++index) {
        RhythmInstrument& inst = rhythm.instrument[index];
        if (!inst.playing) {
            continue;
        }
        if (inst.code > std::uint32_t{RHYTHM_LAST_BYTE[index]} * 2 + 1) {
            inst.playing = false;
            continue;
        }
        const std::uint8_t byte = rhythm.memory[inst.code / 2];
        const auto code = static_cast<std::uint8_t>(inst.code % 2 == 0 ? byte >> 4 : byte & 0x0F);
        ++inst.code;
        const std::int32_t value = decodeRhythmCode(inst.decoder, code);
        const std::int32_t attenuation = (RHYTHM_TOTAL_LEVEL_MAX - rhythm.totalLevel) +
                                         (RHYTHM_LEVEL_MAX - (inst.control & RHYTHM_LEVEL_MAX));
        const std::int32_t out =
            (value * (1 << TO_CHANNEL_RANGE) * GAIN[static_cast<std::size_t>(attenuation)]) >> GAIN_BITS;
        if (inst.control & RHYTHM_LEFT) {
            left += out;
        }
        if (inst.control & RHYTHM_RIGHT) {
            right += out;
        }
    }
    rhythm.left = left;
    rhythm.right = right;
}

} // namespace

std::int32_t decodeRhythmCode(RhythmDecoder& decoder, std::uint8_t code)
{
    const std::int32_t magnitude = (2 * (code & 7) + 1) * STEP_SIZE[decoder.stepIndex] / 8;
    decoder.value = std::clamp(decoder.value + ((code & 8) ? -magnitude : magnitude), VALUE_MIN, VALUE_MAX);
    decoder.stepIndex = std::clamp(decoder.stepIndex + STEP_MOVE[code & 7], 0, STEP_COUNT - 1);
    return decoder.value;
}

void resetRhythm(RhythmUnit& rhythm)
{
    for (RhythmInstrument& inst : rhythm.instrument) {
        inst = RhythmInstrument{};
    }
    rhythm.totalLevel = 0;
    rhythm.phase = 0;
    rhythm.left = 0;
    rhythm.right = 0;
}

bool loadRhythmMemory(RhythmUnit& rhythm, std::span<const std::uint8_t> image)
{
    if (image.size() != RHYTHM_MEMORY_SIZE) {
        return false;
    }
    std::copy(image.begin(), image.end(), rhythm.memory.begin());
    rhythm.hasMemory = true;
    return true;
}

bool readRhythmMemoryFile(const std::string& path, std::vector<std::uint8_t>& image, std::string& reason)
{
    std::FILE* file = std::fopen(path.c_str(), "rb");
    if (file == nullptr) {
        reason = std::strerror(errno);
        return false;
    }
    image.assign(RHYTHM_MEMORY_SIZE + 1, 0);
    const std::size_t got = std::fread(image.data(), 1, image.size(), file);
    const bool failedRead = std::ferror(file) != 0;
    std::fclose(file);
    if (failedRead) {
        reason = "cannot read it";
        return false;
    }
    if (got != RHYTHM_MEMORY_SIZE) {
        reason = (got > RHYTHM_MEMORY_SIZE ? std::string("more") : std::to_string(got)) +
                 " bytes, a rhythm memory image has 8192";
        return false;
    }
    image.resize(RHYTHM_MEMORY_SIZE);
    return true;
}

void writeRhythm(RhythmUnit& rhythm, std::uint8_t reg, std::uint8_t value)
{
    if (reg == RHYTHM_KEY) {
        for (int index = 0; index < RHYTHM_INSTRUMENTS; ++index) {
            if (!(value & (1 << index))) {
                continue;
            }
            if (value & RHYTHM_DUMP) {
                rhythm.instrument[index].playing = false;
            } else {
                keyOn(rhythm, index);
            }
        }
        return;
    }
    if (reg == RHYTHM_TOTAL_LEVEL) {
        rhythm.totalLevel = value & RHYTHM_TOTAL_LEVEL_MAX;
        return;
    }
    if (reg >= RHYTHM_INSTRUMENT_FIRST && reg < RHYTHM_INSTRUMENT_FIRST + RHYTHM_INSTRUMENTS) {
        rhythm.instrument[reg - RHYTHM_INSTRUMENT_FIRST].control = value;
    }
}

void clockRhythm(RhythmUnit& rhythm, std::int32_t& left, std::int32_t& right)
{
    if (rhythm.phase == 0) {
        decodeStep(rhythm);
    }
    rhythm.phase = (rhythm.phase + 1) % RHYTHM_SAMPLES_PER_CODE;
    left += rhythm.left;
    right += rhythm.right;
}

} // namespace synth
