// Runs the real console loop on scripted input, with standard output and
// standard error captured, against the fake board; and makes scratch files.
#pragma once

#include "link/port_fake.h"

#include <gtest/gtest.h>

#include <string>
#include <string_view>

/// What a session prints for its first line `c` when the board identifies itself.
inline const std::string CONNECTED = ">connect..ok\nWelcome to YM2608!\nReady\n";

struct ConsoleRun {
    std::string out;
    std::string err;
};

/// Feeds `input` to runConsole() as standard input (the loop ends when it
/// does, as `q` would) and returns what it printed.
ConsoleRun runConsoleWith(std::string_view input);

/// A file of `bytes` (or of `size` patterned bytes) in a scratch directory.
std::string scratchFile(const std::string& name, const Bytes& bytes);
std::string scratchFile(const std::string& name, std::size_t size);

/// Patterned bytes that differ from frame to frame, so a misplaced chunk shows.
Bytes patternBytes(std::size_t size, std::uint8_t seed = 0);

/// Fresh fake board and slot table for every test.
class ConsoleTest : public ::testing::Test {
  protected:
    void SetUp() override;
};
