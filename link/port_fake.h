// A scripted board linked in place of the serial backend, for the unit tests
// and the fuzzers. It records every write as one frame and answers each frame
// as a genuine board would (status STATUS_OK, the identification "2608", the
// backlight state), unless a fault is scripted for the K-th frame of an
// opcode: a wrong reply byte, a reply cut short by a board that then hangs up,
// or a write that the port only partly takes. Reads past the replies due come
// back short, as from an unplugged board. Port names are their own device
// paths: "COM3" opens the device "COM3".
//
// Functions: fakeBoard, resetFakeBoard, failFrame, shortReply, limitWrite, framesOf.
#pragma once

#include "link/port.h"

#include <cstddef>
#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <vector>

using Bytes = std::vector<std::uint8_t>;

struct FakeFault {
    enum Kind { REPLY_BYTE, SHORT_REPLY, WRITE_LIMIT };
    std::uint8_t opcode;
    int nth; // 1 for the first frame of that opcode
    Kind kind;
    std::uint8_t byte = 0;      // REPLY_BYTE: the status or state byte answered
    std::size_t writeLimit = 0; // WRITE_LIMIT: the bytes the port reports written
};

struct FakeBoard {
    std::set<std::string> presentPorts{"COM3"};
    // Why an open of a device is refused; a device neither present nor here
    // is NO_DEVICE.
    std::map<std::string, PortFailure> refusals;
    std::uint32_t speed = 115200; // what portSpeed reports
    AdapterLatency latency;       // what every open finds of the adapter's timer
    std::string identify = "2608";
    std::uint8_t backlight = 1;
    std::vector<FakeFault> faults;
    int opensLeft = -1;   // opens that succeed before every port is absent; -1 always
    int hangUpAfter = -1; // frames answered before the board vanishes; -1 never
    // When set, the board answers nothing of its own: its replies are what
    // was put in `pending`, read in order whatever the frames.
    bool scriptedStream = false;
    // Frames answered before the board falls silent (-1: never). A silent
    // board answers nothing: a read with a time limit runs out (TIMED_OUT), one
    // without is taken as ended by Ctrl-C (CANCELLED).
    int answersLeft = -1;
    bool cancelled = false;    // cancelPortWaits was called
    std::vector<int> timeouts; // the time limit of every read, in order

    std::vector<Bytes> frames;      // every frame written, in order
    std::vector<std::string> opens; // every device opened, in order
    int closes = 0;
    std::string held; // the port currently open, if any
    Bytes pending;    // reply bytes not yet read
    bool gone = false;
};

/// The board of the current test; reset it at the start of each test.
FakeBoard& fakeBoard();
void resetFakeBoard();

/// Scripting shortcuts.
void failFrame(std::uint8_t opcode, int nth, std::uint8_t reply);
void shortReply(std::uint8_t opcode, int nth);
void limitWrite(std::uint8_t opcode, int nth, std::size_t written);

/// The frames of one opcode, in order.
std::vector<Bytes> framesOf(std::uint8_t opcode);
