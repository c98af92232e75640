#include "music/playlist.h"

#include "music/file_system.h"
#include "music/music_log.h"
#include "music/tag_text.h"

#include <algorithm>

namespace {

constexpr std::string_view UTF8_BOM = "\xEF\xBB\xBF";
constexpr std::string_view EXTINF = "#extinf:";
constexpr std::string_view FILE_URL = "file://";
constexpr std::string_view LOCALHOST = "localhost/";
constexpr std::string_view URL_MARK = "://";
constexpr std::string_view PLAYLIST_SUFFIXES[] = {".m3u", ".m3u8"};
constexpr std::string_view LOG_SUFFIXES[] = {".vgm", ".vgz", ".s98"};

char lower(char c)
{
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

bool startsWithNoCase(std::string_view text, std::string_view prefix)
{
    return text.size() >= prefix.size() && std::equal(prefix.begin(), prefix.end(), text.begin(),
                                                      [](char a, char b) { return a == lower(b); });
}

bool endsWithNoCase(std::string_view text, std::string_view suffix)
{
    return text.size() >= suffix.size() && startsWithNoCase(text.substr(text.size() - suffix.size()), suffix);
}

std::string_view trimmed(std::string_view text)
{
    const std::size_t first = text.find_first_not_of(" \t");
    if (first == std::string_view::npos) {
        return {};
    }
    return text.substr(first, text.find_last_not_of(" \t") - first + 1);
}

// Takes the next line off `text`; lines end in LF, CRLF or CR.
std::string_view nextLine(std::string_view& text)
{
    const std::size_t end = text.find_first_of("\r\n");
    const std::string_view line = text.substr(0, end);
    if (end == std::string_view::npos) {
        text = {};
    } else {
        text.remove_prefix(end + (text.substr(end, 2) == "\r\n" ? 2 : 1));
    }
    return line;
}

int hexDigit(char c)
{
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    c = lower(c);
    return c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
}

// A file URL's path with its %XX escapes decoded; a '%' without two hex digits stays.
std::string decodeUrlPath(std::string_view text)
{
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '%' && i + 2 < text.size() && hexDigit(text[i + 1]) >= 0 &&
            hexDigit(text[i + 2]) >= 0) {
            out += static_cast<char>(hexDigit(text[i + 1]) * 16 + hexDigit(text[i + 2]));
            i += 2;
        } else {
            out += text[i];
        }
    }
    return out;
}

struct Expansion {
    std::vector<PlaylistEntry> entries;
    std::vector<std::string> open; // the lists being read, as canonical paths
    bool full = false;
};

void addEntry(Expansion& x, PlaylistEntry entry)
{
    if (x.full) {
        return;
    }
    if (x.entries.size() >= MAX_PLAYLIST_ENTRIES) {
        x.full = true;
        entry.problem = EntryProblem::TOO_MANY;
    }
    x.entries.push_back(std::move(entry));
}

void refuse(Expansion& x, PlaylistEntry entry, EntryProblem problem, std::string detail = {})
{
    entry.problem = problem;
    entry.detail = std::move(detail);
    addEntry(x, std::move(entry));
}

void expandPath(Expansion& x, PlaylistEntry entry);

void expandFolder(Expansion& x, PlaylistEntry entry)
{
    std::vector<std::string> names;
    std::string error;
    if (!listFolder(entry.path, names, error)) {
        refuse(x, std::move(entry), EntryProblem::LIST_UNREADABLE, error);
        return;
    }
    std::erase_if(names, [](const std::string& name) { return !isLogName(name); });
    std::sort(names.begin(), names.end());
    std::size_t logs = 0;
    for (const std::string& name : names) {
        PlaylistEntry log;
        log.path = joinPath(entry.path, name);
        if (pathKind(log.path, error) == PathKind::FILE) {
            addEntry(x, std::move(log));
            ++logs;
        }
    }
    if (logs == 0) {
        refuse(x, std::move(entry), EntryProblem::NO_LOGS);
    }
}

// The path an entry of a list in `folder` names; false for no local file.
bool entryPath(std::string_view folder, std::string_view written, std::string& path)
{
    if (startsWithNoCase(written, FILE_URL)) {
        written.remove_prefix(FILE_URL.size());
        if (startsWithNoCase(written, LOCALHOST)) {
            written.remove_prefix(LOCALHOST.size() - 1);
        }
        path = decodeUrlPath(written);
    } else if (written.find(URL_MARK) != std::string_view::npos) {
        return false;
    } else {
        path = joinPath(folder, written);
    }
    return path.find('\0') == std::string::npos;
}

void expandList(Expansion& x, PlaylistEntry entry)
{
    const std::string canonical = canonicalPath(entry.path);
    if (std::find(x.open.begin(), x.open.end(), canonical) != x.open.end()) {
        refuse(x, std::move(entry), EntryProblem::LIST_LOOP);
        return;
    }
    if (x.open.size() >= static_cast<std::size_t>(MAX_LIST_DEPTH)) {
        refuse(x, std::move(entry), EntryProblem::TOO_DEEP);
        return;
    }
    std::vector<std::uint8_t> bytes;
    std::string error;
    if (!readMusicFile(entry.path.c_str(), bytes, error)) {
        refuse(x, std::move(entry), EntryProblem::LIST_UNREADABLE, error);
        return;
    }
    x.open.push_back(canonical);
    const std::string folder = folderOf(entry.path);
    const std::string_view text(reinterpret_cast<const char*>(bytes.data()), bytes.size());
    for (const M3uEntry& line : parseM3u(text)) {
        PlaylistEntry item;
        item.list = entry.path;
        item.line = line.line;
        item.title = line.title;
        if (!entryPath(folder, line.path, item.path)) {
            item.path = line.path;
            refuse(x, std::move(item), EntryProblem::NOT_A_FILE);
            continue;
        }
        expandPath(x, std::move(item));
    }
    x.open.pop_back();
}

void expandPath(Expansion& x, PlaylistEntry entry)
{
    if (x.full) {
        return;
    }
    if (entry.path.find('\0') != std::string::npos) {
        refuse(x, std::move(entry), EntryProblem::NOT_A_FILE);
        return;
    }
    std::string error;
    PathKind kind = pathKind(entry.path, error);
    if (kind == PathKind::MISSING && entry.path.find('\\') != std::string::npos) {
        std::string slashes = entry.path;
        std::replace(slashes.begin(), slashes.end(), '\\', '/');
        std::string ignored;
        if (pathKind(slashes, ignored) != PathKind::MISSING) {
            entry.path = slashes;
            kind = pathKind(entry.path, error);
        }
    }
    switch (kind) {
    case PathKind::MISSING:
        refuse(x, std::move(entry), EntryProblem::MISSING, error);
        return;
    case PathKind::UNREADABLE:
        refuse(x, std::move(entry), EntryProblem::UNREADABLE, error);
        return;
    case PathKind::FOLDER:
        expandFolder(x, std::move(entry));
        return;
    case PathKind::FILE:
        if (isPlaylistName(entry.path)) {
            expandList(x, std::move(entry));
        } else {
            addEntry(x, std::move(entry));
        }
        return;
    }
}

} // namespace

std::vector<M3uEntry> parseM3u(std::string_view text)
{
    if (text.starts_with(UTF8_BOM)) {
        text.remove_prefix(UTF8_BOM.size());
    }
    std::vector<M3uEntry> entries;
    std::string title;
    std::size_t line = 0;
    while (!text.empty() && entries.size() < MAX_PLAYLIST_ENTRIES) {
        const std::string_view content = trimmed(nextLine(text));
        ++line;
        if (startsWithNoCase(content, EXTINF)) {
            const std::size_t comma = content.find(',');
            title = comma == std::string_view::npos ? std::string() : cleanTag(content.substr(comma + 1));
            continue;
        }
        if (content.empty() || content.starts_with('#')) {
            continue;
        }
        entries.push_back(M3uEntry{line, std::string(content), std::move(title)});
        title.clear();
    }
    return entries;
}

bool isPlaylistName(std::string_view path)
{
    return std::any_of(std::begin(PLAYLIST_SUFFIXES), std::end(PLAYLIST_SUFFIXES),
                       [&](std::string_view suffix) { return endsWithNoCase(path, suffix); });
}

bool isLogName(std::string_view path)
{
    return std::any_of(std::begin(LOG_SUFFIXES), std::end(LOG_SUFFIXES),
                       [&](std::string_view suffix) { return endsWithNoCase(path, suffix); });
}

std::vector<PlaylistEntry> expandArguments(std::span<const std::string> arguments)
{
    Expansion x;
    for (const std::string& argument : arguments) {
        PlaylistEntry entry;
        entry.path = argument;
        expandPath(x, std::move(entry));
    }
    return std::move(x.entries);
}
