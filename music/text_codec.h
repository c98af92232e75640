// The platform seam for the code page of PC-98 tags: CP932 (Shift JIS with
// NEC's and Microsoft's additions), as S98 tags without a byte-order mark
// are written, to UTF-8. One backend file per platform: iconv on POSIX
// (text_codec_posix.cpp), the code page functions on Windows
// (text_codec_win32.cpp).
//
// Functions: cp932ToUtf8.
#pragma once

#include <string>
#include <string_view>

/// `text` from CP932 to UTF-8; a byte that starts no CP932 character becomes '?'.
std::string cp932ToUtf8(std::string_view text);
