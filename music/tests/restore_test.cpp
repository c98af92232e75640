// The log's register file at any moment of a play, and the writes that take
// the chip there: a rebuilt state equals the log's file after playing it,
// whatever the chip held before, in the safe order and without the ADPCM
// memory.
#include "music/chip_restore.h"
#include "music/register_file.h"
#include "music/schedule.h"

#include <gtest/gtest.h>

#include <random>

namespace {

constexpr std::int64_t MS = 1'000'000;

// A looped log like a driver's: notes keyed on and off on all six FM
// channels, F-number pairs, levels, algorithms, SSG with envelopes, rhythm
// strikes, ADPCM starts (some repeating), the odd timer and prescaler write.
MusicLog randomLog(unsigned seed, std::size_t count)
{
    std::mt19937 rng(seed);
    const std::uint16_t regs[] = {0x28,  0x28,  0x28,  0xA4,  0xA0,  0xA5,  0xA1,  0x1A4, 0x1A0, 0x40, 0x44,
                                  0x48,  0x4C,  0x142, 0x14E, 0xB0,  0x1B1, 0xB4,  0x08,  0x09,  0x0A, 0x0D,
                                  0x0B,  0x0C,  0x07,  0x10,  0x11,  0x18,  0x1D,  0x27,  0x29,  0x2E, 0x100,
                                  0x101, 0x102, 0x103, 0x104, 0x105, 0x109, 0x10A, 0x10B, 0x110, 0xAC, 0xA8};
    const std::uint8_t keys[] = {0x00, 0xF0, 0x10, 0x90};
    const std::uint8_t control1[] = {0xA0, 0xB0, 0x01, 0x00};
    MusicLog log;
    std::int64_t now = 0;
    for (std::size_t i = 0; i < count; ++i) {
        const std::uint16_t reg = regs[rng() % std::size(regs)];
        auto value = static_cast<std::uint8_t>(rng());
        if (reg == 0x28) {
            value = static_cast<std::uint8_t>(keys[rng() % 4] | FM_KEY_CHANNELS[rng() % 6]);
        } else if (reg == 0x100) {
            value = control1[rng() % 4];
        } else if (reg == 0x10) {
            value &= 0xBF;
        }
        log.writes.push_back(LogWrite{now, reg, value});
        if (rng() % 4 == 0) {
            now += 1 + static_cast<std::int64_t>(rng() % 20) * MS;
        }
    }
    log.endNs = now + 5 * MS;
    log.looped = true;
    log.loopWrite = count / 5;
    log.loopNs = log.writes[log.loopWrite].dueNs;
    return log;
}

// The log's file after playing every write due before `playNs`, one write at a time.
RegisterFile replayed(const MusicLog& log, int loops, std::int64_t playNs)
{
    RegisterFile file;
    clearRegisterFile(file);
    for (const ScheduledWrite& w : buildSchedule(log, loops, false)) {
        if (w.dueNs >= playNs) {
            break;
        }
        applyWrite(file, w.reg, w.value);
    }
    return file;
}

// The registers a restore treats as settings, where the chip must end equal to the target.
bool isSetting(std::uint16_t reg)
{
    const std::uint16_t low = reg & 0xFF;
    if (reg >= 0x130 || (reg >= 0x30 && reg < 0x100)) {
        const bool fm = low >= 0x30 && low <= 0xB6 && low % 4 != 3;
        return fm && !(reg >= 0x1A8 && reg <= 0x1AE);
    }
    return reg <= 0x0C || reg == 0x0E || reg == 0x0F || reg == 0x11 || (reg >= 0x18 && reg <= 0x1D) ||
           reg == 0x22 || (reg >= 0x24 && reg <= 0x26) || reg == 0x29 || (reg >= 0x101 && reg <= 0x107) ||
           (reg >= 0x109 && reg <= 0x10D);
}

void expectLandsOn(const RegisterFile& before, const RegisterFile& target,
                   const std::vector<RegisterWrite>& writes, const RegisterFile& after)
{
    // The writes themselves take the chip there, not only the file's bookkeeping.
    RegisterFile chip = before;
    for (const RegisterWrite& w : writes) {
        applyWrite(chip, w.reg, w.value);
    }
    EXPECT_EQ(chip, after);
    for (std::uint16_t reg = 0; reg < REGISTER_COUNT; ++reg) {
        if (isSetting(reg) && target.value[reg] >= 0) {
            ASSERT_EQ(chip.value[reg], target.value[reg]) << std::hex << reg;
        }
    }
    EXPECT_EQ(chip.keys.fm, target.keys.fm);
    EXPECT_EQ(chip.prescaler, target.prescaler == 0 ? before.prescaler : target.prescaler);
    EXPECT_EQ(chip.value[0x27] & 0xCF,
              target.value[0x27] < 0 ? chip.value[0x27] & 0xCF : target.value[0x27] & 0xCF);
    EXPECT_EQ(chip.keys.rhythm, 0);
    EXPECT_EQ(adpcmHeld(chip), adpcmHeld(target));
}

// Key-offs, then settings, then key-ons; never a memory byte or memory-write mode.
void expectSafeOrder(const std::vector<RegisterWrite>& writes)
{
    int phase = 0; // 0 key-off, 1 registers, 2 keys
    for (std::size_t i = 0; i < writes.size(); ++i) {
        const RegisterWrite& w = writes[i];
        ASSERT_NE(w.reg, 0x108);
        ASSERT_NE(w.reg, 0x10E);
        ASSERT_NE(w.reg, 0x10F);
        ASSERT_NE(w.reg, 0x21);
        const bool keyOff = (w.reg == 0x28 && (w.value & 0xF0) == 0) || (w.reg == 0x10 && (w.value & 0x80)) ||
                            (w.reg == 0x100 && w.value == 0x01);
        const bool keyOn =
            (w.reg == 0x28 && (w.value & 0xF0) != 0) || w.reg == 0x0D || (w.reg == 0x100 && (w.value & 0x80));
        ASSERT_FALSE(w.reg == 0x10 && !(w.value & 0x80)) << "a rhythm strike at " << i;
        ASSERT_FALSE(w.reg == 0x100 && (w.value & 0x40)) << "memory-write mode at " << i;
        const int at = keyOff ? 0 : keyOn ? 2 : 1;
        ASSERT_GE(at, phase) << "write " << i << " (" << std::hex << w.reg << ") out of order";
        phase = at;
    }
}

TEST(LogState, AnyMomentEqualsTheLogPlayedUpToIt)
{
    // Enough writes for several snapshots in the first pass and in the loop's.
    const MusicLog log = randomLog(1, 5 * STATE_STRIDE + 123);
    LogStates states;
    indexLogStates(states, log);
    EXPECT_EQ(states.firstPass.size(), 6u);
    const std::int64_t loopLength = log.endNs - log.loopNs;
    std::mt19937 rng(7);
    std::vector<std::int64_t> moments = {
        0, 1, log.loopNs + 1, log.endNs - 1, log.endNs + 1, log.endNs + loopLength + 3, 10 * log.endNs};
    for (int i = 0; i < 20; ++i) {
        moments.push_back(
            static_cast<std::int64_t>(rng() % static_cast<unsigned>((3 * log.endNs) / MS)) * MS + 7);
    }
    for (std::int64_t t : moments) {
        const PlayPoint point = playPointAt(log, 3, t);
        EXPECT_EQ(logStateAt(states, point), replayed(log, 3, t)) << "at " << t;
    }
    // A play without loops stays in the first pass however far it seeks.
    EXPECT_EQ(playPointAt(log, 1, 10 * log.endNs), (PlayPoint{0, log.writes.size()}));
    EXPECT_EQ(logStateAt(states, playPointAt(log, 1, 10 * log.endNs)), replayed(log, 1, 10 * log.endNs));
}

TEST(LogState, TheScheduleResumesAtThePointItsStateDescribes)
{
    const MusicLog log = randomLog(2, 3000);
    const auto all = buildSchedule(log, 2, false);
    for (std::int64_t t : {log.loopNs + 3, log.endNs + (log.endNs - log.loopNs) / 2}) {
        ScheduleCursor cursor;
        startSchedule(cursor, log, 2, false);
        RegisterFile chip;
        clearRegisterFile(chip);
        seekSchedule(cursor, playPointAt(log, 2, t), chip);
        ScheduledWrite next;
        ASSERT_TRUE(nextWrite(cursor, next));
        const auto expected =
            std::find_if(all.begin(), all.end(), [&](const ScheduledWrite& w) { return w.dueNs >= t; });
        ASSERT_NE(expected, all.end());
        EXPECT_EQ(next.dueNs, expected->dueNs);
        EXPECT_EQ(next.reg, expected->reg);
        EXPECT_EQ(next.value, expected->value);
    }
}

TEST(ChipRestore, FromAnyChipStateTheChipLandsOnTheTarget)
{
    const MusicLog log = randomLog(3, 2 * STATE_STRIDE);
    LogStates states;
    indexLogStates(states, log);
    std::mt19937 rng(11);
    for (int trial = 0; trial < 30; ++trial) {
        const auto at = [&] {
            return static_cast<std::int64_t>(rng() % static_cast<unsigned>(2 * log.endNs / MS)) * MS;
        };
        const RegisterFile target = logStateAt(states, playPointAt(log, 2, at()));
        // The chip: somewhere else in the log (a seek), silenced (a resume), or never set.
        RegisterFile chip = logStateAt(states, playPointAt(log, 2, at()));
        if (trial % 3 == 1) {
            for (auto [reg, value] : {std::pair<std::uint16_t, std::uint8_t>{0x28, 0x00},
                                      {0x28, 0x01},
                                      {0x28, 0x02},
                                      {0x28, 0x04},
                                      {0x28, 0x05},
                                      {0x28, 0x06},
                                      {0x08, 0},
                                      {0x09, 0},
                                      {0x0A, 0},
                                      {0x10, 0xBF},
                                      {0x100, 0x01}}) {
                applyWrite(chip, reg, value);
            }
        } else if (trial % 3 == 2) {
            clearRegisterFile(chip);
        }
        const RegisterFile before = chip;
        std::vector<RegisterWrite> writes;
        restoreWrites(chip, target, writes);
        expectSafeOrder(writes);
        expectLandsOn(before, target, writes, chip);
        // Landed, a second restore has nothing to change but the held notes' keys.
        std::vector<RegisterWrite> again;
        restoreWrites(chip, target, again);
        for (const RegisterWrite& w : again) {
            EXPECT_TRUE(w.reg == 0x28 || w.reg == 0x0D || w.reg == 0x100 || w.reg == 0x10)
                << std::hex << w.reg;
        }
    }
}

std::vector<RegisterWrite> restoreFrom(RegisterFile chip, std::initializer_list<RegisterWrite> targetWrites,
                                       std::initializer_list<RegisterWrite> chipWrites = {})
{
    RegisterFile target;
    clearRegisterFile(target);
    for (const RegisterWrite& w : targetWrites) {
        applyWrite(target, w.reg, w.value);
    }
    for (const RegisterWrite& w : chipWrites) {
        applyWrite(chip, w.reg, w.value);
    }
    std::vector<RegisterWrite> out;
    restoreWrites(chip, target, out);
    return out;
}

TEST(ChipRestore, RegistersThatActAreWrittenByTheirOwnRules)
{
    RegisterFile empty;
    clearRegisterFile(empty);
    using W = std::vector<RegisterWrite>;
    // F-numbers as pairs, high byte first, even when only the low byte differs.
    EXPECT_EQ(restoreFrom(empty, {{0xA5, 0x22}, {0xA1, 0x69}}, {{0xA5, 0x22}, {0xA1, 0x68}}),
              (W{{0xA5, 0x22}, {0xA1, 0x69}}));
    EXPECT_EQ(restoreFrom(empty, {{0x1A6, 0x1C}, {0x1A2, 0x00}, {0xAD, 0x14}, {0xA9, 0x55}}),
              (W{{0xAD, 0x14}, {0xA9, 0x55}, {0x1A6, 0x1C}, {0x1A2, 0x00}}));
    // The prescaler's selection made again first; its divider of a third takes 0x2D before 0x2E.
    EXPECT_EQ(restoreFrom(empty, {{0x07, 0x38}, {0x2E, 0x00}}),
              (W{{0x2D, 0x00}, {0x2E, 0x00}, {0x07, 0x38}}));
    EXPECT_EQ(restoreFrom(empty, {{0x2E, 0x00}}, {{0x2E, 0x00}}), W{});
    // Timer control and flag control without their flag resets.
    EXPECT_EQ(restoreFrom(empty, {{0x27, 0x7F}, {0x110, 0x9C}}), (W{{0x27, 0x4F}, {0x110, 0x1C}}));
    EXPECT_EQ(restoreFrom(empty, {{0x27, 0x7F}}, {{0x27, 0x4F}}), W{});
    // Nothing for undocumented registers, the test register, memory data, DA data.
    EXPECT_EQ(
        restoreFrom(empty, {{0x12, 1}, {0x21, 1}, {0x33, 1}, {0xB7, 1}, {0x108, 1}, {0x10E, 1}, {0x1A8, 1}}),
        W{});
}

TEST(ChipRestore, HeldNotesAreKeyedAgainAndStruckOnesAreNot)
{
    RegisterFile empty;
    clearRegisterFile(empty);
    using W = std::vector<RegisterWrite>;
    // FM: keyed off in the chip first, keyed on after its settings.
    EXPECT_EQ(restoreFrom(empty, {{0x28, 0xF1}, {0x4C, 0x05}, {0x28, 0x02}}, {{0x28, 0x30}, {0x28, 0xF1}}),
              (W{{0x28, 0x00}, {0x28, 0x01}, {0x4C, 0x05}, {0x28, 0xF1}}));
    // Rhythm: what the chip struck is dumped; nothing is struck again.
    EXPECT_EQ(restoreFrom(empty, {{0x10, 0x09}, {0x11, 0x3F}}, {{0x10, 0x03}, {0x10, 0x81}}),
              (W{{0x10, 0x82}, {0x11, 0x3F}}));
    // ADPCM: a playing unit is reset; a repeating sample from memory starts
    // again after its addresses, a one-shot does not.
    EXPECT_EQ(restoreFrom(empty, {{0x102, 0x10}, {0x100, 0xB0}}, {{0x100, 0xA0}}),
              (W{{0x100, 0x01}, {0x102, 0x10}, {0x100, 0xB0}}));
    EXPECT_EQ(restoreFrom(empty, {{0x102, 0x10}, {0x100, 0xA0}}), (W{{0x102, 0x10}}));
    // SSG envelope: a repeating shape on an envelope channel restarts; a
    // one-shot shape the chip already holds is left to run out.
    EXPECT_EQ(restoreFrom(empty, {{0x08, 0x10}, {0x0D, 0x0E}}, {{0x08, 0x10}, {0x0D, 0x0E}}),
              (W{{0x0D, 0x0E}}));
    EXPECT_EQ(restoreFrom(empty, {{0x08, 0x10}, {0x0D, 0x09}}, {{0x08, 0x10}, {0x0D, 0x09}}), W{});
    EXPECT_EQ(restoreFrom(empty, {{0x0D, 0x09}}, {{0x0D, 0x0E}}), (W{{0x0D, 0x09}}));
}

} // namespace
