// What the sweeps show a BlockObserver: every sample of a scan as read and of a write as
// written, framed by one begin and one end that says whether the side went by whole.

#include <gtest/gtest.h>

#include "EngineFixture.h"
#include "engine/BlockObserver.h"
#include "engine/GridValues.h"

#include <map>

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
    EXPECT_TRUE(engine.MeasureChain(file, file.SourceFile, {halve}, observer));
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

// Records the samples of sweeps of other grids, shown on the -1..1 scale.
class ScaleObserver : public BlockObserver {
public:
    std::vector<std::vector<double>> Sweeps;
    void SweepBegun(const FileData&, SweepSide, const SweepFormat&) override {
        Sweeps.emplace_back();
    }
    void Frames(const int16_t*, size_t) override { ADD_FAILURE() << "a 24-bit sweep"; }
    void Frames(const double* interleaved, size_t frames) override {
        Sweeps.back().insert(Sweeps.back().end(), interleaved, interleaved + 2 * frames);
    }
    void SweepEnded(bool) override {}
};

// A chain measured on a 24-bit file is what the write through it writes, sample for sample,
// and what the counts' tables of the runs by RMS make of each key; a chain that extends the
// one measured before gives what the whole chain gives from scratch.
TEST_F(BlockObserverTest, AChainMeasuredOnAnotherGridIsWhatItsWriteWrites) {
    AnyWavLayout layout;
    layout.bitsPerSample = 24;
    const std::string path = dir.File("wide.wav");
    WriteFile(path, MakeAnyWav(FrameBytes(layout, 12000), layout));
    const WaveHeaderInfo info = ReadWaveHeader(path);
    ASSERT_EQ(info.Result, WaveCheckResult::Valid);
    FileData file(path, info, numbers);
    file.ResultFile = dir.File("out-wide.wav");
    GridCounts counts;
    engine.ScanFile(file, nullptr, &counts);
    ASSERT_TRUE(engine.Running);

    TransformStep gain{BlockTransform::Gain};
    gain.Gain = 1.9;
    TransformStep compress{BlockTransform::Compress};
    compress.Threshold = 3000.0;
    compress.Ratio = 3.0;
    compress.MakeUpGain = 2.1;
    ScaleObserver measured;
    ASSERT_TRUE(engine.MeasureChain(file, path, {gain}, measured));
    ASSERT_TRUE(engine.MeasureChain(file, path, {gain, compress}, measured));
    AudioEngine fresh{sink, [] { return 0.0; }};
    fresh.Running = true;
    ASSERT_TRUE(fresh.MeasureChain(file, path, {gain, compress}, measured));

    ScaleObserver written;
    engine.Observer = &written;
    ASSERT_TRUE(engine.WriteChain(file, path, file.ResultFile, {gain, compress}, "Balancing",
                                  ScanTotalsOf(file)));
    ASSERT_EQ(measured.Sweeps.size(), 3u);
    ASSERT_EQ(written.Sweeps.size(), 1u);
    EXPECT_NE(measured.Sweeps[0], measured.Sweeps[1]);
    EXPECT_EQ(measured.Sweeps[1], measured.Sweeps[2]);
    EXPECT_EQ(measured.Sweeps[1], written.Sweeps[0]);

    // Each written key is what the counts' table of the two steps says.
    const SampleGrid grid(file.Format.Sample);
    GridTable table = IdentityTable(counts);
    ApplyStep(grid, gain, table);
    ApplyStep(grid, compress, table);
    std::map<int64_t, int64_t> becomes;
    for (size_t i = 0; i < counts.Keys.size(); ++i) {
        becomes[counts.Keys[i]] = table.Mapped[i];
    }
    const std::vector<uint8_t> source = ReadFile(path);
    const std::vector<uint8_t> result = ReadFile(file.ResultFile);
    ASSERT_EQ(source.size(), result.size());
    for (int64_t i = 0; i < file.SampleCount(); ++i) {
        const size_t at = size_t(file.HeaderSize + 3 * i);
        ASSERT_EQ(grid.Read(result.data() + at), becomes.at(grid.Read(source.data() + at))) << i;
    }
}

}  // namespace
}  // namespace tralux::test
