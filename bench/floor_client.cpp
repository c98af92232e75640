// The floor of stop-and-wait on the link: a minimal client that sends the very
// frames the console sends for "c", "l SAMPLE" and "t DATA", and for each one
// writes the frame in one call and reads its reply, with nothing else around
// it: no progress line, no console, no checks beyond the status byte.
//
// It is C-style code compiled as C++ so that it takes the opcodes and sizes
// from the one frame table in link/frames.h.
//
//   ym2608-bench-floor SAMPLE DATA      (the port is named by YM2608_COM3)
//
// Exit status 0 when every frame was confirmed, 1 otherwise.
#include "link/frames.h"

#include <fcntl.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <termios.h>
#include <unistd.h>

namespace {

// What the console takes from its files: the whole sample up to the chip's
// memory, and the data file up to the stream limit with its last 64 bytes
// left out.
constexpr size_t SAMPLE_LIMIT = SAMPLE_MEMORY_SIZE;
constexpr size_t STREAM_LIMIT = 32704;
constexpr size_t UNSENT_TAIL = 64;

uint8_t sampleBytes[SAMPLE_LIMIT];
uint8_t dataBytes[STREAM_LIMIT + UNSENT_TAIL];
int port = -1;

size_t readFile(const char* path, uint8_t* into, size_t limit)
{
    FILE* file = fopen(path, "rb");
    if (file == nullptr) {
        return 0;
    }
    size_t count = fread(into, 1, limit, file);
    fclose(file);
    return count;
}

// One write of the whole frame, one read of the whole reply (looping only
// where the kernel splits them).
bool exchange(const uint8_t* frame, size_t length, uint8_t* reply, size_t replyLength)
{
    size_t done = 0;
    while (done < length) {
        ssize_t n = write(port, frame + done, length - done);
        if (n <= 0) {
            return false;
        }
        done += static_cast<size_t>(n);
    }
    done = 0;
    while (done < replyLength) {
        ssize_t n = read(port, reply + done, replyLength - done);
        if (n <= 0) {
            return false;
        }
        done += static_cast<size_t>(n);
    }
    return true;
}

bool confirmed(const uint8_t* frame, size_t length)
{
    uint8_t status = 0;
    return exchange(frame, length, &status, 1) && status == STATUS_OK;
}

bool identify()
{
    const uint8_t frame[1] = {OP_IDENTIFY};
    uint8_t reply[4] = {0, 0, 0, 0};
    return exchange(frame, 1, reply, 4) && memcmp(reply, IDENTIFY_REPLY.data(), 4) == 0;
}

// The sample through the cache: 60-byte cache writes, and a commit whenever a
// page is full or the sample ends, in whole granules, from unit 0.
bool loadSample(size_t count)
{
    uint8_t frame[CACHE_WRITE_HEADER + MAX_CHUNK];
    size_t sent = 0;
    size_t pageFill = 0;
    uint32_t dest = 0;
    while (sent < count) {
        size_t remaining = count - sent;
        size_t pageRoom = CACHE_PAGE_SIZE - pageFill;
        size_t chunk = MAX_CHUNK;
        bool endsPage = false;
        if (pageRoom <= MAX_CHUNK || remaining <= MAX_CHUNK) {
            chunk = pageRoom < remaining ? pageRoom : remaining;
            endsPage = true;
        }
        frame[0] = OP_CACHE_WRITE;
        frame[1] = static_cast<uint8_t>(chunk);
        frame[2] = static_cast<uint8_t>(pageFill & 0xFF);
        frame[3] = static_cast<uint8_t>(pageFill >> 8);
        memcpy(frame + CACHE_WRITE_HEADER, sampleBytes + sent, chunk);
        if (!confirmed(frame, CACHE_WRITE_HEADER + chunk)) {
            return false;
        }
        if (endsPage) {
            size_t size = commitSize(pageFill + chunk);
            const uint8_t commit[5] = {OP_CACHE_COMMIT, static_cast<uint8_t>(size & 0xFF),
                                       static_cast<uint8_t>(size >> 8), static_cast<uint8_t>(dest & 0xFF),
                                       static_cast<uint8_t>(dest >> 8)};
            if (!confirmed(commit, sizeof commit)) {
                return false;
            }
            dest += static_cast<uint32_t>(size / ADDRESS_UNIT);
            pageFill = 0;
        } else {
            pageFill += chunk;
        }
        sent += chunk;
    }
    return true;
}

// The data file: stop, wp reset, 60-byte stream frames, start.
bool transferData(size_t total)
{
    const uint8_t stop[1] = {OP_STOP};
    const uint8_t wpReset[1] = {OP_WP_RESET};
    const uint8_t start[2] = {OP_START, START_ARGUMENT};
    if (!confirmed(stop, 1) || !confirmed(wpReset, 1)) {
        return false;
    }
    uint8_t frame[STREAM_DATA_HEADER + MAX_CHUNK];
    frame[0] = OP_STREAM_DATA;
    for (size_t offset = 0; offset < total;) {
        size_t len = total - offset < MAX_CHUNK ? total - offset : MAX_CHUNK;
        memcpy(frame + STREAM_DATA_HEADER, dataBytes + offset, len);
        if (!confirmed(frame, STREAM_DATA_HEADER + len)) {
            return false;
        }
        offset += len;
    }
    return confirmed(start, sizeof start);
}

// Raw bytes at the speed the port has, as the console sets it up; stale input
// would shift every reply.
bool openPort(const char* path)
{
    port = open(path, O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (port < 0) {
        return false;
    }
    termios raw;
    if (tcgetattr(port, &raw) != 0) {
        return false;
    }
    cfmakeraw(&raw);
    raw.c_cflag |= CLOCAL | CREAD;
    raw.c_cc[VMIN] = 1;
    raw.c_cc[VTIME] = 0;
    if (tcsetattr(port, TCSANOW, &raw) != 0) {
        return false;
    }
    tcflush(port, TCIFLUSH);
    return true;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc != 3) {
        fprintf(stderr, "usage: ym2608-bench-floor SAMPLE DATA (port in YM2608_COM3)\n");
        return 2;
    }
    const char* path = getenv("YM2608_COM3");
    if (path == nullptr || path[0] == '\0' || !openPort(path)) {
        fprintf(stderr, "ym2608-bench-floor: cannot open the port\n");
        return 1;
    }
    size_t sampleCount = readFile(argv[1], sampleBytes, SAMPLE_LIMIT);
    size_t dataCount = readFile(argv[2], dataBytes, sizeof dataBytes);
    if (sampleCount == 0 || dataCount < UNSENT_TAIL + 256) {
        fprintf(stderr, "ym2608-bench-floor: cannot read the files\n");
        return 1;
    }
    size_t total = dataCount - UNSENT_TAIL;
    bool ok = identify() && loadSample(sampleCount) && transferData(total);
    tcdrain(port);
    close(port);
    if (!ok) {
        fprintf(stderr, "ym2608-bench-floor: a frame was not confirmed\n");
        return 1;
    }
    return 0;
}
