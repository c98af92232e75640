// The platform seam for opening a sample file of `l` for binary reading with
// the C runtime's streams. One backend file per platform.
#pragma once

#include <cstdio>

/// The file at `path` open for reading ("rb"), or nullptr. A FIFO's open
/// waits for its writer, as `cat`'s does, and Ctrl-C ends that wait (nullptr);
/// anything else opens at once.
std::FILE* openSampleFile(const char* path);
