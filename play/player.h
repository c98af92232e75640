// Playing one music log on the board over the open link: its ADPCM memory
// first, through the memory writer, then its register writes on an absolute
// schedule of the monotonic clock, then the writes that silence the chip.
//
// Timing: each tick's writes (those due at one instant) go out back to back
// in one write to the port when the tick is due; between ticks the player
// sleeps until the next due time, never spinning. A write to a serial port
// returns once the bytes are queued, not once they are on the wire: the line
// carries them at its speed (10 bits a byte) behind whatever is queued
// already, so the player knows where the line is from the port's speed and
// the bytes still queued, and reports the lateness the board sees.
//
// Functions: playLog, silenceChip, SILENCE_WRITES.
#pragma once

#include "music/music_log.h"

#include <csignal>
#include <cstdint>
#include <string>
#include <utility>

/// The writes that silence the chip, in order: key off every FM channel
/// (0x28 with channels 1-3 and 4-6), SSG levels 0, rhythm dump of all six
/// instruments, ADPCM reset.
inline constexpr std::pair<std::uint16_t, std::uint8_t> SILENCE_WRITES[] = {
    {0x28, 0x00}, {0x28, 0x01}, {0x28, 0x02}, {0x28, 0x04}, {0x28, 0x05}, {0x28, 0x06},
    {0x08, 0x00}, {0x09, 0x00}, {0x0A, 0x00}, {0x10, 0xBF}, {0x100, 0x01},
};

struct PlaySettings {
    int loops = 2;
    double speed = 1.0;
    bool dropping = true;
    std::uint32_t baud = 0;      // the line's speed; 0 when unknown
    bool terminal = false;       // draw the progress and status lines
    const volatile std::sig_atomic_t* stop = nullptr; // set by a signal: stop and silence
};

enum class PlayEnd : std::uint8_t {
    SONG_END,      // played to the end, chip silenced
    STOPPED,       // stopped by a signal, chip silenced
    MEMORY_FAILED, // the board did not confirm the memory load; nothing of the song was sent
    LINE_FAILED,   // the port stopped taking bytes
};

struct PlayResult {
    PlayEnd end = PlayEnd::SONG_END;
    std::string detail; // for the failures: what failed, in one line
};

/// Plays `log` over the open link as `settings` say.
PlayResult playLog(const MusicLog& log, const PlaySettings& settings);

/// Sends SILENCE_WRITES in one write and waits until the line has carried
/// them; false when the port failed.
bool silenceChip();
