// The rhythm unit from a rhythm memory image the test makes itself: its
// decoder's documented steps, where each instrument lies and how long it
// plays at 18.5 kHz, its levels, panning and dump.
#include "synth/rhythm.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <vector>

namespace {

using synth::RhythmUnit;

struct Stereo {
    std::vector<std::int32_t> left;
    std::vector<std::int32_t> right;
};

Stereo render(RhythmUnit& rhythm, int samples)
{
    Stereo out;
    for (int i = 0; i < samples; ++i) {
        std::int32_t l = 0;
        std::int32_t r = 0;
        synth::clockRhythm(rhythm, l, r);
        out.left.push_back(l);
        out.right.push_back(r);
    }
    return out;
}

// Each instrument's stretch filled with +7 codes except the tom's with -7:
// every one climbs to the 12-bit limit and stays there until its end.
std::vector<std::uint8_t> image()
{
    std::vector<std::uint8_t> memory(synth::RHYTHM_MEMORY_SIZE, 0x77);
    for (int i = synth::RHYTHM_FIRST_BYTE[4]; i <= synth::RHYTHM_LAST_BYTE[4]; ++i) {
        memory[static_cast<std::size_t>(i)] = 0xFF;
    }
    return memory;
}

RhythmUnit loaded()
{
    RhythmUnit rhythm;
    synth::resetRhythm(rhythm);
    EXPECT_TRUE(synth::loadRhythmMemory(rhythm, image()));
    synth::writeRhythm(rhythm, 0x11, 0x3F);
    for (std::uint8_t reg = 0x18; reg <= 0x1D; ++reg) {
        synth::writeRhythm(rhythm, reg, 0xDF);
    }
    return rhythm;
}

int soundingSamples(const std::vector<std::int32_t>& out)
{
    int count = 0;
    for (std::int32_t v : out) {
        count += v != 0;
    }
    return count;
}

TEST(RhythmDecoder, FollowsTheDocumentedStepsAndStaysWithin12Bits)
{
    synth::RhythmDecoder decoder;
    // From reset (step 16): +7 moves 15 x 16 / 8 = 30 and the step index by 9
    // (to 37); +7: 15 x 37 / 8 = 69 (index 18, 88); -7: 15 x 88 / 8 = 165
    // (index 27, 209); +0: 209 / 8 = 26 (index 26).
    const std::uint8_t codes[] = {0x7, 0x7, 0xF, 0x0};
    const std::int32_t values[] = {30, 99, -66, -40};
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(synth::decodeRhythmCode(decoder, codes[i]), values[i]) << i;
    }
    for (int i = 0; i < 40; ++i) {
        synth::decodeRhythmCode(decoder, 0x7);
    }
    EXPECT_EQ(decoder.value, 2047);
    EXPECT_EQ(decoder.stepIndex, 48);
    for (int i = 0; i < 40; ++i) {
        synth::decodeRhythmCode(decoder, 0xF);
    }
    EXPECT_EQ(decoder.value, -2048);
}

TEST(RhythmUnit, EachInstrumentPlaysItsStretchAtAThirdOfTheOutputRate)
{
    for (int index = 0; index < synth::RHYTHM_INSTRUMENTS; ++index) {
        RhythmUnit rhythm = loaded();
        synth::writeRhythm(rhythm, 0x10, static_cast<std::uint8_t>(1 << index));
        const int codes = 2 * (synth::RHYTHM_LAST_BYTE[index] - synth::RHYTHM_FIRST_BYTE[index] + 1);
        const Stereo out = render(rhythm, codes * synth::RHYTHM_SAMPLES_PER_CODE + 100);
        EXPECT_EQ(soundingSamples(out.left), codes * synth::RHYTHM_SAMPLES_PER_CODE) << index;
        // At full levels the 12-bit limit reaches the 14-bit channel range.
        const std::int32_t last = out.left[static_cast<std::size_t>(codes * synth::RHYTHM_SAMPLES_PER_CODE - 1)];
        EXPECT_EQ(last, index == 4 ? -8192 : 8188) << index;
        EXPECT_EQ(out.right, out.left) << index;
    }
}

TEST(RhythmUnit, LevelsPanningAndDump)
{
    RhythmUnit rhythm = loaded();
    synth::writeRhythm(rhythm, 0x10, 0x01);
    const std::int32_t full = render(rhythm, 600).left.back();
    // Eight steps of instrument level or of total level: 6 dB.
    synth::writeRhythm(rhythm, 0x18, 0xDF - 8);
    EXPECT_NEAR(render(rhythm, 3).left.back() / static_cast<double>(full), 0.501, 0.002);
    synth::writeRhythm(rhythm, 0x18, 0xDF);
    synth::writeRhythm(rhythm, 0x11, 0x3F - 8);
    EXPECT_NEAR(render(rhythm, 3).left.back() / static_cast<double>(full), 0.501, 0.002);
    synth::writeRhythm(rhythm, 0x11, 0x3F);
    // Left only, then right only.
    synth::writeRhythm(rhythm, 0x18, 0x9F);
    Stereo side = render(rhythm, 3);
    EXPECT_EQ(side.left.back(), full);
    EXPECT_EQ(side.right.back(), 0);
    synth::writeRhythm(rhythm, 0x18, 0x5F);
    side = render(rhythm, 3);
    EXPECT_EQ(side.left.back(), 0);
    EXPECT_EQ(side.right.back(), full);
    // Two instruments add up; a dump stops only those it names.
    synth::writeRhythm(rhythm, 0x18, 0xDF);
    synth::writeRhythm(rhythm, 0x10, 0x02);
    EXPECT_EQ(render(rhythm, 600).left.back(), 2 * full);
    synth::writeRhythm(rhythm, 0x10, 0x81);
    EXPECT_EQ(render(rhythm, 3).left.back(), full);
    synth::writeRhythm(rhythm, 0x10, 0x82);
    EXPECT_EQ(soundingSamples(render(rhythm, 6).left), 0);
}

TEST(RhythmUnit, SilentWithoutARhythmMemoryImage)
{
    RhythmUnit rhythm;
    synth::resetRhythm(rhythm);
    EXPECT_FALSE(synth::loadRhythmMemory(rhythm, std::vector<std::uint8_t>(100, 0x77)));
    synth::writeRhythm(rhythm, 0x11, 0x3F);
    synth::writeRhythm(rhythm, 0x18, 0xDF);
    synth::writeRhythm(rhythm, 0x10, 0x3F);
    EXPECT_EQ(soundingSamples(render(rhythm, 3000).left), 0);
}

} // namespace
