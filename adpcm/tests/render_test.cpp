#include "adpcm/codec.h"
#include "adpcm/render.h"
#include "chip/ym2608.h"
#include <unistd.h>

#include <gtest/gtest.h>
#include <sndfile.h>

#include <cmath>
#include <cstdio>
#include <filesystem>
#include <vector>

namespace {

using adpcm::AdpcmRegisters;

/// Registers as `p` leaves them for a slot at `start` of `units` units.
AdpcmRegisters playRegisters(std::uint16_t start, std::uint16_t units, std::uint16_t deltaN = 0x49CD)
{
    AdpcmRegisters regs;
    regs.control1 = 0xA0;
    regs.control2 = 0xC2;
    regs.start = start;
    regs.stop = static_cast<std::uint16_t>(start + units - 1);
    regs.deltaN = deltaN;
    regs.level = 0xFF;
    return regs;
}

/// Sample memory with a rising-and-falling pattern from unit 0 on.
std::vector<std::uint8_t> memoryWithPattern(std::size_t units)
{
    std::vector<std::uint8_t> memory(SAMPLE_MEMORY_SIZE, 0x80);
    for (std::size_t i = 0; i < units * ADDRESS_UNIT; ++i) {
        memory[i] = (i / 8) % 2 == 0 ? 0x43 : 0xCB;
    }
    return memory;
}

std::vector<std::int16_t> channel(const std::vector<std::int16_t>& frames, std::size_t which)
{
    std::vector<std::int16_t> values;
    for (std::size_t i = which; i < frames.size(); i += adpcm::OUTPUT_CHANNELS) {
        values.push_back(frames[i]);
    }
    return values;
}

TEST(AdpcmRegisters, FollowThePlaybackSequenceAndReportTheStart)
{
    // The set-up and start that `p 1` sends for a slot at 0 of 32 units.
    const std::uint8_t writes[][2] = {{0x00, 0x20}, {0x00, 0x21}, {0x09, 0xCD}, {0x0A, 0x49},
                                      {0x0B, 0xFF}, {0x01, 0xC2}, {0x00, 0x21}, {0x02, 0x00},
                                      {0x03, 0x00}, {0x04, 0x1F}, {0x05, 0x00}, {0x00, 0xA0}};
    AdpcmRegisters regs;
    int starts = 0;
    for (const auto& write : writes) {
        starts += synth::applyAdpcmWrite(regs, write[0], write[1]) ? 1 : 0;
    }
    EXPECT_EQ(starts, 1);
    EXPECT_TRUE(synth::applyAdpcmWrite(regs, 0x00, 0xA0));
    EXPECT_EQ(regs.start, 0);
    EXPECT_EQ(regs.stop, 31);
    EXPECT_EQ(regs.deltaN, 0x49CD);
    EXPECT_EQ(regs.level, 0xFF);
    EXPECT_EQ(regs.control2, 0xC2);

    synth::applyAdpcmWrite(regs, 0x03, 0x01);
    synth::applyAdpcmWrite(regs, 0x02, 0x2C);
    EXPECT_EQ(regs.start, 300);
    EXPECT_FALSE(synth::applyAdpcmWrite(regs, 0x00, 0xA1)); // start while held in reset
    EXPECT_FALSE(synth::applyAdpcmWrite(regs, 0x00, 0x80)); // start fed by the CPU
}

TEST(Render, LastsUntilTheCodesOfTheStopUnitAreSpent)
{
    const std::vector<std::uint8_t> memory = memoryWithPattern(32);
    // 32 units are 2048 codes; at 0x49CD the counter asks for code 2049 at
    // frame ceil(2049 * 65536 / 18893) = 7108.
    EXPECT_EQ(adpcm::renderPlayback(memory, playRegisters(0, 32)).size(), 7108 * adpcm::OUTPUT_CHANNELS);
    // At half the output clock every code lasts two frames.
    EXPECT_EQ(adpcm::renderPlayback(memory, playRegisters(5, 1, 0x8000)).size(),
              130 * adpcm::OUTPUT_CHANNELS);

    const adpcm::PlaybackPlan plan = adpcm::planPlayback(playRegisters(0, 32));
    EXPECT_EQ(plan.codeCount, 2048U);
    // The code rate is the master clock / 144 x delta-N / 65536.
    EXPECT_NEAR(plan.rateHz, 15990.2, 0.05);
    EXPECT_NEAR(adpcm::planPlayback(playRegisters(0, 32), 8'000'000).rateHz, 16016.0, 0.5);
    EXPECT_FALSE(plan.cut);
}

TEST(Render, InterpolatesBetweenSuccessiveDecodedValues)
{
    const std::vector<std::uint8_t> memory = memoryWithPattern(1);
    const std::vector<std::int16_t> decoded =
        adpcm::decodeSample(std::span(memory).first(ADDRESS_UNIT)); // what the unit decodes to
    AdpcmRegisters regs = playRegisters(0, 1, 0x4000);              // four frames per code
    const std::vector<std::int16_t> left = channel(adpcm::renderPlayback(memory, regs), 0);
    ASSERT_EQ(left.size(), 65U * 4);
    // Frame 4c + q sits a quarter q of the way from code c-2's value to code c-1's.
    for (std::size_t frame = 0; frame < left.size(); ++frame) {
        const std::size_t taken = frame / 4;
        const double from = taken >= 2 ? decoded[taken - 2] : 0.0;
        const double to = taken >= 1 ? decoded[taken - 1] : 0.0;
        const double between = std::floor(from + (to - from) * static_cast<double>(frame % 4) / 4.0);
        ASSERT_EQ(left[frame], static_cast<std::int16_t>(std::floor(between * 255.0 / 256.0))) << frame;
    }
}

TEST(Render, ScalesByTheLevelOnTheEnabledChannels)
{
    const std::vector<std::uint8_t> memory = memoryWithPattern(2);
    AdpcmRegisters regs = playRegisters(0, 2);
    const std::vector<std::int16_t> full = adpcm::renderPlayback(memory, regs);
    regs.level = 0x40;
    const std::vector<std::int16_t> quarter = adpcm::renderPlayback(memory, regs);
    ASSERT_EQ(full.size(), quarter.size());
    bool heard = false;
    for (std::size_t i = 0; i < full.size(); ++i) {
        // floor(v * 255 / 256) against floor(v / 4): within one step of a quarter.
        ASSERT_NEAR(quarter[i], full[i] / 4.0 * 256.0 / 255.0, 1.0) << i;
        heard = heard || full[i] != 0;
    }
    EXPECT_TRUE(heard);
    regs.level = 0;
    for (const std::int16_t value : adpcm::renderPlayback(memory, regs)) {
        ASSERT_EQ(value, 0);
    }

    regs.level = 0xFF;
    regs.control2 = 0x80;
    const std::vector<std::int16_t> leftOnly = adpcm::renderPlayback(memory, regs);
    EXPECT_EQ(channel(leftOnly, 0), channel(full, 0));
    EXPECT_EQ(channel(leftOnly, 1), std::vector<std::int16_t>(full.size() / 2, 0));
    regs.control2 = 0x40;
    const std::vector<std::int16_t> rightOnly = adpcm::renderPlayback(memory, regs);
    EXPECT_EQ(channel(rightOnly, 1), channel(full, 1));
    EXPECT_EQ(channel(rightOnly, 0), std::vector<std::int16_t>(full.size() / 2, 0));
}

TEST(Render, ReadsFromTheStartUnitAndWrapsAtTheEndOfMemory)
{
    std::vector<std::uint8_t> memory = memoryWithPattern(0);
    std::fill_n(memory.begin() + 10 * ADDRESS_UNIT, ADDRESS_UNIT, 0x77);
    std::vector<std::uint8_t> shifted = memoryWithPattern(0);
    std::fill_n(shifted.begin(), ADDRESS_UNIT, 0x77);
    EXPECT_EQ(adpcm::renderPlayback(memory, playRegisters(10, 1)),
              adpcm::renderPlayback(shifted, playRegisters(0, 1)));

    // Units 1 and 2 of a two-unit memory: unit 2 is unit 0 again.
    std::vector<std::uint8_t> small(2 * ADDRESS_UNIT, 0x11);
    std::fill_n(small.begin() + ADDRESS_UNIT, ADDRESS_UNIT, 0x99);
    std::vector<std::uint8_t> straight(2 * ADDRESS_UNIT, 0x99);
    std::fill_n(straight.begin() + ADDRESS_UNIT, ADDRESS_UNIT, 0x11);
    EXPECT_EQ(adpcm::renderPlayback(small, playRegisters(1, 2)),
              adpcm::renderPlayback(straight, playRegisters(0, 2)));
}

TEST(Render, RendersNothingForAStartThatDoesNotPlay)
{
    const std::vector<std::uint8_t> memory = memoryWithPattern(4);
    AdpcmRegisters regs = playRegisters(0, 4);
    struct Case {
        void (*change)(AdpcmRegisters&);
        const char* reason;
    };
    const Case cases[] = {
        {[](AdpcmRegisters& r) { r.control1 = 0xA1; }, "held in reset"},
        {[](AdpcmRegisters& r) { r.control1 = 0x80; }, "codes from the CPU"},
        {[](AdpcmRegisters& r) { r.deltaN = 0; }, "delta-N 0"},
        {[](AdpcmRegisters& r) { r.stop = static_cast<std::uint16_t>(r.start - 1); }, "stop before start"},
    };
    for (const Case& c : cases) {
        AdpcmRegisters changed = regs;
        changed.start = 32;
        changed.stop = 35;
        c.change(changed);
        EXPECT_TRUE(adpcm::renderPlayback(memory, changed).empty()) << c.reason;
        const std::string line = adpcm::describePlayback(changed, "play-0001.wav");
        EXPECT_NE(line.find(c.reason), std::string::npos) << line;
        EXPECT_NE(line.find("nothing rendered"), std::string::npos) << line;
    }
}

TEST(Render, CutsAPlaybackLongerThanTheLimit)
{
    AdpcmRegisters regs = playRegisters(0, SAMPLE_MEMORY_UNITS, 1);
    const adpcm::PlaybackPlan plan = adpcm::planPlayback(regs);
    EXPECT_TRUE(plan.cut);
    EXPECT_EQ(plan.frameCount, adpcm::MAX_RENDER_SECONDS * adpcm::DEFAULT_CLOCK / 144);
    EXPECT_NE(adpcm::describePlayback(regs, "x.wav").find("(cut)"), std::string::npos);
}

TEST(Render, DescribesThePlaybackInOneLine)
{
    EXPECT_EQ(adpcm::describePlayback(playRegisters(0, 32), "play-0001.wav"),
              "play units 0..31 at 15990 Hz, 0.13 s -> play-0001.wav");
    AdpcmRegisters regs = playRegisters(300, 20);
    regs.control1 = 0xB0;
    EXPECT_EQ(adpcm::describePlayback(regs, "play-0002.wav"),
              "play units 300..319 at 15990 Hz, 0.08 s, repeat (one pass rendered) -> play-0002.wav");
}

TEST(PlaybackWav, WritesStereoAtTheOutputClockOrNothing)
{
    const std::filesystem::path dir =
        std::filesystem::temp_directory_path() / ("ym2608_render_test_" + std::to_string(getpid()));
    std::filesystem::remove_all(dir);
    std::filesystem::create_directories(dir);
    const std::vector<std::uint8_t> memory = memoryWithPattern(4);
    const std::vector<std::int16_t> frames = adpcm::renderPlayback(memory, playRegisters(0, 4));

    std::string error;
    const std::string path = (dir / "play-0001.wav").string();
    ASSERT_TRUE(adpcm::writePlaybackWav(path, frames, error)) << error;
    SF_INFO info{};
    SNDFILE* file = sf_open(path.c_str(), SFM_READ, &info);
    ASSERT_NE(file, nullptr);
    EXPECT_EQ(info.channels, 2);
    EXPECT_EQ(info.samplerate, 55467); // 7987200 / 144, to the whole hertz
    EXPECT_EQ(info.format, SF_FORMAT_WAV | SF_FORMAT_PCM_16);
    std::vector<std::int16_t> back(frames.size());
    EXPECT_EQ(sf_readf_short(file, back.data(), info.frames), static_cast<sf_count_t>(frames.size() / 2));
    sf_close(file);
    EXPECT_EQ(back, frames);

    const std::string nowhere = (dir / "missing" / "play-0002.wav").string();
    EXPECT_FALSE(adpcm::writePlaybackWav(nowhere, frames, error));
    EXPECT_NE(error.find(nowhere), std::string::npos);
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir), std::filesystem::directory_iterator()),
              1);
    std::filesystem::remove_all(dir);
}

} // namespace
