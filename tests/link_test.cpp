// Connecting: port choice, identification, reconnecting, and replies that
// are wrong or cut short.
#include "tests/console_harness.h"

#include "link/frames.h"

namespace {

TEST_F(ConsoleTest, ConnectIdentifiesTheBoardOnCom3)
{
    const ConsoleRun run = runConsoleWith("c\nq\n");
    EXPECT_EQ(run.out, CONNECTED + ">exit!\n");
    EXPECT_EQ(fakeBoard().opens, (std::vector<std::string>{"COM3"}));
    EXPECT_EQ(fakeBoard().frames, (std::vector<Bytes>{{OP_IDENTIFY}}));
    EXPECT_EQ(fakeBoard().closes, 1);
}

TEST_F(ConsoleTest, ConnectFallsBackToCom4)
{
    fakeBoard().presentPorts = {"COM4"};
    const ConsoleRun run = runConsoleWith("c\nq\n");
    EXPECT_EQ(run.out, CONNECTED + ">exit!\n");
    EXPECT_EQ(fakeBoard().opens, (std::vector<std::string>{"COM3", "COM4"}));
}

TEST_F(ConsoleTest, NoPortLeavesTheLinkUnconnected)
{
    fakeBoard().presentPorts = {};
    const ConsoleRun run = runConsoleWith("c\nb\nq\n");
    EXPECT_EQ(run.out, ">connect error.\n>no connect.\n>exit!\n");
    EXPECT_TRUE(fakeBoard().frames.empty());
    EXPECT_EQ(fakeBoard().closes, 0);
}

TEST_F(ConsoleTest, WrongOrShortIdentificationStaysConnected)
{
    fakeBoard().identify = "2609";
    ConsoleRun run = runConsoleWith("c\no 10 01\nq\n");
    EXPECT_EQ(run.out, ">connect..err.\n>r:10 o:01\n>exit!\n");
    EXPECT_EQ(run.err, "COM3: COM3: not identified: the board answered 32 36 30 39\n");
    EXPECT_EQ(fakeBoard().frames.back(), (Bytes{OP_WRITE_BANK0, 0x10, 0x01}));

    // Two bytes "26" and then nothing: never judged from leftover buffer
    // bytes. The board is gone, so the link is too.
    resetFakeBoard();
    shortReply(OP_IDENTIFY, 1);
    run = runConsoleWith("c\nb\nq\n");
    EXPECT_EQ(run.out, ">connect..err.\nconnection lost.\n>no connect.\n>exit!\n");
    EXPECT_EQ(run.err, "COM3: COM3: not identified: the board answered 32 36\n");

    // A board that sends "2608" only after a stale byte is not the board either.
    resetFakeBoard();
    fakeBoard().identify = "260";
    run = runConsoleWith("c\n");
    EXPECT_EQ(run.out, ">connect..err.\nconnection lost.\n>exit!\n");
}

TEST_F(ConsoleTest, ConnectAgainReleasesTheHeldPortFirst)
{
    const ConsoleRun run = runConsoleWith("c\nc\nq\n");
    EXPECT_EQ(run.out, CONNECTED + CONNECTED + ">exit!\n");
    EXPECT_EQ(fakeBoard().opens, (std::vector<std::string>{"COM3", "COM3"}));
    EXPECT_EQ(fakeBoard().closes, 2);

    // A failed reconnect leaves the link unconnected.
    resetFakeBoard();
    fakeBoard().opensLeft = 1;
    const ConsoleRun again = runConsoleWith("c\nc\nb\n");
    EXPECT_EQ(again.out, CONNECTED + ">connect error.\n>no connect.\n>exit!\n");
    EXPECT_EQ(fakeBoard().closes, 1);
}

TEST_F(ConsoleTest, ASlowAdapterTimerIsToldOnceWithHowToLowerIt)
{
    // Linux: the driver's file. Told once a session, on standard error
    // only, whatever the board answered; standard output is as ever.
    fakeBoard().latency = {AdapterTimer::SYSFS_FILE, 16, "/sys/class/tty/ttyUSB0/device/latency_timer"};
    const ConsoleRun run = runConsoleWith("c\nc\nq\n");
    EXPECT_EQ(run.out, CONNECTED + CONNECTED + ">exit!\n");
    EXPECT_EQ(run.err,
              "COM3: COM3: the adapter holds each reply up to 16 ms (its latency timer), which slows "
              "every frame of l and t;\n"
              "  lower it to 1 ms with: echo 1 > /sys/class/tty/ttyUSB0/device/latency_timer (as root, "
              "until it is unplugged)\n"
              "  or for good with a udev rule in /etc/udev/rules.d: ACTION==\"add\", "
              "SUBSYSTEM==\"usb-serial\", DRIVER==\"ftdi_sio\", ATTR{latency_timer}=\"1\"\n");

    // Windows: the driver's Advanced settings.
    resetFakeBoard();
    fakeBoard().identify = "2609";
    fakeBoard().latency = {AdapterTimer::REGISTRY, 8, "HKLM\\SYSTEM\\...\\Device Parameters"};
    EXPECT_EQ(
        runConsoleWith("c\n").err,
        "COM3: COM3: not identified: the board answered 32 36 30 39\n"
        "COM3: COM3: the adapter holds each reply up to 8 ms (its latency timer), which slows every frame "
        "of l and t;\n"
        "  lower it to 1 ms in Device Manager, Ports (COM & LPT), the port's Properties, Port Settings, "
        "Advanced, Latency Timer (msec)\n");

    // Nothing to say for a timer of 2 ms or less, or a driver in low-latency mode.
    for (const AdapterLatency& quiet : {AdapterLatency{AdapterTimer::SYSFS_FILE, 2, "/sys/latency_timer"},
                                        AdapterLatency{AdapterTimer::REGISTRY, 1, "HKLM"},
                                        AdapterLatency{AdapterTimer::LOW_LATENCY, 0, ""}}) {
        resetFakeBoard();
        fakeBoard().latency = quiet;
        EXPECT_EQ(runConsoleWith("c\n").err, "");
    }
}

} // namespace
