// The schedule of a play (loop passes, due times) and the line model that
// --stats reports from, and the memory runs sent before the music.
#include "log_maker.h"
#include "music/memory_image.h"
#include "music/music_log.h"
#include "music/schedule.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>

namespace {

TEST(Schedule, LoopPassesFollowOneAnother)
{
    Bytes c;
    s98Write(c, 0, 0x40, 1);
    s98Wait(c, 10);
    const long loopAt = static_cast<long>(c.size());
    s98Write(c, 0, 0x40, 2);
    s98Wait(c, 5);
    s98Write(c, 0, 0x40, 1);
    s98Wait(c, 5);
    S98Header header;
    header.loopAt = loopAt;
    const MusicLog log = parsed(s98File(c, header));
    const auto once = buildSchedule(log, 1, false);
    ASSERT_EQ(once.size(), 3u);
    const auto thrice = buildSchedule(log, 3, true);
    ASSERT_EQ(thrice.size(), 7u);
    const std::int64_t ms = 1'000'000;
    const std::int64_t due[] = {0, 10 * ms, 15 * ms, 20 * ms, 25 * ms, 30 * ms, 35 * ms};
    for (std::size_t i = 0; i < 7; ++i) {
        EXPECT_EQ(thrice[i].dueNs, due[i]) << i;
        EXPECT_EQ(thrice[i].value, i % 2 == 0 ? 1 : 2);
        EXPECT_TRUE(thrice[i].send); // each write changes the value
    }
    EXPECT_EQ(songLength(log, 3), 40 * ms);

    // Without a loop the file plays once, whatever the count.
    header.loopAt = -1;
    const MusicLog plain = parsed(s98File(c, header));
    EXPECT_EQ(buildSchedule(plain, 5, false).size(), 3u);
    EXPECT_EQ(songLength(plain, 5), 20 * ms);
}

TEST(Schedule, LineModelQueuesBurstsAtTenBitsAByte)
{
    std::vector<ScheduledWrite> writes;
    for (int i = 0; i < 10; ++i) {
        writes.push_back(ScheduledWrite{0, 0x40, 0, true});
    }
    writes.push_back(ScheduledWrite{0, 0x40, 0, false}); // dropped: takes no line time
    writes.push_back(ScheduledWrite{100'000'000, 0x28, 0, true});
    const std::int64_t frame = frameNanoseconds(115200);
    EXPECT_EQ(frame, 260416);
    const LineFigures f = lineFigures(writes, 115200, 1.0, 200'000'000);
    EXPECT_EQ(f.writes, 11u);
    EXPECT_EQ(f.peakBurst, 10u);
    EXPECT_EQ(f.maxLateNs, 10 * frame);
    EXPECT_EQ(f.maxLateAtNs, 0);
    EXPECT_EQ(f.medianLateNs, 5 * frame); // 1..10 frames and one lone frame: the 6th of 11
    EXPECT_EQ(f.p99LateNs, 10 * frame);
    EXPECT_NEAR(f.load, 11.0 * static_cast<double>(frame) / 200e6, 1e-9);
    EXPECT_NEAR(f.peakLoad, 11.0 * static_cast<double>(frame) / 1e9, 1e-9);

    // At twice the speed the lone write is due at 50 ms, still on time.
    const LineFigures fast = lineFigures(writes, 115200, 2.0, 200'000'000);
    EXPECT_NEAR(fast.load, 2 * f.load, 1e-9);
    EXPECT_EQ(fast.maxLateNs, 10 * frame);
}

TEST(Schedule, LineModelFindsTheExactQuantilesWithoutKeepingTheWrites)
{
    // Writes at uneven gaps on a slow line: lateness from one frame to many
    // seconds of backlog, most values different, some over 2^32 ns.
    std::vector<ScheduledWrite> writes;
    std::uint32_t seed = 2608;
    std::int64_t due = 0;
    for (int i = 0; i < 20000; ++i) {
        seed = seed * 1103515245U + 12345U;
        due += (seed >> 8) % 7'000'000;
        writes.push_back(ScheduledWrite{due, 0x40, 0, (seed & 7) != 0});
    }
    // What a sorted list of every lateness says.
    const std::int64_t frame = frameNanoseconds(2400);
    std::vector<std::int64_t> late;
    std::int64_t lineFree = 0;
    for (const ScheduledWrite& w : writes) {
        if (w.send) {
            const auto at = static_cast<std::int64_t>(static_cast<double>(w.dueNs) / 1.5);
            lineFree = std::max(at, lineFree) + frame;
            late.push_back(lineFree - at);
        }
    }
    std::sort(late.begin(), late.end());
    ASSERT_GT(late.back(), std::int64_t{1} << 32);
    const LineFigures f = lineFigures(writes, 2400, 1.5, due);
    EXPECT_EQ(f.writes, late.size());
    EXPECT_EQ(f.medianLateNs, late[(late.size() + 1) / 2 - 1]);
    EXPECT_EQ(f.p99LateNs,
              late[static_cast<std::size_t>(std::ceil(0.99 * static_cast<double>(late.size()))) - 1]);
    EXPECT_EQ(f.maxLateNs, late.back());

    // Nothing sent: no figures, and no pass beyond the first.
    for (ScheduledWrite& w : writes) {
        w.send = false;
    }
    const LineFigures none = lineFigures(writes, 2400, 1.0, due);
    EXPECT_EQ(none.writes, 0U);
    EXPECT_EQ(none.medianLateNs, 0);
}

TEST(MemoryImage, RunsCoverEveryBlockAndJoinAcrossShortGaps)
{
    MusicLog log;
    log.blocks.push_back(MemoryBlock{0x10, Bytes(40, 1), 0, 0});    // units 0..1
    log.blocks.push_back(MemoryBlock{0x100, Bytes(8, 2), 0, 0});    // unit 8: within the granule, joined
    log.blocks.push_back(MemoryBlock{0x20, Bytes(4, 3), 0, 0});     // overwrites bytes of the first
    log.blocks.push_back(MemoryBlock{0x4000, Bytes(600, 4), 0, 0}); // far away: its own run
    const auto loads = memoryLoads(log);
    ASSERT_EQ(loads.size(), 2u);
    EXPECT_EQ(loads[0].unit, 0u);
    ASSERT_EQ(loads[0].bytes.size(), 9u * 32u);
    EXPECT_EQ(loads[0].bytes[0x0F], 0);
    EXPECT_EQ(loads[0].bytes[0x10], 1);
    EXPECT_EQ(loads[0].bytes[0x20], 3);
    EXPECT_EQ(loads[0].bytes[0x24], 1);
    EXPECT_EQ(loads[0].bytes[0x37], 1);
    EXPECT_EQ(loads[0].bytes[0x38], 0);
    EXPECT_EQ(loads[0].bytes[0x100], 2);
    EXPECT_EQ(loads[1].unit, 0x200u);
    EXPECT_EQ(loads[1].bytes.size(), 608u);
    EXPECT_EQ(loads[1].bytes[599], 4);
    EXPECT_TRUE(memoryLoads(MusicLog{}).empty());

    // A block in the memory's last units: its run starts at the granule, so
    // that the commit's whole granules stay inside the 256 KiB.
    MusicLog end;
    end.blocks.push_back(MemoryBlock{256 * 1024 - 40, Bytes(40, 5), 0, 0});
    const auto last = memoryLoads(end);
    ASSERT_EQ(last.size(), 1u);
    EXPECT_EQ(last[0].unit, 8192u - 16u);
    ASSERT_EQ(last[0].bytes.size(), 512u);
    EXPECT_EQ(last[0].bytes[471], 0);
    EXPECT_EQ(last[0].bytes[472], 5);
}

TEST(MemoryImage, ABlockOverwritingOneTheMusicHasUsedWaitsForItsPlace)
{
    MusicLog log;
    log.writes.resize(30);
    log.blocks.push_back(MemoryBlock{0, Bytes(1024, 1), 0, 0});     // before any write
    log.blocks.push_back(MemoryBlock{0x1000, Bytes(100, 2), 0, 0}); // the same moment, elsewhere
    log.blocks.push_back(MemoryBlock{0x200, Bytes(64, 3), 10, 0});  // over the first, after 10 writes
    log.blocks.push_back(MemoryBlock{0x2000, Bytes(32, 4), 10, 0}); // the same moment, nothing under it
    log.blocks.push_back(MemoryBlock{0x220, Bytes(8, 5), 10, 0});   // over the one that waits: waits too
    const MemoryPlan plan = planMemory(log);
    ASSERT_EQ(plan.before.size(), 3u);
    EXPECT_EQ(plan.before[0].bytes, Bytes(1024, 1)) << "the first block whole, not the later one over it";
    EXPECT_EQ(plan.before[2].unit, 0x2000u / 32);
    ASSERT_EQ(plan.during.size(), 2u);
    EXPECT_EQ(plan.during[0].atWrite, 10u);
    // Its run is whole granules, the bytes around it the memory's as it stands: the first block's.
    const MemoryLoad& run = plan.during[0].run;
    EXPECT_EQ(run.unit, 0x200u / 32);
    ASSERT_EQ(run.bytes.size(), 512u);
    EXPECT_EQ(run.bytes[63], 3);
    EXPECT_EQ(run.bytes[64], 1);
    EXPECT_EQ(plan.during[1].run.bytes[0], 5);
    EXPECT_EQ(plan.during[1].run.bytes[8], 3) << "laid over the block loaded before it";
    EXPECT_EQ(plan.during[1].run.bytes[0x20], 1);
    EXPECT_EQ(memoryLoads(log).size(), plan.before.size());

    // In the looped part, a block that a later one of the loop overwrites
    // waits too: each pass must find it at its place.
    MusicLog looped;
    looped.writes.resize(30);
    looped.looped = true;
    looped.loopWrite = 5;
    looped.blocks.push_back(MemoryBlock{0, Bytes(64, 1), 8, 0});
    looped.blocks.push_back(MemoryBlock{0, Bytes(64, 2), 20, 0});
    const MemoryPlan loop = planMemory(looped);
    EXPECT_TRUE(loop.before.empty());
    ASSERT_EQ(loop.during.size(), 2u);
    EXPECT_EQ(loop.during[0].atWrite, 8u);
    EXPECT_EQ(loop.during[0].run.bytes[0], 1);
    EXPECT_EQ(loop.during[0].run.bytes[64], 0);
}

} // namespace
