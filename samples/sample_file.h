// The platform seam for opening a sample file of `l` for binary reading with
// the C runtime's streams. One backend file per platform.
#pragma once

#include <cstdio>

/// The file at `path` open for reading ("rb"), or nullptr. Opening never
/// waits: a FIFO with no writer opens at once and reads as empty.
std::FILE* openSampleFile(const char* path);
