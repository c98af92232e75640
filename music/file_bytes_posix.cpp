// Reading a file whole through the C library; a folder opens, and its read
// fails with EISDIR.
#include "music/file_bytes.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

FileRead readFileBytes(const char* path, std::size_t limit, std::vector<std::uint8_t>& bytes,
                       std::string& error)
{
    std::FILE* file = std::fopen(path, "rb");
    if (file == nullptr) {
        error = std::strerror(errno);
        return FileRead::FAILED;
    }
    bytes.clear();
    std::vector<std::uint8_t> chunk(65536);
    while (true) {
        const std::size_t n = std::fread(chunk.data(), 1, chunk.size(), file);
        bytes.insert(bytes.end(), chunk.begin(), chunk.begin() + static_cast<std::ptrdiff_t>(n));
        if (bytes.size() > limit) {
            std::fclose(file);
            return FileRead::TOO_LARGE;
        }
        if (n < chunk.size()) {
            break;
        }
    }
    const bool failed = std::ferror(file) != 0;
    const int readError = errno;
    std::fclose(file);
    if (failed) {
        error = std::strerror(readError);
        return FileRead::FAILED;
    }
    return FileRead::DONE;
}
