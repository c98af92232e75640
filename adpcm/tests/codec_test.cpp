#include "adpcm/codec.h"
#include "chip/ym2608.h"
#include "reference_search.h"
#include "test_signals.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <vector>

namespace {

using adpcm::DecoderState;
using adpcm::Encoder;

std::vector<std::int16_t> decodeFromReset(std::vector<std::uint8_t> bytes)
{
    return adpcm::decodeSample(bytes);
}

double roundTripSnr(const std::vector<std::int16_t>& signal, Encoder encoder)
{
    return adpcm::snrDecibels(signal, adpcm::decodeSample(adpcm::encodeSample(signal, encoder)));
}

TEST(Decoder, FollowsTheKnownVectors)
{
    EXPECT_EQ(decodeFromReset({0x00, 0x00}), (std::vector<std::int16_t>{15, 30, 45, 60}));
    EXPECT_EQ(decodeFromReset({0x4C, 0x21, 0xF0, 0x9A}),
              (std::vector<std::int16_t>{142, -29, 84, 144, -126, -83, -197, -367}));
}

TEST(Decoder, ClampsTheAccumulatorAndTheStep)
{
    const std::vector<std::uint8_t> climb = {0x77, 0x77, 0x77, 0x77};
    std::vector<std::int16_t> values(8);
    DecoderState state;
    adpcm::decodeBytes(climb, state, values);
    EXPECT_EQ(values, (std::vector<std::int16_t>{238, 806, 2163, 5406, 13159, 31693, 32767, 32767}));
    EXPECT_EQ(state.step, adpcm::STEP_MAX);

    const std::vector<std::int16_t> fall = decodeFromReset(std::vector<std::uint8_t>(8, 0xFF));
    EXPECT_EQ(fall.back(), -32768);
}

TEST(Decoder, RoundsBothSignsTowardsZero)
{
    // (2*1+1) * 306 = 918: 918 / 8 is 114.75 either way, never -115.
    DecoderState down{0, 306};
    EXPECT_EQ(adpcm::decodeCode(down, 0x09), -114);
    DecoderState up{0, 306};
    EXPECT_EQ(adpcm::decodeCode(up, 0x01), 114);
    EXPECT_EQ(down.step, up.step);
}

TEST(Decoder, ContinuesAcrossCallsFromTheSameState)
{
    const std::vector<std::uint8_t> bytes = {0x4C, 0x21, 0xF0, 0x9A};
    std::vector<std::int16_t> first(4);
    std::vector<std::int16_t> second(4);
    DecoderState state;
    adpcm::decodeBytes(std::span(bytes).first(2), state, first);
    adpcm::decodeBytes(std::span(bytes).subspan(2), state, second);
    first.insert(first.end(), second.begin(), second.end());
    EXPECT_EQ(first, decodeFromReset(bytes));
}

TEST(GreedyEncoder, FollowsTheKnownVector)
{
    const std::vector<std::int16_t> input = {1000, 2000, 3000, 4000, 0, -4000};
    DecoderState state;
    const std::vector<std::uint8_t> codes = adpcm::encodeCodes(input, Encoder::GREEDY, state);
    EXPECT_EQ(adpcm::packCodes(codes), (std::vector<std::uint8_t>{0x77, 0x74, 0xFB}));
}

TEST(GreedyEncoder, TakesTheNearestCodeNextToTheLimits)
{
    // Unclamped, level 2 looks nearest; the clamp makes level 3 land exactly.
    EXPECT_EQ(adpcm::greedyCode({16954, 23525}, 32767), 0x3);
    EXPECT_EQ(adpcm::greedyCode({-16954, 23525}, -32768), 0xB);

    // Against every code tried in turn, from states all over the range and
    // near both limits with large steps.
    adpcm::test::Noise noise{99};
    for (int i = 0; i < 20000; ++i) {
        const auto accumulator = static_cast<std::int32_t>(noise.uniform() * 65535.0);
        const auto step = static_cast<std::int32_t>(
            adpcm::STEP_MIN + (noise.uniform() + 0.5) * (adpcm::STEP_MAX - adpcm::STEP_MIN));
        const std::int32_t x = i % 3 == 0   ? 32767
                               : i % 3 == 1 ? -32768
                                            : static_cast<std::int32_t>(noise.uniform() * 65535.0);
        const DecoderState from{accumulator, step};
        const auto distanceOf = [&from, x](std::uint8_t code) {
            DecoderState state = from;
            return std::abs(x - adpcm::decodeCode(state, code));
        };
        int nearest = distanceOf(0);
        for (std::uint8_t code = 1; code < 16; ++code) {
            nearest = std::min(nearest, distanceOf(code));
        }
        ASSERT_EQ(distanceOf(adpcm::greedyCode(from, x)), nearest)
            << "accumulator " << accumulator << " step " << step << " x " << x;
    }
}

TEST(Encoders, EndInTheStateTheDecoderReaches)
{
    const std::vector<std::int16_t> signal = adpcm::test::tune(0.5);
    for (const Encoder encoder :
         {Encoder::GREEDY, Encoder::SEARCH_FAST, Encoder::SEARCH, Encoder::SEARCH_BEST}) {
        DecoderState encoderState;
        const std::vector<std::uint8_t> codes = adpcm::encodeCodes(signal, encoder, encoderState);
        ASSERT_EQ(codes.size(), signal.size());
        DecoderState decoderState;
        for (const std::uint8_t code : codes) {
            adpcm::decodeCode(decoderState, code);
        }
        EXPECT_EQ(encoderState.accumulator, decoderState.accumulator);
        EXPECT_EQ(encoderState.step, decoderState.step);
    }
}

// The search at widths that leave its tables part empty, fill them, or are
// cut down to the most paths it keeps: a full-scale noise burst, square
// edges at the limits, music and silence, from the reset state.
TEST(Encoders, SearchKeepsExactBooksAtAnyWidth)
{
    std::vector<std::int16_t> signal = adpcm::test::tune(0.1);
    std::uint32_t noise = 7;
    for (std::size_t i = 0; i < 1500; ++i) {
        noise = noise * 1103515245U + 12345U;
        signal.push_back(i < 500 ? static_cast<std::int16_t>(noise >> 16)
                                 : ((i / 25) % 2 == 0 ? 32767 : -32768));
    }
    signal.resize(signal.size() + 500, 0);
    DecoderState greedyState;
    const std::vector<std::uint8_t> greedy = adpcm::encodeCodes(signal, Encoder::GREEDY, greedyState);
    const std::uint64_t greedyError =
        adpcm::squaredError(signal, adpcm::decodeSample(adpcm::packCodes(greedy)));

    const adpcm::SearchWidth widths[] = {{1, 0},   {1, 1},   {3, 5},   {8, 0},    {33, 31},
                                         {56, 16}, {255, 1}, {256, 0}, {300, 300}};
    for (const adpcm::SearchWidth width : widths) {
        DecoderState searchState;
        const std::vector<std::uint8_t> codes = adpcm::searchCodes(signal, width, searchState);
        ASSERT_EQ(codes.size(), signal.size());
        DecoderState decoderState;
        std::vector<std::int16_t> decoded;
        for (const std::uint8_t code : codes) {
            ASSERT_LT(code, 16);
            decoded.push_back(adpcm::decodeCode(decoderState, code));
        }
        EXPECT_EQ(searchState.accumulator, decoderState.accumulator)
            << width.nearPaths << "+" << width.spreadPaths;
        EXPECT_EQ(searchState.step, decoderState.step) << width.nearPaths << "+" << width.spreadPaths;
        if (width.nearPaths >= 8) {
            EXPECT_LT(adpcm::squaredError(signal, decoded), greedyError)
                << width.nearPaths << "+" << width.spreadPaths;
        }
    }
}

// Floors half a decibel under the figures measured on one second of each.
TEST(Encoders, ReachTheMeasuredSnrOnSines)
{
    struct Case {
        double hertz;
        double scale;
        double greedyFloor;
        double searchFloor;
    };
    const Case cases[] = {{440.0, 0.5, 35.5, 37.6}, {1000.0, 0.25, 28.0, 29.5}, {3000.0, 0.5, 19.0, 19.7}};
    for (const Case& c : cases) {
        const std::vector<std::int16_t> signal = adpcm::test::sine(c.hertz, c.scale, 1.0);
        const double greedy = roundTripSnr(signal, Encoder::GREEDY);
        const double search = roundTripSnr(signal, Encoder::SEARCH);
        EXPECT_GE(greedy, c.greedyFloor) << c.hertz << " Hz";
        EXPECT_GE(search, c.searchFloor) << c.hertz << " Hz";
        EXPECT_GT(search, greedy + 0.5) << c.hertz << " Hz";
    }
}

TEST(Encoders, SearchBeatsGreedyOnMusic)
{
    const std::vector<std::int16_t> signal = adpcm::test::tune(2.0);
    const double greedy = roundTripSnr(signal, Encoder::GREEDY);
    const double search = roundTripSnr(signal, Encoder::SEARCH);
    EXPECT_GE(greedy, 32.5);         // measured 33.1
    EXPECT_GT(search, greedy + 1.0); // measured 35.0
}

TEST(Encoders, SearchIsNeverWorseThanGreedy)
{
    // Full-scale noise and hard square edges drive the step to its limits,
    // where a narrow beam could lose the greedy path.
    std::vector<std::int16_t> harsh(8000);
    std::uint32_t noise = 1;
    for (std::size_t i = 0; i < harsh.size(); ++i) {
        noise = noise * 1103515245U + 12345U;
        harsh[i] = i < 4000 ? static_cast<std::int16_t>(noise >> 16) : ((i / 40) % 2 == 0 ? 32767 : -32768);
    }
    DecoderState greedyState;
    DecoderState searchState;
    const auto greedy = adpcm::encodeCodes(harsh, Encoder::GREEDY, greedyState);
    const auto search = adpcm::encodeCodes(harsh, Encoder::SEARCH, searchState);
    const auto decoded = [](const std::vector<std::uint8_t>& codes) {
        std::vector<std::int16_t> values;
        DecoderState state;
        for (const std::uint8_t code : codes) {
            values.push_back(adpcm::decodeCode(state, code));
        }
        return values;
    };
    EXPECT_LE(adpcm::squaredError(harsh, decoded(search)), adpcm::squaredError(harsh, decoded(greedy)));
}

double snrOfCodes(const std::vector<std::int16_t>& signal, const std::vector<std::uint8_t>& codes)
{
    std::vector<std::int16_t> decoded;
    DecoderState state;
    for (const std::uint8_t code : codes) {
        decoded.push_back(adpcm::decodeCode(state, code));
    }
    return adpcm::snrDecibels(signal, decoded);
}

double encodedSnr(const std::vector<std::int16_t>& signal, Encoder encoder)
{
    DecoderState state;
    return snrOfCodes(signal, adpcm::encodeCodes(signal, encoder, state));
}

// The gap to a search a thousand states wide, on short pieces of the signals
// where a narrow search loses most: square edges, noise and clicks, where the
// paths that win must leave the input early or keep a large step through
// quiet values; and on music and a low sine, where fine differences count.
TEST(SearchGap, DefaultEffortComesWithinAFewTenthsOfAWideSearch)
{
    struct Case {
        const char* name;
        std::vector<std::int16_t> signal;
    };
    constexpr double SECONDS = 0.1;
    const Case cases[] = {
        {"square 440 Hz", adpcm::test::square(440.0, 0.5, SECONDS)},
        {"square 1 kHz", adpcm::test::square(1000.0, 0.25, SECONDS)},
        {"white noise", adpcm::test::whiteNoise(0.25, SECONDS)},
        {"pink noise", adpcm::test::pinkNoise(0.25, SECONDS)},
        {"clicks", adpcm::test::clicks(0.5, SECONDS)},
        {"tune", adpcm::test::tune(SECONDS)},
        {"sine 100 Hz", adpcm::test::sine(100.0, 0.5, SECONDS)},
    };
    for (const Case& c : cases) {
        const double wide = snrOfCodes(c.signal, adpcm::test::referenceSearch(c.signal, 512));
        const double fast = encodedSnr(c.signal, Encoder::SEARCH_FAST);
        const double search = encodedSnr(c.signal, Encoder::SEARCH);
        const double best = encodedSnr(c.signal, Encoder::SEARCH_BEST);
        const double greedy = encodedSnr(c.signal, Encoder::GREEDY);
        std::printf("%-14s greedy %6.2f fast %6.2f default %6.2f best %6.2f wide %6.2f\n", c.name, greedy,
                    fast, search, best, wide);
        EXPECT_GE(search, wide - 0.3) << c.name;
        EXPECT_GE(best, wide - 0.3) << c.name;
        EXPECT_GE(fast, greedy) << c.name;
    }
}

TEST(SamplePadding, EndsOnAWholeUnitPlusOneOfSilence)
{
    EXPECT_EQ(adpcm::paddedSampleBytes(0), ADDRESS_UNIT);
    EXPECT_EQ(adpcm::paddedSampleBytes(1), 2 * ADDRESS_UNIT);
    EXPECT_EQ(adpcm::paddedSampleBytes(64), 2 * ADDRESS_UNIT);
    EXPECT_EQ(adpcm::paddedSampleBytes(65), 3 * ADDRESS_UNIT);
    EXPECT_EQ(adpcm::paddedSampleBytes(adpcm::maxSamplesThatFit()), SAMPLE_MEMORY_SIZE);
    EXPECT_GT(adpcm::paddedSampleBytes(adpcm::maxSamplesThatFit() + 1), SAMPLE_MEMORY_SIZE);

    const std::vector<std::int16_t> odd = {100, 200, 300};
    EXPECT_EQ(adpcm::encodeSample(odd, Encoder::GREEDY).size(), 2 * ADDRESS_UNIT);
    EXPECT_EQ(adpcm::packCodes(std::vector<std::uint8_t>{0x1, 0x2, 0x3}),
              (std::vector<std::uint8_t>{0x12, 0x30}));
}

TEST(SamplePadding, BringsALoudEndingToRest)
{
    // A sample that stops at a high level: the silence after it must pull the
    // accumulator back to zero, not hold it or let it climb.
    const std::vector<std::int16_t> loud(1000, 24000);
    for (const Encoder encoder : {Encoder::GREEDY, Encoder::SEARCH}) {
        const std::vector<std::uint8_t> bytes = adpcm::encodeSample(loud, encoder);
        ASSERT_EQ(bytes.size(), adpcm::paddedSampleBytes(loud.size()));
        const std::vector<std::int16_t> decoded = adpcm::decodeSample(bytes);
        EXPECT_NEAR(decoded[loud.size() - 1], 24000, 500);
        // The descent takes a few dozen codes; the bytes that end the file,
        // the ones chips treat differently, are silence.
        for (const std::int16_t value : std::span(decoded).last(16)) {
            ASSERT_LE(std::abs(value), 30);
        }
    }
}

TEST(Snr, MeasuresAgainstTheReferenceLength)
{
    const std::vector<std::int16_t> reference = {1000, -1000};
    const std::vector<std::int16_t> decoded = {900, -900, 5000};
    // 2e6 / 2e4: 20 dB; the value beyond the reference is padding and ignored.
    EXPECT_NEAR(adpcm::snrDecibels(reference, decoded), 20.0, 1e-9);
    EXPECT_TRUE(std::isinf(adpcm::snrDecibels(reference, reference)));
}

} // namespace
