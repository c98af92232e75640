// What the two log parsers share inside music/: the parsers themselves, the
// text conversions for tags, and the little-endian field readers. Not for
// use outside the library; parseMusicLog in music_log.h is its entry.
//
// Functions: parseVgm, parseS98, foldMemoryWrites, le16, le32, hexText,
// utf16ToUtf8, shiftJisToUtf8, cleanTag.
#pragma once

#include "music/music_log.h"

#include <string_view>

namespace music_detail {

/// A VGM file, already decompressed.
bool parseVgm(std::span<const std::uint8_t> file, MusicLog& log, std::string& error);

/// An S98 file of version 1, 2 or 3.
bool parseS98(std::span<const std::uint8_t> file, MusicLog& log, std::string& error);

/// Turns the chip's memory-write sequences at the song's start (control 1 set
/// to memory write, then one 0x108 write per byte) into memory blocks.
void foldMemoryWrites(MusicLog& log);

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

/// UTF-16LE code units to UTF-8; unpaired surrogates become U+FFFD.
std::string utf16ToUtf8(std::span<const std::uint8_t> bytes);

/// Shift JIS (as PC-98 tags are written) to UTF-8; bytes it cannot convert become '?'.
std::string shiftJisToUtf8(std::string_view text);

/// A tag's text made safe to print: control characters (escape sequences
/// among them) removed, surrounding blanks trimmed.
std::string cleanTag(std::string_view utf8);

} // namespace music_detail
