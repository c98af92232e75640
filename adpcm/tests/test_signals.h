// Signals for measuring the encoders: plain sines, and a short piece of
// music of our own with chords, a bass line, sharp attacks and noise bursts,
// which strains ADPCM the way real recordings do; and the hard cases of a
// search: square edges, white and pink noise, and clicks out of silence.
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

/// `seconds` of a square wave of `hertz` swinging between +-`scale` of full scale.
inline std::vector<std::int16_t> square(double hertz, double scale, double seconds)
{
    std::vector<std::int16_t> values(static_cast<std::size_t>(seconds * SIGNAL_RATE));
    const auto level = static_cast<std::int16_t>(std::lround(scale * 32767.0));
    for (std::size_t i = 0; i < values.size(); ++i) {
        const double cycles = hertz * static_cast<double>(i) / SIGNAL_RATE;
        values[i] = cycles - std::floor(cycles) < 0.5 ? level : static_cast<std::int16_t>(-level);
    }
    return values;
}

/// A repeatable generator of noise, the same on every platform: uniform
/// values in [-0.5, 0.5), and roughly Gaussian ones of deviation 1 from four.
struct Noise {
    std::uint32_t seed;
    double uniform()
    {
        seed = seed * 1664525U + 1013904223U;
        return static_cast<double>(seed >> 8) / static_cast<double>(1U << 24) - 0.5;
    }
    double gaussian() { return (uniform() + uniform() + uniform() + uniform()) * std::sqrt(3.0); }
};

/// Scales `shape` to an RMS of `scale` of full scale, clipping what exceeds it.
inline std::vector<std::int16_t> toValues(const std::vector<double>& shape, double scale)
{
    double energy = 0.0;
    for (const double v : shape) {
        energy += v * v;
    }
    const double rms = std::sqrt(energy / static_cast<double>(shape.empty() ? 1 : shape.size()));
    std::vector<std::int16_t> values(shape.size());
    for (std::size_t i = 0; i < shape.size(); ++i) {
        const double v = rms > 0.0 ? shape[i] / rms * scale * 32767.0 : 0.0;
        values[i] = static_cast<std::int16_t>(std::lround(std::clamp(v, -32768.0, 32767.0)));
    }
    return values;
}

/// White noise with an RMS of `scale` of full scale.
inline std::vector<std::int16_t> whiteNoise(double scale, double seconds)
{
    Noise noise{2024};
    std::vector<double> shape(static_cast<std::size_t>(seconds * SIGNAL_RATE));
    for (double& v : shape) {
        v = noise.gaussian();
    }
    return toValues(shape, scale);
}

/// Pink noise (equal energy per octave) with an RMS of `scale` of full
/// scale: the sum of eight random values, the k-th drawn anew every 2^k
/// samples, so each octave down holds one more slowly changing term.
inline std::vector<std::int16_t> pinkNoise(double scale, double seconds)
{
    Noise noise{77};
    constexpr int ROWS = 8;
    double rows[ROWS] = {};
    double sum = 0.0;
    std::vector<double> shape(static_cast<std::size_t>(seconds * SIGNAL_RATE));
    for (std::size_t i = 0; i < shape.size(); ++i) {
        for (int k = 0; k < ROWS; ++k) {
            if (i % (std::size_t{1} << k) == 0) {
                sum -= rows[k];
                rows[k] = noise.gaussian();
                sum += rows[k];
            }
        }
        shape[i] = sum + noise.gaussian();
    }
    return toValues(shape, scale);
}

/// Clicks out of silence, like a camera's shutter: every 60 ms a burst of
/// noise at `scale` of full scale that dies away within a few milliseconds.
inline std::vector<std::int16_t> clicks(double scale, double seconds)
{
    Noise noise{5};
    const auto period = static_cast<std::size_t>(0.060 * SIGNAL_RATE);
    const auto quiet = static_cast<std::size_t>(0.015 * SIGNAL_RATE);
    std::vector<std::int16_t> values(static_cast<std::size_t>(seconds * SIGNAL_RATE));
    for (std::size_t i = 0; i < values.size(); ++i) {
        const std::size_t phase = i % period;
        if (phase < quiet) {
            continue;
        }
        const double t = static_cast<double>(phase - quiet) / SIGNAL_RATE;
        const double v = scale * 32767.0 * 2.0 * noise.uniform() * std::exp(-t * 400.0);
        values[i] = static_cast<std::int16_t>(std::lround(std::clamp(v, -32768.0, 32767.0)));
    }
    return values;
}

/// A sung vowel swelling from silence to loud: the harmonics of a voice
/// gliding from 110 to 150 Hz, shaped by formants at 700 and 1200 Hz, full
/// level after 60% of the length. Many harmonics make it nearly as hard to
/// follow as noise, and at full level the step moves in small factors.
inline std::vector<std::int16_t> vowel(double seconds)
{
    std::vector<std::int16_t> values(static_cast<std::size_t>(seconds * SIGNAL_RATE));
    double phase = 0.0;
    for (std::size_t i = 0; i < values.size(); ++i) {
        const double t = static_cast<double>(i) / SIGNAL_RATE;
        const double pitch = 110.0 + 40.0 * t / seconds;
        phase += 2.0 * std::numbers::pi * pitch / SIGNAL_RATE;
        double v = 0.0;
        for (int h = 1; h * pitch < 7000.0; ++h) {
            const double f = h * pitch;
            const double gain = std::exp(-std::pow((f - 700.0) / 150.0, 2.0)) +
                                0.6 * std::exp(-std::pow((f - 1200.0) / 200.0, 2.0)) + 0.1 / h;
            v += gain * std::sin(h * phase);
        }
        v *= std::min(1.0, t / (0.6 * seconds)) * 6000.0;
        values[i] = static_cast<std::int16_t>(std::lround(std::clamp(v, -32768.0, 32767.0)));
    }
    return values;
}

} // namespace adpcm::test
