// The quiet board library as another program uses it, without the console:
// connect outcomes, the memory writer's accounting and progress, whole frames
// sent back to back, and the loader and the data file transfer returning their
// outcomes without a byte of console text.
#include "link/device_link.h"
#include "link/memory_writer.h"
#include "link/port_fake.h"
#include "samples/samples.h"
#include "tests/console_harness.h"
#include "transfer/transfer.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

class LibraryTest : public ::testing::Test {
  protected:
    void SetUp() override { resetFakeBoard(); }
    void TearDown() override { closeLink(); }
};

TEST_F(LibraryTest, ConnectOutcomeNamesEveryPortTriedAndWhyItFailed)
{
    fakeBoard().presentPorts = {"COM4"};
    fakeBoard().refusals["COM3"] = PortFailure::PERMISSION;
    fakeBoard().identify = "26";
    ConnectOutcome outcome = connectBoard();
    ASSERT_EQ(outcome.attempts.size(), 2U);
    EXPECT_EQ(outcome.attempts[0].name, "COM3");
    EXPECT_EQ(outcome.attempts[0].failure, PortFailure::PERMISSION);
    EXPECT_EQ(outcome.attempts[1].name, "COM4");
    EXPECT_EQ(outcome.attempts[1].failure, PortFailure::NONE);
    EXPECT_TRUE(outcome.opened);
    EXPECT_FALSE(outcome.identified);
    EXPECT_EQ(outcome.reply, (Bytes{'2', '6'})) << "the bytes that came, not the bytes due";
    // The reply ended short with the board gone: the link closed itself.
    EXPECT_FALSE(isConnected());
    EXPECT_EQ(takeLinkFault(), LinkFault::LOST);
    EXPECT_EQ(takeLinkFault(), LinkFault::NONE) << "a fault is reported once";

    // An explicit device path is tried alone, under its own name.
    resetFakeBoard();
    outcome = openLinkAt("/dev/ttyUSB7");
    ASSERT_EQ(outcome.attempts.size(), 1U);
    EXPECT_EQ(outcome.attempts[0].device, "/dev/ttyUSB7");
    EXPECT_EQ(outcome.attempts[0].failure, PortFailure::NO_DEVICE);
    EXPECT_FALSE(outcome.opened);
    EXPECT_FALSE(isConnected());
}

struct ProgressLog {
    std::vector<std::size_t> done;
    std::size_t total = 0;
};

void record(void* context, std::size_t done, std::size_t total)
{
    auto& log = *static_cast<ProgressLog*>(context);
    log.done.push_back(done);
    log.total = total;
}

TEST_F(LibraryTest, MemoryWriterCountsOnlyConfirmedCommitsAsCommitted)
{
    ASSERT_TRUE(connectBoard().identified);
    const Bytes data(20000, 0x5A);
    ProgressLog log;
    MemoryWriteResult result = writeMemory(data, 100, record, &log);
    EXPECT_EQ(result.stop, MemoryWriteStop::COMPLETE);
    EXPECT_EQ(result.committed, 20000U);
    EXPECT_EQ(log.done.size(), framesOf(OP_CACHE_WRITE).size()) << "one call per chunk";
    EXPECT_EQ(log.done.back(), 20000U);
    EXPECT_EQ(log.total, 20000U);
    // Pages land one after another from the start unit: 100, 356, 612.
    const std::vector<Bytes> commits = framesOf(OP_CACHE_COMMIT);
    ASSERT_EQ(commits.size(), 3U);
    EXPECT_EQ(commits[2], (Bytes{OP_CACHE_COMMIT, 0x00, 0x10, 0x64, 0x02})) << "3616 bytes: 8 granules";

    // The second commit refused: the first page is in chip memory, the second
    // only reached the cache.
    resetFakeBoard();
    ASSERT_TRUE(connectBoard().identified);
    failFrame(OP_CACHE_COMMIT, 2, 0x00);
    result = writeMemory(data, 0);
    EXPECT_EQ(result.stop, MemoryWriteStop::COMMIT_FAILED);
    EXPECT_EQ(result.committed, CACHE_PAGE_SIZE);
    EXPECT_EQ(result.accepted, 2 * CACHE_PAGE_SIZE - 32) << "the page's last chunk is not counted";

    // A cache write refused before any commit: nothing committed.
    resetFakeBoard();
    ASSERT_TRUE(connectBoard().identified);
    failFrame(OP_CACHE_WRITE, 3, 0x00);
    result = writeMemory(data, 0);
    EXPECT_EQ(result.stop, MemoryWriteStop::CACHE_WRITE_FAILED);
    EXPECT_EQ(result.committed, 0U);
    EXPECT_EQ(result.accepted, 2 * MAX_CHUNK);

    // A stop asked after the third chunk: the writer ends there, between
    // frames, with that chunk confirmed and nothing more sent.
    resetFakeBoard();
    ASSERT_TRUE(connectBoard().identified);
    log = ProgressLog{};
    result = writeMemory(data, 0, record, &log,
                         [](void* context) { return static_cast<ProgressLog*>(context)->done.size() < 3; });
    EXPECT_EQ(result.stop, MemoryWriteStop::STOPPED);
    EXPECT_EQ(result.accepted, 3 * MAX_CHUNK);
    EXPECT_EQ(framesOf(OP_CACHE_WRITE).size(), 3U);
    EXPECT_TRUE(framesOf(OP_CACHE_COMMIT).empty());
}

TEST_F(LibraryTest, MemoryWriterRefusesWritesPastTheChipsMemoryBeforeSendingAnything)
{
    ASSERT_TRUE(connectBoard().identified);
    const std::size_t framesBefore = fakeBoard().frames.size();
    // 513 bytes commit two granules: 32 units, one more than fit above unit 8161.
    const MemoryWriteResult result = writeMemory(Bytes(513, 1), SAMPLE_MEMORY_UNITS - 31);
    EXPECT_EQ(result.stop, MemoryWriteStop::PAST_MEMORY_END);
    EXPECT_EQ(fakeBoard().frames.size(), framesBefore);
    // Exactly up to the end is fine.
    EXPECT_EQ(writeMemory(Bytes(513, 1), SAMPLE_MEMORY_UNITS - 32).stop, MemoryWriteStop::COMPLETE);
}

TEST_F(LibraryTest, LoaderAndTransferReturnOutcomesAndPrintNothing)
{
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    resetSampleMemory();
    clearSlotTable();
    ASSERT_TRUE(connectBoard().identified);
    const std::string probe = scratchFile("probe.bin", 1);
    const std::string dir = probe.substr(0, probe.rfind('/'));

    Bytes bytes;
    EXPECT_EQ(readSample((dir + "/absent.bin").c_str(), bytes), SampleRead::OPEN_FAILED);
    EXPECT_EQ(readSample(scratchFile("empty.bin", 0).c_str(), bytes), SampleRead::EMPTY);
    ASSERT_EQ(readSample(scratchFile("kick.bin", 1000).c_str(), bytes), SampleRead::READ);
    EXPECT_EQ(bytes, patternBytes(1000));
    ProgressLog log;
    SampleStore store = storeSample(bytes, 7, record, &log);
    EXPECT_EQ(store.stop, MemoryWriteStop::COMPLETE);
    EXPECT_EQ(store.record.start, 0U);
    EXPECT_EQ(store.record.length, 32U);
    EXPECT_EQ(log.done.size(), 17U) << "every chunk is reported; the caller paces the drawing";
    EXPECT_EQ(nextSampleUnit(), 32U);
    EXPECT_EQ(playSlot(7), SlotPlay::STARTED);
    EXPECT_EQ(playSlot(8), SlotPlay::EMPTY);

    // The writer's refusal stands for the loader's: nothing sent, slot 8 untouched.
    const std::size_t framesBefore = fakeBoard().frames.size();
    store = storeSample(Bytes(MAX_SAMPLE_FILE, 1), 8);
    EXPECT_EQ(store.stop, MemoryWriteStop::PAST_MEMORY_END);
    EXPECT_FALSE(findSlot(8).loaded);
    EXPECT_EQ(fakeBoard().frames.size(), framesBefore);
    EXPECT_EQ(nextSampleUnit(), 32U);

    EXPECT_EQ(transferDataFile((dir + "/absent.bin").c_str()), TransferStop::OPEN_FAILED);
    EXPECT_EQ(transferDataFile(scratchFile("short.bin", 255).c_str()), TransferStop::TOO_SHORT);
    const std::string data = scratchFile("data.bin", 1000);
    log = ProgressLog{};
    EXPECT_EQ(transferDataFile(data.c_str(), record, &log), TransferStop::COMPLETE);
    EXPECT_EQ(log.done.size(), 16U) << "one call per confirmed data frame";
    EXPECT_EQ(log.done.back(), 936U);
    EXPECT_EQ(log.total, 936U);
    struct Failure {
        std::uint8_t opcode;
        TransferStop stop;
    };
    for (const Failure f :
         {Failure{OP_STOP, TransferStop::STOP_FAILED}, Failure{OP_WP_RESET, TransferStop::WP_RESET_FAILED},
          Failure{OP_STREAM_DATA, TransferStop::WRITE_FAILED},
          Failure{OP_START, TransferStop::START_FAILED}}) {
        resetFakeBoard();
        ASSERT_TRUE(connectBoard().identified);
        failFrame(f.opcode, 1, 0x00);
        EXPECT_EQ(transferDataFile(data.c_str()), f.stop);
    }

    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
}

TEST_F(LibraryTest, SeveralFramesGoOutInOneWrite)
{
    ASSERT_TRUE(connectBoard().identified);
    const Frame frames[] = {bank0WriteFrame(0x28, 0x00), bank1WriteFrame(0x00, 0x01)};
    EXPECT_EQ(sendFrames(frames), 6U);
    EXPECT_EQ(fakeBoard().frames.back(), (Bytes{OP_WRITE_BANK0, 0x28, 0x00, OP_WRITE_BANK1, 0x00, 0x01}));
}

} // namespace
