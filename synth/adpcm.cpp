#include "synth/adpcm.h"

namespace synth {

namespace {

/// The position counter's range: one code per DELTA_N_ONE counts.
constexpr std::uint32_t POSITION_ONE = DELTA_N_ONE;

constexpr std::uint32_t CODES_PER_UNIT = ADDRESS_UNIT * adpcm::CODES_PER_BYTE;

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

const char* adpcmSilenceReason(const AdpcmRegisters& regs)
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
    // not something to play for half a minute.
    if (regs.stop < regs.start) {
        return "stop before start";
    }
    return nullptr;
}

std::uint32_t adpcmCodeCount(const AdpcmRegisters& regs)
{
    return (static_cast<std::uint32_t>(regs.stop) - regs.start + 1) * CODES_PER_UNIT;
}

void startVoice(AdpcmVoice& voice, const AdpcmRegisters& regs)
{
    voice = AdpcmVoice{};
    if (adpcmSilenceReason(regs) != nullptr) {
        return;
    }
    voice.playing = true;
    voice.firstByte = std::size_t{regs.start} * ADDRESS_UNIT;
    voice.codeCount = adpcmCodeCount(regs);
}

std::int16_t stepVoice(AdpcmVoice& voice, const AdpcmRegisters& regs, std::span<const std::uint8_t> memory)
{
    if (!voice.playing || memory.empty()) {
        return 0;
    }
    const std::int64_t weight = voice.position;
    const std::int64_t span = POSITION_ONE;
    const std::int64_t between = (voice.previous * (span - weight) + voice.current * weight) >> 16;
    const auto out = static_cast<std::int16_t>((between * regs.level) >> 8);

    voice.position += regs.deltaN;
    if (voice.position < POSITION_ONE) {
        return out;
    }
    voice.position -= POSITION_ONE;
    if (voice.codesTaken >= voice.codeCount) {
        // The counter asks for a code past the stop unit: the end of the sample.
        if (!hasBits(regs.control1, CONTROL1_REPEAT)) {
            voice.playing = false;
            return out;
        }
        voice.codesTaken = 0;
        voice.decoder = adpcm::DecoderState{};
    }
    const std::uint8_t byte =
        memory[(voice.firstByte + voice.codesTaken / adpcm::CODES_PER_BYTE) % memory.size()];
    const auto code =
        static_cast<std::uint8_t>(voice.codesTaken % adpcm::CODES_PER_BYTE == 0 ? byte >> 4 : byte & 0x0F);
    voice.previous = voice.current;
    voice.current = adpcm::decodeCode(voice.decoder, code);
    ++voice.codesTaken;
    return out;
}

} // namespace synth
