// FM render speed: a 6-channel tune (every channel keyed, a new note on each
// channel every eighth of a second with a different algorithm, feedback and
// envelope per channel, the LFO on with amplitude and phase modulation)
// rendered for 120 s of chip output. Prints the speed as a multiple of real
// time and the CPU time per second of chip output.
//
// Usage: ym2608_fm_bench [seconds]
#include "chip/ym2608.h"
#include "synth/fm.h"

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ctime>

namespace {

// Output samples a second at the board's clock, whole ones.
constexpr int SAMPLE_RATE = static_cast<int>(outputRate(DEFAULT_CLOCK));
constexpr int OPERATOR_OFFSET[4] = {0, 8, 4, 12};

void write(synth::FmUnit& fm, int ch, std::uint8_t reg, int v)
{
    synth::writeFm(fm, ch / 3, static_cast<std::uint8_t>(reg + ch % 3), static_cast<std::uint8_t>(v));
}

void setUpVoices(synth::FmUnit& fm)
{
    synth::writeFm(fm, 0, 0x29, 0x80);     // six channels
    synth::writeFm(fm, 0, 0x22, 0x08 | 3); // LFO on, 6.37 Hz
    for (int ch = 0; ch < 6; ++ch) {
        write(fm, ch, 0xB0, ((ch + 2) % 8) << 3 | (ch + (ch == 5 ? 2 : 0)));
        write(fm, ch, 0xB4, 0xC0 | (ch % 4) << 4 | (ch + 1) % 8);
        for (int op = 0; op < 4; ++op) {
            const int o = OPERATOR_OFFSET[op];
            write(fm, ch, static_cast<std::uint8_t>(0x30 + o), (op + ch) % 8 << 4 | ((op * 3 + ch) % 15 + 1));
            write(fm, ch, static_cast<std::uint8_t>(0x40 + o), op == 3 ? 4 : 20 + op * 6);
            write(fm, ch, static_cast<std::uint8_t>(0x50 + o), (op % 4) << 6 | (24 + op + ch) % 32);
            write(fm, ch, static_cast<std::uint8_t>(0x60 + o), (op == 1 ? 0x80 : 0) | (6 + ch + op));
            write(fm, ch, static_cast<std::uint8_t>(0x70 + o), 3 + op);
            write(fm, ch, static_cast<std::uint8_t>(0x80 + o), (2 + op) << 4 | (5 + ch));
            write(fm, ch, static_cast<std::uint8_t>(0x90 + o), ch == 4 && op == 0 ? 0x0A : 0);
        }
    }
}

// Note n of a pentatonic walk, as F-number and block.
void playNote(synth::FmUnit& fm, int ch, int n)
{
    static const int FNUMBERS[5] = {618, 694, 780, 927, 1040};
    const int block = 2 + (n / 5) % 5;
    const int fnumber = FNUMBERS[n % 5];
    synth::writeFm(fm, 0, FM_KEY, FM_KEY_CHANNELS[ch]);
    write(fm, ch, 0xA4, block << 3 | fnumber >> 8);
    write(fm, ch, 0xA0, fnumber & 0xFF);
    synth::writeFm(fm, 0, FM_KEY, static_cast<std::uint8_t>(0xF0 | FM_KEY_CHANNELS[ch]));
}

} // namespace

int main(int argc, char** argv)
{
    const int seconds = argc > 1 ? std::atoi(argv[1]) : 120;
    if (seconds <= 0) {
        std::fprintf(stderr, "usage: ym2608_fm_bench [seconds]\n");
        return 2;
    }
    synth::FmUnit fm;
    synth::resetFm(fm);
    setUpVoices(fm);

    const long samples = long(seconds) * SAMPLE_RATE;
    const int noteLength = SAMPLE_RATE / 8;
    std::int64_t checksum = 0;
    const std::clock_t cpu0 = std::clock();
    const auto wall0 = std::chrono::steady_clock::now();
    int step = 0;
    for (long i = 0; i < samples; ++i) {
        if (i % noteLength == 0) {
            for (int ch = 0; ch < 6; ++ch) {
                playNote(fm, ch, (step * (ch + 1) + ch * 3) % 25);
            }
            ++step;
        }
        std::int32_t left = 0, right = 0;
        synth::clockFm(fm, left, right);
        checksum += left * 3 + right;
    }
    const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - wall0).count();
    const double cpu = double(std::clock() - cpu0) / CLOCKS_PER_SEC;
    std::printf(
        "FM unit, 6 channels keyed, LFO on: %d s of chip output (%.0f Hz) in %.3f s wall, %.3f s CPU\n",
        seconds, outputRate(DEFAULT_CLOCK), wall, cpu);
    std::printf("speed: %.1fx real time; CPU per second of chip output: %.2f ms (checksum %lld)\n",
                seconds / cpu, cpu * 1000.0 / seconds, static_cast<long long>(checksum));
    return 0;
}
