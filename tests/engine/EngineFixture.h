#pragma once

#include <gtest/gtest.h>

#include "FakeFileAccess.h"
#include "FakeProgressSink.h"
#include "TempDir.h"
#include "TestWav.h"
#include "engine/AudioEngine.h"
#include "engine/WaveHeader.h"

namespace tralux::test {

// An engine over real files in a temporary folder, with a recording sink and file access and
// a clock that stands still unless a test moves it.
class EngineTest : public testing::Test {
protected:
    EngineTest() { engine.Running = true; }

    // Writes a WAV file and makes its record as intake would.
    FileData Add(const std::string& name, const Samples& samples, const WavLayout& layout = {}) {
        const std::string path = WriteWav(dir.File(name), samples, layout);
        const WaveHeaderInfo info = ReadWaveHeader(path);
        EXPECT_EQ(info.Result, WaveCheckResult::Valid);
        FileData file(path, info.HeaderSize, info.FrameCount, info.TailBytes, numbers);
        file.ResultFile = dir.File("out-" + name);
        return file;
    }

    TempDir dir;
    FakeProgressSink sink;
    FakeFileAccess files;
    double now = 0.0;
    AudioEngine engine{sink, [this] { return now; }, files};
    UngroupedNumbers numbers;
};

}  // namespace tralux::test
