// The ym2608-adpcm program run as a user runs it: real files in a scratch
// directory, exit status, the lines it prints, and what it leaves behind.
#include "adpcm/codec.h"
#include "chip/ym2608.h"
#include <unistd.h>

#include <gtest/gtest.h>
#include <sndfile.h>

#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <numbers>
#include <sstream>
#include <string>
#include <sys/wait.h>
#include <vector>

namespace {

namespace fs = std::filesystem;

struct RunResult {
    int status;
    std::string out;
    std::string err;
};

class Program : public ::testing::Test {
  protected:
    void SetUp() override
    {
        const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
        // One folder per process: two builds' suites may run side by side.
        dir = fs::temp_directory_path() /
              ("ym2608_adpcm_" + std::string(info->name()) + "_" + std::to_string(getpid()));
        fs::remove_all(dir);
        fs::create_directories(dir);
    }
    void TearDown() override { fs::remove_all(dir); }

    std::string path(const std::string& name) const { return (dir / name).string(); }

    RunResult run(const std::string& arguments) const
    {
        const std::string out = path("stdout.txt");
        const std::string err = path("stderr.txt");
        const std::string command =
            std::string("'") + YM2608_ADPCM_PROGRAM + "' " + arguments + " >'" + out + "' 2>'" + err + "'";
        const int raw = std::system(command.c_str());
        RunResult result{WIFEXITED(raw) ? WEXITSTATUS(raw) : -1, slurp(out), slurp(err)};
        fs::remove(out);
        fs::remove(err);
        return result;
    }

    static std::string slurp(const std::string& file)
    {
        std::ifstream in(file);
        std::stringstream text;
        text << in.rdbuf();
        return text.str();
    }

    /// The names in the scratch directory, to see that nothing was left behind.
    std::vector<std::string> files() const
    {
        std::vector<std::string> names;
        for (const auto& entry : fs::directory_iterator(dir)) {
            names.push_back(entry.path().filename().string());
        }
        std::sort(names.begin(), names.end());
        return names;
    }

    void writeWav(const std::string& name, int rate, int channels, std::size_t frames,
                  double hertz = 440.0) const
    {
        SF_INFO info{};
        info.samplerate = rate;
        info.channels = channels;
        info.format = SF_FORMAT_WAV | SF_FORMAT_PCM_16;
        SNDFILE* file = sf_open(path(name).c_str(), SFM_WRITE, &info);
        ASSERT_NE(file, nullptr);
        std::vector<std::int16_t> values(frames * static_cast<std::size_t>(channels));
        for (std::size_t i = 0; i < values.size(); ++i) {
            const double t = static_cast<double>(i / static_cast<std::size_t>(channels)) / rate;
            values[i] =
                static_cast<std::int16_t>(std::lround(16000.0 * std::sin(2 * std::numbers::pi * hertz * t)));
        }
        sf_writef_short(file, values.data(), static_cast<sf_count_t>(frames));
        sf_close(file);
    }

    void writeBytes(const std::string& name, std::size_t count, std::uint8_t value) const
    {
        std::ofstream(path(name), std::ios::binary) << std::string(count, static_cast<char>(value));
    }

    /// A failure: one line on standard error, saying `what`, status 1, and
    /// the scratch directory holding exactly `left`.
    void expectFailure(const std::string& arguments, const std::string& what,
                       std::vector<std::string> left) const
    {
        const RunResult result = run(arguments);
        EXPECT_EQ(result.status, 1) << arguments;
        EXPECT_NE(result.err.find(what), std::string::npos) << result.err;
        EXPECT_EQ(std::count(result.err.begin(), result.err.end(), '\n'), 1) << result.err;
        std::sort(left.begin(), left.end());
        EXPECT_EQ(files(), left) << arguments;
    }

    fs::path dir;
};

TEST_F(Program, EncodesARecordingAndDecodesItBack)
{
    // Half a second of stereo at 44.1 kHz becomes 8008 values at 16016 Hz.
    writeWav("in.wav", 44100, 2, 22050);
    const RunResult encoded = run("encode '" + path("in.wav") + "' '" + path("out.bin") + "'");
    ASSERT_EQ(encoded.status, 0) << encoded.err;
    EXPECT_NE(encoded.out.find("44100 Hz, 2 channels, 0.50 s"), std::string::npos) << encoded.out;
    EXPECT_NE(encoded.out.find("8008 values"), std::string::npos) << encoded.out;
    EXPECT_NE(encoded.out.find("4064 bytes, 127 units"), std::string::npos) << encoded.out;
    EXPECT_NE(encoded.out.find("SNR "), std::string::npos) << encoded.out;
    EXPECT_EQ(fs::file_size(path("out.bin")), adpcm::paddedSampleBytes(8008));

    const RunResult decoded = run("decode '" + path("out.bin") + "' '" + path("out.wav") + "'");
    ASSERT_EQ(decoded.status, 0) << decoded.err;
    SF_INFO info{};
    SNDFILE* file = sf_open(path("out.wav").c_str(), SFM_READ, &info);
    ASSERT_NE(file, nullptr);
    EXPECT_EQ(info.samplerate, 16016);
    EXPECT_EQ(info.channels, 1);
    EXPECT_EQ(info.frames, 8128);
    std::vector<std::int16_t> values(static_cast<std::size_t>(info.frames));
    sf_readf_short(file, values.data(), info.frames);
    sf_close(file);
    std::ifstream in(path("out.bin"), std::ios::binary);
    const std::vector<std::uint8_t> bytes((std::istreambuf_iterator<char>(in)),
                                          std::istreambuf_iterator<char>());
    EXPECT_EQ(values, adpcm::decodeSample(bytes));
    EXPECT_EQ(files(), (std::vector<std::string>{"in.wav", "out.bin", "out.wav"}));
}

TEST_F(Program, TakesAnotherRateAndTheGreedyEncoder)
{
    writeWav("in.wav", 8000, 1, 4000);
    const RunResult result =
        run("encode '" + path("in.wav") + "' '" + path("out.bin") + "' --rate 8000 --greedy");
    ASSERT_EQ(result.status, 0) << result.err;
    EXPECT_NE(result.out.find("8000 Hz (delta-N 0x24DD): 4000 values, rate unchanged"), std::string::npos)
        << result.out;
    EXPECT_NE(result.out.find("(greedy)"), std::string::npos) << result.out;
    EXPECT_EQ(fs::file_size(path("out.bin")), adpcm::paddedSampleBytes(4000));
}

TEST_F(Program, RefusesInputsItCannotEncode)
{
    expectFailure("encode '" + path("absent.wav") + "' '" + path("out.bin") + "'", "cannot read", {});

    std::ofstream(path("notes.txt")) << "these are words, not sound\n";
    expectFailure("encode '" + path("notes.txt") + "' '" + path("out.bin") + "'", "is not audio",
                  {"notes.txt"});

    writeBytes("empty.wav", 0, 0);
    expectFailure("encode '" + path("empty.wav") + "' '" + path("out.bin") + "'", "is empty",
                  {"notes.txt", "empty.wav"});

    writeWav("silence.wav", 44100, 1, 0);
    expectFailure("encode '" + path("silence.wav") + "' '" + path("out.bin") + "'", "holds no audio",
                  {"notes.txt", "empty.wav", "silence.wav"});
}

TEST_F(Program, RefusesARecordingTooLongForTheChipAndSaysWhatFits)
{
    // 33 s at 8 kHz: 528528 values at 16016 Hz, more than the 524224 that fit.
    writeWav("long.wav", 8000, 1, 33 * 8000);
    expectFailure("encode '" + path("long.wav") + "' '" + path("out.bin") + "'", "at most 32.73 s fits",
                  {"long.wav"});
    // At half the rate it fits.
    const RunResult result =
        run("encode '" + path("long.wav") + "' '" + path("out.bin") + "' --rate 8000 --greedy");
    EXPECT_EQ(result.status, 0) << result.err;
}

TEST_F(Program, RefusesSampleFilesItCannotDecode)
{
    expectFailure("decode '" + path("absent.bin") + "' '" + path("out.wav") + "'", "cannot read", {});
    writeBytes("empty.bin", 0, 0);
    expectFailure("decode '" + path("empty.bin") + "' '" + path("out.wav") + "'", "is empty", {"empty.bin"});
    writeBytes("huge.bin", SAMPLE_MEMORY_SIZE + 1, 0x80);
    expectFailure("decode '" + path("huge.bin") + "' '" + path("out.wav") + "'", "too long",
                  {"empty.bin", "huge.bin"});
}

TEST_F(Program, LeavesNothingWhenTheOutputCannotBeWritten)
{
    writeWav("in.wav", 16016, 1, 1000);
    expectFailure("encode '" + path("in.wav") + "' '" + path("no/such/dir/out.bin") + "'", "cannot write",
                  {"in.wav"});
    writeBytes("in.bin", 64, 0x80);
    expectFailure("decode '" + path("in.bin") + "' '" + path("no/such/dir/out.wav") + "'", "cannot write",
                  {"in.bin", "in.wav"});
}

TEST_F(Program, AnswersAWrongCommandLineWithUsage)
{
    for (const char* arguments : {"", "play x y", "encode onlyone", "encode a b --rate 99",
                                  "encode a b --loud", "decode a b --greedy"}) {
        const RunResult result = run(arguments);
        EXPECT_EQ(result.status, 2) << arguments;
        EXPECT_NE(result.err.find("usage:"), std::string::npos) << arguments;
    }
}

} // namespace
