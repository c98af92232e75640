// The search encoder, inside the codec library: what codec.cpp and search.cpp
// share. Not for use outside the codec; codec.h's searchCodes and encodeCodes
// are its entries.
//
// The search keeps a beam of decoder states (paths) from one input value to
// the next, in one scratch struct. Each value takes two passes over it: the
// near pass keeps the cheapest distinct children of the beam, the spread
// pass the cheapest child of each region of values and step not held yet.
// After the last value the traceback follows the cheapest path's
// predecessors back to the start.
//
// Functions: encodeSearch.
#pragma once

#include "adpcm/codec.h"

namespace adpcm::detail {

/// Sixteen 4-bit codes, eight magnitudes (levels) of each sign.
inline constexpr std::int32_t CODE_COUNT = 16;
inline constexpr std::int32_t LEVEL_COUNT = 8;

/// The search at `width` (at most 256 paths in all), from `state`, which is
/// left as the decoder has it after the codes returned.
std::vector<std::uint8_t> encodeSearch(std::span<const std::int16_t> samples, SearchWidth width,
                                       DecoderState& state);

} // namespace adpcm::detail
