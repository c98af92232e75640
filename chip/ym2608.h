// The YM2608's registers that this system touches, drawn bit by bit: the
// rhythm section of the first bank and the ADPCM unit of the second bank; and
// the layout of the chip's ADPCM sample memory. The tool's commands, the board
// emulator and the ADPCM codec all include this map, so a register number, a
// bit or a memory size has one definition.
#pragma once

#include <cstddef>
#include <cstdint>

/// The chip's ADPCM sample memory is addressed in units of 32 bytes; with
/// 8-bit-wide memory the YM2608 reaches 8192 of them (256 KiB).
inline constexpr std::size_t ADDRESS_UNIT = 32;
inline constexpr std::size_t SAMPLE_MEMORY_UNITS = 8192;
inline constexpr std::size_t SAMPLE_MEMORY_SIZE = SAMPLE_MEMORY_UNITS * ADDRESS_UNIT;

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
//   0x09/0x0A  delta-N: the playback rate, 55.5 kHz x delta-N / 65536
//   0x0B       output level
inline constexpr std::uint8_t ADPCM_CONTROL1 = 0x00;
inline constexpr std::uint8_t ADPCM_CONTROL2 = 0x01;
inline constexpr std::uint8_t ADPCM_START_LOW = 0x02;
inline constexpr std::uint8_t ADPCM_START_HIGH = 0x03;
inline constexpr std::uint8_t ADPCM_STOP_LOW = 0x04;
inline constexpr std::uint8_t ADPCM_STOP_HIGH = 0x05;
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

/// The delta-N that the tool's playback set-up writes: samples play at
/// 8 MHz / 144 x 0x49CD / 65536, about 16016 Hz.
inline constexpr std::uint16_t PLAYBACK_DELTA_N = 0x49CD;

// Second bank, ADPCM unit: the host's way into the sample memory.
//   0x08  memory data  xxxxxxxx one byte of sample memory: in memory-write
//                               mode (control 1 with record and memory data
//                               set, reset clear) each write stores it from
//                               the start address on, up to the end of the
//                               stop unit
inline constexpr std::uint8_t ADPCM_MEMORY_DATA = 0x08;
