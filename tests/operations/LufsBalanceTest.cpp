// Balancing by integrated loudness under a true-peak ceiling: every result within 0.1 LU of
// its target by libebur128 (an independent meter) and under the ceiling, a track group moved
// as one, files that need only a gain never read to plan them, the maximum-compression guard
// and Cancel as in the runs by RMS, which stay as they were.

#include <ebur128.h>

#include <gtest/gtest.h>

#include <cmath>
#include <random>

#include "RunFixture.h"

namespace tralux::test {
namespace {

constexpr int32_t Seconds10 = 10 * 44100;

// Tones and noise whose level swells.
Samples Music(double level, uint32_t seed) {
    std::mt19937 random(seed);
    std::uniform_real_distribution<double> noise(-1.0, 1.0);
    Samples samples(static_cast<size_t>(2 * Seconds10));
    for (int32_t n = 0; n < Seconds10; ++n) {
        const double t = n / 44100.0;
        const double swell = 0.4 + 0.6 * std::fabs(std::sin(2 * M_PI * 0.2 * t));
        const double v = level * swell *
                         (0.6 * std::sin(2 * M_PI * 330 * t) + 0.3 * std::sin(2 * M_PI * 1870 * t) +
                          0.1 * noise(random));
        samples[2 * n] = static_cast<int16_t>(std::lrint(std::clamp(v, -32767.0, 32767.0)));
        samples[2 * n + 1] =
            static_cast<int16_t>(std::lrint(std::clamp(0.7 * v, -32767.0, 32767.0)));
    }
    return samples;
}

// Quiet notes with a few sharp hits near full scale: its true peak lies far above its
// loudness, so gain alone cannot bring it to a target that other files reach.
Samples QuietDynamic(uint32_t seed) {
    std::mt19937 random(seed);
    std::normal_distribution<double> noise(0.0, 60.0);
    Samples samples(static_cast<size_t>(2 * Seconds10));
    for (int32_t n = 0; n < Seconds10; ++n) {
        const double t = n / 44100.0;
        const double swell = 0.5 + 0.5 * std::sin(2.0 * M_PI * 0.3 * t);
        double value = 2500.0 * swell * std::sin(2.0 * M_PI * 330.0 * t) + noise(random);
        if (n % 88200 < 30) {
            value += 26000.0 * std::sin(2.0 * M_PI * 3000.0 * t);
        }
        samples[2 * n] = static_cast<int16_t>(std::lround(value));
        samples[2 * n + 1] = static_cast<int16_t>(std::lround(0.8 * value));
    }
    return samples;
}

struct Independent {
    double Lufs = 0.0;
    double TruePeakDb = 0.0;
};

ebur128_state* StateOf(const Samples& samples) {
    ebur128_state* state = ebur128_init(2, 44100, EBUR128_MODE_I | EBUR128_MODE_TRUE_PEAK);
    ebur128_add_frames_short(state, samples.data(), samples.size() / 2);
    return state;
}

Independent Libebur128(const Samples& samples) {
    ebur128_state* state = StateOf(samples);
    Independent reading;
    ebur128_loudness_global(state, &reading.Lufs);
    double peak = 0.0;
    for (unsigned channel = 0; channel < 2; ++channel) {
        double channelPeak = 0.0;
        ebur128_true_peak(state, channel, &channelPeak);
        peak = std::max(peak, channelPeak);
    }
    reading.TruePeakDb = 20.0 * std::log10(peak);
    ebur128_destroy(&state);
    return reading;
}

double GroupLibebur128(const Samples& a, const Samples& b) {
    ebur128_state* states[2] = {StateOf(a), StateOf(b)};
    double lufs = 0.0;
    ebur128_loudness_global_multiple(states, 2, &lufs);
    ebur128_destroy(&states[0]);
    ebur128_destroy(&states[1]);
    return lufs;
}

class LufsBalanceTest : public RunFixture {
protected:
    LufsBalanceTest() { options.truepeaklimit = Ceiling; }

    // A loud file, a quiet dynamic one, and a grouped pair.
    void AddMixedSet() {
        AddWav("loud.wav", Music(20000.0, 1));
        AddWav("quiet.wav", QuietDynamic(7));
        AddWav("side1.wav", Music(9000.0, 2), 1);
        AddWav("side2.wav", Music(4500.0, 3), 1);
    }

    RunRequest ByLufs(std::optional<double> target) const {
        RunRequest request = Request();
        request.measure = BalanceMeasure::Lufs;
        request.lufsTarget = target;
        return request;
    }

    Independent ResultOf(size_t index) const {
        return Libebur128(ResultSamples(*host.List[index]));
    }
    Independent SourceOf(size_t index) const {
        const FileData& file = *host.List[index];
        return Libebur128(ReadSamples(file.SourceFile, file.HeaderSize, file.FrameCount));
    }

    void ExpectUnderTheCeiling(size_t index) const {
        SCOPED_TRACE(host.List[index]->SourceFile);
        // The reference interpolates differently: a true-peak meter may read +0.2 dB over.
        EXPECT_LE(ResultOf(index).TruePeakDb, Ceiling + 0.2);
        const BroadcastLoudness& own = host.List[index]->ResultBroadcast;
        ASSERT_TRUE(own.Measured && own.TruePeakDbtp);
        EXPECT_LE(*own.TruePeakDbtp, Ceiling);
    }
};

TEST_F(LufsBalanceTest, PrepareAndBalanceLandsEveryResultOnTargetUnderTheCeilingTheGroupKept) {
    AddMixedSet();
    ops.PrepareAndBalance(ByLufs(-20.0));
    ASSERT_TRUE(host.Errors.empty()) << host.Errors.front();
    EXPECT_EQ(ops.FilesShortOfTarget, 0);
    EXPECT_EQ(host.WarningQuestions.size(), 1u);  // heavy processing of the quiet file
    for (size_t i = 0; i < host.List.size(); ++i) {
        ASSERT_TRUE(host.List[i]->Normalised) << i;
        ExpectUnderTheCeiling(i);
    }
    EXPECT_NEAR(ResultOf(0).Lufs, -20.0, 0.1);
    EXPECT_NEAR(ResultOf(1).Lufs, -20.0, 0.1);
    // The group as one programme is on target; its members keep their distance.
    EXPECT_NEAR(GroupLibebur128(ResultSamples(*host.List[2]), ResultSamples(*host.List[3])), -20.0,
                0.1);
    EXPECT_NEAR(ResultOf(2).Lufs - ResultOf(3).Lufs, SourceOf(2).Lufs - SourceOf(3).Lufs, 0.1);
    // Only the quiet file was compressed, each pass measured anew; the others took a gain
    // alone, planned without a read of their own.
    EXPECT_GT(PassesOver("Compressing:", *host.List[1]), 0);
    EXPECT_GT(PassesOver("Measuring:", *host.List[1]), 0);
    for (const size_t i : {0, 2, 3}) {
        EXPECT_EQ(PassesOver("Measuring:", *host.List[i]), 0) << i;
        EXPECT_EQ(PassesOver("Compressing:", *host.List[i]), 0) << i;
    }
    // Each source read twice (scan and write) and each result written once.
    EXPECT_EQ(Passes("Scanning:"), 4);
    EXPECT_EQ(Passes("Balancing:") + Passes("Compressing:"), 4);
}

TEST_F(LufsBalanceTest, BalanceAfterAnUnmeteredPrepareMeasuresTheResultsAndLandsOnTarget) {
    AddWav("loud.wav", Music(20000.0, 1));
    AddWav("soft.wav", Music(3000.0, 4));
    ops.Prepare(Request());  // by RMS, not metered
    ASSERT_TRUE(ops.ReadyToBalance);
    ASSERT_FALSE(host.List[0]->ResultBroadcast.Measured);
    ops.Balance(ByLufs(-18.0));
    ASSERT_TRUE(host.Errors.empty());
    for (size_t i = 0; i < host.List.size(); ++i) {
        EXPECT_NEAR(ResultOf(i).Lufs, -18.0, 0.1) << i;
        ExpectUnderTheCeiling(i);
    }
    EXPECT_FALSE(ops.ReadyToBalance);
}

TEST_F(LufsBalanceTest, TheReferencesCompareWhatGainAloneReachesUnderTheCeiling) {
    AddWav("loud.wav", Music(20000.0, 1));
    AddWav("soft.wav", Music(3000.0, 4));
    AddWav("quiet.wav", QuietDynamic(7));
    RunRequest request = ByLufs(std::nullopt);
    request.reference = ReferenceChoice::Quietest;
    ops.PrepareAndBalance(request);
    ASSERT_TRUE(host.Errors.empty());
    // The quiet dynamic file sets the level: its peak on the ceiling, nothing compressed.
    EXPECT_EQ(Passes("Compressing:"), 0);
    EXPECT_EQ(Passes("Measuring:"), 0);
    EXPECT_NEAR(*host.List[2]->ResultBroadcast.TruePeakDbtp, Ceiling, 0.05);
    const double target = *ops.ReferenceLufs;
    for (size_t i = 0; i < host.List.size(); ++i) {
        EXPECT_NEAR(ResultOf(i).Lufs, target, 0.1) << i;
        ExpectUnderTheCeiling(i);
    }
    EXPECT_LT(target, ResultOf(0).TruePeakDb - 3.0);

    // The loudest such level compresses the quieter files to it.
    for (auto& file : host.List) {
        file->Ignored = false;
    }
    request.reference = ReferenceChoice::Loudest;
    ops.PrepareAndBalance(request);
    ASSERT_TRUE(host.Errors.empty());
    EXPECT_GT(*ops.ReferenceLufs, target + 3.0);
    EXPECT_GT(PassesOver("Compressing:", *host.List[2]), 0);
}

TEST_F(LufsBalanceTest, APresetHoldsALufsLevel) {
    AddWav("loud.wav", Music(20000.0, 1));
    ops.PrepareAndBalance(Request());
    ASSERT_GT(ops.ReferenceLoudness, 0.0);
    RunRequest request = ByLufs(std::nullopt);
    request.reference = ReferenceChoice::Preset;
    request.presetLevel = -23.0;
    ops.PrepareAndBalance(request);
    ASSERT_TRUE(host.Errors.empty());
    EXPECT_NEAR(ResultOf(0).Lufs, -23.0, 0.1);
    // The RMS target of the balance before is not this result's.
    EXPECT_EQ(ops.ReferenceLoudness, 0.0);

    request.presetLevel.reset();
    ops.PrepareAndBalance(request);
    ASSERT_EQ(host.Errors.size(), 1u);
    EXPECT_EQ(host.Errors.front(), messages::NoPreset);
}

TEST_F(LufsBalanceTest, TheMaximumCompressionLowersTheTargetAndAsksFirst) {
    AddWav("loud.wav", Music(20000.0, 1));
    AddWav("quiet.wav", QuietDynamic(7));
    options.maxcompfactor = 1.5;  // 3.5 dB beyond what gain reaches
    options.warncompfactor = 1.1;
    host.WarningAnswers = {Answer::No};
    ops.PrepareAndBalance(ByLufs(-14.0));
    ASSERT_FALSE(host.WarningQuestions.empty());
    EXPECT_NE(host.WarningQuestions.front().find(messages::MaxCompression), std::string::npos);
    EXPECT_NE(host.WarningQuestions.front().find("quiet.wav"), std::string::npos);
    EXPECT_EQ(host.WarningQuestions.front().find("loud.wav"), std::string::npos);
    // Answered No: the results are the normalised copies.
    EXPECT_EQ(Passes("Normalising:"), 2);
    EXPECT_EQ(Passes("Compressing:"), 0);

    // Answered Yes: every file goes to the lowered target, which the quiet one reaches.
    ops.PrepareAndBalance(ByLufs(-14.0));
    ASSERT_TRUE(host.Errors.empty());
    ASSERT_TRUE(ops.ReferenceLufs);
    EXPECT_LT(*ops.ReferenceLufs, -14.5);
    EXPECT_NEAR(ResultOf(0).Lufs, *ops.ReferenceLufs, 0.1);
    EXPECT_NEAR(ResultOf(1).Lufs, *ops.ReferenceLufs, 0.1);
    ExpectUnderTheCeiling(1);
}

TEST_F(LufsBalanceTest, ATargetThatCannotBeReachedIsTold) {
    AddWav("quiet.wav", QuietDynamic(7));
    options.maxcompfactor = MaxCompressionFactor;
    ops.MaxAdjustPasses = 1;  // not the bound here: the ceiling is
    options.truepeaklimit = -20.0;
    RunRequest request = ByLufs(-5.0);
    request.answerYes = true;
    ops.PrepareAndBalance(request);
    ASSERT_TRUE(host.Errors.empty());
    ASSERT_FALSE(host.Warnings.empty());
    EXPECT_NE(host.Warnings.back().find("cannot be brought to its target"), std::string::npos);
    EXPECT_NE(host.Warnings.back().find("LUFS"), std::string::npos);
    EXPECT_EQ(ops.FilesShortOfTarget, 1);
    EXPECT_LE(*host.List[0]->ResultBroadcast.TruePeakDbtp, -20.0);
}

TEST_F(LufsBalanceTest, CancelDuringAMeasuringReadWritesNoResultForThatFile) {
    AddWav("quiet.wav", QuietDynamic(7));
    bool cancelled = false;
    sink.OnPump = [&] {
        if (!cancelled && !sink.Labels.empty() && sink.Labels.back() == "Measuring:") {
            cancelled = true;
            ops.Cancel();
        }
    };
    ops.PrepareAndBalance(ByLufs(-20.0));
    EXPECT_TRUE(cancelled);
    EXPECT_FALSE(ops.Running());
    EXPECT_FALSE(std::filesystem::exists(host.List[0]->ResultFile));
    EXPECT_EQ(Passes("Compressing:"), 0);
}

// A preview by LUFS plans with the run's own code and request: what it shows is what Prepare &
// Balance then writes, and it writes nothing, asks nothing and tells its problems as such.
TEST_F(LufsBalanceTest, APreviewPlansWhatTheRunThenWrites) {
    AddMixedSet();
    std::optional<Measurements> measured = ops.Measure();
    ASSERT_TRUE(measured);
    std::optional<Preview> preview = ops.PreviewByLufs(*measured, ByLufs(-20.0));
    ASSERT_TRUE(preview);
    EXPECT_EQ(preview->Problem, messages::PreviewNotMetered);

    ops.MeasureBroadcast = true;
    measured = ops.Measure();
    ASSERT_TRUE(measured);
    RunRequest noPreset = ByLufs(std::nullopt);
    noPreset.reference = ReferenceChoice::Preset;
    preview = ops.PreviewByLufs(*measured, noPreset);
    ASSERT_TRUE(preview);
    EXPECT_EQ(preview->Problem, messages::NoPreset);
    EXPECT_TRUE(host.Errors.empty());

    preview = ops.PreviewByLufs(*measured, ByLufs(-20.0));
    ASSERT_TRUE(preview);
    ASSERT_TRUE(preview->Problem.empty()) << preview->Problem;
    EXPECT_TRUE(preview->ByLufs);
    EXPECT_TRUE(host.WarningQuestions.empty());
    EXPECT_GT(PassesOver("Measuring:", *host.List[1]), 0);  // the quiet file's compress passes
    for (const auto& file : host.List) {
        EXPECT_FALSE(std::filesystem::exists(file->ResultFile)) << file->ResultFile;
    }

    ops.PrepareAndBalance(ByLufs(-20.0));
    ASSERT_TRUE(host.Errors.empty());
    EXPECT_EQ(preview->Reference, *ops.ReferenceLufs);
    for (size_t i = 0; i < host.List.size(); ++i) {
        SCOPED_TRACE(host.List[i]->SourceFile);
        const PreviewRow& row = preview->Rows[i];
        const BroadcastLoudness& written = host.List[i]->ResultBroadcast;
        ASSERT_TRUE(row.Planned && row.Lufs && written.IntegratedLufs);
        EXPECT_TRUE(row.TargetReached);
        // The very chain the run wrote: the same samples, so the same root mean square.
        EXPECT_EQ(row.Loudness, host.List[i]->Loudness);
        EXPECT_NEAR(*row.Lufs, *written.IntegratedLufs, 0.02);
        EXPECT_NEAR(*row.Lufs, ResultOf(i).Lufs, 0.1);
        EXPECT_NEAR(row.TruePeakDb, *written.TruePeakDbtp, 0.05);
        EXPECT_LE(row.TruePeakDb, Ceiling);
    }
    EXPECT_GT(preview->Rows[1].Compression, 1.0);
    EXPECT_EQ(preview->Rows[0].Compression, 1.0);
}

TEST_F(LufsBalanceTest, ByRmsTheLufsFieldsChangeNoByte) {
    AddMixedSet();
    ops.PrepareAndBalance(Request());
    std::vector<std::vector<uint8_t>> plain;
    for (const auto& file : host.List) {
        plain.push_back(ReadFile(file->ResultFile));
    }
    RunRequest request = Request();
    request.lufsTarget = -16.0;
    request.options.truepeaklimit = -6.0;
    ops.PrepareAndBalance(request);
    for (size_t i = 0; i < host.List.size(); ++i) {
        EXPECT_EQ(ReadFile(host.List[i]->ResultFile), plain[i]) << i;
    }
    EXPECT_EQ(Passes("Measuring:"), 0);
}

}  // namespace
}  // namespace tralux::test
