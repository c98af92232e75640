// Playbacks written by the worker, driven through followAdpcmStart as the
// serving loop drives it. Each file is checked byte for byte against the
// renderer's WAV for the memory as it was when its playback started.
#include "adpcm/render.h"
#include "board_emu/playback.h"
#include "chip/ym2608.h"
#include "link/frames.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <unistd.h>
#include <vector>

namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<std::uint8_t>;

struct Write {
    std::uint8_t reg;
    std::uint8_t value;
};

// What `p` sends for a slot of `units` units at `start`, ending with the start.
std::vector<Write> playWrites(std::uint16_t start, std::uint16_t units)
{
    const auto stop = static_cast<std::uint16_t>(start + units - 1);
    return {{ADPCM_CONTROL1, 0x20},
            {ADPCM_CONTROL1, 0x21},
            {ADPCM_DELTA_N_LOW, PLAYBACK_DELTA_N & 0xFF},
            {ADPCM_DELTA_N_HIGH, PLAYBACK_DELTA_N >> 8},
            {ADPCM_LEVEL, 0xFF},
            {ADPCM_CONTROL2, 0xC2},
            {ADPCM_CONTROL1, 0x21},
            {ADPCM_START_LOW, static_cast<std::uint8_t>(start)},
            {ADPCM_START_HIGH, static_cast<std::uint8_t>(start >> 8)},
            {ADPCM_STOP_LOW, static_cast<std::uint8_t>(stop)},
            {ADPCM_STOP_HIGH, static_cast<std::uint8_t>(stop >> 8)},
            {ADPCM_CONTROL1, 0xA0}};
}

constexpr std::int64_t SECOND = 1'000'000'000;

// The line's clock of the writes followed: unless a test says otherwise, each
// write comes `spacing` after the one before, long after any playback here
// has reached its stop unit.
struct LineClock {
    std::int64_t now = 0;
    std::int64_t spacing = 10 * SECOND;
};
LineClock line;

// Follows `writes` as the serving loop does, and keeps `regs` as the chip's
// registers after them; returns the lines announced.
std::vector<std::string> follow(const std::vector<Write>& writes, const Bytes& memory,
                                adpcm::AdpcmRegisters& regs)
{
    std::vector<std::string> lines;
    for (const Write& w : writes) {
        line.now += line.spacing;
        if (!synth::applyAdpcmWrite(regs, w.reg, w.value)) {
            if (w.reg == ADPCM_CONTROL1) {
                followAdpcmControl(w.value, line.now);
            }
            continue;
        }
        std::string announced = followAdpcmStart(regs, memory, line.now);
        if (!announced.empty()) {
            lines.push_back(announced);
        }
    }
    return lines;
}

Bytes readFile(const fs::path& path)
{
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// The renderer's own WAV for a start with `regs` on `memory`.
Bytes expectedWav(const fs::path& dir, const Bytes& memory, const adpcm::AdpcmRegisters& regs)
{
    const fs::path path = dir / "expected.wav";
    std::string error;
    EXPECT_TRUE(adpcm::writePlaybackWav(path.string(), adpcm::renderPlayback(memory, regs), error)) << error;
    Bytes bytes = readFile(path);
    fs::remove(path);
    return bytes;
}

Bytes memoryWith(std::uint8_t seed)
{
    Bytes memory(SAMPLE_MEMORY_SIZE, 0x80);
    for (std::size_t i = 0; i < 64 * ADDRESS_UNIT; ++i) {
        memory[i] = static_cast<std::uint8_t>(seed + i * 29 + (i >> 5));
    }
    return memory;
}

std::vector<std::string> filesIn(const fs::path& dir)
{
    std::vector<std::string> names;
    for (const fs::directory_entry& entry : fs::directory_iterator(dir)) {
        names.push_back(entry.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
}

class Playback : public ::testing::Test {
  protected:
    void SetUp() override
    {
        root = fs::temp_directory_path() / ("ym2608_playback_test_" + std::to_string(getpid()));
        fs::remove_all(root);
        fs::create_directories(root);
        wavs = root / "wav";
        reference = root / "reference";
        line = LineClock{};
        fs::create_directories(reference);
    }
    void TearDown() override
    {
        finishPlaybacks();
        fs::remove_all(root);
    }
    fs::path root, wavs, reference;
};

TEST_F(Playback, EachStartFromMemoryIsWrittenAsTheMemoryWasThen)
{
    std::string error;
    ASSERT_TRUE(startPlaybacks(wavs.string(), adpcm::DEFAULT_CLOCK, error)) << error;
    ASSERT_TRUE(fs::is_directory(wavs)) << "the directory is made";
    using Lines = std::vector<std::string>;
    adpcm::AdpcmRegisters regs;

    Bytes memory = memoryWith(1);
    EXPECT_EQ(follow(playWrites(0, 32), memory, regs),
              Lines{"play units 0..31 at 15990 Hz, 0.13 s -> play-0001.wav"});
    const Bytes firstMemory = memory;
    const adpcm::AdpcmRegisters first = regs;

    // Another load over the same units, then left only at a quarter level: the
    // first file still holds the first sample.
    memory = memoryWith(2);
    EXPECT_EQ(follow({{ADPCM_LEVEL, 0x40}, {ADPCM_CONTROL2, 0x82}, {ADPCM_CONTROL1, 0xA0}}, memory, regs),
              Lines{"play units 0..31 at 15990 Hz, 0.13 s -> play-0002.wav"});
    const adpcm::AdpcmRegisters second = regs;

    // Starts that sound nothing are announced with the reason and take no
    // number; a start fed by the CPU or held in reset is not a playback at all.
    EXPECT_EQ(follow({{ADPCM_STOP_LOW, 0x00}, {ADPCM_START_LOW, 0x05}, {ADPCM_CONTROL1, 0xA0}}, memory, regs),
              Lines{"play units 5..0 at 15990 Hz: stop before start, nothing rendered"});
    EXPECT_EQ(follow({{ADPCM_CONTROL1, 0x80}, {ADPCM_CONTROL1, 0xA1}}, memory, regs), Lines{});

    // Right only, units 40..63 at twice the rate.
    EXPECT_EQ(follow({{ADPCM_START_LOW, 40},
                      {ADPCM_STOP_LOW, 63},
                      {ADPCM_DELTA_N_LOW, 0x9A},
                      {ADPCM_DELTA_N_HIGH, 0x93},
                      {ADPCM_CONTROL2, 0x42},
                      {ADPCM_CONTROL1, 0xA0}},
                     memory, regs),
              Lines{"play units 40..63 at 31980 Hz, 0.05 s -> play-0003.wav"});

    ASSERT_TRUE(finishPlaybacks());
    EXPECT_EQ(filesIn(wavs), (Lines{"play-0001.wav", "play-0002.wav", "play-0003.wav"}));
    EXPECT_EQ(readFile(wavs / "play-0001.wav"), expectedWav(reference, firstMemory, first));
    EXPECT_EQ(readFile(wavs / "play-0002.wav"), expectedWav(reference, memory, second));
    EXPECT_EQ(readFile(wavs / "play-0003.wav"), expectedWav(reference, memory, regs));
}

// The renderer's WAV for a start with `regs`, cut after `frames` frames.
Bytes expectedCutWav(const fs::path& dir, const Bytes& memory, const adpcm::AdpcmRegisters& regs,
                     std::size_t frames, std::uint32_t clock)
{
    std::vector<std::int16_t> played = adpcm::renderPlayback(memory, regs, clock);
    EXPECT_GT(played.size(), frames * adpcm::OUTPUT_CHANNELS) << "the playback is cut short";
    played.resize(frames * adpcm::OUTPUT_CHANNELS);
    const fs::path path = dir / "expected.wav";
    std::string error;
    EXPECT_TRUE(adpcm::writePlaybackWav(path.string(), played, error, clock)) << error;
    Bytes bytes = readFile(path);
    fs::remove(path);
    return bytes;
}

TEST_F(Playback, AFileEndsWhereTheWriteThatEndsThePlaybackComes)
{
    // At 8 MHz an output sample is 18 us: the writes come 1000 samples apart.
    constexpr std::uint32_t CLOCK = 8'000'000;
    line.spacing = 18'000'000;
    std::string error;
    ASSERT_TRUE(startPlaybacks(wavs.string(), CLOCK, error)) << error;
    using Lines = std::vector<std::string>;
    adpcm::AdpcmRegisters regs;
    const Bytes memory = memoryWith(3);

    // Ended by a reset: 0.13 s planned, 1000 samples played.
    EXPECT_EQ(follow(playWrites(0, 32), memory, regs),
              Lines{"play units 0..31 at 16016 Hz, 0.13 s -> play-0001.wav"});
    const adpcm::AdpcmRegisters first = regs;
    follow({{ADPCM_CONTROL1, 0x21}}, memory, regs);

    // The whole memory, 33 s to its stop unit, ended by the next start after
    // 2000 samples (a write to the level between does not end it); then a
    // start with start clear ends that one after 1000.
    EXPECT_EQ(follow({{ADPCM_STOP_LOW, 0xFF}, {ADPCM_STOP_HIGH, 0x1F}, {ADPCM_CONTROL1, 0xA0}}, memory, regs),
              Lines{"play units 0..8191 at 16016 Hz, 32.74 s -> play-0002.wav"});
    const adpcm::AdpcmRegisters whole = regs;
    EXPECT_EQ(follow({{ADPCM_LEVEL, 0x80}, {ADPCM_CONTROL1, 0xA0}}, memory, regs),
              Lines{"play units 0..8191 at 16016 Hz, 32.74 s -> play-0003.wav"});
    const adpcm::AdpcmRegisters third = regs;
    follow({{ADPCM_CONTROL1, 0x20}}, memory, regs);

    // Nothing ends the last one: it plays to its stop unit.
    follow({{ADPCM_STOP_LOW, 3}, {ADPCM_STOP_HIGH, 0}}, memory, regs);
    EXPECT_EQ(follow({{ADPCM_CONTROL1, 0xA0}}, memory, regs),
              Lines{"play units 0..3 at 16016 Hz, 0.02 s -> play-0004.wav"});

    ASSERT_TRUE(finishPlaybacks());
    EXPECT_EQ(readFile(wavs / "play-0001.wav"), expectedCutWav(reference, memory, first, 1000, CLOCK));
    EXPECT_EQ(readFile(wavs / "play-0002.wav"), expectedCutWav(reference, memory, whole, 2000, CLOCK));
    EXPECT_EQ(readFile(wavs / "play-0003.wav"), expectedCutWav(reference, memory, third, 1000, CLOCK));
    EXPECT_EQ(fs::file_size(wavs / "play-0003.wav"), 44U + 1000 * 4);
    std::string rendered;
    ASSERT_TRUE(adpcm::writePlaybackWav((reference / "last.wav").string(),
                                        adpcm::renderPlayback(memory, regs, CLOCK), rendered, CLOCK));
    EXPECT_EQ(readFile(wavs / "play-0004.wav"), readFile(reference / "last.wav"));
}

TEST_F(Playback, StartsBeyondTheQueueWaitAndKeepTheirOwnMemory)
{
    std::string error;
    ASSERT_TRUE(startPlaybacks(wavs.string(), adpcm::DEFAULT_CLOCK, error)) << error;
    adpcm::AdpcmRegisters regs;
    constexpr int STARTS = 3 * PLAYBACK_QUEUE;
    std::vector<Bytes> memories;
    for (int i = 0; i < STARTS; ++i) {
        memories.push_back(memoryWith(static_cast<std::uint8_t>(i * 11)));
        ASSERT_EQ(follow(playWrites(0, 64), memories.back(), regs).size(), 1U);
    }
    ASSERT_TRUE(finishPlaybacks());
    ASSERT_EQ(filesIn(wavs).size(), std::size_t{STARTS});
    for (int i = 0; i < STARTS; ++i) {
        char name[32];
        std::snprintf(name, sizeof name, "play-%04d.wav", i + 1);
        EXPECT_EQ(readFile(wavs / name), expectedWav(reference, memories[static_cast<std::size_t>(i)], regs))
            << name;
    }
}

TEST_F(Playback, FailuresAreReportedNotHidden)
{
    // Nothing is followed before the worker has started.
    adpcm::AdpcmRegisters regs;
    EXPECT_EQ(follow(playWrites(0, 1), memoryWith(0), regs), std::vector<std::string>{});

    std::string error;
    std::ofstream(root / "plain") << "x";
    EXPECT_FALSE(startPlaybacks((root / "plain").string(), adpcm::DEFAULT_CLOCK, error));
    EXPECT_NE(error.find("--wav-dir"), std::string::npos) << error;
    EXPECT_FALSE(startPlaybacks((root / "plain" / "below").string(), adpcm::DEFAULT_CLOCK, error));
    EXPECT_EQ(follow(playWrites(0, 1), memoryWith(0), regs), std::vector<std::string>{});

    // The directory vanishes while the emulator runs: the file cannot be
    // written and the run ends in failure.
    ASSERT_TRUE(startPlaybacks(wavs.string(), adpcm::DEFAULT_CLOCK, error)) << error;
    fs::remove_all(wavs);
    testing::internal::CaptureStderr();
    EXPECT_EQ(follow(playWrites(0, 1), memoryWith(0), regs).size(), 1U);
    EXPECT_FALSE(finishPlaybacks());
    const std::string reported = testing::internal::GetCapturedStderr();
    EXPECT_NE(reported.find("play-0001.wav"), std::string::npos) << reported;
    EXPECT_FALSE(fs::exists(wavs / "play-0001.wav"));
}

} // namespace
