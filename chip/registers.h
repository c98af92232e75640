// The register and panel operations behind the console's `o`, `ry`, `r`, `b`
// and `n`, over the device link and without any text: each sends its frames
// and returns what the board answered, and the console words the outcome.
//
// Functions: writeChipRegister, soundRhythm, stopBoard, readBacklight, sendOpN.
#pragma once

#include "chip/ym2608.h"

#include <cstdint>

/// One register write: REG below BANK1_BASE to the first bank, BANK1_BASE to
/// REGISTER_MAX to the second bank's register of the same low byte. No reply.
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
