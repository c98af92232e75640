// Music logs: VGM (1.00 to 1.71, plain or gzip-compressed as .vgz) and S98
// (versions 1 to 3) read into one form the player streams from: the YM2608's
// register writes with their due times, the images of its ADPCM memory, the
// loop point, the tags and the chip's clock. The parsers print nothing: a bad
// file gives one line of error text that names the offset, and what the
// player should tell the user but need not stop for (commands of other chips
// skipped, an unreadable tag) comes back as notes.
//
// Register numbers are 0x000 to 0x1FF: BANK1_BASE and up are the second bank
// (VGM command 0x57, S98 extended port), as in the console's `o` command; the
// chip's clock, register numbering and registers are in chip/ym2608.h.
//
// Functions: readMusicFile, parseMusicLog, inflateGzip, songLength.
#pragma once

#include "chip/ym2608.h"

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

/// The largest log (after decompression) the player takes in, far above any tune.
inline constexpr std::size_t MAX_MUSIC_FILE = 64U * 1024U * 1024U;

/// The longest log read: a day, far above any tune, and far from overflowing
/// the nanosecond clock however a file's timer is set.
inline constexpr std::int64_t MAX_LOG_NS = 24LL * 3600 * 1'000'000'000;

enum class LogFormat : std::uint8_t { VGM, S98 };

/// One register write of the YM2608, due `dueNs` nanoseconds after the song's start.
struct LogWrite {
    std::int64_t dueNs = 0;
    std::uint16_t reg = 0; // 0x000..0x1FF
    std::uint8_t value = 0;
};

/// Bytes for the chip's ADPCM memory from byte address `address`. `atWrite` is
/// the number of register writes before it in the log, so that blocks and
/// writes keep their order; `offset` is where the log holds it, for messages.
struct MemoryBlock {
    std::uint32_t address = 0;
    std::vector<std::uint8_t> bytes;
    std::size_t atWrite = 0;
    std::size_t offset = 0;
};

/// What the tags tell, as UTF-8 with control characters removed (empty when absent).
struct MusicTags {
    std::string title;
    std::string game;
    std::string system;
    std::string author;
};

/// A sound chip the log's header names, the YM2608 among them: its name as
/// the format calls it, its clock and how many of it (2 for a pair).
struct LogChip {
    std::string name;
    std::uint32_t clockHz = 0;
    int count = 1;
    bool operator==(const LogChip&) const = default;
};

struct MusicLog {
    LogFormat format = LogFormat::VGM;
    std::uint32_t clockHz = DEFAULT_CLOCK;
    std::vector<LogWrite> writes;
    std::vector<MemoryBlock> blocks;
    /// The time of the end-of-data command: the length of one pass.
    std::int64_t endNs = 0;
    /// With a loop, the looped part is writes[loopWrite..] and lasts from loopNs to endNs.
    bool looped = false;
    std::size_t loopWrite = 0;
    std::int64_t loopNs = 0;
    /// How many 0x108 data writes were turned into memory blocks.
    std::size_t memoryWritesFolded = 0;
    MusicTags tags;
    /// Every chip the header names, in its order; only the YM2608 is played.
    std::vector<LogChip> chips;
    std::vector<std::string> notes;
};

/// Reads a whole file of at most MAX_MUSIC_FILE bytes; false with `error` set otherwise.
bool readMusicFile(const char* path, std::vector<std::uint8_t>& bytes, std::string& error);

/// Decompresses a gzip stream to at most MAX_MUSIC_FILE bytes; false with `error` set otherwise.
bool inflateGzip(std::span<const std::uint8_t> packed, std::vector<std::uint8_t>& out, std::string& error);

/// Reads a log of either format, gzip-compressed or not, chosen by its first
/// bytes. The S98 way of loading ADPCM memory (one 0x108 write per byte) is
/// folded into memory blocks. False with a one-line `error` for a bad file.
bool parseMusicLog(std::span<const std::uint8_t> bytes, MusicLog& log, std::string& error);

/// The length of a play with the looped part played `loops` times in all.
std::int64_t songLength(const MusicLog& log, int loops);
