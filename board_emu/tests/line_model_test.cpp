// The line model's times, as the serving loop asks for them: when each byte
// taken arrived, when a reply reaches the console, how far the line has got,
// and when a USB-serial adapter passes replies on. A byte takes 1000 ns on
// the line here.
#include "board_emu/line_model.h"

#include <gtest/gtest.h>

namespace {

constexpr std::int64_t BYTE = 1000;

TEST(LineModel, WithoutASpeedABurstArrivesWhenNoticedAndRepliesAreNotHeld)
{
    LineModel line = startLine(0);
    takeBurst(line, 0, 5000);
    EXPECT_EQ(line.firstByte, 5000);
    EXPECT_EQ(arrivalAt(line, 1), 5000);
    EXPECT_EQ(arrivalAt(line, 60), 5000);
    EXPECT_EQ(replyReaches(line, 5000, 4), 5000);
    EXPECT_EQ(lineReached(line, 9000), 9000);
    // Time 0 stays at the first burst.
    takeBurst(line, 3, 7000);
    EXPECT_EQ(arrivalAt(line, 4), 7000);
    EXPECT_EQ(line.firstByte, 5000);
}

TEST(LineModel, BytesComeOffTheWireOneAfterAnotherAndRunOnBehindABacklog)
{
    LineModel line = startLine(BYTE);
    // Five bytes noticed at 10000 on an idle line: in by 15000, the first at 11000.
    std::int64_t start = takeStart(line, 10000);
    EXPECT_EQ(start, 10000);
    EXPECT_EQ(takenBy(line, start, 5), 15000);
    takeBytes(line, 2, start, 5, true);
    EXPECT_EQ(line.firstByte, 11000);
    EXPECT_EQ(arrivalAt(line, 2), 10000); // before this take: its start
    EXPECT_EQ(arrivalAt(line, 3), 11000);
    EXPECT_EQ(arrivalAt(line, 7), 15000);
    // More was waiting: the line ran on, whenever the next bytes are noticed,
    // and how far it has got is where it ran to.
    EXPECT_EQ(lineReached(line, 40000), 15000);
    start = takeStart(line, 40000);
    EXPECT_EQ(start, 15000);
    takeBytes(line, 0, start, 3, false);
    EXPECT_EQ(arrivalAt(line, 3), 18000);
    // Nothing waited behind those: bytes noticed while the line is still
    // busy follow it, bytes noticed later start when noticed.
    EXPECT_EQ(takeStart(line, 17000), 18000);
    EXPECT_EQ(takeStart(line, 30000), 30000);
    EXPECT_EQ(lineReached(line, 17000), 18000);
    EXPECT_EQ(lineReached(line, 30000), 30000);
    EXPECT_EQ(line.firstByte, 11000);
}

TEST(LineModel, AReplyStartsOnceItsFrameIsInAndThePreviousReplyIsOut)
{
    LineModel line = startLine(BYTE);
    EXPECT_EQ(replyReaches(line, 20000, 1), 21000);
    EXPECT_EQ(replyReaches(line, 20500, 4), 25000); // behind the first reply
    EXPECT_EQ(replyReaches(line, 40000, 1), 41000); // the line back was free
    // A frame without a reply holds nothing and leaves the line back as it was.
    EXPECT_EQ(replyReaches(line, 40500, 0), 40500);
    EXPECT_EQ(replyReaches(line, 40500, 1), 42000);
}

TEST(AdapterModel, EachReplyWaitsOutTheTimerUnlessTheBufferFills)
{
    constexpr std::int64_t TIMER = 16'000'000;
    AdapterModel none = startAdapter(0);
    EXPECT_EQ(adapterPasses(none, 5000, BYTE, 4), 5000);

    AdapterModel adapter = startAdapter(TIMER);
    // A one-byte reply in at 5000 waits the whole timer; so does the next,
    // which comes in after the first went on.
    EXPECT_EQ(adapterPasses(adapter, 5000, BYTE, 1), 5000 + TIMER);
    EXPECT_EQ(adapterPasses(adapter, 5000 + TIMER + 2000, BYTE, 1), 5000 + 2 * TIMER + 2000);
    // A reply that comes in while the timer runs for bytes held goes with them.
    EXPECT_EQ(adapterPasses(adapter, 5000 + TIMER + 9000, BYTE, 4), 5000 + 2 * TIMER + 2000);
    // Once that timer has run out, a byte exactly then starts a hold of its own.
    const std::int64_t next = 5000 + 2 * TIMER + 2000;
    EXPECT_EQ(adapterPasses(adapter, next, 0, 1), next + TIMER);

    // The 62nd byte held sends the buffer at once: a reply whose last byte
    // is the 62nd goes on when that byte comes in, and bytes after it wait
    // for the next timer from the 63rd on.
    AdapterModel busy = startAdapter(TIMER);
    EXPECT_EQ(adapterPasses(busy, 60 * BYTE, BYTE, 60), 1 * BYTE + TIMER);
    EXPECT_EQ(adapterPasses(busy, 62 * BYTE, BYTE, 2), 62 * BYTE);
    EXPECT_EQ(adapterPasses(busy, 64 * BYTE, BYTE, 2), 63 * BYTE + TIMER);
}

} // namespace
