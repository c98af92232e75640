// The device link: the one port held from connecting until the program ends,
// and the frame and reply operations over it. Replies are judged only on bytes
// that actually arrived: a short reply never reads as success.
#include "link/device_link.h"

#include <algorithm>
#include <array>
#include <chrono>
#include <climits>
#include <cstdlib>

namespace {

using Clock = std::chrono::steady_clock;

struct DeviceLink {
    PortHandle port = INVALID_PORT;
    int replyTimeoutMs = NO_TIMEOUT;
    Clock::time_point lastWrite{}; // when the last frame was written
    LinkFault fault = LinkFault::NONE;
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
    outcome.latency = opening.latency;
    return outcome.opened;
}

// Closes the link after a fault; the first fault is the one kept. Any other
// failure of the port (FAILED) fails only the frame at hand.
void fail(PortStatus status)
{
    if (status == PortStatus::FAILED) {
        return;
    }
    if (link.fault == LinkFault::NONE) {
        switch (status) {
        case PortStatus::TIMED_OUT:
            link.fault = LinkFault::NO_REPLY;
            break;
        case PortStatus::CANCELLED:
            link.fault = LinkFault::INTERRUPTED;
            break;
        default: // GONE
            link.fault = LinkFault::LOST;
            break;
        }
    }
    closeLink();
}

// What is left of the reply time limit for the reply to the last frame written.
int replyBudget()
{
    if (link.replyTimeoutMs == NO_TIMEOUT) {
        return NO_TIMEOUT;
    }
    const auto spent = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - link.lastWrite);
    return static_cast<int>(std::max<long long>(0, link.replyTimeoutMs - spent.count()));
}

// Reads what comes of a reply of `reply.size()` bytes; returns the count.
std::size_t readSome(std::span<std::uint8_t> reply)
{
    if (!isConnected()) {
        return 0;
    }
    const PortTransfer got = readPort(link.port, reply, replyBudget());
    if (got.status != PortStatus::DONE) {
        fail(got.status);
    }
    return got.count;
}

std::size_t writeSome(std::span<const std::uint8_t> bytes)
{
    if (!isConnected()) {
        return 0;
    }
    if (link.replyTimeoutMs != NO_TIMEOUT) {
        link.lastWrite = Clock::now();
    }
    const PortTransfer sent = writePort(link.port, bytes);
    if (sent.status != PortStatus::DONE) {
        fail(sent.status);
    }
    return sent.count;
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

bool replyTimeoutFromEnvironment(int& ms)
{
    ms = NO_TIMEOUT;
    const char* text = std::getenv(REPLY_TIMEOUT_VARIABLE);
    if (text == nullptr || text[0] == '\0') {
        return true;
    }
    long long value = 0;
    for (const char* p = text; *p != '\0'; ++p) {
        if (*p < '0' || *p > '9') {
            return false;
        }
        value = value * 10 + (*p - '0');
        if (value > INT_MAX) {
            return false;
        }
    }
    if (value <= 0) {
        return false;
    }
    ms = static_cast<int>(value);
    return true;
}

void setReplyTimeout(int ms)
{
    link.replyTimeoutMs = ms;
}

void interruptLink()
{
    cancelPortWaits();
}

void allowLinkWaits()
{
    allowPortWaits();
}

LinkFault takeLinkFault()
{
    const LinkFault fault = link.fault;
    link.fault = LinkFault::NONE;
    return fault;
}

bool checkLink()
{
    if (isConnected() && portHungUp(link.port)) {
        fail(PortStatus::GONE);
    }
    return isConnected();
}

std::size_t sendFrame(const Frame& frame)
{
    return writeSome(frame.view());
}

std::size_t sendFrames(std::span<const Frame> frames)
{
    std::vector<std::uint8_t> bytes;
    bytes.reserve(frames.size() * MAX_FRAME);
    for (const Frame& frame : frames) {
        const auto view = frame.view();
        bytes.insert(bytes.end(), view.begin(), view.end());
    }
    return writeSome(bytes);
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
