// Playlists: the player's FILE arguments turned into the songs to play, in
// order. An argument is a log, an M3U playlist (.m3u, .m3u8) or a folder:
//   - a playlist's entries are paths, relative to the list's folder unless
//     absolute (file:// names too, their %XX escapes decoded); blank lines
//     and lines starting with '#' are skipped, but "#EXTINF:seconds,title"
//     gives the next entry its title; UTF-8 (a byte-order mark skipped),
//     lines ending in LF, CRLF or CR. An entry may be a log, a folder or
//     another playlist; backslashes in a list made on Windows are tried as
//     slashes when the name is not found as it is;
//   - a folder gives its logs (.vgm, .vgz, .s98 in any case) in the byte
//     order of their names; its subfolders and other files are not looked at.
// A bad entry does not stop the rest: it comes back with the problem and
// the system's words for it, for the front end to report in one line and
// skip. A playlist that refers to itself, directly or through others, is
// refused where it comes round again, not followed; so are lists nested
// deeper than MAX_LIST_DEPTH and entries past MAX_PLAYLIST_ENTRIES.
//
// Whether an entry is a log is for parseMusicLog to say when it is read;
// the front end reports a refused log as it reports a bad entry.
//
// Functions: parseM3u, isPlaylistName, isLogName, expandArguments.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

/// One entry of a playlist's text: its line (from 1), its path as written
/// (blanks around it trimmed), and the title of the #EXTINF line before it
/// (made safe to print, empty when there was none).
struct M3uEntry {
    std::size_t line = 0;
    std::string path;
    std::string title;
};

/// The entries of a playlist's text, at most MAX_PLAYLIST_ENTRIES.
std::vector<M3uEntry> parseM3u(std::string_view text);

/// True for a name ending in .m3u or .m3u8, in any case.
bool isPlaylistName(std::string_view path);

/// True for a name ending in .vgm, .vgz or .s98, in any case.
bool isLogName(std::string_view path);

inline constexpr std::size_t MAX_PLAYLIST_ENTRIES = 65536;
inline constexpr int MAX_LIST_DEPTH = 16;

enum class EntryProblem : std::uint8_t {
    NONE,            // a file to read as a log
    MISSING,         // no such file (`detail`: the system's words)
    UNREADABLE,      // the system refused to look at it (`detail`: its words)
    LIST_UNREADABLE, // a playlist or folder that could not be read (`detail`: the system's words)
    LIST_LOOP,       // a playlist already being read: `list` refers back to it
    TOO_DEEP,        // a playlist nested deeper than MAX_LIST_DEPTH
    TOO_MANY,        // entries past MAX_PLAYLIST_ENTRIES, all left out (once)
    NO_LOGS,         // a folder without a log in it
    NOT_A_FILE,      // a URL other than file://, or a name holding a NUL byte
};

struct PlaylistEntry {
    std::string path;     // as the file is opened: joined to its list's folder
    std::string title;    // the #EXTINF title; empty when none
    std::string list;     // the playlist it comes from; empty for an argument or a folder's log
    std::size_t line = 0; // its line in that list
    EntryProblem problem = EntryProblem::NONE;
    std::string detail;
};

/// The songs the arguments stand for, in order, and the bad entries in
/// their places.
std::vector<PlaylistEntry> expandArguments(std::span<const std::string> arguments);
