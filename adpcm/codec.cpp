#include "adpcm/codec.h"

#include "chip/ym2608.h"

#include <cmath>
#include <limits>

namespace adpcm {

namespace {

/// Paths the search encoder keeps alive per input value. 16 give nearly all
/// of the gain that 64 reach (within 0.1 dB on sines) at a quarter of the time.
constexpr std::size_t SEARCH_BEAM = 16;
static_assert(SEARCH_BEAM <= 256, "path indices are kept in one byte");

constexpr std::int32_t CODE_COUNT = 16;

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

/// One live path of the search: the decoder state it reaches and the squared
/// error it has gathered on the way.
struct SearchPath {
    std::int32_t accumulator;
    std::int32_t step;
    std::uint64_t cost;
};

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

/// The codes of one path not yet taken, in two runs from its greedy code:
/// upwards through larger decoded values and downwards through smaller ones.
/// Along each run the error only grows, so the cheaper of the two run heads is
/// the path's cheapest child not yet taken.
struct ChildCursor {
    std::int32_t order[2]; // next order of each run; outside 0..15 when the run is spent
    std::uint64_t cost[2]; // its cost, or NO_CHILD
    DecoderState reached[2];
    std::uint64_t head; // the smaller of the two costs
};

constexpr std::uint64_t NO_CHILD = std::numeric_limits<std::uint64_t>::max();

void aimCursor(ChildCursor& cursor, int run, const SearchPath& parent, std::int32_t x)
{
    const std::int32_t order = cursor.order[run];
    if (order < 0 || order >= CODE_COUNT) {
        cursor.cost[run] = NO_CHILD;
        cursor.head = std::min(cursor.cost[0], cursor.cost[1]);
        return;
    }
    cursor.reached[run] = {parent.accumulator, parent.step};
    decodeCode(cursor.reached[run], codeOf(order));
    cursor.cost[run] = parent.cost + squareOf(x - cursor.reached[run].accumulator);
    cursor.head = std::min(cursor.cost[0], cursor.cost[1]);
}

/// A beam search: after each input value, keep the SEARCH_BEAM cheapest
/// distinct decoder states reachable by any code sequence, each with the code
/// and the predecessor that reached it, and at the end trace the cheapest one
/// back. Paths that meet in the same state are merged, keeping the cheaper.
///
/// The children of all live paths are taken cheapest first by merging the
/// paths' runs through a heap, so each step looks at little more than the
/// SEARCH_BEAM children that survive.
std::vector<std::uint8_t> encodeSearch(std::span<const std::int16_t> samples, DecoderState& state)
{
    const std::size_t count = samples.size();
    std::vector<std::uint8_t> codeAt(count * SEARCH_BEAM);
    std::vector<std::uint8_t> parentAt(count * SEARCH_BEAM);

    // The live paths, cheapest first.
    std::array<SearchPath, SEARCH_BEAM> beam{};
    std::size_t beamSize = 1;
    beam[0] = {state.accumulator, state.step, 0};

    std::array<ChildCursor, SEARCH_BEAM> cursors{};
    std::array<std::uint8_t, SEARCH_BEAM> heap{};
    // std::*_heap keep the largest on top; "later" puts the cheapest head there,
    // ties to the lower path index.
    const auto later = [&cursors](std::uint8_t a, std::uint8_t b) {
        const std::uint64_t costA = cursors[a].head;
        const std::uint64_t costB = cursors[b].head;
        return costA != costB ? costA > costB : a > b;
    };

    for (std::size_t t = 0; t < count; ++t) {
        const std::int32_t x = samples[t];
        std::size_t heapSize = 0;
        for (std::size_t p = 0; p < beamSize; ++p) {
            ChildCursor& cursor = cursors[p];
            const std::int32_t first = orderOf(greedyCode({beam[p].accumulator, beam[p].step}, x));
            cursor.order[0] = first;
            cursor.order[1] = first - 1;
            cursor.cost[1] = NO_CHILD;
            aimCursor(cursor, 0, beam[p], x);
            aimCursor(cursor, 1, beam[p], x);
            heap[heapSize++] = static_cast<std::uint8_t>(p);
        }
        std::make_heap(heap.begin(), heap.begin() + static_cast<std::ptrdiff_t>(heapSize), later);

        std::array<SearchPath, SEARCH_BEAM> next{};
        std::size_t nextSize = 0;
        std::uint8_t* const codes = &codeAt[t * SEARCH_BEAM];
        std::uint8_t* const parents = &parentAt[t * SEARCH_BEAM];
        while (nextSize < SEARCH_BEAM && heapSize > 0) {
            std::pop_heap(heap.begin(), heap.begin() + static_cast<std::ptrdiff_t>(heapSize), later);
            const std::uint8_t p = heap[heapSize - 1];
            ChildCursor& cursor = cursors[p];
            const int run = cursor.cost[0] <= cursor.cost[1] ? 0 : 1;
            const DecoderState reached = cursor.reached[run];
            const auto same = [&reached](const SearchPath& path) {
                return path.accumulator == reached.accumulator && path.step == reached.step;
            };
            if (!std::any_of(next.begin(), next.begin() + static_cast<std::ptrdiff_t>(nextSize), same)) {
                next[nextSize] = {reached.accumulator, reached.step, cursor.cost[run]};
                codes[nextSize] = codeOf(cursor.order[run]);
                parents[nextSize] = p;
                ++nextSize;
            }
            cursor.order[run] += run == 0 ? 1 : -1;
            aimCursor(cursor, run, beam[p], x);
            if (cursor.head == NO_CHILD) {
                --heapSize;
                continue;
            }
            std::push_heap(heap.begin(), heap.begin() + static_cast<std::ptrdiff_t>(heapSize), later);
        }
        beam = next;
        beamSize = nextSize;
    }

    // The beam is ranked, so its first path is the cheapest.
    std::vector<std::uint8_t> result(count);
    std::size_t index = 0;
    for (std::size_t t = count; t-- > 0;) {
        result[t] = codeAt[t * SEARCH_BEAM + index];
        index = parentAt[t * SEARCH_BEAM + index];
    }
    state = {beam[0].accumulator, beam[0].step};
    return result;
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
    const std::int32_t level = std::min(std::int32_t{7}, 4 * magnitude / state.step);
    return static_cast<std::uint8_t>(level | (difference < 0 ? CODE_SIGN : 0));
}

std::vector<std::uint8_t> encodeCodes(std::span<const std::int16_t> samples, Encoder encoder,
                                      DecoderState& state)
{
    if (encoder == Encoder::GREEDY) {
        return encodeGreedy(samples, state);
    }
    // The beam keeps the greedy path only while it stays among the cheapest,
    // so compare with it at the end: the search is never the worse choice.
    DecoderState greedyState = state;
    const DecoderState start = state;
    std::vector<std::uint8_t> searched = encodeSearch(samples, state);
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
    const std::vector<std::int16_t> padded = padWithSilence(samples);
    DecoderState state;
    return packCodes(encodeCodes(padded, encoder, state));
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
