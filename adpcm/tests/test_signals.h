// Signals for measuring the encoders: plain sines, and a short piece of
// music of our own with chords, a bass line, sharp attacks and noise bursts,
// which strains ADPCM the way real recordings do.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <numbers>
#include <vector>

namespace adpcm::test {

inline constexpr int SIGNAL_RATE = 16016;

/// `seconds` of a sine of `hertz` at `scale` of full scale (32767).
inline std::vector<std::int16_t> sine(double hertz, double scale, double seconds)
{
    std::vector<std::int16_t> values(static_cast<std::size_t>(seconds * SIGNAL_RATE));
    for (std::size_t i = 0; i < values.size(); ++i) {
        const double phase = 2.0 * std::numbers::pi * hertz * static_cast<double>(i) / SIGNAL_RATE;
        values[i] = static_cast<std::int16_t>(std::lround(scale * 32767.0 * std::sin(phase)));
    }
    return values;
}

/// A loop of eighth notes over a four-chord bass: each note has five
/// harmonics and a plucked envelope, every beat starts with a burst of noise.
inline std::vector<std::int16_t> tune(double seconds)
{
    // Semitones above A3 (220 Hz): an arpeggio over each chord of the loop.
    constexpr int melody[] = {0,  4,  7, 12, 7, 4,  0,  4,  -3, 0,  4, 9, 4, 0,  -3, 0,
                              -7, -3, 0, 5,  0, -3, -7, -3, -5, -1, 2, 7, 2, -1, -5, -1};
    constexpr int bass[] = {-12, -15, -19, -17};
    constexpr double noteSeconds = 0.125;
    const auto noteLength = static_cast<std::size_t>(noteSeconds * SIGNAL_RATE);
    std::vector<std::int16_t> values(static_cast<std::size_t>(seconds * SIGNAL_RATE));
    std::uint32_t noise = 12345;
    for (std::size_t i = 0; i < values.size(); ++i) {
        const std::size_t note = i / noteLength;
        const double t = static_cast<double>(i % noteLength) / SIGNAL_RATE;
        const double time = static_cast<double>(i) / SIGNAL_RATE;
        const double lead = 220.0 * std::pow(2.0, melody[note % std::size(melody)] / 12.0);
        const double low = 220.0 * std::pow(2.0, bass[(note / 8) % std::size(bass)] / 12.0);
        const double envelope = (1.0 - std::exp(-t * 400.0)) * std::exp(-t * 12.0);
        double sum = 0.0;
        for (int harmonic = 1; harmonic <= 5; ++harmonic) {
            sum += std::sin(2.0 * std::numbers::pi * lead * harmonic * time) / harmonic;
        }
        sum *= 0.30 * envelope;
        sum += 0.20 * std::sin(2.0 * std::numbers::pi * low * time);
        noise = noise * 1664525U + 1013904223U;
        const double white = static_cast<double>(noise >> 8) / static_cast<double>(1U << 24) - 0.5;
        const double beat = static_cast<double>(i % (2 * noteLength)) / SIGNAL_RATE;
        sum += 0.25 * white * std::exp(-beat * 60.0);
        values[i] = static_cast<std::int16_t>(std::lround(std::clamp(sum, -1.0, 1.0) * 32767.0));
    }
    return values;
}

} // namespace adpcm::test
