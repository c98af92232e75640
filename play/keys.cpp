#include "play/keys.h"

#include <iterator>

namespace {

struct KeyRow {
    const char* label; // as --help names the key or keys
    const char* help;
};

/// The keys as --help lists them; keyCommand below maps each to its action.
const KeyRow KEY_ROWS[] = {
    {"space", "pause, and resume"},
    {"n, p", "next file, previous file (p after the first 3 s: this file again)"},
    {"left, right", "seek 10 s back, 10 s on"},
    {"+, -", "faster, slower, in steps"},
    {"1-6", "mute or unmute FM channels 1-6"},
    {"7-9", "mute or unmute SSG channels A-C"},
    {"r, a", "mute or unmute the rhythm, the ADPCM unit"},
    {"0", "unmute all"},
    {"q", "silence the chip and end the play (status 0)"},
};

/// The speeds the + and - keys step through.
constexpr double SPEED_STEPS[] = {0.25, 0.5, 0.75, 0.9, 1.0, 1.1, 1.25, 1.5, 2.0, 3.0, 4.0};

KeyCommand characterCommand(char c)
{
    if (c >= '1' && c <= '9') {
        return {KeyAction::TOGGLE_MUTE, static_cast<SoundUnit>(c - '1')};
    }
    switch (c) {
    case ' ':
        return {KeyAction::PAUSE};
    case 'n':
        return {KeyAction::NEXT};
    case 'p':
        return {KeyAction::PREVIOUS};
    case '+':
    case '=': // the same key without shift on most keyboards
        return {KeyAction::FASTER};
    case '-':
    case '_':
        return {KeyAction::SLOWER};
    case 'r':
        return {KeyAction::TOGGLE_MUTE, SoundUnit::RHYTHM};
    case 'a':
        return {KeyAction::TOGGLE_MUTE, SoundUnit::ADPCM};
    case '0':
        return {KeyAction::UNMUTE_ALL};
    case 'q':
        return {KeyAction::QUIT};
    default:
        return {};
    }
}

} // namespace

KeyCommand keyCommand(const Key& key)
{
    switch (key.kind) {
    case KeyKind::CHARACTER:
        return characterCommand(key.character);
    case KeyKind::LEFT:
        return {KeyAction::SEEK_BACK};
    case KeyKind::RIGHT:
        return {KeyAction::SEEK_FORWARD};
    default:
        return {};
    }
}

std::string keyHelpText(std::size_t column)
{
    std::string out;
    for (const KeyRow& row : KEY_ROWS) {
        std::string line = std::string("  ") + row.label;
        line.append(line.size() + 1 < column ? column - line.size() : 1, ' ');
        out += line + row.help + "\n";
    }
    return out;
}

double nextSpeed(double speed, bool up)
{
    if (up) {
        for (const double step : SPEED_STEPS) {
            if (step > speed * (1 + 1e-9)) {
                return step;
            }
        }
        return speed;
    }
    for (auto step = std::rbegin(SPEED_STEPS); step != std::rend(SPEED_STEPS); ++step) {
        if (*step < speed * (1 - 1e-9)) {
            return *step;
        }
    }
    return speed;
}
