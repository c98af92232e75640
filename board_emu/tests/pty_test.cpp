// The pseudo-terminal pair: raw bytes in both directions, and a hang-up that
// the console's end sees as an unplugged board.
#include "board_emu/pty.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

namespace {

// Reads exactly `size` bytes within a second, or fewer if the line ends.
std::string readFor(int fd, std::size_t size)
{
    std::string got;
    while (got.size() < size) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, 1000) <= 0) {
            break;
        }
        char buffer[64];
        ssize_t n = read(fd, buffer, std::min(sizeof buffer, size - got.size()));
        if (n <= 0) {
            break;
        }
        got.append(buffer, static_cast<std::size_t>(n));
    }
    return got;
}

TEST(Pty, CarriesRawBytesBothWays)
{
    Pty pty;
    std::string error;
    ASSERT_TRUE(openPty(pty, error)) << error;
    int console = open(pty.path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    ASSERT_GE(console, 0);

    // Bytes a cooked terminal would change or echo: CR, LF, ^C, ^D, DEL.
    const std::string frame = std::string("\x09\x05\x0d\x0a\x03\x04\x7f\x00\x11", 9);
    ASSERT_EQ(write(console, frame.data(), frame.size()), static_cast<ssize_t>(frame.size()));
    EXPECT_EQ(readFor(pty.master, frame.size()), frame);
    ASSERT_EQ(write(pty.master, "\x0d\x0a", 2), 2);
    EXPECT_EQ(readFor(console, 2), "\x0d\x0a");
    pollfd p{pty.master, POLLIN, 0};
    EXPECT_EQ(poll(&p, 1, 0), 0) << "nothing echoed back to the board";

    close(console);
    console = open(pty.path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    ASSERT_GE(console, 0) << "the terminal can be opened again after a console closed it";
    ASSERT_EQ(write(console, "\x10", 1), 1);
    EXPECT_EQ(readFor(pty.master, 1), "\x10") << "and the line still works";

    closePty(pty);
    char byte = 0;
    ssize_t n = read(console, &byte, 1);
    EXPECT_TRUE(n == 0 || (n < 0 && errno == EIO)) << "a read on the console's end ends at once";
    close(console);
}

} // namespace
