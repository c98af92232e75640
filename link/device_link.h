// DeviceLink: the one serial connection to the board, held from `c` until `q`,
// and the operations every command uses to speak the frame protocol over it.
// The link is connected exactly when it holds an open port. Frames go out in
// one write each; a reply is waited for until all its bytes have come, and a
// reply cut short (an unplugged board) counts as failed, never as success.
//
// Functions: isConnected, openLink, closeLink, sendFrame, readReply,
// readStatus, writeRegister, writeBank1.
#pragma once

#include "link/frames.h"

#include <cstddef>
#include <cstdint>
#include <span>

/// True while the link holds an open port.
bool isConnected();

/// The connect command `c`: drops a port already held, opens "COM3" or else
/// "COM4", identifies the board and prints the outcome.
void openLink();

/// Closes the port if one is held. Nothing is sent to the board first.
void closeLink();

/// Sends one frame in a single write; returns the bytes written (0 when not connected).
std::size_t sendFrame(std::span<const std::uint8_t> frame);

/// Reads a reply of `reply.size()` bytes; true only when every byte came.
bool readReply(std::span<std::uint8_t> reply);

/// Reads one status byte; true only when it came and is STATUS_OK.
bool readStatus();

/// One OP_WRITE_BANK0 frame: a register of the chip's first bank. No reply.
void writeRegister(std::uint8_t reg, std::uint8_t value);

/// One OP_WRITE_BANK1 frame: a register of the chip's second bank (the ADPCM unit). No reply.
void writeBank1(std::uint8_t reg, std::uint8_t value);
