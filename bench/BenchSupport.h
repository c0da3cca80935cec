#pragma once

// What both benchmark programs need: a sink that shows nothing, a stopwatch and the generated
// music-like files they time the passes on.

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
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
// the compression knee acts on part of the samples). bits 8 or 24 give the same signal on
// that grid, at 48 kHz.
inline void MakeMusicFile(const std::string& path, int32_t frames, double level, uint32_t seed,
                          int bits = 16, bool floats = false) {
    const uint32_t bytes = uint32_t(bits / 8);
    const uint32_t rate = bits == 16 ? 44100 : 48000;
    std::vector<uint8_t> header;
    auto text = [&header](const char* chars) {
        for (const char* c = chars; *c != '\0'; ++c) {
            header.push_back(uint8_t(*c));
        }
    };
    text("RIFF");
    Put32(header, 36 + uint32_t(frames) * 2 * bytes);
    text("WAVEfmt ");
    Put32(header, 16);
    Put32(header, (floats ? 3 : 1) | (2 << 16));
    Put32(header, rate);
    Put32(header, rate * 2 * bytes);
    Put32(header, 2 * bytes | uint32_t(bits) << 16);
    text("data");
    Put32(header, uint32_t(frames) * 2 * bytes);
    FILE* file = std::fopen(path.c_str(), "wb");
    if (!file) {
        std::perror(path.c_str());
        std::exit(1);
    }
    std::fwrite(header.data(), 1, header.size(), file);
    std::mt19937 random(seed);
    std::uniform_real_distribution<double> noise(-1.0, 1.0);
    std::vector<int16_t> block(20000);
    std::vector<uint8_t> wide;
    for (int32_t frame = 0; frame < frames;) {
        size_t n = 0;
        for (; n < block.size() && frame < frames; n += 2, ++frame) {
            const double t = frame / double(rate);
            const double swell = 0.55 + 0.45 * std::sin(2 * M_PI * 0.1 * t);
            const double v = level * (swell * (0.45 * std::sin(2 * M_PI * 220 * t) +
                                               0.35 * std::sin(2 * M_PI * 331 * t) +
                                               0.2 * std::sin(2 * M_PI * 1250 * t)) +
                                      0.15 * noise(random));
            block[n] = int16_t(std::lrint(std::max(-32767.0, std::min(32767.0, v))));
            block[n + 1] = int16_t(std::lrint(std::max(-32767.0, std::min(32767.0, v * 0.8))));
        }
        if (bits == 16) {
            std::fwrite(block.data(), 2, n, file);
            continue;
        }
        // The 16-bit signal on the wider or narrower grid, with some fine detail below it.
        wide.clear();
        for (size_t i = 0; i < n; ++i) {
            if (bits == 8) {
                wide.push_back(uint8_t(128 + block[i] / 256));
                continue;
            }
            if (bits == 32) {
                // Floats and 32-bit integers have fine detail in every sample: nearly every
                // one is a value of its own.
                uint32_t u;
                if (floats) {
                    const auto x = float((block[i] + noise(random) * 0.5) / 32768.0);
                    std::memcpy(&u, &x, 4);
                } else {
                    const int64_t v = int64_t{block[i]} * 65536 + int64_t(random() % 65536);
                    u = static_cast<uint32_t>(std::min<int64_t>(v, INT32_MAX));
                }
                wide.insert(wide.end(),
                            {uint8_t(u), uint8_t(u >> 8), uint8_t(u >> 16), uint8_t(u >> 24)});
                continue;
            }
            const int32_t v = int32_t{block[i]} * 256 + int32_t(random() % 256);
            const auto u = static_cast<uint32_t>(std::min(v, 8388607));
            wide.insert(wide.end(), {uint8_t(u), uint8_t(u >> 8), uint8_t(u >> 16)});
        }
        std::fwrite(wide.data(), 1, wide.size(), file);
    }
    std::fclose(file);
}

}  // namespace tralux::bench
