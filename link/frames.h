// The byte-frame protocol between the tool and the board: one table that both
// the console tool and the board emulator include, so that opcodes, frame
// lengths, reply lengths and status values have a single definition.
//
// A frame is one opcode byte followed by a payload whose layout the opcode
// fixes; multi-byte fields are little-endian. Frames carry no length prefix,
// checksum or terminator. A reply, where the opcode has one, is a fixed number
// of bytes: one status byte (STATUS_OK for success), the four ASCII bytes of
// the identification, or one backlight state byte.
//
// Every frame the tool sends is made by one builder per frame kind below, and
// each builder's frames are checked against FRAME_TABLE when this header is
// compiled, so no call site spells out frame bytes.
//
// Functions: findFrame (by opcode or name), matchesFrameTable, commitSize, and the
// builders stopFrame, wpResetFrame, streamDataFrame, startFrame,
// cacheWriteFrame, cacheCommitFrame, identifyFrame, bank0WriteFrame,
// bank1WriteFrame, backlightFrame, opNFrame.
#pragma once

#include "chip/ym2608.h"

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <span>
#include <string_view>

inline constexpr std::uint8_t OP_STOP = 0x00;
inline constexpr std::uint8_t OP_WP_RESET = 0x01;
inline constexpr std::uint8_t OP_STREAM_DATA = 0x02;
inline constexpr std::uint8_t OP_START = 0x03;
inline constexpr std::uint8_t OP_CACHE_WRITE = 0x09;
inline constexpr std::uint8_t OP_CACHE_COMMIT = 0x0A;
inline constexpr std::uint8_t OP_IDENTIFY = 0x10;
inline constexpr std::uint8_t OP_WRITE_BANK0 = 0x13;
inline constexpr std::uint8_t OP_WRITE_BANK1 = 0x14;
inline constexpr std::uint8_t OP_BACKLIGHT = 0x15;
inline constexpr std::uint8_t OP_N = 0x18;

/// The status byte that confirms a frame; any other value is a failure.
inline constexpr std::uint8_t STATUS_OK = 0x01;

/// The payload byte of OP_START, and of OP_BACKLIGHT.
inline constexpr std::uint8_t START_ARGUMENT = 0x02;
inline constexpr std::uint8_t BACKLIGHT_ARGUMENT = 0x00;

/// What a genuine board answers to OP_IDENTIFY, as text and as the bytes on the wire.
inline constexpr std::string_view IDENTIFY_REPLY = "2608";
inline constexpr std::array<std::uint8_t, IDENTIFY_REPLY.size()> IDENTIFY_REPLY_BYTES = [] {
    std::array<std::uint8_t, IDENTIFY_REPLY.size()> bytes{};
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        bytes[i] = static_cast<std::uint8_t>(IDENTIFY_REPLY[i]);
    }
    return bytes;
}();

/// The backlight state bytes that OP_BACKLIGHT answers.
inline constexpr std::uint8_t BACKLIGHT_OFF = 0;
inline constexpr std::uint8_t BACKLIGHT_ON = 1;

/// Most data bytes in one OP_CACHE_WRITE or OP_STREAM_DATA frame.
inline constexpr std::size_t MAX_CHUNK = 60;

/// Bytes before the data in OP_CACHE_WRITE (opcode, count, offset low, offset high)
/// and in OP_STREAM_DATA (opcode).
inline constexpr std::size_t CACHE_WRITE_HEADER = 4;
inline constexpr std::size_t STREAM_DATA_HEADER = 1;

/// The board's cache: filled by OP_CACHE_WRITE, written to chip memory by
/// OP_CACHE_COMMIT in granules of COMMIT_GRANULE bytes.
inline constexpr std::size_t CACHE_PAGE_SIZE = 8192;
inline constexpr std::size_t COMMIT_GRANULE = 512;

/// The bytes a commit of the first `bytes` of a page writes into chip memory:
/// `bytes` rounded up to whole granules, whatever the page held past them
/// going too. Everything that plans or checks commits rounds with this.
constexpr std::size_t commitSize(std::size_t bytes)
{
    return (bytes + COMMIT_GRANULE - 1) / COMMIT_GRANULE * COMMIT_GRANULE;
}

/// OP_CACHE_COMMIT's destination counts in the chip's memory units
/// (ADDRESS_UNIT bytes each, from chip/ym2608.h).

/// How the length of a frame on the wire is known.
enum class FrameLength : std::uint8_t {
    FIXED,      // always `length` bytes
    COUNT_BYTE, // `length` header bytes plus the count in the byte after the opcode
    BURST,      // `length` header bytes plus 1 to MAX_CHUNK data bytes; no length field
};

/// What the board sends back for a frame.
enum class ReplyKind : std::uint8_t {
    NONE,     // nothing; the next frame follows at once
    STATUS,   // one byte, STATUS_OK or a failure
    IDENTIFY, // four ASCII bytes
    STATE,    // one backlight state byte: 0 off, 1 on
};

struct FrameInfo {
    std::uint8_t opcode;
    std::string_view name;
    FrameLength lengthKind;
    std::uint8_t length; // the whole frame (FIXED) or its header (otherwise)
    ReplyKind reply;
    std::uint8_t replyLength;
};

inline constexpr FrameInfo FRAME_TABLE[] = {
    {OP_STOP, "OP_STOP", FrameLength::FIXED, 1, ReplyKind::STATUS, 1},
    {OP_WP_RESET, "OP_WP_RESET", FrameLength::FIXED, 1, ReplyKind::STATUS, 1},
    {OP_STREAM_DATA, "OP_STREAM_DATA", FrameLength::BURST, STREAM_DATA_HEADER, ReplyKind::STATUS, 1},
    {OP_START, "OP_START", FrameLength::FIXED, 2, ReplyKind::STATUS, 1},
    {OP_CACHE_WRITE, "OP_CACHE_WRITE", FrameLength::COUNT_BYTE, CACHE_WRITE_HEADER, ReplyKind::STATUS, 1},
    {OP_CACHE_COMMIT, "OP_CACHE_COMMIT", FrameLength::FIXED, 5, ReplyKind::STATUS, 1},
    {OP_IDENTIFY, "OP_IDENTIFY", FrameLength::FIXED, 1, ReplyKind::IDENTIFY, 4},
    {OP_WRITE_BANK0, "OP_WRITE_BANK0", FrameLength::FIXED, 3, ReplyKind::NONE, 0},
    {OP_WRITE_BANK1, "OP_WRITE_BANK1", FrameLength::FIXED, 3, ReplyKind::NONE, 0},
    {OP_BACKLIGHT, "OP_BACKLIGHT", FrameLength::FIXED, 2, ReplyKind::STATE, 1},
    {OP_N, "OP_N", FrameLength::FIXED, 1, ReplyKind::NONE, 0},
};

/// The table entry of an opcode, or nullptr for a byte that is no opcode.
constexpr const FrameInfo* findFrame(std::uint8_t opcode)
{
    for (const FrameInfo& info : FRAME_TABLE) {
        if (info.opcode == opcode) {
            return &info;
        }
    }
    return nullptr;
}

/// The table entry of an opcode name such as "OP_CACHE_WRITE", or nullptr.
constexpr const FrameInfo* findFrame(std::string_view name)
{
    for (const FrameInfo& info : FRAME_TABLE) {
        if (info.name == name) {
            return &info;
        }
    }
    return nullptr;
}

/// The longest frame of any kind: a cache write with a full chunk.
inline constexpr std::size_t MAX_FRAME = CACHE_WRITE_HEADER + MAX_CHUNK;

/// One frame as it goes on the wire: its first `size` bytes.
struct Frame {
    std::array<std::uint8_t, MAX_FRAME> bytes{};
    std::uint8_t size = 0;

    constexpr std::span<const std::uint8_t> view() const { return {bytes.data(), size}; }
};

/// True when `frame` is well-formed by its opcode's table entry: a known
/// opcode, and the length that entry fixes (for a cache write, 1 to MAX_CHUNK
/// data bytes as its count byte says; for stream data, 1 to MAX_CHUNK).
constexpr bool matchesFrameTable(const Frame& frame)
{
    if (frame.size == 0) {
        return false;
    }
    // The entry is looked up by reference, not through findFrame's pointer:
    // g++ with the undefined-behaviour sanitizer cannot compare that pointer
    // with nullptr in a constant expression.
    for (const FrameInfo& info : FRAME_TABLE) {
        if (info.opcode != frame.bytes[0]) {
            continue;
        }
        switch (info.lengthKind) {
        case FrameLength::FIXED:
            return frame.size == info.length;
        case FrameLength::COUNT_BYTE:
            return frame.size > info.length && frame.bytes[1] >= 1 && frame.bytes[1] <= MAX_CHUNK &&
                   frame.size == info.length + frame.bytes[1];
        case FrameLength::BURST:
            return frame.size > info.length && frame.size <= info.length + MAX_CHUNK;
        }
    }
    return false;
}

namespace frame_detail {

constexpr Frame fixed(std::initializer_list<std::uint8_t> bytes)
{
    Frame frame;
    std::copy(bytes.begin(), bytes.end(), frame.bytes.begin());
    frame.size = static_cast<std::uint8_t>(bytes.size());
    return frame;
}

constexpr std::uint8_t low(std::uint32_t value)
{
    return static_cast<std::uint8_t>(value & 0xFF);
}

constexpr std::uint8_t high(std::uint32_t value)
{
    return static_cast<std::uint8_t>((value >> 8) & 0xFF);
}

// A header followed by up to MAX_CHUNK data bytes; more are cut off.
constexpr Frame withData(Frame frame, std::span<const std::uint8_t> data)
{
    const std::size_t count = std::min(data.size(), MAX_CHUNK);
    std::copy_n(data.begin(), count, frame.bytes.begin() + frame.size);
    frame.size = static_cast<std::uint8_t>(frame.size + count);
    return frame;
}

} // namespace frame_detail

/// OP_STOP: stops the board's program (answers a status).
constexpr Frame stopFrame()
{
    return frame_detail::fixed({OP_STOP});
}

/// OP_WP_RESET: empties the stream buffer (answers a status).
constexpr Frame wpResetFrame()
{
    return frame_detail::fixed({OP_WP_RESET});
}

/// OP_STREAM_DATA: appends 1 to MAX_CHUNK bytes to the stream buffer.
constexpr Frame streamDataFrame(std::span<const std::uint8_t> data)
{
    return frame_detail::withData(frame_detail::fixed({OP_STREAM_DATA}), data);
}

/// OP_START: starts the board on the stream buffer.
constexpr Frame startFrame()
{
    return frame_detail::fixed({OP_START, START_ARGUMENT});
}

/// OP_CACHE_WRITE: 1 to MAX_CHUNK bytes into the cache page at byte `offset`.
constexpr Frame cacheWriteFrame(std::uint32_t offset, std::span<const std::uint8_t> data)
{
    const auto count = static_cast<std::uint8_t>(std::min(data.size(), MAX_CHUNK));
    return frame_detail::withData(
        frame_detail::fixed({OP_CACHE_WRITE, count, frame_detail::low(offset), frame_detail::high(offset)}),
        data);
}

/// OP_CACHE_COMMIT: the cache page's first `size` bytes (whole granules) into
/// chip memory from unit `destUnit`.
constexpr Frame cacheCommitFrame(std::uint32_t size, std::uint32_t destUnit)
{
    return frame_detail::fixed({OP_CACHE_COMMIT, frame_detail::low(size), frame_detail::high(size),
                                frame_detail::low(destUnit), frame_detail::high(destUnit)});
}

/// OP_IDENTIFY: the board answers IDENTIFY_REPLY.
constexpr Frame identifyFrame()
{
    return frame_detail::fixed({OP_IDENTIFY});
}

/// OP_WRITE_BANK0: one register of the chip's first bank. No reply.
constexpr Frame bank0WriteFrame(std::uint8_t reg, std::uint8_t value)
{
    return frame_detail::fixed({OP_WRITE_BANK0, reg, value});
}

/// OP_WRITE_BANK1: one register of the chip's second bank. No reply.
constexpr Frame bank1WriteFrame(std::uint8_t reg, std::uint8_t value)
{
    return frame_detail::fixed({OP_WRITE_BANK1, reg, value});
}

/// OP_BACKLIGHT: the board answers its backlight state.
constexpr Frame backlightFrame()
{
    return frame_detail::fixed({OP_BACKLIGHT, BACKLIGHT_ARGUMENT});
}

/// OP_N: the bare opcode; no reply.
constexpr Frame opNFrame()
{
    return frame_detail::fixed({OP_N});
}

namespace frame_detail {

inline constexpr std::array<std::uint8_t, MAX_CHUNK + 1> SOME_DATA{};
inline constexpr std::span<const std::uint8_t> ONE_BYTE = std::span(SOME_DATA).first(1);
inline constexpr std::span<const std::uint8_t> FULL_CHUNK = std::span(SOME_DATA).first(MAX_CHUNK);

// One frame of each builder, at the edges of its operands.
inline constexpr Frame EVERY_BUILDER[] = {
    stopFrame(),
    wpResetFrame(),
    streamDataFrame(ONE_BYTE),
    streamDataFrame(FULL_CHUNK),
    streamDataFrame(SOME_DATA), // a longer chunk is cut to MAX_CHUNK
    startFrame(),
    cacheWriteFrame(0, ONE_BYTE),
    cacheWriteFrame(CACHE_PAGE_SIZE - MAX_CHUNK, FULL_CHUNK),
    cacheWriteFrame(0, SOME_DATA), // a longer chunk is cut to MAX_CHUNK
    cacheCommitFrame(CACHE_PAGE_SIZE, SAMPLE_MEMORY_UNITS - 1),
    identifyFrame(),
    bank0WriteFrame(0x10, 0xBF),
    bank1WriteFrame(0x00, 0x01),
    backlightFrame(),
    opNFrame(),
};

// Every builder's frames are well-formed, and every opcode of the table has a builder.
constexpr bool buildersMatchTable()
{
    for (const Frame& frame : EVERY_BUILDER) {
        if (!matchesFrameTable(frame)) {
            return false;
        }
    }
    for (const FrameInfo& info : FRAME_TABLE) {
        bool built = false;
        for (const Frame& frame : EVERY_BUILDER) {
            built = built || frame.bytes[0] == info.opcode;
        }
        if (!built) {
            return false;
        }
    }
    return true;
}

} // namespace frame_detail

static_assert(frame_detail::buildersMatchTable(), "a frame builder disagrees with FRAME_TABLE");
