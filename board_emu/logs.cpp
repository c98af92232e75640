#include "board_emu/logs.h"

void logFrame(Logs& logs, const char* tag, std::span<const std::uint8_t> bytes)
{
    if (logs.frames == nullptr) {
        return;
    }
    std::fputs(tag, logs.frames);
    for (std::uint8_t b : bytes) {
        std::fprintf(logs.frames, " %02x", b);
    }
    std::fputc('\n', logs.frames);
}

void logEvent(Logs& logs, const char* line)
{
    if (logs.frames != nullptr) {
        std::fprintf(logs.frames, "%s\n", line);
    }
}

void logWrite(Logs& logs, long long micros, int bank, std::uint8_t reg, std::uint8_t value)
{
    if (logs.writes == nullptr) {
        return;
    }
    std::fprintf(logs.writes, "%lld %d %02x %02x\n", micros, bank, reg, value);
    logs.writesUnflushed = true;
}

void flushWrites(Logs& logs)
{
    if (logs.writesUnflushed) {
        std::fflush(logs.writes);
        logs.writesUnflushed = false;
    }
}
