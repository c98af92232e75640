// The byte-frame protocol between the tool and the board: one table that both
// the console tool and the board emulator include, so that opcodes, frame
// lengths, reply lengths and status values have a single definition.
//
// A frame is one opcode byte followed by a payload whose layout the opcode
// fixes; multi-byte fields are little-endian. Frames carry no length prefix,
// checksum or terminator. A reply, where the opcode has one, is a fixed number
// of bytes: one status byte (STATUS_OK for success), the four ASCII bytes of
// the identification, or one backlight state byte.
#pragma once

#include <cstddef>
#include <cstdint>
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

/// What a genuine board answers to OP_IDENTIFY.
inline constexpr std::string_view IDENTIFY_REPLY = "2608";

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

/// The chip's ADPCM sample memory is addressed in units of 32 bytes; with
/// 8-bit-wide memory the YM2608 reaches 8192 of them (256 KiB).
inline constexpr std::size_t ADDRESS_UNIT = 32;
inline constexpr std::size_t SAMPLE_MEMORY_UNITS = 8192;
inline constexpr std::size_t SAMPLE_MEMORY_SIZE = SAMPLE_MEMORY_UNITS * ADDRESS_UNIT;

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
