#include "chip/registers.h"

#include "chip/ym2608.h"
#include "link/device_link.h"

#include <array>

namespace {

// Every rhythm instrument to both outputs at full level.
constexpr std::uint8_t RHYTHM_INSTRUMENT_ON = RHYTHM_LEFT | RHYTHM_RIGHT | RHYTHM_LEVEL_MAX;

} // namespace

void writeChipRegister(std::uint16_t reg, std::uint8_t value)
{
    if (reg >= BANK1_BASE) {
        writeBank1(static_cast<std::uint8_t>(reg), value);
    } else {
        writeRegister(static_cast<std::uint8_t>(reg), value);
    }
}

void soundRhythm(std::uint8_t keys)
{
    writeRegister(RHYTHM_TOTAL_LEVEL, RHYTHM_TOTAL_LEVEL_MAX);
    for (std::uint8_t i = 0; i < RHYTHM_INSTRUMENT_COUNT; ++i) {
        writeRegister(static_cast<std::uint8_t>(RHYTHM_INSTRUMENT_FIRST + i), RHYTHM_INSTRUMENT_ON);
    }
    writeRegister(RHYTHM_KEY, keys & RHYTHM_KEY_BITS);
}

bool stopBoard()
{
    return exchangeStatus(stopFrame());
}

BacklightReply readBacklight()
{
    sendFrame(backlightFrame());
    std::array<std::uint8_t, 1> state{};
    BacklightReply reply;
    reply.answered = readReply(state);
    reply.state = state[0];
    return reply;
}

void sendOpN()
{
    sendFrame(opNFrame());
}
