#pragma once

#include <gtest/gtest.h>

#include "FakeFileAccess.h"
#include "FakeProgressSink.h"
#include "TempDir.h"
#include "TestWav.h"
#include "engine/AudioEngine.h"
#include "files/WaveHeader.h"

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
        FileData file(path, info, numbers);
        file.ResultFile = dir.File("out-" + name);
        return file;
    }

    // Makes path the file's result as if its normalising pass had created it, so that the
    // passes that rewrite a result accept it.
    static void TakeAsResult(FileData& file, const std::string& path) {
        file.ResultFile = path;
        const auto open = PosixFileAccess().OpenExisting(path);
        ASSERT_NE(open, nullptr) << path;
        file.ResultIdentity = open->Identity();
    }

    // What a pass multiplying by gain makes of each value.
    ValueTable GainTable(double gain) const {
        ValueTable table;
        TransformStep step{BlockTransform::Gain};
        step.Gain = gain;
        table.Apply(engine.Transforms, step);
        return table;
    }

    TempDir dir;
    FakeProgressSink sink;
    FakeFileAccess files;
    double now = 0.0;
    AudioEngine engine{sink, [this] { return now; }, files};
    UngroupedNumbers numbers;
};

}  // namespace tralux::test
