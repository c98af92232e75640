// Register writes, the rhythm test, reset, backlight and OP_N: exact echo
// lines and exact frames, and operands that must send nothing.
#include "tests/console_harness.h"

#include "app/operands.h"
#include "link/frames.h"

namespace {

// The frames after the identification.
std::vector<Bytes> commandFrames()
{
    std::vector<Bytes> frames = fakeBoard().frames;
    frames.erase(frames.begin());
    return frames;
}

TEST_F(ConsoleTest, RegisterWriteEchoesAndSendsOneFrame)
{
    const ConsoleRun run = runConsoleWith("c\no 2d 0f\no10 5\no  FF\tAb  trailing\no 10b ff\no 1ff 0\nq\n");
    EXPECT_EQ(run.out, CONNECTED + ">r:2d o:0f\n>r:10 o:05\n>r:ff o:ab\n>r:10b o:ff\n>r:1ff o:00\n>exit!\n");
    EXPECT_EQ(commandFrames(), (std::vector<Bytes>{{OP_WRITE_BANK0, 0x2D, 0x0F},
                                                   {OP_WRITE_BANK0, 0x10, 0x05},
                                                   {OP_WRITE_BANK0, 0xFF, 0xAB},
                                                   {OP_WRITE_BANK1, 0x0B, 0xFF},
                                                   {OP_WRITE_BANK1, 0xFF, 0x00}}));
}

TEST_F(ConsoleTest, MalformedRegisterWritesSendNothing)
{
    const ConsoleRun run =
        runConsoleWith("c\no 2d\no 2d0f\no 200 00\no 10 100\no 1g 00\no 10 0x\no 2d   \no -1 00\nq\n");
    std::string expected = CONNECTED;
    for (int i = 0; i < 8; ++i) {
        expected += ">??\n";
    }
    EXPECT_EQ(run.out, expected + ">exit!\n");
    EXPECT_TRUE(commandFrames().empty());
}

TEST(ParseHex, NinthDigitPushesTheFirstOut)
{
    std::uint32_t value = 0;
    const char* end = nullptr;
    ASSERT_TRUE(parseHex("123456789 x", value, end));
    EXPECT_EQ(value, 0x23456789U);
    EXPECT_EQ(*end, ' ');
    EXPECT_FALSE(parseHex("12z", value, end));
}

TEST_F(ConsoleTest, RhythmTestSendsLevelsThenKeyOn)
{
    const ConsoleRun run = runConsoleWith("c\nry 63\nry 65\nry x\nrhythm 2\nq\n");
    EXPECT_EQ(run.out, CONNECTED + ">>>>reset\n>exit!\n");
    std::vector<Bytes> expected;
    for (const std::uint8_t keys : {0x3F, 0x01, 0x00}) {
        expected.push_back({OP_WRITE_BANK0, 0x11, 0x3F});
        for (std::uint8_t reg = 0x18; reg <= 0x1D; ++reg) {
            expected.push_back({OP_WRITE_BANK0, reg, 0xDF});
        }
        expected.push_back({OP_WRITE_BANK0, 0x10, keys});
    }
    expected.push_back({OP_STOP}); // "rhythm" is a reset: its second letter is no 'y'
    EXPECT_EQ(commandFrames(), expected);
}

TEST_F(ConsoleTest, RhythmTestWithoutBlankAnswersQuestionMarks)
{
    const ConsoleRun run = runConsoleWith("c\nry\nry5\nq\n");
    EXPECT_EQ(run.out, CONNECTED + ">??\n>??\n>exit!\n");
    EXPECT_TRUE(commandFrames().empty());
}

TEST_F(ConsoleTest, ResetSaysResetOnlyWhenTheBoardConfirms)
{
    // A refusal, then no reply from a board that went away: the link closes
    // and the next command needs a connect.
    failFrame(OP_STOP, 2, 0x00);
    shortReply(OP_STOP, 3);
    const ConsoleRun run = runConsoleWith("c\nr\nreset\nr\nr\nq\n");
    EXPECT_EQ(run.out, CONNECTED + ">reset\n>reset error.\n>reset error.\nconnection lost.\n>no connect.\n>exit!\n");
    EXPECT_EQ(commandFrames(), (std::vector<Bytes>{{OP_STOP}, {OP_STOP}, {OP_STOP}}));
}

TEST_F(ConsoleTest, BacklightReportsTheStateAnswered)
{
    ConsoleRun run = runConsoleWith("c\nb\nq\n");
    EXPECT_EQ(run.out, CONNECTED + ">backlight on\n>exit!\n");
    EXPECT_EQ(commandFrames(), (std::vector<Bytes>{{OP_BACKLIGHT, 0x00}}));

    resetFakeBoard();
    fakeBoard().backlight = 0;
    failFrame(OP_BACKLIGHT, 2, 0x07);
    shortReply(OP_BACKLIGHT, 3);
    run = runConsoleWith("c\nb\nb\nb\nq\n");
    // A state byte other than 0 or 1 prints nothing; no state at all is an error.
    EXPECT_EQ(run.out, CONNECTED + ">backlight off\n>>backlight error.\nconnection lost.\n>exit!\n");
}

TEST_F(ConsoleTest, OpNIsOneByteWithNoReply)
{
    const ConsoleRun run = runConsoleWith("c\nn\nnext\nq\n");
    EXPECT_EQ(run.out, CONNECTED + ">>>exit!\n");
    EXPECT_EQ(commandFrames(), (std::vector<Bytes>{{OP_N}, {OP_N}}));
    EXPECT_TRUE(fakeBoard().pending.empty());
}

} // namespace
