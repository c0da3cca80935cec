#include <cmath>
#include <filesystem>
#include <fstream>
#include <string>

#include "RunFixture.h"

namespace tralux::test {
namespace {

namespace fs = std::filesystem;

std::string Question(const char* heading, const std::string& list) {
    return heading + list + messages::ProceedQuestion;
}

// Within the on-target tolerance from either side.
::testing::AssertionResult WithinTolerance(double loudness, double target) {
    const double ratio = loudness > target ? loudness / target : target / loudness;
    if (ratio < Operations::OnTargetTolerance) {
        return ::testing::AssertionSuccess();
    }
    return ::testing::AssertionFailure() << loudness << " is off target " << target;
}

class BalanceTest : public RunFixture {
protected:
    double Target(const FileData& file) const {
        return Operations::TargetLoudness(file, ops.ReferenceLoudness, ops.AnchorAtLoudest);
    }
    // Every file's Loudness is that of the samples now in its result file.
    void ExpectLoudnessOnDisk() const {
        for (const auto& file : host.List) {
            if (!file->Ignored) {
                EXPECT_NEAR(file->Loudness, MeasuredLoudness(*file, file->ResultFile), 1e-9);
            }
        }
    }
};

// Made-up loudness values: the runs end at a question before any pass.

TEST_F(BalanceTest, SmallestRangeLowersTheReferenceAndAsksBothQuestions) {
    FileData& a = AddRecord("/m/a.wav", 1000);
    AddRecord("/m/b.wav", 2000);
    AddRecord("/m/c.wav", 4000);
    host.Choice = ReferenceChoice::Loudest;
    host.WarningAnswers = {Answer::Yes, Answer::No};
    ops.ReadyToBalance = true;

    ops.Balance(Request());

    // a needs 4.0 > 3.0: the reference drops to 3000; then b needs 1.5, not above 1.5.
    EXPECT_DOUBLE_EQ(ops.ReferenceLoudness, 3000.0);
    EXPECT_TRUE(ops.AnchorAtLoudest);
    ASSERT_EQ(host.WarningQuestions.size(), 2u);
    EXPECT_EQ(host.WarningQuestions[0],
              "The amount of compression required exceeds the absolute maximum allowed, so the "
              "target loudness has been reduced accordingly for these files:\r\r/m/a.wav\r\rAre "
              "you sure you wish to proceed?");
    EXPECT_EQ(host.WarningQuestions[1],
              "The amount of processing that will be required is very high.\rThis may result in "
              "unacceptable degradation in sound quality for these files:\r\r/m/a.wav\r\rAre you "
              "sure you wish to proceed?");
    EXPECT_TRUE(sink.Labels.empty());
    EXPECT_FALSE(engine.Running);
    EXPECT_TRUE(ops.ReadyToBalance) << "a run ended by No can be started again";
    EXPECT_EQ(a.Loudness, 1000);
    EXPECT_EQ(host.Log.back(), "HideProgressLine");
}

TEST_F(BalanceTest, NoToTheFirstQuestionSkipsTheSecond) {
    AddRecord("/m/a.wav", 1000);
    AddRecord("/m/c.wav", 4000);
    host.Choice = ReferenceChoice::Loudest;
    host.WarningAnswers = {Answer::None};  // a box shut without an answer is not Yes
    ops.ReadyToBalance = true;
    ops.Balance(Request());
    EXPECT_EQ(host.WarningQuestions.size(), 1u);
    EXPECT_TRUE(sink.Labels.empty());
}

TEST_F(BalanceTest, LoweringUsesTheGroupRatioOfTheFileThatExceeds) {
    AddRecord("/m/x.wav", 8000);
    AddRecord("/m/g.wav", 1000, 1, 0.5, 1.0);
    host.Choice = ReferenceChoice::Loudest;
    host.WarningAnswers = {Answer::No};
    ops.ReadyToBalance = true;
    ops.Balance(Request());
    // g's target is 8000 x 0.5 = 4000, four times its loudness: the reference becomes
    // 3 x 1000 / 0.5.
    EXPECT_DOUBLE_EQ(ops.ReferenceLoudness, 6000.0);
    EXPECT_EQ(host.WarningQuestions,
              std::vector<std::string>{Question(messages::MaxCompression, "\r/m/g.wav")});
}

TEST_F(BalanceTest, SilentHighlightedFileAbandonsTheRun) {
    AddRecord("/m/a.wav", 1000);
    FileData& s = AddRecord("/m/s.wav", 0);
    s.Ignored = true;
    host.Choice = ReferenceChoice::Highlighted;
    host.Highlighted = &s;
    ops.ReadyToBalance = true;
    ops.Balance(Request());
    EXPECT_EQ(host.Errors, std::vector<std::string>{
                               "Selected file is completely silent and cannot be used as the "
                               "reference:\rBalance operation abandoned"});
    EXPECT_TRUE(host.WarningQuestions.empty());
    EXPECT_TRUE(ops.ReadyToBalance);
    EXPECT_FALSE(engine.Running);
    EXPECT_EQ(host.Log.back(), "HideProgressLine");
}

TEST_F(BalanceTest, PresetModeWithoutAPresetRefusesBalance) {
    FileData& a = AddWav("a.wav", LevelSignal(1000));
    host.Choice = ReferenceChoice::Preset;
    host.PresetLevel = std::nullopt;
    ops.ReadyToBalance = true;

    ops.Balance(Request());
    ops.PrepareAndBalance(Request());

    EXPECT_EQ(host.Errors, (std::vector<std::string>{messages::NoPreset, messages::NoPreset}));
    EXPECT_EQ(host.Count("ShowProgressLine"), 0);
    EXPECT_TRUE(sink.Labels.empty());
    EXPECT_TRUE(a.ResultFile.empty());
}

TEST_F(BalanceTest, BalanceNeedsACompletedPrepare) {
    AddWav("a.wav", LevelSignal(1000));
    AddWav("b.wav", LevelSignal(2000));
    ops.Balance(Request());
    EXPECT_EQ(host.Errors, std::vector<std::string>{messages::NotPrepared});
    EXPECT_TRUE(sink.Labels.empty());
}

// Real runs over generated files.

TEST_F(BalanceTest, GreatestRangeReducesTheLouderFiles) {
    FileData& a = AddWav("a.wav", LevelSignal(1000));
    FileData& b = AddWav("b.wav", LevelSignal(2000));
    FileData& c = AddWav("c.wav", LevelSignal(4000));
    RecordAnnouncements();

    ops.PrepareAndBalance(Request());

    EXPECT_DOUBLE_EQ(ops.ReferenceLoudness, a.Loudness);
    EXPECT_FALSE(ops.AnchorAtLoudest);
    EXPECT_TRUE(host.WarningQuestions.empty());
    EXPECT_EQ(PassesOver("Reducing:", a) + PassesOver("Compressing:", a), 0);
    EXPECT_GE(PassesOver("Reducing:", b), 1);
    EXPECT_GE(PassesOver("Reducing:", c), 1);
    EXPECT_EQ(Passes("Compressing:"), 0);
    for (const FileData* f : {&b, &c}) {
        // A reduction may land below the target and stay there.
        EXPECT_LT(f->Loudness, ops.ReferenceLoudness * Operations::OnTargetTolerance);
        EXPECT_GT(f->Loudness, ops.ReferenceLoudness * 0.95);
    }
    ExpectLoudnessOnDisk();
    EXPECT_FALSE(ops.ReadyToBalance);
    EXPECT_TRUE(ops.ResultLoudnessShown);
    // Prepare & Balance: 3 units per frame, one read to measure each source and one write of
    // its result; all of it has been done.
    EXPECT_EQ(announced, (std::vector<double>{3.0 * TotalFrames()}));
    EXPECT_DOUBLE_EQ(engine.Estimator.WorkRemaining, 0.0);
    EXPECT_EQ(Passes("Scanning:"), 3);
    EXPECT_EQ(PassesOver("Normalising:", a), 1);
}

TEST_F(BalanceTest, SmallestRangeCompressesTowardTheLoweredReference) {
    FileData& a = AddWav("a.wav", LevelSignal(1000));
    FileData& b = AddWav("b.wav", LevelSignal(2010));  // clear of the 1.5 warning factor
    FileData& c = AddWav("c.wav", LevelSignal(4000));
    host.Choice = ReferenceChoice::Loudest;
    double preparedA = 0.0;
    host.OnEvent = [&](const std::string& line) {
        if (line.rfind("AskWarning", 0) == 0 && preparedA == 0.0) {
            preparedA = a.Loudness;  // prepared, not yet balanced
        }
    };

    ops.PrepareAndBalance(Request());

    // 4000 would need 4 times a's loudness: the reference is lowered to 3 times it.
    EXPECT_DOUBLE_EQ(ops.ReferenceLoudness, 3.0 * preparedA);
    ASSERT_EQ(host.WarningQuestions.size(), 2u);
    EXPECT_EQ(host.WarningQuestions[0], Question(messages::MaxCompression, "\r" + a.SourceFile));
    EXPECT_EQ(host.WarningQuestions[1], Question(messages::HeavyProcessing, "\r" + a.SourceFile));
    EXPECT_GE(PassesOver("Compressing:", a), 1);
    EXPECT_GE(PassesOver("Compressing:", b), 1);
    EXPECT_GE(PassesOver("Reducing:", c), 1);
    for (const FileData* f : {&a, &b}) {
        EXPECT_TRUE(WithinTolerance(f->Loudness, ops.ReferenceLoudness));
    }
    EXPECT_LT(c.Loudness, ops.ReferenceLoudness * Operations::OnTargetTolerance);
    ExpectLoudnessOnDisk();
    EXPECT_DOUBLE_EQ(engine.Estimator.WorkRemaining, 0.0);
}

class GroupBalance : public BalanceTest {
protected:
    FileData* a = nullptr;
    FileData* b = nullptr;
    FileData* x = nullptr;
    Samples preparedA, preparedB;
    void SetUp() override {
        a = &AddWav("a.wav", LevelSignal(2000), 1);
        b = &AddWav("b.wav", LevelSignal(1000), 1);
        x = &AddWav("x.wav", LevelSignal(1500));
        ops.Prepare(Request());
        ASSERT_TRUE(ops.ReadyToBalance);
        preparedA = ResultSamples(*a);
        preparedB = ResultSamples(*b);
    }
};

TEST_F(GroupBalance, GreatestRangeAnchorsTheGroupAtItsQuietestMember) {
    ops.Balance(Request());
    EXPECT_DOUBLE_EQ(ops.ReferenceLoudness, b->Loudness);
    EXPECT_FALSE(ops.AnchorAtLoudest);
    EXPECT_TRUE(host.WarningQuestions.empty());
    EXPECT_EQ(ResultSamples(*a), preparedA);
    EXPECT_EQ(ResultSamples(*b), preparedB);
    EXPECT_EQ(Passes("Compressing:"), 0);
    EXPECT_GE(PassesOver("Reducing:", *x), 1);
    EXPECT_LT(x->Loudness, b->Loudness * Operations::OnTargetTolerance);
}

TEST_F(GroupBalance, SmallestRangeAnchorsTheGroupAtItsLoudestMember) {
    host.Choice = ReferenceChoice::Loudest;
    ops.Balance(Request());
    EXPECT_DOUBLE_EQ(ops.ReferenceLoudness, a->Loudness);
    EXPECT_TRUE(ops.AnchorAtLoudest);
    // The reference is twice the quietest (b), but b's own target is the group's ratio of
    // it: no file needs heavy processing, and no question names an empty list.
    EXPECT_TRUE(host.WarningQuestions.empty());
    EXPECT_EQ(ResultSamples(*a), preparedA);
    EXPECT_EQ(ResultSamples(*b), preparedB);
    EXPECT_GE(PassesOver("Compressing:", *x), 1);
    EXPECT_TRUE(WithinTolerance(x->Loudness, a->Loudness));
    ExpectLoudnessOnDisk();
}

TEST_F(BalanceTest, HighlightedGroupMemberThatIsNotTheAnchorMovesToo) {
    FileData& a = AddWav("a.wav", LevelSignal(2000), 1);
    FileData& b = AddWav("b.wav", LevelSignal(1000), 1);
    FileData& x = AddWav("x.wav", LevelSignal(500));
    host.Choice = ReferenceChoice::Highlighted;
    host.Highlighted = &b;

    ops.PrepareAndBalance(Request());

    // b is above the quietest file (x), so groups are placed by their loudest member: b's
    // own target is its reference times its ratio to a.
    EXPECT_TRUE(ops.AnchorAtLoudest);
    const double reference = ops.ReferenceLoudness;
    EXPECT_NEAR(reference, 1000.0, 2.0);
    EXPECT_EQ(host.WarningQuestions,
              std::vector<std::string>{Question(messages::HeavyProcessing, "\r" + x.SourceFile)});
    EXPECT_GE(PassesOver("Reducing:", b), 1);
    EXPECT_GE(PassesOver("Reducing:", a), 1);
    EXPECT_GE(PassesOver("Compressing:", x), 1);
    EXPECT_LT(b.Loudness, reference * b.LoudestRatio * Operations::OnTargetTolerance);
    EXPECT_LT(a.Loudness, reference * Operations::OnTargetTolerance);
    EXPECT_TRUE(WithinTolerance(x.Loudness, reference));
}

TEST_F(BalanceTest, PresetFarAboveEveryFileAsksAboutAllOfThem) {
    FileData& a = AddWav("a.wav", LevelSignal(1400));
    FileData& b = AddWav("b.wav", LevelSignal(1410));
    FileData& c = AddWav("c.wav", LevelSignal(1390));
    host.Choice = ReferenceChoice::Preset;
    host.PresetLevel = 2810.0;

    ops.PrepareAndBalance(Request());

    EXPECT_DOUBLE_EQ(ops.ReferenceLoudness, 2810.0);
    EXPECT_EQ(host.WarningQuestions,
              std::vector<std::string>{
                  Question(messages::HeavyProcessing,
                           "\r" + a.SourceFile + "\r" + b.SourceFile + "\r" + c.SourceFile)});
    for (const FileData* f : {&a, &b, &c}) {
        EXPECT_GE(PassesOver("Compressing:", *f), 1);
        EXPECT_TRUE(WithinTolerance(f->Loudness, 2810.0));
    }
    ExpectLoudnessOnDisk();
}

// A target a given fraction away from the prepared loudness, set through a preset.
struct ToleranceCase {
    double targetRatio;
    int compressPasses;  // -1: at least one
    int reducePasses;    // -1: at least one
};

class Tolerance : public BalanceTest, public ::testing::WithParamInterface<ToleranceCase> {};

TEST_P(Tolerance, DecidesWhetherAPassRuns) {
    FileData& a = AddWav("a.wav", LevelSignal(1000));
    host.Choice = ReferenceChoice::Preset;
    host.PresetLevel = 1.0;  // replaced once the prepared loudness is known
    ops.Prepare(Request());
    const Samples prepared = ResultSamples(a);
    const double target = a.Loudness * GetParam().targetRatio;
    host.PresetLevel = target;

    ops.Balance(Request());

    const int compress = PassesOver("Compressing:", a);
    const int reduce = PassesOver("Reducing:", a);
    if (GetParam().compressPasses < 0) {
        EXPECT_GE(compress, 1);
    } else {
        EXPECT_EQ(compress, GetParam().compressPasses);
    }
    if (GetParam().reducePasses < 0) {
        EXPECT_GE(reduce, 1);
    } else {
        EXPECT_EQ(reduce, GetParam().reducePasses);
    }
    if (compress + reduce == 0) {
        EXPECT_EQ(ResultSamples(a), prepared);
    }
    if (compress > 0) {
        EXPECT_TRUE(WithinTolerance(a.Loudness, target));
    }
    EXPECT_FALSE(ops.ReadyToBalance);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, Tolerance,
    ::testing::Values(ToleranceCase{1.001, 0, 0},   // 0.1 % below the target: on target
                      ToleranceCase{0.999, 0, 0},   // 0.1 % above
                      ToleranceCase{1.003, -1, 0},  // 0.3 % below: compressed
                      // Reduced once: lands about 0.5 % below the target and stays there.
                      ToleranceCase{0.9935, 0, 1}));

TEST_F(BalanceTest, ReducedOnceBelowTheTargetStaysThere) {
    FileData& a = AddWav("a.wav", LevelSignal(1000));
    host.Choice = ReferenceChoice::Preset;
    host.PresetLevel = 1.0;
    ops.Prepare(Request());
    const double target = a.Loudness * 0.9935;
    host.PresetLevel = target;
    ops.Balance(Request());
    // The reduce row below 0.9935 is 0.989 (-0.1 dB, a gain of 0.98851), so the file
    // lands near 0.98851 / 0.9935 = 0.995 of its target.
    EXPECT_NEAR(a.Loudness / target, 0.995, 0.001);
    EXPECT_EQ(ops.LastPlan().Reductions, 1);
    EXPECT_EQ(ops.LastPlan().Compressions, 0);
}

TEST_F(BalanceTest, FinalLimitingScalesEveryResultEvenWithNoBalancingPass) {
    const Samples signal = LevelSignal(1200);
    FileData& a = AddWav("a.wav", signal);
    FileData& b = AddWav("b.wav", signal);
    options.dofinalnorm = true;
    options.normaliselevel = 16384;
    ops.Prepare(Request());
    const std::vector<Samples> before = {ResultSamples(a), ResultSamples(b)};
    sink.Labels.clear();
    sink.FileNames.clear();
    RecordAnnouncements();

    ops.PrepareAndBalance(Request());

    EXPECT_EQ(Passes("Compressing:") + Passes("Reducing:") + Passes("Normalising:"), 0);
    EXPECT_EQ(Passes("Final Limiting:"), 2);
    EXPECT_EQ(announced, (std::vector<double>{3.0 * TotalFrames()}));
    EXPECT_DOUBLE_EQ(engine.Estimator.WorkRemaining, 0.0);
    const double gain = 16384.0 / 32767.0;
    int peak = 0;
    for (int i = 0; i < 2; ++i) {
        const Samples after = ResultSamples(*host.List[i]);
        ASSERT_EQ(after.size(), before[i].size());
        for (size_t k = 0; k < after.size(); ++k) {
            ASSERT_EQ(after[k], static_cast<int16_t>(std::nearbyint(before[i][k] * gain)));
            peak = std::max(peak, std::abs(static_cast<int>(after[k])));
        }
    }
    EXPECT_EQ(peak, 16384);
    ExpectLoudnessOnDisk();
}

TEST_F(BalanceTest, FinalLimitingAfterBalancingKeepsPeaksAtTheLevel) {
    AddWav("a.wav", LevelSignal(1000));
    AddWav("b.wav", LevelSignal(1800));
    options.dofinalnorm = true;
    options.normaliselevel = 16384;
    ops.PrepareAndBalance(Request());
    // One write per file, named by the work that changes it most.
    EXPECT_EQ(Passes("Reducing:"), 1);
    EXPECT_EQ(Passes("Final Limiting:"), 1);
    for (const auto& file : host.List) {
        for (int16_t s : ResultSamples(*file)) {
            ASSERT_LE(std::abs(static_cast<int>(s)), 16384);
        }
    }
    EXPECT_DOUBLE_EQ(engine.Estimator.WorkRemaining, 0.0);
}

TEST_F(BalanceTest, FullScaleLimitRunsNoFinalPass) {
    AddWav("a.wav", LevelSignal(1000));
    AddWav("b.wav", LevelSignal(1000));
    options.dofinalnorm = true;
    options.normaliselevel = 32767;
    RecordAnnouncements();
    ops.PrepareAndBalance(Request());
    EXPECT_EQ(Passes("Final Limiting:"), 0);
    EXPECT_EQ(announced, (std::vector<double>{3.0 * TotalFrames()}));
}

TEST_F(BalanceTest, AllFilesSilentEndsNormally) {
    AddWav("a.wav", Constant(TestFrames, 0, 0));
    AddWav("b.wav", Constant(TestFrames, 0, 0));
    ops.PrepareAndBalance(Request());
    EXPECT_EQ(host.Warnings.size(), 2u);
    EXPECT_TRUE(host.WarningQuestions.empty());
    EXPECT_EQ(Passes("Normalising:") + Passes("Compressing:") + Passes("Reducing:"), 0);
    EXPECT_FALSE(ops.ReadyToBalance);
    EXPECT_TRUE(ops.ResultLoudnessShown);
}

TEST_F(BalanceTest, CancelDuringBalancingLeavesEachResultWholeAndLaterFilesAlone) {
    FileData& a = AddWav("a.wav", LevelSignal(1000));
    FileData& b = AddWav("b.wav", LevelSignal(2000));
    FileData& c = AddWav("c.wav", LevelSignal(4000));
    options.dofinalnorm = true;
    options.normaliselevel = 16384;
    ops.Prepare(Request());
    const Samples preparedA = ResultSamples(a);
    const Samples preparedB = ResultSamples(b);
    const Samples preparedC = ResultSamples(c);
    const double loudnessB = b.Loudness;
    sink.OnPump = [&] {
        if (sink.Labels.back() == "Reducing:" && sink.FileNames.back() == "b_tralux.wav" &&
            sink.Calls[sink.Calls.size() - 2] == "PassProgress 33") {
            ops.Cancel();
        }
    };

    ops.Balance(Request());

    EXPECT_EQ(PassesOver("Reducing:", b), 1);
    // a was limited whole; b's unfinished write left its prepared result; c was not reached.
    EXPECT_EQ(PassesOver("Final Limiting:", a), 1);
    EXPECT_NE(ResultSamples(a), preparedA);
    EXPECT_EQ(ResultSamples(b), preparedB);
    EXPECT_EQ(b.Loudness, loudnessB);
    EXPECT_EQ(ResultSamples(c), preparedC);
    EXPECT_EQ(dir.Names(), (std::vector<std::string>{"a.wav", "a_tralux.wav", "b.wav",
                                                     "b_tralux.wav", "c.wav", "c_tralux.wav"}));
    EXPECT_TRUE(ops.ReadyToBalance);
    // The columns are shown again with the values the results hold.
    EXPECT_TRUE(ops.ResultLoudnessShown);
    ExpectLoudnessOnDisk();
    EXPECT_FALSE(engine.Running);
    EXPECT_EQ(host.Log.back(), "HideProgressLine");
}

TEST_F(BalanceTest, MissingResultFileEndsTheRunAsACancelDoes) {
    AddWav("a.wav", LevelSignal(1000));
    FileData& b = AddWav("b.wav", LevelSignal(2000));
    ops.Prepare(Request());
    fs::remove(b.ResultFile);

    ops.Balance(Request());

    ASSERT_EQ(host.Errors.size(), 1u);
    EXPECT_NE(host.Errors[0].find(b.ResultFile), std::string::npos);
    EXPECT_FALSE(engine.Running);
    EXPECT_TRUE(ops.ReadyToBalance);
    EXPECT_FALSE(host.ProgressLineShown);
    EXPECT_EQ(host.Log.back(), "HideProgressLine");
    EXPECT_FALSE(fs::exists(b.ResultFile)) << "a missing result is not made anew in place";
}

TEST_F(BalanceTest, FileWithoutLoudnessCannotDragTheReferenceToSilence) {
    // As a Balance cancelled in a silent first block leaves it: measured again, it is the
    // quietest file and the reference, and the other file is brought to it.
    FileData& a = AddWav("a.wav", LevelSignal(1000));
    FileData& b = AddWav("b.wav", LevelSignal(2000));
    ops.Prepare(Request());
    const double prepared = a.Loudness;
    a.Loudness = 0.0;
    ops.Balance(Request());
    EXPECT_EQ(PassesOver("Measuring:", a), 1);
    EXPECT_EQ(a.Loudness, prepared);
    EXPECT_EQ(ops.ReferenceLoudness, prepared);
    EXPECT_GE(PassesOver("Reducing:", b), 1);
    EXPECT_FALSE(engine.Running);
    EXPECT_FALSE(ops.ReadyToBalance);
}

}  // namespace
}  // namespace tralux::test

namespace tralux::test {
namespace {

TEST_F(BalanceTest, TargetNoPassCanReachEndsThatFileWithAWarningAndTheRunGoesOn) {
    // Reductions toward a level of 1 round small samples back to themselves at last.
    FileData& a = AddWav("a.wav", Noise(TestFrames, 3000, 3));
    FileData& b = AddWav("b.wav", Noise(TestFrames, 3000, 4));
    host.Choice = ReferenceChoice::Preset;
    host.PresetLevel = 1.0;
    options.maxcompfactor = 10.0;
    ops.PrepareAndBalance(Request());
    ASSERT_EQ(host.Warnings.size(), 2u);
    EXPECT_EQ(host.Warnings[0].rfind("File \"" + a.SourceFile +
                                         "\" cannot be brought to its "
                                         "target loudness of ",
                                     0),
              0u)
        << host.Warnings[0];
    EXPECT_EQ(ops.FilesShortOfTarget, 2);
    // Each stays as its last planned pass left it, written once.
    EXPECT_EQ(PassesOver("Reducing:", a), 1);
    EXPECT_EQ(PassesOver("Reducing:", b), 1);
    ExpectLoudnessOnDisk();
    EXPECT_FALSE(ops.ReadyToBalance);
}

TEST_F(BalanceTest, BalanceLeavesAResultOnTargetUnwritten) {
    FileData& a = AddWav("a.wav", LevelSignal(1000));
    FileData& b = AddWav("b.wav", LevelSignal(1000));
    ops.Prepare(Request());
    const auto written = fs::last_write_time(a.ResultFile);
    sink.Labels.clear();
    sink.FileNames.clear();
    RecordAnnouncements();
    ops.Balance(Request());
    // Measured, found on target, and left as it is.
    EXPECT_EQ(Passes("Scanning:"), 2);
    EXPECT_EQ(sink.Labels.size(), 2u);
    EXPECT_EQ(fs::last_write_time(a.ResultFile), written);
    EXPECT_DOUBLE_EQ(engine.Estimator.WorkRemaining, 0.0);
    EXPECT_EQ(announced, (std::vector<double>{3.0 * TotalFrames()}));
    (void)b;
}

}  // namespace
}  // namespace tralux::test

namespace tralux::test {
namespace {

// Flips one sample of the file in place: the same file, other samples.
void ChangeOneSample(const std::string& path, int64_t frame) {
    std::fstream file(path, std::ios::in | std::ios::out | std::ios::binary);
    file.seekg(44 + 4 * frame);
    char low = 0;
    file.get(low);
    file.seekp(44 + 4 * frame);
    file.put(static_cast<char>(low ^ 0x40));
}

// The one write of each result reads its file again; what it reads must be what was counted,
// or the new file would hold samples cut off or silenced by a gain chosen for others. true:
// Prepare & Balance, which reads the source; false: Balance, which reads the result.
class ChangedBeforeItsWrite : public BalanceTest, public testing::WithParamInterface<bool> {
protected:
    void ExpectTheRunStoppedWhen(void (*change)(const std::string& path));
};

// Swaps frames 7000 and 7001, +m and -m: the file keeps its peak and its sum of squares.
void SwapTwoFrames(const std::string& path) {
    std::vector<uint8_t> bytes = ReadFile(path);
    std::swap_ranges(bytes.begin() + 44 + 4 * 7000, bytes.begin() + 44 + 4 * 7001,
                     bytes.begin() + 44 + 4 * 7001);
    WriteFile(path, bytes);
}

TEST_P(ChangedBeforeItsWrite, StopsTheRunAndTheNameKeepsWhatItHeld) {
    ExpectTheRunStoppedWhen([](const std::string& path) { ChangeOneSample(path, 7000); });
}

TEST_P(ChangedBeforeItsWrite, AChangeThatKeepsThePeakAndTheSumOfSquaresStopsItToo) {
    ExpectTheRunStoppedWhen(SwapTwoFrames);
}

void ChangedBeforeItsWrite::ExpectTheRunStoppedWhen(void (*change)(const std::string& path)) {
    const bool planning = GetParam();
    AddWav("a.wav", LevelSignal(1000));
    // Reduced toward a, so Balance writes it too.
    FileData& b = AddWav("b.wav", LevelSignal(2000));
    host.Choice = ReferenceChoice::Quietest;
    if (!planning) {
        ops.Prepare(Request());
        ASSERT_TRUE(ops.ReadyToBalance);
    }
    const std::string read = planning ? b.SourceFile : b.ResultFile;
    const std::string readName = fs::path(read).filename().string();
    std::vector<uint8_t> changedBytes;
    sink.OnPump = [&] {
        // At the start of b's write, before its first block is read.
        if (changedBytes.empty() && sink.Labels.back() != "Scanning:" &&
            sink.Labels.back() != "Measuring:" && sink.FileNames.back() == readName) {
            const std::vector<uint8_t> before = ReadFile(read);
            change(read);
            changedBytes = ReadFile(read);
            ASSERT_NE(changedBytes, before);
        }
    };
    if (planning) {
        ops.PrepareAndBalance(Request());
    } else {
        ops.Balance(Request());
    }

    ASSERT_FALSE(changedBytes.empty());
    const std::string message =
        planning ? "File \"" + b.SourceFile + "\" has changed since it was scanned; its result \"" +
                       b.ResultFile + "\" has been left as it was"
                 : "Result file \"" + b.ResultFile +
                       "\" has changed since it was measured; it has been left as it is";
    EXPECT_EQ(sink.Errors, std::vector<std::string>{message});
    EXPECT_FALSE(engine.Running);
    EXPECT_EQ(ReadFile(read), changedBytes) << "the file read is never written";
    EXPECT_EQ(fs::exists(b.ResultFile), !planning);
    // Nothing is left beside the files.
    const std::vector<std::string> names =
        planning ? std::vector<std::string>{"a.wav", "a_tralux.wav", "b.wav"}
                 : std::vector<std::string>{"a.wav", "a_tralux.wav", "b.wav", "b_tralux.wav"};
    EXPECT_EQ(dir.Names(), names);
}

INSTANTIATE_TEST_SUITE_P(Reading, ChangedBeforeItsWrite, testing::Bool(),
                         [](const testing::TestParamInfo<bool>& info) {
                             return std::string(info.param ? "Source" : "Result");
                         });

}  // namespace
}  // namespace tralux::test
