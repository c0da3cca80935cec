#include <cmath>

#include "EngineFixture.h"
#include "engine/BlockTransforms.h"
#include "engine/SampleTable.h"

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
    engine.NormaliseFile(file, 32767.0 / file.Peak);
    EXPECT_EQ(test::ReadSamples(file.ResultFile, 44, 100), test::Constant(100, 32767, -32767));
    EXPECT_EQ(file.Loudness, 32767.0);
    EXPECT_TRUE(file.Normalised);
    EXPECT_EQ(sink.Labels, (std::vector<std::string>{"Scanning:", "Normalising:"}));
}

TEST_F(Normalise, MostNegativeSampleIsWrittenOneHigher) {
    FileData file = Add("n.wav", test::Constant(10, -32768, 5));
    engine.ScanFile(file);
    ASSERT_EQ(file.Peak, 32767);
    engine.NormaliseFile(file, 32767.0 / file.Peak);
    EXPECT_EQ(test::ReadSamples(file.ResultFile, 44, 10), test::Constant(10, -32767, 5));
}

TEST_F(Normalise, RewriteThroughAGainTableReplacesTheResult) {
    FileData file = Add("n.wav", test::Constant(10, 5, 7));
    TakeAsResult(file, file.SourceFile);
    const FileIdentity before = file.ResultIdentity;
    // 2.5 -> 2, 3.5 -> 4; what is read measures as the file holds it.
    EXPECT_TRUE(engine.WriteMapped(file, file.SourceFile, file.SourceFile, GainTable(0.5),
                                   "Final Limiting", PassTotals{7, 10 * (25 + 49)}));
    EXPECT_EQ(test::ReadSamples(file.SourceFile, 44, 10), test::Constant(10, 2, 4));
    EXPECT_DOUBLE_EQ(engine.PassLoudness(file), std::sqrt((4.0 + 16.0) / 2.0));
    EXPECT_EQ(sink.Labels, (std::vector<std::string>{"Final Limiting:"}));
    EXPECT_NE(file.ResultIdentity, before) << "the new file is the one recorded";
}

TEST_F(Normalise, AWriteGivenTheCountsRecordsTheLoudnessOfWhatItWrote) {
    // Every value once, -32768 among them, over more than one block.
    Samples samples;
    for (int32_t v = -32768; v <= 32767; ++v) {
        samples.push_back(static_cast<int16_t>(v));
    }
    FileData file = Add("m.wav", samples);
    SampleHistogram counts;
    engine.ScanFile(file, &counts);
    ValueTable table;  // not a gain: looked up value by value
    for (size_t i = 0; i < table.Values.size(); ++i) {
        table.Values[i] = static_cast<int16_t>((int32_t(i) - 32768) / 3 + int32_t(i % 5));
    }
    ASSERT_TRUE(engine.WriteMapped(file, file.SourceFile, file.ResultFile, table, "Balancing",
                                   ScanTotalsOf(file), &counts));
    const Samples written = test::ReadSamples(file.ResultFile, 44, file.FrameCount);
    double sum = 0.0;
    for (size_t i = 0; i < samples.size(); ++i) {
        ASSERT_EQ(written[i], table[samples[i]]);
        sum += double(written[i]) * written[i];
    }
    EXPECT_DOUBLE_EQ(engine.PassLoudness(file), std::sqrt(sum / (2.0 * file.FrameCount)));
}

TEST_F(Normalise, CancelledPassIsNotNormalised) {
    FileData file = Add("n.wav", test::Constant(12000, 5, 7));
    sink.AtBlock(1, [this] { engine.Running = false; });
    engine.NormaliseFile(file, 1.0);
    EXPECT_FALSE(file.Normalised);
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
