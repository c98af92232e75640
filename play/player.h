// Playing one music log on the board over the open link: its ADPCM memory
// first, through the memory writer, then its register writes on an absolute
// schedule of the player's clock, then the writes that silence the chip.
//
// Timing: each tick's writes (those due at one instant) go out back to back
// in one write to the port when the tick is due; between ticks the player
// sleeps until the next due time (clock.h), never spinning. A write to a
// serial port returns once the bytes are queued, not once they are on the
// wire: the line carries them at its speed (10 bits a byte) behind whatever
// is queued already, so the player knows where the line is from the port's
// speed and the bytes still queued, and reports the lateness the board sees.
//
// Every write of the log goes through the write transforms (mute, fade-out:
// music/write_transform.h), which keep the log's register file and the
// chip's; a play without muted units and without a fade sends exactly the
// log's writes. At a terminal the keys act between ticks (pause, seek, mute,
// speed, next and previous file, q), each a few writes at most, so that a
// key never holds a due tick back for longer than those writes take.
//
// The player reaches the system only through its seams: the clock, the
// requests from outside (signals.h), the terminal (terminal.h, display.h)
// and the link.
//
// Functions: playLog, silenceChip, SILENCE_WRITES.
#pragma once

#include "chip/ym2608.h"
#include "music/music_log.h"
#include "music/write_transform.h"

#include <cstdint>
#include <string>
#include <utility>

/// The writes that silence the chip, in order: key off every FM channel,
/// SSG levels 0, dump all six rhythm instruments, reset the ADPCM unit. The
/// registers and their bits are drawn in chip/ym2608.h.
inline constexpr std::pair<std::uint16_t, std::uint8_t> SILENCE_WRITES[] = {
    {FM_KEY, FM_KEY_CHANNELS[0]}, {FM_KEY, FM_KEY_CHANNELS[1]}, {FM_KEY, FM_KEY_CHANNELS[2]},
    {FM_KEY, FM_KEY_CHANNELS[3]}, {FM_KEY, FM_KEY_CHANNELS[4]}, {FM_KEY, FM_KEY_CHANNELS[5]},
    {SSG_LEVEL_A, 0x00}, {SSG_LEVEL_B, 0x00}, {SSG_LEVEL_C, 0x00},
    {RHYTHM_KEY, RHYTHM_DUMP | RHYTHM_KEY_BITS},
    {BANK1_BASE + ADPCM_CONTROL1, CONTROL1_RESET},
};

/// A music log read from its file, ready to play.
struct Song {
    std::string path;
    MusicLog log;
};

struct PlaySettings {
    int loops = 2;
    double speed = 1.0;
    bool dropping = true;
    std::uint32_t baud = 0; // the line's speed; 0 when unknown
    bool terminal = false;  // draw the progress and status lines
    bool keys = false;      // keys are read: the log's states are indexed for seeking
    UnitSet muted = 0;      // the units muted at the start
    std::int64_t fadeNs = 0; // the fade-out's length; 0: none
    std::string title;      // the song's title for the status line
    int track = 1;          // its place in the list (from 1) and the list's length
    int tracks = 1;
};

enum class PlayEnd : std::uint8_t {
    SONG_END,      // played to the end, chip silenced
    STOPPED,       // stopped by a signal (stopStatus says which), chip silenced
    QUIT,          // the user typed q: chip silenced, nothing more to play
    NEXT,          // n (or a seek past the end): chip silenced, the next file is wanted
    PREVIOUS,      // p in the first seconds: chip silenced, the file before is wanted
    RESTART,       // p later on: chip silenced, the same file again from its start
    MEMORY_FAILED, // the board did not confirm the memory load; nothing of the song was sent
    LINE_FAILED,   // the port stopped taking bytes
};

struct PlayResult {
    PlayEnd end = PlayEnd::SONG_END;
    std::string detail; // for the failures: what failed, in one line
    UnitSet muted = 0;  // the units muted at the end, for the next file
    double speed = 1.0; // the speed at the end, for the next file
};

/// The play time from which p restarts the file instead of going back.
inline constexpr std::int64_t RESTART_AFTER_NS = 3'000'000'000;

/// Plays `log` over the open link as `settings` say.
PlayResult playLog(const MusicLog& log, const PlaySettings& settings);

/// Sends SILENCE_WRITES in one write and waits until the line has carried
/// them; false when the port failed.
bool silenceChip();
