#include "music/play_plan.h"

#include <algorithm>

FadePlan planFade(const MusicLog& log, int loops, std::int64_t fadeNs)
{
    FadePlan plan;
    plan.loops = loops;
    plan.startNs = songLength(log, loops);
    plan.endNs = plan.startNs;
    if (fadeNs <= 0) {
        return plan;
    }
    plan.fading = true;
    if (playPasses(log, 2) > 1) {
        // The looped part plays on under the fade, as many more times as it takes.
        const std::int64_t loopLength = log.endNs - log.loopNs;
        plan.loops = std::max(loops, 1) + static_cast<int>((fadeNs + loopLength - 1) / loopLength);
        plan.endNs = plan.startNs + fadeNs;
        return plan;
    }
    plan.startNs = std::max<std::int64_t>(log.endNs - fadeNs, 0);
    return plan;
}

int fadeStepsAt(const FadePlan& plan, std::int64_t playNs)
{
    if (!plan.fading || playNs < plan.startNs) {
        return 0;
    }
    const std::int64_t length = plan.endNs - plan.startNs;
    if (playNs >= plan.endNs || length <= 0) {
        return FADE_SILENT;
    }
    return static_cast<int>((playNs - plan.startNs) * FADE_SILENT / length);
}

std::int64_t fadeStepDue(const FadePlan& plan, int step)
{
    const std::int64_t length = plan.endNs - plan.startNs;
    return plan.startNs + (length * step + FADE_SILENT - 1) / FADE_SILENT;
}

namespace {

void appendWrites(std::vector<ScheduledWrite>& schedule, std::int64_t dueNs,
                  const std::vector<RegisterWrite>& writes)
{
    for (const RegisterWrite& w : writes) {
        schedule.push_back(ScheduledWrite{dueNs, w.reg, w.value, true});
    }
}

} // namespace

std::vector<ScheduledWrite> buildPlaySchedule(const MusicLog& log, const PlayPlan& plan)
{
    const FadePlan fade = planFade(log, plan.loops, plan.fadeNs);
    WriteTransform transform;
    startTransform(transform, plan.dropping, plan.muted);
    ScheduleCursor cursor;
    startSchedule(cursor, log, fade.loops, false);

    std::vector<ScheduledWrite> schedule;
    std::vector<RegisterWrite> out;
    int step = 0;
    const auto stepsUntil = [&](std::int64_t dueNs) {
        while (fade.fading && step < FADE_SILENT && fadeStepDue(fade, step + 1) <= dueNs) {
            ++step;
            out.clear();
            raiseFade(transform, step, out);
            appendWrites(schedule, fadeStepDue(fade, step), out);
        }
    };
    ScheduledWrite next;
    while (nextWrite(cursor, next)) {
        if (fade.fading && next.dueNs >= fade.endNs) {
            break;
        }
        stepsUntil(next.dueNs);
        out.clear();
        transformWrite(transform, next.reg, next.value, out);
        if (out.empty()) {
            schedule.push_back(ScheduledWrite{next.dueNs, next.reg, next.value, false});
        }
        appendWrites(schedule, next.dueNs, out);
    }
    stepsUntil(fade.endNs);
    return schedule;
}
