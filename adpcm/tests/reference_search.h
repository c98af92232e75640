// A wide and slow search to measure the encoders against, for tests and the
// benchmark: from every state kept, every one of the sixteen codes, decoded
// with decodeCode itself; states with the same step and accumulators within
// the same MERGE_CELL of values are merged, the cheaper kept; then the `width`
// cheapest states go on. With a width of a thousand or more it finds what the
// encoders' narrow searches leave behind, at a few hundred times their cost.
//
// Functions: referenceSearch.
#pragma once

#include "adpcm/codec.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace adpcm::test {

/// Its own constant, so that tuning the encoders never moves the yardstick.
inline constexpr std::int32_t MERGE_CELL = 256;

/// The codes of the cheapest sequence found for `samples` from the reset state.
inline std::vector<std::uint8_t> referenceSearch(std::span<const std::int16_t> samples, std::size_t width)
{
    struct State {
        std::int32_t accumulator;
        std::int32_t step;
        std::uint64_t cost;
        std::uint32_t parent;
        std::uint8_t code;
    };
    const std::size_t count = samples.size();
    std::vector<std::uint8_t> codeAt(count * width);
    std::vector<std::uint32_t> parentAt(count * width);
    std::vector<State> kept{{0, STEP_MIN, 0, 0, 0}};
    std::vector<State> children;
    children.reserve(width * 16);

    // An open-addressing table from (step, accumulator cell) to a child,
    // cleared by stamping instead of filling.
    std::size_t tableSize = 1;
    while (tableSize < width * 16 * 2) {
        tableSize <<= 1;
    }
    std::vector<std::uint32_t> slotKey(tableSize);
    std::vector<std::uint32_t> slotStamp(tableSize, 0);
    std::vector<std::uint32_t> slotChild(tableSize);

    for (std::size_t t = 0; t < count; ++t) {
        const auto stamp = static_cast<std::uint32_t>(t + 1);
        const std::int32_t x = samples[t];
        children.clear();
        for (std::size_t p = 0; p < kept.size(); ++p) {
            for (std::uint8_t code = 0; code < 16; ++code) {
                DecoderState state{kept[p].accumulator, kept[p].step};
                const std::int64_t error = x - decodeCode(state, code);
                const State child{state.accumulator, state.step,
                                  kept[p].cost + static_cast<std::uint64_t>(error * error),
                                  static_cast<std::uint32_t>(p), code};
                const auto key =
                    static_cast<std::uint32_t>(state.step) << 16 |
                    static_cast<std::uint32_t>((state.accumulator - ACCUMULATOR_MIN) / MERGE_CELL);
                std::size_t slot = (key * 2654435761U) & (tableSize - 1);
                while (slotStamp[slot] == stamp && slotKey[slot] != key) {
                    slot = (slot + 1) & (tableSize - 1);
                }
                if (slotStamp[slot] != stamp) {
                    slotStamp[slot] = stamp;
                    slotKey[slot] = key;
                    slotChild[slot] = static_cast<std::uint32_t>(children.size());
                    children.push_back(child);
                } else if (child.cost < children[slotChild[slot]].cost) {
                    children[slotChild[slot]] = child;
                }
            }
        }
        if (children.size() > width) {
            std::nth_element(children.begin(), children.begin() + static_cast<std::ptrdiff_t>(width),
                             children.end(), [](const State& a, const State& b) { return a.cost < b.cost; });
            children.resize(width);
        }
        for (std::size_t i = 0; i < children.size(); ++i) {
            codeAt[t * width + i] = children[i].code;
            parentAt[t * width + i] = children[i].parent;
        }
        kept.swap(children);
    }

    std::size_t index = 0;
    for (std::size_t i = 1; i < kept.size(); ++i) {
        if (kept[i].cost < kept[index].cost) {
            index = i;
        }
    }
    std::vector<std::uint8_t> codes(count);
    for (std::size_t t = count; t-- > 0;) {
        codes[t] = codeAt[t * width + index];
        index = parentAt[t * width + index];
    }
    return codes;
}

} // namespace adpcm::test
