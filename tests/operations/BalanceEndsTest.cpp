// Every Balance run ends: targets no pass can reach, and loudness values that a cut-short pass
// left behind.

#include <filesystem>
#include <fstream>
#include <string>

#include "RunFixture.h"
#include "units/Loudness.h"

namespace tralux::test {
namespace {

namespace fs = std::filesystem;

// Quiet lead-in of digital silence, then a level signal with a full-scale peak.
Samples SilentLeadIn(int32_t silentFrames, double loudness) {
    Samples samples = LevelSignal(loudness);
    std::fill(samples.begin(), samples.begin() + 2 * silentFrames, int16_t{0});
    samples[2 * TestFrames - 1] = 32767;
    return samples;
}

class BalanceEnds : public RunFixture {
protected:
    std::string Unreached(const FileData& file, double target) const {
        const auto text = [](double level) {
            return LoudnessText(level, PercentUnit) + " (level " + LoudnessText(level, SampleUnit) +
                   ")";
        };
        return messages::TargetNotReached(file.SourceFile, text(file.Loudness), text(target));
    }
    double Target(const FileData& file) const {
        return Operations::TargetLoudness(file, ops.ReferenceLoudness, ops.AnchorAtLoudest);
    }
};

// The runs that used to go on for ever. Each file left short of its target is told once, with
// its loudness and target, stays as its last pass left it, and the next file is still worked on.
struct Unreachable {
    const char* Name;
    double PresetLevel;
    Samples (*First)();
    double MaxCompression;
};

void PrintTo(const Unreachable& value, std::ostream* out) {
    *out << value.Name;
}

class UnreachableTarget : public BalanceEnds, public testing::WithParamInterface<Unreachable> {};

TEST_P(UnreachableTarget, EndsWithOneWarningPerFileAndTheOthersBalanced) {
    options.maxcompfactor = GetParam().MaxCompression;
    options.warncompfactor = 1.1;
    FileData& stuck = AddWav("stuck.wav", GetParam().First());
    FileData& next = AddWav("next.wav", Noise(TestFrames, 30000, 2));
    host.Choice = ReferenceChoice::Preset;
    host.PresetLevel = GetParam().PresetLevel;

    ops.PrepareAndBalance(Request());

    EXPECT_FALSE(engine.Running);
    EXPECT_FALSE(ops.ReadyToBalance) << "the run went to its end";
    ASSERT_GE(host.Warnings.size(), 1u);
    EXPECT_EQ(host.Warnings[0], Unreached(stuck, Target(stuck)));
    EXPECT_EQ(ops.FilesShortOfTarget, int(host.Warnings.size()));
    EXPECT_GE(PassesOver("Compressing:", next) + PassesOver("Reducing:", next), 1);
    EXPECT_NEAR(stuck.Loudness, MeasuredLoudness(stuck, stuck.ResultFile), 1e-9);
    EXPECT_EQ(PassesOver("Compressing:", stuck) + PassesOver("Reducing:", stuck), 1)
        << "written once, after its planned passes";
    EXPECT_EQ(host.Log.back(), "HideProgressLine");
}

// The plan is the last planned file's: alone, the stuck file's. A state that comes back, or
// a pass that changes nothing, ends its planning long before the last-resort bound, which is
// set here far below its usual value so that a planning that went on would meet it.
TEST_P(UnreachableTarget, PlanningEndsAtTheStallNotAtTheBound) {
    options.maxcompfactor = GetParam().MaxCompression;
    options.warncompfactor = 1.1;
    AddWav("stuck.wav", GetParam().First());
    host.Choice = ReferenceChoice::Preset;
    host.PresetLevel = GetParam().PresetLevel;
    ops.MaxAdjustPasses = 1000;

    ops.PrepareAndBalance(Request());

    ASSERT_EQ(host.Warnings.size(), 1u);
    EXPECT_EQ(ops.LastPlan().Ending, PlanEnding::Stalled);
    const size_t passes = ops.LastPlan().Steps.size();
    EXPECT_GE(passes, 1u);
    EXPECT_LT(passes, 100u);
}

INSTANTIATE_TEST_SUITE_P(
    Reproductions, UnreachableTarget,
    testing::Values(
        // The reduction rows round small samples back to themselves.
        Unreachable{"LevelOneOnNoise", 1.0, [] { return Noise(TestFrames, 30000, 1); }, 3.0},
        // Nine tenths of silence: no compression brings the whole file to the target.
        Unreachable{"LeadInOfSilence", 30000.0, [] { return SilentLeadIn(10800, 12000); }, 3.0},
        // Lowered to three times the file's loudness, still above full scale.
        Unreachable{"HugePresetLevel", 1e308, [] { return Noise(TestFrames, 30000, 3); }, 3.0}),
    [](const testing::TestParamInfo<Unreachable>& info) { return info.param.Name; });

TEST_F(BalanceEnds, PassesPerFileAreBounded) {
    // The reference first: the pass counts the run leaves are those of a, balanced last.
    FileData& b = AddWav("b.wav", LevelSignal(2900));
    FileData& a = AddWav("a.wav", LevelSignal(1000));
    host.Choice = ReferenceChoice::Loudest;
    ops.Prepare(Request());
    const double loudness = a.Loudness;
    ops.Balance(Request());
    const int needed = ops.LastPlan().Compressions + ops.LastPlan().Reductions;
    ASSERT_GT(needed, 2) << "the case must need more passes than the bound below";
    EXPECT_TRUE(host.Warnings.empty());

    sink.Labels.clear();
    sink.FileNames.clear();
    ops.MaxAdjustPasses = 2;
    ops.Prepare(Request());
    ASSERT_EQ(a.Loudness, loudness);
    ops.Balance(Request());
    EXPECT_EQ(ops.LastPlan().Compressions + ops.LastPlan().Reductions, 2);
    EXPECT_EQ(ops.LastPlan().Ending, PlanEnding::Bound);
    EXPECT_EQ(PassesOver("Compressing:", a), 1) << "written once, after its passes";
    EXPECT_NEAR(a.Loudness, MeasuredLoudness(a, a.ResultFile), 1e-9);
    EXPECT_EQ(host.Warnings, std::vector<std::string>{Unreached(a, Target(a))});
    EXPECT_EQ(ops.FilesShortOfTarget, 1);
    EXPECT_FALSE(ops.ReadyToBalance);
    (void)b;
}

// A Balance cancelled in the silent first block of a file's write leaves that result and its
// Loudness as they were. A Loudness that a pass cut short in a silent stretch leaves at 0 is
// measured anew by the next Balance, in every reference mode, and all files are balanced.
class AfterACutShortPass : public BalanceEnds, public testing::WithParamInterface<ReferenceChoice> {
protected:
    void SetUp() override {
        quiet = &AddWav("quiet.wav", LevelSignal(1500));
        leadIn = &AddWav("leadin.wav", SilentLeadIn(6000, 2500));
        AddWav("loud.wav", LevelSignal(4000));
        ops.Prepare(Request());
        ASSERT_TRUE(ops.ReadyToBalance);
        const double prepared = leadIn->Loudness;
        const auto result = ReadFile(leadIn->ResultFile);
        sink.OnPump = [this] {
            if (sink.Labels.back() == "Reducing:" && sink.FileNames.back() == "leadin_tralux.wav" &&
                sink.Calls[sink.Calls.size() - 2] == "PassProgress 33") {
                ops.Cancel();
            }
        };
        ops.Balance(Request());
        sink.OnPump = nullptr;
        ASSERT_TRUE(ops.ReadyToBalance);
        ASSERT_EQ(leadIn->Loudness, prepared);
        ASSERT_EQ(ReadFile(leadIn->ResultFile), result);
        ASSERT_FALSE(leadIn->Ignored);
        // As a pass over the result cut short in its silent lead-in leaves it.
        leadIn->Loudness = 0.0;
        leadIn->LoudnessCutShort = true;
    }

    FileData* quiet = nullptr;
    FileData* leadIn = nullptr;
};

TEST_P(AfterACutShortPass, NextBalanceMeasuresTheResultFirst) {
    host.Choice = GetParam();
    host.Highlighted = leadIn;
    host.PresetLevel = 2000.0;
    sink.Labels.clear();
    sink.FileNames.clear();

    ops.Balance(Request());

    ASSERT_FALSE(sink.Labels.empty());
    EXPECT_EQ(sink.Labels.front(), "Measuring:");
    EXPECT_EQ(PassesOver("Measuring:", *leadIn), 1);
    EXPECT_EQ(Passes("Measuring:"), 1) << "only the cut-short result is measured";
    EXPECT_TRUE(host.Errors.empty());
    EXPECT_FALSE(ops.ReadyToBalance) << "the run went to its end";
    EXPECT_GT(ops.ReferenceLoudness, 1000.0);
    for (const auto& file : host.List) {
        SCOPED_TRACE(file->SourceFile);
        EXPECT_NEAR(file->Loudness, MeasuredLoudness(*file, file->ResultFile), 1e-9);
        const double target = Target(*file);
        if (file->Loudness >= target) {
            EXPECT_LT(file->Loudness / target, Operations::OnTargetTolerance);
        } else {
            // A reduction may land below its target, by up to a step of the table, and stay.
            EXPECT_LT(target / file->Loudness, 1.05);
        }
    }
}

std::string ReferenceName(const testing::TestParamInfo<ReferenceChoice>& info) {
    switch (info.param) {
        case ReferenceChoice::Quietest:
            return "Quietest";
        case ReferenceChoice::Loudest:
            return "Loudest";
        case ReferenceChoice::Highlighted:
            return "Highlighted";
        case ReferenceChoice::Preset:
            break;
    }
    return "Preset";
}

INSTANTIATE_TEST_SUITE_P(EachReference, AfterACutShortPass,
                         testing::Values(ReferenceChoice::Quietest, ReferenceChoice::Loudest,
                                         ReferenceChoice::Highlighted, ReferenceChoice::Preset),
                         ReferenceName);

// A result that really is silent (nothing a normalised copy can be, but a file can be made so)
// is told and left out; the other files are balanced among themselves.
TEST_F(BalanceEnds, SilentResultIsToldAndLeftOut) {
    FileData& a = AddWav("a.wav", LevelSignal(1000));
    AddWav("b.wav", LevelSignal(2000));
    FileData& c = AddWav("c.wav", LevelSignal(3000));
    ops.Prepare(Request());
    {
        // Changed through the file itself, so it is still the file Prepare created.
        std::fstream result(a.ResultFile, std::ios::in | std::ios::out | std::ios::binary);
        result.seekp(44);
        const std::string zeros(size_t(TestFrames) * 4, '\0');
        result.write(zeros.data(), std::streamsize(zeros.size()));
    }
    a.Loudness = 0.0;
    host.Choice = ReferenceChoice::Quietest;

    ops.Balance(Request());

    EXPECT_EQ(host.Warnings, std::vector<std::string>{messages::SilentResult(a.SourceFile)});
    EXPECT_GT(ops.ReferenceLoudness, 1900.0);
    EXPECT_EQ(PassesOver("Reducing:", a) + PassesOver("Compressing:", a), 0);
    EXPECT_GE(PassesOver("Reducing:", c), 1);
    EXPECT_FALSE(ops.ReadyToBalance);

    // As the highlighted reference it is refused like a silent file.
    host.Choice = ReferenceChoice::Highlighted;
    host.Highlighted = &a;
    ops.ReadyToBalance = true;
    ops.Balance(Request());
    EXPECT_EQ(host.Errors, std::vector<std::string>{messages::SilentReference});
}

}  // namespace
}  // namespace tralux::test
