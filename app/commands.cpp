// The command bodies and their text. Only the wording lives here; the frames
// come from chip/, samples/ and transfer/ over the link.
#include "app/commands.h"

#include "app/operands.h"
#include "app/progress.h"
#include "chip/registers.h"
#include "link/device_link.h"
#include "samples/samples.h"
#include "transfer/transfer.h"

#include <cstdint>
#include <cstdio>

namespace {

struct Commands {
    std::uint8_t slotCounter = 1; // the slot the next `l` loads into; wraps from 255 to 0
};

Commands commands;

constexpr std::uint32_t VALUE_MAX = 0xFF;

void complain()
{
    std::printf("??\n");
}

const char* operandOrComplain(const char* line)
{
    const char* operand = skipBlanks(line);
    if (operand == nullptr) {
        complain();
    }
    return operand;
}

} // namespace

void resetCommands()
{
    commands = Commands{};
}

void connectCommand(const char*)
{
    ConnectOutcome outcome = openLink();
    if (!outcome.opened) {
        std::printf("connect error.\n");
        return;
    }
    // Shown before the identification goes out, so the operator sees the
    // port open while the board is asked.
    std::printf("connect..");
    std::fflush(stdout);
    identifyLink(outcome);
    if (outcome.identified) {
        std::printf("ok\nWelcome to YM2608!\nReady\n");
    } else {
        std::printf("err.\n");
    }
}

void backlightCommand(const char*)
{
    const BacklightReply reply = readBacklight();
    if (!reply.answered) {
        return;
    }
    if (reply.state == BACKLIGHT_OFF) {
        std::printf("backlight off\n");
    } else if (reply.state == BACKLIGHT_ON) {
        std::printf("backlight on\n");
    }
}

void loadCommand(const char* line)
{
    const char* path = operandOrComplain(line);
    if (path == nullptr) {
        return;
    }
    loadSample(path, commands.slotCounter, printProgress);
    ++commands.slotCounter; // whatever the load's outcome
}

void opNCommand(const char*)
{
    sendOpN();
}

void registerCommand(const char* line)
{
    const char* operand = operandOrComplain(line);
    if (operand == nullptr) {
        return;
    }
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
    writeChipRegister(static_cast<std::uint16_t>(reg), static_cast<std::uint8_t>(value));
}

void playCommand(const char* line)
{
    const char* operand = operandOrComplain(line);
    if (operand == nullptr) {
        return;
    }
    const auto slot = static_cast<std::uint8_t>(parseDecimal(operand));
    setupAdpcm();
    playSlot(slot);
}

void resetOrRhythmCommand(const char* line)
{
    if (line[1] != 'y') {
        stopBoard(); // the reply is waited for, whatever it says
        std::printf("reset\n");
        return;
    }
    // The number follows a blank somewhere after "ry": "ry5" has none.
    const char* p = line + 2;
    while (*p != '\0' && !isBlank(*p)) {
        ++p;
    }
    if (*p == '\0') {
        complain();
        return;
    }
    soundRhythm(static_cast<std::uint8_t>(parseDecimal(p)));
}

void transferCommand(const char* line)
{
    if (const char* path = operandOrComplain(line)) {
        transferDataFile(path, printProgress);
    }
}
