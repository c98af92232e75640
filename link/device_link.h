// DeviceLink: the one serial connection to the board, and the operations every
// program uses to speak the frame protocol over it. The link is connected
// exactly when it holds an open port. Frames go out in one write each (or a
// run of whole frames in one write); a reply is waited for until all its bytes
// have come, and a reply cut short (an unplugged board) counts as failed, never
// as success. Nothing here prints: opening and identifying return outcomes
// that each program words for its user.
//
// A link that meets a fault closes itself and keeps the fault until asked:
// the board gone (end of file, an unplugged adapter), a reply that did not
// come within the reply time limit, or a wait ended by interruptLink. Every
// later frame and reply then fails at once without touching the line, so the
// command under way ends through its own failure path, and no late reply can
// be read as the answer to a later frame.
//
// Functions: isConnected, openLink, openLinkAt, identifyLink, connectBoard,
// closeLink, linkPort, replyTimeoutFromEnvironment, setReplyTimeout,
// interruptLink, allowLinkWaits, takeLinkFault, checkLink, sendFrame,
// sendFrames, readReply, readStatus, exchangeStatus, writeRegister, writeBank1.
#pragma once

#include "link/frames.h"
#include "link/port.h"

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

/// One port the link tried to open.
struct PortAttempt {
    std::string name;   // "COM3", "COM4", or the path given to openLinkAt
    std::string device; // the device path opened
    PortFailure failure = PortFailure::NONE;
};

/// What connecting found: every port tried in order (the last one is the one
/// that opened, when `opened`), what the open found of its adapter's latency
/// timer, and the board's answer to OP_IDENTIFY.
struct ConnectOutcome {
    std::vector<PortAttempt> attempts;
    bool opened = false;
    bool identified = false;         // the reply was IDENTIFY_REPLY, whole
    std::vector<std::uint8_t> reply; // the bytes that came back, possibly fewer than due
    AdapterLatency latency;          // what the open found of the port's adapter
};

/// Why the link closed itself.
enum class LinkFault : std::uint8_t {
    NONE,
    LOST,        // the port reported the board gone
    NO_REPLY,    // a reply did not come within the reply time limit
    INTERRUPTED, // interruptLink ended a wait, or came before a frame
};

/// True while the link holds an open port.
bool isConnected();

/// Drops a port already held, then opens "COM3" or else "COM4".
ConnectOutcome openLink();

/// Drops a port already held, then opens the serial device at `path`.
ConnectOutcome openLinkAt(const char* path);

/// Sends OP_IDENTIFY on the open link and records the answer in `outcome`.
/// A board that fails the identification stays connected.
void identifyLink(ConnectOutcome& outcome);

/// openLink and, when a port opened, identifyLink.
ConnectOutcome connectBoard();

/// Closes the port if one is held. Nothing is sent to the board first.
void closeLink();

/// The held port (INVALID_PORT when not connected), for the port's speed,
/// its output queue and draining.
PortHandle linkPort();

/// The environment variable that bounds each reply's wait, in every program.
inline constexpr const char* REPLY_TIMEOUT_VARIABLE = "YM2608_REPLY_TIMEOUT_MS";

/// The reply time limit REPLY_TIMEOUT_VARIABLE asks for: NO_TIMEOUT when it
/// is unset or empty, else its positive decimal number of milliseconds.
/// False for anything else (the program refuses to start).
bool replyTimeoutFromEnvironment(int& ms);

/// Bounds the wait for each reply, from its frame's write to the reply's last
/// byte, to `ms` milliseconds; NO_TIMEOUT (the default) waits for ever.
void setReplyTimeout(int ms);

/// For a signal handler (async-signal-safe): ends the wait under way, and
/// refuses frames until allowLinkWaits; the link then closes with INTERRUPTED.
void interruptLink();

/// Lets frames and replies run again after interruptLink.
void allowLinkWaits();

/// The fault that closed the link since the last call (NONE if none), and forgets it.
LinkFault takeLinkFault();

/// Looks, without waiting, whether the board is still on the line: when the
/// port reports it gone, the link closes itself with LOST, as a failed read
/// would. True while connected.
bool checkLink();

/// Sends one frame in a single write; returns the bytes written (0 when not connected).
std::size_t sendFrame(const Frame& frame);

/// Sends whole frames back to back in a single write; returns the bytes written.
std::size_t sendFrames(std::span<const Frame> frames);

/// Reads a reply of `reply.size()` bytes; true only when every byte came.
bool readReply(std::span<std::uint8_t> reply);

/// Reads one status byte; true only when it came and is STATUS_OK.
bool readStatus();

/// Sends `frame` and reads its status byte; true only on STATUS_OK.
bool exchangeStatus(const Frame& frame);

/// One OP_WRITE_BANK0 frame: a register of the chip's first bank. No reply.
void writeRegister(std::uint8_t reg, std::uint8_t value);

/// One OP_WRITE_BANK1 frame: a register of the chip's second bank (the ADPCM unit). No reply.
void writeBank1(std::uint8_t reg, std::uint8_t value);
