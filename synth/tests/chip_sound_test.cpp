// The whole chip's output as the session WAV and the render carry it: each
// unit reached by the right bank and registers, at its place in the mix, the
// chip's own output held to 16 bits rather than wrapped round, and the whole
// at the output scale (half the chip's 16 bits).
#include "synth/chip_sound.h"
#include "play/player.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <vector>

namespace {

using namespace synth;

struct Stereo {
    std::vector<std::int16_t> left;
    std::vector<std::int16_t> right;
};

Stereo render(ChipSound& chip, std::size_t samples)
{
    std::vector<std::int16_t> frames(2 * samples);
    renderChipSound(chip, frames);
    Stereo out;
    for (std::size_t i = 0; i < samples; ++i) {
        out.left.push_back(frames[2 * i]);
        out.right.push_back(frames[2 * i + 1]);
    }
    return out;
}

ChipSound powered(std::span<const std::uint8_t> rhythm = {})
{
    ChipSound chip;
    resetChipSound(chip, rhythm);
    return chip;
}

// Channel `ch` (0-5) at algorithm 7, every operator a carrier at full level,
// instant attack, no decay, at about 440 Hz, keyed on.
void fullChannel(ChipSound& chip, int ch)
{
    const int bank = ch / 3;
    const auto c = static_cast<std::uint8_t>(ch % 3);
    writeChipSound(chip, bank, static_cast<std::uint8_t>(0xB0 + c), 0x07);
    writeChipSound(chip, bank, static_cast<std::uint8_t>(0xB4 + c), 0xC0);
    for (int op = 0; op < 4; ++op) {
        const auto o = static_cast<std::uint8_t>(4 * op + c);
        writeChipSound(chip, bank, static_cast<std::uint8_t>(0x30 + o), 0x01);
        writeChipSound(chip, bank, static_cast<std::uint8_t>(0x40 + o), 0x00);
        writeChipSound(chip, bank, static_cast<std::uint8_t>(0x50 + o), 0x1F);
        writeChipSound(chip, bank, static_cast<std::uint8_t>(0x80 + o), 0x0F);
    }
    writeChipSound(chip, bank, static_cast<std::uint8_t>(0xA4 + c), 0x24);
    writeChipSound(chip, bank, static_cast<std::uint8_t>(0xA0 + c), 0x10);
    writeChipSound(chip, 0, 0x28, static_cast<std::uint8_t>(0xF0 | (bank << 2) | c));
}

TEST(ChipSound, SixFullChannelsClipAtTheChipsSixteenBitsNeverWrap)
{
    ChipSound chip = powered();
    writeChipSound(chip, 0, 0x29, 0x80); // channels 4-6 on
    for (int ch = 0; ch < 6; ++ch) {
        fullChannel(chip, ch);
    }
    const Stereo out = render(chip, 5000);
    EXPECT_EQ(*std::max_element(out.left.begin(), out.left.end()), 32767 >> OUTPUT_SHIFT);
    EXPECT_EQ(*std::min_element(out.left.begin(), out.left.end()), -32768 >> OUTPUT_SHIFT);
    // A wrapped sum would jump by about 65536 between neighbours.
    for (std::size_t i = 1; i < out.left.size(); ++i) {
        ASSERT_LT(std::abs(out.left[i] - out.left[i - 1]), 20000) << i;
    }
    EXPECT_EQ(out.left, out.right);
}

// An operator far below hearing is a standing offset at the output: F-number
// 0 with detune +3 steps the phase by 2 a sample, a sine of 0.1 Hz, which
// at full level would hold the output near its peak for most of a second.
// The FM sum is coupled to the output like the SSG, so it comes through only
// as the small steps of the sine's slow walk; a 440 Hz note keeps its level.
TEST(ChipSound, FmOffsetBelowHearingNeverReachesTheOutput)
{
    ChipSound chip = powered();
    writeChipSound(chip, 0, 0xB0, 0x07);
    writeChipSound(chip, 0, 0xB4, 0xC0);
    writeChipSound(chip, 0, 0x30, 0x31); // detune +3, multiple 1
    writeChipSound(chip, 0, 0x40, 0x00);
    writeChipSound(chip, 0, 0x50, 0x1F);
    writeChipSound(chip, 0, 0x28, 0x10);      // operator 1 of channel 1 on
    const Stereo slow = render(chip, 140000); // past the sine's first peak, at 131072
    for (const std::int16_t v : slow.left) {
        ASSERT_LT(std::abs(v), 8191 >> (OUTPUT_SHIFT + 4));
    }
    writeChipSound(chip, 0, 0xA4, 0x24);
    writeChipSound(chip, 0, 0xA0, 0x10);
    render(chip, 20000); // the offset the slow sine left behind dies away
    const Stereo note = render(chip, 1000);
    EXPECT_NEAR(*std::max_element(note.left.begin(), note.left.end()), 8191 >> OUTPUT_SHIFT, 8191 >> 6);
    EXPECT_EQ(slow.left, slow.right);
}

TEST(ChipSound, AdpcmComesInAtItsSixteenBitsOnItsOutputs)
{
    ChipSound chip = powered();
    // +7 codes drive the accumulator to its 16-bit limit.
    writeChipMemory(chip, 0, std::vector<std::uint8_t>(1024, 0x77));
    const std::uint8_t play[][2] = {{0x01, 0x80}, {0x02, 0x00}, {0x03, 0x00}, {0x04, 0x1F}, {0x05, 0x00},
                                    {0x09, 0xCD}, {0x0A, 0x49}, {0x0B, 0xFF}, {0x00, 0xA0}};
    for (const auto& w : play) {
        writeChipSound(chip, 1, w[0], w[1]);
    }
    const Stereo out = render(chip, 2000);
    EXPECT_NEAR(out.left.back(), (32767 * 255 / 256) >> OUTPUT_SHIFT, 2);
    EXPECT_EQ(*std::max_element(out.right.begin(), out.right.end()), 0);
    // A stop (reset set) ends it at once.
    writeChipSound(chip, 1, 0x00, 0x01);
    EXPECT_EQ(render(chip, 10).left.back(), 0);
}

TEST(ChipSound, SsgSwingsAroundZeroAtHalfAChannel)
{
    ChipSound chip = powered();
    writeChipSound(chip, 0, 0x00, 125); // 998 Hz
    writeChipSound(chip, 0, 0x07, 0x3E);
    writeChipSound(chip, 0, 0x08, 0x0F);
    render(chip, 55467); // a second for the coupling capacitor to settle
    const Stereo out = render(chip, 5546);
    // The square's plateaus (its edges ring a little, as a band-limited square does).
    double high = 0, low = 0;
    int highs = 0, lows = 0;
    for (const std::int16_t v : out.left) {
        (v > 0 ? high : low) += v;
        (v > 0 ? highs : lows) += 1;
    }
    high /= highs;
    low /= lows;
    EXPECT_NEAR(high - low, (synth::SSG_FULL_SCALE / 2) >> OUTPUT_SHIFT, 60);
    EXPECT_NEAR(high + low, 0, 60);
    EXPECT_EQ(out.left, out.right);
    // The second bank's 0x00-0x0D are not the SSG's.
    writeChipSound(chip, 0, 0x08, 0x00);
    writeChipSound(chip, 1, 0x08, 0x0F);
    render(chip, 55467);
    const Stereo quiet = render(chip, 1000);
    EXPECT_LT(*std::max_element(quiet.left.begin(), quiet.left.end()), 50);
}

TEST(ChipSound, RhythmOnTheFirstBankOnly)
{
    const std::vector<std::uint8_t> image(synth::RHYTHM_MEMORY_SIZE, 0x77);
    ChipSound chip = powered(image);
    writeChipSound(chip, 1, 0x11, 0x3F);
    writeChipSound(chip, 1, 0x18, 0xDF);
    writeChipSound(chip, 1, 0x10, 0x01);
    const Stereo silent = render(chip, 300);
    EXPECT_EQ(*std::max_element(silent.left.begin(), silent.left.end()), 0);
    writeChipSound(chip, 0, 0x11, 0x3F);
    writeChipSound(chip, 0, 0x18, 0xDF);
    writeChipSound(chip, 0, 0x10, 0x01);
    EXPECT_EQ(render(chip, 300).left.back(), 8188 >> OUTPUT_SHIFT);
}

// The ADPCM unit against FM as the chip mixes them: a full-scale ADPCM output
// at level 255 stands about four times (12 dB) above one FM operator at full
// level, as a render of the chip measures (11.6 to 11.9 dB at levels 0xFF,
// 0x9F and 0x6F alike).
TEST(ChipSound, AdpcmAtFullLevelStandsTwelveDecibelsAboveAnFmOperator)
{
    ChipSound fm = powered();
    fullChannel(fm, 0);
    for (int op = 1; op < 4; ++op) {
        writeChipSound(fm, 0, static_cast<std::uint8_t>(0x40 + 4 * op), 0x7F); // one operator alone
    }
    const Stereo note = render(fm, 2000);
    const int operatorPeak = *std::max_element(note.left.begin() + 1000, note.left.end());
    for (const std::uint8_t level : {0xFF, 0x9F, 0x6F}) {
        ChipSound chip = powered();
        writeChipMemory(chip, 0, std::vector<std::uint8_t>(1024, 0x77));
        const std::uint8_t play[][2] = {{0x01, 0xC0}, {0x02, 0x00}, {0x03, 0x00}, {0x04, 0x1F}, {0x05, 0x00},
                                        {0x09, 0xCD}, {0x0A, 0x49}, {0x0B, level}, {0x00, 0xA0}};
        for (const auto& w : play) {
            writeChipSound(chip, 1, w[0], w[1]);
        }
        const double adpcm = render(chip, 2000).left.back();
        EXPECT_NEAR(20.0 * std::log10(adpcm / operatorPeak), 12.0 + 20.0 * std::log10(level / 256.0), 0.3)
            << int{level};
    }
}

// Boards mix the SSG beside the chip at their own level: setSsgLevel moves it
// against FM by the decibels asked, and 0 keeps the default balance.
TEST(ChipSound, SsgLevelMovesTheSsgAgainstFm)
{
    const auto swing = [](double decibels) {
        ChipSound chip = powered();
        setSsgLevel(chip, decibels);
        writeChipSound(chip, 0, 0x07, 0x3F); // a held level: a step through the coupling capacitor
        writeChipSound(chip, 0, 0x08, 0x0F);
        const Stereo step = render(chip, 40);
        return static_cast<double>(*std::max_element(step.left.begin(), step.left.end()));
    };
    const double base = swing(0.0);
    EXPECT_NEAR(base, (SSG_FULL_SCALE >> SSG_MIX_SHIFT) >> OUTPUT_SHIFT, 40);
    EXPECT_NEAR(20.0 * std::log10(swing(3.0) / base), 3.0, 0.05);
    EXPECT_NEAR(20.0 * std::log10(swing(-10.0) / base), -10.0, 0.05);
    EXPECT_NEAR(20.0 * std::log10(swing(99.0) / base), SSG_LEVEL_MAX_DB, 0.05); // held to the range
}

// Between notes the output is digital silence, not a floor: once the SSG has
// stopped, its coupling capacitor's tail dies away to exactly 0 and stays there.
TEST(ChipSound, SilenceAfterTheSsgStopsIsExactlyZero)
{
    ChipSound chip = powered();
    writeChipSound(chip, 0, 0x00, 125);
    writeChipSound(chip, 0, 0x06, 0x05);
    writeChipSound(chip, 0, 0x07, 0x36); // tone and noise on A
    writeChipSound(chip, 0, 0x08, 0x0F);
    render(chip, 20000);
    writeChipSound(chip, 0, 0x08, 0x00);
    render(chip, 55467 / 2); // half a second for the tail
    const Stereo quiet = render(chip, 55467);
    EXPECT_EQ(std::count(quiet.left.begin(), quiet.left.end(), 0), 55467);
}

} // namespace

namespace {

using namespace synth;

// Each unit's output within the range the mix is built for: an FM operator in
// the 14-bit channel range with its envelope within 10 bits, the six rhythm
// instruments at most a channel each, the ADPCM unit in 16 bits, and the
// SSG's coupling high-pass within the swing of the three channels it is fed.
void expectUnitsInRange(const ChipSound& chip)
{
    for (const synth::FmChannel& channel : chip.fm.channel) {
        for (const synth::FmOperator& op : channel.op) {
            ASSERT_GE(op.output, -8192);
            ASSERT_LE(op.output, 8191);
            ASSERT_GE(op.attenuation, 0);
            ASSERT_LE(op.attenuation, 0x3FF);
        }
    }
    ASSERT_LE(std::abs(chip.rhythm.left), synth::RHYTHM_INSTRUMENTS * 8192);
    ASSERT_LE(std::abs(chip.rhythm.right), synth::RHYTHM_INSTRUMENTS * 8192);
    ASSERT_GE(chip.adpcm.current, -32768);
    ASSERT_LE(chip.adpcm.current, 32767);
    ASSERT_LE(std::abs(chip.ssgFiltered >> 10), 3 * synth::SSG_FULL_SCALE / 2 + 1);
}

// Any byte stream a client sends reaches the units as register writes and
// memory: whatever the values, in whatever order, nothing reads outside its
// tables or memory (the suite runs under the sanitizers too), every unit's
// output stays in its range, and the writes that end a play (each operator
// given the fastest release, then the player's silencing writes) leave the
// chip silent.
TEST(ChipSound, AnyWritesOfEitherBankAndAnyMemoryKeepTheOutputWhole)
{
    std::vector<std::uint8_t> rhythm(synth::RHYTHM_MEMORY_SIZE);
    std::uint32_t state = 12345;
    auto next = [&state] {
        state = state * 1664525u + 1013904223u;
        return static_cast<std::uint8_t>(state >> 24);
    };
    for (std::uint8_t& b : rhythm) {
        b = next();
    }
    ChipSound chip = powered(rhythm);
    std::vector<std::uint8_t> memory(4096);
    for (std::uint8_t& b : memory) {
        b = next();
    }
    writeChipMemory(chip, 0, memory);
    writeChipMemory(chip, SAMPLE_MEMORY_SIZE - 100, memory); // past the end: cut
    std::vector<std::int16_t> frames(2 * 64);
    std::size_t sounding = 0;
    for (int round = 0; round < 20000; ++round) {
        const int bank = next() & 1;
        const std::uint8_t reg = next();
        writeChipSound(chip, bank, reg, next());
        // Now and then a start from memory with whatever addresses were set.
        if ((round & 63) == 0) {
            writeChipSound(chip, 1, 0x00, static_cast<std::uint8_t>(0xA0 | (next() & 0x11)));
            writeChipSound(chip, 0, 0x10, next());
        }
        renderChipSound(chip, frames);
        sounding += static_cast<std::size_t>(
            std::count_if(frames.begin(), frames.end(), [](std::int16_t v) { return v != 0; }));
        ASSERT_NO_FATAL_FAILURE(expectUnitsInRange(chip));
    }
    EXPECT_EQ(chip.memory.size(), SAMPLE_MEMORY_SIZE);
    EXPECT_GT(sounding, frames.size() * 20000 / 2); // the writes did make sound

    for (int bank = 0; bank < 2; ++bank) {
        for (int reg = 0x80; reg <= 0x8F; ++reg) {
            writeChipSound(chip, bank, static_cast<std::uint8_t>(reg), 0x0F); // release rate 15
        }
    }
    for (const auto& [reg, value] : SILENCE_WRITES) {
        writeChipSound(chip, reg >= BANK1_BASE ? 1 : 0, static_cast<std::uint8_t>(reg), value);
    }
    render(chip, 55467); // a second: the releases end and the coupling capacitor settles
    const Stereo quiet = render(chip, 5000);
    EXPECT_EQ(std::count(quiet.left.begin(), quiet.left.end(), 0), 5000);
    EXPECT_EQ(std::count(quiet.right.begin(), quiet.right.end(), 0), 5000);
}

} // namespace
