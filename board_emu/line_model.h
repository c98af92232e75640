// The emulator's model of the serial line, as plain arithmetic on times in
// nanoseconds of the monotonic clock: the serving loop reads the clock, does
// the reading, waiting and writing, and asks this model when each byte would
// have arrived and when each reply would have reached the console.
//
// Without a line speed every byte of a burst arrives when the burst was
// noticed, and a reply goes back at once. With one, a byte takes byteNanos on
// the wire: the bytes taken at one time come off it one after the other,
// starting when they were noticed or, behind bytes that were already waiting,
// the moment the line is free; a reply starts back once its frame is in and
// the previous reply is out, and reaches the console when its last byte has.
// Time 0 of the session (of --log-writes and the session WAV) is the arrival
// of its first byte.
//
// At the computer's end of the line a USB-serial adapter (--latency-timer)
// holds the bytes it receives from the board until ADAPTER_BUFFER of them are
// waiting or its latency timer has run out since the first of them came in,
// and then passes them on together. A client that waits for each reply
// before its next frame waits out the timer once a frame.
//
// Functions: startLine, takeStart, takenBy, takeBytes, takeBurst, arrivalAt,
// replyReaches, lineReached, startAdapter, adapterPasses.
#pragma once

#include <cstddef>
#include <cstdint>

/// The bytes from the board a USB-serial adapter gathers before it passes
/// them on without waiting for its timer: one USB packet's worth (64 bytes,
/// two of them the adapter's own status).
inline constexpr std::size_t ADAPTER_BUFFER = 62;

struct LineModel {
    std::int64_t byteNanos = 0;  // time one byte takes on the line; 0 for no line model
    std::int64_t rxFree = 0;     // when the line has delivered every byte taken so far
    std::int64_t txFree = 0;     // when the line back has carried every reply so far
    bool backlog = false;        // more bytes waited behind the last ones taken: the line ran on
    std::int64_t firstByte = -1; // arrival of the session's first byte; -1 before it
    // When the bytes of the last take arrived: unpaced, all of them at
    // chunkBase; on a line, the one at pending[chunkStart + i] at
    // chunkBase + (i + 1) * byteNanos.
    std::size_t chunkStart = 0;
    std::int64_t chunkBase = 0;
};

/// A line that carries a byte in `byteNanos` (0: no line model), before its first byte.
LineModel startLine(std::int64_t byteNanos);

/// When bytes noticed waiting at `noticed` start to come off the wire: back
/// to back with the last ones taken when they waited behind them, otherwise
/// once both the line is free and they were noticed.
std::int64_t takeStart(const LineModel& line, std::int64_t noticed);

/// When the last of `count` bytes that started at `start` has come off the wire.
std::int64_t takenBy(const LineModel& line, std::int64_t start, std::size_t count);

/// Records bytes taken at the line's pace into the pending bytes at index
/// `at`: `count` of them, from `start` (see takeStart) on. `more`: further
/// bytes were already waiting behind them. The session's first bytes set its time 0.
void takeBytes(LineModel& line, std::size_t at, std::int64_t start, std::size_t count, bool more);

/// Records a burst taken at once into the pending bytes at index `at`, noticed
/// at `noticed`: without a line model, or when the line's count of waiting
/// bytes failed. The line's own account of what it delivered stays as it was.
void takeBurst(LineModel& line, std::size_t at, std::int64_t noticed);

/// When the byte before the pending byte at index `end` arrived (of the last take).
std::int64_t arrivalAt(const LineModel& line, std::size_t end);

/// When a reply of `length` bytes to a frame in at `arrival` reaches the
/// console; `arrival` itself when nothing is held (no line model, or no reply).
std::int64_t replyReaches(LineModel& line, std::int64_t arrival, std::size_t length);

/// How far the line has got at `now`: no byte still to be taken can have
/// arrived before this. The next bytes on a line that ran on follow the last
/// ones taken; any others are noticed after now.
std::int64_t lineReached(const LineModel& line, std::int64_t now);

struct AdapterModel {
    std::int64_t holdNanos = 0; // the latency timer; 0 for no adapter
    std::size_t waiting = 0;    // bytes held
    std::int64_t firstHeld = 0; // when the first of them came in
};

/// An adapter whose latency timer runs `holdNanos` (0: no adapter), holding nothing.
AdapterModel startAdapter(std::int64_t holdNanos);

/// When the last of `count` bytes from the board, which come into the adapter
/// `byteNanos` apart and the last of them at `last`, goes on to the computer:
/// at `last` without an adapter, or when its buffer fills; otherwise when the
/// timer runs out for the first byte held, on the assumption that nothing more
/// comes in meanwhile (no fuller buffer sends it sooner). Bytes that come in
/// once the timer has run out for those held start the next hold.
std::int64_t adapterPasses(AdapterModel& adapter, std::int64_t last, std::int64_t byteNanos,
                           std::size_t count);
