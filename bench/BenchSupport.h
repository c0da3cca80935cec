#pragma once

// What both benchmark programs need: a sink that shows nothing, a stopwatch and the generated
// music-like files they time the passes on.

#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "engine/ProgressSink.h"

namespace tralux::bench {

class QuietSink : public ProgressSink {
public:
    void PassStarted(const std::string&, const std::string&) override {}
    void PassProgress(int) override {}
    void PassEnded() override {}
    void ShowEstimate(const std::string&, const std::string&) override {}
    void PumpEvents() override {}
    void ReportError(const std::string& message) override {
        std::fprintf(stderr, "error: %s\n", message.c_str());
        std::exit(1);
    }
};

inline double Seconds(const std::function<void()>& work) {
    const auto start = std::chrono::steady_clock::now();
    work();
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

inline void Put32(std::vector<uint8_t>& out, uint32_t v) {
    for (int i = 0; i < 4; ++i) {
        out.push_back(static_cast<uint8_t>(v >> (8 * i)));
    }
}

// A 16-bit stereo 44.1 kHz file of frames frames: tones and noise with a slow swell, the right
// channel at 0.8 of the left. level scales the whole signal (20000 peaks near 24000, so that
// the compression knee acts on part of the samples).
inline void MakeMusicFile(const std::string& path, int32_t frames, double level, uint32_t seed) {
    std::vector<uint8_t> header;
    auto text = [&header](const char* chars) {
        for (const char* c = chars; *c != '\0'; ++c) {
            header.push_back(uint8_t(*c));
        }
    };
    text("RIFF");
    Put32(header, 36 + uint32_t(frames) * 4);
    text("WAVEfmt ");
    Put32(header, 16);
    Put32(header, 1 | (2 << 16));
    Put32(header, 44100);
    Put32(header, 44100 * 4);
    Put32(header, 4 | (16 << 16));
    text("data");
    Put32(header, uint32_t(frames) * 4);
    FILE* file = std::fopen(path.c_str(), "wb");
    if (!file) {
        std::perror(path.c_str());
        std::exit(1);
    }
    std::fwrite(header.data(), 1, header.size(), file);
    std::mt19937 random(seed);
    std::uniform_real_distribution<double> noise(-1.0, 1.0);
    std::vector<int16_t> block(20000);
    for (int32_t frame = 0; frame < frames;) {
        size_t n = 0;
        for (; n < block.size() && frame < frames; n += 2, ++frame) {
            const double t = frame / 44100.0;
            const double swell = 0.55 + 0.45 * std::sin(2 * M_PI * 0.1 * t);
            const double v = level * (swell * (0.45 * std::sin(2 * M_PI * 220 * t) +
                                               0.35 * std::sin(2 * M_PI * 331 * t) +
                                               0.2 * std::sin(2 * M_PI * 1250 * t)) +
                                      0.15 * noise(random));
            block[n] = int16_t(std::lrint(std::max(-32767.0, std::min(32767.0, v))));
            block[n + 1] = int16_t(std::lrint(std::max(-32767.0, std::min(32767.0, v * 0.8))));
        }
        std::fwrite(block.data(), 2, n, file);
    }
    std::fclose(file);
}

}  // namespace tralux::bench
