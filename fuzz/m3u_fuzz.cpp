// Arbitrary bytes as a playlist's text, and as tag text. Reading must not
// crash, and what it gives must be what the player can use: entries with a
// path of one trimmed line, lines in order within the text, titles and tags
// safe to print (cleaning them again changes nothing, no control or format
// character is left), and a fitted text within its columns.
#include "music/playlist.h"
#include "music/tag_text.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string_view>

namespace {

void check(bool condition, const char* what)
{
    if (!condition) {
        std::fprintf(stderr, "playlist check failed: %s\n", what);
        std::abort();
    }
}

bool printable(std::string_view text)
{
    const bool control = std::any_of(text.begin(), text.end(), [](char c) {
        const auto byte = static_cast<unsigned char>(c);
        return byte < 0x20 || byte == 0x7F;
    });
    // U+202A-U+202E, U+2066-U+2069: the direction overrides and isolates.
    const bool turns = text.find("\xE2\x80\xAA") != std::string_view::npos ||
                       text.find("\xE2\x80\xAE") != std::string_view::npos ||
                       text.find("\xE2\x81\xA6") != std::string_view::npos ||
                       text.find("\xE2\x81\xA9") != std::string_view::npos;
    return !control && !turns;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const std::vector<M3uEntry> entries = parseM3u(text);
    check(entries.size() <= MAX_PLAYLIST_ENTRIES, "entries within the bound");
    std::size_t previous = 0;
    for (const M3uEntry& entry : entries) {
        check(entry.line > previous, "lines in order");
        previous = entry.line;
        check(!entry.path.empty(), "a path in every entry");
        check(entry.path.find_first_of("\r\n") == std::string::npos, "a path of one line");
        check(entry.path.front() != ' ' && entry.path.back() != ' ', "a trimmed path");
        check(entry.path.front() != '#', "no comment taken for a path");
        check(printable(entry.title) && cleanTag(entry.title) == entry.title, "a title safe to print");
    }
    const std::string tag = cleanTag(text);
    check(printable(tag) && cleanTag(tag) == tag, "a tag safe to print, cleaned once for all");
    check(textWidth(fitToWidth(tag, size % 97)) <= size % 97, "a fitted text within its columns");
    return 0;
}
