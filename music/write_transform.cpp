#include "music/write_transform.h"

#include "music/chip_restore.h"
#include "music/register_filter.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <cmath>

namespace {

constexpr std::string_view UNIT_NAMES[SOUND_UNIT_COUNT] = {"fm1",  "fm2",  "fm3",  "fm4",    "fm5",  "fm6",
                                                           "ssg1", "ssg2", "ssg3", "rhythm", "adpcm"};

// The registers the transforms change, and how.
enum class Level : std::uint8_t { NONE, FM_TOTAL, SSG, RHYTHM_TOTAL, RHYTHM_INSTRUMENT, ADPCM };

constexpr std::uint16_t REG_ADPCM_LEVEL = BANK1_BASE + ADPCM_LEVEL;
constexpr std::uint8_t FM_TOTAL_LEVEL_LAST = FM_TOTAL_LEVEL + FM_OPERATORS_PER_CHANNEL * FM_OPERATOR_ROW - 1;
constexpr std::uint8_t FM_ALGORITHM_LAST = FM_ALGORITHM + FM_CHANNELS_PER_BANK - 1;
constexpr std::size_t LEVEL_REGISTER_COUNT =
    2 * FM_CHANNELS_PER_BANK * FM_OPERATORS_PER_CHANNEL + 3 + 1 + RHYTHM_INSTRUMENT_COUNT + 1;

// Every register a transform changes: the total levels of both banks, the
// SSG levels, the rhythm levels, the ADPCM level.
constexpr std::array<std::uint16_t, LEVEL_REGISTER_COUNT> LEVEL_REGISTERS = [] {
    std::array<std::uint16_t, LEVEL_REGISTER_COUNT> regs{};
    std::size_t n = 0;
    for (std::uint16_t bank : {std::uint16_t{0}, BANK1_BASE}) {
        for (std::uint16_t row = 0; row < FM_OPERATORS_PER_CHANNEL; ++row) {
            for (std::uint16_t ch = 0; ch < FM_CHANNELS_PER_BANK; ++ch) {
                regs[n++] = static_cast<std::uint16_t>(bank + FM_TOTAL_LEVEL + row * FM_OPERATOR_ROW + ch);
            }
        }
    }
    for (std::uint16_t reg : {SSG_LEVEL_A, SSG_LEVEL_B, SSG_LEVEL_C, RHYTHM_TOTAL_LEVEL}) {
        regs[n++] = reg;
    }
    for (std::uint16_t i = 0; i < RHYTHM_INSTRUMENT_COUNT; ++i) {
        regs[n++] = static_cast<std::uint16_t>(RHYTHM_INSTRUMENT_FIRST + i);
    }
    regs[n++] = REG_ADPCM_LEVEL;
    return regs;
}();

Level levelOf(std::uint16_t reg)
{
    const std::uint16_t low = reg & 0xFF;
    if (low >= FM_TOTAL_LEVEL && low <= FM_TOTAL_LEVEL_LAST &&
        low % FM_OPERATOR_ROW != FM_CHANNELS_PER_BANK) {
        return Level::FM_TOTAL;
    }
    if (reg == REG_ADPCM_LEVEL) {
        return Level::ADPCM;
    }
    if (reg >= SSG_LEVEL_A && reg <= SSG_LEVEL_C) {
        return Level::SSG;
    }
    if (reg == RHYTHM_TOTAL_LEVEL) {
        return Level::RHYTHM_TOTAL;
    }
    if (reg >= RHYTHM_INSTRUMENT_FIRST && reg <= RHYTHM_INSTRUMENT_LAST) {
        return Level::RHYTHM_INSTRUMENT;
    }
    return Level::NONE;
}

bool isAlgorithm(std::uint16_t reg)
{
    const std::uint16_t low = reg & 0xFF;
    return low >= FM_ALGORITHM && low <= FM_ALGORITHM_LAST;
}

// The FM channel (0-5) of a total level or algorithm register.
int fmChannelOf(std::uint16_t reg)
{
    return (reg >= BANK1_BASE ? FM_CHANNELS_PER_BANK : 0) + (reg & 0xFF) % FM_OPERATOR_ROW;
}

// Whether the total level register `reg` belongs to a carrier of its
// channel's algorithm as the log has set it (the power-on algorithm 0 before).
bool isCarrier(const RegisterFile& log, std::uint16_t reg)
{
    const auto bank = static_cast<std::uint16_t>(reg & BANK1_BASE);
    const std::int16_t algorithm = log.value[bank + FM_ALGORITHM + (reg & 0xFF) % FM_OPERATOR_ROW];
    const std::uint8_t carriers = FM_CARRIERS[algorithm < 0 ? 0 : algorithm & FM_ALGORITHM_BITS];
    const std::uint8_t op = FM_ROW_OPERATOR[((reg & 0xFF) - FM_TOTAL_LEVEL) / FM_OPERATOR_ROW];
    return (carriers >> (op - 1) & 1) != 0;
}

bool isMuted(const WriteTransform& t, SoundUnit unit)
{
    return (t.muted & unitBit(unit)) != 0;
}

// True when the mute holds `reg` at its silent value.
bool mutedRegister(const WriteTransform& t, std::uint16_t reg)
{
    switch (levelOf(reg)) {
    case Level::FM_TOTAL:
        return isCarrier(t.log, reg) && isMuted(t, static_cast<SoundUnit>(fmChannelOf(reg)));
    case Level::SSG:
        return isMuted(t, static_cast<SoundUnit>(static_cast<int>(SoundUnit::SSG1) + reg - SSG_LEVEL_A));
    case Level::RHYTHM_INSTRUMENT:
        return isMuted(t, SoundUnit::RHYTHM);
    case Level::ADPCM:
        return isMuted(t, SoundUnit::ADPCM);
    default:
        return false;
    }
}

std::int16_t silentValue(Level level)
{
    return level == Level::FM_TOTAL ? FM_TOTAL_LEVEL_MAX : 0;
}

// A level under a fade of 1 to FADE_SILENT - 1 steps.
std::int16_t fadedLevel(const WriteTransform& t, Level level, std::int16_t value)
{
    const int fade = t.fade;
    switch (level) {
    case Level::FM_TOTAL:
        return static_cast<std::int16_t>(std::min(value + fade, int{FM_TOTAL_LEVEL_MAX}));
    case Level::SSG:
        if ((value & SSG_LEVEL_ENVELOPE) != 0) {
            return fade >= SSG_ENVELOPE_FADE ? 0 : value;
        }
        return static_cast<std::int16_t>(
            std::max((value & SSG_LEVEL_BITS) - fade / SSG_LEVEL_STEP_IN_TL_STEPS, 0));
    case Level::RHYTHM_TOTAL:
        return static_cast<std::int16_t>(std::max((value & RHYTHM_TOTAL_LEVEL_MAX) - fade, 0));
    case Level::RHYTHM_INSTRUMENT: {
        // What the total level's range could not take.
        const std::int16_t total = t.log.value[RHYTHM_TOTAL_LEVEL];
        const int spill = std::max(fade - (total < 0 ? 0 : total & RHYTHM_TOTAL_LEVEL_MAX), 0);
        const int kept = std::max((value & RHYTHM_LEVEL_MAX) - spill, 0);
        return static_cast<std::int16_t>((value & (RHYTHM_LEFT | RHYTHM_RIGHT)) | kept);
    }
    case Level::ADPCM: {
        const double gain = std::pow(10.0, -DECIBELS_PER_LEVEL_STEP * fade / 20.0);
        return static_cast<std::int16_t>(std::floor(value * gain));
    }
    default:
        return value;
    }
}

// What the chip should hold in `reg`; -1 where the log has not set it and no transform silences it.
std::int16_t viewOf(const WriteTransform& t, std::uint16_t reg)
{
    const Level level = levelOf(reg);
    const std::int16_t value = t.log.value[reg];
    if (level == Level::NONE || (level == Level::FM_TOTAL && !isCarrier(t.log, reg))) {
        return value;
    }
    if (mutedRegister(t, reg) || t.fade >= FADE_SILENT) {
        return silentValue(level);
    }
    if (value < 0 || t.fade == 0) {
        return value;
    }
    return fadedLevel(t, level, value);
}

void sendWrite(WriteTransform& t, std::uint16_t reg, std::uint8_t value, std::vector<RegisterWrite>& out)
{
    if (t.dropping && !writeHasEffect(reg) && t.chip.value[reg] == value) {
        return;
    }
    out.push_back(RegisterWrite{reg, value});
    applyWrite(t.chip, reg, value);
}

// Brings the chip's `reg` to its view, when the view is known and differs.
void syncRegister(WriteTransform& t, std::uint16_t reg, std::vector<RegisterWrite>& out)
{
    const std::int16_t view = viewOf(t, reg);
    if (view >= 0 && view != t.chip.value[reg]) {
        out.push_back(RegisterWrite{reg, static_cast<std::uint8_t>(view)});
        applyWrite(t.chip, reg, static_cast<std::uint8_t>(view));
    }
}

// The total levels of the channel of algorithm register `reg` that go
// quieter (`quieter`) or louder under the log's present algorithm.
void syncTotals(WriteTransform& t, std::uint16_t reg, bool quieter, std::vector<RegisterWrite>& out)
{
    const auto first =
        static_cast<std::uint16_t>((reg & BANK1_BASE) + FM_TOTAL_LEVEL + (reg & 0xFF) % FM_OPERATOR_ROW);
    for (int row = 0; row < FM_OPERATORS_PER_CHANNEL; ++row) {
        const auto tl = static_cast<std::uint16_t>(first + row * FM_OPERATOR_ROW);
        const std::int16_t view = viewOf(t, tl);
        if (view >= 0 && (view > t.chip.value[tl]) == quieter) {
            syncRegister(t, tl, out);
        }
    }
}

void syncLevels(WriteTransform& t, std::vector<RegisterWrite>& out)
{
    for (std::uint16_t reg : LEVEL_REGISTERS) {
        syncRegister(t, reg, out);
    }
}

} // namespace

std::string_view unitName(SoundUnit unit)
{
    return UNIT_NAMES[static_cast<std::size_t>(unit)];
}

bool parseUnitList(std::string_view list, UnitSet& units, std::string& badName)
{
    units = 0;
    while (true) {
        const std::size_t comma = list.find(',');
        std::string name(list.substr(0, comma));
        name.erase(0, name.find_first_not_of(" \t"));
        name.erase(name.find_last_not_of(" \t") + 1);
        std::transform(name.begin(), name.end(), name.begin(),
                       [](unsigned char c) { return std::tolower(c); });
        const auto* found = std::find(std::begin(UNIT_NAMES), std::end(UNIT_NAMES), name);
        if (found == std::end(UNIT_NAMES)) {
            badName = name;
            return false;
        }
        units |= static_cast<UnitSet>(1U << (found - std::begin(UNIT_NAMES)));
        if (comma == std::string_view::npos) {
            return true;
        }
        list.remove_prefix(comma + 1);
    }
}

void startTransform(WriteTransform& t, bool dropping, UnitSet muted)
{
    clearRegisterFile(t.log);
    clearRegisterFile(t.chip);
    t.muted = muted & ALL_UNITS;
    t.fade = 0;
    t.dropping = dropping;
}

void transformWrite(WriteTransform& t, std::uint16_t reg, std::uint8_t value, std::vector<RegisterWrite>& out)
{
    reg &= REGISTER_MAX;
    applyWrite(t.log, reg, value);
    if (isAlgorithm(reg)) {
        // Carriers that become modulators get their levels back after the
        // new algorithm, new carriers are silenced or faded before it.
        syncTotals(t, reg, true, out);
        sendWrite(t, reg, value, out);
        syncTotals(t, reg, false, out);
        return;
    }
    if (levelOf(reg) == Level::NONE) {
        sendWrite(t, reg, value, out);
        return;
    }
    if (mutedRegister(t, reg)) {
        syncRegister(t, reg, out);
    } else {
        sendWrite(t, reg, static_cast<std::uint8_t>(viewOf(t, reg)), out);
    }
    if (reg == RHYTHM_TOTAL_LEVEL) {
        for (std::uint16_t i = 0; i < RHYTHM_INSTRUMENT_COUNT; ++i) {
            syncRegister(t, static_cast<std::uint16_t>(RHYTHM_INSTRUMENT_FIRST + i), out);
        }
    }
}

void setMuted(WriteTransform& t, UnitSet muted, std::vector<RegisterWrite>& out)
{
    t.muted = muted & ALL_UNITS;
    syncLevels(t, out);
}

void raiseFade(WriteTransform& t, int steps, std::vector<RegisterWrite>& out)
{
    steps = std::min(steps, FADE_SILENT);
    if (steps <= t.fade) {
        return;
    }
    t.fade = steps;
    syncLevels(t, out);
}

void noteSent(WriteTransform& t, std::uint16_t reg, std::uint8_t value)
{
    applyWrite(t.chip, reg, value);
}

RegisterFile chipView(const WriteTransform& t)
{
    RegisterFile view = t.log;
    for (std::uint16_t reg : LEVEL_REGISTERS) {
        view.value[reg] = viewOf(t, reg);
    }
    return view;
}

void restoreChip(WriteTransform& t, std::vector<RegisterWrite>& out)
{
    restoreWrites(t.chip, chipView(t), out);
}

void seekTransform(WriteTransform& t, const RegisterFile& logTarget, std::vector<RegisterWrite>& out)
{
    t.log = logTarget;
    restoreChip(t, out);
}
