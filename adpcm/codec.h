// The YM2608's 4-bit ADPCM, the format of the sample files that `l` copies into
// the chip's sample memory: decoding, two encoders and the silence that ends a
// sample file. Shared by the encode/decode program, the playback renderer and
// the board emulator, so it depends on nothing but the standard library.
//
// Each byte holds two codes, the high nibble played first. A code's bit 3 is
// the sign, bits 2-0 a magnitude L. The decoder keeps an accumulator (the
// output value) and a step; every code moves the accumulator by
// (2L+1) * step / 8 and scales the step by STEP_FACTOR[L] / 64. The encoders
// advance with exactly the decoder's rules, so what they predict is what the
// chip plays.
//
// Functions: decodeCode, decodeBytes, decodeSample, greedyCode, searchWidthOf,
// encodeCodes, searchCodes, packCodes, paddedSampleBytes, maxSamplesThatFit, padWithSilence,
// encodeSample, squaredError, snrDecibels.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace adpcm {

inline constexpr std::int32_t ACCUMULATOR_MIN = -32768;
inline constexpr std::int32_t ACCUMULATOR_MAX = 32767;
inline constexpr std::int32_t STEP_MIN = 127;
inline constexpr std::int32_t STEP_MAX = 24576;

/// Step scale per magnitude, in 64ths: small codes shrink the step, large ones grow it.
inline constexpr std::array<std::int32_t, 8> STEP_FACTOR = {57, 57, 57, 57, 77, 102, 128, 153};

/// Code bit 3: the accumulator moves down.
inline constexpr std::uint8_t CODE_SIGN = 0x08;
inline constexpr std::uint8_t CODE_MAGNITUDE = 0x07;

/// Two codes per byte.
inline constexpr std::size_t CODES_PER_BYTE = 2;

/// The decoder's state, as the chip has it after a reset.
struct DecoderState {
    std::int32_t accumulator = 0;
    std::int32_t step = STEP_MIN;
};

/// Advances `state` by one 4-bit code and returns the new accumulator. The
/// magnitude is worked out unsigned and then negated, so that rounding is
/// towards zero in both directions.
constexpr std::int16_t decodeCode(DecoderState& state, std::uint8_t code)
{
    const std::int32_t level = code & CODE_MAGNITUDE;
    const std::int32_t magnitude = (2 * level + 1) * state.step / 8;
    const std::int32_t delta = (code & CODE_SIGN) != 0 ? -magnitude : magnitude;
    state.accumulator = std::clamp(state.accumulator + delta, ACCUMULATOR_MIN, ACCUMULATOR_MAX);
    state.step = std::clamp(state.step * STEP_FACTOR[level] / 64, STEP_MIN, STEP_MAX);
    return static_cast<std::int16_t>(state.accumulator);
}

/// Decodes `bytes`, high nibble first, continuing from `state`. `out` must
/// hold CODES_PER_BYTE values per byte.
void decodeBytes(std::span<const std::uint8_t> bytes, DecoderState& state, std::span<std::int16_t> out);

/// A whole sample file decoded from the reset state: one value per code.
std::vector<std::int16_t> decodeSample(std::span<const std::uint8_t> bytes);

/// The greedy choice for input `x`: the code whose decoded value, clamped to
/// the accumulator's limits as the decoder clamps it, lies nearest to `x`.
/// Ties go to level min(7, floor(4 |x - acc| / step)) with the sign of x - acc.
std::uint8_t greedyCode(const DecoderState& state, std::int32_t x);

enum class Encoder : std::uint8_t {
    GREEDY,      // one code at a time, nearest decoded value
    SEARCH_FAST, // a narrow search of near paths only, faster than the first search encoder
    SEARCH,      // the default search: within two tenths of a dB of a far wider one
    SEARCH_BEST, // a wider search, twice as slow, for what little more it finds
};

/// How widely a search looks: after each input value it keeps `nearPaths`
/// of the cheapest decoder states (two states with the same step and
/// accumulators in the same NEAR_CELL of values count as one) and then up to
/// `spreadPaths` more, the cheapest of each region of SPREAD_CELL values and
/// half an octave of step not yet held, from the children of the cheapest near
/// paths and of the spread ones. The near paths follow the input closely;
/// the spread ones keep paths with a larger or smaller step, or away from the
/// input, alive until an edge or a jump makes them the best.
struct SearchWidth {
    std::size_t nearPaths;
    std::size_t spreadPaths;
};

inline constexpr std::int32_t NEAR_CELL = 128;
inline constexpr std::int32_t SPREAD_CELL = 4096;

/// The width each search encoder uses; {0, 0} for GREEDY.
SearchWidth searchWidthOf(Encoder encoder);

/// One code per input value, continuing from `state`, which is left as the
/// decoder would have it after those codes. The search encoders never end
/// with a larger squared error than the greedy one on the same input.
std::vector<std::uint8_t> encodeCodes(std::span<const std::int16_t> samples, Encoder encoder,
                                      DecoderState& state);

/// The search itself at any width (at most 256 paths in all), without the
/// comparison with greedy that encodeCodes adds.
std::vector<std::uint8_t> searchCodes(std::span<const std::int16_t> samples, SearchWidth width,
                                      DecoderState& state);

/// Two codes per byte, the first in the high nibble. An odd count is not
/// expected; its last code would go out with a zero low nibble.
std::vector<std::uint8_t> packCodes(std::span<const std::uint8_t> codes);

/// The size of the sample file for `sampleCount` values: the codes rounded up
/// to whole units of ADDRESS_UNIT bytes, plus one unit of silence, because
/// chips and emulators treat a sample's last byte differently.
std::size_t paddedSampleBytes(std::size_t sampleCount);

/// The most values whose sample file still fits the chip's sample memory.
std::size_t maxSamplesThatFit();

/// `samples` followed by zeros up to the length of its padded sample file, so
/// that the encoder itself brings the accumulator to rest at the end. Encoded
/// silence settles at +-15 around zero; raw zero bytes would climb instead.
std::vector<std::int16_t> padWithSilence(std::span<const std::int16_t> samples);

/// The bytes of a sample file for `samples`: encoded from the reset state,
/// padded with encoded silence as paddedSampleBytes says. The silence is
/// encoded after the sound, from the state the sound ends in, so that it
/// never costs the sound's own values any accuracy.
std::vector<std::uint8_t> encodeSample(std::span<const std::int16_t> samples, Encoder encoder);

/// The sum of squared differences over the common length.
std::uint64_t squaredError(std::span<const std::int16_t> reference, std::span<const std::int16_t> decoded);

/// Signal-to-noise ratio of `decoded` against `reference` in decibels over the
/// length of `reference` (`decoded` must be at least as long). Infinity for an
/// exact copy.
double snrDecibels(std::span<const std::int16_t> reference, std::span<const std::int16_t> decoded);

} // namespace adpcm
