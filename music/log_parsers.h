// What the two log parsers share inside music/: the parsers themselves, the
// checks of the header's size and of the loop point and the numbering of a
// write's bank, which both readers make the same way, and the little-endian
// field readers. The tags' text conversions are in tag_text.h and
// text_codec.h. Not for use outside the library; parseMusicLog in
// music_log.h is its entry.
//
// Functions: parseVgm, parseS98, foldMemoryWrites, headerFits,
// readLoopPoint, passLoopPoint, loopPointPassed, addWrite, le16, le32,
// hexText.
#pragma once

#include "music/music_log.h"
#include "music/tag_text.h"
#include "music/text_codec.h"

#include <string_view>

namespace music_detail {

/// A VGM file, already decompressed.
bool parseVgm(std::span<const std::uint8_t> file, MusicLog& log, std::string& error);

/// An S98 file of version 1, 2 or 3.
bool parseS98(std::span<const std::uint8_t> file, MusicLog& log, std::string& error);

/// Turns the chip's memory-write sequences at the song's start (control 1 set
/// to memory write, then one 0x108 write per byte) into memory blocks.
void foldMemoryWrites(MusicLog& log);

/// False with `error` set when `file` is shorter than its format's header
/// of `size` bytes; `format` names the format ("VGM", "S98").
bool headerFits(std::span<const std::uint8_t> file, std::size_t size, std::string_view format,
                std::string& error);

/// Where the looped part starts: the file offset of its first command, 0
/// when the log does not loop. `passed` turns true once the commands reach it.
struct LoopPoint {
    std::size_t at = 0;
    bool passed = true;
};

/// The loop offset `at` from the header (0 for none), which must lie among
/// the commands, from `begin` to the file's end. `part` is what the format
/// calls its commands in the error ("dump", "data").
bool readLoopPoint(std::size_t at, std::size_t begin, std::size_t fileSize, std::string_view part,
                   LoopPoint& loop, std::string& error);

/// At the first byte `p` of each command, before it runs: where the loop
/// starts, marks the looped part in `log` from the writes so far and
/// `nowNs`. False with `error` set when the commands have stepped over the
/// loop offset, which then falls inside a command.
bool passLoopPoint(LoopPoint& loop, std::size_t p, std::int64_t nowNs, MusicLog& log, std::string& error);

/// At the end command, which the format calls `endCommand`: false with
/// `error` set when the loop offset lies after it.
bool loopPointPassed(const LoopPoint& loop, std::string_view endCommand, std::string& error);

/// Appends a write to register `reg` of the chip's first or second bank,
/// numbered as MusicLog numbers them (the second from BANK1_BASE).
void addWrite(MusicLog& log, std::int64_t dueNs, bool secondBank, std::uint8_t reg, std::uint8_t value);

inline std::uint16_t le16(std::span<const std::uint8_t> b, std::size_t at)
{
    return static_cast<std::uint16_t>(b[at] | (b[at + 1] << 8));
}

inline std::uint32_t le32(std::span<const std::uint8_t> b, std::size_t at)
{
    return static_cast<std::uint32_t>(b[at]) | (static_cast<std::uint32_t>(b[at + 1]) << 8) |
           (static_cast<std::uint32_t>(b[at + 2]) << 16) | (static_cast<std::uint32_t>(b[at + 3]) << 24);
}

/// "0x1c3": how offsets, commands and addresses appear in messages.
std::string hexText(std::size_t value);

} // namespace music_detail
