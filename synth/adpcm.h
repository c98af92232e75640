// The YM2608's ADPCM unit (registers 0x00-0x0F of the second bank) playing
// from its sample memory, one output sample (the master clock / 144) at a
// time: the registers it keeps and the voice of one playback under way. The
// whole chip (chip_sound.h) and the emulator's playback WAVs (adpcm/render.h)
// both play through this voice, so the two cannot disagree.
//
// The chip reads the codes from the start unit to the end of the stop unit. A
// position counter advances by delta-N each output clock and takes the next
// code each time it passes 65536; the output moves linearly from the previous
// decoded value to the current one as the counter goes, and is scaled by the
// level (level / 256). The output bits of control 2 are the mix's business.
// Decoding is the codec's (adpcm/codec.h).
//
// Functions: applyAdpcmWrite, adpcmSilenceReason, adpcmCodeCount, startVoice, stepVoice.
#pragma once

#include "adpcm/codec.h"
#include "chip/ym2608.h"

#include <cstddef>
#include <cstdint>
#include <span>

namespace synth {

/// The ADPCM register values that playback depends on, all 0 after power-up.
/// The registers and their bits are drawn in chip/ym2608.h.
struct AdpcmRegisters {
    std::uint8_t control1 = 0;
    std::uint8_t control2 = 0;
    std::uint16_t start = 0;
    std::uint16_t stop = 0;
    std::uint16_t deltaN = 0;
    std::uint8_t level = 0;
};

/// Folds one second-bank register write into `regs` (registers this module
/// does not follow are ignored). True when the write is to control 1 and
/// starts playback from memory: start and memory data set, reset clear.
bool applyAdpcmWrite(AdpcmRegisters& regs, std::uint8_t reg, std::uint8_t value);

/// Why a start with `regs` plays nothing ("not started", "held in reset",
/// ...), or nullptr when it plays.
const char* adpcmSilenceReason(const AdpcmRegisters& regs);

/// Codes from the start unit to the end of the stop unit (for a start that plays).
std::uint32_t adpcmCodeCount(const AdpcmRegisters& regs);

/// One playback under way, advanced one output sample at a time.
struct AdpcmVoice {
    bool playing = false;
    std::size_t firstByte = 0;   // the start unit's first byte in memory
    std::uint32_t codeCount = 0; // codes from the start unit to the end of the stop unit
    std::uint32_t codesTaken = 0;
    std::uint32_t position = 0; // the counter, 0..65535 between codes
    std::int32_t previous = 0;
    std::int32_t current = 0;
    adpcm::DecoderState decoder;
};

/// Starts `voice` from the start unit as `regs` say, with the decoder reset;
/// a start that does not play (see adpcmSilenceReason) leaves it silent.
void startVoice(AdpcmVoice& voice, const AdpcmRegisters& regs);

/// One output sample of `voice` with the level and delta-N in `regs`, before
/// the output bits are applied; 0 once it has stopped. A voice that needs a
/// code past the stop unit stops, or with repeat set in control 1 starts
/// again from the start unit. Addresses beyond `memory` wrap, as on a board
/// whose memory is smaller than the chip's address range. Memory is read as
/// the board wires it, 8 bits wide; the 1-bit-wide addressing that control 2
/// bit 1 clear would select is not modelled.
std::int16_t stepVoice(AdpcmVoice& voice, const AdpcmRegisters& regs, std::span<const std::uint8_t> memory);

} // namespace synth
