#include "adpcm/render.h"

#include "adpcm/atomic_file.h"
#include "adpcm/codec.h"
#include "link/frames.h"

#include <cstdio>

namespace adpcm {

namespace {

/// The position counter's range: one code per 65536 counts.
constexpr std::uint64_t POSITION_ONE = 65536;

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

PlaybackPlan planPlayback(const AdpcmRegisters& regs)
{
    PlaybackPlan plan;
    if (regs.deltaN != 0) {
        plan.rateHz = static_cast<double>(OUTPUT_RATE) * regs.deltaN / static_cast<double>(POSITION_ONE);
    }
    if (silenceReason(regs) != nullptr) {
        return plan;
    }
    plan.plays = true;
    plan.codeCount = (static_cast<std::uint32_t>(regs.stop) - regs.start + 1) * CODES_PER_UNIT;
    const std::uint64_t frames = ((plan.codeCount + 1) * POSITION_ONE + regs.deltaN - 1) / regs.deltaN;
    const std::uint64_t limit = std::uint64_t{MAX_RENDER_SECONDS} * OUTPUT_RATE;
    plan.cut = frames > limit;
    plan.frameCount = static_cast<std::uint32_t>(plan.cut ? limit : frames);
    return plan;
}

std::vector<std::int16_t> renderPlayback(std::span<const std::uint8_t> memory, const AdpcmRegisters& regs)
{
    const PlaybackPlan plan = planPlayback(regs);
    if (!plan.plays || memory.empty()) {
        return {};
    }
    const bool left = hasBits(regs.control2, CONTROL2_LEFT);
    const bool right = hasBits(regs.control2, CONTROL2_RIGHT);
    const std::size_t firstByte = std::size_t{regs.start} * ADDRESS_UNIT;

    std::vector<std::int16_t> frames(std::size_t{plan.frameCount} * OUTPUT_CHANNELS);
    DecoderState decoder;
    std::int32_t previous = 0;
    std::int32_t current = 0;
    std::uint32_t codesTaken = 0;
    std::uint32_t position = 0;
    for (std::uint32_t frame = 0; frame < plan.frameCount; ++frame) {
        const std::int64_t weight = position;
        const std::int64_t span = static_cast<std::int64_t>(POSITION_ONE);
        const std::int64_t between = (previous * (span - weight) + current * weight) >> 16;
        const auto out = static_cast<std::int16_t>((between * regs.level) >> 8);
        frames[OUTPUT_CHANNELS * frame] = left ? out : 0;
        frames[OUTPUT_CHANNELS * frame + 1] = right ? out : 0;

        position += regs.deltaN;
        if (position < POSITION_ONE) {
            continue;
        }
        position -= static_cast<std::uint32_t>(POSITION_ONE);
        // planPlayback ends the frames before the counter asks for a code past
        // the stop unit, so codesTaken < codeCount here.
        const std::uint8_t byte = memory[(firstByte + codesTaken / CODES_PER_BYTE) % memory.size()];
        const auto code =
            static_cast<std::uint8_t>(codesTaken % CODES_PER_BYTE == 0 ? byte >> 4 : byte & 0x0F);
        previous = current;
        current = decodeCode(decoder, code);
        ++codesTaken;
    }
    return frames;
}

std::string describePlayback(const AdpcmRegisters& regs, std::string_view wavName)
{
    const PlaybackPlan plan = planPlayback(regs);
    char line[256];
    const int head = std::snprintf(line, sizeof line, "play units %u..%u at %.0f Hz", unsigned{regs.start},
                                   unsigned{regs.stop}, plan.rateHz);
    std::string text(line, static_cast<std::size_t>(head));
    if (const char* reason = silenceReason(regs); reason != nullptr) {
        return text + ": " + reason + ", nothing rendered";
    }
    std::snprintf(line, sizeof line, ", %.2f s", static_cast<double>(plan.frameCount) / OUTPUT_RATE);
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

bool writePlaybackWav(const std::string& path, std::span<const std::int16_t> frames, std::string& error)
{
    return writeWavAtomically(path, frames, static_cast<int>(OUTPUT_CHANNELS), static_cast<int>(OUTPUT_RATE),
                              error);
}

} // namespace adpcm
