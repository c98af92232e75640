#include "synth/ssg.h"

#include "chip/ym2608.h"

#include <array>
#include <cmath>

namespace synth {

namespace {

constexpr std::uint8_t REG_NOISE_PERIOD = 0x06;
constexpr std::uint8_t REG_MIXER = 0x07;
constexpr std::uint8_t REG_ENVELOPE_FINE = 0x0B;
constexpr std::uint8_t REG_ENVELOPE_COARSE = 0x0C;
constexpr std::uint8_t REG_ENVELOPE_SHAPE = 0x0D;
constexpr std::uint8_t LEVEL_FROM_ENVELOPE = 0x10;
constexpr std::uint8_t SHAPE_CONTINUE = 0x08;
constexpr std::uint8_t SHAPE_ATTACK = 0x04;
constexpr std::uint8_t SHAPE_ALTERNATE = 0x02;
constexpr std::uint8_t SHAPE_HOLD = 0x01;

/// Master clocks per SSG tick; an output sample spans CLOCKS_PER_SAMPLE of them.
constexpr std::uint32_t CLOCKS_PER_TICK = 32;
constexpr int ENVELOPE_STEPS = 32;
constexpr double DECIBELS_PER_STEP = 1.5;

// The level table: 31 is full scale, each step below 1.5 dB quieter, 0 silent.
const std::array<std::int32_t, ENVELOPE_STEPS> LEVELS = [] {
    std::array<std::int32_t, ENVELOPE_STEPS> table{};
    for (int level = 1; level < ENVELOPE_STEPS; ++level) {
        const double gain = std::pow(10.0, -DECIBELS_PER_STEP * (ENVELOPE_STEPS - 1 - level) / 20.0);
        table[static_cast<std::size_t>(level)] = static_cast<std::int32_t>(std::lround(SSG_FULL_SCALE * gain));
    }
    return table;
}();

std::uint32_t tonePeriod(const SsgUnit& ssg, int channel)
{
    const std::uint32_t period = ssg.regs[2 * channel] | ((ssg.regs[2 * channel + 1] & 0x0F) << 8);
    return period == 0 ? 1 : period; // period 0 runs as 1
}

std::uint32_t noisePeriod(const SsgUnit& ssg)
{
    const std::uint32_t period = ssg.regs[REG_NOISE_PERIOD] & 0x1F;
    return period == 0 ? 1 : period;
}

std::uint32_t envelopePeriod(const SsgUnit& ssg)
{
    const std::uint32_t period = ssg.regs[REG_ENVELOPE_FINE] | (ssg.regs[REG_ENVELOPE_COARSE] << 8);
    return period == 0 ? 1 : period;
}

int envelopeLevel(const SsgUnit& ssg)
{
    if (ssg.envelopeHeld) {
        return ssg.envelopeHeldLevel;
    }
    return ssg.envelopeRising ? ssg.envelopeStep : ENVELOPE_STEPS - 1 - ssg.envelopeStep;
}

// The end of a ramp: the shape says whether to hold, and at which end, turn
// round, or start the same ramp again.
void endRamp(SsgUnit& ssg)
{
    const std::uint8_t shape = ssg.regs[REG_ENVELOPE_SHAPE];
    ssg.envelopeStep = 0;
    if (!(shape & SHAPE_CONTINUE)) {
        ssg.envelopeHeld = true;
        ssg.envelopeHeldLevel = 0;
        return;
    }
    if (shape & SHAPE_HOLD) {
        // Hold where the ramp ended, or at its start when alternating.
        const bool high = ssg.envelopeRising != ((shape & SHAPE_ALTERNATE) != 0);
        ssg.envelopeHeld = true;
        ssg.envelopeHeldLevel = high ? ENVELOPE_STEPS - 1 : 0;
        return;
    }
    if (shape & SHAPE_ALTERNATE) {
        ssg.envelopeRising = !ssg.envelopeRising;
    }
}

// One tick of the master clock / 32; returns the channels' summed output.
std::int32_t tick(SsgUnit& ssg)
{
    for (int channel = 0; channel < SSG_CHANNELS; ++channel) {
        if (++ssg.toneCount[channel] >= tonePeriod(ssg, channel)) {
            ssg.toneCount[channel] = 0;
            ssg.toneHigh[channel] = !ssg.toneHigh[channel];
        }
    }
    if (++ssg.noiseCount >= 2 * noisePeriod(ssg)) {
        ssg.noiseCount = 0;
        // 17 bits, fed back from bits 0 and 3.
        const std::uint32_t feedback = (ssg.noiseShift ^ (ssg.noiseShift >> 3)) & 1;
        ssg.noiseShift = (ssg.noiseShift >> 1) | (feedback << 16);
    }
    if (!ssg.envelopeHeld && ++ssg.envelopeCount >= envelopePeriod(ssg)) {
        ssg.envelopeCount = 0;
        if (++ssg.envelopeStep >= ENVELOPE_STEPS) {
            endRamp(ssg);
        }
    }

    const std::uint8_t mixer = ssg.regs[REG_MIXER];
    const bool noise = (ssg.noiseShift & 1) != 0;
    std::int32_t sum = 0;
    for (int channel = 0; channel < SSG_CHANNELS; ++channel) {
        const bool toneOpen = ssg.toneHigh[channel] || (mixer & (1 << channel));
        const bool noiseOpen = noise || (mixer & (8 << channel));
        if (!toneOpen || !noiseOpen) {
            continue;
        }
        const std::uint8_t level = ssg.regs[SSG_LEVEL_A + channel];
        sum += (level & LEVEL_FROM_ENVELOPE) ? ssgLevel(envelopeLevel(ssg))
                                             : ((level & 0x0F) == 0 ? 0 : ssgLevel(2 * (level & 0x0F) + 1));
    }
    return sum;
}

} // namespace

std::int32_t ssgLevel(int level)
{
    return level <= 0 ? 0 : LEVELS[static_cast<std::size_t>(level < ENVELOPE_STEPS ? level : ENVELOPE_STEPS - 1)];
}

void resetSsg(SsgUnit& ssg)
{
    ssg = SsgUnit{};
}

void writeSsg(SsgUnit& ssg, std::uint8_t reg, std::uint8_t value)
{
    if (reg > REG_ENVELOPE_SHAPE) {
        return;
    }
    ssg.regs[reg] = value;
    if (reg == REG_ENVELOPE_SHAPE) {
        ssg.envelopeCount = 0;
        ssg.envelopeStep = 0;
        ssg.envelopeRising = (value & SHAPE_ATTACK) != 0;
        ssg.envelopeHeld = false;
    }
}

std::int32_t clockSsg(SsgUnit& ssg)
{
    ssg.tickPhase += CLOCKS_PER_SAMPLE;
    std::int32_t sum = 0;
    std::int32_t ticks = 0;
    while (ssg.tickPhase >= CLOCKS_PER_TICK) {
        ssg.tickPhase -= CLOCKS_PER_TICK;
        sum += tick(ssg);
        ++ticks;
    }
    return sum / ticks;
}

} // namespace synth
