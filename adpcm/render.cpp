#include "adpcm/render.h"

#include "adpcm/atomic_file.h"
#include "chip/ym2608.h"

#include <cstdio>

namespace adpcm {

namespace {

/// The position counter's range: one code per DELTA_N_ONE counts.
constexpr std::uint64_t POSITION_ONE = DELTA_N_ONE;

bool hasBits(std::uint8_t value, std::uint8_t bits)
{
    return (value & bits) == bits;
}

} // namespace

PlaybackPlan planPlayback(const AdpcmRegisters& regs, std::uint32_t clock)
{
    PlaybackPlan plan;
    if (regs.deltaN != 0) {
        plan.rateHz = adpcmRate(clock, regs.deltaN);
    }
    if (synth::adpcmSilenceReason(regs) != nullptr) {
        return plan;
    }
    plan.plays = true;
    plan.codeCount = synth::adpcmCodeCount(regs);
    const std::uint64_t frames = ((plan.codeCount + 1) * POSITION_ONE + regs.deltaN - 1) / regs.deltaN;
    const auto limit = static_cast<std::uint64_t>(MAX_RENDER_SECONDS * outputRate(clock));
    plan.cut = frames > limit;
    plan.frameCount = static_cast<std::uint32_t>(plan.cut ? limit : frames);
    return plan;
}

std::vector<std::int16_t> renderPlayback(std::span<const std::uint8_t> memory, const AdpcmRegisters& regs,
                                         std::uint32_t clock)
{
    const PlaybackPlan plan = planPlayback(regs, clock);
    if (!plan.plays || memory.empty()) {
        return {};
    }
    const bool left = hasBits(regs.control2, CONTROL2_LEFT);
    const bool right = hasBits(regs.control2, CONTROL2_RIGHT);
    // One pass: the frames end before the voice would need a code past the
    // stop unit, so repeat never comes into it.
    synth::AdpcmVoice voice;
    synth::startVoice(voice, regs);
    std::vector<std::int16_t> frames(std::size_t{plan.frameCount} * OUTPUT_CHANNELS);
    for (std::uint32_t frame = 0; frame < plan.frameCount; ++frame) {
        const std::int16_t out = synth::stepVoice(voice, regs, memory);
        frames[OUTPUT_CHANNELS * frame] = left ? out : 0;
        frames[OUTPUT_CHANNELS * frame + 1] = right ? out : 0;
    }
    return frames;
}

std::string describePlayback(const AdpcmRegisters& regs, std::string_view wavName, std::uint32_t clock)
{
    const PlaybackPlan plan = planPlayback(regs, clock);
    char line[256];
    const int head = std::snprintf(line, sizeof line, "play units %u..%u at %.0f Hz", unsigned{regs.start},
                                   unsigned{regs.stop}, plan.rateHz);
    std::string text(line, static_cast<std::size_t>(head));
    if (const char* reason = synth::adpcmSilenceReason(regs); reason != nullptr) {
        return text + ": " + reason + ", nothing rendered";
    }
    std::snprintf(line, sizeof line, ", %.2f s", static_cast<double>(plan.frameCount) / outputRate(clock));
    text += line;
    if (plan.cut) {
        text += " (cut)";
    }
    if (hasBits(regs.control1, CONTROL1_REPEAT)) {
        text += ", repeat (one pass rendered)";
    }
    if (!hasBits(regs.control2, CONTROL2_LEFT) && !hasBits(regs.control2, CONTROL2_RIGHT)) {
        text += ", both outputs off";
    }
    text += " -> ";
    text += wavName;
    return text;
}

bool writePlaybackWav(const std::string& path, std::span<const std::int16_t> frames, std::string& error,
                      std::uint32_t clock)
{
    return writeWavAtomically(path, frames, static_cast<int>(OUTPUT_CHANNELS), wavRate(clock), error);
}

} // namespace adpcm
