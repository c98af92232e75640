#include "music/text_codec.h"

#include <algorithm>

#include <windows.h>

namespace {

constexpr UINT CODE_PAGE_CP932 = 932;

// The length of the CP932 character that starts with `lead`: lead bytes of
// a double-byte character are 0x81-0x9F and 0xE0-0xFC.
std::size_t characterLength(unsigned char lead)
{
    return (lead >= 0x81 && lead <= 0x9F) || (lead >= 0xE0 && lead <= 0xFC) ? 2 : 1;
}

// One CP932 character to UTF-8; false when it is none.
bool convertCharacter(std::string_view character, std::string& out)
{
    wchar_t units[2];
    const int n = MultiByteToWideChar(CODE_PAGE_CP932, MB_ERR_INVALID_CHARS, character.data(),
                                      static_cast<int>(character.size()), units, 2);
    if (n <= 0) {
        return false;
    }
    char bytes[8];
    const int m = WideCharToMultiByte(CP_UTF8, 0, units, n, bytes, sizeof bytes, nullptr, nullptr);
    if (m <= 0) {
        return false;
    }
    out.append(bytes, static_cast<std::size_t>(m));
    return true;
}

} // namespace

std::string cp932ToUtf8(std::string_view text)
{
    // Character by character, so that one bad byte costs only itself, as
    // with the POSIX backend.
    std::string out;
    while (!text.empty()) {
        const std::size_t length =
            std::min(characterLength(static_cast<unsigned char>(text[0])), text.size());
        if (convertCharacter(text.substr(0, length), out)) {
            text.remove_prefix(length);
            continue;
        }
        out += '?';
        text.remove_prefix(1);
    }
    return out;
}
