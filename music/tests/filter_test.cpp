// The register filter: what it must never drop, and the proof that a play
// with dropping gives the chip the same effective writes (those with an
// effect of their own, and every change of a value) as one without.
#include "log_maker.h"
#include "music/music_log.h"
#include "music/register_filter.h"
#include "music/schedule.h"

#include <gtest/gtest.h>

#include <random>

namespace {

struct Effective {
    std::int64_t dueNs;
    std::uint16_t reg;
    std::uint8_t value;
    bool operator==(const Effective&) const = default;
};

// The chip's view of a stream: the writes that act, judged on what the
// registers hold after every write that reached the chip.
std::vector<Effective> effectiveWrites(const std::vector<ScheduledWrite>& schedule)
{
    std::array<int, 0x200> held;
    held.fill(-1);
    std::vector<Effective> out;
    for (const ScheduledWrite& w : schedule) {
        if (!w.send) {
            continue;
        }
        if (writeHasEffect(w.reg) || held[w.reg] != w.value) {
            out.push_back(Effective{w.dueNs, w.reg, w.value});
        }
        held[w.reg] = w.value;
    }
    return out;
}

// Logs like a tracker's: a few registers rewritten often, many with the same
// value, key-ons, F-number pairs, rhythm, ADPCM starts; looped.
Bytes randomLog(unsigned seed, bool s98)
{
    std::mt19937 rng(seed);
    const std::uint16_t regs[] = {0x28, 0xA4, 0xA0, 0xA5, 0xA1, 0x40, 0x41, 0xB0, 0xB4, 0x08, 0x09, 0x0D,
                                  0x0B, 0x10, 0x11, 0x18, 0x27, 0x100, 0x101, 0x102, 0x109, 0x10B, 0x1A4,
                                  0x1A0, 0x140, 0x1B4, 0x07, 0x22};
    Bytes c;
    long loopAt = 0;
    for (int i = 0; i < 3000; ++i) {
        if (i == 300) {
            loopAt = static_cast<long>(c.size());
        }
        const std::uint16_t reg = regs[rng() % std::size(regs)];
        const auto value = static_cast<std::uint8_t>(rng() % 4 == 0 ? rng() : rng() % 2);
        if (s98) {
            s98Write(c, 0, reg, value);
        } else {
            vgmWrite(c, reg, value);
        }
        if (rng() % 8 == 0) {
            if (s98) {
                s98Wait(c, 1 + rng() % 20);
            } else {
                vgmWait(c, static_cast<std::uint16_t>(1 + rng() % 800));
            }
        }
    }
    if (s98) {
        S98Header header;
        header.loopAt = loopAt;
        return s98File(c, header);
    }
    VgmHeader header;
    header.loopAt = loopAt;
    return vgmFile(c, header);
}

TEST(RegisterFilter, TheWritesThatActAreNeverDropped)
{
    const std::uint16_t acting[] = {0x0D, 0x0E, 0x0F, 0x10, 0x21, 0x27, 0x28, 0x2D, 0x2E, 0x2F, 0xA0, 0xA1,
                                    0xA2, 0xA4, 0xA5, 0xA6, 0xA8, 0xA9, 0xAA, 0xAC, 0xAD, 0xAE, 0x100, 0x101,
                                    0x108, 0x10E, 0x110, 0x1A0, 0x1A1, 0x1A2, 0x1A4, 0x1A5, 0x1A6, 0x33, 0x1B7};
    RegisterFilter filter{};
    resetRegisterFilter(filter);
    for (std::uint16_t reg : acting) {
        EXPECT_TRUE(passWrite(filter, reg, 0x12)) << std::hex << reg;
        EXPECT_TRUE(passWrite(filter, reg, 0x12)) << std::hex << reg;
    }
    const std::uint16_t plain[] = {0x00, 0x07, 0x08, 0x0B, 0x11, 0x18, 0x22, 0x24, 0x29, 0x30, 0x40, 0x9E,
                                   0xB0, 0xB6, 0x102, 0x105, 0x109, 0x10A, 0x10B, 0x10C, 0x130, 0x19E, 0x1B6};
    for (std::uint16_t reg : plain) {
        EXPECT_TRUE(passWrite(filter, reg, 0x00)) << std::hex << reg; // unknown before: sent
        EXPECT_FALSE(passWrite(filter, reg, 0x00)) << std::hex << reg;
        EXPECT_TRUE(passWrite(filter, reg, 0x01)) << std::hex << reg;
    }
    resetRegisterFilter(filter);
    EXPECT_TRUE(passWrite(filter, 0x40, 0x01)); // forgotten after a reset
}

TEST(RegisterFilter, DroppingKeepsTheEffectiveWritesOfEveryLog)
{
    std::vector<Bytes> logs;
    for (unsigned seed = 1; seed <= 4; ++seed) {
        logs.push_back(randomLog(seed, seed % 2 == 0));
    }
    logs.push_back(gzipBytes(randomLog(9, false)));
    for (const Bytes& file : logs) {
        const MusicLog log = parsed(file);
        for (int loops : {1, 3}) {
            const auto all = buildSchedule(log, loops, false);
            const auto dropped = buildSchedule(log, loops, true);
            ASSERT_EQ(all.size(), dropped.size());
            const auto sent = static_cast<std::size_t>(
                std::count_if(dropped.begin(), dropped.end(), [](const ScheduledWrite& w) { return w.send; }));
            EXPECT_LT(sent, all.size() * 9 / 10); // the logs are made to have plenty to drop
            EXPECT_EQ(effectiveWrites(all), effectiveWrites(dropped));
        }
    }
}

} // namespace
