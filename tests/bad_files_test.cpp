// Files an operator may name by mistake: FIFOs that stay empty, unreadable
// files, names ending in blanks, huge sparse files. None may hang the tool or
// send anything the file did not hold.
#include "tests/console_harness.h"

#include "link/frames.h"
#include "samples/samples.h"

#include <thread>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

std::string scratchPath(const std::string& name)
{
    const std::string any = scratchFile("anchor.bin", 1);
    return any.substr(0, any.rfind('/')) + "/" + name;
}

// A FIFO is opened as `cat` opens it, waiting for its writer: one that opens
// it and writes nothing leaves it empty, and the command ends at once.
TEST_F(ConsoleTest, FifoWhoseWriterWritesNothingReadsAsEmptyInsteadOfHanging)
{
    const std::string fifo = scratchPath("fifo");
    unlink(fifo.c_str());
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    for (const char* command : {"l ", "t "}) {
        std::thread writer([&] { close(open(fifo.c_str(), O_WRONLY)); });
        const ConsoleRun run = runConsoleWith("c\n" + std::string(command) + fifo + "\n");
        // A console that never opened it leaves the writer waiting: a reader lets it go.
        const int reader = open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
        writer.join();
        close(reader);
        const bool load = command[0] == 'l';
        EXPECT_EQ(run.err, load ? "read error.\n" : "");
        EXPECT_EQ(run.out, std::string(">connect..ok\nWelcome to YM2608!\nReady\n>") +
                               (load ? "" : "file read error.\n") + ">exit!\n");
        EXPECT_EQ(fakeBoard().frames.size(), load ? 1U : 2U); // the identifications alone
    }
    unlink(fifo.c_str());
}

// Root reads every file whatever its permissions, so as root the console runs
// in a child process that has become the unprivileged user "nobody".
TEST_F(ConsoleTest, UnreadableFilesAreOpenErrors)
{
    const std::string path = scratchFile("locked.bin", 1000);
    ASSERT_EQ(chmod(path.c_str(), 0), 0);
    const std::string dir = path.substr(0, path.rfind('/'));
    const auto check = [&] {
        const ConsoleRun run = runConsoleWith("c\nl " + path + "\nt " + path + "\n");
        return run.err == "file read error.\n" &&
               run.out == ">connect..ok\nWelcome to YM2608!\nReady\n>>file open error.\n>exit!\n" &&
               fakeBoard().frames.size() == 1U;
    };
    if (geteuid() != 0) {
        EXPECT_TRUE(check());
        return;
    }
    ASSERT_EQ(chmod(dir.c_str(), 0777), 0);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        const bool dropped = setgid(65534) == 0 && setuid(65534) == 0;
        _exit(dropped && check() ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    chmod(dir.c_str(), 0700);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "as nobody, the locked file was read";
}

TEST_F(ConsoleTest, BlanksAtTheEndBelongToThePath)
{
    const Bytes bytes = patternBytes(100);
    const std::string plain = scratchFile("blank.bin", bytes);
    const std::string trailing = scratchFile("blank.bin  ", patternBytes(40));
    const ConsoleRun run = runConsoleWith("c\nl " + plain + "  \nl " + plain + "\n");
    EXPECT_NE(run.out.find("[" + trailing + "] -> [0,40]\n"), std::string::npos);
    EXPECT_NE(run.out.find("[" + plain + "] -> [2,100]\n"), std::string::npos);
}

TEST_F(ConsoleTest, HugeSparseFilesAreReadOnlyAsFarAsTheLimits)
{
    const std::string path = scratchPath("sparse.bin");
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    ASSERT_GE(fd, 0);
    const Bytes head = patternBytes(MAX_SAMPLE_FILE + 10, 1);
    ASSERT_EQ(write(fd, head.data(), head.size()), static_cast<ssize_t>(head.size()));
    ASSERT_EQ(ftruncate(fd, off_t{1} << 30), 0);
    close(fd);

    const ConsoleRun run = runConsoleWith("c\nl " + path + "\nt " + path + "\n");
    EXPECT_NE(run.out.find("] -> [0,262144]\n"), std::string::npos);
    EXPECT_NE(run.out.find("idx:1:[0,8192]\n"), std::string::npos);
    Bytes loaded;
    for (const Bytes& frame : framesOf(OP_CACHE_WRITE)) {
        loaded.insert(loaded.end(), frame.begin() + CACHE_WRITE_HEADER, frame.end());
    }
    EXPECT_EQ(loaded, Bytes(head.begin(), head.begin() + MAX_SAMPLE_FILE));
    Bytes streamed;
    for (const Bytes& frame : framesOf(OP_STREAM_DATA)) {
        streamed.insert(streamed.end(), frame.begin() + STREAM_DATA_HEADER, frame.end());
    }
    EXPECT_EQ(streamed, Bytes(head.begin(), head.begin() + 32704));
    unlink(path.c_str());
}

} // namespace
