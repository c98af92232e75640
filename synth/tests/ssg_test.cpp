// The SSG unit against the chip's documented behaviour, through its register
// writes and its output only: tone periods on the master clock / 64 TP, the
// noise's rate and sequence, the converter's levels, every envelope shape,
// and square waves that do not fold back above the output rate.
#include "synth/ssg.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <numbers>
#include <vector>

namespace {

using synth::SsgUnit;

constexpr double CLOCK = 7987200.0;
constexpr int ONE_SECOND = 55467; // output samples, clock / 144

std::vector<std::int32_t> render(SsgUnit& ssg, int samples)
{
    std::vector<std::int32_t> out;
    for (int i = 0; i < samples; ++i) {
        out.push_back(synth::clockSsg(ssg));
    }
    return out;
}

// Times the output rises from below to above `threshold`.
int rises(const std::vector<std::int32_t>& out, std::int32_t threshold)
{
    int count = 0;
    for (std::size_t i = 1; i < out.size(); ++i) {
        count += out[i - 1] < threshold && out[i] >= threshold;
    }
    return count;
}

SsgUnit unit()
{
    SsgUnit ssg;
    synth::resetSsg(ssg);
    return ssg;
}

TEST(SsgTone, PeriodsRunOnTheMasterClockOver64)
{
    for (int period : {125, 284, 500, 4095}) {
        SsgUnit ssg = unit();
        synth::writeSsg(ssg, 0x02, static_cast<std::uint8_t>(period & 0xFF));
        // The coarse register keeps its low four bits only.
        synth::writeSsg(ssg, 0x03, static_cast<std::uint8_t>(0xF0 | period >> 8));
        synth::writeSsg(ssg, 0x07, 0x3D); // tone on B alone
        synth::writeSsg(ssg, 0x09, 0x0F);
        const double expected = CLOCK / (64.0 * period);
        EXPECT_NEAR(rises(render(ssg, ONE_SECOND), synth::ssgLevel(31) / 2), expected, 1.0) << period;
    }
}

TEST(SsgTone, GatesAndLevelsOfTheThreeChannels)
{
    SsgUnit ssg = unit();
    // Tone and noise both off: a channel holds its level.
    synth::writeSsg(ssg, 0x07, 0x3F);
    synth::writeSsg(ssg, 0x08, 0x0F);
    const std::int32_t full = render(ssg, 10).back();
    EXPECT_EQ(full, synth::SSG_FULL_SCALE);
    // Each fixed level step is 3 dB: two steps halve the amplitude.
    synth::writeSsg(ssg, 0x08, 0x0D);
    EXPECT_NEAR(render(ssg, 10).back() / static_cast<double>(full), 0.501, 0.005);
    synth::writeSsg(ssg, 0x08, 0x00);
    EXPECT_EQ(render(ssg, 10).back(), 0);
    // The three channels add up.
    for (std::uint8_t reg : {0x08, 0x09, 0x0A}) {
        synth::writeSsg(ssg, reg, 0x0F);
    }
    EXPECT_EQ(render(ssg, 10).back(), 3 * full);
    // Registers past 0x0D are not the SSG's.
    synth::writeSsg(ssg, 0x0E, 0xFF);
    synth::writeSsg(ssg, 0x07, 0x3F);
    EXPECT_EQ(render(ssg, 10).back(), 3 * full);
}

TEST(SsgNoise, ShiftsAtTheMasterClockOver64NAndSoundsHalfTheTime)
{
    for (int period : {8, 31}) {
        SsgUnit ssg = unit();
        synth::writeSsg(ssg, 0x06, static_cast<std::uint8_t>(0xE0 | period)); // five bits
        synth::writeSsg(ssg, 0x07, 0x37); // noise on A alone
        synth::writeSsg(ssg, 0x08, 0x0F);
        const std::vector<std::int32_t> out = render(ssg, ONE_SECOND);
        // A random bit changes at every other shift on average.
        const double shifts = CLOCK / (64.0 * period);
        EXPECT_NEAR(rises(out, synth::SSG_FULL_SCALE / 2), shifts / 4, shifts / 4 * 0.15) << period;
        double mean = 0;
        for (std::int32_t v : out) {
            mean += v;
        }
        mean /= out.size();
        EXPECT_NEAR(mean / synth::SSG_FULL_SCALE, 0.5, 0.05) << period;
    }
}

// How the envelope moves over one ramp of 32 steps.
enum Ramp { UP, DOWN, HIGH, LOW };

TEST(SsgEnvelope, EveryShapeRampsHoldsAndTurnsAsDocumented)
{
    // 0x00-0x03 \___   0x04-0x07 /___   0x08 \\\\   0x09 \___   0x0A \/\/   0x0B \```
    // 0x0C ////   0x0D /```   0x0E /\/\   0x0F /___
    const Ramp shapes[16][3] = {
        {DOWN, LOW, LOW}, {DOWN, LOW, LOW}, {DOWN, LOW, LOW},    {DOWN, LOW, LOW},
        {UP, LOW, LOW},   {UP, LOW, LOW},   {UP, LOW, LOW},      {UP, LOW, LOW},
        {DOWN, DOWN, DOWN}, {DOWN, LOW, LOW}, {DOWN, UP, DOWN},  {DOWN, HIGH, HIGH},
        {UP, UP, UP},     {UP, HIGH, HIGH}, {UP, DOWN, UP},      {UP, LOW, LOW}};
    // Period 9: a step every 9 ticks of clock / 32, every 2 output samples,
    // so a ramp of 32 steps lasts 64 samples.
    constexpr int RAMP = 64;
    for (int shape = 0; shape < 16; ++shape) {
        SsgUnit ssg = unit();
        synth::writeSsg(ssg, 0x07, 0x3F);
        synth::writeSsg(ssg, 0x08, 0x10); // level from the envelope
        synth::writeSsg(ssg, 0x0B, 9);
        synth::writeSsg(ssg, 0x0C, 0);
        render(ssg, 200); // a write to the shape restarts the envelope
        synth::writeSsg(ssg, 0x0D, static_cast<std::uint8_t>(shape));
        const std::vector<std::int32_t> out = render(ssg, 3 * RAMP);
        for (int ramp = 0; ramp < 3; ++ramp) {
            const std::int32_t early = out[static_cast<std::size_t>(ramp * RAMP + 12)];
            const std::int32_t late = out[static_cast<std::size_t>(ramp * RAMP + 52)];
            switch (shapes[shape][ramp]) {
            case UP:
                EXPECT_LT(early, late) << "shape " << shape << " ramp " << ramp;
                break;
            case DOWN:
                EXPECT_GT(early, late) << "shape " << shape << " ramp " << ramp;
                break;
            case HIGH:
                EXPECT_EQ(early, synth::SSG_FULL_SCALE) << "shape " << shape << " ramp " << ramp;
                EXPECT_EQ(late, synth::SSG_FULL_SCALE) << "shape " << shape << " ramp " << ramp;
                break;
            case LOW:
                EXPECT_EQ(early, 0) << "shape " << shape << " ramp " << ramp;
                EXPECT_EQ(late, 0) << "shape " << shape << " ramp " << ramp;
                break;
            }
        }
    }
}

TEST(SsgEnvelope, StepsAreOneAndAHalfDecibels)
{
    // 0x0D: one slow ramp up; after k steps the level is k, 1.5 dB a step.
    SsgUnit ssg = unit();
    synth::writeSsg(ssg, 0x07, 0x3F);
    synth::writeSsg(ssg, 0x08, 0x10);
    synth::writeSsg(ssg, 0x0C, 0x01); // 256 ticks a step: 56.9 samples
    synth::writeSsg(ssg, 0x0D, 0x0D);
    const std::vector<std::int32_t> out = render(ssg, 32 * 57 + 100);
    const double step = 256.0 * 32 / 144; // output samples per step
    const std::int32_t at27 = out[static_cast<std::size_t>(27.5 * step)];
    const std::int32_t at31 = out.back();
    EXPECT_EQ(at31, synth::SSG_FULL_SCALE);
    EXPECT_NEAR(at27 / static_cast<double>(at31), 0.501, 0.005); // 4 steps, 6 dB
}

} // namespace

namespace {

double decibels(double ratio)
{
    return 20.0 * std::log10(ratio);
}

std::int32_t fixedLevel(int level)
{
    SsgUnit ssg = unit();
    synth::writeSsg(ssg, 0x07, 0x3F); // tone and noise off: the channel holds its level
    synth::writeSsg(ssg, 0x08, static_cast<std::uint8_t>(level));
    return render(ssg, 20).back();
}

// The converter's levels: silence at 0, 1.5 dB an envelope step (3 dB a fixed
// level) near the top, and the larger steps at the bottom that the chip's
// converter has: against level 15, a render of the chip measured level 10 at
// -15.3 dB, 7 at -24.7 dB and 3 at -39.1 dB (where 3 dB a step would give
// -15, -24 and -36).
TEST(SsgLevels, FixedAndEnvelopeLevelsFollowTheConverter)
{
    const double full = fixedLevel(15);
    EXPECT_EQ(full, synth::SSG_FULL_SCALE);
    EXPECT_EQ(fixedLevel(0), 0);
    for (int level = 1; level <= 15; ++level) {
        EXPECT_LT(fixedLevel(level - 1), fixedLevel(level)) << level;
    }
    for (int level = 12; level <= 14; ++level) {
        EXPECT_NEAR(decibels(fixedLevel(level) / full), -3.0 * (15 - level), 0.15) << level;
    }
    EXPECT_NEAR(decibels(fixedLevel(10) / full), -15.3, 0.15);
    EXPECT_NEAR(decibels(fixedLevel(7) / full), -24.7, 0.15);
    EXPECT_NEAR(decibels(fixedLevel(3) / full), -39.1, 0.15);
    // The envelope's 32 levels: a fixed level L sounds as envelope level 2L+1.
    for (int level = 1; level <= 15; ++level) {
        EXPECT_EQ(synth::ssgLevel(2 * level + 1), fixedLevel(level)) << level;
    }
    for (int step = 1; step < 32; ++step) {
        EXPECT_LT(synth::ssgLevel(step - 1), synth::ssgLevel(step)) << step;
    }
    for (int step = 24; step < 31; ++step) {
        EXPECT_NEAR(decibels(static_cast<double>(synth::ssgLevel(step)) / synth::ssgLevel(step + 1)), -1.5, 0.1)
            << step;
    }
}

// The noise is a 17-bit shift register fed back from bits 0 and 3, starting
// at 1: a maximal sequence, 131071 shifts long, with one more 1 than 0s in
// it, whose output (bit 0) begins 1, sixteen 0s, 1, as the start's single bit
// leaves and the first bit fed back arrives.
TEST(SsgNoise, TheShiftRegistersSequenceFromItsStart)
{
    std::uint32_t state = synth::SSG_NOISE_START;
    std::vector<int> first;
    int ones = 0;
    int period = 0;
    do {
        if (first.size() < 18) {
            first.push_back(static_cast<int>(state & 1));
        }
        ones += static_cast<int>(state & 1);
        state = synth::shiftSsgNoise(state);
        ++period;
        ASSERT_LT(state, 1U << 17);
        ASSERT_NE(state, 0U);
    } while (state != synth::SSG_NOISE_START && period < (1 << 18));
    EXPECT_EQ(period, 131071);
    EXPECT_EQ(ones, 65536);
    std::vector<int> expected(18, 0);
    expected.front() = 1;
    expected.back() = 1;
    EXPECT_EQ(first, expected);
}

// The power of `out` at `hz`, by a single-bin DFT over the whole render.
double powerAt(const std::vector<std::int32_t>& out, double hz)
{
    double re = 0, im = 0;
    for (std::size_t i = 0; i < out.size(); ++i) {
        const double phase = 2.0 * std::numbers::pi * hz * static_cast<double>(i) * 144.0 / CLOCK;
        re += out[i] * std::cos(phase);
        im += out[i] * std::sin(phase);
    }
    return re * re + im * im;
}

// A square wave has odd harmonics only. At 4992 Hz (period 25) its 9th and
// 11th lie at 44.9 and 54.9 kHz, above the output's 27.7 kHz: they must not
// come back folded (to 10.5 kHz and 555 Hz), nor may the output's sample
// spacing add lines beside them, as a mean over 4 and 5 ticks by turns would.
TEST(SsgTone, HarmonicsAboveTheOutputRateDoNotFoldBack)
{
    SsgUnit ssg = unit();
    synth::writeSsg(ssg, 0x00, 25);
    synth::writeSsg(ssg, 0x07, 0x3E);
    synth::writeSsg(ssg, 0x08, 0x0F);
    std::vector<std::int32_t> out = render(ssg, ONE_SECOND);
    double mean = 0;
    for (const std::int32_t v : out) {
        mean += v;
    }
    mean /= static_cast<double>(out.size());
    for (std::int32_t& v : out) {
        v = static_cast<std::int32_t>(v - mean);
    }
    const double tone = CLOCK / (64.0 * 25);
    const double fundamental = powerAt(out, tone);
    const double rate = CLOCK / 144.0;
    for (const int harmonic : {9, 11}) {
        const double folded = rate - harmonic * tone;
        EXPECT_LT(10.0 * std::log10(powerAt(out, folded) / fundamental), -70.0) << harmonic;
    }
    // The third harmonic, well below the output's limit, passes as a square's (1/3, -9.5 dB).
    EXPECT_NEAR(10.0 * std::log10(powerAt(out, 3 * tone) / fundamental), -9.54, 0.3);
}

// A render in blocks between writes is the same, sample for sample, as one
// sample at a time: tones, noise, the envelope in every shape, fixed levels
// that hold still for a long time and silence (where the counters skip
// ahead), with blocks of every size from 1 to thousands of samples.
TEST(SsgBlocks, RenderInBlocksAsSampleBySample)
{
    SsgUnit bySample = unit();
    SsgUnit byBlock = unit();
    std::uint32_t seed = 7;
    auto next = [&seed] {
        seed = seed * 1664525U + 1013904223U;
        return seed >> 8;
    };
    auto both = [&](int reg, std::uint32_t value) {
        synth::writeSsg(bySample, static_cast<std::uint8_t>(reg), static_cast<std::uint8_t>(value));
        synth::writeSsg(byBlock, static_cast<std::uint8_t>(reg), static_cast<std::uint8_t>(value));
    };
    int written = 0;
    for (int round = 0; round < 400; ++round) {
        switch (round % 8) {
        case 0: // everything silent, the counters still running
            for (int reg = 0x08; reg <= 0x0A; ++reg) {
                both(reg, 0);
            }
            break;
        case 1:
            both(0x07, next() % 64);
            both(static_cast<int>(next() % 6), next() % 256);
            break;
        case 2: // a fixed level on one channel, its tone and noise gates shut: it holds still
            both(0x07, 0x3F);
            both(0x08 + static_cast<int>(next() % 3), 1 + next() % 15);
            break;
        case 3:
            both(0x06, next() % 32);
            both(0x08 + static_cast<int>(next() % 3), 0x10);
            break;
        case 4:
            both(0x0B, next() % 256);
            both(0x0C, next() % 4);
            both(0x0D, next() % 16);
            break;
        default:
            both(0x08 + static_cast<int>(next() % 3), next() % 32);
            break;
        }
        const std::size_t count = 1 + next() % (round % 4 == 0 ? 5000 : 60);
        std::vector<std::int32_t> out(count, -1);
        synth::renderSsg(byBlock, out);
        for (std::size_t i = 0; i < count; ++i, ++written) {
            ASSERT_EQ(out[i], synth::clockSsg(bySample)) << "sample " << written << ", round " << round;
        }
    }
    EXPECT_GT(written, 100000);
}

} // namespace
