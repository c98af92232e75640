#include "music/text_codec.h"

#include <iconv.h>

std::string cp932ToUtf8(std::string_view text)
{
    std::string out;
    iconv_t converter = iconv_open("UTF-8", "CP932");
    if (converter == reinterpret_cast<iconv_t>(-1)) {
        // No converter for the code page: its ASCII part still reads.
        for (char c : text) {
            out += static_cast<unsigned char>(c) < 0x80 ? c : '?';
        }
        return out;
    }
    std::string input(text);
    char* in = input.data();
    std::size_t inLeft = input.size();
    std::string buffer(input.size() * 3 + 4, '\0');
    while (inLeft > 0) {
        char* outPtr = buffer.data();
        std::size_t outLeft = buffer.size();
        const std::size_t done = iconv(converter, &in, &inLeft, &outPtr, &outLeft);
        out.append(buffer.data(), static_cast<std::size_t>(outPtr - buffer.data()));
        if (done == static_cast<std::size_t>(-1) && inLeft > 0) {
            // A byte that is no CP932: shown as '?', the rest converted on.
            out += '?';
            ++in;
            --inLeft;
        }
    }
    iconv_close(converter);
    return out;
}
