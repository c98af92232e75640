// The FM unit: register decoding, the phase generator, the envelope
// generator, the LFO and the operators' sine and exponent lookups.
//
// Units used throughout:
//   phase        20-bit counter per operator, one cycle = 2^20; the sine sees its top 10 bits
//   attenuation  log2 units of 1/256 octave (4.8 fixed point) at the sine and exponent tables;
//                the envelope's 10-bit value is 1/64 octave a step (0.094 dB), so it enters << 2
//   output       14-bit signed per operator; a channel sums its carriers, up to four of them
#include "synth/fm.h"

#include "chip/ym2608.h"

#include <algorithm>
#include <cmath>

namespace synth {
namespace {

// ---- Tables --------------------------------------------------------------

constexpr int SINE_ENTRIES = 256; // a quarter wave; the other three quarters by symmetry
constexpr int EXP_ENTRIES = 256;

// Envelope attenuation (10 bits, << 2 into the 4.8 domain) from which the
// operator is silent whatever the sine: at 832 << 2 = 13 * 256 the exponent's
// shift moves all 13 bits out.
constexpr std::int32_t SILENT_ENVELOPE = 13 * 256 / 4;

constexpr std::int32_t ENVELOPE_MAX = 0x3FF;
// An SSG-type envelope runs over the top half of the range: 0x200 is -48 dB.
constexpr std::int32_t SSG_ENVELOPE_END = 0x200;

constexpr std::uint32_t PHASE_MASK = 0xFFFFF;     // 20 bits
constexpr std::uint32_t INCREMENT_MASK = 0x1FFFF; // the detuned step is 17 bits and wraps

// Largest attenuation an audible operator reaches at the exponent: the
// quarter wave's deepest entry plus an envelope just short of silence.
constexpr int OUTPUT_ENTRIES = 2137 + 4 * (SILENT_ENVELOPE - 1) + 1;

struct Tables {
    // The sine over the whole cycle, by the phase's top 10 bits: the log-sine
    // quarter wave (below) mirrored for the second quarter, with bit 15 set
    // for the second half cycle, where the output is below 0.
    std::uint16_t sine[4 * SINE_ENTRIES];
    // An operator's output magnitude by its whole attenuation at the exponent
    // (the log-sine entry plus the envelope << 2): the exponent table's entry
    // for the fraction, shifted down by the integer part.
    std::uint16_t output[OUTPUT_ENTRIES];
    // Phase modulation, in 1/65536 of the F-number: the LFO's depth for each
    // sensitivity at each of its 8 steps up (index 0-7) and down (8-15).
    std::int32_t pmScale[8][16];
};

Tables buildTables()
{
    Tables t{};
    const double pi = std::acos(-1.0);
    // logSine[i] = -log2(sin((i + 0.5) / 256 * pi / 2)) in 1/256 octave,
    // rounded: 2137 at the quarter wave's start, 0 at its top. The half
    // step centres each entry on its slot, so the quarter wave mirrors
    // exactly onto the next.
    std::uint16_t logSine[SINE_ENTRIES];
    for (int i = 0; i < SINE_ENTRIES; ++i) {
        const double s = std::sin((i + 0.5) / SINE_ENTRIES * pi / 2.0);
        logSine[i] = static_cast<std::uint16_t>(std::lround(-std::log2(s) * 256.0));
    }
    for (std::uint32_t p = 0; p < 4 * SINE_ENTRIES; ++p) {
        // The second quarter mirrors the first: bit 8 set reads the table backwards.
        const std::uint32_t index = (p ^ (0U - ((p >> 8) & 1))) & 0xFF;
        t.sine[p] = static_cast<std::uint16_t>(logSine[index] | (((p >> 9) & 1) << 15));
    }
    // The exponent table: the chip's 10-bit mantissa (2^(i / 256) - 1) * 1024,
    // rounded, below an implicit leading 1 (0x400), kept here already joined
    // to that 1 and shifted to the 13-bit output scale: (0x400 | mantissa) << 2.
    // It is read at the complement of the attenuation's fraction, so fraction
    // f gives 2^((255 - f) / 256), and the attenuation's integer part shifts it
    // down; from 13 on that leaves 0.
    std::uint16_t exponent[EXP_ENTRIES];
    for (int i = 0; i < EXP_ENTRIES; ++i) {
        const long mantissa = std::lround((std::exp2(i / 256.0) - 1.0) * 1024.0);
        exponent[i] = static_cast<std::uint16_t>((0x400 | mantissa) << 2);
    }
    for (std::uint32_t a = 0; a < OUTPUT_ENTRIES; ++a) {
        t.output[a] = static_cast<std::uint16_t>(exponent[~a & 0xFF] >> (a >> 8));
    }
    // The chip's documented peak vibrato for phase modulation sensitivity 0-7,
    // in cents. The LFO reaches the peak at step 7 and moves linearly in
    // cents between; the F-number is scaled by 2^(cents / 1200).
    const double peakCents[8] = {0.0, 3.4, 6.7, 10.0, 14.0, 20.0, 40.0, 80.0};
    for (int pms = 0; pms < 8; ++pms) {
        for (int step = 0; step < 8; ++step) {
            const double cents = peakCents[pms] * step / 7.0;
            t.pmScale[pms][step] =
                static_cast<std::int32_t>(std::lround((std::exp2(cents / 1200.0) - 1.0) * 65536.0));
            t.pmScale[pms][8 + step] =
                static_cast<std::int32_t>(std::lround((std::exp2(-cents / 1200.0) - 1.0) * 65536.0));
        }
    }
    return t;
}

const Tables& tables()
{
    static const Tables t = buildTables();
    return t;
}

// Detune, the documented table: the amount added to (detune 1-3) or taken
// from (detune 5-7) an operator's phase step, by key code 0-31.
constexpr std::uint8_t DETUNE[4][32] = {
    {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0},
    {0, 0, 0, 0, 1, 1, 1, 1, 1, 1, 1, 1, 2, 2, 2, 2, 2, 3, 3, 3, 4, 4, 4, 5, 5, 6, 6, 7, 8, 8, 8, 8},
    {1, 1, 1, 1, 2, 2, 2, 2, 2, 3, 3, 3, 4, 4, 4, 5, 5, 6, 6, 7, 8, 8, 9, 10, 11, 12, 13, 14, 16, 16, 16, 16},
    {2, 2, 2, 2,  2,  3,  3,  3,  4,  4,  4,  5,  5,  6,  6,  7,
     8, 8, 9, 10, 11, 12, 13, 14, 16, 17, 19, 20, 22, 22, 22, 22},
};

// The envelope generator's increments. Every envelope tick (3 samples) the
// tick counter advances; an operator at rate r (0-63) moves only on ticks
// where the counter's low `shift` bits are 0, shift = 11 - r/4 below rate 48
// and 0 from there, and then by the entry (counter >> shift) & 7 of its
// rate's pattern. Each 4 rates double the speed; within a group of 4 the
// patterns give 4, 5, 6 and 7 (then 8, 10, 12, 14, ...) eighths.
constexpr std::uint8_t LOW_PATTERN[4][8] = {
    // rates 2-47, by rate & 3 (rates 0 and 1 never move)
    {0, 1, 0, 1, 0, 1, 0, 1},
    {0, 1, 0, 1, 1, 1, 0, 1},
    {0, 1, 1, 1, 0, 1, 1, 1},
    {0, 1, 1, 1, 1, 1, 1, 1},
};
constexpr std::uint8_t HIGH_PATTERN[4][8] = {
    // rates 48-59, by rate & 3, times 1, 2, 4 for rates 48-51, 52-55, 56-59
    {1, 1, 1, 1, 1, 1, 1, 1},
    {1, 1, 1, 2, 1, 1, 1, 2},
    {1, 2, 1, 2, 1, 2, 1, 2},
    {1, 2, 2, 2, 1, 2, 2, 2},
};
constexpr std::uint8_t TOP_RATE_INCREMENT = 8; // rates 60-63 move 8 every tick

struct EnvelopeRates {
    std::uint8_t shift[64];        // the counter's bits that must be 0 for a move
    std::uint8_t increment[64][8]; // the move, by (counter >> shift) & 7
};

constexpr EnvelopeRates buildEnvelopeRates()
{
    EnvelopeRates r{};
    for (int rate = 2; rate < 64; ++rate) {
        r.shift[rate] = static_cast<std::uint8_t>(rate < 44 ? 11 - rate / 4 : 0);
        for (int i = 0; i < 8; ++i) {
            r.increment[rate][i] =
                static_cast<std::uint8_t>(rate < 48   ? LOW_PATTERN[rate & 3][i]
                                          : rate < 60 ? HIGH_PATTERN[rate & 3][i] << (rate / 4 - 12)
                                                      : TOP_RATE_INCREMENT);
        }
    }
    return r;
}
constexpr EnvelopeRates ENVELOPE_RATES = buildEnvelopeRates();

std::int32_t envelopeIncrement(int rate, std::uint32_t counter)
{
    const int shift = ENVELOPE_RATES.shift[rate];
    if ((counter & ((1U << shift) - 1)) != 0) {
        return 0;
    }
    return ENVELOPE_RATES.increment[rate][(counter >> shift) & 7];
}

constexpr int ATTACK_INSTANT_RATE = 62; // rates 62 and 63 reach full level at key on

// LFO: samples per step for frequency 0-7. The LFO has 128 steps a cycle;
// these periods give the documented 3.98, 5.56, 6.02, 6.37, 6.88, 9.63, 48.1
// and 72.2 Hz at an 8 MHz clock (8 MHz / 144 / 128 / period).
constexpr std::uint32_t LFO_PERIOD[8] = {109, 78, 72, 68, 63, 45, 9, 6};
constexpr std::uint8_t LFO_STEPS = 128;
// Amplitude modulation: the LFO's triangle 0-126 (in envelope steps) shifted
// down by sensitivity 0-3, for the documented depths 0, 1.4, 5.9 and 11.8 dB.
constexpr int AM_SHIFT[4] = {8, 3, 1, 0};

// Register decoding.
constexpr std::uint8_t REG_LFO = 0x22;
constexpr std::uint8_t REG_MODE = 0x27;
constexpr std::uint8_t REG_CHANNELS = 0x29;
constexpr std::uint8_t SIX_CHANNELS = 0x80;
constexpr std::uint8_t MODE_CH3_MASK = 0xC0;
constexpr std::uint8_t LFO_ON = 0x08;
constexpr int CHANNEL_3 = 2;
// Register slot (reg >> 2) & 3 to operator: slots are ordered 1, 3, 2, 4.
constexpr int SLOT_OPERATOR[4] = {0, 2, 1, 3};
// 0xA8-0xAA and 0xAC-0xAE to channel 3's operator: 0xA8 operator 3, 0xA9 operator 1, 0xAA operator 2.
constexpr int CH3_REG_OPERATOR[3] = {2, 0, 1};

constexpr std::uint8_t SSG_ON = 0x08;
constexpr std::uint8_t SSG_ATTACK = 0x04;
constexpr std::uint8_t SSG_ALTERNATE = 0x02;
constexpr std::uint8_t SSG_HOLD = 0x01;

// ---- Phase generator -----------------------------------------------------

// The key code: block in bits 4-2, and two bits from the F-number's top
// four (bit 1 = F-number bit 10; bit 0 = bits 9-7 all set below 1024, or any
// of them set from 1024).
std::uint8_t keyCode(std::uint16_t fnumber, std::uint8_t block)
{
    const unsigned n4 = (fnumber >> 10) & 1;
    const unsigned b9 = (fnumber >> 9) & 1, b8 = (fnumber >> 8) & 1, b7 = (fnumber >> 7) & 1;
    const unsigned n3 = n4 ? (b9 | b8 | b7) : (b9 & b8 & b7);
    return static_cast<std::uint8_t>((block << 2) | (n4 << 1) | n3);
}

// The phase step for an F-number given in 1/16 units (so that phase
// modulation keeps its fine steps): (F-number << block) / 2, detuned, then
// multiplied (multiple 0 halves it). With fnumber16 = F-number << 4 this is
// exactly the chip's (F-number << block) >> 1.
std::uint32_t phaseIncrement(std::uint32_t fnumber16, std::uint8_t block, const FmOperator& op)
{
    std::uint32_t step = (fnumber16 << block) >> 5;
    const std::uint32_t detune = DETUNE[op.detune & 3][op.keyCode];
    step = (op.detune & 4) ? step - detune : step + detune;
    step &= INCREMENT_MASK; // a step detuned below 0 wraps to a very high one, as on the chip
    return op.multiple == 0 ? step >> 1 : step * op.multiple;
}

// The F-number and block that drive operator `o` of channel `c`.
void operatorPitch(const FmUnit& fm, int c, int o, std::uint16_t& fnumber, std::uint8_t& block)
{
    if (c == CHANNEL_3 && fm.ch3Special && o < 3) {
        fnumber = fm.ch3Fnumber[o];
        block = fm.ch3Block[o];
        return;
    }
    fnumber = fm.channel[c].fnumber;
    block = fm.channel[c].block;
}

void refreshRates(FmOperator& op);
void refreshIdle(FmOperator& op);

void refreshPitch(FmUnit& fm, int c)
{
    for (int o = 0; o < FM_OPERATORS; ++o) {
        std::uint16_t fnumber = 0;
        std::uint8_t block = 0;
        operatorPitch(fm, c, o, fnumber, block);
        FmOperator& op = fm.channel[c].op[o];
        op.keyCode = keyCode(fnumber, block);
        op.increment = phaseIncrement(std::uint32_t{fnumber} << 4, block, op);
        refreshRates(op);
    }
    fm.channel[c].modulatedAt = -1;
}

// ---- Envelope generator --------------------------------------------------

int computeRate(const FmOperator& op, EnvelopeState state)
{
    int rate = 0;
    switch (state) {
    case EnvelopeState::attack:
        rate = op.attackRate;
        break;
    case EnvelopeState::decay:
        rate = op.decayRate;
        break;
    case EnvelopeState::sustain:
        rate = op.sustainRate;
        break;
    case EnvelopeState::release:
        rate = op.releaseRate * 2 + 1; // the 4-bit release rate as a 5-bit rate
        break;
    }
    if (rate == 0) {
        return 0;
    }
    // Key scale: the key code, shifted down less for a higher key scale, speeds every rate.
    return std::min(63, rate * 2 + (op.keyCode >> (3 - op.keyScale)));
}

// Each state's rate, worked out again whenever a rate, the key scale or the
// key code changes, so that the envelope's ticks only look it up.
void refreshRates(FmOperator& op)
{
    for (const EnvelopeState state :
         {EnvelopeState::attack, EnvelopeState::decay, EnvelopeState::sustain, EnvelopeState::release}) {
        op.rate[static_cast<int>(state)] = static_cast<std::uint8_t>(computeRate(op, state));
    }
    refreshIdle(op);
}

int effectiveRate(const FmOperator& op, EnvelopeState state)
{
    return op.rate[static_cast<int>(state)];
}

// Sustain level in envelope steps: 3 dB (32 steps) a level, and level 15
// stands for 93 dB, not 45.
std::int32_t sustainAttenuation(std::uint8_t level)
{
    return level == 15 ? 31 << 5 : level << 5;
}

void startAttack(FmOperator& op)
{
    op.state = EnvelopeState::attack;
    if (effectiveRate(op, EnvelopeState::attack) >= ATTACK_INSTANT_RATE) {
        op.attenuation = 0;
        op.state = EnvelopeState::decay;
    }
}

// Key on starts the attack from the envelope's present level and restarts
// the phase; a key already on is left alone.
void keyOn(FmOperator& op)
{
    if (op.keyOn) {
        return;
    }
    op.keyOn = true;
    op.phase = 0;
    op.ssgInverted = (op.ssgEnvelope & SSG_ON) && (op.ssgEnvelope & SSG_ATTACK);
    startAttack(op);
    refreshIdle(op);
}

void keyOff(FmOperator& op)
{
    if (!op.keyOn) {
        return;
    }
    op.keyOn = false;
    if ((op.ssgEnvelope & SSG_ON) && op.ssgInverted) {
        // Release continues from the level heard, not the one counted.
        op.attenuation = (SSG_ENVELOPE_END - op.attenuation) & ENVELOPE_MAX;
    }
    op.ssgInverted = false;
    op.state = EnvelopeState::release;
    refreshIdle(op);
}

// An SSG-type envelope at the end of its run (-48 dB) while the key is on:
// hold (at silence, or at full level when the output then runs inverted),
// or start again, turned over when it alternates. True when the envelope
// holds this tick.
bool ssgEndOfRun(FmOperator& op)
{
    if (op.ssgEnvelope & SSG_HOLD) {
        op.ssgInverted = ((op.ssgEnvelope & SSG_ATTACK) != 0) != ((op.ssgEnvelope & SSG_ALTERNATE) != 0);
        op.attenuation = SSG_ENVELOPE_END;
        return true;
    }
    if (op.ssgEnvelope & SSG_ALTERNATE) {
        op.ssgInverted = !op.ssgInverted;
    } else {
        op.phase = 0;
    }
    startAttack(op);
    return false;
}

inline void envelopeTick(FmOperator& op, std::uint32_t counter)
{
    if (op.state == EnvelopeState::release && op.attenuation >= ENVELOPE_MAX) {
        return; // released all the way: nothing moves until the next key on
    }
    const bool ssg = op.ssgEnvelope & SSG_ON;
    if (ssg && op.attenuation >= SSG_ENVELOPE_END) {
        if (op.state == EnvelopeState::release) {
            op.attenuation = ENVELOPE_MAX;
            return;
        }
        if (op.state != EnvelopeState::attack && ssgEndOfRun(op)) {
            return;
        }
    }
    if (op.state == EnvelopeState::decay && op.attenuation >= sustainAttenuation(op.sustainLevel)) {
        op.state = EnvelopeState::sustain;
    }
    const int rate = effectiveRate(op, op.state);
    std::int32_t step = envelopeIncrement(rate, counter);
    if (step == 0) {
        return;
    }
    if (op.state == EnvelopeState::attack) {
        // The attack closes in on 0 by a sixteenth of the distance (times the
        // step) each time: ~attenuation is -(attenuation + 1).
        op.attenuation += (~op.attenuation * step) >> 4;
        if (op.attenuation <= 0) {
            op.attenuation = 0;
            op.state = EnvelopeState::decay;
        }
        return;
    }
    if (ssg) {
        step *= 4; // an SSG-type envelope runs its half range four times as fast
    }
    op.attenuation = std::min(ENVELOPE_MAX, op.attenuation + step);
}

// The envelope counter's bits of which one at least is set on every tick
// that leaves the operator as it is: its envelope released all the way (all
// bits: it waits for a key on), or its rate's bits below the move (none
// where a rate never moves), or none when the tick has more to do than a
// move (a decay at its sustain level, an SSG-type envelope at the end of its
// run). A tick with any of these bits set in the counter is skipped.
void refreshIdle(FmOperator& op)
{
    if (op.state == EnvelopeState::release && op.attenuation >= ENVELOPE_MAX) {
        op.idleMask = ~0U;
        return;
    }
    if (((op.ssgEnvelope & SSG_ON) && op.attenuation >= SSG_ENVELOPE_END) ||
        (op.state == EnvelopeState::decay && op.attenuation >= sustainAttenuation(op.sustainLevel))) {
        op.idleMask = 0;
        return;
    }
    const int rate = effectiveRate(op, op.state);
    op.idleMask = rate < 2 ? ~0U : (1U << ENVELOPE_RATES.shift[rate]) - 1;
}

// One envelope tick, skipped where it would leave the operator as it is.
inline void tickOperator(FmOperator& op, std::uint32_t counter)
{
    if ((counter & op.idleMask) != 0) {
        return;
    }
    envelopeTick(op, counter);
    refreshIdle(op);
}

// The attenuation the operator sounds at before the amplitude modulation:
// the envelope (turned over for an inverted SSG-type envelope) plus total
// level. It is not limited to the envelope's 10 bits: anything from
// SILENT_ENVELOPE on is silence, as it would be at the limit.
std::int32_t soundingLevel(const FmOperator& op)
{
    std::int32_t env = op.attenuation;
    if (op.ssgEnvelope & SSG_ON) {
        if (op.ssgInverted) {
            env = (SSG_ENVELOPE_END - env) & ENVELOPE_MAX;
        } else if (env >= SSG_ENVELOPE_END) {
            env = ENVELOPE_MAX;
        }
    }
    return env + (op.totalLevel << 3); // 0.75 dB = 8 envelope steps
}

// ---- Operators -----------------------------------------------------------

// One operator's output for this sample: the sine at its phase moved by
// `modulation` (in 1/1024 of a cycle), attenuated by `envelope`.
std::int32_t operatorOutput(const Tables& t, std::uint32_t phase, std::int32_t modulation,
                            std::int32_t envelope)
{
    if (envelope >= SILENT_ENVELOPE) {
        return 0;
    }
    const std::uint32_t p = ((phase >> 10) + static_cast<std::uint32_t>(modulation)) & 0x3FF;
    const std::uint32_t sine = t.sine[p];
    const std::int32_t magnitude = t.output[(sine & 0x7FFF) + (static_cast<std::uint32_t>(envelope) << 2)];
    const std::int32_t negative = -static_cast<std::int32_t>(sine >> 15); // second half cycle below 0
    return (magnitude ^ negative) - negative;
}

// ---- Channels over a block of samples ------------------------------------

// The LFO's and the envelope generator's counters, which every channel
// follows. A block is rendered one channel at a time, each channel running
// its own copy of these from the block's start, so that a channel's state
// stays in registers over the block and its algorithm is chosen once.
struct FmClock {
    bool lfoOn = false;
    std::uint8_t lfoRate = 0;
    std::uint8_t lfoStep = 0;
    std::uint32_t lfoDivider = 0;
    std::uint32_t envelopeCounter = 0;
    std::uint32_t envelopeDivider = 0;
};

FmClock clockOf(const FmUnit& fm)
{
    return FmClock{fm.lfoOn, fm.lfoRate, fm.lfoStep, fm.lfoDivider, fm.envelopeCounter, fm.envelopeDivider};
}

// What a sample's advance of the counters moved.
constexpr unsigned ENVELOPE_TICKED = 1; // the envelope generator ticked (every 3 samples)
constexpr unsigned LFO_MOVED = 2;       // the LFO took a step

// Advances the counters one output sample; says what moved.
inline unsigned advanceClock(FmClock& k)
{
    unsigned moved = 0;
    if (k.lfoOn && ++k.lfoDivider >= LFO_PERIOD[k.lfoRate]) {
        k.lfoDivider = 0;
        k.lfoStep = static_cast<std::uint8_t>((k.lfoStep + 1) % LFO_STEPS);
        moved = LFO_MOVED;
    }
    if (++k.envelopeDivider >= 3) {
        k.envelopeDivider = 0;
        ++k.envelopeCounter;
        moved |= ENVELOPE_TICKED;
    }
    return moved;
}

// The LFO's triangles at a step: amplitude 0-126 over all 128 steps, and
// phase -7..7 over 32 steps of four (rising, falling, then the same below 0).
struct LfoNow {
    std::int32_t amWave;
    int pmLevel;
    int pmIndex;
};

inline LfoNow lfoAt(std::uint8_t step)
{
    const int pmStep = step >> 2;
    const int pmLevel = (pmStep & 0x08) ? 7 - (pmStep & 7) : (pmStep & 7);
    return LfoNow{((step & 0x40) ? 63 - (step & 0x3F) : (step & 0x3F)) * 2, pmLevel,
                  (pmStep & 0x10) ? 8 + pmLevel : pmLevel};
}

// The phase steps of channel `c` under the LFO's phase modulation at
// `pmIndex`. The modulation moves only every 4 LFO steps: the steps are
// worked out when it moves, and kept in the channel.
const std::uint32_t* modulatedIncrements(FmUnit& fm, int c, int pmIndex)
{
    FmChannel& ch = fm.channel[c];
    const int at = ch.pmSensitivity * 16 + pmIndex;
    if (ch.modulatedAt != at) {
        ch.modulatedAt = at;
        const std::int32_t scale = tables().pmScale[ch.pmSensitivity][pmIndex];
        for (int o = 0; o < FM_OPERATORS; ++o) {
            std::uint16_t fnumber = 0;
            std::uint8_t block = 0;
            operatorPitch(fm, c, o, fnumber, block);
            const std::int32_t moved = (std::int32_t{fnumber} << 4) + ((fnumber * scale) >> 12);
            ch.modulatedIncrement[o] = phaseIncrement(static_cast<std::uint32_t>(moved), block, ch.op[o]);
        }
    }
    return ch.modulatedIncrement;
}

// True when no operator of the channel can be heard this sample: each
// envelope alone (total level and amplitude modulation only add to it) is at
// or past the point where the exponent leaves nothing, with no SSG-type
// envelope to turn it over.
bool channelSilent(const FmChannel& ch)
{
    for (const FmOperator& op : ch.op) {
        if (op.attenuation < SILENT_ENVELOPE || (op.ssgEnvelope & SSG_ON)) {
            return false;
        }
    }
    return true;
}

// What of a channel changes sample by sample, held in locals over a block and
// put back at its end; and what changes only on an envelope tick.
struct ChannelRun {
    std::uint32_t phase[FM_OPERATORS];
    std::int32_t output[FM_OPERATORS];
    std::int32_t history[2];
    std::int32_t level[FM_OPERATORS];  // soundingLevel of each operator
    std::int32_t amMask[FM_OPERATORS]; // -1 where the operator takes the amplitude modulation
    bool silent;
};

void refreshLevels(const FmChannel& ch, ChannelRun& run)
{
    for (int o = 0; o < FM_OPERATORS; ++o) {
        run.level[o] = soundingLevel(ch.op[o]);
    }
    run.silent = channelSilent(ch);
}

ChannelRun startRun(const FmChannel& ch)
{
    ChannelRun run{};
    for (int o = 0; o < FM_OPERATORS; ++o) {
        run.phase[o] = ch.op[o].phase;
        run.output[o] = ch.op[o].output;
        run.amMask[o] = ch.op[o].amplitudeModulation ? -1 : 0;
    }
    run.history[0] = ch.feedbackHistory[0];
    run.history[1] = ch.feedbackHistory[1];
    refreshLevels(ch, run);
    return run;
}

void endRun(FmChannel& ch, const ChannelRun& run)
{
    for (int o = 0; o < FM_OPERATORS; ++o) {
        ch.op[o].phase = run.phase[o];
        ch.op[o].output = run.output[o];
    }
    ch.feedbackHistory[0] = run.history[0];
    ch.feedbackHistory[1] = run.history[1];
}

// One envelope tick of the channel's operators; an SSG-type envelope's new
// run may restart a phase, so the phases go through the operators. The
// levels follow what the envelopes moved.
void tickChannel(FmChannel& ch, ChannelRun& run, std::uint32_t counter)
{
    bool moved = false;
    for (int o = 0; o < FM_OPERATORS; ++o) {
        FmOperator& op = ch.op[o];
        if ((counter & op.idleMask) != 0) {
            continue;
        }
        const std::int32_t attenuation = op.attenuation;
        const bool inverted = op.ssgInverted;
        op.phase = run.phase[o];
        envelopeTick(op, counter);
        refreshIdle(op);
        run.phase[o] = op.phase;
        moved = moved | (op.attenuation != attenuation) | (op.ssgInverted != inverted);
    }
    if (moved) { // most ticks move no envelope of a channel
        refreshLevels(ch, run);
    }
}

// One operator's output for this sample, with its phase then advanced.
inline std::int32_t runOperator(const Tables& t, ChannelRun& run, int o, std::uint32_t increment,
                                std::int32_t modulation, std::int32_t am)
{
    run.output[o] = operatorOutput(t, run.phase[o], modulation, run.level[o] + (am & run.amMask[o]));
    run.phase[o] = (run.phase[o] + increment) & PHASE_MASK;
    return run.output[o];
}

// The channel's output for this sample. Operator 1 feeds back the mean of its
// last two outputs; feedback 1-7 gives the documented modulation depths
// pi/16 ... 4pi. A modulator passes on half its output, so a full-scale one
// moves its carrier's phase 4 cycles; two modulators into one operator are
// summed first. The chip computes the operators in the order 1, 3, 2, 4, so
// where operator 2 modulates operator 3 (algorithms 0-2), operator 3 gets
// operator 2's output of the sample before. The carriers are summed in a
// wider accumulator and the sum is not limited here: two carriers at full
// level reach twice one operator's peak, and only the chip's final output is
// held to 16 bits.
template <int ALGORITHM>
inline std::int32_t renderSample(const Tables& t, ChannelRun& r, const std::uint32_t inc[FM_OPERATORS],
                                 int feedback, std::int32_t am)
{
    const std::int32_t selfModulation = feedback ? (r.history[0] + r.history[1]) >> (10 - feedback) : 0;
    const std::int32_t o1 = runOperator(t, r, 0, inc[0], selfModulation, am);
    r.history[1] = r.history[0];
    r.history[0] = o1;
    if constexpr (ALGORITHM == 0) { // 1-2-3-4
        const std::int32_t o3 = runOperator(t, r, 2, inc[2], r.output[1] >> 1, am);
        runOperator(t, r, 1, inc[1], o1 >> 1, am);
        return runOperator(t, r, 3, inc[3], o3 >> 1, am);
    } else if constexpr (ALGORITHM == 1) { // (1+2)-3-4
        const std::int32_t o3 = runOperator(t, r, 2, inc[2], (o1 + r.output[1]) >> 1, am);
        runOperator(t, r, 1, inc[1], 0, am);
        return runOperator(t, r, 3, inc[3], o3 >> 1, am);
    } else if constexpr (ALGORITHM == 2) { // (1+(2-3))-4
        const std::int32_t o3 = runOperator(t, r, 2, inc[2], r.output[1] >> 1, am);
        runOperator(t, r, 1, inc[1], 0, am);
        return runOperator(t, r, 3, inc[3], (o1 + o3) >> 1, am);
    } else if constexpr (ALGORITHM == 3) { // ((1-2)+3)-4
        const std::int32_t o3 = runOperator(t, r, 2, inc[2], 0, am);
        const std::int32_t o2 = runOperator(t, r, 1, inc[1], o1 >> 1, am);
        return runOperator(t, r, 3, inc[3], (o2 + o3) >> 1, am);
    } else if constexpr (ALGORITHM == 4) { // (1-2)+(3-4)
        const std::int32_t o3 = runOperator(t, r, 2, inc[2], 0, am);
        const std::int32_t sum = runOperator(t, r, 1, inc[1], o1 >> 1, am);
        return sum + runOperator(t, r, 3, inc[3], o3 >> 1, am);
    } else if constexpr (ALGORITHM == 5) { // 1-(2+3+4)
        std::int32_t sum = runOperator(t, r, 2, inc[2], o1 >> 1, am);
        sum += runOperator(t, r, 1, inc[1], o1 >> 1, am);
        return sum + runOperator(t, r, 3, inc[3], o1 >> 1, am);
    } else if constexpr (ALGORITHM == 6) { // (1-2)+3+4
        std::int32_t sum = runOperator(t, r, 2, inc[2], 0, am);
        sum += runOperator(t, r, 1, inc[1], o1 >> 1, am);
        return sum + runOperator(t, r, 3, inc[3], 0, am);
    } else { // 7: 1+2+3+4
        std::int32_t sum = o1 + runOperator(t, r, 2, inc[2], 0, am);
        sum += runOperator(t, r, 1, inc[1], 0, am);
        return sum + runOperator(t, r, 3, inc[3], 0, am);
    }
}

// A sample of a channel no one can hear: the output is 0 and only the phases
// move, exactly as a full render would leave them.
inline void silentSample(ChannelRun& r, const std::uint32_t inc[FM_OPERATORS])
{
    for (int o = 0; o < FM_OPERATORS; ++o) {
        r.output[o] = 0;
        r.phase[o] = (r.phase[o] + inc[o]) & PHASE_MASK;
    }
    r.history[1] = r.history[0];
    r.history[0] = 0;
}

// Channel `c` over `count` samples from `clock`, its output added to
// `left` and `right` as its output bits say.
template <int ALGORITHM>
void renderChannel(FmUnit& fm, int c, FmClock clock, std::int32_t* left, std::int32_t* right,
                   std::size_t count)
{
    const Tables& t = tables();
    FmChannel& ch = fm.channel[c];
    ChannelRun run = startRun(ch);
    std::uint32_t plain[FM_OPERATORS];
    for (int o = 0; o < FM_OPERATORS; ++o) {
        plain[o] = ch.op[o].increment;
    }
    const int amShift = AM_SHIFT[ch.amSensitivity];
    const int feedback = ch.feedback;
    const bool pm = ch.pmSensitivity != 0;
    const std::int32_t leftMask = ch.left ? -1 : 0;
    const std::int32_t rightMask = ch.right ? -1 : 0;
    LfoNow lfo = lfoAt(clock.lfoStep);
    std::int32_t am = lfo.amWave >> amShift;
    for (std::size_t i = 0; i < count; ++i) {
        const unsigned moved = advanceClock(clock);
        if (moved & ENVELOPE_TICKED) {
            tickChannel(ch, run, clock.envelopeCounter);
        }
        if (moved & LFO_MOVED) {
            lfo = lfoAt(clock.lfoStep);
            am = lfo.amWave >> amShift;
        }
        const std::uint32_t* inc = pm && lfo.pmLevel != 0 ? modulatedIncrements(fm, c, lfo.pmIndex) : plain;
        if (run.silent) {
            silentSample(run, inc);
            continue;
        }
        const std::int32_t out = renderSample<ALGORITHM>(t, run, inc, feedback, am);
        left[i] += out & leftMask;
        right[i] += out & rightMask;
    }
    endRun(ch, run);
}

// A channel that is not computed (channels 4-6 in three-channel mode): its
// envelopes keep time, its phases stand.
void tickOnly(FmChannel& ch, FmClock clock, std::size_t count)
{
    for (std::size_t i = 0; i < count; ++i) {
        if (advanceClock(clock) & ENVELOPE_TICKED) {
            for (FmOperator& op : ch.op) {
                tickOperator(op, clock.envelopeCounter);
            }
        }
    }
}

using ChannelRenderer = void (*)(FmUnit&, int, FmClock, std::int32_t*, std::int32_t*, std::size_t);
constexpr ChannelRenderer RENDERERS[8] = {renderChannel<0>, renderChannel<1>, renderChannel<2>,
                                          renderChannel<3>, renderChannel<4>, renderChannel<5>,
                                          renderChannel<6>, renderChannel<7>};

void writeOperator(FmUnit& fm, int c, int o, std::uint8_t reg, std::uint8_t value)
{
    FmOperator& op = fm.channel[c].op[o];
    switch (reg & 0xF0) {
    case 0x30:
        op.detune = (value >> 4) & 7;
        op.multiple = value & 0x0F;
        refreshPitch(fm, c);
        break;
    case 0x40:
        op.totalLevel = value & 0x7F;
        break;
    case 0x50:
        op.keyScale = value >> 6;
        op.attackRate = value & 0x1F;
        break;
    case 0x60:
        op.amplitudeModulation = value & 0x80;
        op.decayRate = value & 0x1F;
        break;
    case 0x70:
        op.sustainRate = value & 0x1F;
        break;
    case 0x80:
        op.sustainLevel = value >> 4;
        op.releaseRate = value & 0x0F;
        break;
    case 0x90:
        op.ssgEnvelope = value & 0x0F;
        break;
    default:
        break;
    }
    refreshRates(op);
}

void writeChannel(FmUnit& fm, int bank, int c, std::uint8_t reg, std::uint8_t value)
{
    FmChannel& ch = fm.channel[c];
    switch (reg & 0xFC) {
    case 0xA0:
        ch.fnumber = static_cast<std::uint16_t>(((ch.latch & 0x07) << 8) | value);
        ch.block = (ch.latch >> 3) & 0x07;
        refreshPitch(fm, c);
        break;
    case 0xA4:
        // Each channel keeps its own latch, so writes to two channels' high
        // bytes before their low bytes still reach the right channels.
        ch.latch = value & 0x3F;
        break;
    case 0xA8:
        if (bank == 0) {
            const int o = CH3_REG_OPERATOR[reg & 3];
            fm.ch3Fnumber[o] = static_cast<std::uint16_t>(((fm.ch3Latch[o] & 0x07) << 8) | value);
            fm.ch3Block[o] = (fm.ch3Latch[o] >> 3) & 0x07;
            refreshPitch(fm, CHANNEL_3);
        }
        break;
    case 0xAC:
        if (bank == 0) {
            fm.ch3Latch[CH3_REG_OPERATOR[reg & 3]] = value & 0x3F;
        }
        break;
    case 0xB0:
        ch.feedback = (value >> 3) & 0x07;
        ch.algorithm = value & 0x07;
        break;
    case 0xB4:
        ch.left = value & 0x80;
        ch.right = value & 0x40;
        ch.amSensitivity = (value >> 4) & 0x03;
        ch.pmSensitivity = value & 0x07;
        break;
    default:
        break;
    }
}

} // namespace

void resetFm(FmUnit& fm)
{
    fm = FmUnit{};
    for (int c = 0; c < FM_CHANNELS; ++c) {
        refreshPitch(fm, c);
    }
}

void writeFm(FmUnit& fm, int bank, std::uint8_t reg, std::uint8_t value)
{
    if (bank != 0 && bank != 1) {
        return;
    }
    if (reg >= 0x30 && reg < 0xB8) {
        const int slot = reg & 3;
        if (slot == 3) {
            return; // no channel 4 within a bank
        }
        const int c = bank * 3 + slot;
        if (reg < 0xA0) {
            writeOperator(fm, c, SLOT_OPERATOR[(reg >> 2) & 3], reg, value);
        } else {
            writeChannel(fm, bank, c, reg, value);
        }
        return;
    }
    if (bank != 0) {
        return;
    }
    switch (reg) {
    case REG_LFO:
        // 0x22  ----x--- LFO on   -----xxx frequency. Off holds the LFO at its start.
        fm.lfoOn = value & LFO_ON;
        fm.lfoRate = value & 0x07;
        if (!fm.lfoOn) {
            fm.lfoStep = 0;
            fm.lfoDivider = 0;
        }
        break;
    case REG_CHANNELS:
        // 0x29  x------- channels 4-6 on   ---xxxxx interrupt enables (not the FM unit's)
        fm.sixChannels = value & SIX_CHANNELS;
        break;
    case REG_MODE: {
        // 0x27  xx------ channel 3 mode (the timer bits are not the FM unit's)
        const bool special = value & MODE_CH3_MASK;
        if (special != fm.ch3Special) {
            fm.ch3Special = special;
            refreshPitch(fm, CHANNEL_3);
        }
        break;
    }
    case FM_KEY: {
        // 0x28  xxxx---- operators 4, 3, 2, 1 on   -----xxx channel: 0-2 = 1-3, 4-6 = 4-6
        const int select = value & FM_KEY_CHANNEL_BITS;
        if ((select & 3) == 3) {
            return;
        }
        FmChannel& ch = fm.channel[(select >> 2) * 3 + (select & 3)];
        for (int o = 0; o < FM_OPERATORS; ++o) {
            if (value & (FM_KEY_OPERATOR1 << o)) {
                keyOn(ch.op[o]);
            } else {
                keyOff(ch.op[o]);
            }
        }
        break;
    }
    default:
        break;
    }
}

void renderFm(FmUnit& fm, std::span<std::int32_t> left, std::span<std::int32_t> right)
{
    const std::size_t count = std::min(left.size(), right.size());
    const FmClock start = clockOf(fm);
    // In three-channel mode channels 4-6 are not computed.
    const int channels = fm.sixChannels ? FM_CHANNELS : FM_CHANNELS / 2;
    for (int c = 0; c < FM_CHANNELS; ++c) {
        if (c < channels) {
            RENDERERS[fm.channel[c].algorithm](fm, c, start, left.data(), right.data(), count);
        } else {
            tickOnly(fm.channel[c], start, count);
        }
    }
    FmClock end = start;
    for (std::size_t i = 0; i < count; ++i) {
        advanceClock(end);
    }
    fm.lfoStep = end.lfoStep;
    fm.lfoDivider = end.lfoDivider;
    fm.envelopeCounter = end.envelopeCounter;
    fm.envelopeDivider = end.envelopeDivider;
}

void clockFm(FmUnit& fm, std::int32_t& left, std::int32_t& right)
{
    std::int32_t l = 0;
    std::int32_t r = 0;
    renderFm(fm, std::span<std::int32_t>(&l, 1), std::span<std::int32_t>(&r, 1));
    left += l;
    right += r;
}

} // namespace synth
