// The registers whose writes act on the chip by being written. Everything not
// listed here is a plain setting (a level, a rate, a multiplier, a pan, a
// period): the chip uses whatever value it holds, so writing the same value
// again does nothing and the write can be dropped.
//
// The second bank repeats the first bank's FM layout for channels 4 to 6
// from 0x130, so the FM entries hold for both banks.
#include "music/register_filter.h"

#include <string_view>

namespace {

struct NeverDrop {
    std::uint16_t first;
    std::uint16_t last;
    std::string_view reason;
};

// clang-format off
constexpr NeverDrop NEVER_DROP[] = {
    // First bank: SSG, rhythm, FM common.
    {0x0D, 0x0D, "SSG envelope shape: each write restarts the envelope from its first step"},
    {0x0E, 0x0F, "I/O ports A and B: each write drives the port's pins, which outside hardware may strobe on"},
    {0x10, 0x10, "rhythm key-on/dump: each write keys the instruments whose bits are set"},
    {0x12, 0x17, "not documented as registers: no assumption is made about what a write does"},
    {0x1E, 0x21, "0x1E-0x20 not documented; 0x21 the test register: writes go through untouched"},
    {0x23, 0x23, "not documented"},
    {0x27, 0x27, "timer control: the load bits restart a timer, the reset bits clear its flag, "
                 "and in CSM mode timer A's overflow keys channel 3"},
    {0x28, 0x28, "key on/off: each write keys the operators of one channel on or off"},
    {0x2A, 0x2C, "not documented"},
    {0x2D, 0x2F, "prescaler selection: the write itself, whatever its value, sets the clock divider"},
    {0xA0, 0xA2, "F-number low byte: writing it moves the latched high byte (block and F-number high) "
                 "into the channel, so the same low byte after a new high byte changes the pitch"},
    {0xA4, 0xA6, "F-number high byte and block: held in a latch shared by the channels until a low "
                 "byte is written; another channel's high byte in between overwrites the latch"},
    {0xA8, 0xAA, "channel 3 special-mode F-number low byte: moves the latched high byte, as 0xA0"},
    {0xAC, 0xAE, "channel 3 special-mode F-number high byte: latched, as 0xA4"},
    {0xB7, 0xFF, "not documented"},
    // Second bank: the ADPCM unit, then FM channels 4 to 6.
    {0x100, 0x101, "ADPCM control 1 and 2: each control 1 write starts, stops or resets the unit "
                   "and reloads its address counter; control 2 changes the memory mode the counter uses"},
    {0x108, 0x108, "ADPCM data: each write pushes one byte to memory or to the synthesiser"},
    {0x10E, 0x10F, "DA converter data and PCM data: each write is one more sample"},
    {0x110, 0x110, "flag control: a write with the reset bit clears the status flags"},
    {0x111, 0x12F, "not documented in the second bank"},
    {0x1A0, 0x1A2, "F-number low byte of channels 4 to 6: moves the latched high byte, as 0xA0"},
    {0x1A4, 0x1A6, "F-number high byte of channels 4 to 6: latched, as 0xA4"},
    {0x1A8, 0x1AE, "no channel 3 special mode in the second bank: not documented"},
    {0x1B7, 0x1FF, "not documented"},
};
// clang-format on

// Within 0x30..0xB6 each row of four addresses serves channels 1 to 3; the
// fourth address of a row (0x33, 0x37, ... 0xB3) is no register.
bool isChannelGap(std::uint16_t reg)
{
    const std::uint16_t low = reg & 0xFF;
    return low >= 0x30 && low <= 0xB6 && (low & 0x03) == 0x03;
}

constexpr std::uint16_t BANK1_FM_FIRST = 0x130;

} // namespace

bool writeHasEffect(std::uint16_t reg)
{
    for (const NeverDrop& entry : NEVER_DROP) {
        if (reg >= entry.first && reg <= entry.last) {
            return true;
        }
    }
    // Gaps between FM channel registers are not documented either; the
    // second bank below 0x130 is the ADPCM unit, listed above.
    if ((reg < BANK1_BASE || reg >= BANK1_FM_FIRST) && isChannelGap(reg)) {
        return true;
    }
    return false;
}

void resetRegisterFilter(RegisterFilter& filter)
{
    filter.known.fill(-1);
}

bool passWrite(RegisterFilter& filter, std::uint16_t reg, std::uint8_t value)
{
    const std::uint16_t index = reg & REGISTER_MAX;
    const bool changes = filter.known[index] != value;
    filter.known[index] = value;
    return changes || writeHasEffect(index);
}
