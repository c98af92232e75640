// Decoding, the greedy encoder, the choice between greedy and the search
// (whose inside is search.cpp), and the sample file's size and padding.
#include "adpcm/codec.h"

#include "adpcm/search.h"

#include "chip/ym2608.h"

#include <cmath>
#include <limits>

namespace adpcm {

namespace {

using detail::CODE_COUNT;

std::uint64_t squareOf(std::int32_t difference)
{
    const auto magnitude =
        static_cast<std::uint64_t>(difference < 0 ? -std::int64_t{difference} : difference);
    return magnitude * magnitude;
}

std::vector<std::uint8_t> encodeGreedy(std::span<const std::int16_t> samples, DecoderState& state)
{
    std::vector<std::uint8_t> codes;
    codes.reserve(samples.size());
    for (const std::int16_t x : samples) {
        const std::uint8_t code = greedyCode(state, x);
        decodeCode(state, code);
        codes.push_back(code);
    }
    return codes;
}

std::uint64_t errorOfCodes(std::span<const std::int16_t> samples, std::span<const std::uint8_t> codes,
                           DecoderState state)
{
    std::uint64_t cost = 0;
    for (std::size_t i = 0; i < samples.size(); ++i) {
        cost += squareOf(samples[i] - decodeCode(state, codes[i]));
    }
    return cost;
}

} // namespace

void decodeBytes(std::span<const std::uint8_t> bytes, DecoderState& state, std::span<std::int16_t> out)
{
    for (std::size_t i = 0; i < bytes.size() && CODES_PER_BYTE * i + 1 < out.size(); ++i) {
        out[CODES_PER_BYTE * i] = decodeCode(state, static_cast<std::uint8_t>(bytes[i] >> 4));
        out[CODES_PER_BYTE * i + 1] = decodeCode(state, static_cast<std::uint8_t>(bytes[i] & 0x0F));
    }
}

std::vector<std::int16_t> decodeSample(std::span<const std::uint8_t> bytes)
{
    std::vector<std::int16_t> values(bytes.size() * CODES_PER_BYTE);
    DecoderState state;
    decodeBytes(bytes, state, values);
    return values;
}

std::uint8_t greedyCode(const DecoderState& state, std::int32_t x)
{
    const std::int32_t difference = x - state.accumulator;
    const std::int32_t magnitude = difference < 0 ? -difference : difference;
    // The code the unclamped arithmetic points at. Next to a limit the clamp
    // can make a larger level, or even the other sign, land nearer, so all
    // sixteen codes are weighed; this one wins ties.
    const auto estimate = static_cast<std::uint8_t>(std::min(std::int32_t{7}, 4 * magnitude / state.step) |
                                                    (difference < 0 ? CODE_SIGN : 0));
    const auto distance = [&state, x](std::uint8_t code) {
        DecoderState reached = state;
        const std::int32_t value = decodeCode(reached, code);
        return value < x ? x - value : value - x;
    };
    std::uint8_t best = estimate;
    std::int32_t bestDistance = distance(estimate);
    for (std::uint8_t code = 0; code < CODE_COUNT; ++code) {
        const std::int32_t d = distance(code);
        if (d < bestDistance) {
            best = code;
            bestDistance = d;
        }
    }
    return best;
}

SearchWidth searchWidthOf(Encoder encoder)
{
    switch (encoder) {
    case Encoder::GREEDY:
        return {0, 0};
    // Measured on sines, noise, square waves, clicks, music and recordings
    // against a search of 4096 states: near paths carry sines, music and
    // noise, spread ones square edges, speech and clicks; 56 and 16 come
    // within 0.3 dB on all of them in under a second for 10 s of values.
    case Encoder::SEARCH_FAST:
        return {8, 0};
    case Encoder::SEARCH:
        return {56, 16};
    case Encoder::SEARCH_BEST:
        return {128, 32};
    }
    return {0, 0};
}

std::vector<std::uint8_t> searchCodes(std::span<const std::int16_t> samples, SearchWidth width,
                                      DecoderState& state)
{
    return detail::encodeSearch(samples, width, state);
}

std::vector<std::uint8_t> encodeCodes(std::span<const std::int16_t> samples, Encoder encoder,
                                      DecoderState& state)
{
    if (encoder == Encoder::GREEDY) {
        return encodeGreedy(samples, state);
    }
    // The search keeps the greedy path only while it stays among the cheapest,
    // so compare with it at the end: the search is never the worse choice.
    DecoderState greedyState = state;
    const DecoderState start = state;
    std::vector<std::uint8_t> searched = detail::encodeSearch(samples, searchWidthOf(encoder), state);
    std::vector<std::uint8_t> greedy = encodeGreedy(samples, greedyState);
    if (errorOfCodes(samples, greedy, start) < errorOfCodes(samples, searched, start)) {
        state = greedyState;
        return greedy;
    }
    return searched;
}

std::vector<std::uint8_t> packCodes(std::span<const std::uint8_t> codes)
{
    std::vector<std::uint8_t> bytes((codes.size() + 1) / CODES_PER_BYTE);
    for (std::size_t i = 0; i < codes.size(); ++i) {
        const std::uint8_t nibble = codes[i] & 0x0F;
        bytes[i / 2] |= static_cast<std::uint8_t>(i % 2 == 0 ? nibble << 4 : nibble);
    }
    return bytes;
}

std::size_t paddedSampleBytes(std::size_t sampleCount)
{
    const std::size_t codeBytes = (sampleCount + CODES_PER_BYTE - 1) / CODES_PER_BYTE;
    const std::size_t units = (codeBytes + ADDRESS_UNIT - 1) / ADDRESS_UNIT;
    return (units + 1) * ADDRESS_UNIT;
}

std::size_t maxSamplesThatFit()
{
    return (SAMPLE_MEMORY_SIZE - ADDRESS_UNIT) * CODES_PER_BYTE;
}

std::vector<std::int16_t> padWithSilence(std::span<const std::int16_t> samples)
{
    std::vector<std::int16_t> padded(samples.begin(), samples.end());
    padded.resize(paddedSampleBytes(samples.size()) * CODES_PER_BYTE, 0);
    return padded;
}

std::vector<std::uint8_t> encodeSample(std::span<const std::int16_t> samples, Encoder encoder)
{
    // The sound is encoded on its own and the silence after it continues from
    // where it ended: a search over both would start the sound's last values
    // down towards the silence, trading the recording's accuracy for the
    // padding's.
    const std::vector<std::int16_t> padded = padWithSilence(samples);
    DecoderState state;
    std::vector<std::uint8_t> codes = encodeCodes(samples, encoder, state);
    const std::vector<std::uint8_t> silence =
        encodeCodes(std::span(padded).subspan(samples.size()), encoder, state);
    codes.insert(codes.end(), silence.begin(), silence.end());
    return packCodes(codes);
}

std::uint64_t squaredError(std::span<const std::int16_t> reference, std::span<const std::int16_t> decoded)
{
    const std::size_t count = std::min(reference.size(), decoded.size());
    std::uint64_t sum = 0;
    for (std::size_t i = 0; i < count; ++i) {
        sum += squareOf(reference[i] - decoded[i]);
    }
    return sum;
}

double snrDecibels(std::span<const std::int16_t> reference, std::span<const std::int16_t> decoded)
{
    double signal = 0.0;
    for (const std::int16_t x : reference) {
        signal += static_cast<double>(x) * x;
    }
    const auto noise = static_cast<double>(squaredError(reference, decoded));
    if (noise == 0.0) {
        return std::numeric_limits<double>::infinity();
    }
    return 10.0 * std::log10(signal / noise);
}

} // namespace adpcm
