// The ym2608-adpcm program run as a user runs it: real files in a scratch
// directory, exit status, the lines it prints, and what it leaves behind.
#include "adpcm/codec.h"
#include "chip/ym2608.h"
#include "version.h"

#include <gtest/gtest.h>
#include <sndfile.h>

#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <numbers>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

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
        // Bounded: a program that waits for ever on a FIFO fails the test.
        const std::string command = std::string("timeout 120 '") + YM2608_ADPCM_PROGRAM + "' " + arguments +
                                    " >'" + out + "' 2>'" + err + "'";
        const int raw = std::system(command.c_str());
        RunResult result{WIFEXITED(raw) ? WEXITSTATUS(raw) : -1, slurp(out), slurp(err)};
        fs::remove(out);
        fs::remove(err);
        return result;
    }

    /// Runs the program with `arguments` through the shell, as they are; its exit status.
    static int shell(const std::string& arguments)
    {
        const int raw = std::system(("'" YM2608_ADPCM_PROGRAM "' " + arguments).c_str());
        return WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
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

    void writeFloatWav(const std::string& name, int rate, const std::vector<float>& values) const
    {
        SF_INFO info{};
        info.samplerate = rate;
        info.channels = 1;
        info.format = SF_FORMAT_WAV | SF_FORMAT_FLOAT;
        SNDFILE* file = sf_open(path(name).c_str(), SFM_WRITE, &info);
        ASSERT_NE(file, nullptr);
        sf_writef_float(file, values.data(), static_cast<sf_count_t>(values.size()));
        sf_close(file);
    }

    std::vector<std::uint8_t> readBytes(const std::string& name) const
    {
        std::ifstream in(path(name), std::ios::binary);
        return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
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

TEST_F(Program, AnswersHelpAndVersion)
{
    for (const char* arguments : {"--help", "-h", "encode --help", "decode a b -h"}) {
        const RunResult result = run(arguments);
        EXPECT_EQ(result.status, 0) << arguments;
        EXPECT_EQ(result.out.rfind("usage: ym2608-adpcm encode IN OUT.bin", 0), 0U) << result.out;
        EXPECT_NE(result.out.find("(default 16016,"), std::string::npos) << result.out;
        EXPECT_NE(result.out.find("--effort fast|default|best"), std::string::npos) << result.out;
        EXPECT_NE(result.out.find("man ym2608-adpcm"), std::string::npos) << result.out;
        EXPECT_EQ(result.err, "") << arguments;
    }
    const RunResult version = run("--version");
    EXPECT_EQ(version.status, 0);
    EXPECT_EQ(version.out, std::string("ym2608-adpcm ") + YM2608_VERSION + "\n");

    for (const char* arguments :
         {"encode a b --effort", "encode a b --effort slow", "encode a b --greedy --effort best",
          "decode a b --effort fast", "--verbose"}) {
        const RunResult result = run(arguments);
        EXPECT_EQ(result.status, 2) << arguments;
        EXPECT_NE(result.err.find("usage:"), std::string::npos) << arguments;
        EXPECT_EQ(std::count(result.err.begin(), result.err.end(), '\n'), 1) << result.err;
        EXPECT_EQ(result.out, "") << arguments;
    }
}

TEST_F(Program, EncodesAtEachEffort)
{
    writeWav("in.wav", 16016, 1, 4000);
    for (const char* effort : {"fast", "default", "best"}) {
        const RunResult result =
            run("encode '" + path("in.wav") + "' '" + path("out.bin") + "' --effort " + effort);
        ASSERT_EQ(result.status, 0) << result.err;
        EXPECT_NE(result.out.find(std::string("encoded (search, effort ") + effort + "): 2048 bytes"),
                  std::string::npos)
            << result.out;
    }
}

TEST_F(Program, RefusesToWriteOverItsInput)
{
    writeWav("in.wav", 16016, 1, 1000);
    const std::vector<std::uint8_t> original = readBytes("in.wav");
    expectFailure("encode '" + path("in.wav") + "' '" + path("in.wav") + "' --force", "is the input file",
                  {"in.wav"});
    // The same file under another name.
    fs::create_hard_link(path("in.wav"), path("also.bin"));
    expectFailure("encode '" + path("in.wav") + "' '" + path("also.bin") + "'", "is the input file",
                  {"in.wav", "also.bin"});
    writeBytes("codes.bin", 64, 0x80);
    expectFailure("decode '" + path("codes.bin") + "' '" + path("codes.bin") + "'", "is the input file",
                  {"in.wav", "also.bin", "codes.bin"});
    EXPECT_EQ(readBytes("in.wav"), original);
    EXPECT_EQ(readBytes("codes.bin"), std::vector<std::uint8_t>(64, 0x80));
}

TEST_F(Program, WritesCodesUnderAnAudioNameOnlyWhenForced)
{
    writeWav("in.wav", 16016, 1, 1000);
    for (const char* name : {"out.wav", "OUT.FLAC", "out.ogg", "out.aiff"}) {
        expectFailure("encode '" + path("in.wav") + "' '" + path(name) + "'",
                      "a name for an audio file; --force", {"in.wav"});
    }
    const RunResult forced = run("encode '" + path("in.wav") + "' '" + path("out.wav") + "' --force");
    ASSERT_EQ(forced.status, 0) << forced.err;
    EXPECT_EQ(fs::file_size(path("out.wav")), adpcm::paddedSampleBytes(1000));
    // Names that are not audio pass without --force.
    for (const char* name : {"out.adpcm", "out", "out.wav.bin"}) {
        EXPECT_EQ(run("encode '" + path("in.wav") + "' '" + path(name) + "'").status, 0) << name;
    }
}

TEST_F(Program, DecodesAudioFilesOnlyWhenForced)
{
    writeWav("in.wav", 16016, 1, 1000);
    expectFailure("decode '" + path("in.wav") + "' '" + path("out.wav") + "'",
                  "in.wav is a WAV (Microsoft) file, not ADPCM codes; --force", {"in.wav"});
    const RunResult forced = run("decode '" + path("in.wav") + "' '" + path("out.wav") + "' --force");
    EXPECT_EQ(forced.status, 0) << forced.err;
}

TEST_F(Program, WarnsWhenBandLimitingTakesMostOfTheSound)
{
    // A 12 kHz tone lies above the 8008 Hz that 16016 Hz can hold.
    writeWav("high.wav", 44100, 1, 22050, 12000.0);
    const RunResult high = run("encode '" + path("high.wav") + "' '" + path("high.bin") + "'");
    ASSERT_EQ(high.status, 0) << high.err;
    const std::string warning = "ym2608-adpcm: warning: band-limiting to 8008 Hz removed ";
    ASSERT_NE(high.err.find(warning), std::string::npos) << high.err;
    const double removed = std::atof(high.err.c_str() + high.err.find(warning) + warning.size());
    EXPECT_GT(removed, 20.0) << high.err;
    EXPECT_NE(high.err.find(" dB of the input's energy"), std::string::npos) << high.err;

    // A 440 Hz tone passes whole, and so does a 6 kHz one at 16016 Hz.
    writeWav("low.wav", 44100, 1, 22050, 440.0);
    const RunResult low = run("encode '" + path("low.wav") + "' '" + path("low.bin") + "'");
    EXPECT_EQ(low.status, 0);
    EXPECT_EQ(low.err, "");
    // At 8000 Hz, the 6 kHz tone is gone.
    writeWav("mid.wav", 44100, 1, 22050, 6000.0);
    EXPECT_EQ(run("encode '" + path("mid.wav") + "' '" + path("mid.bin") + "'").err, "");
    const RunResult slow = run("encode '" + path("mid.wav") + "' '" + path("mid.bin") + "' --rate 8000");
    EXPECT_NE(slow.err.find("band-limiting to 4000 Hz removed "), std::string::npos) << slow.err;
}

TEST_F(Program, TakesNotANumberAsSilenceAndInfinityAsFullScale)
{
    std::vector<float> values(2000, 0.0F);
    values[100] = std::numeric_limits<float>::quiet_NaN();
    values[101] = std::numeric_limits<float>::quiet_NaN();
    values[900] = -std::numeric_limits<float>::quiet_NaN();
    writeFloatWav("nan.wav", 16016, values);
    const RunResult result = run("encode '" + path("nan.wav") + "' '" + path("nan.bin") + "'");
    ASSERT_EQ(result.status, 0) << result.err;
    EXPECT_NE(result.err.find("warning: 3 values in the input are not numbers (NaN or infinite)"),
              std::string::npos)
        << result.err;
    // Silence, not full-scale clicks.
    for (const std::int16_t value : adpcm::decodeSample(readBytes("nan.bin"))) {
        ASSERT_LE(std::abs(value), 30);
    }

    values.assign(2000, 0.0F);
    values[500] = std::numeric_limits<float>::infinity();
    values[501] = -std::numeric_limits<float>::infinity();
    values[700] = 1e30F; // finite, far beyond full scale
    writeFloatWav("inf.wav", 16016, values);
    const RunResult infinite = run("encode '" + path("inf.wav") + "' '" + path("inf.bin") + "'");
    ASSERT_EQ(infinite.status, 0) << infinite.err;
    EXPECT_NE(infinite.err.find("warning: 2 values in the input are not numbers"), std::string::npos)
        << infinite.err;
    EXPECT_NE(infinite.out.find("2 values clipped at full scale"), std::string::npos) << infinite.out;
}

TEST_F(Program, PrintsTheDeltaNLinesForAnotherRate)
{
    writeWav("in.wav", 8000, 1, 4000);
    const RunResult other = run("encode '" + path("in.wav") + "' '" + path("out.bin") + "' --rate 8000");
    ASSERT_EQ(other.status, 0) << other.err;
    EXPECT_NE(other.out.find("note: `p` plays at 16016 Hz; for 8000 Hz, type these after `p N`:\n"
                             "o 109 dd\no 10a 24\n"),
              std::string::npos)
        << other.out;
    const RunResult own = run("encode '" + path("in.wav") + "' '" + path("out.bin") + "'");
    ASSERT_EQ(own.status, 0) << own.err;
    EXPECT_EQ(own.out.find("note:"), std::string::npos) << own.out;
}

TEST_F(Program, ChecksTheOutputBeforeAnyWork)
{
    fs::create_directory(path("somedir"));
    expectFailure("encode '" + path("somedir") + "' '" + path("out.bin") + "'", "somedir is a directory",
                  {"somedir"});
    expectFailure("decode '" + path("somedir") + "' '" + path("out.wav") + "'", "somedir is a directory",
                  {"somedir"});
    writeWav("in.wav", 16016, 1, 1000);
    expectFailure("encode '" + path("in.wav") + "' '" + path("somedir") + "'", "it is a directory",
                  {"in.wav", "somedir"});
    // Nothing read nor encoded when the folder is missing: not even the first line.
    const RunResult missing = run("encode '" + path("in.wav") + "' '" + path("none/out.bin") + "'");
    EXPECT_EQ(missing.status, 1);
    EXPECT_EQ(missing.out, "");
    EXPECT_NE(missing.err.find("cannot write " + path("none/out.bin") + ": No such file or directory"),
              std::string::npos)
        << missing.err;
}

TEST_F(Program, TellsALengthJustOverTheLimitFromTheLimit)
{
    // One value more than fits: 32.73 s either way at two decimals.
    writeWav("edge.wav", 16016, 1, adpcm::maxSamplesThatFit() + 1);
    expectFailure(
        "encode '" + path("edge.wav") + "' '" + path("out.bin") + "'",
        "is too long: 32.73133 s at 16016 Hz needs 262176 bytes, the chip holds 262144; at most 32.73127 s "
        "fits",
        {"edge.wav"});
}

/// Bytes written into the FIFO at `path` by a thread, as another program
/// would write them: its open waits for the reader.
struct FifoWriter {
    std::string path;
    std::thread thread;

    FifoWriter(std::string fifo, std::vector<std::uint8_t> bytes) : path(std::move(fifo))
    {
        thread = std::thread([this, bytes = std::move(bytes)] {
            const int fd = open(path.c_str(), O_WRONLY);
            [[maybe_unused]] const ssize_t written = write(fd, bytes.data(), bytes.size());
            close(fd);
        });
    }
    /// A program that never opened the FIFO leaves the thread waiting: a
    /// reader of our own lets it finish (the FIFO's buffer takes its bytes).
    ~FifoWriter()
    {
        const int reader = open(path.c_str(), O_RDONLY | O_NONBLOCK);
        thread.join();
        close(reader);
    }
};

TEST_F(Program, WritesIntoDevicesFifosAndStandardOutputAsTheyAre)
{
    writeWav("in.wav", 16016, 1, 4000);
    ASSERT_EQ(run("encode '" + path("in.wav") + "' '" + path("ref.bin") + "'").status, 0);
    const std::vector<std::uint8_t> codes = readBytes("ref.bin");

    // The null and full devices, made here (tests run as root).
    if (mknod(path("null").c_str(), S_IFCHR | 0666, makedev(1, 3)) == 0 &&
        mknod(path("full").c_str(), S_IFCHR | 0666, makedev(1, 7)) == 0) {
        EXPECT_EQ(run("encode '" + path("in.wav") + "' '" + path("null") + "'").status, 0);
        const RunResult full = run("encode '" + path("in.wav") + "' '" + path("full") + "'");
        EXPECT_EQ(full.status, 1);
        EXPECT_EQ(full.err, "ym2608-adpcm: cannot write " + path("full") + ": No space left on device\n");
        for (const char* name : {"null", "full"}) {
            struct stat status {};
            EXPECT_TRUE(lstat(path(name).c_str(), &status) == 0 && S_ISCHR(status.st_mode)) << name;
        }
    }

    // A FIFO with its reader there first; the codes fit in its buffer.
    ASSERT_EQ(mkfifo(path("fifo").c_str(), 0600), 0);
    const int reader = open(path("fifo").c_str(), O_RDONLY | O_NONBLOCK);
    EXPECT_EQ(run("encode '" + path("in.wav") + "' '" + path("fifo") + "'").status, 0);
    std::vector<std::uint8_t> drained(codes.size() + 1);
    drained.resize(
        static_cast<std::size_t>(std::max<ssize_t>(0, read(reader, drained.data(), drained.size()))));
    close(reader);
    EXPECT_EQ(drained, codes);

    // Standard output gets the codes alone; the reports go to standard error.
    // (Named by a link of our own, as /dev/stdout is one: a program that
    // replaced it would replace nothing outside this folder.)
    fs::create_symlink("/proc/self/fd/1", path("stdout"));
    const RunResult standard = run("encode '" + path("in.wav") + "' '" + path("stdout") + "'");
    EXPECT_EQ(standard.status, 0) << standard.err;
    EXPECT_EQ(standard.out, std::string(codes.begin(), codes.end()));
    EXPECT_NE(standard.err.find("SNR "), std::string::npos) << standard.err;
    // Through a pipe, as `| aplay` takes it.
    ASSERT_EQ(run("decode '" + path("ref.bin") + "' '" + path("ref.wav") + "'").status, 0);
    EXPECT_EQ(shell("decode '" + path("ref.bin") + "' '" + path("stdout") + "' 2>/dev/null | cat >'" +
                    path("piped.wav") + "'"),
              0);
    EXPECT_EQ(readBytes("piped.wav"), readBytes("ref.wav"));
}

TEST_F(Program, WritesThroughASymlinkToItsTarget)
{
    writeWav("in.wav", 16016, 1, 4000);
    ASSERT_EQ(run("encode '" + path("in.wav") + "' '" + path("ref.bin") + "'").status, 0);
    fs::create_directory(path("sub"));
    writeBytes("sub/kept.bin", 10, 0);
    fs::permissions(path("sub/kept.bin"), fs::perms::owner_read | fs::perms::owner_write);
    fs::create_symlink("sub/kept.bin", path("link.bin"));
    fs::create_symlink("link.bin", path("chain.bin"));
    fs::create_symlink("sub/new.bin", path("dangling.bin"));
    for (const char* name : {"chain.bin", "dangling.bin"}) {
        EXPECT_EQ(run("encode '" + path("in.wav") + "' '" + path(name) + "'").status, 0) << name;
    }
    for (const char* name : {"link.bin", "chain.bin", "dangling.bin"}) {
        EXPECT_TRUE(fs::is_symlink(path(name))) << name;
    }
    EXPECT_EQ(readBytes("sub/kept.bin"), readBytes("ref.bin"));
    EXPECT_EQ(readBytes("sub/new.bin"), readBytes("ref.bin"));
    EXPECT_EQ(fs::status(path("sub/kept.bin")).permissions(), fs::perms::owner_read | fs::perms::owner_write);
    EXPECT_EQ(files(), (std::vector<std::string>{"chain.bin", "dangling.bin", "in.wav", "link.bin", "ref.bin",
                                                 "sub"}));
}

TEST_F(Program, ReadsPipesAndFifosOnceAndCtrlCEndsTheWaitForAWriter)
{
    writeWav("in.wav", 16016, 1, 4000);
    ASSERT_EQ(run("encode '" + path("in.wav") + "' '" + path("ref.bin") + "'").status, 0);
    ASSERT_EQ(run("decode '" + path("ref.bin") + "' '" + path("ref.wav") + "'").status, 0);
    EXPECT_EQ(std::system(("cat '" + path("in.wav") + "' | '" YM2608_ADPCM_PROGRAM "' encode /dev/stdin '" +
                           path("piped.bin") + "' >/dev/null")
                              .c_str()),
              0);
    EXPECT_EQ(readBytes("piped.bin"), readBytes("ref.bin"));

    // FIFOs whose writer comes after the program opened them.
    ASSERT_EQ(mkfifo(path("fifo").c_str(), 0600), 0);
    {
        FifoWriter writer(path("fifo"), readBytes("in.wav"));
        EXPECT_EQ(run("encode '" + path("fifo") + "' '" + path("fifo.bin") + "'").status, 0);
    }
    EXPECT_EQ(readBytes("fifo.bin"), readBytes("ref.bin"));
    {
        FifoWriter writer(path("fifo"), readBytes("ref.bin"));
        EXPECT_EQ(run("decode '" + path("fifo") + "' '" + path("fifo.wav") + "'").status, 0);
    }
    EXPECT_EQ(readBytes("fifo.wav"), readBytes("ref.wav"));

    // No writer: Ctrl-C while the program waits in the open fails the read.
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, path("err.txt").c_str(), O_WRONLY | O_CREAT,
                                     0600);
    std::string input = path("fifo");
    std::string output = path("never.wav");
    char* argv[] = {const_cast<char*>(YM2608_ADPCM_PROGRAM), const_cast<char*>("decode"), input.data(),
                    output.data(), nullptr};
    pid_t pid = 0;
    ASSERT_EQ(posix_spawn(&pid, YM2608_ADPCM_PROGRAM, &actions, nullptr, argv, environ), 0);
    posix_spawn_file_actions_destroy(&actions);
    // Its kernel wait says when it waits in the FIFO's open for a writer.
    const std::string wchanFile = "/proc/" + std::to_string(pid) + "/wchan";
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    std::string state;
    while (std::chrono::steady_clock::now() < deadline && state != "wait_for_partner") {
        state = slurp(wchanFile);
        std::this_thread::yield();
    }
    kill(pid, SIGINT);
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1) << status << " " << state;
    EXPECT_EQ(slurp(path("err.txt")), "ym2608-adpcm: cannot read " + input + ": interrupted\n");
    EXPECT_FALSE(fs::exists(output));
}

} // namespace
