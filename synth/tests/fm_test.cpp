// The FM unit against the chip's documented behaviour, through its register
// writes and its output only.
#include "synth/fm.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <numbers>
#include <vector>

namespace {

using synth::FmUnit;

constexpr double CLOCK = 7987200.0;
constexpr double SAMPLE_RATE = CLOCK / 144.0;
constexpr int ONE_SECOND = 55467;
// F-number 1024 at block 5 steps the phase by 2^14: a period of exactly 64 samples.
constexpr int PERIOD = 64;
constexpr int FULL_PEAK = 8168; // an operator's peak at attenuation 0

// Register offsets of operators 1-4 (the registers list them 1, 3, 2, 4).
constexpr int OPERATOR_OFFSET[4] = {0, 8, 4, 12};

void writeOp(FmUnit& fm, int ch, int op, std::uint8_t reg, std::uint8_t v)
{
    synth::writeFm(fm, ch / 3, static_cast<std::uint8_t>(reg + OPERATOR_OFFSET[op - 1] + ch % 3), v);
}
void writeCh(FmUnit& fm, int ch, std::uint8_t reg, std::uint8_t v)
{
    synth::writeFm(fm, ch / 3, static_cast<std::uint8_t>(reg + ch % 3), v);
}
void setPitch(FmUnit& fm, int ch, int fnumber, int block)
{
    writeCh(fm, ch, 0xA4, static_cast<std::uint8_t>(block << 3 | fnumber >> 8));
    writeCh(fm, ch, 0xA0, static_cast<std::uint8_t>(fnumber & 0xFF));
}
/// Operators 1-4 at multiple 1 (or 1-4 with `multiples`) and instant attack, none decaying, the
/// fastest release; those in `loud` at total level `tl`, the others at 127 (silent).
void voice(FmUnit& fm, int ch, int algorithm, unsigned loud, int tl = 0, int feedback = 0,
           bool multiples = false)
{
    writeCh(fm, ch, 0xB0, static_cast<std::uint8_t>(feedback << 3 | algorithm));
    for (int op = 1; op <= 4; ++op) {
        writeOp(fm, ch, op, 0x30, static_cast<std::uint8_t>(multiples ? op : 1));
        writeOp(fm, ch, op, 0x40, static_cast<std::uint8_t>(loud & (1U << (op - 1)) ? tl : 127));
        writeOp(fm, ch, op, 0x50, 0x1F);
        writeOp(fm, ch, op, 0x60, 0x00);
        writeOp(fm, ch, op, 0x70, 0x00);
        writeOp(fm, ch, op, 0x80, 0x0F);
    }
}
void key(FmUnit& fm, int ch, unsigned operators)
{
    synth::writeFm(fm, 0, 0x28, static_cast<std::uint8_t>(operators << 4 | (ch / 3) << 2 | ch % 3));
}
/// A unit after power-up, in six-channel mode.
FmUnit freshUnit()
{
    FmUnit fm;
    synth::resetFm(fm);
    synth::writeFm(fm, 0, 0x29, 0x80);
    return fm;
}
/// freshUnit with channel `ch` voiced at F-number 1024, block 5 (a 64-sample period), not keyed.
FmUnit note(int ch, unsigned loud = 0x8, int algorithm = 7, int tl = 0, int feedback = 0,
            bool multiples = false)
{
    FmUnit fm = freshUnit();
    voice(fm, ch, algorithm, loud, tl, feedback, multiples);
    setPitch(fm, ch, 1024, 5);
    return fm;
}
std::vector<std::int32_t> render(FmUnit& fm, int samples, bool rightSide = false)
{
    std::vector<std::int32_t> out;
    out.reserve(samples);
    for (int i = 0; i < samples; ++i) {
        std::int32_t l = 0, r = 0;
        synth::clockFm(fm, l, r);
        out.push_back(rightSide ? r : l);
    }
    return out;
}

/// Cycles per sample, from the first and last upward zero crossings, each placed by linear interpolation.
double measuredFrequency(const std::vector<std::int32_t>& s, std::size_t from = 0, std::size_t to = 0)
{
    to = to ? to : s.size();
    double first = -1, last = -1;
    int crossings = 0;
    for (std::size_t i = from + 1; i < to; ++i) {
        if (s[i - 1] < 0 && s[i] >= 0) {
            const double at = double(i - 1) + double(-s[i - 1]) / double(s[i] - s[i - 1]);
            first = first < 0 ? at : first;
            last = at;
            ++crossings;
        }
    }
    return crossings < 2 ? 0.0 : (crossings - 1) / (last - first);
}
double cents(double measured, double expected)
{
    return 1200.0 * std::log2(measured / expected);
}
/// The peak of each PERIOD-sample window.
std::vector<int> peaks(const std::vector<std::int32_t>& s)
{
    std::vector<int> p;
    for (std::size_t i = 0; i + PERIOD <= s.size(); i += PERIOD) {
        int m = 0;
        for (std::size_t j = i; j < i + PERIOD; ++j) {
            m = std::max(m, std::abs(s[j]));
        }
        p.push_back(m);
    }
    return p;
}
/// Samples until the peak first falls to `level` or below (rising: rises to it or above); -1 if never.
long firstWindow(const std::vector<int>& p, int level, bool rising = false)
{
    for (std::size_t i = 0; i < p.size(); ++i) {
        if (rising ? p[i] >= level : p[i] <= level) {
            return long(i) * PERIOD;
        }
    }
    return -1;
}

// A note's frequency is clock/144 * F-number * 2^(block - 1) / 2^20 Hz times
// the multiple (0 = one half), and detune adds its documented step before the
// multiple: measured over one second it must agree within 0.1 cent.
TEST(FmPitch, SineOperatorMatchesFnumberAndBlockOverOneSecond)
{
    struct Case {
        int fnumber, block, multiple, detune, detuneStep;
    };
    const Case cases[] = {{618, 4, 1, 0, 0},   {1000, 3, 1, 0, 0},   {2047, 2, 1, 0, 0},
                          {300, 6, 2, 0, 0},   {600, 4, 0, 0, 0},    {1200, 1, 15, 0, 0},
                          {2047, 7, 1, 3, 22}, {2047, 7, 1, 7, -22}, {1100, 4, 1, 1, 3}};
    for (const Case& c : cases) {
        FmUnit fm = note(0);
        writeOp(fm, 0, 4, 0x30, static_cast<std::uint8_t>(c.detune << 4 | c.multiple));
        setPitch(fm, 0, c.fnumber, c.block);
        key(fm, 0, 0xF);
        const double multiple = c.multiple ? c.multiple : 0.5;
        const double expectedHz =
            (SAMPLE_RATE * (c.fnumber * std::exp2(c.block - 1) + c.detuneStep) / 1048576.0) * multiple;
        const double hz = measuredFrequency(render(fm, ONE_SECOND)) * SAMPLE_RATE;
        EXPECT_LT(std::abs(cents(hz, expectedHz)), 0.1) << "F-number " << c.fnumber << " block " << c.block
                                                        << ": " << hz << " Hz, expected " << expectedHz;
    }
}

// Envelope times from the rate tables: rate r = 2 * R + (key code >> (3 - key
// scale)) moves the envelope (4 + r % 4) / 8 steps every 2^(11 - r / 4)
// envelope ticks of 3 samples (r < 44). Key code 22 here (F-number 1024, block 5).
double samplesFor(int steps, int rate)
{
    return steps * 3.0 * std::exp2(11 - rate / 4) * 8.0 / (4 + rate % 4);
}

TEST(FmEnvelope, DecayAndReleaseTimesFollowTheRateTables)
{
    struct Case {
        int decayRate, keyScale, block, releaseRate, rate;
    };
    // Key scale 3 at block 7 adds the whole key code (30); a release rate R counts as 2R + 1.
    const Case cases[] = {{6, 0, 5, -1, 14},  {10, 0, 5, -1, 22}, {14, 0, 5, -1, 30},
                          {18, 0, 5, -1, 38}, {4, 0, 7, -1, 11},  {4, 3, 7, -1, 38},
                          {0, 0, 5, 3, 16},   {0, 0, 5, 7, 32},   {0, 0, 5, 10, 44}};
    for (const Case& c : cases) {
        FmUnit fm = note(0);
        setPitch(fm, 0, 1024, c.block);
        writeOp(fm, 0, 4, 0x50, static_cast<std::uint8_t>(c.keyScale << 6 | 0x1F));
        writeOp(fm, 0, 4, 0x60, static_cast<std::uint8_t>(c.decayRate));
        writeOp(fm, 0, 4, 0x80, static_cast<std::uint8_t>(c.releaseRate < 0 ? 0xFF : c.releaseRate));
        key(fm, 0, 0xF);
        if (c.releaseRate >= 0) {
            render(fm, 1000);
            key(fm, 0, 0x0);
        }
        const double expected = samplesFor(256, c.rate);
        const int minus24dB = 510; // the peak once the envelope has fallen 256 steps
        const long t = firstWindow(peaks(render(fm, int(expected * 1.2) + 4096)), minus24dB);
        EXPECT_NEAR(double(t), expected, expected * 0.02 + 2 * PERIOD) << "rate " << c.rate;
    }
}

// Attack: each move takes (attenuation + 1) * step / 16 off the attenuation.
// At rate 48 that is one step every envelope tick; each 4 rates lower take
// twice as long; rates 62-63 are at full level at once.
TEST(FmEnvelope, AttackTimesFollowTheRateTables)
{
    int ticks48 = 0;
    for (int a = 0x3FF; a > 0; ++ticks48) {
        a += (~a) >> 4;
    }
    for (const int ar : {15, 19, 23, 31}) {
        FmUnit fm = note(0);
        writeOp(fm, 0, 4, 0x50, static_cast<std::uint8_t>(ar));
        key(fm, 0, 0xF);
        const int rate = 2 * ar + 2;
        const double expected = rate >= 62 ? 0.0 : ticks48 * 3.0 * std::exp2((48 - rate) / 4);
        const long t = firstWindow(peaks(render(fm, int(expected * 1.2) + 4096)), FULL_PEAK, true);
        EXPECT_NEAR(double(t), expected, expected * 0.05 + 2 * PERIOD) << "attack rate " << ar;
    }
}

// Algorithms: which operators are carriers, and which modulate which. The
// test sounds operators j and m and m's path to the output: j modulates m when
// its presence changes the output, but not once m is silent.
TEST(FmAlgorithms, RouteTheOperatorsAsTheDiagramsShow)
{
    struct Diagram {
        unsigned carriers;
        unsigned into[4]; // operators (bit 0 = operator 1) modulating operators 1-4
    };
    const Diagram diagrams[8] = {
        {0x8, {0, 0x1, 0x2, 0x4}}, {0x8, {0, 0, 0x3, 0x4}}, {0x8, {0, 0, 0x2, 0x5}},
        {0x8, {0, 0x1, 0, 0x6}},   {0xA, {0, 0x1, 0, 0x4}}, {0xE, {0, 0x1, 0x1, 0x1}},
        {0xE, {0, 0x1, 0, 0}},     {0xF, {0, 0, 0, 0}},
    };
    for (int alg = 0; alg < 8; ++alg) {
        const Diagram& d = diagrams[alg];
        auto sound = [&](unsigned loud) {
            FmUnit fm = note(1, loud, alg, 8, 0, true);
            key(fm, 1, 0xF);
            return render(fm, 8 * PERIOD);
        };
        const std::vector<std::int32_t> silence(8 * PERIOD, 0);
        auto downstream = [&](int m) { // m and every operator it leads to
            unsigned set = 1U << m;
            for (int pass = 0; pass < 4; ++pass) {
                for (int k = 0; k < 4; ++k) {
                    set |= (d.into[k] & set) ? 1U << k : 0;
                }
            }
            return set;
        };
        for (int m = 0; m < 4; ++m) {
            EXPECT_EQ(sound(1U << m) != silence, bool(d.carriers & (1U << m)))
                << "algorithm " << alg << " operator " << m + 1 << " as a carrier";
            for (int j = 0; j < 4; ++j) {
                if (j == m || (d.carriers & (1U << j))) {
                    continue;
                }
                const unsigned path = downstream(m), withJ = path | 1U << j;
                const bool modulates =
                    sound(withJ) != sound(path) && sound(withJ & ~(1U << m)) == sound(path & ~(1U << m));
                EXPECT_EQ(modulates, bool(d.into[m] & (1U << j)))
                    << "algorithm " << alg << ": operator " << j + 1 << " into operator " << m + 1;
            }
        }
    }
}

// Feedback 0 leaves operator 1 a pure sine; each step more moves energy out
// of the fundamental (to harmonics, and from feedback 5 on, the self-modulation
// no longer settles into one period).
TEST(FmFeedback, HarmonicsGrowWithFeedback)
{
    double previous = -1.0;
    for (int fb = 0; fb <= 7; ++fb) {
        FmUnit fm = note(0, 0x1, 7, 0, fb);
        key(fm, 0, 0xF);
        render(fm, 16 * PERIOD);
        const std::vector<std::int32_t> s = render(fm, 64 * PERIOD);
        double re = 0, im = 0, total = 0;
        for (std::size_t i = 0; i < s.size(); ++i) {
            const double w = 2.0 * std::numbers::pi * double(i) / PERIOD;
            re += s[i] * std::cos(w);
            im += s[i] * std::sin(w);
            total += double(s[i]) * s[i];
        }
        const double fundamental = 2.0 * (re * re + im * im) / double(s.size());
        const double outside = (total - fundamental) / fundamental;
        if (fb == 0) {
            EXPECT_LT(outside, 1e-4);
        } else {
            EXPECT_GT(outside, previous * (fb <= 5 ? 2.0 : 1.0)) << "feedback " << fb;
        }
        previous = outside;
    }
}

// 0x28 keys each operator by its own bit (bit 4 = operator 1 ... bit 7 =
// operator 4) on the channel in bits 0-2; 3 and 7 name no channel. Operators
// 1-4 here play 1-4 times the note.
TEST(FmKeys, EachOperatorHasItsOwnKeyBit)
{
    const double base = 1.0 / PERIOD;
    for (const int ch : {0, 4}) {
        for (int op = 1; op <= 4; ++op) {
            FmUnit fm = note(ch, 0xF, 7, 0, 0, true);
            key(fm, ch, 1U << (op - 1));
            EXPECT_NEAR(measuredFrequency(render(fm, 4096)), base * op, 1e-6) << "channel " << ch + 1;
            // Key on starts the phase from 0: the same samples as the first key on.
            FmUnit again = fm;
            key(again, ch, 0x0);
            render(again, 1000);
            key(again, ch, 1U << (op - 1));
            FmUnit first = note(ch, 0xF, 7, 0, 0, true);
            key(first, ch, 1U << (op - 1));
            EXPECT_EQ(render(again, 64), render(first, 64));
            // Operator 4 on and the first off: the first fades, operator 4 remains.
            key(fm, ch, 0x8);
            render(fm, 2048);
            EXPECT_NEAR(measuredFrequency(render(fm, 4096)), base * 4, 1e-6);
        }
    }
    FmUnit fm = note(2, 0xF);
    synth::writeFm(fm, 0, 0x28, 0xF3); // no channel
    synth::writeFm(fm, 0, 0x28, 0xF7);
    EXPECT_EQ(render(fm, 256), std::vector<std::int32_t>(256, 0));
}

// Channel 3 mode (0x27 bits 6-7): operators 1-3 take their pitch from
// 0xA9/0xAD, 0xAA/0xAE and 0xA8/0xAC, operator 4 from 0xA2/0xA6; in normal
// mode all four use 0xA2/0xA6. The high bytes wait for their low bytes.
TEST(FmChannel3, SpecialModeGivesEachOperatorItsFrequency)
{
    for (const bool special : {true, false}) {
        const int fnumbers[4] = {512, 768, 1024, 1536}; // operators 1-4: periods 128, 85.3, 64, 42.7
        for (int op = 1; op <= 4; ++op) {
            FmUnit fm = freshUnit();
            synth::writeFm(fm, 0, 0x27, special ? 0x40 : 0x00);
            voice(fm, 2, 7, 0xF);
            const std::uint8_t low[3] = {0xA9, 0xAA, 0xA8}; // operators 1, 2, 3
            for (int k = 0; k < 3; ++k) {
                synth::writeFm(fm, 0, static_cast<std::uint8_t>(low[k] + 4),
                               static_cast<std::uint8_t>(5 << 3 | fnumbers[k] >> 8));
                synth::writeFm(fm, 1, low[k], 0x00); // the second bank has no such registers
                synth::writeFm(fm, 0, low[k], static_cast<std::uint8_t>(fnumbers[k] & 0xFF));
            }
            setPitch(fm, 2, fnumbers[3], 5);
            key(fm, 2, 1U << (op - 1));
            const double expected = (special ? fnumbers[op - 1] : fnumbers[3]) * 16.0 / 1048576.0;
            EXPECT_NEAR(measuredFrequency(render(fm, 8192)), expected, 1e-6)
                << (special ? "special" : "normal") << " mode, operator " << op;
        }
    }
}

TEST(FmChannel3, HighByteWaitsForTheLowByte)
{
    FmUnit fm = note(5);
    key(fm, 5, 0xF);
    synth::writeFm(fm, 1, 0xA6, 6 << 3 | 4); // block 6: latched only
    EXPECT_NEAR(measuredFrequency(render(fm, 2048)), 1.0 / PERIOD, 1e-6);
    synth::writeFm(fm, 1, 0xA2, 0x00);
    EXPECT_NEAR(measuredFrequency(render(fm, 2048)), 2.0 / PERIOD, 1e-6);
}

// 0xB4-0xB6 bit 7 sends a channel left, bit 6 right; power-up sends both.
// Channels 4-6 sound only in six-channel mode (0x29 bit 7), which power-up leaves off.
TEST(FmOutput, PanBitsAndSixChannelModeChooseWhatIsHeard)
{
    for (const int ch : {0, 5}) {
        for (const int pan : {-1, 0x00, 0x40, 0x80, 0xC0}) {
            FmUnit fm = note(ch);
            if (pan >= 0) {
                writeCh(fm, ch, 0xB4, static_cast<std::uint8_t>(pan));
            }
            key(fm, ch, 0xF);
            FmUnit copy = fm;
            const bool left = pan < 0 || (pan & 0x80), right = pan < 0 || (pan & 0x40);
            EXPECT_EQ(peaks(render(fm, 256, false))[1], left ? FULL_PEAK : 0)
                << "channel " << ch + 1 << " pan " << pan;
            EXPECT_EQ(peaks(render(copy, 256, true))[1], right ? FULL_PEAK : 0)
                << "channel " << ch + 1 << " pan " << pan;
        }
    }
    for (const int mode : {-1, 0x00, 0x80, 0x1F}) {
        FmUnit fm;
        synth::resetFm(fm);
        if (mode >= 0) {
            synth::writeFm(fm, 0, 0x29, static_cast<std::uint8_t>(mode));
        }
        for (const int ch : {0, 3}) {
            voice(fm, ch, 7, 0x8);
            setPitch(fm, ch, 1024, 5);
            key(fm, ch, 0xF);
        }
        EXPECT_EQ(peaks(render(fm, 256))[1], mode == 0x80 ? 2 * FULL_PEAK : FULL_PEAK) << "0x29 = " << mode;
    }
}

// The chip sums a channel's carriers in an accumulator wider than one
// operator and limits only its final output: two carriers at full level and
// in phase (algorithm 4, operators 2 and 4; algorithm 5, three carriers at
// total levels 0, 32 and 0) reach past one operator's peak as the sum of
// their sines, without a flat top.
TEST(FmOutput, CarriersAtFullLevelSumPastOneOperatorsPeakUnclipped)
{
    FmUnit one = note(0, 0x2, 4);
    FmUnit two = note(0, 0x2 | 0x8, 4);
    key(one, 0, 0xF);
    key(two, 0, 0xF);
    const std::vector<std::int32_t> single = render(one, 4 * PERIOD);
    const std::vector<std::int32_t> both = render(two, 4 * PERIOD);
    EXPECT_EQ(peaks(both)[2], 2 * FULL_PEAK);
    for (std::size_t i = PERIOD; i < both.size(); ++i) {
        ASSERT_EQ(both[i], 2 * single[i]) << i;
    }
    // Algorithm 5 with operator 1 silent: carriers 2, 3, 4 at 0, 32 (-24 dB) and 0.
    FmUnit three = freshUnit();
    voice(three, 1, 5, 0x2 | 0x4 | 0x8);
    writeOp(three, 1, 3, 0x40, 32);
    setPitch(three, 1, 1024, 5);
    key(three, 1, 0xF);
    const int peak = peaks(render(three, 4 * PERIOD))[2];
    EXPECT_GT(peak, 2 * FULL_PEAK);
    EXPECT_NEAR(peak, FULL_PEAK * (2 + std::pow(10.0, -24.0 / 20.0)), 40);
}

// LFO (0x22) at frequency 0 (109 samples a step, 128 steps a cycle): amplitude
// modulation sensitivity 1-3 swings an operator with its AM bit 15, 63 and 126
// envelope steps (1.4, 5.9, 11.8 dB); phase modulation sensitivity 7 swings
// the pitch 80 cents.
TEST(FmLfo, ModulatesAmplitudeAndPitchAtTheSensitivities)
{
    const double depth[4] = {0.0, 15 * 0.09375, 63 * 0.09375, 126 * 0.09375}; // dB
    for (int ams = 0; ams < 5; ++ams) {
        const bool amBit = ams < 4; // the fifth: sensitivity 3, but the operator's AM bit clear
        FmUnit fm = note(0);
        synth::writeFm(fm, 0, 0x22, 0x08);
        writeOp(fm, 0, 4, 0x60, amBit ? 0x80 : 0x00);
        writeCh(fm, 0, 0xB4, static_cast<std::uint8_t>(0xC0 | (amBit ? ams : 3) << 4));
        key(fm, 0, 0xF);
        const std::vector<int> p = peaks(render(fm, 109 * 128));
        const auto lowest = std::min_element(p.begin(), p.end());
        EXPECT_NEAR(20 * std::log10(double(*std::max_element(p.begin(), p.end())) / *lowest),
                    amBit ? depth[ams] : 0.0, 0.1)
            << "sensitivity " << ams;
        if (ams == 3) { // deepest half way through the cycle
            EXPECT_NEAR(double(lowest - p.begin()) * PERIOD, 64 * 109, PERIOD);
        }
    }
    FmUnit fm = note(0);
    synth::writeFm(fm, 0, 0x22, 0x08);
    writeCh(fm, 0, 0xB4, 0xC7);
    key(fm, 0, 0xF);
    const std::vector<std::int32_t> s = render(fm, 109 * 128);
    double highest = -1e9, lowest = 1e9;
    for (int at = 0; at + 436 <= 109 * 128; at += 436) {
        const double c = cents(measuredFrequency(s, at, at + 436), 1.0 / PERIOD);
        highest = std::max(highest, c);
        lowest = std::min(lowest, c);
    }
    EXPECT_NEAR(highest, 80.0, 8.0);
    EXPECT_NEAR(lowest, -80.0, 8.0);
}

// SSG-type envelopes (0x90-0x9E) with decay rate 20: 8 repeats the decay,
// 9 decays once to silence, 11 once then holds full level (and releases
// from there at key off), 10 turns over without jumps, 12 repeats rising.
TEST(FmEnvelope, SsgTypeEnvelopesFollowTheirShapes)
{
    auto shape = [](int ssg, bool thenRelease = false) {
        FmUnit fm = note(0);
        writeOp(fm, 0, 4, 0x60, 20);
        writeOp(fm, 0, 4, 0x80, 0xFF);
        writeOp(fm, 0, 4, 0x90, static_cast<std::uint8_t>(ssg));
        key(fm, 0, 0xF);
        std::vector<int> p = peaks(render(fm, 40000));
        if (thenRelease) {
            key(fm, 0, 0x0);
            p = peaks(render(fm, 4 * PERIOD));
        }
        return p;
    };
    auto jumps = [](const std::vector<int>& p, bool up) {
        int n = 0;
        for (std::size_t i = 1; i < p.size(); ++i) {
            n += up ? (p[i] > 4 * p[i - 1] + 100) : (4 * p[i] + 100 < p[i - 1]);
        }
        return n;
    };
    const std::vector<int> saw = shape(0x08), once = shape(0x09), triangle = shape(0x0A), hold = shape(0x0B),
                           rising = shape(0x0C);
    const std::vector<int> triangleLater(triangle.begin() + triangle.size() / 2, triangle.end());
    EXPECT_GE(jumps(saw, true), 3);
    // The run to -48 dB goes at four times the decay rate: 128 steps at rate 42.
    std::vector<long> restarts;
    for (std::size_t i = 1; i < saw.size(); ++i) {
        if (saw[i] > 4 * saw[i - 1] + 100 &&
            (restarts.empty() || long(i) * PERIOD - restarts.back() > 4 * PERIOD)) {
            restarts.push_back(long(i) * PERIOD);
        }
    }
    ASSERT_GE(restarts.size(), 2U);
    EXPECT_NEAR(double(restarts[1] - restarts[0]), samplesFor(128, 42), 2 * PERIOD);
    EXPECT_EQ(jumps(saw, false), 0);
    EXPECT_EQ(once.back(), 0);
    EXPECT_EQ(jumps(once, true), 0);
    EXPECT_EQ(hold.back(), FULL_PEAK);
    EXPECT_GT(shape(0x0B, true)[0], FULL_PEAK / 8); // key off releases from the level heard
    EXPECT_EQ(jumps(triangle, true) + jumps(triangle, false), 0);
    EXPECT_LT(*std::min_element(triangleLater.begin(), triangleLater.end()), FULL_PEAK / 100);
    EXPECT_GT(*std::max_element(triangleLater.begin(), triangleLater.end()), FULL_PEAK * 9 / 10);
    EXPECT_GE(jumps(rising, false), 3);
    EXPECT_EQ(jumps(rising, true), 0);
}

// Any byte to any register of either bank (and writes to banks that do not
// exist) keeps the unit sound: every channel within four operators' 14-bit
// range (at most four carriers), so the six together within six times that. Register values come from the line, so
// this runs the whole register map with pseudo-random values and keys.
TEST(FmRobustness, AnyWritesKeepTheOutputInRange)
{
    FmUnit fm = freshUnit();
    std::uint32_t seed = 12345;
    auto next = [&seed] {
        seed = seed * 1664525U + 1013904223U;
        return static_cast<std::uint8_t>(seed >> 24);
    };
    for (int round = 0; round < 64; ++round) {
        for (const int bank : {0, 1, 2, -1}) {
            for (int reg = 0; reg < 256; ++reg) {
                synth::writeFm(fm, bank, static_cast<std::uint8_t>(reg), round == 0 ? 0xFF : next());
            }
        }
        synth::writeFm(fm, 0, 0x28, static_cast<std::uint8_t>(0xF0 | (round % 8)));
        for (int i = 0; i < 500; ++i) {
            std::int32_t left = 0, right = 0;
            synth::clockFm(fm, left, right);
            ASSERT_LE(std::abs(left), 6 * 4 * 8192);
            ASSERT_LE(std::abs(right), 6 * 4 * 8192);
        }
    }
}

// A render in blocks between writes is the same, sample for sample, as one
// sample at a time: every algorithm keyed and released, the LFO's amplitude
// and phase modulation, an SSG-type envelope, channel 3's own frequencies,
// and three-channel mode (where channels 4-6 keep only their envelopes'
// time), with blocks of every size from 1 to several hundred samples.
TEST(FmBlocks, RenderInBlocksAsSampleBySample)
{
    FmUnit bySample = freshUnit();
    FmUnit byBlock = freshUnit();
    std::uint32_t seed = 99;
    auto next = [&seed] {
        seed = seed * 1664525U + 1013904223U;
        return seed >> 8;
    };
    auto both = [&](int bank, int reg, int value) {
        synth::writeFm(bySample, bank, static_cast<std::uint8_t>(reg), static_cast<std::uint8_t>(value));
        synth::writeFm(byBlock, bank, static_cast<std::uint8_t>(reg), static_cast<std::uint8_t>(value));
    };
    for (int ch = 0; ch < 6; ++ch) {
        voice(bySample, ch, ch + 2 > 7 ? ch - 6 : ch + 2, 0xF, 8 * ch, ch + 1, true);
        voice(byBlock, ch, ch + 2 > 7 ? ch - 6 : ch + 2, 0xF, 8 * ch, ch + 1, true);
        for (int op = 0; op < 4; ++op) {
            const int o = OPERATOR_OFFSET[op] + ch % 3;
            both(ch / 3, 0x50 + o, 0x40 * op + 10 + ch);             // key scale, slow attacks
            both(ch / 3, 0x60 + o, (op == 1 ? 0x80 : 0) | (8 + ch)); // amplitude modulation on operator 2
            both(ch / 3, 0x70 + o, 4 + op);
            both(ch / 3, 0x80 + o, 0x35 + op);
        }
        both(ch / 3, 0xB4 + ch % 3, 0xC0 | (ch % 4) << 4 | (ch + 1) % 8);
        both(ch / 3, 0xA4 + ch % 3, (ch + 2) << 3 | 2);
        both(ch / 3, 0xA0 + ch % 3, 0x40 + 17 * ch);
    }
    both(0, 0x90, 0x0A); // channel 1, operator 1: an SSG-type triangle
    both(0, 0x27, 0x40); // channel 3's own frequencies
    both(0, 0xAD, 0x22);
    both(0, 0xA9, 0x90);
    both(0, 0x22, 0x08 | 6); // the LFO at 48 Hz
    int written = 0;
    for (int round = 0; round < 300; ++round) {
        const std::size_t count = 1 + next() % (round % 3 == 0 ? 700 : 40);
        std::vector<std::int32_t> left(count, 0), right(count, 0);
        synth::renderFm(byBlock, left, right);
        for (std::size_t i = 0; i < count; ++i, ++written) {
            std::int32_t l = 0, r = 0;
            synth::clockFm(bySample, l, r);
            ASSERT_EQ(left[i], l) << "sample " << written;
            ASSERT_EQ(right[i], r) << "sample " << written;
        }
        const int ch = static_cast<int>(next() % 8);
        if (ch < 6 && round % 2 == 0) {
            both(0, 0x28, static_cast<int>(next() % 16) << 4 | (ch / 3) << 2 | ch % 3);
        } else if (round % 17 == 5) {
            both(0, 0x29, round % 34 == 5 ? 0x00 : 0x80);
        } else if (round % 11 == 3) {
            both(0, 0x22, round % 22 == 3 ? 0x00 : 0x08 | static_cast<int>(next() % 8));
        }
    }
    EXPECT_GT(written, 30000);
}

} // namespace
