#pragma once

#include <gtest/gtest.h>

#include <cmath>
#include <memory>
#include <string>
#include <vector>

#include "FakeProgressSink.h"
#include "FakeRunHost.h"
#include "TempDir.h"
#include "TestWav.h"
#include "engine/AudioEngine.h"
#include "files/WaveHeader.h"
#include "operations/Operations.h"

namespace tralux::test {

// 12000 frames: three blocks (5000, 5000, 2000), so a run can be stopped inside a file.
inline constexpr int32_t TestFrames = 12000;
// The true-peak ceiling of a run by LUFS unless told otherwise, in dBTP.
inline constexpr double Ceiling = -1.0;

// A signal of about the given loudness whose peak is full scale: alternating +m and -m with
// one +32767 and one -32767 sample. Its root mean square is
// sqrt((2 * 32767^2 + (2N - 2) * m^2) / 2N), solved here for m and rounded, so the loudness
// is met to within about 0.1 %; tests read the exact value from the file record.
inline Samples LevelSignal(double loudness, int32_t frames = TestFrames) {
    const double n = 2.0 * frames;
    const double full = 32767.0 * 32767.0;
    const auto m = static_cast<int16_t>(
        std::lround(std::sqrt((n * loudness * loudness - 2.0 * full) / (n - 2.0))));
    Samples samples(static_cast<size_t>(n));
    for (size_t i = 0; i < samples.size(); ++i) {
        samples[i] = (i / 2) % 2 == 0 ? m : static_cast<int16_t>(-m);
    }
    samples[101] = 32767;
    samples[2001] = -32767;
    return samples;
}

// Alternating +peak/-peak at a tenth of the peak with the peak itself once on each side.
inline Samples PeakSignal(int16_t peak, int32_t frames = TestFrames) {
    Samples samples(static_cast<size_t>(2 * frames));
    const auto low = static_cast<int16_t>(peak / 10);
    for (size_t i = 0; i < samples.size(); ++i) {
        samples[i] = i % 3 == 0 ? low : static_cast<int16_t>(-low + static_cast<int16_t>(i % 7));
    }
    samples[7] = peak;
    samples[9000] = static_cast<int16_t>(-peak);
    return samples;
}

// Root mean square of a file's samples, the measure the engine keeps in Loudness.
inline double MeasuredLoudness(const FileData& file, const std::string& path) {
    const Samples samples = ReadSamples(path, file.HeaderSize, file.FrameCount);
    double sum = 0.0;
    for (int16_t s : samples) {
        const double v = s == -32768 ? -32767.0 : s;
        sum += v * v;
    }
    return std::sqrt(sum / samples.size());
}

// A window-less setup of the runs over generated files in a temporary folder. The clock
// stands still, so no time estimate is ever shown and nothing depends on timing.
class RunFixture : public ::testing::Test {
protected:
    TempDir dir;
    FakeProgressSink sink;
    AudioEngine engine{sink, [] { return 0.0; }};
    Options options;
    FakeRunHost host;
    Operations ops{engine, host};

    // The request the window would make now of the options and of the host's controls.
    RunRequest Request() const { return host.Request(options); }
    UngroupedNumbers numbers;

    FileData& AddWav(const std::string& name, const Samples& samples, int32_t group = 0) {
        const std::string path = WriteWav(dir.File(name), samples);
        return AddPath(path, group);
    }

    FileData& AddPath(const std::string& path, int32_t group = 0) {
        const WaveHeaderInfo info = ReadWaveHeader(path);
        EXPECT_EQ(info.Result, WaveCheckResult::Valid) << path;
        FileData& file = host.Add(std::make_unique<FileData>(path, info, numbers));
        if (group > 0) {
            file.GroupNumber = group;
        }
        return file;
    }

    // A record with a made-up loudness and no file behind it, for runs that end before
    // any pass.
    FileData& AddRecord(const std::string& path, double loudness, int32_t group = 0,
                        double loudestRatio = 1.0, double quietestRatio = 1.0) {
        FileData& file = host.Add(std::make_unique<FileData>(path, 44, TestFrames, 0, numbers));
        file.Loudness = loudness;
        file.ResultFile = path + ".result";
        if (group > 0) {
            file.GroupNumber = group;
            file.LoudestRatio = loudestRatio;
            file.QuietestRatio = quietestRatio;
        }
        return file;
    }

    Samples ResultSamples(const FileData& file) const {
        return ReadSamples(file.ResultFile, file.HeaderSize, file.FrameCount);
    }

    // How many passes with this label ("Compressing:") ran over this file.
    int PassesOver(const std::string& label, const FileData& file) const {
        // A pass names the file it reads: the source for a scan or normalise, else the result.
        const std::string source = std::filesystem::path(file.SourceFile).filename().string();
        const std::string result = std::filesystem::path(file.ResultFile).filename().string();
        int n = 0;
        for (size_t i = 0; i < sink.Labels.size(); ++i) {
            const bool named = sink.FileNames[i] == source || sink.FileNames[i] == result;
            n += sink.Labels[i] == label && named ? 1 : 0;
        }
        return n;
    }

    int Passes(const std::string& label) const {
        int n = 0;
        for (const auto& l : sink.Labels) {
            n += l == label ? 1 : 0;
        }
        return n;
    }

    double TotalFrames() const {
        double frames = 0.0;
        for (const auto& file : host.List) {
            frames += file->FrameCount;
        }
        return frames;
    }

    // The work announced by each BeginProgress, taken when the progress line appears.
    std::vector<double> announced;
    void RecordAnnouncements() {
        host.OnEvent = [this](const std::string& line) {
            if (line == "ShowProgressLine") {
                announced.push_back(engine.Estimator.WorkRemaining);
            }
        };
    }
};

}  // namespace tralux::test
