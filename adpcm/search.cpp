// The search encoder: the paths, their children, the tournament that merges
// the children cheapest first, the near and the spread pass that each input
// value takes, and the traceback at the end. search.h says how they fit
// together.
#include "adpcm/search.h"

#include <bit>
#include <limits>

namespace adpcm::detail {

namespace {

/// The most paths a search keeps: path indices are kept in one byte.
constexpr std::size_t MAX_PATHS = 256;

/// Codes ranked by the value they decode to from any state, their order:
/// 0xF (down the most) ... 0x8 is order 0 ... 7, 0x0 ... 0x7 (up the most)
/// is order 8 ... 15.
constexpr std::uint8_t codeOf(std::int32_t order)
{
    return static_cast<std::uint8_t>(order < 8 ? CODE_SIGN | (7 - order) : order - 8);
}

constexpr std::int32_t levelOf(std::int32_t order)
{
    return order < 8 ? 7 - order : order - 8;
}

/// The regions of the spread paths: half octaves of step by rows of
/// SPREAD_CELL accumulator values. Whole octaves leave too few paths with
/// other steps alive through loud speech, where the step moves in small
/// factors: half octaves keep 0.3 dB more on a second of speech.
constexpr std::int32_t STEP_BANDS = 17;
constexpr std::int32_t SPREAD_ROWS = (ACCUMULATOR_MAX - ACCUMULATOR_MIN + 1) / SPREAD_CELL;
constexpr std::int32_t SPREAD_REGIONS = STEP_BANDS * SPREAD_ROWS;
static_assert(SPREAD_REGIONS <= 65536, "regions are kept in two bytes");

/// How many of the cheapest near paths offer their children as spread
/// candidates, besides the spread paths themselves. The dearer near paths'
/// children seldom win a region, and leaving them out saves a third of the
/// search's time at 56 near paths.
constexpr std::size_t SPREAD_PARENTS = 32;

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

/// The band of half an octave a step lies in: floor(2 log2(step) + 1) - 14,
/// so that the bands are centred on the powers of the square root of two,
/// STEP_MIN in band 0 and STEP_MAX in band 16. 2 log2(step) is the exponent
/// of step^2 as a float: a conversion, a product and a shift, which
/// vectorise (the check below shows that rounding the square to a float
/// never carries it across a power of two).
constexpr std::int32_t bandOf(std::int32_t step)
{
    const auto value = static_cast<float>(step);
    const auto exponent = static_cast<std::int32_t>(std::bit_cast<std::uint32_t>(value * value) >> 23);
    return exponent - 127 + 1 - 14;
}

constexpr bool bandsCentredOnHalfOctaves()
{
    // floor(2 log2(step) + 1) is floor(log2(2 step^2)).
    for (std::int32_t step = STEP_MIN; step <= STEP_MAX; ++step) {
        const auto square = static_cast<std::uint64_t>(step) * static_cast<std::uint64_t>(step);
        if (bandOf(step) != static_cast<std::int32_t>(std::bit_width(2 * square)) - 1 - 14) {
            return false;
        }
    }
    return bandOf(STEP_MIN) == 0 && bandOf(STEP_MAX) == STEP_BANDS - 1;
}
static_assert(bandsCentredOnHalfOctaves(), "each band is half an octave, centred on a power of root two");
static_assert(std::numeric_limits<float>::is_iec559, "bandOf reads a float's exponent");

constexpr std::int32_t spreadRegionOf(std::int32_t accumulator, std::int32_t step)
{
    return bandOf(step) * SPREAD_ROWS + spreadRowOf(accumulator);
}

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

/// The live paths of the search, one array per field: the decoder state each
/// path reaches and the squared error it has gathered on the way.
struct Paths {
    std::vector<std::int32_t> accumulator;
    std::vector<std::int32_t> step;
    std::vector<std::uint64_t> cost;
    std::size_t size = 0;

    explicit Paths(std::size_t capacity) : accumulator(capacity), step(capacity), cost(capacity) {}

    /// Writes a path at `at` without counting it.
    void put(std::size_t at, std::int32_t pathAccumulator, std::int32_t pathStep, std::uint64_t pathCost)
    {
        accumulator[at] = pathAccumulator;
        step[at] = pathStep;
        // Capped so that no child's cost passes COST_LIMIT: one error adds less than 2^32.
        cost[at] = std::min(pathCost, COST_LIMIT - (std::uint64_t{1} << 32));
    }

    void add(std::int32_t pathAccumulator, std::int32_t pathStep, std::uint64_t pathCost)
    {
        put(size, pathAccumulator, pathStep, pathCost);
        ++size;
    }
};

/// The sixteen children of every path, worked out with the decoder's own
/// arithmetic: one row per code order (per level for the step, which the sign
/// leaves alone) and one column per path, so that each row is one loop over
/// the paths that the compiler vectorises (`omp simd`, with -fopenmp-simd:
/// no OpenMP runtime). For each path, a cursor over the
/// children not yet taken: two runs from its cheapest child, upwards through
/// larger decoded values and downwards through smaller ones. Decoded values
/// never fall as the order rises (the clamp only flattens them), so along
/// each run the error only grows and the cheaper of the two run heads is the
/// path's cheapest child not yet taken.
struct Children {
    std::size_t stride;
    std::vector<std::int32_t> accumulator; // [order * stride + path]
    std::vector<std::int32_t> error;       // [order * stride + path]: |input - accumulator|
    std::vector<std::int32_t> step;        // [level * stride + path]
    std::vector<std::int32_t> nearest;     // per path: |error| * 16 + order, least first
    std::vector<std::int32_t> up;          // per path: the next order upwards; 16 when spent
    std::vector<std::int32_t> down;        // per path: the next order downwards; -1 when spent

    explicit Children(std::size_t paths)
        : stride(paths), accumulator(CODE_COUNT * paths), error(CODE_COUNT * paths),
          step(LEVEL_COUNT * paths), nearest(paths), up(paths), down(paths)
    {
    }

    std::int32_t accumulatorOf(std::int32_t order, std::size_t path) const
    {
        return accumulator[static_cast<std::size_t>(order) * stride + path];
    }

    std::int32_t stepOf(std::int32_t order, std::size_t path) const
    {
        return step[static_cast<std::size_t>(levelOf(order)) * stride + path];
    }

    /// The child's sort key, from its parent's cost.
    std::uint64_t keyOf(std::int32_t order, std::size_t path, std::uint64_t parentCost) const
    {
        const auto error =
            static_cast<std::uint64_t>(this->error[static_cast<std::size_t>(order) * stride + path]);
        return (parentCost + error * error) << KEY_SHIFT | path << 4 | static_cast<std::uint64_t>(order);
    }

    std::uint64_t headOf(std::size_t path, std::uint64_t parentCost) const
    {
        // Without branches: a spent run's key is read at the end it ran off
        // and then made NO_CHILD (all ones).
        const std::int32_t upwards = up[path];
        const std::int32_t downwards = down[path];
        const std::uint64_t upKey = keyOf(std::min(upwards, CODE_COUNT - 1), path, parentCost) |
                                    (std::uint64_t{0} - std::uint64_t{upwards >= CODE_COUNT});
        const std::uint64_t downKey = keyOf(std::max(downwards, 0), path, parentCost) |
                                      (std::uint64_t{0} - std::uint64_t{downwards < 0});
        return std::min(upKey, downKey);
    }
};

/// One level's two children of every path: the code that moves up by
/// `level` and the one that moves down.
template <std::int32_t LEVEL> void expandLevel(const Paths& paths, std::int32_t x, Children& children)
{
    constexpr std::int32_t UP = 8 + LEVEL;
    constexpr std::int32_t DOWN = 7 - LEVEL;
    constexpr std::int32_t ODD = 2 * LEVEL + 1;
    constexpr std::int32_t FACTOR = STEP_FACTOR[LEVEL];
    const std::size_t stride = children.stride;
    const std::size_t count = paths.size;
    const std::int32_t* __restrict const accumulator = paths.accumulator.data();
    const std::int32_t* __restrict const parentStep = paths.step.data();
    std::int32_t* __restrict const upValue = &children.accumulator[UP * stride];
    std::int32_t* __restrict const downValue = &children.accumulator[DOWN * stride];
    std::int32_t* __restrict const upError = &children.error[UP * stride];
    std::int32_t* __restrict const downError = &children.error[DOWN * stride];
    std::int32_t* __restrict const step = &children.step[LEVEL * stride];
    std::int32_t* __restrict const nearest = children.nearest.data();
#pragma omp simd
    for (std::size_t p = 0; p < count; ++p) {
        // As decodeCode; the step is positive, so a shift truncates as the
        // division does.
        const std::int32_t magnitude = ODD * parentStep[p] >> 3;
        const std::int32_t scaled = parentStep[p] * FACTOR >> 6;
        step[p] = scaled < STEP_MIN ? STEP_MIN : scaled > STEP_MAX ? STEP_MAX : scaled;
        const std::int32_t rise = accumulator[p] + magnitude;
        const std::int32_t fall = accumulator[p] - magnitude;
        const std::int32_t up = rise > ACCUMULATOR_MAX ? ACCUMULATOR_MAX : rise;
        const std::int32_t down = fall < ACCUMULATOR_MIN ? ACCUMULATOR_MIN : fall;
        upValue[p] = up;
        downValue[p] = down;
        const std::int32_t upDistance = x > up ? x - up : up - x;
        const std::int32_t downDistance = x > down ? x - down : down - x;
        upError[p] = upDistance;
        downError[p] = downDistance;
        const std::int32_t upNearest = upDistance << 4 | UP;
        const std::int32_t downNearest = downDistance << 4 | DOWN;
        const std::int32_t nearer = upNearest < downNearest ? upNearest : downNearest;
        nearest[p] = nearer < nearest[p] ? nearer : nearest[p];
    }
}

void expand(const Paths& paths, std::int32_t x, Children& children)
{
    std::fill_n(children.nearest.begin(), paths.size, std::numeric_limits<std::int32_t>::max());
    expandLevel<0>(paths, x, children);
    expandLevel<1>(paths, x, children);
    expandLevel<2>(paths, x, children);
    expandLevel<3>(paths, x, children);
    expandLevel<4>(paths, x, children);
    expandLevel<5>(paths, x, children);
    expandLevel<6>(paths, x, children);
    expandLevel<7>(paths, x, children);
}

/// The spread candidates of paths begin .. end: each level's child on the
/// input's side (the other one, as far again from the input, has the same
/// step), with its key and its spread region, in one row per level.
void findCandidates(const Paths& paths, std::size_t begin, std::size_t end, const Children& children,
                    std::uint64_t* key, std::uint16_t* region)
{
    const std::size_t stride = children.stride;
    for (std::int32_t level = 0; level < LEVEL_COUNT; ++level) {
        const auto l = static_cast<std::size_t>(level);
        const std::int32_t upOrder = 8 + level;
        const std::int32_t downOrder = 7 - level;
        const std::int32_t* __restrict const upError =
            &children.error[static_cast<std::size_t>(upOrder) * stride];
        const std::int32_t* __restrict const downError =
            &children.error[static_cast<std::size_t>(downOrder) * stride];
        const std::int32_t* __restrict const upValue =
            &children.accumulator[static_cast<std::size_t>(upOrder) * stride];
        const std::int32_t* __restrict const downValue =
            &children.accumulator[static_cast<std::size_t>(downOrder) * stride];
        const std::int32_t* __restrict const step = &children.step[l * stride];
        const std::uint64_t* __restrict const cost = paths.cost.data();
        std::uint64_t* __restrict const rowKey = &key[l * stride];
        std::uint16_t* __restrict const rowRegion = &region[l * stride];
#pragma omp simd
        for (std::size_t p = begin; p < end; ++p) {
            // Ties go to the lower order, as the keys would have it.
            const std::int32_t upwards = upError[p];
            const std::int32_t downwards = downError[p];
            const std::int32_t rise = upValue[p];
            const std::int32_t fall = downValue[p];
            const bool up = upwards < downwards;
            const std::int32_t error = up ? upwards : downwards;
            const std::int32_t value = up ? rise : fall;
            const auto order = static_cast<std::uint64_t>(up ? upOrder : downOrder);
            const auto square = static_cast<std::uint64_t>(error) * static_cast<std::uint64_t>(error);
            rowKey[p] = (cost[p] + square) << KEY_SHIFT | p << 4 | order;
            rowRegion[p] = static_cast<std::uint16_t>(spreadRegionOf(value, step[p]));
        }
    }
}

/// Sets every path's runs to start at its cheapest child, and writes that
/// child's key, the path's first head, to `head`.
void startRuns(const Paths& paths, Children& children, std::uint64_t* __restrict head)
{
    const std::int32_t* __restrict const nearest = children.nearest.data();
    const std::uint64_t* __restrict const cost = paths.cost.data();
    std::int32_t* __restrict const up = children.up.data();
    std::int32_t* __restrict const down = children.down.data();
    const std::size_t count = paths.size;
#pragma omp simd
    for (std::size_t p = 0; p < count; ++p) {
        const std::int32_t order = nearest[p] & 0x0F;
        const auto error = static_cast<std::uint64_t>(nearest[p] >> 4);
        up[p] = order;
        down[p] = order - 1;
        head[p] = (cost[p] + error * error) << KEY_SHIFT | p << 4 | static_cast<std::uint64_t>(order);
    }
}

/// The near states kept so far for one input value: an open-addressing set
/// of (step, near cell), emptied by moving to a new stamp instead of filling.
struct KeptStates {
    static constexpr int HASH_BITS = 10;
    static constexpr std::size_t SLOTS = std::size_t{1} << HASH_BITS;
    static_assert(SLOTS >= 4 * MAX_PATHS,
                  "the set stays at most a quarter full, so that a probe rarely goes on");
    // The table is 8 KiB: larger, it would push the children out of the first-level cache.
    static constexpr int CELL_BITS =
        std::bit_width(static_cast<std::uint32_t>((ACCUMULATOR_MAX - ACCUMULATOR_MIN) / NEAR_CELL));
    static_assert(CELL_BITS + std::bit_width(static_cast<std::uint32_t>(STEP_MAX)) <= 32,
                  "(step, cell) fits 32 bits");
    std::array<std::uint64_t, SLOTS> slot{}; // the stamp in the high half, (step, cell) in the low
    std::uint64_t now = 0;

    void clear()
    {
        now += std::uint64_t{1} << 32;
        if (now == 0) {
            slot.fill(0);
            now = std::uint64_t{1} << 32;
        }
    }

    /// Adds (step, cell); false when it was kept already.
    bool insert(std::int32_t step, std::int32_t cell)
    {
        const auto state = static_cast<std::uint32_t>(step) << CELL_BITS | static_cast<std::uint32_t>(cell);
        const std::uint64_t entry = now | state;
        std::size_t at = (state * 2654435761U) >> (32 - HASH_BITS); // Fibonacci hashing
        while ((slot[at] & ~std::uint64_t{0xFFFFFFFF}) == now && slot[at] != entry) {
            at = (at + 1) & (SLOTS - 1);
        }
        const bool added = slot[at] != entry;
        slot[at] = entry;
        return added;
    }
};

/// The paths' run heads in a tournament tree: each inner node holds the
/// loser of the match below it and the winner is the cheapest head, so that
/// replacing the winner's key replays one match per level, from its leaf to
/// the root, without a branch.
struct Tournament {
    std::size_t leaves;               // a power of two, at least the paths
    std::vector<std::uint64_t> loser; // inner nodes 1 .. leaves - 1
    std::vector<std::uint64_t> match; // the winners while building; the leaves at leaves .. 2 leaves - 1
    std::uint64_t winner = NO_CHILD;

    explicit Tournament(std::size_t paths) : leaves(std::bit_ceil(paths)), loser(leaves), match(2 * leaves) {}

    /// Starts over from the heads in match[leaves ..]: spent leaves hold NO_CHILD.
    void play()
    {
        for (std::size_t node = leaves - 1; node >= 1; --node) {
            const std::uint64_t left = match[2 * node];
            const std::uint64_t right = match[2 * node + 1];
            loser[node] = std::max(left, right);
            match[node] = std::min(left, right);
        }
        winner = match[1]; // with one leaf, the leaf itself
    }

    void replaceWinner(std::size_t leaf, std::uint64_t key)
    {
        for (std::size_t node = (leaves + leaf) / 2; node >= 1; node /= 2) {
            // The lower of the two goes on, the higher stays; conditional
            // moves, as a branch would be mispredicted half the time.
            const std::uint64_t held = loser[node];
            const bool heldWins = held < key;
            loser[node] = heldWins ? key : held;
            key = heldWins ? held : key;
        }
        winner = key;
    }
};

/// All that the search keeps from one input value to the next, made once for
/// a run: the beam and the paths it grows into, the children and the
/// tournament over them, the scratch of the two passes, and for every input
/// value each kept path's code and predecessor, which the traceback follows.
struct Search {
    std::size_t nearPaths;
    std::size_t spreadPaths;
    std::size_t paths;
    std::vector<std::uint8_t> codeAt;   // [t * paths + path]: the code that reached the path
    std::vector<std::uint8_t> parentAt; // [t * paths + path]: the path it came from, in the beam before
    Paths beam;
    Paths next;
    std::size_t beamNear = 1; // the beam's near paths, cheapest first; the spread ones follow
    Children children;
    Tournament heads;
    KeptStates kept;
    std::vector<std::uint64_t> candidateKey;    // [level * paths + path]
    std::vector<std::uint16_t> candidateRegion; // [level * paths + path]
    // Per spread region: its cheapest child's key, and whether a near path
    // already holds it.
    std::array<std::uint64_t, SPREAD_REGIONS> regionKey{};
    std::array<bool, SPREAD_REGIONS> regionHeld{};
    // The regions the near paths hold, and those the candidates reach (one
    // more entry: each candidate writes one past the count).
    std::vector<std::uint16_t> heldRegions;
    std::array<std::uint16_t, SPREAD_REGIONS + 1> touched{};
    std::vector<std::uint64_t> spread;

    Search(SearchWidth width, std::size_t count, const DecoderState& start)
        : nearPaths(std::clamp<std::size_t>(width.nearPaths, 1, MAX_PATHS)),
          spreadPaths(std::min(width.spreadPaths, MAX_PATHS - nearPaths)), paths(nearPaths + spreadPaths),
          codeAt(count * paths), parentAt(count * paths), beam(paths), next(paths), children(paths),
          heads(paths), candidateKey(LEVEL_COUNT * paths), candidateRegion(LEVEL_COUNT * paths),
          heldRegions(nearPaths)
    {
        beam.add(start.accumulator, start.step, 0);
        regionKey.fill(NO_CHILD);
        spread.reserve(SPREAD_REGIONS);
    }
};

/// The near pass for input `x`: the beam's children, taken cheapest first by
/// merging the paths' runs through the tournament (so that it looks at little
/// more than the children that survive), each kept in `next` when its state
/// is new, until nearPaths are kept or no child is left.
void takeNearPaths(Search& s, std::int32_t x, std::uint8_t* codes, std::uint8_t* parents)
{
    const Paths& beam = s.beam;
    Paths& next = s.next;
    Children& children = s.children;
    Tournament& heads = s.heads;
    KeptStates& kept = s.kept;
    const std::size_t nearPaths = s.nearPaths;
    expand(beam, x, children);
    startRuns(beam, children, &heads.match[heads.leaves]);
    std::fill(heads.match.begin() + static_cast<std::ptrdiff_t>(heads.leaves + beam.size), heads.match.end(),
              NO_CHILD);
    heads.play();

    // The count of paths taken and the runs' cursors are reached through
    // locals: a store of one byte (a code, a parent) might otherwise stand
    // for any of the scratch's members, and each would be read back after it.
    std::size_t taken = 0;
    std::int32_t* const up = children.up.data();
    std::int32_t* const down = children.down.data();
    const std::uint64_t* const beamCost = beam.cost.data();
    kept.clear();
    while (taken < nearPaths && heads.winner != NO_CHILD) {
        const std::uint64_t key = heads.winner;
        const std::size_t p = pathOf(key);
        const std::int32_t order = orderOfKey(key);
        const std::int32_t accumulator = children.accumulatorOf(order, p);
        const std::int32_t step = children.stepOf(order, p);
        // Written in any case and counted only when new: whether a
        // state is new follows no pattern a processor could predict.
        codes[taken] = codeOf(order);
        parents[taken] = static_cast<std::uint8_t>(p);
        next.put(taken, accumulator, step, costOf(key));
        taken += kept.insert(step, nearCellOf(accumulator)) ? 1 : 0;
        const bool upwards = order == up[p];
        up[p] += upwards ? 1 : 0;
        down[p] -= upwards ? 0 : 1;
        heads.replaceWinner(p, children.headOf(p, beamCost[p]));
    }
    next.size = taken;
}

/// Offers the spread candidates of the beam's `cheapest` first paths and of
/// its spread paths to their regions, each region keeping the cheapest. A
/// region reached for the first time is listed in `touched`, so that only
/// those are read and reset after; returns how many are listed.
std::size_t offerCandidates(Search& s, std::size_t cheapest)
{
    const std::size_t paths = s.paths;
    const std::uint64_t* const candidateKey = s.candidateKey.data();
    const std::uint16_t* const candidateRegion = s.candidateRegion.data();
    std::size_t touchedCount = 0;
    const auto offer = [&](std::size_t begin, std::size_t end) {
        for (std::size_t p = begin; p < end; ++p) {
            for (std::size_t level = 0; level < LEVEL_COUNT; ++level) {
                // Conditional moves and a count: which child wins a
                // region follows no pattern a processor could predict.
                const std::uint64_t key = candidateKey[level * paths + p];
                const std::uint16_t region = candidateRegion[level * paths + p];
                const std::uint64_t held = s.regionKey[region];
                s.regionKey[region] = key < held ? key : held;
                s.touched[touchedCount] = region;
                touchedCount += held == NO_CHILD ? 1 : 0;
            }
        }
    };
    offer(0, cheapest);
    offer(s.beamNear, s.beam.size);
    return touchedCount;
}

/// The spread pass, after the near one: the cheapest candidate of each
/// spread region that no near path of `next` holds, and of those the
/// spreadPaths cheapest, added to `next` after its near paths.
void takeSpreadPaths(Search& s, std::uint8_t* codes, std::uint8_t* parents)
{
    // Through locals, as in the near pass: the held marks and the codes are
    // stores of one byte.
    const Paths& beam = s.beam;
    Paths& next = s.next;
    const Children& children = s.children;
    const std::size_t nextNear = next.size;
    std::uint16_t* const heldRegions = s.heldRegions.data();
    bool* const regionHeld = s.regionHeld.data();
    std::uint64_t* const regionKey = s.regionKey.data();
    const std::uint16_t* const touched = s.touched.data();
    const std::int32_t* const nextAccumulator = next.accumulator.data();
    const std::int32_t* const nextStep = next.step.data();
    for (std::size_t i = 0; i < nextNear; ++i) {
        const auto region = static_cast<std::uint16_t>(spreadRegionOf(nextAccumulator[i], nextStep[i]));
        heldRegions[i] = region;
        regionHeld[region] = true;
    }
    // The candidates come from the cheapest near paths and from the spread
    // paths: the other near paths' children are no cheaper in a region than
    // theirs often enough to be worth the time.
    const std::size_t cheapest = std::min(s.beamNear, SPREAD_PARENTS);
    findCandidates(beam, 0, cheapest, children, s.candidateKey.data(), s.candidateRegion.data());
    findCandidates(beam, s.beamNear, beam.size, children, s.candidateKey.data(), s.candidateRegion.data());
    const std::size_t touchedCount = offerCandidates(s, cheapest);

    std::vector<std::uint64_t>& spread = s.spread;
    spread.clear();
    for (std::size_t i = 0; i < touchedCount; ++i) {
        const std::uint16_t region = touched[i];
        if (!regionHeld[region]) {
            spread.push_back(regionKey[region]);
        }
        regionKey[region] = NO_CHILD;
    }
    for (std::size_t i = 0; i < nextNear; ++i) {
        regionHeld[heldRegions[i]] = false;
    }
    const std::size_t spreadPaths = s.spreadPaths;
    if (spread.size() > spreadPaths) {
        std::nth_element(spread.begin(), spread.begin() + static_cast<std::ptrdiff_t>(spreadPaths),
                         spread.end());
        spread.resize(spreadPaths);
    }
    for (const std::uint64_t key : spread) {
        const std::size_t p = pathOf(key);
        const std::int32_t order = orderOfKey(key);
        codes[next.size] = codeOf(order);
        parents[next.size] = static_cast<std::uint8_t>(p);
        next.add(children.accumulatorOf(order, p), children.stepOf(order, p), costOf(key));
    }
}

/// After the last of `count` values: the cheapest path of the beam, traced
/// back through its predecessors to the start. Returns its codes and leaves
/// its decoder state in `state` (untouched when there were no values).
std::vector<std::uint8_t> traceBack(const Search& s, std::size_t count, DecoderState& state)
{
    const Paths& beam = s.beam;
    std::size_t index = 0;
    for (std::size_t i = 1; i < beam.size; ++i) {
        if (beam.cost[i] < beam.cost[index]) {
            index = i;
        }
    }
    std::vector<std::uint8_t> result(count);
    if (count > 0) {
        state = {beam.accumulator[index], beam.step[index]};
    }
    for (std::size_t t = count; t-- > 0;) {
        result[t] = s.codeAt[t * s.paths + index];
        index = s.parentAt[t * s.paths + index];
    }
    return result;
}

} // namespace

/// After each input value, the paths kept are the nearPaths cheapest
/// distinct states, then the cheapest candidate of each spread region not
/// yet held, the spreadPaths cheapest of those. Each kept path records its
/// code and its predecessor; at the end the cheapest path is traced back.
std::vector<std::uint8_t> encodeSearch(std::span<const std::int16_t> samples, SearchWidth width,
                                       DecoderState& state)
{
    const std::size_t count = samples.size();
    Search s(width, count, state);
    for (std::size_t t = 0; t < count; ++t) {
        std::uint8_t* const codes = &s.codeAt[t * s.paths];
        std::uint8_t* const parents = &s.parentAt[t * s.paths];
        takeNearPaths(s, samples[t], codes, parents);
        const std::size_t nextNear = s.next.size;
        if (s.spreadPaths > 0) {
            takeSpreadPaths(s, codes, parents);
        }
        std::swap(s.beam, s.next);
        s.beamNear = nextNear;
    }
    return traceBack(s, count, state);
}

} // namespace adpcm::detail
