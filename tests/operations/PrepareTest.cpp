#include <cmath>
#include <filesystem>
#include <string>

#include "RunFixture.h"

namespace tralux::test {
namespace {

namespace fs = std::filesystem;

// What the normalising gain makes of a source sample: rounded half to even, and -32768
// never written.
int16_t Scaled(int16_t s, double gain) {
    const double r = std::nearbyint(s * gain);
    return static_cast<int16_t>(r == -32768.0 ? -32767.0 : r);
}

void ExpectScaled(const Samples& source, const Samples& result, double gain) {
    ASSERT_EQ(source.size(), result.size());
    for (size_t i = 0; i < source.size(); ++i) {
        ASSERT_EQ(result[i], Scaled(source[i], gain)) << "sample " << i;
    }
}

int16_t PeakOf(const Samples& samples) {
    int peak = 0;
    for (int16_t s : samples) {
        peak = std::max(peak, std::min(32767, std::abs(static_cast<int>(s))));
    }
    return static_cast<int16_t>(peak);
}

class PrepareTest : public RunFixture {};

TEST_F(PrepareTest, EachFileIsNormalisedToFullScale) {
    const Samples a = PeakSignal(16384);
    const Samples b = PeakSignal(8192);
    Samples c = PeakSignal(32767);
    c[11] = -32768;
    FileData& fa = AddWav("a.wav", a);
    FileData& fb = AddWav("b.wav", b);
    FileData& fc = AddWav("c.wav", c);
    RecordAnnouncements();

    ops.Prepare(Request());

    ExpectScaled(a, ResultSamples(fa), 32767.0 / 16384);
    ExpectScaled(b, ResultSamples(fb), 32767.0 / 8192);
    const Samples rc = ResultSamples(fc);
    ExpectScaled(c, rc, 1.0);
    EXPECT_EQ(rc[11], -32767);
    for (const FileData* f : {&fa, &fb, &fc}) {
        EXPECT_EQ(PeakOf(ResultSamples(*f)), 32767);
        EXPECT_TRUE(f->Normalised);
        EXPECT_DOUBLE_EQ(f->Loudness, MeasuredLoudness(*f, f->ResultFile));
    }
    EXPECT_EQ(fa.Peak, 16384);
    EXPECT_TRUE(ops.ReadyToBalance);
    EXPECT_TRUE(ops.SourceLoudnessShown);
    EXPECT_TRUE(ops.ResultLoudnessShown);
    EXPECT_FALSE(engine.Running);
    // 1 unit per frame for the scan, 2 for normalising, all used up by the end.
    EXPECT_EQ(announced, std::vector<double>{3.0 * TotalFrames()});
    EXPECT_DOUBLE_EQ(engine.Estimator.WorkRemaining, 0.0);
    ASSERT_EQ(host.ProgressLines.size(), 1u);
    EXPECT_EQ(host.ProgressLines[0],
              (std::vector<std::string>{"a_tralux.wav", "b_tralux.wav", "c_tralux.wav"}));
    EXPECT_EQ(host.Log.back(), "HideProgressLine");
    EXPECT_FALSE(host.ProgressLineShown);
}

TEST_F(PrepareTest, GroupMembersShareOneGain) {
    const Samples a = PeakSignal(16000);
    Samples b = PeakSignal(8000);
    const Samples x = PeakSignal(10000);
    FileData& fa = AddWav("a.wav", a, 1);
    FileData& fb = AddWav("b.wav", b, 1);
    FileData& fx = AddWav("x.wav", x);

    ops.Prepare(Request());

    ExpectScaled(a, ResultSamples(fa), 32767.0 / 16000);
    ExpectScaled(b, ResultSamples(fb), 32767.0 / 16000);
    ExpectScaled(x, ResultSamples(fx), 32767.0 / 10000);
    ASSERT_EQ(ops.Groups.size(), 1u);
    EXPECT_EQ(ops.Groups[0]->Peak, 16000);
    EXPECT_EQ(ops.Groups[0]->Loudest, &fa);
    EXPECT_EQ(ops.Groups[0]->Quietest, &fb);
    EXPECT_DOUBLE_EQ(fa.LoudestRatio, 1.0);
    EXPECT_DOUBLE_EQ(fb.QuietestRatio, 1.0);
    EXPECT_DOUBLE_EQ(fb.LoudestRatio, fb.Loudness / fa.Loudness);
    EXPECT_DOUBLE_EQ(fa.QuietestRatio, fa.Loudness / fb.Loudness);
    EXPECT_NEAR(fb.LoudestRatio, fb.ScanLoudness / fa.ScanLoudness, 1e-3);
    EXPECT_DOUBLE_EQ(fx.LoudestRatio, 1.0);  // ungrouped ratios are left alone
}

TEST_F(PrepareTest, SilentFileIsReportedAndSetAside) {
    FileData& a = AddWav("a.wav", LevelSignal(1000));
    FileData& s = AddWav("s.wav", Constant(TestFrames, 0, 0), 2);
    FileData& b = AddWav("b.wav", LevelSignal(2000));

    ops.Prepare(Request());

    const std::string box =
        "File \"" + s.SourceFile + "\" is completely silent and will be ignored";
    EXPECT_EQ(host.Warnings, std::vector<std::string>{box});
    EXPECT_TRUE(s.Ignored);
    EXPECT_FALSE(fs::exists(s.ResultFile));
    EXPECT_TRUE(a.Normalised);
    EXPECT_TRUE(b.Normalised);
    EXPECT_TRUE(ops.ReadyToBalance);
    EXPECT_TRUE(ops.Groups.empty()) << "a group of silent members gets no record";
    EXPECT_EQ(PassesOver("Normalising:", s), 0);

    // Reported again while silent; once it has sound it stays set aside without a box.
    ops.Prepare(Request());
    EXPECT_EQ(host.Warnings.size(), 2u);
    WriteWav(s.SourceFile, LevelSignal(1000));
    ops.Prepare(Request());
    EXPECT_EQ(host.Warnings.size(), 2u);
    EXPECT_TRUE(s.Ignored);
    EXPECT_FALSE(fs::exists(s.ResultFile));
}

TEST_F(PrepareTest, LoneUsableGroupMemberIsNormalisedAlone) {
    FileData& a = AddWav("a.wav", PeakSignal(12000), 3);
    AddWav("s.wav", Constant(TestFrames, 0, 0), 3);
    ops.Prepare(Request());
    EXPECT_EQ(PeakOf(ResultSamples(a)), 32767);
    EXPECT_DOUBLE_EQ(a.LoudestRatio, 1.0);
    EXPECT_DOUBLE_EQ(a.QuietestRatio, 1.0);
    ASSERT_EQ(ops.Groups.size(), 1u);
}

TEST_F(PrepareTest, CancelDuringTheSecondScan) {
    AddWav("a.wav", LevelSignal(1000));
    // The part read before the cancel is silent; a partial scan proves nothing.
    Samples quietStart = LevelSignal(1000);
    std::fill(quietStart.begin(), quietStart.begin() + 2 * 5000, 0);
    FileData& b = AddWav("b.wav", quietStart);
    FileData& c = AddWav("c.wav", LevelSignal(1000));
    sink.OnPump = [&] {
        if (!sink.FileNames.empty() && sink.FileNames.back() == "b.wav" &&
            sink.Progress.size() == 4) {
            ops.Cancel();
        }
    };

    ops.Prepare(Request());

    EXPECT_EQ(Passes("Scanning:"), 2);
    EXPECT_EQ(Passes("Normalising:"), 0);
    EXPECT_TRUE(host.Warnings.empty());
    EXPECT_FALSE(b.Ignored);
    EXPECT_EQ(c.Peak, 0);
    EXPECT_FALSE(ops.ReadyToBalance);
    EXPECT_FALSE(ops.SourceLoudnessShown);
    EXPECT_FALSE(ops.ResultLoudnessShown);
    EXPECT_FALSE(engine.Running);
    EXPECT_EQ(host.Log.back(), "HideProgressLine");
}

TEST_F(PrepareTest, CancelDuringTheSecondNormalise) {
    FileData& a = AddWav("a.wav", LevelSignal(1000));
    FileData& b = AddWav("b.wav", LevelSignal(1000));
    FileData& c = AddWav("c.wav", LevelSignal(1000));
    sink.OnPump = [&] {
        if (!sink.Labels.empty() && sink.Labels.back() == "Normalising:" &&
            sink.FileNames.back() == "b.wav" && sink.Calls.size() >= 2 &&
            sink.Calls[sink.Calls.size() - 2] == "PassProgress 33") {
            ops.Cancel();
        }
    };

    ops.PrepareAndBalance(Request());

    const auto size = [](const std::string& path) { return fs::file_size(path); };
    EXPECT_EQ(size(a.ResultFile), 44u + 4u * TestFrames);
    // Nothing cut short under a result's name.
    EXPECT_FALSE(fs::exists(b.ResultFile));
    EXPECT_FALSE(fs::exists(c.ResultFile));
    EXPECT_EQ(dir.Names(), (std::vector<std::string>{"a.wav", "a_tralux.wav", "b.wav", "c.wav"}));
    EXPECT_TRUE(a.Normalised);
    EXPECT_FALSE(b.Normalised);
    EXPECT_FALSE(ops.ReadyToBalance);
    // The Balance phase of Prepare & Balance does not start.
    EXPECT_EQ(host.ProgressLines.size(), 1u);
    EXPECT_EQ(Passes("Compressing:") + Passes("Reducing:"), 0);
    EXPECT_TRUE(host.WarningQuestions.empty());
}

TEST_F(PrepareTest, RefusedCheckStartsNothing) {
    FileData& a = AddWav("a.wav", LevelSignal(1000));
    options.addoutputext = false;
    ops.Prepare(Request());
    EXPECT_TRUE(sink.Labels.empty());
    EXPECT_EQ(a.ScanLoudness, 0.0);
    EXPECT_EQ(host.Count("ShowProgressLine"), 0);
    EXPECT_FALSE(ops.SourceLoudnessShown);
}

TEST_F(PrepareTest, SourceThatCannotBeOpenedEndsTheRunAsACancelDoes) {
    AddWav("a.wav", LevelSignal(1000));
    FileData& b = AddWav("b.wav", LevelSignal(1000));
    fs::remove(b.SourceFile);

    ops.Prepare(Request());

    ASSERT_EQ(host.Errors.size(), 1u);
    EXPECT_NE(host.Errors[0].find(b.SourceFile), std::string::npos);
    EXPECT_FALSE(engine.Running);
    EXPECT_FALSE(ops.ReadyToBalance);
    EXPECT_FALSE(ops.ResultLoudnessShown);
    EXPECT_FALSE(host.ProgressLineShown);
    EXPECT_EQ(host.Log.back(), "HideProgressLine");
    EXPECT_EQ(host.Count("ShowProgressLine"), 1);
    EXPECT_EQ(host.Count("HideProgressLine"), 1);
}

TEST_F(PrepareTest, ResultThatCannotBeCreatedEndsTheRunAsACancelDoes) {
    FileData& a = AddWav("a.wav", LevelSignal(1000));
    options.samefolder = 0;
    options.outputdir = dir.File("missing");  // never made: the normalise pass cannot create

    ops.Prepare(Request());

    ASSERT_EQ(host.Errors.size(), 1u);
    EXPECT_NE(host.Errors[0].find(a.ResultFile), std::string::npos);
    EXPECT_FALSE(engine.Running);
    EXPECT_FALSE(ops.ReadyToBalance);
    EXPECT_FALSE(host.ProgressLineShown);
    EXPECT_EQ(host.Log.back(), "HideProgressLine");
}

// Nothing listed: no handler touches a record, a file or the window.
class EmptyList : public RunFixture, public ::testing::WithParamInterface<int> {};

TEST_P(EmptyList, RunEndsAtOnce) {
    ops.ReadyToBalance = true;
    options.samefolder = 2;
    switch (GetParam()) {
        case 0:
            ops.Prepare(Request());
            break;
        case 1:
            ops.Balance(Request());
            break;
        default:
            ops.PrepareAndBalance(Request());
    }
    EXPECT_TRUE(host.Log.empty());
    EXPECT_TRUE(sink.Calls.empty());
    EXPECT_FALSE(engine.Running);
    EXPECT_TRUE(ops.ReadyToBalance);
}

INSTANTIATE_TEST_SUITE_P(Handlers, EmptyList, ::testing::Values(0, 1, 2));

}  // namespace
}  // namespace tralux::test
