// The console loop: prompts, dispatch, the connection test, operand rules,
// the end of input, overlong lines, and the progress line's text.
#include "tests/console_harness.h"

#include "app/operands.h"
#include "app/progress.h"
#include "link/frames.h"
#include "samples/samples.h"

#include <string>

namespace {

TEST_F(ConsoleTest, EmptyLinesAndUnknownLettersAnswerWithoutFrames)
{
    const ConsoleRun run = runConsoleWith("\n\r\nx\nB\n7\n \nq\n");
    EXPECT_EQ(run.out, ">\n>\n>invalid command [x]\n>invalid command [B]\n>invalid command [7]\n"
                       ">invalid command [ ]\n>exit!\n");
    EXPECT_TRUE(fakeBoard().frames.empty());
    EXPECT_TRUE(fakeBoard().opens.empty());
}

TEST_F(ConsoleTest, CommandsThatNeedTheBoardAnswerNoConnectBeforeLookingAtOperands)
{
    const ConsoleRun run = runConsoleWith("b\nl\np\no zz\nr\nry 5\nt\nlfile\nn\nq\n");
    std::string expected;
    for (int i = 0; i < 8; ++i) {
        expected += ">no connect.\n";
    }
    EXPECT_EQ(run.out, expected + ">>exit!\n");
    EXPECT_EQ(run.err, "");
    EXPECT_TRUE(fakeBoard().frames.empty()); // n while not connected writes nothing
}

TEST_F(ConsoleTest, OnlyTheFirstLetterSelectsTheCommand)
{
    const ConsoleRun run = runConsoleWith("connect\nnow\nquit\nb\n");
    EXPECT_EQ(run.out, CONNECTED + ">>exit!\n"); // the b after quit never runs
    EXPECT_EQ(fakeBoard().frames, (std::vector<Bytes>{{OP_IDENTIFY}, {OP_N}}));
    EXPECT_EQ(fakeBoard().closes, 1);
}

TEST_F(ConsoleTest, OperandCommandsWithoutOperandAnswerQuestionMarks)
{
    const ConsoleRun run = runConsoleWith("c\np\np \t \nl\nl  \no\nt\t\nq\n");
    EXPECT_EQ(run.out, CONNECTED + ">??\n>??\n>??\n>??\n>??\n>??\n>exit!\n");
    EXPECT_EQ(fakeBoard().frames.size(), 1U);
}

TEST_F(ConsoleTest, OperandMayFollowTheLetterDirectly)
{
    const std::string path = scratchFile("direct.bin", 40);
    // "load" names the file "oad ...": it does not exist.
    const ConsoleRun run = runConsoleWith("c\nl" + path + "\nl  " + path + "\nload " + path + "\nq\n");
    EXPECT_NE(run.out.find("idx:1:[0,2]\n"), std::string::npos);
    EXPECT_NE(run.out.find("idx:2:[2,2]\n"), std::string::npos);
    EXPECT_EQ(run.err, "file read error.\n");
}

TEST_F(ConsoleTest, CarriageReturnIsCutOnlyAfterABlank)
{
    const std::string path = scratchFile("crlf.bin", 300);
    const ConsoleRun run = runConsoleWith("c\nt " + path + "\r\nl " + path + "\r\nq\r\n");
    EXPECT_EQ(framesOf(OP_START).size(), 1U);
    EXPECT_NE(run.out.find("[" + path + "] -> [0,300]"), std::string::npos);
    EXPECT_NE(run.out.find(">exit!\n"), std::string::npos);

    // Without a blank the CR stays part of the operand: "lname\r" names "name\r".
    resetFakeBoard();
    const ConsoleRun bare = runConsoleWith("c\nl" + path + "\r\n");
    EXPECT_EQ(bare.err, "file read error.\n");
}

TEST_F(ConsoleTest, SlotCounterMovesOnForEveryLoadThatReachesTheLoader)
{
    const std::string good = scratchFile("slot.bin", 64);
    const std::string missing = good + ".missing";
    const ConsoleRun run = runConsoleWith("l " + good + "\nc\nl " + good + "\nl " + missing + "\nl\nl " +
                                          good + "\nl " + good + "\nq\n");
    // Not connected and no operand leave the counter; the missing file uses slot 2.
    EXPECT_NE(run.out.find("idx:1:[0,2]\n"), std::string::npos);
    EXPECT_NE(run.out.find("idx:3:[2,2]\n"), std::string::npos);
    EXPECT_NE(run.out.find("idx:4:[4,2]\n"), std::string::npos);
    EXPECT_EQ(run.out.find("idx:2:"), std::string::npos);
    EXPECT_EQ(run.err, "file read error.\n");
}

TEST_F(ConsoleTest, SlotCounterWrapsFrom255ToZero)
{
    const std::string path = scratchFile("tiny.bin", 1);
    std::string input = "c\n";
    for (int i = 0; i < 256; ++i) {
        input += "l " + path + "\n";
    }
    const ConsoleRun run = runConsoleWith(input + "p 0\n");
    EXPECT_NE(run.out.find("idx:255:[254,1]\n"), std::string::npos);
    EXPECT_NE(run.out.find("idx:0:[255,1]\n"), std::string::npos);
    EXPECT_TRUE(findSlot(0).loaded);
    EXPECT_TRUE(findSlot(200).loaded);
    const std::vector<Bytes> play = framesOf(OP_WRITE_BANK1);
    ASSERT_EQ(play.size(), 12U);
    EXPECT_EQ(play[7], (Bytes{OP_WRITE_BANK1, 0x02, 0xFF})); // slot 0 starts at unit 255
}

TEST_F(ConsoleTest, EndOfInputQuitsAfterRunningAnUnterminatedLastLine)
{
    const ConsoleRun run = runConsoleWith("c\no 2d 0f");
    EXPECT_EQ(run.out, CONNECTED + ">r:2d o:0f\nexit!\n");
    EXPECT_EQ(fakeBoard().frames.back(), (Bytes{OP_WRITE_BANK0, 0x2D, 0x0F}));
    EXPECT_EQ(fakeBoard().closes, 1);

    EXPECT_EQ(runConsoleWith("").out, ">exit!\n");
}

TEST_F(ConsoleTest, OverlongLineIsDroppedWholeAndTheNextLineRuns)
{
    const std::string path = scratchFile("long.bin", 10);
    const std::string overlong = "l " + path + std::string(32768, 'x');
    const std::string longest = "n" + std::string(32766, ' ');
    const ConsoleRun run = runConsoleWith("c\n" + overlong + "\n" + longest + "\nl " + path + "\n");
    EXPECT_EQ(run.out.substr(0, CONNECTED.size() + 4), CONNECTED + ">??\n");
    EXPECT_NE(run.out.find("idx:1:[0,1]\n"), std::string::npos); // the counter did not move
    EXPECT_EQ(framesOf(OP_N).size(), 1U);                        // 32767 characters still fit
}

TEST_F(ConsoleTest, NulBytesInALineEndIt)
{
    const ConsoleRun run = runConsoleWith(std::string("\0abc\nc\no 10 01\0junk\n", 20));
    EXPECT_EQ(run.out, ">\n" + CONNECTED + ">r:10 o:01\n>exit!\n");
}

TEST(Operands, ParseDecimalTakesTheFirstDigitRunAndWraps)
{
    EXPECT_EQ(parseDecimal(" 63"), 63);
    EXPECT_EQ(parseDecimal("-5"), 5);
    EXPECT_EQ(parseDecimal("x12y34"), 12);
    EXPECT_EQ(parseDecimal("none"), 0);
    EXPECT_EQ(parseDecimal("4294967297"), 1);
    EXPECT_EQ(parseDecimal("2147483648"), INT32_MIN);
}

TEST(Progress, LineTextAndMarks)
{
    testing::internal::CaptureStdout();
    printProgress(0, 1000);
    printProgress(550, 1000);
    printProgress(999, 1000);
    printProgress(1000, 1000);
    printProgress(262144, 262144);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "\r(     0/  1000) 000% [..........]"
                                                      "\r(   550/  1000) 055% [ooooo.....]"
                                                      "\r(   999/  1000) 099% [ooooooooo.]"
                                                      "\r(  1000/  1000) 100% [oooooooooo]"
                                                      "\r(262144/262144) 100% [oooooooooo]");
}

} // namespace
