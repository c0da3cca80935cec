// What the sweeps show a BlockObserver: every sample of a scan as read and of a write as
// written, framed by one begin and one end that says whether the side went by whole.

#include <gtest/gtest.h>

#include "EngineFixture.h"
#include "engine/BlockObserver.h"

namespace tralux::test {
namespace {

class RecordingObserver : public BlockObserver {
public:
    struct Sweep {
        const FileData* File = nullptr;
        SweepSide Side = SweepSide::Source;
        int Channels = 0;
        int SampleRate = 0;
        Samples Seen;
        bool Ended = false;
        bool Whole = false;
    };
    std::vector<Sweep> Sweeps;

    void SweepBegun(const FileData& file, SweepSide side, const SweepFormat& format) override {
        Sweeps.push_back({&file, side, format.Channels, format.SampleRate, {}, false, false});
    }
    void Frames(const int16_t* interleaved, size_t frames) override {
        ASSERT_FALSE(Sweeps.empty());
        Sweeps.back().Seen.insert(Sweeps.back().Seen.end(), interleaved, interleaved + 2 * frames);
    }
    void Frames(const double*, size_t) override { ADD_FAILURE() << "16-bit sweeps lend ints"; }
    void SweepEnded(bool whole) override {
        ASSERT_FALSE(Sweeps.empty());
        Sweeps.back().Ended = true;
        Sweeps.back().Whole = whole;
    }
};

class BlockObserverTest : public EngineTest {
protected:
    RecordingObserver observer;

    // 12000 frames (three blocks) with -32768, which the scan folds in place, near the start.
    Samples Source() const {
        Samples samples = Sine(12000, 20000.0);
        samples[3] = -32768;
        return samples;
    }
};

TEST_F(BlockObserverTest, AScanShowsTheSourceAsReadAndAWriteTheResultAsWritten) {
    engine.Observer = &observer;
    const Samples source = Source();
    FileData file = Add("a.wav", source);
    engine.ScanFile(file);
    engine.NormaliseFile(file, 32767.0 / file.Peak);
    ASSERT_TRUE(engine.Running);
    ASSERT_EQ(observer.Sweeps.size(), 2u);

    const auto& scan = observer.Sweeps[0];
    EXPECT_EQ(scan.File, &file);
    EXPECT_EQ(scan.Side, SweepSide::Source);
    EXPECT_EQ(scan.Channels, 2);
    EXPECT_EQ(scan.SampleRate, 44100);
    EXPECT_EQ(scan.Seen, source);  // -32768 as read, not folded
    EXPECT_TRUE(scan.Ended && scan.Whole);

    // A copy: the measure below adds a sweep, which may move the others.
    const auto write = observer.Sweeps[1];
    EXPECT_EQ(write.Side, SweepSide::Result);
    EXPECT_EQ(write.Seen, ReadSamples(file.ResultFile, file.HeaderSize, file.FrameCount));
    EXPECT_NE(write.Seen, source);
    EXPECT_TRUE(write.Ended && write.Whole);

    // Measuring the result shows it again; a count of its values does not.
    engine.MeasureResult(file);
    SampleHistogram counts;
    engine.CountValues(file, file.ResultFile, counts);
    ASSERT_EQ(observer.Sweeps.size(), 3u);
    EXPECT_EQ(observer.Sweeps[2].Side, SweepSide::Result);
    EXPECT_EQ(observer.Sweeps[2].Seen, write.Seen);
    EXPECT_TRUE(observer.Sweeps[2].Whole);
}

TEST_F(BlockObserverTest, AWriteThatFailsOrAScanThatStopsEndsNotWhole) {
    engine.Observer = &observer;
    FileData file = Add("a.wav", Source());
    engine.ScanFile(file);
    files.FailWrite = 2;
    engine.NormaliseFile(file, 1.5);
    ASSERT_EQ(observer.Sweeps.size(), 2u);
    EXPECT_TRUE(observer.Sweeps[1].Ended);
    EXPECT_FALSE(observer.Sweeps[1].Whole);

    // Stopped after its first block.
    engine.Running = true;
    sink.Progress.clear();
    sink.AtBlock(1, [this] { engine.Running = false; });
    engine.ScanFile(file);
    ASSERT_EQ(observer.Sweeps.size(), 3u);
    EXPECT_TRUE(observer.Sweeps[2].Ended);
    EXPECT_FALSE(observer.Sweeps[2].Whole);
}

TEST_F(BlockObserverTest, ASourceThatCannotBeOpenedShowsNoSweep) {
    engine.Observer = &observer;
    FileData file = Add("a.wav", Source());
    std::filesystem::remove(file.SourceFile);
    EXPECT_THROW(engine.ScanFile(file), PassOpenError);
    EXPECT_TRUE(observer.Sweeps.empty());
}

TEST_F(BlockObserverTest, AMappedMeasureShowsItsObserverTheMappedSamplesAndWritesNothing) {
    RecordingObserver runObserver;
    engine.Observer = &runObserver;
    const Samples source = Source();
    FileData file = Add("a.wav", source);
    ValueTable table;
    TransformStep halve{BlockTransform::Gain};
    halve.Gain = 0.5;
    table.Apply(engine.Transforms, halve);
    const auto before = std::filesystem::last_write_time(file.SourceFile);
    EXPECT_TRUE(engine.MeasureMapped(file, file.SourceFile, table, observer));
    EXPECT_EQ(engine.Observer, &runObserver);  // the run's observer is back, and saw nothing
    EXPECT_TRUE(runObserver.Sweeps.empty());
    ASSERT_EQ(observer.Sweeps.size(), 1u);
    Samples mapped = source;
    table.MapSamples(mapped.data(), mapped.size());
    EXPECT_EQ(observer.Sweeps[0].Seen, mapped);
    EXPECT_TRUE(observer.Sweeps[0].Whole);
    EXPECT_EQ(std::filesystem::last_write_time(file.SourceFile), before);
    EXPECT_EQ(ReadSamples(file.SourceFile, file.HeaderSize, file.FrameCount), source);
    EXPECT_EQ(sink.Labels.back(), "Measuring:");
}

}  // namespace
}  // namespace tralux::test
