#include "adpcm/render.h"

#include "adpcm/atomic_file.h"
#include "adpcm/codec.h"
#include "chip/ym2608.h"

#include <cstdio>

namespace adpcm {

namespace {

/// The position counter's range: one code per DELTA_N_ONE counts.
constexpr std::uint64_t POSITION_ONE = DELTA_N_ONE;

constexpr std::uint32_t CODES_PER_UNIT = ADDRESS_UNIT * CODES_PER_BYTE;

bool hasBits(std::uint8_t value, std::uint8_t bits)
{
    return (value & bits) == bits;
}

std::uint16_t withLow(std::uint16_t word, std::uint8_t value)
{
    return static_cast<std::uint16_t>((word & 0xFF00) | value);
}

std::uint16_t withHigh(std::uint16_t word, std::uint8_t value)
{
    return static_cast<std::uint16_t>((word & 0x00FF) | (value << 8));
}

/// Why a start renders nothing, or nullptr when it plays.
const char* silenceReason(const AdpcmRegisters& regs)
{
    if (!hasBits(regs.control1, CONTROL1_START)) {
        return "not started";
    }
    if (!hasBits(regs.control1, CONTROL1_MEMORY_DATA)) {
        return "codes from the CPU, not from memory";
    }
    if (hasBits(regs.control1, CONTROL1_RESET)) {
        return "held in reset";
    }
    if (regs.deltaN == 0) {
        return "delta-N 0";
    }
    // With the stop below the start the chip would run through the whole
    // address range before it met the stop; that is a mistake in the set-up,
    // not something to render for half a minute.
    if (regs.stop < regs.start) {
        return "stop before start";
    }
    return nullptr;
}

} // namespace

bool applyAdpcmWrite(AdpcmRegisters& regs, std::uint8_t reg, std::uint8_t value)
{
    switch (reg) {
    case ADPCM_CONTROL1:
        regs.control1 = value;
        return hasBits(value, CONTROL1_START | CONTROL1_MEMORY_DATA) && !hasBits(value, CONTROL1_RESET);
    case ADPCM_CONTROL2:
        regs.control2 = value;
        return false;
    case ADPCM_START_LOW:
        regs.start = withLow(regs.start, value);
        return false;
    case ADPCM_START_HIGH:
        regs.start = withHigh(regs.start, value);
        return false;
    case ADPCM_STOP_LOW:
        regs.stop = withLow(regs.stop, value);
        return false;
    case ADPCM_STOP_HIGH:
        regs.stop = withHigh(regs.stop, value);
        return false;
    case ADPCM_DELTA_N_LOW:
        regs.deltaN = withLow(regs.deltaN, value);
        return false;
    case ADPCM_DELTA_N_HIGH:
        regs.deltaN = withHigh(regs.deltaN, value);
        return false;
    case ADPCM_LEVEL:
        regs.level = value;
        return false;
    default:
        return false;
    }
}

PlaybackPlan planPlayback(const AdpcmRegisters& regs, std::uint32_t clock)
{
    PlaybackPlan plan;
    if (regs.deltaN != 0) {
        plan.rateHz = adpcmRate(clock, regs.deltaN);
    }
    if (silenceReason(regs) != nullptr) {
        return plan;
    }
    plan.plays = true;
    plan.codeCount = (static_cast<std::uint32_t>(regs.stop) - regs.start + 1) * CODES_PER_UNIT;
    const std::uint64_t frames = ((plan.codeCount + 1) * POSITION_ONE + regs.deltaN - 1) / regs.deltaN;
    const auto limit = static_cast<std::uint64_t>(MAX_RENDER_SECONDS * outputRate(clock));
    plan.cut = frames > limit;
    plan.frameCount = static_cast<std::uint32_t>(plan.cut ? limit : frames);
    return plan;
}

void startVoice(AdpcmVoice& voice, const AdpcmRegisters& regs)
{
    voice = AdpcmVoice{};
    const PlaybackPlan plan = planPlayback(regs);
    if (!plan.plays) {
        return;
    }
    voice.playing = true;
    voice.firstByte = std::size_t{regs.start} * ADDRESS_UNIT;
    voice.codeCount = plan.codeCount;
}

std::int16_t stepVoice(AdpcmVoice& voice, const AdpcmRegisters& regs, std::span<const std::uint8_t> memory)
{
    if (!voice.playing || memory.empty()) {
        return 0;
    }
    const std::int64_t weight = voice.position;
    const auto span = static_cast<std::int64_t>(POSITION_ONE);
    const std::int64_t between = (voice.previous * (span - weight) + voice.current * weight) >> 16;
    const auto out = static_cast<std::int16_t>((between * regs.level) >> 8);

    voice.position += regs.deltaN;
    if (voice.position < POSITION_ONE) {
        return out;
    }
    voice.position -= static_cast<std::uint32_t>(POSITION_ONE);
    if (voice.codesTaken >= voice.codeCount) {
        // The counter asks for a code past the stop unit: the end of the sample.
        if (!hasBits(regs.control1, CONTROL1_REPEAT)) {
            voice.playing = false;
            return out;
        }
        voice.codesTaken = 0;
        voice.decoder = DecoderState{};
    }
    const std::uint8_t byte = memory[(voice.firstByte + voice.codesTaken / CODES_PER_BYTE) % memory.size()];
    const auto code = static_cast<std::uint8_t>(voice.codesTaken % CODES_PER_BYTE == 0 ? byte >> 4 : byte & 0x0F);
    voice.previous = voice.current;
    voice.current = decodeCode(voice.decoder, code);
    ++voice.codesTaken;
    return out;
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
    AdpcmVoice voice;
    startVoice(voice, regs);
    std::vector<std::int16_t> frames(std::size_t{plan.frameCount} * OUTPUT_CHANNELS);
    for (std::uint32_t frame = 0; frame < plan.frameCount; ++frame) {
        const std::int16_t out = stepVoice(voice, regs, memory);
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
    if (const char* reason = silenceReason(regs); reason != nullptr) {
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
