// The texts of a log's tags, made safe and short enough to print, and the
// title a player shows for a song.
//
// A tag is outside input printed to a terminal: cleanTag keeps its letters
// and removes what could move the cursor or reorder the line around it
// (control characters, escape sequences among them, and the format
// characters: the direction overrides and isolates such as U+202E, zero
// width characters, the byte-order mark), and cuts a field longer than
// TAG_MAX_CHARACTERS. textWidth and fitToWidth count terminal columns, two
// for the wide characters of Japanese titles, so a status line can fit its
// terminal.
//
// Functions: utf16ToUtf8, cleanTag, textWidth, fitToWidth, songTitle.
#pragma once

#include "music/music_log.h"

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

/// UTF-16LE code units to UTF-8; unpaired surrogates become U+FFFD.
std::string utf16ToUtf8(std::span<const std::uint8_t> bytes);

/// The longest tag field kept, in characters; a longer one is cut to this
/// many, the last of them "…".
inline constexpr std::size_t TAG_MAX_CHARACTERS = 200;

/// A tag's text made safe to print: bytes that are no UTF-8 become '?';
/// tabs, line breaks and the line and paragraph separators become blanks;
/// other control characters and every format character are removed;
/// surrounding blanks are trimmed and the rest cut to TAG_MAX_CHARACTERS.
std::string cleanTag(std::string_view utf8);

/// The columns a terminal gives the text: 2 for wide and fullwidth
/// characters, 0 for combining marks, 1 for the others.
std::size_t textWidth(std::string_view utf8);

/// The text cut to at most `columns` columns at a character's boundary,
/// ending in "…" when it was cut.
std::string fitToWidth(std::string_view utf8, std::size_t columns);

/// What a status line shows of a song: its title (the tag's; else the
/// playlist's #EXTINF title; else the file's name), its game and author.
struct SongTitle {
    std::string title;
    std::string game;
    std::string author;
};
SongTitle songTitle(const MusicTags& tags, std::string_view listTitle, std::string_view path);
