// The console's operand rules, shared by the commands that take operands.
// A blank is a space or a horizontal tab. An operand begins right after the
// command letter (no blank is needed between them), past any blanks.
//
// Functions: isBlank, skipBlanks, parseDecimal, parseHex.
#pragma once

#include <cstdint>

constexpr bool isBlank(char c)
{
    return c == ' ' || c == '\t';
}

/// The operand of a command line: from its second character, past blanks.
/// nullptr when the line ends first (the command then answers "??").
constexpr const char* skipBlanks(const char* line)
{
    if (line[0] == '\0') {
        return nullptr;
    }
    const char* p = line + 1;
    while (isBlank(*p)) {
        ++p;
    }
    return *p == '\0' ? nullptr : p;
}

/// The first run of decimal digits in `text`, or 0 when there is none. No sign
/// is recognised ("-5" gives 5), text after the number is ignored, and the
/// value wraps in 32 bits.
constexpr std::int32_t parseDecimal(const char* text)
{
    while (*text != '\0' && !(*text >= '0' && *text <= '9')) {
        ++text;
    }
    std::uint32_t value = 0;
    while (*text >= '0' && *text <= '9') {
        value = value * 10U + static_cast<std::uint32_t>(*text - '0');
        ++text;
    }
    return static_cast<std::int32_t>(value);
}

/// A hexadecimal token at `text`, ending at a blank or the end of the line.
/// `end` is set to the character that ended it; false when another character
/// is met. Digits beyond the eighth push the earliest ones out.
constexpr bool parseHex(const char* text, std::uint32_t& value, const char*& end)
{
    value = 0;
    for (; *text != '\0' && !isBlank(*text); ++text) {
        const char c = *text;
        std::uint32_t digit = 0;
        if (c >= '0' && c <= '9') {
            digit = static_cast<std::uint32_t>(c - '0');
        } else if (c >= 'a' && c <= 'f') {
            digit = static_cast<std::uint32_t>(c - 'a' + 10);
        } else if (c >= 'A' && c <= 'F') {
            digit = static_cast<std::uint32_t>(c - 'A' + 10);
        } else {
            return false;
        }
        value = (value << 4) | digit;
    }
    end = text;
    return true;
}
