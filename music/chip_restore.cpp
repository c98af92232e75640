// How a restore treats each register. A plain setting (a level, a rate, a
// period, a pan) is written when the target's value differs from the chip's:
// the chip uses whatever it holds. The others act when written, or hold
// nothing, and each has its own rule, with the reason beside it. The second
// bank repeats the first bank's FM layout for channels 4 to 6 from 0x130.
#include "music/chip_restore.h"

#include <string_view>

namespace {

enum class Rule : std::uint8_t {
    SET,          // written when the target's value differs
    NEVER,        // never written by a restore
    KEY,          // written only in the key phases
    ENVELOPE,     // the SSG envelope shape, in the last phase
    FNUMBER_LOW,  // written with its high byte (register + 4) before it
    FNUMBER_HIGH, // written by its low byte's rule
    PRESCALER,    // the last selection, written first
    TIMER,        // without the flag reset bits
    FLAGS,        // without the flag reset bit
};

struct RestoreRule {
    std::uint16_t first;
    std::uint16_t last;
    Rule rule;
    std::string_view reason;
};

// clang-format off
constexpr RestoreRule RESTORE_RULES[] = {
    // First bank: SSG, rhythm, FM common.
    {0x00, 0x0C, Rule::SET,
     "SSG periods, noise, mixer, levels, envelope period: settings"},
    {0x0D, 0x0D, Rule::ENVELOPE,
     "SSG envelope shape: each write restarts the envelope; written after the levels when it differs, or "
     "when a repeating envelope sounds at the target"},
    {0x0E, 0x0F, Rule::SET,
     "I/O ports A and B: the pins hold what was last written; written only when it differs"},
    {0x10, 0x10, Rule::KEY,
     "rhythm key-on/dump: each write strikes or dumps instruments; a restore dumps what the chip has "
     "struck and strikes nothing again, the instruments being one-shot"},
    {0x11, 0x11, Rule::SET,
     "rhythm total level: a setting"},
    {0x12, 0x17, Rule::NEVER,
     "not documented as registers: only the log's own writes reach them"},
    {0x18, 0x1D, Rule::SET,
     "rhythm instruments' outputs and levels: settings"},
    {0x1E, 0x20, Rule::NEVER,
     "not documented"},
    {0x21, 0x21, Rule::NEVER,
     "the test register: a write changes how the chip works inside; only the log's own writes reach it"},
    {0x22, 0x22, Rule::SET,
     "LFO: a setting"},
    {0x23, 0x23, Rule::NEVER,
     "not documented"},
    {0x24, 0x26, Rule::SET,
     "timer A and B values: taken when a timer starts; written before 0x27 starts one"},
    {0x27, 0x27, Rule::TIMER,
     "channel 3 mode and timer control: the mode, load and enable bits are settings the chip needs (CSM "
     "keys channel 3 on timer A); the flag reset bits act once, on the flags, and are left out"},
    {0x28, 0x28, Rule::KEY,
     "FM key on/off: keys one channel's operators; written in the key phases only"},
    {0x29, 0x29, Rule::SET,
     "channels 4-6 on and the interrupt enables: settings, written before any key"},
    {0x2A, 0x2C, Rule::NEVER,
     "not documented"},
    {0x2D, 0x2F, Rule::PRESCALER,
     "prescaler: the write itself selects the clock's divider, whatever its value; the target's "
     "selection is made again (0x2D before 0x2E) when it differs, first of all, as every period depends "
     "on it"},
    {0x30, 0x9E, Rule::SET,
     "FM operators' detune, multiple, total level, rates, sustain, SSG-type envelope: settings (the "
     "fourth address of each row is no register)"},
    {0xA0, 0xA2, Rule::FNUMBER_LOW,
     "F-number low byte: takes in the latched high byte, so a channel's pair is written high byte first, "
     "then low, when either differs"},
    {0xA4, 0xA6, Rule::FNUMBER_HIGH,
     "F-number high byte and block: latched; written just before its low byte"},
    {0xA8, 0xAA, Rule::FNUMBER_LOW,
     "channel 3's special-mode F-number low bytes: as 0xA0"},
    {0xAC, 0xAE, Rule::FNUMBER_HIGH,
     "channel 3's special-mode F-number high bytes: as 0xA4"},
    {0xB0, 0xB6, Rule::SET,
     "feedback, algorithm, outputs and LFO sensitivities: settings"},
    {0xB7, 0xFF, Rule::NEVER,
     "not documented"},
    // Second bank: the ADPCM unit, then FM channels 4 to 6.
    {0x100, 0x100, Rule::KEY,
     "ADPCM control 1: each write starts, stops or resets the unit, reloads its address counter, or "
     "opens memory-write mode; the unit is reset if it plays, and started again only for a repeating "
     "sample from memory"},
    {0x101, 0x107, Rule::SET,
     "ADPCM control 2, start and stop addresses, prescale: settings the next start takes"},
    {0x108, 0x108, Rule::NEVER,
     "ADPCM data: each write pushes a byte to memory or to the synthesiser; the memory is never sent "
     "again"},
    {0x109, 0x10D, Rule::SET,
     "ADPCM delta-N, level, limit address: settings"},
    {0x10E, 0x10F, Rule::NEVER,
     "DA converter data and PCM data: each write is one more sample"},
    {0x110, 0x110, Rule::FLAGS,
     "flag control: the masks are settings; the reset bit acts once, on the flags, and is left out"},
    {0x111, 0x12F, Rule::NEVER,
     "not documented in the second bank"},
    {0x130, 0x19E, Rule::SET,
     "FM operators of channels 4 to 6: settings, as 0x30-0x9E"},
    {0x1A0, 0x1A2, Rule::FNUMBER_LOW,
     "F-number low byte of channels 4 to 6: as 0xA0"},
    {0x1A4, 0x1A6, Rule::FNUMBER_HIGH,
     "F-number high byte of channels 4 to 6: as 0xA4"},
    {0x1A8, 0x1AE, Rule::NEVER,
     "no channel 3 special mode in the second bank: not documented"},
    {0x1B0, 0x1B6, Rule::SET,
     "feedback, algorithm, outputs and LFO sensitivities of channels 4 to 6: settings"},
    {0x1B7, 0x1FF, Rule::NEVER,
     "not documented"},
};
// clang-format on

constexpr std::uint16_t REG_ADPCM_CONTROL1 = BANK1_BASE + ADPCM_CONTROL1;
constexpr std::uint16_t FNUMBER_HIGH_OFFSET = FM_FNUMBER_HIGH - FM_FNUMBER_LOW;
constexpr std::uint16_t FM_ROWS_FIRST = 0x30;
constexpr std::uint16_t FM_ROWS_LAST = 0xB6;

Rule ruleOf(std::uint16_t reg)
{
    // Within the FM rows, the fourth address of each row serves no channel.
    const std::uint16_t low = reg & 0xFF;
    if (low >= FM_ROWS_FIRST && low <= FM_ROWS_LAST && low % FM_OPERATOR_ROW == FM_CHANNELS_PER_BANK) {
        return Rule::NEVER;
    }
    for (const RestoreRule& row : RESTORE_RULES) {
        if (reg >= row.first && reg <= row.last) {
            return row.rule;
        }
    }
    return Rule::NEVER;
}

void emit(RegisterFile& chip, std::vector<RegisterWrite>& out, std::uint16_t reg, std::uint8_t value)
{
    out.push_back(RegisterWrite{reg, value});
    applyWrite(chip, reg, value);
}

// Writes the target's value without its `actionBits` when the chip holds
// another in the bits that are settings.
void setMasked(RegisterFile& chip, std::vector<RegisterWrite>& out, std::uint16_t reg, std::int16_t target,
               std::uint8_t actionBits)
{
    if (target < 0) {
        return;
    }
    const auto want = static_cast<std::uint8_t>(target & ~actionBits);
    const std::int16_t held = chip.value[reg];
    if (held < 0 || (held & ~actionBits) != want) {
        emit(chip, out, reg, want);
    }
}

void keyOff(RegisterFile& chip, std::vector<RegisterWrite>& out)
{
    for (std::size_t c = 0; c < chip.keys.fm.size(); ++c) {
        if (chip.keys.fm[c] != 0) {
            emit(chip, out, FM_KEY, FM_KEY_CHANNELS[c]);
        }
    }
    if (chip.keys.rhythm != 0) {
        emit(chip, out, RHYTHM_KEY, RHYTHM_DUMP | chip.keys.rhythm);
    }
    if (chip.keys.adpcm) {
        emit(chip, out, REG_ADPCM_CONTROL1, CONTROL1_RESET);
    }
}

void prescaler(RegisterFile& chip, const RegisterFile& target, std::vector<RegisterWrite>& out)
{
    if (target.prescaler == 0 || target.prescaler == chip.prescaler) {
        return;
    }
    if (target.prescaler == PRESCALER_THIRD) {
        emit(chip, out, PRESCALER_SIXTH, 0);
    }
    const std::int16_t value = target.value[target.prescaler];
    emit(chip, out, target.prescaler, static_cast<std::uint8_t>(value < 0 ? 0 : value));
}

void fnumberPair(RegisterFile& chip, const RegisterFile& target, std::vector<RegisterWrite>& out,
                 std::uint16_t lowReg)
{
    const auto highReg = static_cast<std::uint16_t>(lowReg + FNUMBER_HIGH_OFFSET);
    const std::int16_t low = target.value[lowReg];
    const std::int16_t high = target.value[highReg];
    const bool differs =
        (low >= 0 && low != chip.value[lowReg]) || (high >= 0 && high != chip.value[highReg]);
    if (!differs) {
        return;
    }
    if (high >= 0) {
        emit(chip, out, highReg, static_cast<std::uint8_t>(high));
    }
    if (low >= 0) {
        emit(chip, out, lowReg, static_cast<std::uint8_t>(low));
    }
}

void registers(RegisterFile& chip, const RegisterFile& target, std::vector<RegisterWrite>& out)
{
    prescaler(chip, target, out);
    for (std::uint16_t reg = 0; reg < REGISTER_COUNT; ++reg) {
        const std::int16_t want = target.value[reg];
        switch (ruleOf(reg)) {
        case Rule::SET:
            if (want >= 0 && want != chip.value[reg]) {
                emit(chip, out, reg, static_cast<std::uint8_t>(want));
            }
            break;
        case Rule::FNUMBER_LOW:
            fnumberPair(chip, target, out, reg);
            break;
        case Rule::TIMER:
            setMasked(chip, out, reg, want, TIMER_CONTROL_FLAG_RESETS);
            break;
        case Rule::FLAGS:
            setMasked(chip, out, reg, want, FLAG_CONTROL_RESET);
            break;
        default:
            break;
        }
    }
}

// A channel takes its level from the envelope.
bool envelopeInUse(const RegisterFile& file)
{
    for (std::uint16_t reg = SSG_LEVEL_A; reg <= SSG_LEVEL_C; ++reg) {
        if (file.value[reg] >= 0 && (file.value[reg] & SSG_LEVEL_ENVELOPE) != 0) {
            return true;
        }
    }
    return false;
}

void keyOn(RegisterFile& chip, const RegisterFile& target, std::vector<RegisterWrite>& out)
{
    const std::int16_t shape = target.value[SSG_ENVELOPE_SHAPE];
    const bool repeats = shape >= 0 && (shape & SSG_SHAPE_CONTINUE) != 0 && (shape & SSG_SHAPE_HOLD) == 0;
    if (shape >= 0 && (shape != chip.value[SSG_ENVELOPE_SHAPE] || (repeats && envelopeInUse(target)))) {
        emit(chip, out, SSG_ENVELOPE_SHAPE, static_cast<std::uint8_t>(shape));
    }
    for (std::size_t c = 0; c < target.keys.fm.size(); ++c) {
        if (target.keys.fm[c] != 0) {
            emit(chip, out, FM_KEY, target.keys.fm[c] | FM_KEY_CHANNELS[c]);
        }
    }
    if (adpcmHeld(target)) {
        emit(chip, out, REG_ADPCM_CONTROL1, static_cast<std::uint8_t>(target.value[REG_ADPCM_CONTROL1]));
    }
}

} // namespace

void restoreWrites(RegisterFile& chip, const RegisterFile& target, std::vector<RegisterWrite>& out)
{
    keyOff(chip, out);
    registers(chip, target, out);
    keyOn(chip, target, out);
}
