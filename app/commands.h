// The console's commands: each takes the whole typed line (its first letter
// chose the command), parses its operands, drives the board through the quiet
// library below app/, and prints the outcome. Malformed operands answer "??"
// and send nothing.
//
// Functions: resetCommands, connectCommand, backlightCommand, loadCommand,
// opNCommand, registerCommand, playCommand, rhythmCommand, resetCommand,
// transferCommand.
#pragma once

/// The state of a fresh session: the next load goes to slot 1.
void resetCommands();

/// `c`: drops a port already held, opens "COM3" or else "COM4", identifies the
/// board. Why each port failed, or what a board that did not identify itself
/// answered, goes to standard error as "PORT: DEVICE: reason"; so does the
/// port that answered, when standard input is a terminal, and, once a
/// session, how to lower a USB-serial adapter's latency timer that holds
/// each reply longer than LATENCY_TIMER_QUIET_MS.
void connectCommand(const char* line);

/// `b`: the backlight state, "backlight on" / "backlight off"; "backlight
/// error." when no state came; nothing for a state byte other than 0 or 1.
void backlightCommand(const char* line);

/// `l FILE`: loads a sample into the next slot; the slot counter moves on
/// whatever the outcome, and wraps from 255 to 0.
void loadCommand(const char* line);

/// `n`: the bare OP_N frame; nothing printed.
void opNCommand(const char* line);

/// `o REG VAL`: echoes "r:REG o:VAL" and writes the register.
void registerCommand(const char* line);

/// `p N`: the ADPCM set-up, then slot N if it holds a sample.
void playCommand(const char* line);

/// `ry N`: sounds the rhythm section.
void rhythmCommand(const char* line);

/// `r`: resets the board: "reset" when it confirmed, else "reset error.".
void resetCommand(const char* line);

/// `t FILE`: sends a data file and starts the board on it.
void transferCommand(const char* line);
