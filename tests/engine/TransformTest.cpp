#include <cmath>

#include "EngineFixture.h"
#include "engine/BlockTransforms.h"

namespace tralux {
namespace {

using test::Samples;

class Scan : public test::EngineTest {};

TEST_F(Scan, SilenceHasNoPeakOrLoudness) {
    FileData file = Add("s.wav", test::Constant(7000, 0, 0));
    file.Normalised = true;
    engine.ScanFile(file);
    EXPECT_EQ(file.Peak, 0);
    EXPECT_EQ(file.ScanLoudness, 0.0);
    EXPECT_FALSE(file.Normalised);
    EXPECT_EQ(sink.Labels, (std::vector<std::string>{"Scanning:"}));
}

TEST_F(Scan, FullScaleSquareWave) {
    FileData file = Add("sq.wav", test::Constant(6000, 32767, -32767));
    engine.ScanFile(file);
    EXPECT_EQ(file.Peak, 32767);
    EXPECT_EQ(file.ScanLoudness, 32767.0);
}

TEST_F(Scan, MostNegativeSampleCountsAsFullScaleAndFileIsUnchanged) {
    FileData file = Add("neg.wav", test::Constant(6000, -32768, -32768));
    const auto before = test::ReadFile(file.SourceFile);
    engine.ScanFile(file);
    EXPECT_EQ(file.Peak, 32767);
    EXPECT_EQ(file.ScanLoudness, 32767.0);
    EXPECT_EQ(test::ReadFile(file.SourceFile), before);
}

TEST_F(Scan, OneChannelConstant) {
    FileData file = Add("one.wav", test::Constant(9999, 1000, 0));
    engine.ScanFile(file);
    EXPECT_EQ(file.Peak, 1000);
    EXPECT_DOUBLE_EQ(file.ScanLoudness, std::sqrt(1000.0 * 1000.0 / 2.0));
}

TEST_F(Scan, SineLoudnessIsAmplitudeOverRootTwo) {
    // 441 Hz repeats every 100 frames, so 44100 frames hold whole periods; rounding the
    // samples to integers moves the RMS by far less than 0.1.
    FileData file = Add("sine.wav", test::Sine(44100, 32767.0));
    engine.ScanFile(file);
    EXPECT_EQ(file.Peak, 32767);
    EXPECT_NEAR(file.ScanLoudness, 32767.0 / std::sqrt(2.0), 0.1);
}

TEST_F(Scan, CancelledScanDividesByWholeFrameCount) {
    FileData file = Add("c.wav", test::Constant(20000, 100, 100));
    sink.AtBlock(1, [this] { engine.Running = false; });
    engine.ScanFile(file);
    EXPECT_EQ(file.Peak, 100);
    EXPECT_DOUBLE_EQ(file.ScanLoudness, std::sqrt(10000.0 * 10000.0 / 40000.0));
}

class Normalise : public test::EngineTest {};

TEST_F(Normalise, PeakReachesFullScaleAndLoudnessIsMeasured) {
    FileData file = Add("n.wav", test::Constant(100, 16384, -16384));
    engine.ScanFile(file);
    engine.PassGain = 32767.0 / file.Peak;
    engine.NormaliseFile(file, false);
    EXPECT_EQ(test::ReadSamples(file.ResultFile, 44, 100), test::Constant(100, 32767, -32767));
    EXPECT_EQ(file.Loudness, 32767.0);
    EXPECT_TRUE(file.Normalised);
    EXPECT_EQ(sink.Labels, (std::vector<std::string>{"Scanning:", "Normalising:"}));
}

TEST_F(Normalise, MostNegativeSampleIsWrittenOneHigher) {
    FileData file = Add("n.wav", test::Constant(10, -32768, 5));
    engine.ScanFile(file);
    ASSERT_EQ(file.Peak, 32767);
    engine.PassGain = 32767.0 / file.Peak;
    engine.NormaliseFile(file, false);
    EXPECT_EQ(test::ReadSamples(file.ResultFile, 44, 10), test::Constant(10, -32767, 5));
}

TEST_F(Normalise, FinalLimitingRewritesTheResult) {
    FileData file = Add("n.wav", test::Constant(10, 5, 7));
    TakeAsResult(file, file.SourceFile);
    engine.PassGain = 0.5;  // 2.5 -> 2, 3.5 -> 4
    engine.NormaliseFile(file, true);
    EXPECT_EQ(test::ReadSamples(file.SourceFile, 44, 10), test::Constant(10, 2, 4));
    EXPECT_DOUBLE_EQ(file.Loudness, std::sqrt((4.0 + 16.0) / 2.0));
    EXPECT_EQ(sink.Labels, (std::vector<std::string>{"Final Limiting:"}));
    EXPECT_TRUE(file.Normalised);
}

TEST_F(Normalise, CancelledPassIsNotNormalised) {
    FileData file = Add("n.wav", test::Constant(12000, 5, 7));
    sink.AtBlock(1, [this] { engine.Running = false; });
    engine.PassGain = 1.0;
    engine.NormaliseFile(file, false);
    EXPECT_FALSE(file.Normalised);
}

class Adjust : public test::EngineTest {
protected:
    // A result file holding the samples, with a measured loudness the test chooses.
    FileData Result(const Samples& samples, double loudness) {
        FileData file = Add("r.wav", samples);
        TakeAsResult(file, file.SourceFile);
        file.Loudness = loudness;
        return file;
    }
};

TEST_F(Adjust, CompressesWithChosenRow) {
    const Samples samples = {32767, 16384, 8192, -8000, -32768, 0, 8193, -1};
    FileData file = Result(samples, 1000.0);
    engine.AdjustFile(file, 1500.0);  // x = 1.5 picks 1.495 / 2.1 / 12
    EXPECT_EQ(engine.CompressThreshold, 8192.0);
    EXPECT_EQ(engine.CompressRatio, 2.1);
    EXPECT_NEAR(engine.MakeUpGain, 1.647048, 1e-6);
    const Samples out = test::ReadSamples(file.SourceFile, 44, 4);
    const Samples expected = {32767, 19918, 13493, -13176, -32767, 0, 13493, -2};
    EXPECT_EQ(out, expected);
    EXPECT_EQ(engine.CompressCount, 1);
    EXPECT_EQ(engine.ReduceCount, 0);
    double sum = 0;
    for (int16_t s : expected) {
        sum += double(s) * s;
    }
    EXPECT_DOUBLE_EQ(file.Loudness, std::sqrt(sum / 8.0));
    EXPECT_EQ(sink.Labels, (std::vector<std::string>{"Compressing:"}));
}

TEST_F(Adjust, ExactlyOnTargetReducesByLastRow) {
    FileData file = Result({-32768, 32767, 100, -100}, 2000.0);
    engine.AdjustFile(file, 2000.0);
    EXPECT_DOUBLE_EQ(engine.ReduceGain, std::pow(2.0, -0.01 / 6.0));
    EXPECT_EQ(test::ReadSamples(file.SourceFile, 44, 2), (Samples{-32730, 32729, 100, -100}));
    EXPECT_EQ(engine.ReduceCount, 1);
    EXPECT_EQ(sink.Labels, (std::vector<std::string>{"Reducing:"}));
}

TEST_F(Adjust, HalvesRoundToEvenInBothDirections) {
    // Row 0.5 / -6 halves exactly: x = 0.6 picks the largest Factor below it, 0.595 / -4.5;
    // use x = 0.51 to get 0.5 / -6.
    FileData file = Result({5, 7, -5, -7, 1, -1, 3, -3}, 1000.0);
    engine.AdjustFile(file, 510.0);
    ASSERT_DOUBLE_EQ(engine.ReduceGain, 0.5);
    EXPECT_EQ(test::ReadSamples(file.SourceFile, 44, 4), (Samples{2, 4, -2, -4, 0, 0, 2, -2}));
}

TEST_F(Adjust, SilentResultIsLeftAlone) {
    FileData file = Result({0, 0}, 0.0);
    const auto before = test::ReadFile(file.SourceFile);
    engine.AdjustFile(file, 1000.0);
    EXPECT_EQ(engine.CompressCount + engine.ReduceCount, 0);
    EXPECT_TRUE(sink.Calls.empty());
    EXPECT_EQ(test::ReadFile(file.SourceFile), before);
}

TEST_F(Adjust, CancelledPassStillCounts) {
    FileData file = Result(test::Constant(12000, 100, 100), 100.0);
    sink.AtBlock(1, [this] { engine.Running = false; });
    engine.AdjustFile(file, 200.0);
    EXPECT_EQ(engine.CompressCount, 1);
    EXPECT_GT(file.Loudness, 0.0);
}

TEST_F(Adjust, EveryInstructionSetWritesTheSameFile) {
    // An odd frame count leaves a partial last block and a leftover shorter than a vector.
    const Samples samples = test::Noise(12347, 32768, 9);
    std::vector<uint8_t> first;
    double firstLoudness = 0.0;
    for (const TransformSet& set : RunnableTransformSets()) {
        SCOPED_TRACE(set.Name);
        engine.Transforms = set;
        FileData file = Result(samples, 1000.0);
        engine.AdjustFile(file, 1700.0);
        engine.AdjustFile(file, 1500.0);
        const auto bytes = test::ReadFile(file.SourceFile);
        if (first.empty()) {
            first = bytes;
            firstLoudness = file.Loudness;
        }
        EXPECT_EQ(bytes, first);
        EXPECT_EQ(file.Loudness, firstLoudness);
    }
}

TEST(BlockTransforms, ScanCountsMostNegativeAsFullScale) {
    Samples samples = {-32768, 3, -4};
    int16_t peak = 10;
    EXPECT_EQ(ScanSamples(samples.data(), samples.size(), peak), 32767LL * 32767 + 9 + 16);
    EXPECT_EQ(peak, 32767);
    EXPECT_EQ(samples[0], -32767);
}

TEST(BlockTransforms, GainKeepsWithinFullScale) {
    Samples samples = {-32768, 32767, 20000, -20000};
    const int64_t sum = GainSamples(samples.data(), samples.size(), 2.0);
    EXPECT_EQ(samples, (Samples{-32767, 32767, 32767, -32767}));
    EXPECT_EQ(sum, 4 * 32767LL * 32767);
}

}  // namespace
}  // namespace tralux
