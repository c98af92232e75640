// The command bodies and their text. Only the wording lives here; the frames
// come from chip/, samples/ and transfer/ over the link.
#include "app/commands.h"

#include "app/operands.h"
#include "app/progress.h"
#include "app/terminal.h"
#include "chip/registers.h"
#include "link/device_link.h"
#include "link/memory_writer.h"
#include "samples/samples.h"
#include "transfer/transfer.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace {

struct Commands {
    std::uint8_t slotCounter = 1; // the slot the next `l` loads into; wraps from 255 to 0
    bool latencyTold = false;     // how to lower the adapter's latency timer was said
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

// The loader's error lines go to standard error, after what standard output
// already holds (the progress line, when both share a terminal).
void loaderError(const char* message)
{
    std::fflush(stdout);
    std::fputs(message, stderr);
}

// A row of a wording table: an outcome and the text printed for it.
template <typename Outcome> struct Words {
    Outcome outcome;
    const char* text;
};

// The loader's error line for a file it could not read.
constexpr Words<SampleRead> SAMPLE_READ_WORDS[] = {
    {SampleRead::OPEN_FAILED, "file read error.\n"},
    {SampleRead::EMPTY, "read error.\n"},
};

// The loader's error line for each way the memory writer stops short.
constexpr Words<MemoryWriteStop> STORE_WORDS[] = {
    {MemoryWriteStop::CACHE_WRITE_FAILED, "cache write error.\n"},
    {MemoryWriteStop::COMMIT_FAILED, "ym2608 write error.\n"},
    {MemoryWriteStop::PAST_MEMORY_END, "sample memory full.\n"},
};

// What `t` prints once it has ended, on standard output. A transfer that
// reached its data phase ends the progress line first; a failed data frame is
// reported before that line ends.
constexpr Words<TransferStop> TRANSFER_WORDS[] = {
    {TransferStop::COMPLETE, "\n"},
    {TransferStop::OPEN_FAILED, "file open error.\n"},
    {TransferStop::TOO_SHORT, "file read error.\n"},
    {TransferStop::STOP_FAILED, "stop error.\n"},
    {TransferStop::WP_RESET_FAILED, "wp reset error.\n"},
    {TransferStop::WRITE_FAILED, "write error.\n\n"},
    {TransferStop::START_FAILED, "\nstart error.\n"},
};

// The text of `outcome`'s row in `table`; nullptr when it has none.
template <typename Outcome, std::size_t N>
const char* wordsFor(const Words<Outcome> (&table)[N], Outcome outcome)
{
    for (const Words<Outcome>& row : table) {
        if (row.outcome == outcome) {
            return row.text;
        }
    }
    return nullptr;
}

// "COM3: /dev/ttyUSB0: " and the rest of a line about one port, on standard
// error, after what standard output already holds.
void portLine(const PortAttempt& port, const std::string& rest)
{
    std::fflush(stdout);
    std::fprintf(stderr, "%s: %s: %s\n", port.name.c_str(), port.device.c_str(), rest.c_str());
}

// How to lower an adapter's latency timer, after "PORT: DEVICE: ", for a
// timer read from its Linux driver's file or its Windows driver's key.
std::string latencyAdvice(const AdapterLatency& latency)
{
    std::string text = "the adapter holds each reply up to " + std::to_string(latency.timerMs) +
                       " ms (its latency timer), which slows every frame of l and t;\n";
    if (latency.found == AdapterTimer::REGISTRY) {
        return text + "  lower it to 1 ms in " + FTDI_LATENCY_SETTING;
    }
    return text + "  lower it to 1 ms with: echo 1 > " + latency.where +
           " (as root, until it is unplugged)\n"
           "  or for good with a udev rule in /etc/udev/rules.d: " +
           FTDI_LATENCY_UDEV_RULE;
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
    if (latencyWorthLowering(outcome.latency) && !commands.latencyTold) {
        commands.latencyTold = true;
        portLine(port, latencyAdvice(outcome.latency));
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
    const std::uint8_t slot = commands.slotCounter++; // whatever the load's outcome
    std::vector<std::uint8_t> bytes;
    const SampleRead read = readSample(path, bytes);
    if (const char* error = wordsFor(SAMPLE_READ_WORDS, read)) {
        loaderError(error);
        return;
    }
    std::printf("[%s] -> [%u,%zu]\n", path, nextSampleUnit(), bytes.size());
    // The line is drawn after every other chunk, and after the last.
    ProgressPace pace{.first = 1, .every = 2};
    const SampleStore store = storeSample(bytes, slot, drawPacedProgress, &pace);
    if (const char* error = wordsFor(STORE_WORDS, store.stop)) {
        printProgress(0, 0); // a line left open at a terminal ends before the failure line
        loaderError(error);
    }
    if (store.stop == MemoryWriteStop::PAST_MEMORY_END) {
        return; // nothing was sent, and the slot is left as it was
    }
    std::printf("\nidx:%u:[%u,%u]\n", static_cast<unsigned>(slot), store.record.start,
                static_cast<unsigned>(store.record.length));
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
    (void)playSlot(slot); // `p` prints nothing, whether the slot held a sample or not
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
        // The line is drawn after every 32nd data frame, and after the last.
        ProgressPace pace{.first = 32, .every = 32};
        const TransferStop stop = transferDataFile(path, drawPacedProgress, &pace);
        if (stop != TransferStop::COMPLETE) {
            printProgress(0, 0); // a line left open at a terminal ends before the failure line
        }
        if (const char* words = wordsFor(TRANSFER_WORDS, stop)) {
            std::fputs(words, stdout);
        }
    }
}
