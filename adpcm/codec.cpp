#include "adpcm/codec.h"

#include "chip/ym2608.h"

#include <bit>
#include <cmath>
#include <functional>
#include <limits>

namespace adpcm {

namespace {

/// The most paths a search keeps: path indices are kept in one byte.
constexpr std::size_t MAX_PATHS = 256;

constexpr std::int32_t CODE_COUNT = 16;
constexpr std::int32_t LEVEL_COUNT = 8;

/// Codes ranked by the value they decode to from any state: 0xF (down the
/// most) ... 0x8, 0x0 ... 0x7 (up the most).
constexpr std::int32_t orderOf(std::uint8_t code)
{
    const std::int32_t level = code & CODE_MAGNITUDE;
    return (code & CODE_SIGN) != 0 ? 7 - level : 8 + level;
}

constexpr std::uint8_t codeOf(std::int32_t order)
{
    return static_cast<std::uint8_t>(order < 8 ? CODE_SIGN | (7 - order) : order - 8);
}

constexpr std::int32_t levelOf(std::int32_t order)
{
    return order < 8 ? 7 - order : order - 8;
}

/// The regions of the spread paths: octaves of step (STEP_MIN in octave 0,
/// STEP_MAX in octave 8) by rows of SPREAD_CELL accumulator values.
constexpr std::int32_t STEP_OCTAVES = 9;
constexpr std::int32_t SPREAD_ROWS = (ACCUMULATOR_MAX - ACCUMULATOR_MIN + 1) / SPREAD_CELL;
constexpr std::int32_t SPREAD_REGIONS = STEP_OCTAVES * SPREAD_ROWS;

// Cells and rows count from the lowest accumulator value; the offsets are
// never negative, so unsigned division is a shift.
constexpr std::int32_t nearCellOf(std::int32_t accumulator)
{
    return static_cast<std::int32_t>(static_cast<std::uint32_t>(accumulator - ACCUMULATOR_MIN) / NEAR_CELL);
}

constexpr std::int32_t spreadRowOf(std::int32_t accumulator)
{
    return static_cast<std::int32_t>(static_cast<std::uint32_t>(accumulator - ACCUMULATOR_MIN) / SPREAD_CELL);
}

/// The first region of a step's octave: the octave nearest in log scale,
/// floor(log2(step) + 1/2) - 7, so that octaves are centred on the powers of
/// two. floor(log2(2 step^2)) / 2 is the same number.
constexpr std::int32_t octaveRegionOf(std::int32_t step)
{
    const auto square = static_cast<std::uint64_t>(step) * static_cast<std::uint64_t>(step);
    const std::int32_t octave = (static_cast<std::int32_t>(std::bit_width(2 * square)) - 1) / 2 - 7;
    return octave * SPREAD_ROWS;
}

constexpr std::int32_t spreadRegionOf(std::int32_t accumulator, std::int32_t step)
{
    return octaveRegionOf(step) + spreadRowOf(accumulator);
}

static_assert(spreadRegionOf(ACCUMULATOR_MIN, STEP_MIN) == 0, "STEP_MIN in the first region");
static_assert(spreadRegionOf(ACCUMULATOR_MAX, STEP_MAX) == SPREAD_REGIONS - 1, "STEP_MAX in the last region");
static_assert(SPREAD_REGIONS <= 256, "regions are kept in one byte");

std::uint64_t squareOf(std::int32_t difference)
{
    const auto magnitude =
        static_cast<std::uint64_t>(difference < 0 ? -std::int64_t{difference} : difference);
    return magnitude * magnitude;
}

/// One live path of the search: the decoder state it reaches and the squared
/// error it has gathered on the way.
struct SearchPath {
    std::int32_t accumulator;
    std::int32_t step;
    std::uint64_t cost;
};

/// A child of a path packed into one number that sorts by cost: the squared
/// error in the high bits, then the path's index and the code's order, so
/// ties go to the lower path and order. Costs are capped at COST_LIMIT (a
/// path that far behind is lost anyway) so that the packing never overflows.
constexpr int KEY_SHIFT = 12;
constexpr std::uint64_t COST_LIMIT = (std::uint64_t{1} << (64 - KEY_SHIFT)) - 1;
constexpr std::uint64_t NO_CHILD = std::numeric_limits<std::uint64_t>::max();
static_assert(MAX_PATHS * CODE_COUNT <= (1U << KEY_SHIFT), "path and order fit below the cost");

constexpr std::uint64_t costOf(std::uint64_t key)
{
    return key >> KEY_SHIFT;
}

constexpr std::size_t pathOf(std::uint64_t key)
{
    return static_cast<std::size_t>(key >> 4) & (MAX_PATHS - 1);
}

constexpr std::int32_t orderOfKey(std::uint64_t key)
{
    return static_cast<std::int32_t>(key & 0x0F);
}

/// The sixteen children of one path, by order, worked out with the decoder's
/// own arithmetic, and a cursor over those not yet taken: two runs from the
/// cheapest child, upwards through larger decoded values and downwards
/// through smaller ones. Decoded values never fall as the order rises (the
/// clamp only flattens them), so along each run the error only grows and the
/// cheaper of the two run heads is the cheapest child not yet taken.
struct Children {
    std::array<std::int32_t, CODE_COUNT> accumulator;
    std::array<std::int32_t, LEVEL_COUNT> step; // by level: the sign leaves the step alone
    std::array<std::uint64_t, CODE_COUNT> key;
    std::array<std::uint8_t, CODE_COUNT> region; // spread region, when the search has spread paths
    std::int32_t run[2];                         // next order upwards and downwards; outside 0..15 when spent
};

std::uint64_t runKey(const Children& children, int run)
{
    const std::int32_t order = children.run[run];
    return order < 0 || order >= CODE_COUNT ? NO_CHILD : children.key[static_cast<std::size_t>(order)];
}

std::uint64_t headKey(const Children& children)
{
    return std::min(runKey(children, 0), runKey(children, 1));
}

void expand(const SearchPath& parent, std::size_t index, std::int32_t x, bool regions, Children& children)
{
    // Capped so that no child's cost passes COST_LIMIT: one error adds less than 2^32.
    const std::uint64_t base = std::min(parent.cost, COST_LIMIT - (std::uint64_t{1} << 32));
    const std::uint64_t tag = static_cast<std::uint64_t>(index) << 4;
    std::uint64_t cheapest = NO_CHILD;
    for (std::int32_t level = 0; level < LEVEL_COUNT; ++level) {
        const auto l = static_cast<std::size_t>(level);
        const auto up = static_cast<std::size_t>(8 + level);
        const auto down = static_cast<std::size_t>(7 - level);
        // As decodeCode: the magnitude truncated, then the clamps.
        const std::int32_t magnitude = (2 * level + 1) * parent.step / 8;
        const std::int32_t step = std::clamp(parent.step * STEP_FACTOR[l] / 64, STEP_MIN, STEP_MAX);
        const std::int32_t upValue = std::min(parent.accumulator + magnitude, ACCUMULATOR_MAX);
        const std::int32_t downValue = std::max(parent.accumulator - magnitude, ACCUMULATOR_MIN);
        children.step[l] = step;
        children.accumulator[up] = upValue;
        children.accumulator[down] = downValue;
        // Errors lie within +-65535, so their squares fit 32 bits unsigned.
        const auto upError = static_cast<std::uint32_t>(x - upValue);
        const auto downError = static_cast<std::uint32_t>(x - downValue);
        const std::uint64_t upKey = (base + std::uint64_t{upError * upError}) << KEY_SHIFT | tag | up;
        const std::uint64_t downKey = (base + std::uint64_t{downError * downError}) << KEY_SHIFT | tag | down;
        children.key[up] = upKey;
        children.key[down] = downKey;
        cheapest = std::min(cheapest, std::min(upKey, downKey));
        if (regions) {
            const std::int32_t octave = octaveRegionOf(step);
            children.region[up] = static_cast<std::uint8_t>(octave + spreadRowOf(upValue));
            children.region[down] = static_cast<std::uint8_t>(octave + spreadRowOf(downValue));
        }
    }
    children.run[0] = orderOfKey(cheapest);
    children.run[1] = orderOfKey(cheapest) - 1;
}

/// The search: after each input value, the paths kept are the nearPaths
/// cheapest distinct states (taken cheapest first by merging the paths' runs
/// through a heap, so that this part looks at little more than the children
/// that survive), then the cheapest child of each spread region not yet held,
/// the spreadPaths cheapest of those. Each kept path records its code and its
/// predecessor; at the end the cheapest path is traced back.
std::vector<std::uint8_t> encodeSearch(std::span<const std::int16_t> samples, SearchWidth width,
                                       DecoderState& state)
{
    const std::size_t nearPaths = std::clamp<std::size_t>(width.nearPaths, 1, MAX_PATHS);
    const std::size_t spreadPaths = std::min(width.spreadPaths, MAX_PATHS - nearPaths);
    const std::size_t paths = nearPaths + spreadPaths;
    const std::size_t count = samples.size();
    std::vector<std::uint8_t> codeAt(count * paths);
    std::vector<std::uint8_t> parentAt(count * paths);

    std::vector<SearchPath> beam(paths);
    std::vector<SearchPath> next(paths);
    std::size_t beamSize = 1;
    beam[0] = {state.accumulator, state.step, 0};

    std::vector<Children> children(paths);
    // The run head of each path.
    std::vector<std::uint64_t> heads(paths);

    // Per spread region: its cheapest child's key, and whether a near path
    // already holds it.
    std::array<std::uint64_t, SPREAD_REGIONS> regionKey{};
    std::array<bool, SPREAD_REGIONS> regionHeld{};
    regionKey.fill(NO_CHILD);
    std::vector<std::uint64_t> spread;
    spread.reserve(SPREAD_REGIONS);

    for (std::size_t t = 0; t < count; ++t) {
        const std::int32_t x = samples[t];
        for (std::size_t p = 0; p < beamSize; ++p) {
            expand(beam[p], p, x, spreadPaths > 0, children[p]);
            heads[p] = headKey(children[p]);
        }

        std::size_t nextSize = 0;
        std::uint8_t* const codes = &codeAt[t * paths];
        std::uint8_t* const parents = &parentAt[t * paths];
        while (nextSize < nearPaths) {
            // The cheapest head of all: a plain scan without branches,
            // cheaper than a heap for a few dozen paths.
            std::uint64_t key = NO_CHILD;
            for (std::size_t p = 0; p < beamSize; ++p) {
                key = heads[p] < key ? heads[p] : key;
            }
            if (key == NO_CHILD) {
                break;
            }
            const std::size_t p = pathOf(key);
            const std::int32_t order = orderOfKey(key);
            Children& from = children[p];
            const std::int32_t accumulator = from.accumulator[static_cast<std::size_t>(order)];
            const std::int32_t step = from.step[static_cast<std::size_t>(levelOf(order))];
            const std::int32_t cell = nearCellOf(accumulator);
            const auto same = [cell, step](const SearchPath& path) {
                return path.step == step && nearCellOf(path.accumulator) == cell;
            };
            if (std::none_of(next.begin(), next.begin() + static_cast<std::ptrdiff_t>(nextSize), same)) {
                next[nextSize] = {accumulator, step, costOf(key)};
                codes[nextSize] = codeOf(order);
                parents[nextSize] = static_cast<std::uint8_t>(p);
                ++nextSize;
            }
            if (order == from.run[0]) {
                ++from.run[0];
            } else {
                --from.run[1];
            }
            heads[p] = headKey(from);
        }

        if (spreadPaths > 0) {
            for (std::size_t i = 0; i < nextSize; ++i) {
                regionHeld[static_cast<std::size_t>(spreadRegionOf(next[i].accumulator, next[i].step))] =
                    true;
            }
            for (std::size_t p = 0; p < beamSize; ++p) {
                const Children& from = children[p];
                for (std::size_t o = 0; o < CODE_COUNT; ++o) {
                    // Without a branch: which child wins a region follows
                    // no pattern a processor could predict.
                    const std::uint64_t key = from.key[o];
                    std::uint64_t& best = regionKey[from.region[o]];
                    best ^= (best ^ key) & (std::uint64_t{0} - std::uint64_t{key < best});
                }
            }
            spread.clear();
            for (std::size_t region = 0; region < SPREAD_REGIONS; ++region) {
                if (regionKey[region] != NO_CHILD && !regionHeld[region]) {
                    spread.push_back(regionKey[region]);
                }
            }
            if (spread.size() > spreadPaths) {
                std::nth_element(spread.begin(), spread.begin() + static_cast<std::ptrdiff_t>(spreadPaths),
                                 spread.end());
                spread.resize(spreadPaths);
            }
            for (const std::uint64_t key : spread) {
                const std::size_t p = pathOf(key);
                const std::int32_t order = orderOfKey(key);
                const Children& from = children[p];
                next[nextSize] = {from.accumulator[static_cast<std::size_t>(order)],
                                  from.step[static_cast<std::size_t>(levelOf(order))], costOf(key)};
                codes[nextSize] = codeOf(order);
                parents[nextSize] = static_cast<std::uint8_t>(p);
                ++nextSize;
            }
            regionKey.fill(NO_CHILD);
            regionHeld.fill(false);
        }
        std::swap(beam, next);
        beamSize = nextSize;
    }

    std::size_t index = 0;
    for (std::size_t i = 1; i < beamSize; ++i) {
        if (beam[i].cost < beam[index].cost) {
            index = i;
        }
    }
    std::vector<std::uint8_t> result(count);
    if (count > 0) {
        state = {beam[index].accumulator, beam[index].step};
    }
    for (std::size_t t = count; t-- > 0;) {
        result[t] = codeAt[t * paths + index];
        index = parentAt[t * paths + index];
    }
    return result;
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
    // against a search of 4096 states: near paths carry sines and music,
    // spread ones square edges, noise and clicks; 24 and 16 come within
    // 0.4 dB on all of them in under a second for 10 s of values.
    case Encoder::SEARCH_FAST:
        return {8, 0};
    case Encoder::SEARCH:
        return {24, 16};
    case Encoder::SEARCH_BEST:
        return {64, 64};
    }
    return {0, 0};
}

std::vector<std::uint8_t> searchCodes(std::span<const std::int16_t> samples, SearchWidth width,
                                      DecoderState& state)
{
    return encodeSearch(samples, width, state);
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
    std::vector<std::uint8_t> searched = encodeSearch(samples, searchWidthOf(encoder), state);
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
