// Mute and fade-out as the chip sees them: what reaches it while a unit is
// muted, what comes back on unmute, an attenuation that only rises and ends
// in silence, and a play without transforms that stays exactly the log.
#include "music/play_plan.h"
#include "music/schedule.h"
#include "music/write_transform.h"

#include <gtest/gtest.h>

#include <map>
#include <random>

namespace {

constexpr std::int64_t MS = 1'000'000;
using W = std::vector<RegisterWrite>;

W transformed(WriteTransform& t, std::initializer_list<RegisterWrite> writes)
{
    W out;
    for (const RegisterWrite& w : writes) {
        transformWrite(t, w.reg, w.value, out);
    }
    return out;
}

// The total level register of operator `op` (1-4) of FM channel `ch` (0-5).
std::uint16_t totalLevel(int ch, int op)
{
    const int row = op == 1 ? 0 : op == 3 ? 1 : op == 2 ? 2 : 3;
    return static_cast<std::uint16_t>((ch >= 3 ? 0x100 : 0) + 0x40 + row * 4 + ch % 3);
}

std::uint16_t algorithmReg(int ch)
{
    return static_cast<std::uint16_t>((ch >= 3 ? 0x100 : 0) + 0xB0 + ch % 3);
}

TEST(Mute, CarriersStayAt127WhileTheLogWritesAndComeBackOnUnmute)
{
    // The carriers of each algorithm, as operator numbers.
    const std::vector<std::vector<int>> carriers = {{4},    {4},       {4},       {4},
                                                    {2, 4}, {2, 3, 4}, {2, 3, 4}, {1, 2, 3, 4}};
    for (int ch : {0, 4}) {
        for (int algorithm = 0; algorithm < 8; ++algorithm) {
            WriteTransform t;
            startTransform(t, true, 0);
            W out;
            transformWrite(t, algorithmReg(ch), static_cast<std::uint8_t>(0x38 | algorithm), out);
            for (int op = 1; op <= 4; ++op) {
                transformWrite(t, totalLevel(ch, op), static_cast<std::uint8_t>(0x10 + op), out);
            }
            out.clear();
            setMuted(t, unitBit(static_cast<SoundUnit>(ch)), out);
            const auto& mine = carriers[static_cast<std::size_t>(algorithm)];
            ASSERT_EQ(out.size(), mine.size()) << "algorithm " << algorithm;
            for (int op = 1; op <= 4; ++op) {
                const bool carrier = std::find(mine.begin(), mine.end(), op) != mine.end();
                EXPECT_EQ(t.chip.value[totalLevel(ch, op)], carrier ? 127 : 0x10 + op)
                    << algorithm << " op " << op;
            }
            // The log writes other levels: the carriers' go to its file only, the modulators' to the chip.
            out.clear();
            for (int op = 1; op <= 4; ++op) {
                transformWrite(t, totalLevel(ch, op), static_cast<std::uint8_t>(0x20 + op), out);
            }
            EXPECT_EQ(out.size(), 4 - mine.size());
            for (int op : mine) {
                EXPECT_EQ(t.chip.value[totalLevel(ch, op)], 127);
                EXPECT_EQ(t.log.value[totalLevel(ch, op)], 0x20 + op);
            }
            out.clear();
            setMuted(t, 0, out);
            EXPECT_EQ(out.size(), mine.size());
            for (int op = 1; op <= 4; ++op) {
                EXPECT_EQ(t.chip.value[totalLevel(ch, op)], 0x20 + op);
            }
        }
    }
}

TEST(Mute, ANewAlgorithmMovesTheMuteToItsCarriers)
{
    WriteTransform t;
    startTransform(t, true, unitBit(SoundUnit::FM2));
    // Muted before the log set anything: the carrier of its first algorithm
    // is silenced before the algorithm takes effect, and the log's level for it stays in its file.
    EXPECT_EQ(transformed(t, {{0xB1, 0x00}, {0x41, 0x05}, {0x45, 0x06}, {0x49, 0x07}, {0x4D, 0x08}}),
              (W{{0x4D, 0x7F}, {0xB1, 0x00}, {0x41, 0x05}, {0x45, 0x06}, {0x49, 0x07}}));
    // To algorithm 7: the new carriers are silenced before it takes effect.
    EXPECT_EQ(transformed(t, {{0xB1, 0x07}}), (W{{0x41, 0x7F}, {0x45, 0x7F}, {0x49, 0x7F}, {0xB1, 0x07}}));
    // Back to 4 (carriers 2 and 4): operators 1 and 3 get their levels back after it.
    EXPECT_EQ(transformed(t, {{0xB1, 0x04}}), (W{{0xB1, 0x04}, {0x41, 0x05}, {0x45, 0x06}}));
    // Keys and pitches of a muted channel still go out, so an unmuted note sounds on.
    EXPECT_EQ(transformed(t, {{0xA5, 0x22}, {0xA1, 0x69}, {0x28, 0xF1}}),
              (W{{0xA5, 0x22}, {0xA1, 0x69}, {0x28, 0xF1}}));
}

TEST(Mute, SsgRhythmAndAdpcmLevelsGoToZeroAndBack)
{
    for (bool dropping : {true, false}) {
        WriteTransform t;
        startTransform(t, dropping, 0);
        transformed(t, {{0x08, 0x0F}, {0x09, 0x1F}, {0x11, 0x3F}, {0x18, 0xDF}, {0x1D, 0xC8}, {0x10B, 0xC0}});
        W out;
        setMuted(t, unitBit(SoundUnit::SSG2) | unitBit(SoundUnit::RHYTHM) | unitBit(SoundUnit::ADPCM), out);
        // The instruments the log has not set yet are silenced too.
        EXPECT_EQ(out, (W{{0x09, 0x00},
                          {0x18, 0x00},
                          {0x19, 0x00},
                          {0x1A, 0x00},
                          {0x1B, 0x00},
                          {0x1C, 0x00},
                          {0x1D, 0x00},
                          {0x10B, 0x00}}));
        // Muted, the log's writes reach its file and not the chip, even without dropping.
        EXPECT_EQ(
            transformed(
                t, {{0x09, 0x0C}, {0x09, 0x0C}, {0x19, 0xC4}, {0x10B, 0x80}, {0x08, 0x0E}, {0x10, 0x01}}),
            (W{{0x08, 0x0E}, {0x10, 0x01}}));
        out.clear();
        setMuted(t, 0, out);
        EXPECT_EQ(out, (W{{0x09, 0x0C}, {0x18, 0xDF}, {0x19, 0xC4}, {0x1D, 0xC8}, {0x10B, 0x80}}));
    }
}

TEST(Mute, UnitListsOfMuteAndSolo)
{
    UnitSet units = 0;
    std::string bad;
    ASSERT_TRUE(parseUnitList("fm1, SSG2,rhythm,adpcm,fm6", units, bad));
    EXPECT_EQ(units, unitBit(SoundUnit::FM1) | unitBit(SoundUnit::SSG2) | unitBit(SoundUnit::RHYTHM) |
                         unitBit(SoundUnit::ADPCM) | unitBit(SoundUnit::FM6));
    EXPECT_FALSE(parseUnitList("fm1,fm7", units, bad));
    EXPECT_EQ(bad, "fm7");
    EXPECT_FALSE(parseUnitList("ssg1,", units, bad));
    EXPECT_EQ(bad, "");
    EXPECT_FALSE(parseUnitList("", units, bad));
    for (int u = 0; u < SOUND_UNIT_COUNT; ++u) {
        ASSERT_TRUE(parseUnitList(unitName(static_cast<SoundUnit>(u)), units, bad));
        EXPECT_EQ(units, 1U << u);
    }
}

// A looped log: notes on two FM channels (algorithms 4 and 7) with their
// levels rewritten now and then, SSG, rhythm and ADPCM levels.
MusicLog fadeLog()
{
    MusicLog log;
    std::int64_t now = 0;
    const auto write = [&](std::uint16_t reg, std::uint8_t value) {
        log.writes.push_back(LogWrite{now, reg, value});
    };
    write(0xB0, 0x04);
    write(0x1B2, 0x07);
    write(0x11, 0x30);
    write(0x0A, 0x1F);
    for (int i = 0; i < 40; ++i) {
        if (i == 10) {
            log.loopWrite = log.writes.size();
            log.loopNs = now;
        }
        const auto level = static_cast<std::uint8_t>(i % 5 * 3);
        for (int op = 1; op <= 4; ++op) {
            write(totalLevel(0, op), level);
            write(totalLevel(5, op), static_cast<std::uint8_t>(level + op));
        }
        write(0x08, static_cast<std::uint8_t>(15 - i % 4));
        write(0x18, static_cast<std::uint8_t>(0xC0 | (31 - i % 3)));
        write(0x10B, static_cast<std::uint8_t>(200 + i));
        write(0x28, 0xF0);
        now += 50 * MS;
    }
    log.looped = true;
    log.endNs = now;
    return log;
}

TEST(Fade, TheAttenuationOnlyRisesAndEndsInSilence)
{
    const MusicLog log = fadeLog();
    const std::int64_t fadeNs = 3000 * MS; // longer than the 1.5 s looped part
    const FadePlan fade = planFade(log, 2, fadeNs);
    EXPECT_EQ(fade.startNs, songLength(log, 2));
    EXPECT_EQ(fade.endNs, fade.startNs + fadeNs);
    EXPECT_EQ(fade.loops, 4);
    const auto schedule = buildPlaySchedule(log, PlayPlan{2, true, 0, fadeNs});
    ASSERT_FALSE(schedule.empty());
    EXPECT_LE(schedule.back().dueNs, fade.endNs);

    // Follow the log's file and the chip's: the attenuation of each level
    // against the log's own value never falls.
    const std::uint16_t carriers[] = {0x4C, 0x48, 0x142, 0x146, 0x14A, 0x14E}; // ops 2 and 4 of 1; all of 6
    RegisterFile logFile, chip;
    clearRegisterFile(logFile);
    clearRegisterFile(chip);
    ScheduleCursor cursor;
    startSchedule(cursor, log, fade.loops, false);
    ScheduledWrite next;
    bool more = nextWrite(cursor, next);
    std::map<std::uint16_t, int> worst;
    int attenuated = 0;
    for (std::size_t i = 0; i < schedule.size(); ++i) {
        const ScheduledWrite& w = schedule[i];
        if (w.send) {
            applyWrite(chip, w.reg, w.value);
        }
        // Compared once each instant's writes are all in.
        if (i + 1 < schedule.size() && schedule[i + 1].dueNs == w.dueNs) {
            continue;
        }
        while (more && next.dueNs <= w.dueNs) {
            applyWrite(logFile, next.reg, next.value);
            more = nextWrite(cursor, next);
        }
        for (std::uint16_t reg : carriers) {
            // At 127 the level is as quiet as it goes, whatever the fade.
            if (chip.value[reg] >= 0 && chip.value[reg] < 127) {
                const int by = chip.value[reg] - logFile.value[reg];
                EXPECT_GE(by, worst[reg]) << "carrier " << std::hex << reg << " at " << std::dec << w.dueNs;
                worst[reg] = std::max(worst[reg], by);
                attenuated += by > 0;
            }
        }
        if (w.dueNs < fade.startNs) {
            EXPECT_EQ(chip.value, logFile.value) << "before the fade, the log as it is";
        }
    }
    EXPECT_GT(attenuated, 100);
    for (std::uint16_t reg : carriers) {
        EXPECT_EQ(chip.value[reg], 127) << std::hex << reg;
    }
    EXPECT_EQ(chip.value[0x44], logFile.value[0x44]) << "a modulator is not faded";
    EXPECT_EQ(chip.value[0x08], 0);
    EXPECT_EQ(chip.value[0x0A], 0);
    EXPECT_EQ(chip.value[0x11], 0);
    EXPECT_EQ(chip.value[0x18], 0);
    EXPECT_EQ(chip.value[0x10B], 0);
}

TEST(Fade, ANoteThatStartsDuringTheFadeStartsFaded)
{
    WriteTransform t;
    startTransform(t, true, 0);
    transformed(t, {{0xB0, 0x07}, {0x40, 0x00}, {0x44, 0x00}, {0x0A, 0x1F}, {0x11, 0x3C}, {0x19, 0xDF}});
    W out;
    raiseFade(t, 20, out);
    EXPECT_EQ(t.chip.value[0x40], 20);
    EXPECT_EQ(t.chip.value[0x0A], 0x1F) << "the envelope holds until 24 dB";
    EXPECT_EQ(t.chip.value[0x11], 40);
    EXPECT_EQ(t.chip.value[0x19], 0xDF);
    raiseFade(t, 10, out);
    EXPECT_EQ(t.fade, 20) << "the attenuation never falls";
    EXPECT_EQ(transformed(t, {{0x44, 0x05}, {0x08, 0x0F}, {0x10B, 0xFF}, {0x1A, 0xDF}}),
              (W{{0x44, 25}, {0x08, 0x0A}, {0x10B, 45}, {0x1A, 0xDF}}));
    // A quieter rhythm total level moves what it cannot take onto the instruments.
    EXPECT_EQ(transformed(t, {{0x11, 0x0A}}), (W{{0x11, 0x00}, {0x19, 0xD5}, {0x1A, 0xD5}}));
    out.clear();
    raiseFade(t, 40, out);
    EXPECT_EQ(t.chip.value[0x0A], 0) << "past 24 dB the envelope channel is silenced";
    out.clear();
    raiseFade(t, FADE_SILENT, out);
    EXPECT_EQ(t.chip.value[0x0A], 0);
    EXPECT_EQ(t.chip.value[0x19], 0);
    EXPECT_EQ(t.chip.value[0x10B], 0);
}

TEST(Fade, ALogWithoutALoopFadesOverItsLastSeconds)
{
    MusicLog log = fadeLog();
    log.looped = false;
    const FadePlan fade = planFade(log, 2, 500 * MS);
    EXPECT_EQ(fade.startNs, log.endNs - 500 * MS);
    EXPECT_EQ(fade.endNs, log.endNs);
    EXPECT_EQ(fade.loops, 2);
    EXPECT_EQ(fadeStepsAt(fade, fade.startNs - 1), 0);
    int previous = 0;
    for (int step = 1; step <= FADE_SILENT; ++step) {
        const std::int64_t due = fadeStepDue(fade, step);
        EXPECT_GE(fadeStepsAt(fade, due), step);
        EXPECT_LT(fadeStepsAt(fade, due - 1), step);
        EXPECT_GE(due, previous);
        previous = static_cast<int>(due - fade.startNs);
    }
    EXPECT_EQ(fadeStepsAt(fade, fade.endNs), FADE_SILENT);
    EXPECT_FALSE(planFade(log, 2, 0).fading);
}

TEST(PlaySchedule, WithoutMuteOrFadeItIsThePlayOfTheLog)
{
    std::mt19937 rng(5);
    MusicLog log;
    const std::uint16_t regs[] = {0x28, 0xA4, 0xA0, 0x40, 0x4C,  0xB0,  0x08,
                                  0x0D, 0x10, 0x11, 0x18, 0x100, 0x10B, 0x14E};
    std::int64_t now = 0;
    for (int i = 0; i < 4000; ++i) {
        log.writes.push_back(
            LogWrite{now, regs[rng() % std::size(regs)], static_cast<std::uint8_t>(rng() % 3)});
        now += static_cast<std::int64_t>(rng() % 2) * MS;
    }
    log.endNs = now + MS;
    log.looped = true;
    log.loopWrite = 1000;
    log.loopNs = log.writes[1000].dueNs;
    for (bool dropping : {true, false}) {
        const auto expected = buildSchedule(log, 3, dropping);
        const auto actual = buildPlaySchedule(log, PlayPlan{3, dropping, 0, 0});
        ASSERT_EQ(actual.size(), expected.size());
        for (std::size_t i = 0; i < actual.size(); ++i) {
            ASSERT_EQ(actual[i].dueNs, expected[i].dueNs) << i;
            ASSERT_EQ(actual[i].reg, expected[i].reg) << i;
            ASSERT_EQ(actual[i].value, expected[i].value) << i;
            ASSERT_EQ(actual[i].send, expected[i].send) << i;
        }
    }
}

} // namespace
