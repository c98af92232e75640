// The player's write transforms: muting sound units and fading out. A
// WriteTransform holds the log's register file (every write of the log so
// far), the chip's (every write sent so far), the muted units and the fade's
// attenuation. Each log write goes through transformWrite, which records it
// in the log's file and gives the writes to send instead; a change of the
// muted units or of the fade gives the writes that bring the chip to the new
// view. What the chip should hold is always chipView: the log's file with the
// transforms applied to its levels.
//
// Mute: an FM channel's carriers (the operators its algorithm in 0xB0+ch
// sums into the output) go to total level 127; an SSG channel's level, the
// rhythm instruments' registers (level and outputs) and the ADPCM level go
// to 0. While a unit is muted, the log's writes to those registers go into
// the log's file only, and come out on unmute. A change of algorithm moves
// the mute to the new carriers and gives the old ones back their levels.
// Key-ons still reach the chip, so a note unmuted mid-way sounds on.
//
// Fade: an attenuation in the chip's 0.75 dB steps, from 0 to FADE_SILENT,
// that only rises. The carriers' total levels take it step for step; the SSG
// fixed levels (3 dB a step) a step for every 4; the rhythm total level
// takes it, and what its range cannot take goes on to the instruments'
// levels; the ADPCM level is scaled by it. An SSG channel on the envelope
// keeps the envelope until the fade reaches SSG_ENVELOPE_FADE, then goes to
// 0. The log's own writes keep their effect under it: a note that starts
// during the fade starts faded. At FADE_SILENT every level is at its silent
// value. A muted unit or the full fade silences a level even before the log
// has set it; a level the log has not set is otherwise left alone, and a
// unit unmuted before the log sets its level stays silent until it does.
//
// How the player uses it (play_plan.h has the fade's timing):
//   startTransform(t, dropping, muted);                at a song's start
//   transformWrite(t, reg, value, out); send out       each write of the schedule
//                                                      (started with dropping off:
//                                                      the transform drops instead)
//   setMuted(t, t.muted ^ unitBit(unit), out)          a mute key; 0: setMuted(t, 0, out)
//   raiseFade(t, step, out)                            each step of the fade
//   noteSent(t, reg, value)                            each write sent past the
//                                                      transform (the silencing writes)
//   restoreChip(t, out)                                resume, SIGCONT
//   seekTransform(t, logStateAt(...), out)             seek (register_file.h)
// Every function records what it gives in t.chip, so the writes given must
// all be sent, in order.
//
// Functions: unitBit, unitName, parseUnitList, startTransform, transformWrite,
// setMuted, raiseFade, noteSent, chipView, restoreChip, seekTransform.
#pragma once

#include "music/register_file.h"

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

/// The units that mute, in the order of the player's keys 1-9, r, a.
enum class SoundUnit : std::uint8_t { FM1, FM2, FM3, FM4, FM5, FM6, SSG1, SSG2, SSG3, RHYTHM, ADPCM };
inline constexpr int SOUND_UNIT_COUNT = 11;

/// A set of units: bit n for SoundUnit n.
using UnitSet = std::uint16_t;
inline constexpr UnitSet ALL_UNITS = (1U << SOUND_UNIT_COUNT) - 1;

constexpr UnitSet unitBit(SoundUnit unit)
{
    return static_cast<UnitSet>(1U << static_cast<unsigned>(unit));
}

/// "fm1" ... "fm6", "ssg1" ... "ssg3", "rhythm", "adpcm": the names of --mute and --solo.
std::string_view unitName(SoundUnit unit);

/// A comma-separated list of unit names (blanks around a name allowed, any
/// case) into `units`. False with the offending name in `badName` (empty for
/// an empty name) otherwise. --solo LIST mutes ALL_UNITS & ~units.
bool parseUnitList(std::string_view list, UnitSet& units, std::string& badName);

/// The attenuation, in 0.75 dB steps, at which every level is silent.
inline constexpr int FADE_SILENT = FM_TOTAL_LEVEL_MAX;
/// The attenuation from which an SSG channel on the envelope is silenced (24 dB).
inline constexpr int SSG_ENVELOPE_FADE = 8 * SSG_LEVEL_STEP_IN_TL_STEPS;

struct WriteTransform {
    RegisterFile log;  // every write of the log so far
    RegisterFile chip; // every write sent so far
    UnitSet muted = 0;
    int fade = 0;         // 0 .. FADE_SILENT
    bool dropping = true; // drop writes that change nothing, as the register filter does
};

/// A song's start: both files empty, no fade, `muted` muted.
void startTransform(WriteTransform& t, bool dropping, UnitSet muted);

/// One write of the log: recorded in t.log; appended to `out`, the writes to
/// send for it (none when it is muted or changes nothing; more than one when
/// a new algorithm moves the carriers or a new rhythm total level moves the
/// fade onto the instruments).
void transformWrite(WriteTransform& t, std::uint16_t reg, std::uint8_t value,
                    std::vector<RegisterWrite>& out);

/// Mutes exactly `muted`: appends the writes that silence what is newly
/// muted and give back the log's levels to what is no longer.
void setMuted(WriteTransform& t, UnitSet muted, std::vector<RegisterWrite>& out);

/// Raises the fade to `steps` (never lowers it): appends the writes for it.
void raiseFade(WriteTransform& t, int steps, std::vector<RegisterWrite>& out);

/// Records a write sent to the chip other than through these functions.
void noteSent(WriteTransform& t, std::uint16_t reg, std::uint8_t value);

/// What the chip should hold: t.log with the mute and the fade applied.
RegisterFile chipView(const WriteTransform& t);

/// The writes that take the chip from t.chip to chipView (chip_restore.h):
/// resume after a pause, and after SIGCONT.
void restoreChip(WriteTransform& t, std::vector<RegisterWrite>& out);

/// A seek: the log's file becomes `logTarget`, and the chip is taken to its view.
void seekTransform(WriteTransform& t, const RegisterFile& logTarget, std::vector<RegisterWrite>& out);
