#include "fuzz/fuzz_support.h"

#include "app/console.h"
#include "link/frames.h"

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sys/stat.h>

namespace {

[[noreturn]] void fail(const char* what, std::size_t frame)
{
    std::fprintf(stderr, "frame check failed at frame %zu: %s\n", frame, what);
    std::abort();
}

void writeFile(const std::string& name, std::size_t size)
{
    std::ofstream file(FUZZ_DIR + "/" + name, std::ios::binary);
    for (std::size_t i = 0; i < size; ++i) {
        file.put(static_cast<char>(i * 13 + 7));
    }
}

} // namespace

void runConsoleOn(const std::uint8_t* data, std::size_t size)
{
    static const std::uint8_t none = 0;
    std::FILE* input = size == 0 ? fmemopen(const_cast<std::uint8_t*>(&none), 1, "rb")
                                 : fmemopen(const_cast<std::uint8_t*>(data), size, "rb");
    if (input == nullptr) {
        std::abort();
    }
    if (size == 0) {
        std::fgetc(input); // an empty input: at its end from the start
    }
    std::FILE* saved = stdin;
    stdin = input;
    runConsole();
    stdin = saved;
    std::fclose(input);
}

void makeFuzzFiles()
{
    mkdir(FUZZ_DIR.c_str(), 0755);
    writeFile("a.bin", 1000);
    writeFile("b.bin", 8292);
    writeFile("d.bin", 5000);
    writeFile("e.bin", 0);
}

void checkFrames(const Bytes& replies)
{
    std::size_t next = 0; // the reply byte the next answered frame gets
    // The cache writes of the current page: contiguous from offset 0, all confirmed.
    std::size_t pageBytes = 0;
    bool pageConfirmed = true;
    // The data file phases since the last OP_STOP.
    bool phasesConfirmed = false;

    const std::vector<Bytes>& frames = fakeBoard().frames;
    for (std::size_t i = 0; i < frames.size(); ++i) {
        const Bytes& frame = frames[i];
        if (frame.empty()) {
            fail("empty frame", i);
        }
        const FrameInfo* info = findFrame(frame[0]);
        if (info == nullptr) {
            fail("unknown opcode", i);
        }
        switch (info->lengthKind) {
        case FrameLength::FIXED:
            if (frame.size() != info->length) {
                fail("wrong length", i);
            }
            break;
        case FrameLength::COUNT_BYTE:
            if (frame.size() < info->length || frame[1] == 0 || frame[1] > MAX_CHUNK ||
                frame.size() != info->length + frame[1]) {
                fail("wrong cache write length", i);
            }
            break;
        case FrameLength::BURST:
            if (frame.size() <= info->length || frame.size() > info->length + MAX_CHUNK) {
                fail("wrong stream data length", i);
            }
            break;
        }

        bool confirmed = false;
        if (info->replyLength > 0) {
            const std::size_t got = std::min<std::size_t>(info->replyLength, replies.size() - next);
            confirmed = got == info->replyLength && replies[next] == STATUS_OK;
            next += got;
        }

        switch (frame[0]) {
        case OP_CACHE_WRITE: {
            const std::size_t offset = frame[2] | static_cast<std::size_t>(frame[3]) << 8;
            if (offset + frame[1] > CACHE_PAGE_SIZE) {
                fail("cache write past the page end", i);
            }
            if (offset == 0) {
                pageBytes = 0;
                pageConfirmed = true;
            } else if (offset != pageBytes) {
                fail("cache write not contiguous", i);
            }
            pageBytes += frame[1];
            pageConfirmed = pageConfirmed && confirmed;
            break;
        }
        case OP_CACHE_COMMIT: {
            const std::size_t size = frame[1] | static_cast<std::size_t>(frame[2]) << 8;
            const std::size_t dest = frame[3] | static_cast<std::size_t>(frame[4]) << 8;
            if (!pageConfirmed || pageBytes == 0) {
                fail("commit of an unconfirmed page", i);
            }
            if (size % COMMIT_GRANULE != 0 || size > CACHE_PAGE_SIZE || size < pageBytes ||
                size >= pageBytes + COMMIT_GRANULE) {
                fail("commit size", i);
            }
            if (dest + size / ADDRESS_UNIT > SAMPLE_MEMORY_UNITS) {
                fail("commit past the chip's memory", i);
            }
            pageBytes = 0;
            pageConfirmed = false;
            break;
        }
        case OP_STOP:
            phasesConfirmed = confirmed;
            break;
        case OP_WP_RESET:
        case OP_STREAM_DATA:
            phasesConfirmed = phasesConfirmed && confirmed;
            break;
        case OP_START:
            if (!phasesConfirmed) {
                fail("start after an unconfirmed phase", i);
            }
            break;
        default:
            break;
        }
    }
}
