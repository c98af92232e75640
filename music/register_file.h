// The register file of a log as it plays: what every register of both banks
// was last set to, and what the writes have keyed (each FM channel's
// operators, the rhythm instruments, the ADPCM unit), updated write by write.
//
// The player keeps two of them: the log's (every write of the log so far,
// whether or not it went to the chip) and the chip's (every write that went
// over the line, the silencing writes among them). What turns one into the
// other is in write_transform.h (mute, fade-out) and chip_restore.h (pause,
// resume, seek).
//
// A seek needs the log's file at any moment of a play. LogStates keeps a
// snapshot of it every STATE_STRIDE writes, for the first pass and for the
// passes of the looped part after it, so the file at any moment is a
// snapshot plus at most STATE_STRIDE - 1 writes: a 5-minute log of 300,000
// writes takes about 75 snapshots (80 KB) and a few milliseconds to index,
// and then any moment comes back in microseconds.
//
// How the player uses it:
//   LogStates states; indexLogStates(states, log);           // once per song
//   const PlayPoint point = playPointAt(log, loops, targetNs); // a seek
//   const RegisterFile target = logStateAt(states, point);
//   ... seekTransform(transform, target, writes) (write_transform.h), send them,
//   seekSchedule(cursor, point) and carry on from the cursor.
//
// Functions: clearRegisterFile, applyWrite, fmKeyChannel, adpcmHeld,
// indexLogStates, playPasses, playPointAt, logStateAt, seekSchedule.
#pragma once

#include "chip/ym2608.h"
#include "music/music_log.h"
#include "music/schedule.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

inline constexpr int FM_CHANNEL_COUNT = 2 * FM_CHANNELS_PER_BANK;

/// One register write, as the player sends it: 0x000..0x1FF and its value.
struct RegisterWrite {
    std::uint16_t reg = 0;
    std::uint8_t value = 0;
    bool operator==(const RegisterWrite&) const = default;
};

/// What the writes have keyed and not yet released.
struct KeyState {
    /// Per FM channel 1-6 (index 0-5), its operator bits as register 0x28
    /// last took them for it (FM_KEY_OPERATOR_BITS; 0: keyed off).
    std::array<std::uint8_t, FM_CHANNEL_COUNT> fm{};
    /// Rhythm instruments keyed on since they were last dumped, as the key
    /// bits of register 0x10.
    std::uint8_t rhythm = 0;
    /// The last control 1 write started the ADPCM unit (start set, reset and
    /// record clear). A sample played to its end without repeat still counts.
    bool adpcm = false;
    bool operator==(const KeyState&) const = default;
};

struct RegisterFile {
    /// Every register's last value, -1 for one not written yet.
    std::array<std::int16_t, REGISTER_COUNT> value{};
    KeyState keys;
    /// The prescaler register last written (PRESCALER_SIXTH, _THIRD, _HALF),
    /// 0 while none has been: the power-on divider.
    std::uint8_t prescaler = 0;
    bool operator==(const RegisterFile&) const = default;
};

/// Forgets every register and key, as before a song's first write.
void clearRegisterFile(RegisterFile& file);

/// Records one write (reg 0x000..0x1FF): its value, and what it keys.
void applyWrite(RegisterFile& file, std::uint16_t reg, std::uint8_t value);

/// The FM channel index (0-5) a value of register 0x28 addresses; -1 for
/// the two channel fields that select none.
int fmKeyChannel(std::uint8_t keyValue);

/// True when the ADPCM unit plays a repeating sample from memory: a held
/// note, which a restore starts again.
bool adpcmHeld(const RegisterFile& file);

/// Writes between two snapshots of LogStates.
inline constexpr std::size_t STATE_STRIDE = 4096;

struct LogStates {
    const MusicLog* log = nullptr;
    /// firstPass[k]: the file before write k * STATE_STRIDE of the first pass.
    std::vector<RegisterFile> firstPass;
    /// loopPass[k]: the file before write loopWrite + k * STATE_STRIDE of any
    /// pass after the first (every such pass starts from the same file: the
    /// whole log's). Empty when the log does not loop.
    std::vector<RegisterFile> loopPass;
};

/// Plays the log's writes once to take its snapshots; `states` refers to `log`.
void indexLogStates(LogStates& states, const MusicLog& log);

/// How many passes a play of `log` with `loops` makes, as nextWrite plays
/// it: `loops` when the log has a looped part of some length, else 1.
int playPasses(const MusicLog& log, int loops);

/// A place in a play: the pass and the index of the next write in the log.
struct PlayPoint {
    int pass = 0;
    std::size_t index = 0;
    bool operator==(const PlayPoint&) const = default;
};

/// The place of play time `playNs` (from the play's start, loops counted):
/// its next write is the first due at or after it. Past the play's end: the
/// end of the last pass.
PlayPoint playPointAt(const MusicLog& log, int loops, std::int64_t playNs);

/// The log's file at `point`: after every write of the play before it.
RegisterFile logStateAt(const LogStates& states, const PlayPoint& point);

/// Moves a schedule started on the same log to `point`, so that nextWrite
/// gives the point's next write. Its filter takes `chip` (what the chip
/// holds after the seek's writes) as what the registers hold.
void seekSchedule(ScheduleCursor& cursor, const PlayPoint& point, const RegisterFile& chip);
