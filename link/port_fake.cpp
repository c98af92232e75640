#include "link/port_fake.h"

#include "link/frames.h"

#include <algorithm>
#include <map>

namespace {

FakeBoard board;
std::map<std::uint8_t, int> seenCount;

const FakeFault* faultFor(std::uint8_t opcode, int nth, FakeFault::Kind kind)
{
    for (const FakeFault& fault : board.faults) {
        if (fault.opcode == opcode && fault.nth == nth && fault.kind == kind) {
            return &fault;
        }
    }
    return nullptr;
}

Bytes replyFor(const FrameInfo& info)
{
    switch (info.reply) {
    case ReplyKind::NONE:
        return {};
    case ReplyKind::STATUS:
        return {STATUS_OK};
    case ReplyKind::IDENTIFY:
        return Bytes(board.identify.begin(), board.identify.end());
    case ReplyKind::STATE:
        return {board.backlight};
    }
    return {};
}

} // namespace

FakeBoard& fakeBoard()
{
    return board;
}

void resetFakeBoard()
{
    board = FakeBoard{};
    seenCount.clear();
}

void failFrame(std::uint8_t opcode, int nth, std::uint8_t reply)
{
    board.faults.push_back({opcode, nth, FakeFault::REPLY_BYTE, reply, 0});
}

void shortReply(std::uint8_t opcode, int nth)
{
    board.faults.push_back({opcode, nth, FakeFault::SHORT_REPLY, 0, 0});
}

void limitWrite(std::uint8_t opcode, int nth, std::size_t written)
{
    board.faults.push_back({opcode, nth, FakeFault::WRITE_LIMIT, 0, written});
}

std::vector<Bytes> framesOf(std::uint8_t opcode)
{
    std::vector<Bytes> result;
    for (const Bytes& frame : board.frames) {
        if (!frame.empty() && frame[0] == opcode) {
            result.push_back(frame);
        }
    }
    return result;
}

std::string portDevicePath(const char* name)
{
    return name;
}

PortOpening openPort(const char* path)
{
    board.opens.emplace_back(path);
    if (const auto refusal = board.refusals.find(path); refusal != board.refusals.end()) {
        return {INVALID_PORT, refusal->second, {}};
    }
    // A port this process still holds is busy, as an exclusive open makes it.
    if (board.held == path) {
        return {INVALID_PORT, PortFailure::IN_USE, {}};
    }
    if (board.presentPorts.count(path) == 0 || board.opensLeft == 0) {
        return {INVALID_PORT, PortFailure::NO_DEVICE, {}};
    }
    if (board.opensLeft > 0) {
        --board.opensLeft;
    }
    board.held = path;
    return {static_cast<PortHandle>(board.opens.size()), PortFailure::NONE, board.latency};
}

PortTransfer writePort(PortHandle, std::span<const std::uint8_t> bytes)
{
    if (board.cancelled) {
        return {0, PortStatus::CANCELLED};
    }
    if (board.gone) {
        return {0, PortStatus::GONE};
    }
    if (bytes.empty()) {
        return {0, PortStatus::DONE};
    }
    const std::uint8_t opcode = bytes[0];
    const int nth = ++seenCount[opcode];
    std::size_t written = bytes.size();
    if (const FakeFault* limit = faultFor(opcode, nth, FakeFault::WRITE_LIMIT)) {
        written = std::min(written, limit->writeLimit);
    }
    board.frames.emplace_back(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(written));
    const PortTransfer result{written, written == bytes.size() ? PortStatus::DONE : PortStatus::FAILED};

    const FrameInfo* info = findFrame(opcode);
    if (info == nullptr || board.scriptedStream || board.answersLeft == 0) {
        return result;
    }
    if (board.answersLeft > 0 && info->reply != ReplyKind::NONE) {
        --board.answersLeft;
    }
    Bytes reply = replyFor(*info);
    if (const FakeFault* fault = faultFor(opcode, nth, FakeFault::REPLY_BYTE)) {
        std::fill(reply.begin(), reply.end(), fault->byte);
    }
    if (faultFor(opcode, nth, FakeFault::SHORT_REPLY) != nullptr) {
        reply.resize(reply.size() / 2); // a 1-byte reply vanishes, "2608" becomes "26"
        board.gone = true;
    }
    board.pending.insert(board.pending.end(), reply.begin(), reply.end());
    if (board.hangUpAfter >= 0 && static_cast<int>(board.frames.size()) >= board.hangUpAfter) {
        board.gone = true; // the K-th frame is still answered
    }
    return result;
}

PortTransfer readPort(PortHandle, std::span<std::uint8_t> bytes, int timeoutMs)
{
    board.timeouts.push_back(timeoutMs);
    if (board.cancelled) {
        return {0, PortStatus::CANCELLED};
    }
    if (board.answersLeft == 0 && board.pending.size() < bytes.size()) {
        // A board that never answers: the wait runs out, or lasts until Ctrl-C.
        const std::size_t n = board.pending.size();
        std::copy_n(board.pending.begin(), n, bytes.begin());
        board.pending.clear();
        return {n, timeoutMs == NO_TIMEOUT ? PortStatus::CANCELLED : PortStatus::TIMED_OUT};
    }
    const std::size_t n = std::min(bytes.size(), board.pending.size());
    std::copy_n(board.pending.begin(), n, bytes.begin());
    board.pending.erase(board.pending.begin(), board.pending.begin() + static_cast<std::ptrdiff_t>(n));
    // Past the replies due the board has nothing more to say: as unplugged.
    return {n, n == bytes.size() ? PortStatus::DONE : PortStatus::GONE};
}

void closePort(PortHandle)
{
    ++board.closes;
    board.held.clear();
}

std::uint32_t portSpeed(PortHandle)
{
    return board.speed;
}

std::size_t portQueuedOutput(PortHandle)
{
    return 0;
}

bool portHungUp(PortHandle)
{
    return board.gone;
}

bool drainPort(PortHandle)
{
    return !board.gone;
}

void cancelPortWaits()
{
    board.cancelled = true;
}

void allowPortWaits()
{
    board.cancelled = false;
}

void restorePortFromSignal() {}
