#include "music/register_file.h"

#include <algorithm>

namespace {

constexpr std::uint16_t REG_ADPCM_CONTROL1 = BANK1_BASE + ADPCM_CONTROL1;

bool startsAdpcm(std::uint8_t control1)
{
    return (control1 & CONTROL1_START) != 0 && (control1 & (CONTROL1_RESET | CONTROL1_RECORD)) == 0;
}

// Applies writes[first, last) of the log to `file`.
void applyWrites(RegisterFile& file, const MusicLog& log, std::size_t first, std::size_t last)
{
    for (std::size_t i = first; i < last; ++i) {
        applyWrite(file, log.writes[i].reg, log.writes[i].value);
    }
}

// The snapshots of writes[first, size) from `file` on: one before every
// STATE_STRIDE-th write, and one after the last when it ends a stride.
// Leaves `file` as after the last write.
std::vector<RegisterFile> snapshots(RegisterFile& file, const MusicLog& log, std::size_t first)
{
    std::vector<RegisterFile> out;
    for (std::size_t i = first; i < log.writes.size(); ++i) {
        if ((i - first) % STATE_STRIDE == 0) {
            out.push_back(file);
        }
        applyWrite(file, log.writes[i].reg, log.writes[i].value);
    }
    if ((log.writes.size() - first) % STATE_STRIDE == 0) {
        out.push_back(file);
    }
    return out;
}

bool loopable(const MusicLog& log)
{
    return log.looped && log.endNs > log.loopNs && log.loopWrite < log.writes.size();
}

// The first write of writes[first, size) due at or after `dueNs`.
std::size_t firstDueFrom(const MusicLog& log, std::size_t first, std::int64_t dueNs)
{
    const auto begin = log.writes.begin() + static_cast<std::ptrdiff_t>(first);
    const auto at = std::lower_bound(begin, log.writes.end(), dueNs,
                                     [](const LogWrite& w, std::int64_t due) { return w.dueNs < due; });
    return static_cast<std::size_t>(at - log.writes.begin());
}

} // namespace

void clearRegisterFile(RegisterFile& file)
{
    file.value.fill(-1);
    file.keys = KeyState{};
    file.prescaler = 0;
}

int fmKeyChannel(std::uint8_t keyValue)
{
    const std::uint8_t field = keyValue & FM_KEY_CHANNEL_BITS;
    for (int c = 0; c < FM_CHANNEL_COUNT; ++c) {
        if (FM_KEY_CHANNELS[c] == field) {
            return c;
        }
    }
    return -1;
}

void applyWrite(RegisterFile& file, std::uint16_t reg, std::uint8_t value)
{
    reg &= REGISTER_MAX;
    file.value[reg] = value;
    switch (reg) {
    case FM_KEY:
        if (const int c = fmKeyChannel(value); c >= 0) {
            file.keys.fm[static_cast<std::size_t>(c)] = value & FM_KEY_OPERATOR_BITS;
        }
        break;
    case RHYTHM_KEY:
        if ((value & RHYTHM_DUMP) != 0) {
            file.keys.rhythm &= static_cast<std::uint8_t>(~value & RHYTHM_KEY_BITS);
        } else {
            file.keys.rhythm |= value & RHYTHM_KEY_BITS;
        }
        break;
    case PRESCALER_SIXTH:
    case PRESCALER_THIRD:
    case PRESCALER_HALF:
        file.prescaler = static_cast<std::uint8_t>(reg);
        break;
    case REG_ADPCM_CONTROL1:
        file.keys.adpcm = startsAdpcm(value);
        break;
    default:
        break;
    }
}

bool adpcmHeld(const RegisterFile& file)
{
    const std::int16_t control1 = file.value[REG_ADPCM_CONTROL1];
    return file.keys.adpcm && control1 >= 0 && (control1 & CONTROL1_REPEAT) != 0 &&
           (control1 & CONTROL1_MEMORY_DATA) != 0;
}

void indexLogStates(LogStates& states, const MusicLog& log)
{
    states.log = &log;
    RegisterFile file;
    clearRegisterFile(file);
    states.firstPass = snapshots(file, log, 0);
    states.loopPass.clear();
    if (loopable(log)) {
        states.loopPass = snapshots(file, log, log.loopWrite);
    }
}

int playPasses(const MusicLog& log, int loops)
{
    return loopable(log) ? std::max(loops, 1) : 1;
}

PlayPoint playPointAt(const MusicLog& log, int loops, std::int64_t playNs)
{
    const int passes = playPasses(log, loops);
    if (passes == 1 || playNs < log.endNs) {
        return PlayPoint{0, firstDueFrom(log, 0, playNs)};
    }
    const std::int64_t loopLength = log.endNs - log.loopNs;
    const std::int64_t later = 1 + (playNs - log.endNs) / loopLength;
    const int pass = static_cast<int>(std::min<std::int64_t>(later, passes - 1));
    return PlayPoint{pass, firstDueFrom(log, log.loopWrite, playNs - loopLength * pass)};
}

RegisterFile logStateAt(const LogStates& states, const PlayPoint& point)
{
    const MusicLog& log = *states.log;
    const bool later = point.pass > 0 && !states.loopPass.empty();
    const std::size_t base = later ? log.loopWrite : 0;
    const std::size_t index = std::clamp(point.index, base, log.writes.size());
    const std::vector<RegisterFile>& table = later ? states.loopPass : states.firstPass;
    const std::size_t k = std::min((index - base) / STATE_STRIDE, table.size() - 1);
    RegisterFile file = table[k];
    applyWrites(file, log, base + k * STATE_STRIDE, index);
    return file;
}

void seekSchedule(ScheduleCursor& cursor, const PlayPoint& point, const RegisterFile& chip)
{
    cursor.pass = point.pass;
    cursor.index = point.index;
    std::copy(chip.value.begin(), chip.value.end(), cursor.filter.known.begin());
}
