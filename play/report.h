// What the player tells its user, built as text: the tags, the clock
// warning, the --stats report, the --list lines and the status line. Pure
// functions of the log and the figures, so that every line's exact text is
// tested; main decides where each goes.
//
// Functions: formatClock, tagLines, clockWarning, statsReport, listLine, listEndLine,
// statusLine, loadProgressLine, loadedLine, redrawLine, logHeadline, infoReport.
#pragma once

#include "music/music_log.h"
#include "music/schedule.h"

#include <cstdint>
#include <string>

/// A song time as minutes, seconds and tenths: "1:47.2".
std::string formatClock(std::int64_t ns);

/// "  title: ..." lines for the tags the log has; empty when it has none.
std::string tagLines(const MusicTags& tags);

/// The pitch offset when the log's clock differs from the board's, as one
/// line; empty when they agree.
std::string clockWarning(std::uint32_t logClock, std::uint32_t boardClock);

/// What --stats prints for one log: `all` is the schedule without dropping,
/// `sent` the one with (the same when dropping is off).
struct StatsInput {
    const MusicLog* log = nullptr;
    int loops = 2;
    double speed = 1.0;
    std::uint32_t baud = 0;
    bool dropping = true;
    std::size_t allWrites = 0;
    std::size_t adpcmBytes = 0;   // bytes the memory writer sends before the music
    std::size_t midSongBytes = 0; // and in mid-song, in midSongBlocks blocks
    std::size_t midSongBlocks = 0;
    LineFigures undropped;        // the line with every write
    LineFigures figures;          // the line with what is sent
    std::uint16_t muted = 0;      // --mute, --solo: the units muted (UnitSet)
    bool fading = false;          // --fade: from fadeStartNs to fadeEndNs, the play's end
    std::int64_t fadeStartNs = 0;
    std::int64_t fadeEndNs = 0;
    std::size_t transformWrites = 0; // writes the mute and the fade add
    std::size_t unsent = 0;          // the log's writes not sent: changing nothing, or muted
};
std::string statsReport(const StatsInput& input);

/// One --list line: "12345 028 f0 send".
std::string listLine(const ScheduledWrite& write);

/// The --list line after the writes, with the play's length: "192000000 end".
std::string listEndLine(std::int64_t lengthNs);

/// The status line's figures at one moment of a play.
struct StatusFigures {
    std::int64_t elapsedNs = 0;   // song time
    std::int64_t totalNs = 0;
    int pass = 0;                 // 0-based
    int passes = 1;
    std::uint32_t writesPerSecond = 0;
    std::uint32_t linePercent = 0;
    std::int64_t latenessNs = 0;
    int track = 0;           // the song's place in the list, from 1; 0: not shown
    int tracks = 1;
    bool paused = false;
    double speed = 1.0;
    std::uint16_t muted = 0; // the muted units (write_transform.h's UnitSet)
    std::string title;       // empty: not shown
};
/// " 0:12.3 / 1:47.2  loop 1/2  2/5  paused  x1.5  muted fm1,ssg2  TITLE"
/// "    412 writes/s  line  38%  late    0.4 ms ": the track, the state and
/// the title only when there are such; whole when `width` is 0 (unknown);
/// else as many of its fields, in that order, as fit in width - 1 columns
/// (never the last column, where a terminal may wrap), the title cut with
/// "…" to what is left, the figures after it only when it fits whole.
/// Columns are counted as a terminal shows UTF-8 text (wide characters 2).
std::string statusLine(const StatusFigures& figures, int width = 0);

/// The memory load's progress: "  ADPCM memory (  1024/  4096)  25%".
std::string loadProgressLine(std::size_t sent, std::size_t total);

/// The memory load's last line: "  ADPCM memory: 4096 bytes loaded".
std::string loadedLine(std::size_t total);

/// The bytes that redraw a line in place at a terminal: a carriage return,
/// `text` cut to width - 1 columns (width 0: whole) at a character's
/// boundary, and blanks over what the line drawn before it (`previousLength`
/// columns) would leave showing.
std::string redrawLine(const std::string& text, int width, std::size_t previousLength);

/// The columns of `text` that redrawLine shows at `width`.
std::size_t shownColumns(const std::string& text, int width);

/// A log's first line: "song.vgz: VGM, YM2608 at 7987200 Hz".
std::string logHeadline(const std::string& path, const MusicLog& log);

/// What --info prints for one log, without a board: the headline, the tags,
/// the length of a pass, the loop, the chips the header names, the ADPCM
/// memory it loads, and its writes a second (on average over a pass, and in
/// its busiest second).
std::string infoReport(const std::string& path, const MusicLog& log);
