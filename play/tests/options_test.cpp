// The player's command line: every option's accepted range and the exact
// one-line error for what is refused.
#include "play/options.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

bool parse(std::vector<const char*> args, PlayOptions& options, std::string& error)
{
    options = PlayOptions{};
    return parsePlayOptions(static_cast<int>(args.size()), args.data(), options, error);
}

TEST(PlayOptions, ValuesInBothSpellingsAndFilesAnywhere)
{
    PlayOptions o;
    std::string error;
    ASSERT_TRUE(parse({"a.vgm", "--loops", "3", "--speed=2.5", "--port", "/dev/ttyUSB0", "--baud=115200",
                       "--board-clock", "8000000", "--no-drop", "b.s98", "--", "--c.vgz"},
                      o, error))
        << error;
    EXPECT_EQ(o.files, (std::vector<std::string>{"a.vgm", "b.s98", "--c.vgz"}));
    EXPECT_EQ(o.loops, 3);
    EXPECT_DOUBLE_EQ(o.speed, 2.5);
    EXPECT_EQ(o.port, "/dev/ttyUSB0");
    EXPECT_EQ(o.baud, 115200u);
    EXPECT_EQ(o.boardClock, 8000000u);
    EXPECT_FALSE(o.dropping);
    ASSERT_TRUE(parse({"--stats", "--list", "x.vgm"}, o, error));
    EXPECT_TRUE(o.stats && o.list && o.dropping);
    EXPECT_EQ(o.loops, 2);
    EXPECT_EQ(o.boardClock, 7987200u);
    ASSERT_TRUE(parse({"--version"}, o, error));
    ASSERT_TRUE(parse({"-h"}, o, error));
    EXPECT_TRUE(o.help);
}

TEST(PlayOptions, RefusalsNameTheOptionAndTheRange)
{
    const std::pair<std::vector<const char*>, const char*> cases[] = {
        {{"--colour", "a.vgm"}, "unknown option --colour"},
        {{"-x", "a.vgm"}, "unknown option -x"},
        {{"a.vgm", "--loops"}, "--loops needs a value"},
        {{"--loops", "0", "a.vgm"}, "--loops 0: N must be a whole number from 1 to 1000"},
        {{"--loops", "2x", "a.vgm"}, "--loops 2x: N must be a whole number from 1 to 1000"},
        {{"--speed", "0", "a.vgm"}, "--speed 0: X must be a number from 0.01 to 1000"},
        {{"--speed", "nan", "a.vgm"}, "--speed nan: X must be a number from 0.01 to 1000"},
        {{"--baud", "-1", "a.vgm"}, "--baud -1: N must be a whole number from 50 to 100000000"},
        {{"--board-clock", "7.9e6", "a.vgm"}, "--board-clock 7.9e6: HZ must be a whole number from 1000000 to 20000000"},
        {{"--port=", "a.vgm"}, "--port needs a device path"},
        {{"--stats=1", "a.vgm"}, "--stats takes no value"},
        {{"--list", "a.vgm"}, "--list goes with --stats"},
        {{"--loops", "3"}, "no music log given (usage: ym2608-play [options] FILE...)"},
    };
    for (const auto& [args, message] : cases) {
        PlayOptions o;
        std::string error;
        EXPECT_FALSE(parse(args, o, error)) << message;
        EXPECT_EQ(error, message);
    }
}

} // namespace
