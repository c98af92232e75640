// The data file transfer: phases, frame sizes, what of the file is sent, the
// progress lines, and every failure row.
#include "tests/console_harness.h"

#include "link/frames.h"

namespace {

Bytes streamed()
{
    Bytes data;
    for (const Bytes& frame : framesOf(OP_STREAM_DATA)) {
        data.insert(data.end(), frame.begin() + STREAM_DATA_HEADER, frame.end());
    }
    return data;
}

TEST_F(ConsoleTest, ThousandByteFileSendsAllButItsLast64Bytes)
{
    const Bytes bytes = patternBytes(1000);
    const std::string path = scratchFile("data.bin", bytes);
    const ConsoleRun run = runConsoleWith("c\nt " + path + "\nq\n");
    EXPECT_EQ(run.out, CONNECTED + ">\r(   936/   936) 100% [oooooooooo]\n>exit!\n");
    const std::vector<Bytes>& frames = fakeBoard().frames;
    ASSERT_EQ(frames.size(), 1U + 2 + 16 + 1);
    EXPECT_EQ(frames[1], (Bytes{OP_STOP}));
    EXPECT_EQ(frames[2], (Bytes{OP_WP_RESET}));
    for (std::size_t i = 3; i < 18; ++i) {
        EXPECT_EQ(frames[i].size(), 61U);
    }
    EXPECT_EQ(frames[18].size(), 37U);
    EXPECT_EQ(frames[19], (Bytes{OP_START, 0x02}));
    EXPECT_EQ(streamed(), Bytes(bytes.begin(), bytes.begin() + 936));
}

TEST_F(ConsoleTest, LargeFilesAreCappedAndDrawProgressEvery32Frames)
{
    for (const std::size_t size : {40000, 32768, 32800}) {
        SCOPED_TRACE(size);
        resetFakeBoard();
        const Bytes bytes = patternBytes(size, 3);
        const std::string path = scratchFile("large.bin", bytes);
        const ConsoleRun run = runConsoleWith("c\nt " + path + "\n");
        EXPECT_EQ(framesOf(OP_STREAM_DATA).size(), 546U);
        EXPECT_EQ(framesOf(OP_STREAM_DATA).back().size(), 5U);
        EXPECT_EQ(streamed(), Bytes(bytes.begin(), bytes.begin() + 32704));
        EXPECT_EQ(run.out.find("\r(  1920/ 32704) 005% [..........]\r(  3840/ 32704) 011% [o.........]"),
                  CONNECTED.size() + 1);
        EXPECT_NE(run.out.find("\r( 32640/ 32704) 099% [ooooooooo.]\r( 32704/ 32704) 100% [oooooooooo]\n>"),
                  std::string::npos);
        std::size_t draws = 0;
        for (const char c : run.out) {
            draws += c == '\r';
        }
        EXPECT_EQ(draws, 18U);
    }
}

TEST_F(ConsoleTest, FilesAroundTheLowerLimits)
{
    struct Case {
        std::size_t size;
        std::size_t sent; // 0: refused
    };
    for (const Case c : {Case{200, 0}, Case{255, 0}, Case{256, 192}, Case{320, 256}}) {
        SCOPED_TRACE(c.size);
        resetFakeBoard();
        const Bytes bytes = patternBytes(c.size, 9);
        const ConsoleRun run = runConsoleWith("c\nt " + scratchFile("low.bin", bytes) + "\n");
        if (c.sent == 0) {
            EXPECT_EQ(run.out, CONNECTED + ">file read error.\n>exit!\n");
            EXPECT_EQ(fakeBoard().frames.size(), 1U);
            continue;
        }
        EXPECT_EQ(streamed(), Bytes(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(c.sent)));
        EXPECT_EQ(framesOf(OP_START).size(), 1U);
    }
}

TEST_F(ConsoleTest, UnopenableDataFiles)
{
    const std::string path = scratchFile("exists.bin", 1000);
    const std::string dir = path.substr(0, path.rfind('/'));
    const ConsoleRun run = runConsoleWith("c\nt " + dir + "/absent.bin\nt " + dir + "\nt " + path + "  \n");
    // Blanks at the end belong to the path.
    EXPECT_EQ(run.out, CONNECTED + ">file open error.\n>file open error.\n>file open error.\n>exit!\n");
    EXPECT_EQ(fakeBoard().frames.size(), 1U);
}

TEST_F(ConsoleTest, EachUnconfirmedPhaseStopsTheTransfer)
{
    struct Case {
        std::uint8_t opcode;
        int nth;
        bool cut; // the reply never comes, instead of a wrong byte
        std::string message;
        std::size_t frames;
    };
    const Case cases[] = {
        {OP_STOP, 1, false, "stop error.\n", 2},
        {OP_STOP, 1, true, "stop error.\n", 2},
        {OP_WP_RESET, 1, false, "wp reset error.\n", 3},
        {OP_WP_RESET, 1, true, "wp reset error.\n", 3}, // a lone status 0x01 left in a buffer is no success
        {OP_STREAM_DATA, 1, false, "write error.\n\n", 4},
        {OP_STREAM_DATA, 1, true, "write error.\n\n", 4},
        {OP_START, 1, false, "\r(   936/   936) 100% [oooooooooo]\nstart error.\n", 20},
        {OP_START, 1, true, "\r(   936/   936) 100% [oooooooooo]\nstart error.\n", 20},
    };
    const std::string path = scratchFile("phases.bin", 1000);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.message);
        resetFakeBoard();
        if (c.cut) {
            shortReply(c.opcode, c.nth);
        } else {
            failFrame(c.opcode, c.nth, 0x00);
        }
        const ConsoleRun run = runConsoleWith("c\nt " + path + "\n");
        // A reply that never comes from a board gone away also closes the link.
        EXPECT_EQ(run.out, CONNECTED + ">" + c.message + (c.cut ? "connection lost.\n" : "") + ">exit!\n");
        EXPECT_EQ(fakeBoard().frames.size(), c.frames);
    }
}

TEST_F(ConsoleTest, StreamFrameFailureMidwayKeepsTheDrawnLineAndSkipsStart)
{
    failFrame(OP_STREAM_DATA, 40, 0x00);
    const std::string path = scratchFile("mid.bin", 5000);
    const ConsoleRun run = runConsoleWith("c\nt " + path + "\n");
    EXPECT_EQ(run.out, CONNECTED + ">\r(  1920/  4936) 038% [ooo.......]write error.\n\n>exit!\n");
    EXPECT_EQ(framesOf(OP_STREAM_DATA).size(), 40U);
    EXPECT_TRUE(framesOf(OP_START).empty());
}

TEST_F(ConsoleTest, PartlyWrittenDataFramesAreResentOrFail)
{
    // The port takes only 31 of a frame's 61 bytes: the next frame carries on
    // from the first byte not written.
    limitWrite(OP_STREAM_DATA, 2, 31);
    const Bytes bytes = patternBytes(1000, 5);
    const std::string path = scratchFile("partial.bin", bytes);
    ConsoleRun run = runConsoleWith("c\nt " + path + "\n");
    EXPECT_EQ(streamed(), Bytes(bytes.begin(), bytes.begin() + 936));
    EXPECT_EQ(framesOf(OP_STREAM_DATA).size(), 17U);
    EXPECT_EQ(framesOf(OP_START).size(), 1U);

    // No data byte written, though the board confirms: a write error, not a
    // transfer that moves backwards or never ends.
    for (const std::size_t written : {0, 1}) {
        resetFakeBoard();
        limitWrite(OP_STREAM_DATA, 3, written);
        run = runConsoleWith("c\nt " + path + "\n");
        EXPECT_EQ(run.out, CONNECTED + ">write error.\n\n>exit!\n");
        EXPECT_TRUE(framesOf(OP_START).empty());
    }
}

} // namespace
