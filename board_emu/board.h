// The board's side of the frame protocol, without any terminal: the emulator's
// serving loop hands it the bytes that came in, it tells how long the next
// frame is, carries the frame out on the board's state and says what to answer.
// The state is what a real board keeps: the 8192-byte cache, the chip's sample
// memory of 8192 units of 32 bytes, both register banks, the stream buffer
// filled between OP_WP_RESET and OP_START, and the backlight. Scripted faults
// (a wrong status byte, a reply cut short, a hang-up after some frames) are
// applied here too, so that the unit tests reach every path in-process.
//
// Functions: resetBoard, boardState, frameLength, handleFrame.
#pragma once

#include "synth/adpcm.h"
#include "chip/ym2608.h"
#include "link/frames.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

/// Bytes the stream buffer holds; a data frame that would go past it is refused.
inline constexpr std::size_t STREAM_BUFFER_SIZE = 32768;

/// Registers in each of the chip's two banks.
inline constexpr std::size_t BANK_SIZE = 256;

/// How many ADPCM start commands the board remembers, oldest first.
inline constexpr std::size_t PLAY_HISTORY = 4096;

/// The longest reply of any frame (the identification).
inline constexpr std::size_t MAX_REPLY = IDENTIFY_REPLY.size();

/// A scripted misbehaviour for the `ordinal`-th frame (counted from 1) of one
/// opcode. A fail rule answers `reply` instead of the due reply; a short rule
/// answers fewer bytes than due and then hangs up. Either way the frame is not
/// carried out: the board refused it.
struct FaultRule {
    std::uint8_t opcode = 0;
    std::uint32_t ordinal = 0;
    bool shortReply = false;
    std::uint8_t reply = 0x00;
};

/// How the board behaves, fixed for its whole run.
struct BoardSetup {
    std::array<std::uint8_t, IDENTIFY_REPLY.size()> identify = IDENTIFY_REPLY_BYTES;
    std::uint8_t backlight = BACKLIGHT_ON;
    std::vector<FaultRule> faults;
    /// Unplug once this many frames have been answered (nullopt: never).
    std::optional<std::uint32_t> hangupAfter;
};

struct BoardState {
    std::array<std::uint8_t, CACHE_PAGE_SIZE> cache{};
    std::array<std::uint8_t, SAMPLE_MEMORY_SIZE> memory{};
    std::array<std::uint8_t, BANK_SIZE> bank0{};
    std::array<std::uint8_t, BANK_SIZE> bank1{};
    /// The stream buffer up to its write pointer.
    std::vector<std::uint8_t> stream;
    std::uint8_t backlight = BACKLIGHT_ON;
    /// True between a confirmed OP_START and the next OP_STOP.
    bool running = false;
    /// Frames seen so far, per opcode (fault rules count against these).
    std::array<std::uint32_t, 256> seen{};
    /// Frames answered so far, all opcodes together.
    std::uint32_t frames = 0;
    /// The second bank's ADPCM registers as the renderer reads them, folded
    /// from every bank-1 write: the one model of that unit's set-up.
    synth::AdpcmRegisters adpcm;
    /// Where the next byte written through the ADPCM data register
    /// (ADPCM_MEMORY_DATA) goes in sample memory, and whether it is still to be
    /// taken from the start address (after a write to control 1 or to the start address).
    std::size_t adpcmWriteAddress = 0;
    bool adpcmWriteFromStart = true;
    /// The ADPCM registers at every start command (control 1 written with
    /// start set), in order, up to PLAY_HISTORY of them.
    std::vector<synth::AdpcmRegisters> plays;
};

/// What the serving loop does with one frame.
struct FrameOutcome {
    std::array<std::uint8_t, MAX_REPLY> reply{};
    std::size_t replyLength = 0;
    /// The byte is no opcode: it was dropped and nothing is answered.
    bool dropped = false;
    /// Close the terminal once the reply is out (a reply cut short).
    bool hangUp = false;
    /// The board is unplugged right after this frame: close the terminal when
    /// anything more arrives. The tool writes its next frame only once it has
    /// read this reply, so the reply is never lost in the hang-up.
    bool unplugNext = false;
    /// The frame is a bank-1 write that starts playback from memory (start and
    /// memory data set, reset clear) with the registers now in `adpcm`.
    bool adpcmStart = false;
    /// The bytes of sample memory a commit, or a write to the ADPCM data
    /// register in memory-write mode, changed: from byte `committedOffset`,
    /// `committedSize` of them (0 when the frame changed no memory).
    std::size_t committedOffset = 0;
    std::size_t committedSize = 0;
    /// One line in the board's terms, e.g. "commit 1024 bytes to unit 0".
    std::string text;
};

/// Powers the board up afresh: cache, memory and registers cleared, stream
/// buffer empty, counters at zero, behaviour taken from `setup`.
void resetBoard(const BoardSetup& setup);

/// The board's state, for dumps at exit, for tests and for rendering playback.
const BoardState& boardState();

/// Length of the frame at the start of `pending`, or 0 while it has not all
/// come. A byte that is no opcode counts as a frame of one byte (handleFrame
/// drops it). OP_STREAM_DATA has no length field: the frame is all of
/// `pending`, at most MAX_CHUNK data bytes, so the caller passes one burst.
std::size_t frameLength(std::span<const std::uint8_t> pending);

/// Carries out one whole frame (as measured by frameLength) and says what to answer.
FrameOutcome handleFrame(std::span<const std::uint8_t> frame);
