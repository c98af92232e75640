// The device link: the one port held from connecting until the program ends,
// and the frame and reply operations over it. Replies are judged only on bytes
// that actually arrived: a short reply never reads as success.
#include "link/device_link.h"

#include <algorithm>
#include <array>

namespace {

struct DeviceLink {
    PortHandle port = INVALID_PORT;
};

DeviceLink link;

constexpr const char* PORT_NAMES[] = {"COM3", "COM4"};

// Opens `device` for the attempt named `name`; true when it opened.
bool tryPort(ConnectOutcome& outcome, const std::string& name, const std::string& device)
{
    const PortOpening opening = openPort(device.c_str());
    outcome.attempts.push_back({name, device, opening.failure});
    link.port = opening.port;
    outcome.opened = isConnected();
    return outcome.opened;
}

// Reads what comes of a reply of `reply.size()` bytes; returns the count.
std::size_t readSome(std::span<std::uint8_t> reply)
{
    if (!isConnected()) {
        return 0;
    }
    return readPort(link.port, reply, NO_TIMEOUT).count;
}

} // namespace

bool isConnected()
{
    return link.port != INVALID_PORT;
}

ConnectOutcome openLink()
{
    // A port already held is released first, so that reconnecting to the same
    // board finds "COM3" free again instead of busy.
    closeLink();
    ConnectOutcome outcome;
    for (const char* name : PORT_NAMES) {
        if (tryPort(outcome, name, portDevicePath(name))) {
            break;
        }
    }
    return outcome;
}

ConnectOutcome openLinkAt(const char* path)
{
    closeLink();
    ConnectOutcome outcome;
    tryPort(outcome, path, path);
    return outcome;
}

void identifyLink(ConnectOutcome& outcome)
{
    sendFrame(identifyFrame());
    std::array<std::uint8_t, IDENTIFY_REPLY.size()> reply{};
    const std::size_t got = readSome(reply);
    outcome.reply.assign(reply.begin(), reply.begin() + static_cast<std::ptrdiff_t>(got));
    outcome.identified =
        got == reply.size() && std::equal(reply.begin(), reply.end(), IDENTIFY_REPLY.begin());
}

ConnectOutcome connectBoard()
{
    ConnectOutcome outcome = openLink();
    if (outcome.opened) {
        identifyLink(outcome);
    }
    return outcome;
}

void closeLink()
{
    if (!isConnected()) {
        return;
    }
    closePort(link.port);
    link.port = INVALID_PORT;
}

PortHandle linkPort()
{
    return link.port;
}

std::size_t sendFrame(const Frame& frame)
{
    if (!isConnected()) {
        return 0;
    }
    return writePort(link.port, frame.view()).count;
}

std::size_t sendFrames(std::span<const Frame> frames)
{
    if (!isConnected()) {
        return 0;
    }
    std::vector<std::uint8_t> bytes;
    bytes.reserve(frames.size() * MAX_FRAME);
    for (const Frame& frame : frames) {
        const auto view = frame.view();
        bytes.insert(bytes.end(), view.begin(), view.end());
    }
    return writePort(link.port, bytes).count;
}

bool readReply(std::span<std::uint8_t> reply)
{
    return readSome(reply) == reply.size();
}

bool readStatus()
{
    std::array<std::uint8_t, 1> status{};
    return readReply(status) && status[0] == STATUS_OK;
}

bool exchangeStatus(const Frame& frame)
{
    sendFrame(frame);
    return readStatus();
}

void writeRegister(std::uint8_t reg, std::uint8_t value)
{
    sendFrame(bank0WriteFrame(reg, value));
}

void writeBank1(std::uint8_t reg, std::uint8_t value)
{
    sendFrame(bank1WriteFrame(reg, value));
}
