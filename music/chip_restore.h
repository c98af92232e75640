// The writes that take the chip from the register file it holds to a target
// one: how the player resumes after a pause, restores the chip after Ctrl-Z
// (SIGCONT) and lands a seek. They come in an order that is safe for what is
// sounding:
//   1. key off: the FM channels the chip has keyed, the rhythm instruments it
//      has keyed (one dump), the ADPCM unit if it plays (a reset);
//   2. the registers whose target value differs from the chip's, F-numbers
//      as pairs (high byte, then low byte);
//   3. the keys of what is held at the target: the SSG envelope where it
//      must run again, the FM channels keyed in the target, and the ADPCM
//      unit when the target plays a repeating sample from memory.
// Rhythm instruments and one-shot ADPCM samples are struck, not held: they
// are not struck again. The ADPCM memory is never written: a restore writes
// no 0x108 byte and never puts the unit in memory-write mode. The table in
// chip_restore.cpp says, register by register, which are written how and why.
//
// A target register the log has not set (-1) is left as the chip has it.
// The chip's file is updated with every write made, so that afterwards it
// equals the target in every register the target knows and in its keys.
//
// Functions: restoreWrites.
#pragma once

#include "music/register_file.h"

#include <vector>

/// Appends to `out` the writes that take the chip from `chip` to `target`,
/// and records them in `chip`.
void restoreWrites(RegisterFile& chip, const RegisterFile& target, std::vector<RegisterWrite>& out);
