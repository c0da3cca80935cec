#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <string>

#include "FakeFileAccess.h"
#include "FakeProgressSink.h"
#include "FakeRunHost.h"
#include "TempDir.h"
#include "TestWav.h"
#include "engine/AudioEngine.h"
#include "files/WaveHeader.h"
#include "operations/Operations.h"

namespace tralux::test {

// The length of the files most of these tests make: blocks of 5000, 5000 and 2000 frames.
constexpr int32_t Frames = 12000;

// Alternating +level and -level with one full-scale sample: after normalising, its loudness
// is close to level.
inline Samples Alternating(int16_t level) {
    Samples samples(2 * Frames);
    for (size_t i = 0; i < samples.size(); ++i) {
        samples[i] = (i / 2) % 2 == 0 ? level : int16_t(-level);
    }
    samples[11] = 32767;
    return samples;
}

// FNV-1a over a file's bytes: enough to tell whether a run changed a file.
inline uint64_t Checksum(const std::string& path) {
    uint64_t hash = 14695981039346656037ull;
    for (uint8_t byte : ReadFile(path)) {
        hash = (hash ^ byte) * 1099511628211ull;
    }
    return hash;
}

// The runs without a window, over real files in a temporary folder, every file going through
// a FakeFileAccess so a chosen write can fail. The clock stands still.
class RunStage {
public:
    TempDir dir;
    FakeProgressSink sink;
    FakeFileAccess files;
    AudioEngine engine{sink, [] { return 0.0; }, files};
    Options options;
    FakeRunHost host;
    Operations ops{engine, host};

    // The request the window would make now of the options and of the host's controls.
    RunRequest Request() const { return host.Request(options); }
    UngroupedNumbers numbers;

    // Lists a file as intake does; the header must be accepted.
    FileData& List(const std::string& path) {
        const WaveHeaderInfo info = ReadWaveHeader(path);
        EXPECT_EQ(info.Result, WaveCheckResult::Valid) << path;
        return host.Add(std::make_unique<FileData>(path, info, numbers));
    }
    FileData& ListWav(const std::string& name, const Samples& samples,
                      const WavLayout& layout = {}) {
        return List(WriteWav(dir.File(name), samples, layout));
    }

    // The run is over: not running, and the host told so with the progress line hidden.
    void ExpectIdle() const {
        EXPECT_FALSE(engine.Running);
        EXPECT_FALSE(host.ProgressLineShown);
        ASSERT_FALSE(host.Log.empty());
        EXPECT_EQ(host.Log.back(), "HideProgressLine");
    }
};

class RunBench : public testing::Test, public RunStage {};

}  // namespace tralux::test
