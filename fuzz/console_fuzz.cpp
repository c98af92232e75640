// Arbitrary operator input (many lines, overlong lines, NUL bytes, CR/LF
// mixes, binary garbage) through the real console loop against a board that
// answers every frame correctly. The tool must not crash, and every frame it
// sends must be well-formed and within the chip's memory.
#include "fuzz/fuzz_support.h"

#include "samples/samples.h"

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    makeFuzzFiles();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    resetFakeBoard();
    clearSlotTable();
    runConsoleOn(data, size);
    checkFrames(Bytes(fakeBoard().frames.size() * 4, 0x01)); // a board that confirms everything
    return 0;
}
