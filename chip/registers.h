// The register and panel operations behind the console's `o`, `ry`, `r`, `b`
// and `n`, over the device link and without any text: each sends its frames
// and returns what the board answered, and the console words the outcome.
//
// Functions: writeChipRegister, soundRhythm, stopBoard, readBacklight, sendOpN.
#pragma once

#include <cstdint>

/// The highest register number: 0x000-0x0FF is the first bank, 0x100-0x1FF the second.
inline constexpr std::uint32_t REGISTER_MAX = 0x1FF;

/// One register write: REG up to 0xFF to the first bank, 0x100 to 0x1FF to
/// the second bank's register of the same low byte. No reply.
void writeChipRegister(std::uint16_t reg, std::uint8_t value);

/// Keys on the rhythm instruments whose bits are set in `keys`, at full total
/// level and with every instrument at full level on both outputs.
void soundRhythm(std::uint8_t keys);

/// OP_STOP; true only when the board confirmed it.
bool stopBoard();

struct BacklightReply {
    bool answered = false; // the state byte came
    std::uint8_t state = 0;
};

/// OP_BACKLIGHT and the state byte the board answered.
BacklightReply readBacklight();

/// The bare OP_N frame; no reply.
void sendOpN();
