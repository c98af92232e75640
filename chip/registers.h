// The register and panel commands: `o` writes any chip register, `ry` sounds
// the rhythm section, `r` resets the board, `b` asks for the backlight state,
// `n` sends OP_N. Malformed operands answer "??" and send nothing.
//
// Functions: parseHex, writeRegisterCommand, rhythmTest, resetBoard,
// reportBacklight, sendOpN.
#pragma once

#include <cstdint>

/// A hexadecimal token at `text`, ending at a blank or the end of the line.
/// `end` is set to the character that ended it; false when another character
/// is met. Digits beyond the eighth push the earliest ones out.
bool parseHex(const char* text, std::uint32_t& value, const char*& end);

/// `o REG VAL`, given the operand "REG VAL". REG up to 0xFF writes the first
/// bank, 0x100 to 0x1FF the second bank's register of the same low byte.
void writeRegisterCommand(const char* operand);

/// `ry N`, given the whole line: key on the rhythm instruments whose bits are set in N.
void rhythmTest(const char* line);

/// `r`: OP_STOP, whose reply is waited for and ignored, then "reset".
void resetBoard();

/// `b`: the backlight frame, and "backlight on" / "backlight off" for the state answered.
void reportBacklight();

/// `n`: the bare OP_N frame; no reply, nothing printed.
void sendOpN();
