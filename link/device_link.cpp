// The device link: the one port held from `c` until `q`, and the frame and
// reply operations over it. Replies are judged only on bytes that actually
// arrived: a short reply never reads as success.
#include "link/device_link.h"

#include "link/port.h"

#include <algorithm>
#include <array>
#include <cstdio>

namespace {

struct DeviceLink {
    PortHandle port = INVALID_PORT;
};

DeviceLink link;

constexpr const char* PORT_NAMES[] = {"COM3", "COM4"};

} // namespace

bool isConnected()
{
    return link.port != INVALID_PORT;
}

void openLink()
{
    // A port already held is released first, so that reconnecting to the same
    // board finds "COM3" free again instead of busy.
    closeLink();
    for (const char* name : PORT_NAMES) {
        link.port = openPort(name);
        if (isConnected()) {
            break;
        }
    }
    if (!isConnected()) {
        std::printf("connect error.\n");
        return;
    }

    std::printf("connect..");
    std::fflush(stdout);
    const std::array<std::uint8_t, 1> frame{OP_IDENTIFY};
    sendFrame(frame);
    std::array<std::uint8_t, IDENTIFY_REPLY.size()> reply{};
    const bool complete = readReply(reply);
    // A board that fails the identification stays connected: it can still be
    // sent every command.
    if (complete && std::equal(reply.begin(), reply.end(), IDENTIFY_REPLY.begin())) {
        std::printf("ok\nWelcome to YM2608!\nReady\n");
    } else {
        std::printf("err.\n");
    }
}

void closeLink()
{
    if (!isConnected()) {
        return;
    }
    closePort(link.port);
    link.port = INVALID_PORT;
}

std::size_t sendFrame(std::span<const std::uint8_t> frame)
{
    if (!isConnected()) {
        return 0;
    }
    return writePort(link.port, frame);
}

bool readReply(std::span<std::uint8_t> reply)
{
    if (!isConnected()) {
        return false;
    }
    return readPort(link.port, reply) == reply.size();
}

bool readStatus()
{
    std::array<std::uint8_t, 1> status{};
    return readReply(status) && status[0] == STATUS_OK;
}

void writeRegister(std::uint8_t reg, std::uint8_t value)
{
    const std::array<std::uint8_t, 3> frame{OP_WRITE_BANK0, reg, value};
    sendFrame(frame);
}

void writeBank1(std::uint8_t reg, std::uint8_t value)
{
    const std::array<std::uint8_t, 3> frame{OP_WRITE_BANK1, reg, value};
    sendFrame(frame);
}
