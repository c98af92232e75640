// What a session says when the board goes away, falls silent or the wait is
// cut short; what a connect that fails says on standard error; the console's
// own text for `?` and unknown bytes; the 64-bit size of `t` files and FIFOs;
// and the process's standard descriptors and output errors.
#include "tests/console_harness.h"

#include "app/console.h"
#include "app/terminal.h"
#include "link/device_link.h"
#include "link/frames.h"
#include "samples/samples.h"
#include "transfer/transfer.h"

#include <atomic>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <thread>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

class SessionTest : public ConsoleTest {
  protected:
    void TearDown() override { setReplyTimeout(NO_TIMEOUT); }
};

TEST_F(SessionTest, ABoardGoneClosesTheLinkAndSaysSoOnceAfterTheCommand)
{
    // The identification is answered, then the board is unplugged: the
    // register write never leaves, and the rhythm test's eight writes end at
    // the first. Later commands need a connect.
    fakeBoard().hangUpAfter = 1;
    ConsoleRun run = runConsoleWith("c\no 2d 0f\nry 63\np 1\nn\nq\n");
    EXPECT_EQ(run.out, CONNECTED + ">r:2d o:0f\nconnection lost.\n>no connect.\n>no connect.\n>>exit!\n");
    EXPECT_EQ(fakeBoard().frames.size(), 1U);
    EXPECT_EQ(fakeBoard().closes, 1);

    // Gone in the middle of the rhythm test: one line, at the end.
    resetFakeBoard();
    fakeBoard().hangUpAfter = 3;
    run = runConsoleWith("c\nry 63\nb\n");
    EXPECT_EQ(run.out, CONNECTED + ">connection lost.\n>no connect.\n>exit!\n");
    EXPECT_EQ(fakeBoard().frames.size(), 3U);
}

TEST_F(SessionTest, ASilentBoardRunsOutTheReplyTimeLimitAndTheLinkCloses)
{
    // Each command's wait runs out on a board that answers the identification
    // (and, for the load, two cache writes) and then falls silent. The command
    // fails as for a missing reply, then "no reply.", and the link is closed.
    setReplyTimeout(250);
    const std::string sample = scratchFile("silent.bin", 1000);
    const struct {
        std::string line;
        int answers;
        std::string out;
    } cases[] = {
        {"b", 1, "backlight error.\n"},
        {"r", 1, "reset error.\n"},
        {"l " + sample, 3,
         "[" + sample + "] -> [0,1000]\n\r(    60/  1000) 006% [..........]\nidx:1:[0,0]\n"},
        {"t " + sample, 1, "stop error.\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.line);
        resetFakeBoard();
        fakeBoard().answersLeft = c.answers;
        const ConsoleRun run = runConsoleWith("c\n" + c.line + "\nb\n");
        EXPECT_EQ(run.out, CONNECTED + ">" + c.out + "no reply.\n>no connect.\n>exit!\n");
        // Every wait had the limit, less what its frame's write had used.
        for (const int timeout : fakeBoard().timeouts) {
            EXPECT_GE(timeout, 0);
            EXPECT_LE(timeout, 250);
        }
    }

    // The identification itself.
    resetFakeBoard();
    fakeBoard().answersLeft = 0;
    const ConsoleRun run = runConsoleWith("c\n");
    EXPECT_EQ(run.out, ">connect..err.\nno reply.\n>exit!\n");
    EXPECT_EQ(run.err, "COM3: COM3: not identified: the board answered nothing\n");
}

TEST_F(SessionTest, AnInterruptedWaitFailsTheCommandClosesTheLinkAndKeepsTheSlots)
{
    // The fake board takes a wait with no time limit on a silent board as
    // ended by Ctrl-C.
    // ended by Ctrl-C. The second load's third cache write is never answered.
    const std::string sample = scratchFile("kept.bin", 1000);
    fakeBoard().answersLeft = 1 + 18 + 2;
    const ConsoleRun run = runConsoleWith("c\nl " + sample + "\nl " + sample + "\np 1\nc\np 1\n");
    EXPECT_EQ(run.out,
              CONNECTED + ">[" + sample + "] -> [0,1000]\n" +
                  "\r(    60/  1000) 006% [..........]\r(   180/  1000) 018% [o.........]"
                  "\r(   300/  1000) 030% [ooo.......]\r(   420/  1000) 042% [oooo......]"
                  "\r(   540/  1000) 054% [ooooo.....]\r(   660/  1000) 066% [oooooo....]"
                  "\r(   780/  1000) 078% [ooooooo...]\r(   900/  1000) 090% [ooooooooo.]"
                  "\r(  1000/  1000) 100% [oooooooooo]\nidx:1:[0,32]\n"
                  ">[" +
                  sample +
                  "] -> [32,1000]\n\r(    60/  1000) 006% [..........]\nidx:2:[32,0]\n"
                  "interrupted.\n>no connect.\n>connect..err.\ninterrupted.\n>no connect.\n>exit!\n");
    EXPECT_EQ(run.err, "cache write error.\nCOM3: COM3: not identified: the board answered nothing\n");
    EXPECT_EQ(findSlot(1).length, 32U) << "the first load's slot is kept";
    EXPECT_EQ(fakeBoard().closes, 2);
}

TEST_F(SessionTest, ConnectFailuresNameEachPortTheDeviceAndTheReason)
{
    fakeBoard().presentPorts = {};
    fakeBoard().refusals["COM3"] = PortFailure::PERMISSION;
    fakeBoard().refusals["COM4"] = PortFailure::IN_USE;
    ConsoleRun run = runConsoleWith("c\n");
    EXPECT_EQ(run.out, ">connect error.\n>exit!\n");
    EXPECT_EQ(run.err, "COM3: COM3: permission denied (is your user in the dialout group?)\n"
                       "COM4: COM4: in use by another program\n");

    resetFakeBoard();
    fakeBoard().presentPorts = {};
    fakeBoard().refusals["COM4"] = PortFailure::NOT_SERIAL;
    run = runConsoleWith("c\n");
    EXPECT_EQ(run.err, "COM3: COM3: no such device\nCOM4: COM4: not a serial port\n");

    // Success says nothing more on standard error when input is no terminal.
    resetFakeBoard();
    fakeBoard().presentPorts = {"COM4"};
    run = runConsoleWith("c\n");
    EXPECT_EQ(run.out, CONNECTED + ">exit!\n");
    EXPECT_EQ(run.err, "");
}

TEST_F(SessionTest, UnknownBytesAreShownPrintableOrAsHex)
{
    const ConsoleRun run = runConsoleWith("\x1b[A\n\x1b]0;x\x07\n\x7f\n\x80\n\xff\n~\nZ\n\x01\n");
    EXPECT_EQ(run.out, ">invalid command [\\x1b]\n>invalid command [\\x1b]\n>invalid command [\\x7f]\n"
                       ">invalid command [\\x80]\n>invalid command [\\xff]\n>invalid command [~]\n"
                       ">invalid command [Z]\n>invalid command [\\x01]\n>exit!\n");
    EXPECT_TRUE(fakeBoard().opens.empty());
}

TEST_F(SessionTest, QuestionMarkListsTheCommandsOfTheDispatchTable)
{
    const ConsoleRun run = runConsoleWith("?\n?anything\n");
    const std::string list = "b          ask for the backlight state\n"
                             "c          connect: open COM3 (else COM4) and identify the board\n"
                             "l FILE     load a sample file into chip memory under the next slot\n"
                             "n          send the bare OP_N frame\n"
                             "o REG VAL  write a chip register, both hexadecimal (REG 100-1FF: second bank)\n"
                             "p N        play slot N\n"
                             "ry N       sound the rhythm section, N (decimal) the key-on bits\n"
                             "r          reset the board\n"
                             "t FILE     send a data file and start the board on it\n"
                             "q          quit (end of input quits too)\n"
                             "?          list the commands\n";
    EXPECT_EQ(run.out, ">" + list + ">" + list + ">exit!\n");
    EXPECT_TRUE(fakeBoard().opens.empty());
}

Bytes streamedBytes()
{
    Bytes data;
    for (const Bytes& frame : framesOf(OP_STREAM_DATA)) {
        data.insert(data.end(), frame.begin() + STREAM_DATA_HEADER, frame.end());
    }
    return data;
}

TEST_F(SessionTest, DataFilesAreMeasuredIn64BitsAndFifosKeepTheirTail)
{
    // 4 GiB + 100 bytes: its 32-bit size would be 100, sending 36 bytes.
    const std::string huge = scratchFile("huge.bin", 0);
    const Bytes head = patternBytes(40000, 3);
    {
        const int fd = open(huge.c_str(), O_WRONLY | O_TRUNC);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(write(fd, head.data(), head.size()), static_cast<ssize_t>(head.size()));
        ASSERT_EQ(ftruncate(fd, (off_t{1} << 32) + 100), 0);
        close(fd);
    }
    runConsoleWith("c\nt " + huge + "\n");
    EXPECT_EQ(streamedBytes(),
              Bytes(head.begin(), head.begin() + static_cast<std::ptrdiff_t>(DATA_FILE_LIMIT)));
    unlink(huge.c_str());

    // A FIFO of 1000 bytes: 936 go out, as for a file of that size. The test
    // holds the FIFO open for writing until the console has opened it, so
    // that the console reads the bytes and then the end.
    resetFakeBoard();
    const std::string fifo = huge + ".fifo";
    unlink(fifo.c_str());
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    const int writer = open(fifo.c_str(), O_RDWR);
    ASSERT_GE(writer, 0);
    const Bytes data = patternBytes(1000, 4);
    ASSERT_EQ(write(writer, data.data(), data.size()), 1000);
    std::atomic<bool> closed{false};
    std::thread closer([&] {
        // Waits until another descriptor of this process names the FIFO.
        while (!closed) {
            for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
                std::error_code error;
                const auto target = std::filesystem::read_symlink(entry.path(), error);
                if (!error && target == fifo && entry.path().filename() != std::to_string(writer)) {
                    close(writer);
                    closed = true;
                    break;
                }
            }
            std::this_thread::yield();
        }
    });
    const ConsoleRun run = runConsoleWith("c\nt " + fifo + "\n");
    closer.join();
    EXPECT_EQ(streamedBytes(), Bytes(data.begin(), data.begin() + 936));
    EXPECT_NE(run.out.find("(   936/   936) 100%"), std::string::npos);
    unlink(fifo.c_str());
}

TEST(ProcessTest, ClosedStandardDescriptorsAreReopenedSoNoPortBecomesOne)
{
    // In a child: descriptors 1 and 2 closed before start-up come back on the
    // null device, and the next file opened is number 3 or above.
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        close(STDOUT_FILENO);
        close(STDERR_FILENO);
        prepareProcess();
        struct stat out {};
        struct stat null {};
        stat("/dev/null", &null);
        const bool reopened = fstat(STDERR_FILENO, &out) == 0 && out.st_rdev == null.st_rdev &&
                              fcntl(STDOUT_FILENO, F_GETFD) != -1;
        const int next = open("/dev/null", O_RDONLY);
        struct sigaction pipe {};
        sigaction(SIGPIPE, nullptr, &pipe);
        _exit(reopened && next >= 3 && pipe.sa_handler == SIG_IGN ? 0 : 1);
    }
    int status = 0;
    waitpid(child, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

TEST_F(SessionTest, AFailingStandardOutputEndsTheSessionWithStatusOne)
{
    const std::string input = scratchFile("full.in", Bytes{'c', '\n', 'b', '\n', 'q', '\n'});
    ASSERT_NE(std::freopen(input.c_str(), "rb", stdin), nullptr);
    std::fflush(stdout);
    const int saved = dup(STDOUT_FILENO);
    const int full = open("/dev/full", O_WRONLY);
    ASSERT_GE(full, 0);
    dup2(full, STDOUT_FILENO);
    close(full);
    const int status = runConsole();
    std::clearerr(stdout);
    dup2(saved, STDOUT_FILENO);
    close(saved);
    EXPECT_EQ(status, 1);
    EXPECT_FALSE(isConnected());
    EXPECT_TRUE(fakeBoard().frames.empty()) << "nothing more is run once the prompt cannot be shown";
}

} // namespace
