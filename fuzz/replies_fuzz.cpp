// Arbitrary board replies (wrong, short and missing at any point) to every
// command, `l` and `t` on real files included. The fuzzer's bytes are what the
// board sends back, in order; when they run out the board has hung up. The
// tool must not crash or hang, and must never carry on past a reply that was
// not a confirmation.
#include "fuzz/fuzz_support.h"

#include "samples/samples.h"

#include <string>

namespace {

std::string script;

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    makeFuzzFiles();
    const std::string a = FUZZ_DIR + "/a.bin";
    const std::string b = FUZZ_DIR + "/b.bin";
    const std::string d = FUZZ_DIR + "/d.bin";
    script = "c\nb\nr\nry 63\no 2d 0f\no 10b ff\nl " + a + "\nl " + b + "\np 1\np 2\nt " + d +
             "\nn\nb\nc\nl " + b + "\nt " + d + "\nl " + a + "\np 3\nq\n";
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    resetFakeBoard();
    clearSlotTable();
    fakeBoard().scriptedStream = true;
    fakeBoard().pending.assign(data, data + size);
    const Bytes replies(data, data + size);
    runConsoleOn(reinterpret_cast<const std::uint8_t*>(script.data()), script.size());
    checkFrames(replies);
    return 0;
}
