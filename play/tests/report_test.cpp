// The player's own text: tags, the pitch warning, the --stats report and
// its --list lines, the status line.
#include "music/tag_text.h"
#include "play/keys.h"
#include "play/player.h"
#include "play/report.h"
#include "play/tracks.h"

#include <gtest/gtest.h>

namespace {

TEST(PlayReport, ClockTagsAndPitch)
{
    EXPECT_EQ(formatClock(0), "0:00.0");
    EXPECT_EQ(formatClock(107'250'000'000), "1:47.2");
    EXPECT_EQ(formatClock(3'600'000'000'000), "60:00.0");
    MusicTags tags;
    EXPECT_EQ(tagLines(tags), "");
    tags.title = "Lotus";
    tags.author = "Someone";
    EXPECT_EQ(tagLines(tags), "  title: Lotus\n  author: Someone\n");
    EXPECT_EQ(clockWarning(7987200, 7987200), "");
    EXPECT_EQ(clockWarning(8000000, 7987200),
              "the log's YM2608 runs at 8000000 Hz, the board's at 7987200 Hz: the music plays 2.8 cents flat");
    EXPECT_EQ(clockWarning(3993600, 7987200),
              "the log's YM2608 runs at 3993600 Hz, the board's at 7987200 Hz: the music plays 1200.0 cents sharp");
}

TEST(PlayReport, StatsListAndStatusLines)
{
    MusicLog log;
    log.looped = true;
    log.loopNs = 5'000'000'000;
    log.endNs = 65'000'000'000;
    log.blocks.push_back(MemoryBlock{0, std::vector<std::uint8_t>(100, 0), 0, 0});
    StatsInput in;
    in.log = &log;
    in.loops = 2;
    in.baud = 115200;
    in.allWrites = 1000;
    in.adpcmBytes = 128;
    in.figures.writes = 800;
    in.figures.peakBurst = 40;
    in.figures.peakBurstNs = 12'340'000'000;
    in.figures.load = 0.125;
    in.figures.peakLoad = 0.5;
    in.figures.medianLateNs = 260'416;
    in.figures.p99LateNs = 3'000'000;
    in.figures.maxLateNs = 10'416'640;
    in.figures.maxLateAtNs = 12'340'000'000;
    in.undropped = in.figures;
    in.undropped.p99LateNs = 4'500'000;
    EXPECT_EQ(statsReport(in),
              "  length        2:05.0, the looped part (from 0:05.0) played 2 times in all\n"
              "  writes        1000, 800 after dropping those that change nothing (20.0% dropped)\n"
              "  ADPCM memory  128 bytes in 1 block, before the music\n"
              "  peak burst    40 writes due at 0:12.3\n"
              "  line          115200 baud: 12.5% busy on average, 50.0% in the busiest second\n"
              "  lateness      median 0.26 ms, 99% within 3.00 ms, at most 10.42 ms (at 0:12.3)\n"
              "                without dropping: median 0.26 ms, 99% within 4.50 ms, at most 10.42 ms\n");
    // A block loaded in mid-song is counted apart.
    log.blocks.push_back(MemoryBlock{0, std::vector<std::uint8_t>(100, 1), 5, 0});
    in.midSongBlocks = 1;
    in.midSongBytes = 512;
    EXPECT_NE(statsReport(in).find(
                  "\n  ADPCM memory  128 bytes in 1 block before the music, 512 bytes in 1 block in "
                  "mid-song\n  peak burst"),
              std::string::npos);
    EXPECT_EQ(listLine(ScheduledWrite{12'345'678, 0x1A4, 0x0F, false}), "12345 1a4 0f drop\n");
    EXPECT_EQ(listEndLine(192'000'456'789), "192000456 end\n");
    StatusFigures status;
    status.elapsedNs = 12'300'000'000;
    status.totalNs = 107'200'000'000;
    status.passes = 2;
    status.writesPerSecond = 412;
    status.linePercent = 38;
    status.latenessNs = 400'000;
    EXPECT_EQ(statusLine(status), " 0:12.3 / 1:47.2  loop 1/2    412 writes/s  line  38%  late    0.4 ms ");
}

TEST(PlayReport, LinesFitTheTerminalAndCoverWhatWasThere)
{
    StatusFigures status;
    status.elapsedNs = 12'300'000'000;
    status.totalNs = 107'200'000'000;
    status.passes = 2;
    // Whole fields only, in order, and never the last column.
    EXPECT_EQ(statusLine(status, 80),
              " 0:12.3 / 1:47.2  loop 1/2      0 writes/s  line   0%  late    0.0 ms ");
    EXPECT_EQ(statusLine(status, 70), " 0:12.3 / 1:47.2  loop 1/2      0 writes/s  line   0%");
    EXPECT_EQ(statusLine(status, 40), " 0:12.3 / 1:47.2  loop 1/2");
    EXPECT_EQ(statusLine(status, 10), " 0:12.3 / 1:47.2");
    EXPECT_EQ(redrawLine(statusLine(status, 10), 10, 0), "\r 0:12.3 /");

    // A shorter line covers the longer one before it; at an unknown width nothing is cut.
    EXPECT_EQ(loadProgressLine(512, 512), "  ADPCM memory (   512/   512) 100%");
    EXPECT_EQ(redrawLine(loadedLine(512), 0, loadProgressLine(512, 512).size()),
              "\r  ADPCM memory: 512 bytes loaded   ");
    EXPECT_EQ(redrawLine("abc", 0, 2), "\rabc");
    // The cover stops short of the last column of a narrowed terminal.
    EXPECT_EQ(redrawLine("ab", 6, 30), "\rab   ");
}

} // namespace

namespace {

TEST(PlayReport, InfoOfALog)
{
    MusicLog log;
    log.clockHz = 7987200;
    log.tags.title = "Lotus";
    log.tags.game = "Game";
    log.looped = true;
    log.loopNs = 12'300'000'000;
    log.endNs = 107'250'000'000;
    log.chips = {{"YM2608", 7987200, 2}, {"SN76489", 3579545, 1}, {"device type 42", 0, 1}};
    log.blocks.push_back(MemoryBlock{0, std::vector<std::uint8_t>(100, 0), 0, 0});
    log.blocks.push_back(MemoryBlock{0x8000, std::vector<std::uint8_t>(64, 0), 0, 0});
    // 3 writes in the first second, then 5 within 0.9 s from 10 s on.
    for (std::int64_t at : {0LL, 500'000'000LL, 999'000'000LL, 10'000'000'000LL, 10'100'000'000LL,
                            10'500'000'000LL, 10'800'000'000LL, 10'900'000'000LL, 11'000'000'000LL}) {
        log.writes.push_back(LogWrite{at, 0x28, 0});
    }
    EXPECT_EQ(infoReport("song.vgz", log),
              "song.vgz: VGM, YM2608 at 7987200 Hz\n"
              "  title: Lotus\n"
              "  game: Game\n"
              "  length        1:47.2 a pass\n"
              "  loop          from 0:12.3, 1:34.9 long\n"
              "  chips         2 x YM2608 at 7987200 Hz, SN76489 at 3579545 Hz, "
              "device type 42 (no clock given)\n"
              "  ADPCM memory  164 bytes in 2 blocks, loaded in 2 runs before the music\n"
              "  writes        9 a pass, 0.1 a second on average, 5 in the busiest "
              "second (from 0:10.0)\n");
    log.looped = false;
    log.blocks.clear();
    log.chips.clear();
    log.format = LogFormat::S98;
    log.writes.clear();
    EXPECT_EQ(infoReport("a.s98", log),
              "a.s98: S98, YM2608 at 7987200 Hz\n"
              "  title: Lotus\n"
              "  game: Game\n"
              "  length        1:47.2 a pass\n"
              "  loop          none\n"
              "  chips         YM2608\n"
              "  ADPCM memory  none\n"
              "  writes        0 a pass, 0.0 a second on average, 0 in the busiest second "
              "(from 0:00.0)\n");
}

// The titled line: track, state and title between the loop and the
// figures, counted in the columns a terminal gives them (a Japanese title's
// characters take two), and cut at a character, never inside one.
TEST(PlayReport, TitledStatusLineCountsColumnsNotBytes)
{
    StatusFigures status;
    status.elapsedNs = 12'300'000'000;
    status.totalNs = 107'200'000'000;
    status.passes = 2;
    status.track = 2;
    status.tracks = 5;
    status.title = "Lotus - Game";
    EXPECT_EQ(statusLine(status, 0),
              " 0:12.3 / 1:47.2  loop 1/2  2/5  Lotus - Game      0 writes/s  line   0%  late    0.0 ms ");
    // The figures come after a whole title, and only those that fit.
    EXPECT_EQ(statusLine(status, 62), " 0:12.3 / 1:47.2  loop 1/2  2/5  Lotus - Game      0 writes/s");
    EXPECT_EQ(statusLine(status, 61), " 0:12.3 / 1:47.2  loop 1/2  2/5  Lotus - Game");
    status.paused = true;
    status.speed = 1.5;
    status.muted = unitBit(SoundUnit::FM1) | unitBit(SoundUnit::SSG2) | unitBit(SoundUnit::ADPCM);
    status.title = "\u30ed\u30fc\u30bf\u30b9\u30fb\u30b2\u30fc\u30e0"; // 8 wide characters: 16 columns
    EXPECT_EQ(statusLine(status, 0), " 0:12.3 / 1:47.2  loop 1/2  2/5  paused  x1.5  muted fm1,ssg2,adpcm  "
                                     "\u30ed\u30fc\u30bf\u30b9\u30fb\u30b2\u30fc\u30e0      0 writes/s  "
                                     "line   0%  late    0.0 ms ");
    // 69 columns before the title leave 10 of 79: four wide characters and the ellipsis.
    const std::string cut = statusLine(status, 80);
    EXPECT_EQ(cut.substr(cut.size() - 15), "\u30ed\u30fc\u30bf\u30b9\u2026");
    EXPECT_EQ(textWidth(cut), 78U);
    // Too narrow for four columns of title: none; narrower still, no state either.
    EXPECT_EQ(statusLine(status, 70), " 0:12.3 / 1:47.2  loop 1/2  2/5  paused  x1.5  muted fm1,ssg2,adpcm");
    EXPECT_EQ(statusLine(status, 62), " 0:12.3 / 1:47.2  loop 1/2  2/5");

    // A redraw cuts wide characters whole and covers by columns.
    const std::string wide = "\u30ed\u30fc\u30bf";
    EXPECT_EQ(redrawLine(wide, 6, 0), "\r\u30ed\u30fc");
    EXPECT_EQ(shownColumns(wide, 6), 4U);
    EXPECT_EQ(redrawLine("ab", 0, shownColumns(wide, 0)), "\rab    ");
}

// The mute keys name the units in the order of the board's channels, and
// the speed ladder steps from wherever --speed put the play.
TEST(PlayKeys, MuteKeysAndTheSpeedLadder)
{
    const std::pair<char, SoundUnit> mutes[] = {{'1', SoundUnit::FM1},  {'6', SoundUnit::FM6},
                                                {'7', SoundUnit::SSG1}, {'9', SoundUnit::SSG3},
                                                {'r', SoundUnit::RHYTHM}, {'a', SoundUnit::ADPCM}};
    for (const auto& [key, unit] : mutes) {
        const KeyCommand command = keyCommand(Key{KeyKind::CHARACTER, key});
        EXPECT_EQ(command.action, KeyAction::TOGGLE_MUTE) << key;
        EXPECT_EQ(command.unit, unit) << key;
    }
    EXPECT_EQ(keyCommand(Key{KeyKind::UP, 0}).action, KeyAction::NONE);
    EXPECT_EQ(nextSpeed(1.0, true), 1.1);
    EXPECT_EQ(nextSpeed(1.3, false), 1.25); // from a --speed off the ladder, to the step next to it
    EXPECT_EQ(nextSpeed(4.0, true), 4.0);   // its ends hold
    EXPECT_EQ(nextSpeed(10.0, false), 4.0);
}

TEST(PlayTracks, TheTitleFallsBackToTheListThenTheFileName)
{
    Track track;
    track.entry.path = "lists/../a.vgm";
    track.entry.title = "From the list";
    EXPECT_EQ(trackTitle(track), "From the list");
    track.song.log.tags.title = "Lotus";
    track.song.log.tags.author = "Someone";
    EXPECT_EQ(trackTitle(track), "Lotus - Someone");
    track.song.log.tags = {};
    track.entry.title.clear();
    EXPECT_EQ(trackTitle(track), "a.vgm");
}

} // namespace
