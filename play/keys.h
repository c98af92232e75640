// The player's keys at a terminal, as one table: the key, what it does, and
// the line --help and the man page give it. The player asks keyCommand what
// a key typed means and acts on it between ticks of the music.
//
// Functions: keyCommand, nextSpeed, keyHelpText.
#pragma once

#include "music/write_transform.h"
#include "play/terminal.h"

#include <cstdint>
#include <string>

enum class KeyAction : std::uint8_t {
    NONE,         // a key of no meaning: ignored
    PAUSE,        // pause, or resume
    NEXT,         // the next file
    PREVIOUS,     // the file before (or this one again, after its first seconds)
    SEEK_BACK,    // SEEK_STEP_NS back
    SEEK_FORWARD, // SEEK_STEP_NS on
    FASTER,       // a step up the speed ladder
    SLOWER,       // a step down
    TOGGLE_MUTE,  // mute or unmute `unit`
    UNMUTE_ALL,
    QUIT,
};

struct KeyCommand {
    KeyAction action = KeyAction::NONE;
    SoundUnit unit = SoundUnit::FM1; // TOGGLE_MUTE: the unit
};

/// How far a seek key moves the play, in song time.
inline constexpr std::int64_t SEEK_STEP_NS = 10'000'000'000;

/// What `key` asks for.
KeyCommand keyCommand(const Key& key);

/// The speed one step up (`up`) or down from `speed` on the keys' ladder
/// (0.25 to 4 times); `speed` itself past the ladder's end.
double nextSpeed(double speed, bool up);

/// The keys' lines for --help, each "  KEYS  what it does\n", starting at `column`.
std::string keyHelpText(std::size_t column);
