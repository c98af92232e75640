#include "synth/ssg.h"

#include "chip/ym2608.h"

#include <algorithm>
#include <array>
#include <climits>
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

/// Master clocks per SSG tick: an output sample (CLOCKS_PER_SAMPLE) spans 4.5 of them.
constexpr std::uint32_t CLOCKS_PER_TICK = 32;
static_assert(2 * CLOCKS_PER_SAMPLE == 9 * CLOCKS_PER_TICK);
constexpr int ENVELOPE_STEPS = 32;
constexpr double DECIBELS_PER_STEP = 1.5;

// The level table. The SSG's converter steps its output by 1.5 dB a level
// from the loudest (31) down, and level 0 is silence: the amplitude at level
// L is (r^L - 1) / (r^31 - 1) of full scale, r = 1.5 dB. Near the top that is
// 1.5 dB a step (3 dB a step of the fixed levels); lower down the steps grow,
// as the chip's do: against level 31, 21 is 15.2 dB down, 15 is 24.6 dB and
// 7 is 39.0 dB, where 1.5 dB a step would give 15, 24 and 36.
const std::array<std::int32_t, ENVELOPE_STEPS> LEVELS = [] {
    std::array<std::int32_t, ENVELOPE_STEPS> table{};
    const double ratio = std::pow(10.0, DECIBELS_PER_STEP / 20.0);
    const double top = std::pow(ratio, ENVELOPE_STEPS - 1) - 1.0;
    for (int level = 1; level < ENVELOPE_STEPS; ++level) {
        const double gain = (std::pow(ratio, level) - 1.0) / top;
        table[static_cast<std::size_t>(level)] = static_cast<std::int32_t>(std::lround(SSG_FULL_SCALE * gain));
    }
    return table;
}();

// The output filter: a low-pass over SSG_FILTER_TICKS ticks, worked out on
// half ticks (an output sample is 9 of them) as a Kaiser-windowed sinc with
// its cut-off at 0.48 of the output rate, then folded onto the ticks for the
// two ways an output sample lies on them (on a tick's start, or half-way
// through one). Each way's weights add up to 1 << FILTER_BITS exactly, so a
// steady level comes out as it went in, and silence as 0.
constexpr int FILTER_BITS = 14;
constexpr int HALF_TICKS = 2 * (SSG_FILTER_TICKS - 1);
constexpr double CUTOFF = 0.48 / 9.0; // of the half-tick rate
constexpr double KAISER_BETA = 6.0;

using FilterWeights = std::array<std::array<std::int32_t, SSG_FILTER_TICKS>, 2>;

double besselI0(double x)
{
    double sum = 1.0;
    double term = 1.0;
    for (int k = 1; k < 30; ++k) {
        term *= (x / (2.0 * k)) * (x / (2.0 * k));
        sum += term;
    }
    return sum;
}

const FilterWeights FILTER = [] {
    const double pi = std::acos(-1.0);
    double half[HALF_TICKS] = {};
    for (int j = 0; j < HALF_TICKS; ++j) {
        const double t = j - (HALF_TICKS - 1) / 2.0;
        const double r = 2.0 * t / (HALF_TICKS - 1);
        const double window = besselI0(KAISER_BETA * std::sqrt(std::max(0.0, 1.0 - r * r))) / besselI0(KAISER_BETA);
        half[j] = (t == 0 ? 2.0 * CUTOFF : std::sin(2.0 * pi * CUTOFF * t) / (pi * t)) * window;
    }
    FilterWeights weights{};
    for (int odd = 0; odd < 2; ++odd) {
        // Half tick j back from the sample's own lies in tick (j + 1 - odd) / 2 back.
        double folded[SSG_FILTER_TICKS] = {};
        double total = 0.0;
        for (int j = 0; j < HALF_TICKS; ++j) {
            folded[(j + 1 - odd) / 2] += half[j];
            total += half[j];
        }
        std::int32_t sum = 0;
        for (int m = 0; m < SSG_FILTER_TICKS; ++m) {
            // Kept oldest tick first, the order the ring holds them in.
            const std::size_t at = SSG_FILTER_TICKS - 1 - m;
            weights[odd][at] = static_cast<std::int32_t>(std::lround(folded[m] / total * (1 << FILTER_BITS)));
            sum += weights[odd][at];
        }
        weights[odd][SSG_FILTER_TICKS / 2] += (1 << FILTER_BITS) - sum;
    }
    return weights;
}();

std::uint32_t periodOr1(std::uint32_t period)
{
    return period == 0 ? 1 : period; // period 0 runs as 1
}

int envelopeLevel(const SsgUnit& ssg)
{
    if (ssg.envelopeHeld) {
        return ssg.envelopeHeldLevel;
    }
    return ssg.envelopeRising ? ssg.envelopeStep : ENVELOPE_STEPS - 1 - ssg.envelopeStep;
}

// Each channel's level now: its fixed level, or the envelope's.
void refreshAmplitudes(SsgUnit& ssg)
{
    const std::int32_t enveloped = ssgLevel(envelopeLevel(ssg));
    for (int channel = 0; channel < SSG_CHANNELS; ++channel) {
        const std::uint8_t level = ssg.regs[SSG_LEVEL_A + channel];
        ssg.amplitude[channel] = (level & LEVEL_FROM_ENVELOPE) ? enveloped
                                 : (level & 0x0F) == 0          ? 0
                                                                : ssgLevel(2 * (level & 0x0F) + 1);
    }
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

// The channels' summed output as the tone and noise gates stand now.
std::int32_t mix(const SsgUnit& ssg)
{
    const std::uint8_t mixer = ssg.regs[REG_MIXER];
    const bool noise = (ssg.noiseShift & 1) != 0;
    std::int32_t sum = 0;
    for (int channel = 0; channel < SSG_CHANNELS; ++channel) {
        const bool toneOpen = ssg.toneHigh[channel] || (mixer & (1 << channel));
        const bool noiseOpen = noise || (mixer & (8 << channel));
        sum += toneOpen && noiseOpen ? ssg.amplitude[channel] : 0;
    }
    return sum;
}

// One tick of the master clock / 32 on which a counter may reach its period.
void tick(SsgUnit& ssg)
{
    for (int channel = 0; channel < SSG_CHANNELS; ++channel) {
        if (++ssg.toneCount[channel] >= ssg.tonePeriod[channel]) {
            ssg.toneCount[channel] = 0;
            ssg.toneHigh[channel] = !ssg.toneHigh[channel];
        }
    }
    if (++ssg.noiseCount >= ssg.noisePeriod) {
        ssg.noiseCount = 0;
        ssg.noiseShift = shiftSsgNoise(ssg.noiseShift);
    }
    if (!ssg.envelopeHeld && ++ssg.envelopeCount >= ssg.envelopePeriod) {
        ssg.envelopeCount = 0;
        if (++ssg.envelopeStep >= ENVELOPE_STEPS) {
            endRamp(ssg);
        }
        refreshAmplitudes(ssg);
    }
    ssg.output = mix(ssg);
}

// Whether channel `channel` can be heard, now or once the envelope moves.
bool audible(const SsgUnit& ssg, int channel)
{
    return ssg.amplitude[channel] != 0 || (ssg.regs[SSG_LEVEL_A + channel] & LEVEL_FROM_ENVELOPE) != 0;
}

// Ticks before the next one on which a counter that the output depends on
// reaches its period: a tone or the noise that gates a channel that can be
// heard, or the envelope while it runs. The output cannot change over them.
std::uint32_t quietTicks(const SsgUnit& ssg)
{
    const auto before = [](std::uint32_t count, std::uint32_t period) {
        return count + 1 >= period ? 0U : period - count - 1;
    };
    const std::uint8_t mixer = ssg.regs[REG_MIXER];
    std::uint32_t quiet = UINT32_MAX;
    bool noiseHeard = false;
    for (int channel = 0; channel < SSG_CHANNELS; ++channel) {
        if (!audible(ssg, channel)) {
            continue;
        }
        if (!(mixer & (1 << channel))) {
            quiet = std::min(quiet, before(ssg.toneCount[channel], ssg.tonePeriod[channel]));
        }
        noiseHeard = noiseHeard || !(mixer & (8 << channel));
    }
    if (noiseHeard) {
        quiet = std::min(quiet, before(ssg.noiseCount, ssg.noisePeriod));
    }
    if (!ssg.envelopeHeld) {
        quiet = std::min(quiet, before(ssg.envelopeCount, ssg.envelopePeriod));
    }
    return quiet;
}

// Advances a counter that starts again from 0 each time it reaches `period`
// by `ticks` ticks; returns how many times it reached it.
std::uint32_t advanceCounter(std::uint16_t& count, std::uint32_t period, std::uint32_t ticks)
{
    std::uint32_t total = count;
    std::uint32_t reached = 0;
    if (total >= period) { // the period was lowered below the count: it ends at the next tick
        total = 0;
        reached = 1;
        --ticks;
    }
    total += ticks;
    if (total < period) { // most skips end before the period: no division
        count = static_cast<std::uint16_t>(total);
        return reached;
    }
    reached += total / period;
    count = static_cast<std::uint16_t>(total % period);
    return reached;
}

// `count` ticks of the same output into the filter's ring.
void holdOutput(SsgUnit& ssg, std::uint32_t count)
{
    if (ssg.steady >= SSG_TICK_RING && ssg.ticks[(ssg.tickAt - 1) % SSG_TICK_RING] == ssg.output) {
        ssg.tickAt += count; // the whole ring holds that output already
        ssg.steady += count;
        return;
    }
    if (count > SSG_TICK_RING) {
        // Past a ring's length the same output only writes over itself.
        holdOutput(ssg, SSG_TICK_RING);
        holdOutput(ssg, count - SSG_TICK_RING);
        return;
    }
    for (std::uint32_t i = 0; i < count; ++i) {
        const std::uint32_t at = ssg.tickAt++ % SSG_TICK_RING;
        const std::int32_t last = ssg.ticks[(at + SSG_TICK_RING - 1) % SSG_TICK_RING];
        ssg.steady = ssg.output == last ? ssg.steady + 1 : 0;
        ssg.ticks[at] = ssg.output;
        ssg.ticks[at + SSG_TICK_RING] = ssg.output;
    }
}

// Advances every counter by `count` ticks over which the output stays as it
// is (see quietTicks): the tones and the noise that no one hears may pass
// their periods, and are followed exactly all the same.
void skipTicks(SsgUnit& ssg, std::uint32_t count)
{
    for (int channel = 0; channel < SSG_CHANNELS; ++channel) {
        if (advanceCounter(ssg.toneCount[channel], ssg.tonePeriod[channel], count) & 1) {
            ssg.toneHigh[channel] = !ssg.toneHigh[channel];
        }
    }
    for (std::uint32_t shifts = advanceCounter(ssg.noiseCount, ssg.noisePeriod, count); shifts > 0; --shifts) {
        ssg.noiseShift = shiftSsgNoise(ssg.noiseShift);
    }
    if (!ssg.envelopeHeld) {
        ssg.envelopeCount += count;
    }
}

// Runs `count` ticks, each one's output into the filter's ring.
void runTicks(SsgUnit& ssg, std::uint32_t count)
{
    while (count > 0) {
        std::uint32_t quiet = std::min(quietTicks(ssg), count);
        if (quiet == 0) {
            tick(ssg);
            quiet = 1;
        } else {
            skipTicks(ssg, quiet);
        }
        count -= quiet;
        holdOutput(ssg, quiet);
    }
}

// Output samples from now that come out as the output stands, each one's
// ticks over before a counter the output depends on reaches its period and
// with the filter's window already holding that output alone; `ticks` is
// set to their ticks. At most `limit`.
std::size_t steadySamples(const SsgUnit& ssg, std::size_t limit, std::uint32_t& ticks)
{
    ticks = 0;
    if (ssg.steady < SSG_FILTER_TICKS || ssg.ticks[(ssg.tickAt - 1) % SSG_TICK_RING] != ssg.output) {
        return 0;
    }
    const std::uint32_t quiet = quietTicks(ssg);
    bool odd = ssg.oddSample;
    std::size_t count = 0;
    while (count < limit) {
        const std::uint32_t next = odd ? 4 : 5; // the ticks before the sample, as clockSsg runs them
        if (next > quiet - ticks) {
            break;
        }
        ticks += next;
        odd = !odd;
        ++count;
    }
    return count;
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
    for (int channel = 0; channel < SSG_CHANNELS; ++channel) {
        ssg.tonePeriod[channel] = static_cast<std::uint16_t>(
            periodOr1(ssg.regs[2 * channel] | ((ssg.regs[2 * channel + 1] & 0x0F) << 8)));
    }
    ssg.noisePeriod = static_cast<std::uint16_t>(2 * periodOr1(ssg.regs[REG_NOISE_PERIOD] & 0x1F));
    ssg.envelopePeriod = periodOr1(ssg.regs[REG_ENVELOPE_FINE] | (ssg.regs[REG_ENVELOPE_COARSE] << 8));
    refreshAmplitudes(ssg);
    ssg.output = mix(ssg);
}

std::uint32_t shiftSsgNoise(std::uint32_t state)
{
    const std::uint32_t feedback = (state ^ (state >> 3)) & 1;
    return (state >> 1) | (feedback << (SSG_NOISE_BITS - 1));
}

void renderSsg(SsgUnit& ssg, std::span<std::int32_t> out)
{
    std::size_t i = 0;
    while (i < out.size()) {
        std::uint32_t ticks = 0;
        const std::size_t steady = steadySamples(ssg, out.size() - i, ticks);
        if (steady == 0) {
            out[i++] = clockSsg(ssg);
            continue;
        }
        // A held level or silence: the counters move all at once.
        skipTicks(ssg, ticks);
        holdOutput(ssg, ticks);
        if (steady & 1) {
            ssg.oddSample = !ssg.oddSample;
        }
        std::fill_n(out.begin() + static_cast<std::ptrdiff_t>(i), steady, ssg.output);
        i += steady;
    }
}

std::int32_t clockSsg(SsgUnit& ssg)
{
    // 4.5 ticks a sample: five before a sample that starts on a tick, four
    // before one that starts half-way through one.
    const int odd = ssg.oddSample ? 1 : 0;
    runTicks(ssg, odd ? 4 : 5);
    ssg.oddSample = !ssg.oddSample;
    const std::uint32_t newest = (ssg.tickAt - 1) % SSG_TICK_RING + SSG_TICK_RING;
    if (ssg.steady >= SSG_FILTER_TICKS) {
        return ssg.ticks[newest]; // the weights add up to one: a steady level passes as it is
    }
    const std::array<std::int32_t, SSG_FILTER_TICKS>& weights = FILTER[static_cast<std::size_t>(odd)];
    const std::int32_t* window = ssg.ticks + newest - (SSG_FILTER_TICKS - 1); // oldest first
    std::int32_t sum = 0;
    for (int m = 0; m < SSG_FILTER_TICKS; ++m) {
        sum += weights[static_cast<std::size_t>(m)] * window[m];
    }
    return (sum + (1 << (FILTER_BITS - 1))) >> FILTER_BITS;
}

} // namespace synth
