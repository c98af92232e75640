// The YM2608's facts that this system relies on, each defined here once: its
// master clock and output rate, how register numbers name the two banks, the
// registers it touches drawn bit by bit (FM key on/off and the SSG levels, the
// rhythm section of the first bank, the ADPCM unit of the second bank), and
// the layout of the chip's ADPCM sample memory. The tool's commands, the
// player, the board emulator, its sound units and the ADPCM codec all include
// this map, so a clock, a register number, a bit or a memory size has one
// definition. Standard headers only, so that every library may include it.
//
// Functions: outputRate, wavRate, adpcmRate.
#pragma once

#include <cstddef>
#include <cstdint>

// ---- Clock and output rate --------------------------------------------------

/// The master clock of the YM2608 on a PC-98 sound board and on ours, the
/// usual 7.9872 MHz crystal: the clock every program takes unless told another.
inline constexpr std::uint32_t DEFAULT_CLOCK = 7'987'200;

/// The clock the chip's documentation quotes its rates at (an output of
/// 55.5 kHz, the LFO's frequencies). The encoder works its rates out at it.
inline constexpr std::uint32_t RATED_CLOCK = 8'000'000;

/// Master clocks per output sample of every sound unit.
inline constexpr std::uint32_t CLOCKS_PER_SAMPLE = 144;

/// The chip's output rate for a master clock of `clock` Hz.
constexpr double outputRate(std::uint32_t clock)
{
    return static_cast<double>(clock) / CLOCKS_PER_SAMPLE;
}

/// The same, to the whole hertz, as a WAV header carries it: 55467 Hz at
/// DEFAULT_CLOCK, 55556 Hz at RATED_CLOCK.
constexpr int wavRate(std::uint32_t clock)
{
    return static_cast<int>((clock + CLOCKS_PER_SAMPLE / 2) / CLOCKS_PER_SAMPLE);
}

// ---- Register numbers -------------------------------------------------------

/// Registers are numbered 0x000-0x1FF across both banks, as the console's `o`
/// and the music logs number them: 0x000-0x0FF is the first bank, 0x100-0x1FF
/// the second bank's register of the same low byte.
inline constexpr std::uint16_t BANK1_BASE = 0x100;
inline constexpr std::uint16_t REGISTER_COUNT = 2 * BANK1_BASE;
inline constexpr std::uint32_t REGISTER_MAX = REGISTER_COUNT - 1;

// ---- Sample memory ----------------------------------------------------------

/// The chip's ADPCM sample memory is addressed in units of 32 bytes; with
/// 8-bit-wide memory the YM2608 reaches 8192 of them (256 KiB).
inline constexpr std::size_t ADDRESS_UNIT = 32;
inline constexpr std::size_t SAMPLE_MEMORY_UNITS = 8192;
inline constexpr std::size_t SAMPLE_MEMORY_SIZE = SAMPLE_MEMORY_UNITS * ADDRESS_UNIT;

// ---- Registers --------------------------------------------------------------

// First bank, FM key on/off and the SSG levels. The one key register serves
// all six FM channels.
//   0x28        xxxx---- operators 4, 3, 2, 1 keyed on (none: key off)
//               -----xxx channel: 0-2 for channels 1-3, 4-6 for channels 4-6
//   0x08..0x0A  ---x---- level from the envelope instead of the fixed level
//               ----xxxx fixed level of SSG channel A, B, C
inline constexpr std::uint8_t FM_KEY = 0x28;
inline constexpr std::uint8_t FM_KEY_OPERATOR1 = 0x10; // operator n's bit is this << (n - 1)
inline constexpr std::uint8_t FM_KEY_CHANNEL_BITS = 0x07;
/// The channel field for channels 1 to 6 (3 and 7 select none).
inline constexpr std::uint8_t FM_KEY_CHANNELS[] = {0x00, 0x01, 0x02, 0x04, 0x05, 0x06};
inline constexpr std::uint8_t SSG_LEVEL_A = 0x08;
inline constexpr std::uint8_t SSG_LEVEL_B = 0x09;
inline constexpr std::uint8_t SSG_LEVEL_C = 0x0A;

// First bank, rhythm section.
//   0x10  x------- dump (key-off) instead of key-on
//         --xxxxxx one key bit per instrument, bit 0 for register 0x18's
//   0x11  --xxxxxx total level
//   0x18..0x1D  x------- left output
//               -x------ right output
//               ---xxxxx instrument level
inline constexpr std::uint8_t RHYTHM_KEY = 0x10;
inline constexpr std::uint8_t RHYTHM_TOTAL_LEVEL = 0x11;
inline constexpr std::uint8_t RHYTHM_INSTRUMENT_FIRST = 0x18;
inline constexpr std::uint8_t RHYTHM_INSTRUMENT_COUNT = 6;
inline constexpr std::uint8_t RHYTHM_INSTRUMENT_LAST = RHYTHM_INSTRUMENT_FIRST + RHYTHM_INSTRUMENT_COUNT - 1;
inline constexpr std::uint8_t RHYTHM_DUMP = 0x80;
inline constexpr std::uint8_t RHYTHM_KEY_BITS = 0x3F;
inline constexpr std::uint8_t RHYTHM_TOTAL_LEVEL_MAX = 0x3F;
inline constexpr std::uint8_t RHYTHM_LEFT = 0x80;
inline constexpr std::uint8_t RHYTHM_RIGHT = 0x40;
inline constexpr std::uint8_t RHYTHM_LEVEL_MAX = 0x1F;

// Second bank, ADPCM unit.
//   0x00  control 1   x------- start playback
//                     -x------ record
//                     --x----- memory-data mode
//                     ---x---- repeat
//                     -------x reset
//   0x01  control 2   x------- left output
//                     -x------ right output
//                     ------x- memory of 8-bit width
//   0x02/0x03  start address, in units of 32 bytes
//   0x04/0x05  stop address, inclusive
//   0x08       memory data: in memory-write mode (control 1 with record and
//              memory data set, reset clear) each byte written here goes to
//              sample memory, from the start address on, up to the end of
//              the stop unit
//   0x09/0x0A  delta-N: codes taken per output sample, in 1/65536
//   0x0B       output level
inline constexpr std::uint8_t ADPCM_CONTROL1 = 0x00;
inline constexpr std::uint8_t ADPCM_CONTROL2 = 0x01;
inline constexpr std::uint8_t ADPCM_START_LOW = 0x02;
inline constexpr std::uint8_t ADPCM_START_HIGH = 0x03;
inline constexpr std::uint8_t ADPCM_STOP_LOW = 0x04;
inline constexpr std::uint8_t ADPCM_STOP_HIGH = 0x05;
inline constexpr std::uint8_t ADPCM_MEMORY_DATA = 0x08;
inline constexpr std::uint8_t ADPCM_DELTA_N_LOW = 0x09;
inline constexpr std::uint8_t ADPCM_DELTA_N_HIGH = 0x0A;
inline constexpr std::uint8_t ADPCM_LEVEL = 0x0B;

inline constexpr std::uint8_t CONTROL1_START = 0x80;
inline constexpr std::uint8_t CONTROL1_RECORD = 0x40;
inline constexpr std::uint8_t CONTROL1_MEMORY_DATA = 0x20;
inline constexpr std::uint8_t CONTROL1_REPEAT = 0x10;
inline constexpr std::uint8_t CONTROL1_RESET = 0x01;
inline constexpr std::uint8_t CONTROL2_LEFT = 0x80;
inline constexpr std::uint8_t CONTROL2_RIGHT = 0x40;
inline constexpr std::uint8_t CONTROL2_WIDE_MEMORY = 0x02;

/// The unit's position counter advances by delta-N each output sample and
/// takes the next code each time it passes this.
inline constexpr std::uint32_t DELTA_N_ONE = 65536;

/// The rate at which the unit takes codes with `deltaN` on a master clock of
/// `clock` Hz: the output rate x delta-N / 65536.
constexpr double adpcmRate(std::uint32_t clock, std::uint32_t deltaN)
{
    return outputRate(clock) * deltaN / static_cast<double>(DELTA_N_ONE);
}

/// The delta-N that the tool's playback set-up writes, so `p` plays at
/// adpcmRate(clock, PLAYBACK_DELTA_N): 15990 Hz on DEFAULT_CLOCK, the rate
/// the board emulator reports; 16016 Hz at RATED_CLOCK, the rate the encoder
/// makes samples for, which a board on DEFAULT_CLOCK plays 0.16% slow.
inline constexpr std::uint16_t PLAYBACK_DELTA_N = 0x49CD;
static_assert(static_cast<int>(adpcmRate(DEFAULT_CLOCK, PLAYBACK_DELTA_N) + 0.5) == 15990);
static_assert(static_cast<int>(adpcmRate(RATED_CLOCK, PLAYBACK_DELTA_N) + 0.5) == 16016);

// ---- Levels, carriers and the registers a state restore treats apart --------
// What the player's mute, fade-out and register-state restore rely on.

// FM operators and channels, in both banks (the second bank's 0x1xx registers
// serve channels 4-6 as the first bank's serve channels 1-3). Within a row of
// four addresses the offsets +0, +1, +2 are the bank's three channels; +3 is
// no register. The operator rows go in the order operators 1, 3, 2, 4.
//   0x40..0x4E  -xxxxxxx total level: 0.75 dB of attenuation a step, 127 the quietest
//   0xA0..0xA2  xxxxxxxx F-number low byte: writing it takes in the latched high byte
//   0xA4..0xA6  --xxx--- block   -----xxx F-number high bits, latched
//   0xA8..0xAA / 0xAC..0xAE  channel 3's special-mode F-numbers, low and high (first bank)
//   0xB0..0xB2  --xxx--- feedback   -----xxx algorithm
inline constexpr std::uint8_t FM_CHANNELS_PER_BANK = 3;
inline constexpr std::uint8_t FM_OPERATORS_PER_CHANNEL = 4;
inline constexpr std::uint8_t FM_OPERATOR_ROW = 4;
inline constexpr std::uint8_t FM_TOTAL_LEVEL = 0x40;
inline constexpr std::uint8_t FM_TOTAL_LEVEL_MAX = 0x7F;
inline constexpr std::uint8_t FM_FNUMBER_LOW = 0xA0;
inline constexpr std::uint8_t FM_FNUMBER_HIGH = 0xA4;
inline constexpr std::uint8_t FM_CH3_FNUMBER_LOW = 0xA8;
inline constexpr std::uint8_t FM_CH3_FNUMBER_HIGH = 0xAC;
inline constexpr std::uint8_t FM_ALGORITHM = 0xB0;
inline constexpr std::uint8_t FM_ALGORITHM_BITS = 0x07;
inline constexpr std::uint8_t FM_KEY_OPERATOR_BITS = 0xF0;
/// The operator (1-4) each row of operator registers addresses.
inline constexpr std::uint8_t FM_ROW_OPERATOR[FM_OPERATORS_PER_CHANNEL] = {1, 3, 2, 4};
/// The carriers of each algorithm, the operators whose output is the
/// channel's sound (the others modulate them): bit n-1 for operator n.
inline constexpr std::uint8_t FM_CARRIERS[8] = {0x8, 0x8, 0x8, 0x8, 0xA, 0xE, 0xE, 0xF};
/// Decibels of attenuation per total-level step, and per step of the
/// rhythm section's total and instrument levels.
inline constexpr double DECIBELS_PER_LEVEL_STEP = 0.75;

// First bank, the SSG's levels and envelope.
//   0x08..0x0A  ---x---- level from the envelope   ----xxxx fixed level, 3 dB a step, 0 silent
//   0x0D        ----x--- continue   -----x-- attack   ------x- alternate   -------x hold
//               each write restarts the envelope from its first step
inline constexpr std::uint8_t SSG_LEVEL_ENVELOPE = 0x10;
inline constexpr std::uint8_t SSG_LEVEL_BITS = 0x0F;
inline constexpr std::uint8_t SSG_ENVELOPE_SHAPE = 0x0D;
inline constexpr std::uint8_t SSG_SHAPE_CONTINUE = 0x08;
inline constexpr std::uint8_t SSG_SHAPE_HOLD = 0x01;
/// Total-level steps (0.75 dB) per step of an SSG fixed level (3 dB).
inline constexpr int SSG_LEVEL_STEP_IN_TL_STEPS = 4;

// First bank, timers, mode and clock.
//   0x24/0x25   timer A's value, high 8 bits and low 2 bits
//   0x26        timer B's value
//   0x27        xx------ channel 3 mode: normal, special (F-number per operator), CSM
//               --xx---- reset timer B's, timer A's flag (the write clears it)
//               ----xx-- timer B's, timer A's flag enabled
//               ------xx load (start) timer B, timer A
//   0x29        x------- FM channels 4-6 on   ---xxxxx interrupt enables
//   0x2D/0x2E/0x2F  prescaler: a write to 0x2D selects the clock's divider
//               for FM 1/6 and SSG 1/4 (the power-on one), 0x2E after it 1/3
//               and 1/2, 0x2F 1/2 and 1/1; the value written is not used
inline constexpr std::uint8_t TIMER_CONTROL = 0x27;
inline constexpr std::uint8_t TIMER_CONTROL_FLAG_RESETS = 0x30;
inline constexpr std::uint8_t FM_CHANNEL_MODE = 0x29;
inline constexpr std::uint8_t PRESCALER_SIXTH = 0x2D;
inline constexpr std::uint8_t PRESCALER_THIRD = 0x2E;
inline constexpr std::uint8_t PRESCALER_HALF = 0x2F;

// Second bank, the ADPCM unit's level and the status flags.
//   0x0B  output level: the samples are multiplied by level / 256, 0 silent
//   0x10  x------- reset every status flag (the write clears them)   ---xxxxx flag masks
inline constexpr std::uint8_t ADPCM_FLAG_CONTROL = 0x10;
inline constexpr std::uint8_t FLAG_CONTROL_RESET = 0x80;
inline constexpr int ADPCM_LEVEL_ONE = 256;
