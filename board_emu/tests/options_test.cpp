// The emulator's command line, through parseOptions.
#include "board_emu/options.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

bool parse(std::vector<const char*> args, EmuOptions& options, std::string& error)
{
    return parseOptions(static_cast<int>(args.size()), args.data(), options, error);
}

TEST(Options, DefaultsAreAGenuineBoard)
{
    EmuOptions o;
    std::string error;
    ASSERT_TRUE(parse({}, o, error));
    EXPECT_EQ(std::string(o.board.identify.begin(), o.board.identify.end()), "2608");
    EXPECT_EQ(o.board.backlight, 1);
    EXPECT_TRUE(o.board.faults.empty());
    EXPECT_FALSE(o.board.hangupAfter);
    EXPECT_EQ(o.baud, 0u);
    EXPECT_EQ(o.latencyTimerMs, 0u);
    EXPECT_FALSE(o.verbose);
}

TEST(Options, ReadsEveryOption)
{
    EmuOptions o;
    std::string error;
    ASSERT_TRUE(parse({"--link",
                       "/tmp/com3",
                       "--log=frames.log",
                       "--log-writes",
                       "writes.log",
                       "--dump-memory",
                       "mem.bin",
                       "--dump-stream",
                       "stream.bin",
                       "--wav-dir",
                       "out",
                       "--identify",
                       "2609",
                       "--backlight",
                       "7",
                       "--fail",
                       "OP_CACHE_WRITE:3",
                       "--fail",
                       "OP_START:1:0x7f",
                       "--short",
                       "OP_WP_RESET:2",
                       "--hangup-after",
                       "1",
                       "--baud",
                       "115200",
                       "--latency-timer",
                       "16",
                       "--verbose"},
                      o, error))
        << error;
    EXPECT_EQ(o.linkPath, "/tmp/com3");
    EXPECT_EQ(o.logPath, "frames.log");
    EXPECT_EQ(o.writesLogPath, "writes.log");
    EXPECT_EQ(o.memoryDumpPath, "mem.bin");
    EXPECT_EQ(o.streamDumpPath, "stream.bin");
    EXPECT_EQ(o.wavDir, "out");
    EXPECT_EQ(std::string(o.board.identify.begin(), o.board.identify.end()), "2609");
    EXPECT_EQ(o.board.backlight, 7);
    ASSERT_EQ(o.board.faults.size(), 3u);
    EXPECT_EQ(o.board.faults[0].opcode, OP_CACHE_WRITE);
    EXPECT_EQ(o.board.faults[0].ordinal, 3u);
    EXPECT_EQ(o.board.faults[0].reply, 0x00);
    EXPECT_FALSE(o.board.faults[0].shortReply);
    EXPECT_EQ(o.board.faults[1].opcode, OP_START);
    EXPECT_EQ(o.board.faults[1].reply, 0x7f);
    EXPECT_EQ(o.board.faults[2].opcode, OP_WP_RESET);
    EXPECT_EQ(o.board.faults[2].ordinal, 2u);
    EXPECT_TRUE(o.board.faults[2].shortReply);
    ASSERT_TRUE(o.board.hangupAfter);
    EXPECT_EQ(*o.board.hangupAfter, 1u);
    EXPECT_EQ(o.baud, 115200u);
    EXPECT_EQ(o.latencyTimerMs, 16u);
    EXPECT_TRUE(o.verbose);
}

TEST(Options, RefusesBadInputWithOneLine)
{
    struct Case {
        std::vector<const char*> args;
        const char* error;
    };
    const Case cases[] = {
        {{"--colour"}, "unknown option --colour"},
        {{"-v"}, "unknown option -v"},
        {{"--log"}, "--log needs a value"},
        {{"--wav-dir"}, "--wav-dir needs a value"},
        {{"--wav-dir="}, "--wav-dir needs a directory"},
        {{"--verbose=yes"}, "--verbose takes no value"},
        {{"--identify", "26080"}, "--identify 26080: TEXT must be exactly four bytes"},
        {{"--backlight", "256"}, "--backlight 256: N must be 0 to 255"},
        {{"--backlight", "1x"}, "--backlight 1x: N must be 0 to 255"},
        // Ranges are the options' own: a line that takes ten seconds a byte,
        // or a board unplugged before its path could be opened, is refused.
        {{"--baud", "0"}, "--baud 0: N must be 50 to 100000000"},
        {{"--baud", "1"}, "--baud 1: N must be 50 to 100000000"},
        {{"--baud", "49"}, "--baud 49: N must be 50 to 100000000"},
        {{"--baud", "100000001"}, "--baud 100000001: N must be 50 to 100000000"},
        {{"--hangup-after", "-1"}, "--hangup-after -1: K must be a frame count from 1 to 4294967295"},
        {{"--hangup-after", "0"}, "--hangup-after 0: K must be a frame count from 1 to 4294967295"},
        {{"--hangup-after", "4294967296"},
         "--hangup-after 4294967296: K must be a frame count from 1 to 4294967295"},
        {{"--latency-timer", "0"}, "--latency-timer 0: MS must be 1 to 255"},
        {{"--latency-timer", "256"}, "--latency-timer 256: MS must be 1 to 255"},
        {{"--fail", "OP_CACHE_WRITE"}, "--fail OP_CACHE_WRITE: expected NAME:K"},
        {{"--fail", "OP_FOO:1"}, "--fail OP_FOO:1: no frame is called OP_FOO"},
        {{"--fail", "OP_N:1"}, "--fail OP_N:1: OP_N has no reply"},
        {{"--fail", "OP_STOP:0"}, "--fail OP_STOP:0: K must be a frame count from 1"},
        {{"--fail", "OP_STOP:1:300"}, "--fail OP_STOP:1:300: BYTE must be 0 to 255 (or 0x00 to 0xff)"},
        {{"--short", "OP_STOP:1:0"}, "--short OP_STOP:1:0: expected NAME:K"},
        {{"--short", "OP_WRITE_BANK1:1"}, "--short OP_WRITE_BANK1:1: OP_WRITE_BANK1 has no reply"},
    };
    for (const Case& c : cases) {
        EmuOptions o;
        std::string error;
        EXPECT_FALSE(parse(c.args, o, error)) << c.error;
        EXPECT_EQ(error, c.error);
    }
}

} // namespace
