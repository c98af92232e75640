#include "music/tag_text.h"

#include "music/file_system.h"

#include <algorithm>
#include <vector>

namespace {

constexpr std::uint32_t REPLACEMENT = 0xFFFD;
constexpr std::string_view ELLIPSIS = "\xE2\x80\xA6"; // U+2026, one column

struct Range {
    std::uint32_t first;
    std::uint32_t last;
};

// The format characters (general category Cf): the bidirectional marks,
// embeddings, overrides and isolates, zero width characters, invisible
// operators, the byte-order mark, the interlinear annotation marks, tags.
constexpr Range FORMAT[] = {
    {0x00AD, 0x00AD},   {0x0600, 0x0605},   {0x061C, 0x061C},   {0x06DD, 0x06DD},   {0x070F, 0x070F},
    {0x0890, 0x0891},   {0x08E2, 0x08E2},   {0x180E, 0x180E},   {0x200B, 0x200F},   {0x202A, 0x202E},
    {0x2060, 0x206F},   {0xFEFF, 0xFEFF},   {0xFFF9, 0xFFFB},   {0x110BD, 0x110BD}, {0x110CD, 0x110CD},
    {0x13430, 0x1343F}, {0x1BCA0, 0x1BCA3}, {0x1D173, 0x1D17A}, {0xE0001, 0xE0001}, {0xE0020, 0xE007F},
};

// Characters a terminal draws two columns wide: the East Asian wide and
// fullwidth blocks (kana, CJK, Hangul, fullwidth forms) and the emoji.
constexpr Range WIDE[] = {
    {0x1100, 0x115F}, {0x2E80, 0x303E}, {0x3041, 0x33FF},   {0x3400, 0x4DBF},   {0x4E00, 0x9FFF},
    {0xA000, 0xA4CF}, {0xA960, 0xA97F}, {0xAC00, 0xD7A3},   {0xF900, 0xFAFF},   {0xFE30, 0xFE4F},
    {0xFF00, 0xFF60}, {0xFFE0, 0xFFE6}, {0x1F300, 0x1F64F}, {0x1F900, 0x1F9FF}, {0x20000, 0x3FFFD},
};

// Combining marks, drawn over the character before them.
constexpr Range COMBINING[] = {
    {0x0300, 0x036F}, {0x0483, 0x0489}, {0x0591, 0x05BD},   {0x0610, 0x061A}, {0x064B, 0x065F},
    {0x1AB0, 0x1AFF}, {0x1DC0, 0x1DFF}, {0x20D0, 0x20FF},   {0x302A, 0x302F}, {0x3099, 0x309A},
    {0xFE00, 0xFE0F}, {0xFE20, 0xFE2F}, {0xE0100, 0xE01EF},
};

bool within(std::span<const Range> ranges, std::uint32_t code)
{
    return std::any_of(ranges.begin(), ranges.end(),
                       [code](const Range& r) { return code >= r.first && code <= r.last; });
}

void appendUtf8(std::string& out, std::uint32_t code)
{
    if (code < 0x80) {
        out += static_cast<char>(code);
    } else if (code < 0x800) {
        out += static_cast<char>(0xC0 | (code >> 6));
        out += static_cast<char>(0x80 | (code & 0x3F));
    } else if (code < 0x10000) {
        out += static_cast<char>(0xE0 | (code >> 12));
        out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (code & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (code >> 18));
        out += static_cast<char>(0x80 | ((code >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (code & 0x3F));
    }
}

// The character at the start of `text` and its length in bytes; length 0
// for a sequence that is no UTF-8 (overlong forms and surrogates among them).
std::uint32_t decodeUtf8(std::string_view text, std::size_t& length)
{
    const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
    const unsigned char lead = byte(0);
    length = 0;
    if (lead < 0x80) {
        length = 1;
        return lead;
    }
    std::size_t n = 0;
    std::uint32_t code = 0;
    std::uint32_t least = 0;
    if (lead >= 0xC2 && lead <= 0xDF) {
        n = 2, code = lead & 0x1FU, least = 0x80;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        n = 3, code = lead & 0x0FU, least = 0x800;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        n = 4, code = lead & 0x07U, least = 0x10000;
    } else {
        return REPLACEMENT;
    }
    if (text.size() < n) {
        return REPLACEMENT;
    }
    for (std::size_t i = 1; i < n; ++i) {
        if ((byte(i) & 0xC0) != 0x80) {
            return REPLACEMENT;
        }
        code = (code << 6) | (byte(i) & 0x3FU);
    }
    if (code < least || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) {
        return REPLACEMENT;
    }
    length = n;
    return code;
}

// What a character of a tag becomes: itself, a blank, or nothing.
enum class Keep : std::uint8_t { CHARACTER, BLANK, NOTHING };

Keep keepOf(std::uint32_t code)
{
    if (code == '\t' || code == '\n' || code == '\r' || code == 0x2028 || code == 0x2029) {
        return Keep::BLANK;
    }
    if (code < 0x20 || (code >= 0x7F && code < 0xA0) || within(FORMAT, code)) {
        return Keep::NOTHING;
    }
    return Keep::CHARACTER;
}

std::size_t columnsOf(std::uint32_t code)
{
    if (within(COMBINING, code)) {
        return 0;
    }
    return within(WIDE, code) ? 2 : 1;
}

} // namespace

std::string utf16ToUtf8(std::span<const std::uint8_t> bytes)
{
    const auto unitAt = [&](std::size_t i) {
        return static_cast<std::uint32_t>(bytes[i] | (bytes[i + 1] << 8));
    };
    std::string out;
    for (std::size_t i = 0; i + 1 < bytes.size(); i += 2) {
        std::uint32_t unit = unitAt(i);
        if (unit >= 0xD800 && unit <= 0xDBFF && i + 3 < bytes.size()) {
            const std::uint32_t low = unitAt(i + 2);
            if (low >= 0xDC00 && low <= 0xDFFF) {
                appendUtf8(out, 0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00));
                i += 2;
                continue;
            }
        }
        if (unit >= 0xD800 && unit <= 0xDFFF) {
            unit = REPLACEMENT;
        }
        appendUtf8(out, unit);
    }
    return out;
}

std::string cleanTag(std::string_view utf8)
{
    std::string out;
    std::vector<std::size_t> starts; // where each character kept starts in `out`
    while (!utf8.empty()) {
        std::size_t length = 0;
        const std::uint32_t code = decodeUtf8(utf8, length);
        const Keep keep = length == 0 ? Keep::CHARACTER : keepOf(code);
        if (keep != Keep::NOTHING) {
            starts.push_back(out.size());
            if (length == 0) {
                out += '?';
            } else if (keep == Keep::BLANK) {
                out += ' ';
            } else {
                out.append(utf8.substr(0, length));
            }
        }
        utf8.remove_prefix(std::max<std::size_t>(length, 1));
    }
    // Trim the blanks (one byte each) at both ends, then cut.
    std::size_t first = 0;
    while (first < starts.size() && out[starts[first]] == ' ') {
        ++first;
    }
    std::size_t last = starts.size();
    while (last > first && out[starts[last - 1]] == ' ') {
        --last;
    }
    if (first == last) {
        return {};
    }
    const auto endOf = [&](std::size_t i) { return i < starts.size() ? starts[i] : out.size(); };
    if (last - first > TAG_MAX_CHARACTERS) {
        const std::size_t cut = first + TAG_MAX_CHARACTERS - 1;
        return out.substr(starts[first], starts[cut] - starts[first]) + std::string(ELLIPSIS);
    }
    return out.substr(starts[first], endOf(last) - starts[first]);
}

std::size_t textWidth(std::string_view utf8)
{
    std::size_t columns = 0;
    while (!utf8.empty()) {
        std::size_t length = 0;
        columns += columnsOf(decodeUtf8(utf8, length));
        utf8.remove_prefix(std::max<std::size_t>(length, 1));
    }
    return columns;
}

std::string fitToWidth(std::string_view utf8, std::size_t columns)
{
    if (textWidth(utf8) <= columns) {
        return std::string(utf8);
    }
    if (columns == 0) {
        return {};
    }
    std::string out;
    std::size_t used = 0;
    while (!utf8.empty()) {
        std::size_t length = 0;
        const std::size_t width = columnsOf(decodeUtf8(utf8, length));
        length = std::max<std::size_t>(length, 1);
        if (used + width > columns - 1) {
            break;
        }
        out.append(utf8.substr(0, length));
        used += width;
        utf8.remove_prefix(length);
    }
    return out + std::string(ELLIPSIS);
}

SongTitle songTitle(const MusicTags& tags, std::string_view listTitle, std::string_view path)
{
    SongTitle title{tags.title, tags.game, tags.author};
    if (title.title.empty()) {
        title.title = cleanTag(listTitle);
    }
    if (title.title.empty()) {
        title.title = cleanTag(fileNameOf(path));
    }
    return title;
}
