// Shared by the fuzz targets: running the real console loop on bytes in
// memory against the fake board, scratch sample and data files, and checks on
// the frames the tool sent.
#pragma once

#include "link/port_fake.h"

#include <cstddef>
#include <cstdint>
#include <string>

/// Runs runConsole() with `data` as its standard input.
void runConsoleOn(const std::uint8_t* data, std::size_t size);

/// Makes the fuzzers' files once: FUZZ_DIR/a.bin (1000 bytes), b.bin (8292),
/// d.bin (5000, a data file) and e.bin (empty).
void makeFuzzFiles();
inline const std::string FUZZ_DIR = "/tmp/ym2608-fuzz";

/// Aborts when a frame the tool sent breaks the frame table or the chip's
/// memory bounds, or when the tool carried on after a reply that was not
/// STATUS_OK: a commit of a page whose cache writes were not all confirmed,
/// or OP_START after an unconfirmed phase. `replies` are the bytes the board
/// sent, in order.
void checkFrames(const Bytes& replies);
