// The board's frame handling, driven through frameLength and handleFrame as
// the serving loop drives them.
#include "board_emu/board.h"

#include <gtest/gtest.h>

#include <numeric>
#include <vector>

namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes cacheWrite(std::uint16_t offset, const Bytes& data)
{
    Bytes f{OP_CACHE_WRITE, static_cast<std::uint8_t>(data.size()), static_cast<std::uint8_t>(offset),
            static_cast<std::uint8_t>(offset >> 8)};
    f.reserve(f.size() + data.size()); // spares g++ 12 a false -Warray-bounds in the insert
    f.insert(f.end(), data.begin(), data.end());
    return f;
}

Bytes commit(std::uint16_t size, std::uint16_t unit)
{
    return {OP_CACHE_COMMIT, static_cast<std::uint8_t>(size), static_cast<std::uint8_t>(size >> 8),
            static_cast<std::uint8_t>(unit), static_cast<std::uint8_t>(unit >> 8)};
}

Bytes streamData(const Bytes& data)
{
    Bytes f{OP_STREAM_DATA};
    f.reserve(f.size() + data.size());
    f.insert(f.end(), data.begin(), data.end());
    return f;
}

Bytes pattern(std::size_t size, std::uint8_t seed)
{
    Bytes b(size);
    for (std::size_t i = 0; i < size; ++i) {
        b[i] = static_cast<std::uint8_t>(seed + i * 7 + (i >> 8));
    }
    return b;
}

// The status byte answered, or -1 when nothing (or more than a byte) was.
int status(const FrameOutcome& out)
{
    return out.replyLength == 1 ? out.reply[0] : -1;
}

// Writes `data` through the cache in frames of 60 bytes and commits it to
// `unit` with the size rounded up to 512, as the tool's loader does for a page.
void loadPage(const Bytes& data, std::uint16_t unit)
{
    for (std::size_t at = 0; at < data.size(); at += MAX_CHUNK) {
        std::size_t n = std::min(MAX_CHUNK, data.size() - at);
        Bytes chunk(data.begin() + static_cast<std::ptrdiff_t>(at),
                    data.begin() + static_cast<std::ptrdiff_t>(at + n));
        ASSERT_EQ(status(handleFrame(cacheWrite(static_cast<std::uint16_t>(at), chunk))), STATUS_OK);
    }
    std::size_t size = (data.size() + COMMIT_GRANULE - 1) / COMMIT_GRANULE * COMMIT_GRANULE;
    ASSERT_EQ(status(handleFrame(commit(static_cast<std::uint16_t>(size), unit))), STATUS_OK);
}

bool memoryHolds(std::size_t unit, const Bytes& data)
{
    const auto& m = boardState().memory;
    return std::equal(data.begin(), data.end(), m.begin() + static_cast<std::ptrdiff_t>(unit * ADDRESS_UNIT));
}

class Board : public ::testing::Test {
  protected:
    void SetUp() override { resetBoard(BoardSetup{}); }
};

TEST(FrameLength, SplitsByTheFrameTable)
{
    Bytes bank0{OP_WRITE_BANK0, 0x2d, 0x0f, OP_STOP};
    EXPECT_EQ(frameLength(bank0), 3u);
    EXPECT_EQ(frameLength(std::span(bank0).first(2)), 0u) << "a fixed frame waits for all its bytes";
    EXPECT_EQ(frameLength(std::span(bank0).subspan(3)), 1u);
    Bytes start{OP_START, START_ARGUMENT};
    EXPECT_EQ(frameLength(start), 2u);
    EXPECT_EQ(frameLength(commit(1024, 0)), 5u);
    EXPECT_EQ(frameLength(Bytes{}), 0u);

    Bytes write = cacheWrite(960, pattern(40, 1));
    write.push_back(OP_N);
    EXPECT_EQ(frameLength(write), 44u) << "a cache write is as long as its count byte says";
    EXPECT_EQ(frameLength(std::span(write).first(1)), 0u);
    EXPECT_EQ(frameLength(std::span(write).first(43)), 0u);

    EXPECT_EQ(frameLength(streamData(pattern(36, 2))), 37u) << "a data frame is the whole burst";
    EXPECT_EQ(frameLength(streamData(pattern(90, 2))), 61u) << "but at most 60 data bytes";
    EXPECT_EQ(frameLength(Bytes{0x7f, 0x10}), 1u) << "a byte that is no opcode goes alone";
}

TEST_F(Board, CacheWritesAndCommitsPlaceASampleInMemory)
{
    Bytes first = pattern(1000, 3);
    Bytes second = pattern(1000, 99);
    loadPage(first, 0);
    loadPage(second, 32);
    EXPECT_TRUE(memoryHolds(0, first));
    EXPECT_TRUE(memoryHolds(32, second)) << "the second commit overwrites the first one's rounding tail";

    Bytes page = pattern(CACHE_PAGE_SIZE, 5);
    loadPage(page, SAMPLE_MEMORY_UNITS - CACHE_PAGE_SIZE / ADDRESS_UNIT);
    EXPECT_TRUE(memoryHolds(SAMPLE_MEMORY_UNITS - 256, page)) << "a full page fits at the very end";
    EXPECT_TRUE(memoryHolds(0, first));
}

TEST_F(Board, RefusesCacheWritesOutsideThePage)
{
    Bytes data = pattern(60, 7);
    FrameOutcome past = handleFrame(cacheWrite(8160, data));
    EXPECT_EQ(status(past), 0x00);
    EXPECT_EQ(past.text, "cache write 60 bytes at offset 8160: past the page end, answered 0x00");
    EXPECT_EQ(status(handleFrame(cacheWrite(8132, data))), STATUS_OK)
        << "ending exactly at the page end is fine";

    Bytes zero{OP_CACHE_WRITE, 0, 0, 0};
    EXPECT_EQ(status(handleFrame(zero)), 0x00);
    Bytes tooLong = cacheWrite(0, pattern(61, 1));
    EXPECT_EQ(status(handleFrame(tooLong)), 0x00);
    EXPECT_EQ(boardState().cache[0], 0) << "refused writes store nothing";
}

TEST_F(Board, RefusedCommitsWriteNothing)
{
    handleFrame(cacheWrite(0, pattern(60, 9)));
    const char* expected[] = {
        "commit 1000 bytes to unit 0: not a multiple of 512, answered 0x00",
        "commit 8704 bytes to unit 0: larger than the cache, answered 0x00",
        "commit 1024 bytes to unit 8176: past the end of sample memory, answered 0x00",
        "commit 512 bytes to unit 65535: past the end of sample memory, answered 0x00",
    };
    Bytes frames[] = {commit(1000, 0), commit(8704, 0), commit(1024, 8176), commit(512, 0xFFFF)};
    for (std::size_t i = 0; i < std::size(frames); ++i) {
        FrameOutcome out = handleFrame(frames[i]);
        EXPECT_EQ(status(out), 0x00);
        EXPECT_EQ(out.text, expected[i]);
    }
    const auto& m = boardState().memory;
    EXPECT_TRUE(std::all_of(m.begin(), m.end(), [](std::uint8_t b) { return b == 0; }));
    EXPECT_EQ(status(handleFrame(commit(512, 8176))), STATUS_OK) << "the last 16 units take one granule";
}

TEST_F(Board, StreamBufferFillsAfterWpReset)
{
    Bytes a = pattern(60, 1);
    Bytes b = pattern(36, 2);
    EXPECT_EQ(status(handleFrame(Bytes{OP_STOP})), STATUS_OK);
    handleFrame(streamData(pattern(10, 0)));
    EXPECT_EQ(status(handleFrame(Bytes{OP_WP_RESET})), STATUS_OK);
    EXPECT_TRUE(boardState().stream.empty()) << "wp reset empties the stream buffer";
    EXPECT_EQ(status(handleFrame(streamData(a))), STATUS_OK);
    FrameOutcome second = handleFrame(streamData(b));
    EXPECT_EQ(second.text, "stream 36 bytes at 60");
    FrameOutcome start = handleFrame(Bytes{OP_START, START_ARGUMENT});
    EXPECT_EQ(status(start), STATUS_OK);
    EXPECT_EQ(start.text, "start 0x02 on 96 stream bytes");
    EXPECT_TRUE(boardState().running);

    Bytes expected = a;
    expected.insert(expected.end(), b.begin(), b.end());
    EXPECT_EQ(boardState().stream, expected);

    EXPECT_EQ(status(handleFrame(Bytes{OP_START, 0x01})), 0x00);
    EXPECT_EQ(status(handleFrame(Bytes{OP_STREAM_DATA})), 0x00) << "a data frame with no data";
}

TEST_F(Board, StreamBufferRefusesOverflow)
{
    handleFrame(Bytes{OP_WP_RESET});
    Bytes chunk = pattern(MAX_CHUNK, 4);
    std::size_t accepted = 0;
    while (status(handleFrame(streamData(chunk))) == STATUS_OK) {
        accepted += chunk.size();
        ASSERT_LE(accepted, STREAM_BUFFER_SIZE);
    }
    EXPECT_EQ(accepted, STREAM_BUFFER_SIZE / MAX_CHUNK * MAX_CHUNK);
    EXPECT_EQ(boardState().stream.size(), accepted);
}

TEST_F(Board, AnswersIdentifyAndBacklightAsSetUp)
{
    FrameOutcome id = handleFrame(Bytes{OP_IDENTIFY});
    ASSERT_EQ(id.replyLength, 4u);
    EXPECT_EQ(std::string(id.reply.begin(), id.reply.end()), "2608");
    EXPECT_EQ(status(handleFrame(Bytes{OP_BACKLIGHT, BACKLIGHT_ARGUMENT})), 1);

    BoardSetup setup;
    setup.identify = {'2', '6', '0', '9'};
    setup.backlight = 0;
    resetBoard(setup);
    id = handleFrame(Bytes{OP_IDENTIFY});
    EXPECT_EQ(std::string(id.reply.begin(), id.reply.end()), "2609");
    FrameOutcome light = handleFrame(Bytes{OP_BACKLIGHT, BACKLIGHT_ARGUMENT});
    EXPECT_EQ(status(light), 0);
    EXPECT_EQ(light.text, "backlight 0x00, state 0 (off)");
}

TEST_F(Board, RegisterWritesKeepBothBanksAndRecordPlays)
{
    FrameOutcome n = handleFrame(Bytes{OP_N});
    EXPECT_EQ(n.replyLength, 0u);
    EXPECT_EQ(handleFrame(Bytes{OP_WRITE_BANK0, 0x2d, 0x0f}).text, "bank 0: 0x2d <- 0x0f");
    EXPECT_EQ(handleFrame(Bytes{OP_WRITE_BANK0, 0x10, 0x3f}).text,
              "bank 0: 0x10 <- 0x3f, rhythm key-on 0x3f");
    EXPECT_EQ(handleFrame(Bytes{OP_WRITE_BANK0, 0x18, 0xdf}).text,
              "bank 0: 0x18 <- 0xdf, rhythm bass drum left+right, level 0x1f");
    EXPECT_EQ(boardState().bank0[0x2d], 0x0f);

    // The set-up and start of playing a 32-unit sample at unit 300.
    const std::uint8_t play[][2] = {{0x00, 0x20}, {0x00, 0x21}, {0x09, 0xcd}, {0x0a, 0x49},
                                    {0x0b, 0xff}, {0x01, 0xc2}, {0x00, 0x21}, {0x02, 0x2c},
                                    {0x03, 0x01}, {0x04, 0x4b}, {0x05, 0x01}};
    for (const auto& w : play) {
        FrameOutcome out = handleFrame(Bytes{OP_WRITE_BANK1, w[0], w[1]});
        EXPECT_EQ(out.replyLength, 0u);
    }
    EXPECT_TRUE(boardState().plays.empty());
    FrameOutcome start = handleFrame(Bytes{OP_WRITE_BANK1, 0x00, 0xa0});
    EXPECT_EQ(start.text, "bank 1: 0x00 <- 0xa0, ADPCM start, units 300..331");
    ASSERT_EQ(boardState().plays.size(), 1u);
    const synth::AdpcmRegisters& p = boardState().plays[0];
    EXPECT_EQ(p.start, 300);
    EXPECT_EQ(p.stop, 331);
    EXPECT_EQ(p.deltaN, 0x49cd);
    EXPECT_EQ(p.level, 0xff);
    EXPECT_EQ(p.control2, 0xc2);
    EXPECT_EQ(boardState().bank1[0x00], 0xa0);
}

TEST_F(Board, DropsBytesThatAreNoOpcode)
{
    FrameOutcome out = handleFrame(Bytes{0x7f});
    EXPECT_TRUE(out.dropped);
    EXPECT_EQ(out.replyLength, 0u);
    EXPECT_EQ(out.text, "unknown opcode 0x7f dropped");
    EXPECT_EQ(boardState().frames, 0u);
}

TEST_F(Board, FailRulesAnswerTheKthFrameOfAnOpcode)
{
    BoardSetup setup;
    setup.faults.push_back({OP_CACHE_WRITE, 3, false, 0x00});
    setup.faults.push_back({OP_CACHE_COMMIT, 1, false, 0x7e});
    setup.faults.push_back({OP_IDENTIFY, 2, false, 0x30});
    resetBoard(setup);
    Bytes data = pattern(60, 11);
    for (std::uint16_t k = 1; k <= 4; ++k) {
        handleFrame(Bytes{OP_N}); // other opcodes do not count
        FrameOutcome out = handleFrame(cacheWrite(static_cast<std::uint16_t>(60 * (k - 1)), data));
        EXPECT_EQ(status(out), k == 3 ? 0x00 : STATUS_OK) << "cache write " << k;
    }
    EXPECT_EQ(boardState().cache[120], 0) << "the refused third chunk was not stored";
    EXPECT_EQ(boardState().cache[180], data[0]);

    FrameOutcome refused = handleFrame(commit(512, 0));
    EXPECT_EQ(status(refused), 0x7e);
    EXPECT_EQ(refused.text, "commit 512 bytes to unit 0: refused as scripted, answered 0x7e");
    EXPECT_EQ(boardState().memory[0], 0);
    EXPECT_EQ(status(handleFrame(commit(512, 0))), STATUS_OK);

    EXPECT_EQ(handleFrame(Bytes{OP_IDENTIFY}).reply[0], '2');
    FrameOutcome second = handleFrame(Bytes{OP_IDENTIFY});
    EXPECT_EQ(std::string(second.reply.begin(), second.reply.end()), "0000");
}

TEST_F(Board, ShortRulesAndHangupEndTheLine)
{
    BoardSetup setup;
    setup.faults.push_back({OP_WP_RESET, 1, true, 0});
    setup.faults.push_back({OP_IDENTIFY, 1, true, 0});
    resetBoard(setup);
    FrameOutcome id = handleFrame(Bytes{OP_IDENTIFY});
    EXPECT_EQ(id.replyLength, 3u);
    EXPECT_EQ(std::string(id.reply.begin(), id.reply.begin() + 3), "260");
    EXPECT_TRUE(id.hangUp);
    FrameOutcome wp = handleFrame(Bytes{OP_WP_RESET});
    EXPECT_EQ(wp.replyLength, 0u) << "a short status reply is no byte at all";
    EXPECT_TRUE(wp.hangUp);
    EXPECT_EQ(wp.text, "wp reset, 0 stream bytes dropped: answered 0 of 1 bytes, hanging up");

    setup = BoardSetup{};
    setup.hangupAfter = 3;
    resetBoard(setup);
    EXPECT_FALSE(handleFrame(Bytes{OP_WRITE_BANK0, 0x10, 0x01}).unplugNext);
    EXPECT_FALSE(handleFrame(Bytes{0x55}).unplugNext) << "a dropped byte is no frame";
    EXPECT_FALSE(handleFrame(Bytes{OP_N}).unplugNext);
    FrameOutcome third = handleFrame(Bytes{OP_STOP});
    EXPECT_TRUE(third.unplugNext);
    EXPECT_FALSE(third.hangUp);
    EXPECT_EQ(status(third), STATUS_OK) << "the K-th frame is still answered";
    EXPECT_EQ(third.text, "stop, then unplugged");
}

} // namespace

TEST_F(Board, AdpcmDataRegisterWritesMemoryInMemoryWriteModeOnly)
{
    // Outside memory-write mode the data register changes no memory.
    FrameOutcome ignored = handleFrame(Bytes{OP_WRITE_BANK1, 0x08, 0x11});
    EXPECT_EQ(ignored.committedSize, 0u);
    // Reset, memory-write mode, 8-bit memory, units 5..5, then 34 bytes: the
    // first 32 fill unit 5, the two past the stop unit are dropped.
    const std::uint8_t setUp[][2] = {{0x00, 0x01}, {0x00, 0x60}, {0x01, 0x02}, {0x02, 0x05},
                                     {0x03, 0x00}, {0x04, 0x05}, {0x05, 0x00}};
    for (const auto& w : setUp) {
        handleFrame(Bytes{OP_WRITE_BANK1, w[0], w[1]});
    }
    for (int i = 0; i < 34; ++i) {
        FrameOutcome out = handleFrame(Bytes{OP_WRITE_BANK1, 0x08, static_cast<std::uint8_t>(0xA0 + i)});
        EXPECT_EQ(out.committedSize, i < 32 ? 1u : 0u) << i;
        if (i < 32) {
            EXPECT_EQ(out.committedOffset, 5u * 32 + static_cast<unsigned>(i));
        } else {
            EXPECT_EQ(out.text, std::string("bank 1: 0x08 <- 0x") + (i == 32 ? "c0" : "c1") +
                                    ", ADPCM memory write past the stop unit, dropped");
        }
    }
    const BoardState& s = boardState();
    EXPECT_EQ(s.memory[5 * 32 - 1], 0x00);
    for (int i = 0; i < 32; ++i) {
        EXPECT_EQ(s.memory[static_cast<std::size_t>(5 * 32 + i)], 0xA0 + i);
    }
    EXPECT_EQ(s.memory[6 * 32], 0x00);
    EXPECT_EQ(handleFrame(Bytes{OP_WRITE_BANK1, 0x08, 0x11}).committedSize, 0u);
    // A new start address starts the writes there again; a reset stops them.
    handleFrame(Bytes{OP_WRITE_BANK1, 0x02, 0x05});
    EXPECT_EQ(handleFrame(Bytes{OP_WRITE_BANK1, 0x08, 0x55}).committedOffset, 5u * 32);
    EXPECT_EQ(boardState().memory[5 * 32], 0x55);
    handleFrame(Bytes{OP_WRITE_BANK1, 0x00, 0x61});
    EXPECT_EQ(handleFrame(Bytes{OP_WRITE_BANK1, 0x08, 0x66}).committedSize, 0u);
}
