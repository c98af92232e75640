// A play with the player's transforms, planned in song time: when the fade
// starts and ends, and every write the player sends, mute and fade included.
//
// The fade (--fade SECONDS) starts after the last loop of a looped log and
// plays on into the looped part for its length; a log without a loop fades
// over its own last seconds. The attenuation rises in FADE_SILENT equal
// steps of time, linear in decibels, and the play ends when it reaches
// silence; the player then sends its silencing writes. Without a fade the
// play ends at songLength, as before.
//
// How the player uses it: plan = planFade(log, loops, fadeNs); start the
// schedule with plan.loops passes; before the writes due at or after
// fadeStepDue(plan, k), raiseFade(transform, k, out) (write_transform.h) for
// each step k reached (fadeStepsAt gives the step of any moment, for a
// sleep that spans several); stop before the first write due at or after
// plan.endNs. --stats and --list take buildPlaySchedule, the same play as
// one list, so that the fade's writes count.
//
// Functions: planFade, fadeStepsAt, fadeStepDue, buildPlaySchedule.
#pragma once

#include "music/music_log.h"
#include "music/schedule.h"
#include "music/write_transform.h"

#include <cstdint>
#include <vector>

struct FadePlan {
    bool fading = false;
    std::int64_t startNs = 0; // play time the attenuation starts to rise
    std::int64_t endNs = 0;   // play time it reaches silence: the play's end
    int loops = 1;            // passes to schedule: the asked loops and those the fade plays over
};

/// The fade of a play of `log` with `loops` passes, over `fadeNs` (0: none).
FadePlan planFade(const MusicLog& log, int loops, std::int64_t fadeNs);

/// The fade's attenuation at play time `playNs`: 0 before the fade,
/// FADE_SILENT from its end on.
int fadeStepsAt(const FadePlan& plan, std::int64_t playNs);

/// The play time the attenuation reaches `step` (1 .. FADE_SILENT).
std::int64_t fadeStepDue(const FadePlan& plan, int step);

struct PlayPlan {
    int loops = 2;
    bool dropping = true;
    UnitSet muted = 0;
    std::int64_t fadeNs = 0;
};

/// Every write of the play in order, as the player sends it: the log's
/// writes through the transforms, the fade's writes at their steps. A log
/// write that sends nothing (dropped, or muted) is listed with `send` false.
std::vector<ScheduledWrite> buildPlaySchedule(const MusicLog& log, const PlayPlan& plan);
