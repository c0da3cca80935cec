#pragma once

// Generated test signals for the loudness meter, as interleaved double frames (full scale 1).

#include <cmath>
#include <cstddef>
#include <random>
#include <vector>

namespace tralux::signals {

inline double FromDb(double db) {
    return std::pow(10.0, db / 20.0);
}

// A step of a tone sequence: its length and the peak level of each channel's sine (dBFS); a
// level below -200 dBFS is silence.
struct ToneStep {
    double Seconds;
    std::vector<double> PeakDbfs;
};

// Sines of one frequency on every channel, their phase running on across the steps.
inline std::vector<double> Tones(int rate, double frequency, const std::vector<ToneStep>& steps) {
    std::vector<double> frames;
    size_t n = 0;
    for (const ToneStep& step : steps) {
        const size_t count = static_cast<size_t>(std::llround(step.Seconds * rate));
        for (size_t i = 0; i < count; ++i, ++n) {
            const double s = std::sin(2.0 * M_PI * frequency * static_cast<double>(n) / rate);
            for (double db : step.PeakDbfs) {
                frames.push_back(db < -200.0 ? 0.0 : FromDb(db) * s);
            }
        }
    }
    return frames;
}

// The same level on `channels` channels.
inline std::vector<double> Levels(int channels, double db) {
    return std::vector<double>(static_cast<size_t>(channels), db);
}

// A stereo sine at a fraction of the sample rate with a starting phase (degrees), faded in and
// out over 10 ms with raised cosines so that its ends add no peaks of their own.
inline std::vector<double> FadedSine(int rate, double rateFraction, double amplitude,
                                     double phaseDegrees, double seconds) {
    const size_t count = static_cast<size_t>(seconds * rate);
    const size_t fade = static_cast<size_t>(rate / 100);
    std::vector<double> frames;
    for (size_t n = 0; n < count; ++n) {
        const size_t edge = std::min(n, count - 1 - n);
        const double envelope =
            edge < fade ? 0.5 - 0.5 * std::cos(M_PI * static_cast<double>(edge) / fade) : 1.0;
        const double v = amplitude * envelope *
                         std::sin(2.0 * M_PI * rateFraction * static_cast<double>(n) +
                                  phaseDegrees * M_PI / 180.0);
        frames.push_back(v);
        frames.push_back(v);
    }
    return frames;
}

// A stereo band-limited pulse (a Hann-windowed sinc reaching up to a fifth of the rate) whose
// continuous peak, 1.0, falls quarterOffset quarters of a sample after a sample, in 1 s of
// silence.
inline std::vector<double> InterSamplePulse(int rate, int quarterOffset) {
    const double centre = rate / 2 + quarterOffset / 4.0;
    const double cutoff = 0.2;  // of the rate
    const double halfWidth = 64.0;
    std::vector<double> frames;
    for (int n = 0; n < rate; ++n) {
        const double t = n - centre;
        double v = 0.0;
        if (std::fabs(t) < halfWidth) {
            const double x = 2.0 * M_PI * cutoff * t;
            v = (std::fabs(x) < 1e-12 ? 1.0 : std::sin(x) / x) *
                (0.5 + 0.5 * std::cos(M_PI * t / halfWidth));
        }
        frames.push_back(v);
        frames.push_back(v);
    }
    return frames;
}

// Music-like frames: a few tones, noise and a slow swell, each channel at its own level and
// with its own noise, so that loudness, peaks and range all vary.
inline std::vector<double> MusicLike(int rate, int channels, double seconds, unsigned seed) {
    std::mt19937 random(seed);
    std::uniform_real_distribution<double> noise(-1.0, 1.0);
    const size_t count = static_cast<size_t>(seconds * rate);
    std::vector<double> frames;
    frames.reserve(count * static_cast<size_t>(channels));
    for (size_t n = 0; n < count; ++n) {
        const double t = static_cast<double>(n) / rate;
        const double swell = 0.5 + 0.45 * std::sin(2.0 * M_PI * 0.07 * t);
        const double tones = 0.4 * std::sin(2.0 * M_PI * 110.0 * t) +
                             0.3 * std::sin(2.0 * M_PI * 440.0 * t) +
                             0.2 * std::sin(2.0 * M_PI * 3300.0 * t);
        for (int c = 0; c < channels; ++c) {
            frames.push_back(0.6 * swell * (tones + 0.3 * noise(random)) / (1.0 + 0.3 * c));
        }
    }
    return frames;
}

}  // namespace tralux::signals
