// The emulator's two logs, each a file the front end opened (or none).
// The frame log (--log) has one line per frame or event, in hexadecimal:
// "rx 09 3c 00 00 ..." for a frame carried out, "drop ff" for a byte that is
// no opcode, "tx 01" for a reply, "hangup" when the board is unplugged. The
// write log (--log-writes) has one line per register write, with its arrival
// time in microseconds since the session's first byte, its bank, register and
// value: "1520 1 00 a0". It is flushed whenever the line is idle, so that a
// reader sees every write so far without the log costing a system call per
// write.
//
// Functions: logFrame, logEvent, logWrite, flushWrites.
#pragma once

#include <cstdint>
#include <cstdio>
#include <span>

struct Logs {
    std::FILE* frames = nullptr; // --log
    std::FILE* writes = nullptr; // --log-writes
    bool writesUnflushed = false;
};

/// One line of the frame log: `tag` and the bytes in hexadecimal.
void logFrame(Logs& logs, const char* tag, std::span<const std::uint8_t> bytes);

/// One line of the frame log that is no frame, e.g. "hangup".
void logEvent(Logs& logs, const char* line);

/// One line of the write log: a write of `value` to `reg` of `bank` (0 or 1)
/// that arrived `micros` after the session's first byte.
void logWrite(Logs& logs, long long micros, int bank, std::uint8_t reg, std::uint8_t value);

/// Flushes the write log if anything was written to it since the last flush.
void flushWrites(Logs& logs);
