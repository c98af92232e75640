#include "chip/registers.h"

#include "app/operands.h"
#include "chip/ym2608.h"
#include "link/device_link.h"

#include <array>
#include <cstdio>

namespace {

// Every rhythm instrument to both outputs at full level.
constexpr std::uint8_t RHYTHM_INSTRUMENT_ON = RHYTHM_LEFT | RHYTHM_RIGHT | RHYTHM_LEVEL_MAX;

constexpr std::uint32_t REGISTER_MAX = 0x1FF; // 0x100 and up: the second bank
constexpr std::uint32_t VALUE_MAX = 0xFF;

constexpr std::uint8_t BACKLIGHT_OFF = 0;
constexpr std::uint8_t BACKLIGHT_ON = 1;

int hexDigit(char c)
{
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1;
}

void complain()
{
    std::printf("??\n");
}

} // namespace

bool parseHex(const char* text, std::uint32_t& value, const char*& end)
{
    value = 0;
    for (; *text != '\0' && !isBlank(*text); ++text) {
        const int digit = hexDigit(*text);
        if (digit < 0) {
            return false;
        }
        value = (value << 4) | static_cast<std::uint32_t>(digit);
    }
    end = text;
    return true;
}

void writeRegisterCommand(const char* operand)
{
    std::uint32_t reg = 0;
    const char* p = nullptr;
    // REG must be followed by a blank: a line that ends inside it has no value.
    if (!parseHex(operand, reg, p) || *p == '\0' || reg > REGISTER_MAX) {
        complain();
        return;
    }
    while (isBlank(*p)) {
        ++p;
    }
    std::uint32_t value = 0;
    if (*p == '\0' || !parseHex(p, value, p) || value > VALUE_MAX) {
        complain();
        return;
    }
    std::printf("r:%02x o:%02x\n", reg, value);
    if (reg > 0xFF) {
        writeBank1(static_cast<std::uint8_t>(reg), static_cast<std::uint8_t>(value));
    } else {
        writeRegister(static_cast<std::uint8_t>(reg), static_cast<std::uint8_t>(value));
    }
}

void rhythmTest(const char* line)
{
    // The number follows a blank somewhere after "ry": "ry5" has none.
    const char* p = line + 2;
    while (*p != '\0' && !isBlank(*p)) {
        ++p;
    }
    if (*p == '\0') {
        complain();
        return;
    }
    const auto keys = static_cast<std::uint8_t>(parseDecimal(p));

    writeRegister(RHYTHM_TOTAL_LEVEL, RHYTHM_TOTAL_LEVEL_MAX);
    for (std::uint8_t i = 0; i < RHYTHM_INSTRUMENT_COUNT; ++i) {
        writeRegister(static_cast<std::uint8_t>(RHYTHM_INSTRUMENT_FIRST + i), RHYTHM_INSTRUMENT_ON);
    }
    writeRegister(RHYTHM_KEY, keys & RHYTHM_KEY_BITS);
}

void resetBoard()
{
    const std::array<std::uint8_t, 1> frame{OP_STOP};
    sendFrame(frame);
    std::array<std::uint8_t, 1> ignored{};
    readReply(ignored);
    std::printf("reset\n");
}

void reportBacklight()
{
    const std::array<std::uint8_t, 2> frame{OP_BACKLIGHT, BACKLIGHT_ARGUMENT};
    sendFrame(frame);
    std::array<std::uint8_t, 1> state{};
    if (!readReply(state)) {
        return;
    }
    if (state[0] == BACKLIGHT_OFF) {
        std::printf("backlight off\n");
    } else if (state[0] == BACKLIGHT_ON) {
        std::printf("backlight on\n");
    }
}

void sendOpN()
{
    const std::array<std::uint8_t, 1> frame{OP_N};
    sendFrame(frame);
}
