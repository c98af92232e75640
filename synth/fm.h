// The YM2608's FM unit: six channels of four operators each, rendered one
// output sample at a time (the chip's master clock / 144), so that the board
// emulator can play what the board's FM registers say.
//
// The emulator owns one FmUnit, resets it with resetFm, passes every register
// write of either bank to writeFm and calls renderFm for a block of output
// samples between writes (clockFm for one); they add each channel's output, the sum of its carriers' signed
// 14-bit outputs, to the left and right sums its output bits select. Everything is integer arithmetic on
// tables built once, so a render is the same on every machine.
//
// Each operator has a 20-bit phase counter whose top 10 bits address a sine
// held as a log-sine quarter wave; the envelope generator's 10-bit
// attenuation (0.09375 dB a step) and the total level are added in the log
// domain, and an exponent table turns the sum into a 14-bit signed output.
// The operators are numbered 1-4 as the algorithm diagrams number them; the
// registers address them in the order 1, 3, 2, 4 (offsets +0, +4, +8, +C).
//
// Functions: resetFm, writeFm, renderFm, clockFm.
#pragma once

#include <cstdint>
#include <span>

namespace synth {

/// Operators per channel and channels of the unit (three on each bank).
inline constexpr int FM_OPERATORS = 4;
inline constexpr int FM_CHANNELS = 6;

/// Where an operator's envelope is.
enum class EnvelopeState : std::uint8_t { attack, decay, sustain, release };

/// One operator: its register fields and its running phase and envelope.
struct FmOperator {
    // 0x30-0x3E  -xxx---- detune: 0-3 up, 4-7 the same amounts down
    //            ----xxxx multiple: 0 = x1/2, 1-15 = x1-x15
    std::uint8_t detune = 0;
    std::uint8_t multiple = 0;
    // 0x40-0x4E  -xxxxxxx total level, 0.75 dB a step
    std::uint8_t totalLevel = 0;
    // 0x50-0x5E  xx------ key scale   ---xxxxx attack rate
    // 0x60-0x6E  x------- amplitude modulation on   ---xxxxx decay rate
    // 0x70-0x7E  ---xxxxx sustain rate (the second decay)
    // 0x80-0x8E  xxxx---- sustain level, 3 dB a step   ----xxxx release rate
    std::uint8_t keyScale = 0;
    std::uint8_t attackRate = 0;
    bool amplitudeModulation = false;
    std::uint8_t decayRate = 0;
    std::uint8_t sustainRate = 0;
    std::uint8_t sustainLevel = 0;
    std::uint8_t releaseRate = 0;
    // 0x90-0x9E  ----x--- SSG-type envelope on
    //            -----xxx attack (starts inverted), alternate, hold
    std::uint8_t ssgEnvelope = 0;

    std::uint32_t phase = 0;          // 20 bits; the top 10 address the sine
    std::uint32_t increment = 0;      // phase step per sample, without phase modulation
    std::uint8_t keyCode = 0;         // block and F-number's top bits, for detune and key scale
    std::uint8_t rate[4] = {};        // the envelope's rate in each state, with key scale: 0-63
    std::int32_t attenuation = 0x3FF; // the envelope, 10 bits, 0 = loudest
    EnvelopeState state = EnvelopeState::release;
    std::uint32_t idleMask = 0; // envelope counter bits that, any set, make a tick a no-op (0: none)
    bool keyOn = false;
    bool ssgInverted = false; // an SSG-type envelope's output currently runs upside down
    std::int32_t output = 0;  // last output, 14-bit signed
};

/// One channel: four operators, its pitch, algorithm and output bits.
struct FmChannel {
    FmOperator op[FM_OPERATORS]; // operators 1-4
    // 0xA0-0xA2  xxxxxxxx F-number bits 7-0: applies the latched high byte
    // 0xA4-0xA6  --xxx--- block   -----xxx F-number bits 10-8 (latched)
    std::uint16_t fnumber = 0;
    std::uint8_t block = 0;
    std::uint8_t latch = 0; // last 0xA4-0xA6 write, waiting for its low byte
    // 0xB0-0xB2  --xxx--- operator 1 feedback   -----xxx algorithm
    std::uint8_t feedback = 0;
    std::uint8_t algorithm = 0;
    // 0xB4-0xB6  x------- left   -x------ right
    //            --xx---- amplitude modulation sensitivity
    //            -----xxx phase modulation sensitivity
    bool left = true;
    bool right = true;
    std::uint8_t amSensitivity = 0;
    std::uint8_t pmSensitivity = 0;
    std::int32_t feedbackHistory[2] = {};                // operator 1's last two outputs
    std::uint32_t modulatedIncrement[FM_OPERATORS] = {}; // phase steps under the LFO's phase modulation
    int modulatedAt = -1; // the sensitivity and LFO position those are for; -1 = none
};

/// The FM unit's whole state; resetFm gives the chip's power-up state.
struct FmUnit {
    FmChannel channel[FM_CHANNELS];
    // Channel 3's separate operator frequencies, for operators 1-3 (operator
    // 4 keeps the channel's own), with their latched high bytes:
    // 0xA9/0xAD operator 1, 0xAA/0xAE operator 2, 0xA8/0xAC operator 3.
    std::uint16_t ch3Fnumber[3] = {};
    std::uint8_t ch3Block[3] = {};
    std::uint8_t ch3Latch[3] = {};
    // 0x27  xx------ channel 3 mode: 00 normal, otherwise separate operator frequencies
    //       (the key on by timer A of mode 10 is the timers' business, not modelled here)
    bool ch3Special = false;
    // 0x29  x------- channels 4-6 on (off after power-up: the chip starts with three FM channels)
    bool sixChannels = false;
    // 0x22  ----x--- LFO on   -----xxx LFO frequency
    bool lfoOn = false;
    std::uint8_t lfoRate = 0;
    std::uint8_t lfoStep = 0;          // 7-bit position in the LFO's cycle
    std::uint32_t lfoDivider = 0;      // samples since the last step
    std::uint32_t envelopeCounter = 0; // envelope generator ticks
    std::uint32_t envelopeDivider = 0; // samples since the last tick (a tick every 3)
};

/// Puts the unit in its power-up state: all keys off and envelopes silent, all
/// registers zero except the output bits, which start with both sides on.
/// Channels 4-6 stay silent until 0x29 bit 7 is set, as on the chip.
void resetFm(FmUnit& fm);

/// One register write to the FM unit: bank 0 (port 0: channels 1-3, and 0x22 LFO, 0x27 channel-3 mode, 0x28
/// key on/off, 0x29 bit 7 channels 4-6 on) or bank 1 (channels 4-6). Writes to registers that are not the FM
/// unit's are ignored, so the caller passes every write of both banks.
void writeFm(FmUnit& fm, int bank, std::uint8_t reg, std::uint8_t value);

/// Advances one FM output sample (the chip's clock/144) and adds each channel's output, the sum of its
/// carriers, each in the operators' signed 14-bit range (-8192..8191), unlimited, to `left` and/or `right`
/// as that channel's output bits (0xB4-0xB6) say.
void clockFm(FmUnit& fm, std::int32_t& left, std::int32_t& right);

/// Advances as many output samples as `left` and `right` hold, exactly as
/// that many calls of clockFm would, and adds each sample's outputs to its
/// place in them. Writes come between blocks, never within one.
void renderFm(FmUnit& fm, std::span<std::int32_t> left, std::span<std::int32_t> right);

} // namespace synth
