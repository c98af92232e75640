// The loader's frames, pages, progress lines and slot records, every failure
// row, the chip-memory limit, and playback of the recorded slots.
#include "tests/console_harness.h"

#include "link/frames.h"
#include "samples/samples.h"

namespace {

// The file bytes carried by the cache writes, in order.
Bytes cacheData()
{
    Bytes data;
    for (const Bytes& frame : framesOf(OP_CACHE_WRITE)) {
        data.insert(data.end(), frame.begin() + CACHE_WRITE_HEADER, frame.end());
    }
    return data;
}

struct CacheWrite {
    std::size_t count;
    std::size_t offset;
};

std::vector<CacheWrite> cacheWrites()
{
    std::vector<CacheWrite> writes;
    for (const Bytes& frame : framesOf(OP_CACHE_WRITE)) {
        EXPECT_EQ(frame.size(), frame[1] + CACHE_WRITE_HEADER);
        writes.push_back({frame[1], static_cast<std::size_t>(frame[2] | frame[3] << 8)});
    }
    return writes;
}

TEST_F(ConsoleTest, ThousandByteSampleInOnePage)
{
    const Bytes bytes = patternBytes(1000);
    const std::string path = scratchFile("kick.bin", bytes);
    const ConsoleRun run = runConsoleWith("c\nl " + path + "\nq\n");
    EXPECT_EQ(run.out, CONNECTED + ">[" + path + "] -> [0,1000]\n" +
                           "\r(    60/  1000) 006% [..........]\r(   180/  1000) 018% [o.........]"
                           "\r(   300/  1000) 030% [ooo.......]\r(   420/  1000) 042% [oooo......]"
                           "\r(   540/  1000) 054% [ooooo.....]\r(   660/  1000) 066% [oooooo....]"
                           "\r(   780/  1000) 078% [ooooooo...]\r(   900/  1000) 090% [ooooooooo.]"
                           "\r(  1000/  1000) 100% [oooooooooo]\nidx:1:[0,32]\n>exit!\n");
    EXPECT_EQ(run.err, "");
    const std::vector<CacheWrite> writes = cacheWrites();
    ASSERT_EQ(writes.size(), 17U);
    for (std::size_t i = 0; i < 16; ++i) {
        EXPECT_EQ(writes[i].count, 60U);
        EXPECT_EQ(writes[i].offset, i * 60);
    }
    EXPECT_EQ(writes[16].count, 40U);
    EXPECT_EQ(writes[16].offset, 960U);
    EXPECT_EQ(cacheData(), bytes);
    EXPECT_EQ(framesOf(OP_CACHE_COMMIT), (std::vector<Bytes>{{OP_CACHE_COMMIT, 0x00, 0x04, 0x00, 0x00}}));
    // Each cache write is answered before the next goes out.
    EXPECT_EQ(fakeBoard().frames.back(), (Bytes{OP_CACHE_COMMIT, 0x00, 0x04, 0x00, 0x00}));
    EXPECT_EQ(findSlot(1).start, 0U);
    EXPECT_EQ(findSlot(1).length, 32U);
}

TEST_F(ConsoleTest, SamplesArePackedOneAfterAnother)
{
    const std::string path = scratchFile("thousand.bin", 1000);
    const ConsoleRun run = runConsoleWith("c\nl " + path + "\nl " + path + "\nq\n");
    EXPECT_NE(run.out.find(">[" + path + "] -> [32,1000]\n"), std::string::npos);
    EXPECT_NE(run.out.find("idx:2:[32,32]\n"), std::string::npos);
    EXPECT_EQ(framesOf(OP_CACHE_COMMIT).back(), (Bytes{OP_CACHE_COMMIT, 0x00, 0x04, 0x20, 0x00}));
}

TEST_F(ConsoleTest, PagesFillTheCacheAndCommitInGranules)
{
    struct Case {
        std::size_t size;
        std::vector<Bytes> commits;
        unsigned units;
    };
    const Case cases[] = {
        {60, {{OP_CACHE_COMMIT, 0x00, 0x02, 0x00, 0x00}}, 2},
        {8192, {{OP_CACHE_COMMIT, 0x00, 0x20, 0x00, 0x00}}, 256},
        {8292, {{OP_CACHE_COMMIT, 0x00, 0x20, 0x00, 0x00}, {OP_CACHE_COMMIT, 0x00, 0x02, 0x00, 0x01}}, 260},
        {70000,
         {{OP_CACHE_COMMIT, 0x00, 0x20, 0x00, 0x00},
          {OP_CACHE_COMMIT, 0x00, 0x20, 0x00, 0x01},
          {OP_CACHE_COMMIT, 0x00, 0x20, 0x00, 0x02},
          {OP_CACHE_COMMIT, 0x00, 0x20, 0x00, 0x03},
          {OP_CACHE_COMMIT, 0x00, 0x20, 0x00, 0x04},
          {OP_CACHE_COMMIT, 0x00, 0x20, 0x00, 0x05},
          {OP_CACHE_COMMIT, 0x00, 0x20, 0x00, 0x06},
          {OP_CACHE_COMMIT, 0x00, 0x20, 0x00, 0x07},
          {OP_CACHE_COMMIT, 0x00, 0x12, 0x00, 0x08}},
         2188},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.size);
        resetFakeBoard();
        const Bytes bytes = patternBytes(c.size, static_cast<std::uint8_t>(c.size));
        const std::string path = scratchFile("page.bin", bytes);
        const ConsoleRun run = runConsoleWith("c\nl " + path + "\n");
        EXPECT_NE(run.out.find("idx:1:[0," + std::to_string(c.units) + "]\n"), std::string::npos);
        EXPECT_EQ(framesOf(OP_CACHE_COMMIT), c.commits);
        EXPECT_EQ(cacheData(), bytes);
        // Every page is written from cache offset 0 up, and no chunk crosses a page end.
        std::size_t expectedOffset = 0;
        for (const CacheWrite& w : cacheWrites()) {
            ASSERT_EQ(w.offset, expectedOffset);
            ASSERT_LE(w.offset + w.count, CACHE_PAGE_SIZE);
            expectedOffset = (w.offset + w.count) % CACHE_PAGE_SIZE;
        }
    }
    const std::vector<CacheWrite> last = cacheWrites();
    EXPECT_EQ(last[136].count, 32U); // a full page ends in 136 writes of 60 and one of 32
    EXPECT_EQ(last[136].offset, 8160U);
}

TEST_F(ConsoleTest, RejectedCacheWriteRecordsOnlyWhatCommitsWrote)
{
    // Two chunks reached the board's cache, but no commit put them in chip
    // memory: the slot holds nothing, and the next sample starts at unit 0.
    failFrame(OP_CACHE_WRITE, 3, 0x00);
    const std::string path = scratchFile("third.bin", 1000);
    const std::string other = scratchFile("next.bin", 100);
    const ConsoleRun run = runConsoleWith("c\nl " + path + "\nl " + other + "\nq\n");
    EXPECT_EQ(run.err, "cache write error.\n");
    EXPECT_NE(run.out.find("] -> [0,1000]\n\r(    60/  1000) 006% [..........]\nidx:1:[0,0]\n>["),
              std::string::npos);
    EXPECT_NE(run.out.find("] -> [0,100]\n"), std::string::npos);
    EXPECT_TRUE(framesOf(OP_CACHE_COMMIT).size() == 1U); // only the second load's
    EXPECT_EQ(findSlot(1).length, 0U);
    EXPECT_EQ(findSlot(2).start, 0U);
}

TEST_F(ConsoleTest, RejectedOrUnansweredCommitDoesNotCountItsChunk)
{
    failFrame(OP_CACHE_COMMIT, 1, 0x02);
    const std::string path = scratchFile("commit.bin", 8292);
    ConsoleRun run = runConsoleWith("c\nl " + path + "\n");
    EXPECT_EQ(run.err, "ym2608 write error.\n");
    // The page never reached chip memory: nothing recorded, nothing to play.
    EXPECT_NE(run.out.find("\nidx:1:[0,0]\n"), std::string::npos);
    EXPECT_EQ(framesOf(OP_CACHE_WRITE).size(), 137U);

    // The second commit of a 20000-byte load refused: the first page, units
    // 0-255, is all that chip memory holds.
    resetFakeBoard();
    clearSlotTable();
    failFrame(OP_CACHE_COMMIT, 2, 0x00);
    const std::string longer = scratchFile("longer.bin", 20000);
    run = runConsoleWith("c\nl " + longer + "\np 1\n");
    EXPECT_NE(run.out.find("\nidx:1:[0,256]\n"), std::string::npos);
    const std::vector<Bytes> writes = framesOf(OP_WRITE_BANK1);
    ASSERT_GE(writes.size(), 2U);
    EXPECT_EQ(writes[writes.size() - 2], (Bytes{OP_WRITE_BANK1, 0x05, 0x00})) << "stop address 255";
    EXPECT_EQ(writes[writes.size() - 3], (Bytes{OP_WRITE_BANK1, 0x04, 0xFF}));

    // A board that vanishes instead of answering a cache write is a failed write.
    resetFakeBoard();
    clearSlotTable();
    shortReply(OP_CACHE_WRITE, 2);
    run = runConsoleWith("c\nl " + path + "\n");
    EXPECT_EQ(run.err, "cache write error.\n");
    EXPECT_NE(run.out.find("\nidx:1:[0,0]\nconnection lost.\n>exit!\n"), std::string::npos);
}

TEST_F(ConsoleTest, UnreadableFilesSendNothingAndLeaveTheSlot)
{
    const std::string empty = scratchFile("empty.bin", 0);
    const std::string dir = empty.substr(0, empty.rfind('/'));
    const ConsoleRun run =
        runConsoleWith("c\nl " + dir + "/missing.bin\nl " + empty + "\nl " + dir + "\nq\n");
    EXPECT_EQ(run.err, "file read error.\nread error.\nread error.\n");
    EXPECT_EQ(run.out, CONNECTED + ">>>>exit!\n");
    EXPECT_EQ(fakeBoard().frames.size(), 1U);
    for (int slot = 1; slot <= 3; ++slot) {
        EXPECT_FALSE(findSlot(static_cast<std::uint8_t>(slot)).loaded);
    }
}

TEST_F(ConsoleTest, ChipMemoryLimitRefusesALoadThatWouldWrapOntoEarlierSamples)
{
    const std::string full = scratchFile("full.bin", MAX_SAMPLE_FILE + 1000);
    const std::string one = scratchFile("one.bin", 1);
    ConsoleRun run = runConsoleWith("c\nl " + full + "\nl " + one + "\np 2\n");
    EXPECT_NE(run.out.find("\nidx:1:[0,8192]\n>[" + one + "] -> [8192,1]\n>"), std::string::npos);
    EXPECT_EQ(run.err, "sample memory full.\n");
    EXPECT_EQ(cacheData(), patternBytes(MAX_SAMPLE_FILE)); // only the first 262144 bytes
    EXPECT_FALSE(findSlot(2).loaded);
    EXPECT_EQ(framesOf(OP_WRITE_BANK1).size(), 6U);

    // The last load's granule must still fit: 8176 units used leave exactly one granule.
    resetFakeBoard();
    clearSlotTable();
    const std::string most = scratchFile("most.bin", MAX_SAMPLE_FILE - 512);
    run = runConsoleWith("c\nl " + most + "\nl " + one + "\nl " + one + "\nl " + one + "\n");
    EXPECT_NE(run.out.find("idx:1:[0,8176]\n"), std::string::npos);
    EXPECT_NE(run.out.find("idx:2:[8176,1]\n"), std::string::npos);
    EXPECT_NE(run.out.find("] -> [8177,1]\n>[" + one + "] -> [8177,1]\n>exit!"), std::string::npos);
    EXPECT_EQ(run.err, "sample memory full.\nsample memory full.\n");
    EXPECT_EQ(framesOf(OP_CACHE_COMMIT).back(), (Bytes{OP_CACHE_COMMIT, 0x00, 0x02, 0xF0, 0x1F}));
}

std::vector<Bytes> setupFrames()
{
    return {{OP_WRITE_BANK1, 0x00, 0x20}, {OP_WRITE_BANK1, 0x00, 0x21}, {OP_WRITE_BANK1, 0x09, 0xCD},
            {OP_WRITE_BANK1, 0x0A, 0x49}, {OP_WRITE_BANK1, 0x0B, 0xFF}, {OP_WRITE_BANK1, 0x01, 0xC2}};
}

std::vector<Bytes> playFrames(std::uint8_t startLow, std::uint8_t startHigh, std::uint8_t endLow,
                              std::uint8_t endHigh)
{
    std::vector<Bytes> frames = setupFrames();
    frames.insert(frames.end(), {{OP_WRITE_BANK1, 0x00, 0x21},
                                 {OP_WRITE_BANK1, 0x02, startLow},
                                 {OP_WRITE_BANK1, 0x03, startHigh},
                                 {OP_WRITE_BANK1, 0x04, endLow},
                                 {OP_WRITE_BANK1, 0x05, endHigh},
                                 {OP_WRITE_BANK1, 0x00, 0xA0}});
    return frames;
}

TEST_F(ConsoleTest, PlaybackProgramsTheSlotsAddresses)
{
    const std::string first = scratchFile("first.bin", 1000);
    ConsoleRun run = runConsoleWith("c\nl " + first + "\np 1\n");
    EXPECT_EQ(framesOf(OP_WRITE_BANK1), playFrames(0x00, 0x00, 0x1F, 0x00));
    EXPECT_EQ(fakeBoard().frames.back(), (Bytes{OP_WRITE_BANK1, 0x00, 0xA0}));
    EXPECT_TRUE(run.out.ends_with("idx:1:[0,32]\n>>exit!\n")); // p prints nothing

    resetFakeBoard();
    clearSlotTable();
    const std::string big = scratchFile("big.bin", 300 * 32);
    const std::string small = scratchFile("small.bin", 20 * 32);
    run = runConsoleWith("c\nl " + big + "\nl " + small + "\np 2\np 258\n");
    const std::vector<Bytes> once = playFrames(0x2C, 0x01, 0x3F, 0x01);
    std::vector<Bytes> twice = once;
    twice.insert(twice.end(), once.begin(), once.end());
    EXPECT_EQ(framesOf(OP_WRITE_BANK1), twice); // 258 is slot 2
}

TEST_F(ConsoleTest, EmptySlotsGetOnlyTheSetUp)
{
    failFrame(OP_CACHE_WRITE, 1, 0x00);
    const std::string path = scratchFile("failed.bin", 100);
    const ConsoleRun run = runConsoleWith("c\nl " + path + "\np 1\np 9\np x\np 200\n");
    EXPECT_NE(run.out.find("\nidx:1:[0,0]\n"), std::string::npos);
    std::vector<Bytes> expected;
    for (int i = 0; i < 4; ++i) {
        const std::vector<Bytes> setup = setupFrames();
        expected.insert(expected.end(), setup.begin(), setup.end());
    }
    EXPECT_EQ(framesOf(OP_WRITE_BANK1), expected);
}

} // namespace
