// The command bodies and their text. Only the wording lives here; the frames
// come from chip/, samples/ and transfer/ over the link.
#include "app/commands.h"

#include "app/operands.h"
#include "app/progress.h"
#include "app/terminal.h"
#include "chip/registers.h"
#include "link/device_link.h"
#include "samples/samples.h"
#include "transfer/transfer.h"

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

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

// "COM3: /dev/ttyUSB0: " and the rest of a line about one port, on standard
// error, after what standard output already holds.
void portLine(const PortAttempt& port, const std::string& rest)
{
    std::fflush(stdout);
    std::fprintf(stderr, "%s: %s: %s\n", port.name.c_str(), port.device.c_str(), rest.c_str());
}

std::string hexBytes(const std::vector<std::uint8_t>& bytes)
{
    if (bytes.empty()) {
        return "nothing";
    }
    std::string text;
    for (const std::uint8_t byte : bytes) {
        char hex[4];
        std::snprintf(hex, sizeof hex, "%s%02x", text.empty() ? "" : " ", byte);
        text += hex;
    }
    return text;
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
        for (const PortAttempt& port : outcome.attempts) {
            portLine(port, portFailureText(port.failure));
        }
        return;
    }
    // Shown before the identification goes out, so the operator sees the
    // port open while the board is asked.
    std::printf("connect..");
    std::fflush(stdout);
    identifyLink(outcome);
    const PortAttempt& port = outcome.attempts.back();
    if (outcome.identified) {
        std::printf("ok\nWelcome to YM2608!\nReady\n");
        if (inputIsTerminal()) {
            portLine(port, "connected");
        }
    } else {
        std::printf("err.\n");
        portLine(port, "not identified: the board answered " + hexBytes(outcome.reply));
    }
}

void backlightCommand(const char*)
{
    const BacklightReply reply = readBacklight();
    if (!reply.answered) {
        std::printf("backlight error.\n");
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

void resetCommand(const char*)
{
    std::printf(stopBoard() ? "reset\n" : "reset error.\n");
}

void rhythmCommand(const char* line)
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
    soundRhythm(static_cast<std::uint8_t>(parseDecimal(p)));
}

void transferCommand(const char* line)
{
    if (const char* path = operandOrComplain(line)) {
        transferDataFile(path, printProgress);
    }
}
