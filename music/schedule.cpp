#include "music/schedule.h"

#include "link/port.h"

#include <algorithm>
#include <cmath>

namespace {

constexpr std::int64_t NS_PER_SECOND = 1'000'000'000;
constexpr std::int64_t FRAME_BITS = 3 * BITS_PER_BYTE; // opcode, register, value

// The lateness quantiles are found 16 bits at a time: four passes cover any
// lateness, with 65536 counts for each quantile.
constexpr int DIGIT_BITS = 16;
constexpr int LINE_PASSES = 64 / DIGIT_BITS;
constexpr std::uint64_t DIGIT_VALUES = std::uint64_t{1} << DIGIT_BITS;

} // namespace

void startSchedule(ScheduleCursor& cursor, const MusicLog& log, int loops, bool dropping)
{
    cursor.log = &log;
    cursor.loops = loops;
    cursor.dropping = dropping;
    cursor.pass = 0;
    cursor.index = 0;
    resetRegisterFilter(cursor.filter);
}

bool nextWrite(ScheduleCursor& cursor, ScheduledWrite& write)
{
    const MusicLog& log = *cursor.log;
    if (cursor.index >= log.writes.size()) {
        // A pass ends: the next one plays the looped part, if there is one
        // with a length of its own.
        if (!log.looped || log.endNs <= log.loopNs || cursor.pass + 1 >= cursor.loops ||
            log.loopWrite >= log.writes.size()) {
            return false;
        }
        ++cursor.pass;
        cursor.index = log.loopWrite;
    }
    const LogWrite& w = log.writes[cursor.index++];
    const std::int64_t shift = (log.endNs - log.loopNs) * cursor.pass;
    const bool send = !cursor.dropping || passWrite(cursor.filter, w.reg, w.value);
    write = ScheduledWrite{w.dueNs + shift, w.reg, w.value, send};
    return true;
}

std::vector<ScheduledWrite> buildSchedule(const MusicLog& log, int loops, bool dropping)
{
    std::vector<ScheduledWrite> schedule;
    ScheduleCursor cursor;
    startSchedule(cursor, log, loops, dropping);
    ScheduledWrite w;
    while (nextWrite(cursor, w)) {
        schedule.push_back(w);
    }
    return schedule;
}

std::int64_t frameNanoseconds(std::uint32_t baud)
{
    return baud == 0 ? 0 : FRAME_BITS * NS_PER_SECOND / baud;
}

void startLineModel(LineModel& model, std::uint32_t baud, double speed)
{
    model = LineModel{};
    model.frame = frameNanoseconds(baud);
    model.speed = speed;
    model.quantiles[0].fraction = 0.5;
    model.quantiles[1].fraction = 0.99;
    for (LineModel::Quantile& quantile : model.quantiles) {
        quantile.counts.assign(DIGIT_VALUES, 0);
    }
}

void feedLineModel(LineModel& model, const ScheduledWrite& w)
{
    if (!w.send) {
        return;
    }
    const auto due = static_cast<std::int64_t>(static_cast<double>(w.dueNs) / model.speed);
    const std::int64_t arrival = std::max(due, model.lineFree) + model.frame;
    model.lineFree = arrival;
    const auto late = static_cast<std::uint64_t>(arrival - due);
    const int shift = DIGIT_BITS * (LINE_PASSES - 1 - model.pass);
    for (LineModel::Quantile& quantile : model.quantiles) {
        // Counted when the digits above agree with those found so far (none
        // in the first pass).
        if (model.pass == 0 || late >> (shift + DIGIT_BITS) == quantile.prefix) {
            ++quantile.counts[(late >> shift) & (DIGIT_VALUES - 1)];
        }
    }
    if (model.pass != 0) {
        return;
    }
    LineFigures& figures = model.figures;
    ++figures.writes;
    model.burst = w.dueNs == model.burstDue ? model.burst + 1 : 1;
    model.burstDue = w.dueNs;
    if (model.burst > figures.peakBurst) {
        figures.peakBurst = model.burst;
        figures.peakBurstNs = w.dueNs;
    }
    if (arrival - due > figures.maxLateNs) {
        figures.maxLateNs = arrival - due;
        figures.maxLateAtNs = w.dueNs;
    }
    if (due / NS_PER_SECOND != model.second) {
        model.second = due / NS_PER_SECOND;
        model.busy = 0;
    }
    model.busy += model.frame;
    figures.peakLoad = std::max(figures.peakLoad, static_cast<double>(model.busy) / NS_PER_SECOND);
}

bool endLinePass(LineModel& model)
{
    const std::uint64_t total = model.figures.writes;
    for (LineModel::Quantile& quantile : model.quantiles) {
        if (model.pass == 0) {
            // The nearest rank, as of a sorted list.
            const auto rank =
                static_cast<std::uint64_t>(std::ceil(quantile.fraction * static_cast<double>(total)));
            quantile.rank = std::clamp<std::uint64_t>(rank, 1, std::max<std::uint64_t>(total, 1));
        }
        std::uint64_t digit = 0;
        while (digit + 1 < DIGIT_VALUES && quantile.below + quantile.counts[digit] < quantile.rank) {
            quantile.below += quantile.counts[digit];
            ++digit;
        }
        quantile.prefix = (quantile.prefix << DIGIT_BITS) | digit;
        std::fill(quantile.counts.begin(), quantile.counts.end(), 0);
    }
    model.lineFree = 0;
    ++model.pass;
    return total != 0 && model.pass < LINE_PASSES;
}

LineFigures lineModelFigures(const LineModel& model, std::int64_t lengthNs)
{
    LineFigures figures = model.figures;
    const auto playNs = static_cast<double>(lengthNs) / model.speed;
    if (playNs > 0) {
        figures.load = static_cast<double>(figures.writes) * static_cast<double>(model.frame) / playNs;
    }
    if (figures.writes != 0) {
        figures.medianLateNs = static_cast<std::int64_t>(model.quantiles[0].prefix);
        figures.p99LateNs = static_cast<std::int64_t>(model.quantiles[1].prefix);
    }
    return figures;
}

LineFigures lineFigures(std::span<const ScheduledWrite> schedule, std::uint32_t baud, double speed,
                        std::int64_t lengthNs)
{
    LineModel model;
    startLineModel(model, baud, speed);
    do {
        for (const ScheduledWrite& w : schedule) {
            feedLineModel(model, w);
        }
    } while (endLinePass(model));
    return lineModelFigures(model, lengthNs);
}
