// Speed of the loudness meter in times real time per core: integrated loudness alone, with
// true peak, and with loudness range, against libebur128 on the same samples, against a read of
// the same bytes from the page cache and against a plain copy of them in memory.
//
// Usage: tralux_measure_bench [seconds of audio, default 120]

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include <fcntl.h>
#include <unistd.h>

#include "measure/LoudnessMeter.h"

#ifdef TRALUX_HAVE_EBUR128
#include <ebur128.h>
#endif

namespace {

constexpr int kRate = 44100;
constexpr int kChannels = 2;
constexpr size_t kChunkFrames = 16384;  // what one read of a file hands the meter

double ThreadSeconds() {
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) + 1e-9 * static_cast<double>(now.tv_nsec);
}

// The best of five runs, in seconds of this thread's processor time: the machine may be
// shared, and time spent waiting for a core is not the meter's.
double BestSeconds(const std::function<void()>& work) {
    double best = 1e30;
    for (int run = 0; run < 5; ++run) {
        const double start = ThreadSeconds();
        work();
        best = std::min(best, ThreadSeconds() - start);
    }
    return best;
}

// 16-bit stereo 44.1 kHz: tones and noise; with swell, a slow rise and fall of the level (as
// music has), else at one steady level, where every span of the true-peak scan must be
// interpolated.
std::vector<int16_t> MakeSignal(size_t frames, bool swell) {
    std::mt19937 random(7);
    std::uniform_real_distribution<double> noise(-1.0, 1.0);
    std::vector<int16_t> samples(frames * kChannels);
    for (size_t n = 0; n < frames; ++n) {
        const double t = static_cast<double>(n) / kRate;
        const double level = swell ? 0.55 + 0.45 * std::sin(2 * M_PI * 0.1 * t) : 0.6;
        const double v = 20000.0 * (level * (0.45 * std::sin(2 * M_PI * 220 * t) +
                                             0.35 * std::sin(2 * M_PI * 331 * t) +
                                             0.2 * std::sin(2 * M_PI * 1250 * t)) +
                                    0.15 * noise(random));
        samples[2 * n] = static_cast<int16_t>(std::lrint(std::clamp(v, -32767.0, 32767.0)));
        samples[2 * n + 1] =
            static_cast<int16_t>(std::lrint(std::clamp(0.8 * v, -32767.0, 32767.0)));
    }
    return samples;
}

double Ours(const std::vector<int16_t>& samples, bool truePeak, bool range) {
    double sink = 0.0;
    const double seconds = BestSeconds([&] {
        tralux::LoudnessMeter meter({kChannels, kRate, {}, truePeak});
        const size_t frames = samples.size() / kChannels;
        for (size_t at = 0; at < frames; at += kChunkFrames) {
            meter.AddFrames(samples.data() + at * kChannels, std::min(kChunkFrames, frames - at));
        }
        sink += meter.IntegratedLoudness().value_or(0.0);
        if (truePeak) {
            sink += meter.TruePeak().value_or(0.0);
        }
        if (range) {
            sink += meter.LoudnessRange().value_or(0.0);
        }
    });
    if (std::isnan(sink)) {
        std::puts("unexpected NaN");
    }
    return seconds;
}

#ifdef TRALUX_HAVE_EBUR128
double Reference(const std::vector<int16_t>& samples, int mode) {
    double sink = 0.0;
    const double seconds = BestSeconds([&] {
        ebur128_state* state = ebur128_init(kChannels, kRate, mode);
        const size_t frames = samples.size() / kChannels;
        for (size_t at = 0; at < frames; at += kChunkFrames) {
            ebur128_add_frames_short(state, samples.data() + at * kChannels,
                                     std::min(kChunkFrames, frames - at));
        }
        double value = 0.0;
        ebur128_loudness_global(state, &value);
        sink += value;
        if ((mode & EBUR128_MODE_TRUE_PEAK) == EBUR128_MODE_TRUE_PEAK) {
            ebur128_true_peak(state, 0, &value);
            sink += value;
        }
        if ((mode & EBUR128_MODE_LRA) == EBUR128_MODE_LRA) {
            ebur128_loudness_range(state, &value);
            sink += value;
        }
        ebur128_destroy(&state);
    });
    if (std::isnan(sink)) {
        std::puts("unexpected NaN");
    }
    return seconds;
}
#endif

// Reads the bytes back from a temporary file, which the writing left in the page cache.
double ReadSeconds(const std::vector<int16_t>& samples) {
    const char* folder = std::getenv("TMPDIR");
    std::string path = std::string(folder != nullptr ? folder : "/tmp") + "/measure_benchXXXXXX";
    const int fd = mkstemp(path.data());
    const size_t bytes = samples.size() * sizeof(int16_t);
    if (fd < 0 || write(fd, samples.data(), bytes) != static_cast<ssize_t>(bytes)) {
        std::perror("temporary file");
        std::exit(1);
    }
    std::vector<char> buffer(kChunkFrames * 4);
    const double seconds = BestSeconds([&] {
        lseek(fd, 0, SEEK_SET);
        while (read(fd, buffer.data(), buffer.size()) > 0) {
        }
    });
    close(fd);
    unlink(path.c_str());
    return seconds;
}

void Report(const char* what, double audioSeconds, double seconds, double readSeconds) {
    std::printf("  %-36s %9.0fx real time  %6.2fx the read\n", what, audioSeconds / seconds,
                seconds / readSeconds);
}

double CopySeconds(const std::vector<int16_t>& samples) {
    std::vector<int16_t> copy(samples.size());
    const size_t bytes = samples.size() * sizeof(int16_t);
    return BestSeconds([&] {
        for (size_t at = 0; at < bytes; at += kChunkFrames * 4) {
            std::memcpy(reinterpret_cast<char*>(copy.data()) + at,
                        reinterpret_cast<const char*>(samples.data()) + at,
                        std::min(kChunkFrames * 4, bytes - at));
        }
    });
}

void Run(const char* title, const std::vector<int16_t>& samples, double audioSeconds) {
    const double read = ReadSeconds(samples);
    std::printf("%s (%s true-peak kernel)\n", title, tralux::WidestPeakKernel().Name);
    Report("read from the page cache", audioSeconds, read, read);
    Report("copy in memory", audioSeconds, CopySeconds(samples), read);
    Report("tralux integrated", audioSeconds, Ours(samples, false, false), read);
    Report("tralux integrated + true peak", audioSeconds, Ours(samples, true, false), read);
    Report("tralux integrated + true peak + LRA", audioSeconds, Ours(samples, true, true), read);
#ifdef TRALUX_HAVE_EBUR128
    Report("libebur128 integrated", audioSeconds, Reference(samples, EBUR128_MODE_I), read);
    Report("libebur128 integrated + true peak", audioSeconds,
           Reference(samples, EBUR128_MODE_I | EBUR128_MODE_TRUE_PEAK), read);
    Report("libebur128 integrated + LRA", audioSeconds,
           Reference(samples, EBUR128_MODE_I | EBUR128_MODE_LRA), read);
#endif
}

// Each true-peak kernel alone on the left channel, with no peak so far to skip spans against.
void RunKernels(const std::vector<int16_t>& samples, double audioSeconds) {
    const tralux::PeakInterpolator interpolator = tralux::DesignPeakInterpolator(kRate);
    const size_t history = static_cast<size_t>(interpolator.TapsPerPhase - 1);
    std::vector<float> left(history + samples.size() / kChannels, 0.0f);
    for (size_t n = 0; n < samples.size() / kChannels; ++n) {
        left[history + n] = static_cast<float>(samples[n * kChannels] / 32768.0);
    }
    std::printf("true-peak kernels alone, one channel, every span interpolated\n");
    for (const tralux::PeakKernel& kernel : tralux::RunnablePeakKernels()) {
        float peak = 0.0f;
        const double seconds = BestSeconds([&] {
            peak = std::max(peak, kernel.Scan(left.data() + history, left.size() - history,
                                              interpolator, 0.0f, nullptr));
        });
        std::printf("  %-36s %9.0fx real time (peak %.4f)\n", kernel.Name, audioSeconds / seconds,
                    peak);
    }
}

}  // namespace

int main(int argc, char** argv) {
    const double audioSeconds = argc > 1 ? std::atof(argv[1]) : 120.0;
    if (!(audioSeconds >= 1.0 && audioSeconds <= 36000.0)) {
        std::fprintf(stderr, "usage: %s [seconds of audio, 1 to 36000]\n", argv[0]);
        return 2;
    }
    const auto frames = static_cast<size_t>(audioSeconds * kRate);
    std::printf("%.0f s of 16-bit stereo 44.1 kHz, processor time of one core, best of 5\n",
                audioSeconds);
    Run("music-like (slow swell)", MakeSignal(frames, true), audioSeconds);
    const std::vector<int16_t> steady = MakeSignal(frames, false);
    Run("steady level (worst case for the true-peak skip)", steady, audioSeconds);
    RunKernels(steady, audioSeconds);
    return 0;
}
