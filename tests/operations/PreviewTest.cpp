#include <filesystem>
#include <map>
#include <string>

#include "RunFixture.h"
#include "operations/Preview.h"

namespace tralux::test {
namespace {

namespace fs = std::filesystem;

// Every entry of the folder with its size and modification time.
std::map<std::string, std::pair<uintmax_t, fs::file_time_type>> Listing(const std::string& folder) {
    std::map<std::string, std::pair<uintmax_t, fs::file_time_type>> entries;
    for (const auto& entry : fs::directory_iterator(folder)) {
        entries[entry.path().filename().string()] = {
            entry.is_regular_file() ? entry.file_size() : 0, entry.last_write_time()};
    }
    return entries;
}

class PreviewTest : public RunFixture {
protected:
    void SetUp() override {
        options.samefolder = 1;
        options.overwritewarn = false;
        AddWav("loud.wav", LevelSignal(9000));
        AddWav("quiet.wav", LevelSignal(1500));
        AddWav("g1.wav", PeakSignal(12000), 1);
        AddWav("g2.wav", LevelSignal(2500), 1);
        AddWav("silent.wav", Samples(2 * TestFrames, 0));
        AddWav("mid.wav", LevelSignal(4000));
    }

    // Measures, plans for the host's controls, runs Prepare & Balance and compares every
    // planned loudness with the one the run wrote.
    void ExpectRunGivesThePlan(const Measurements& measured) {
        const Preview preview = ops.PlanFromMeasurements(measured, Request());
        ASSERT_TRUE(preview.Problem.empty()) << preview.Problem;
        ops.PrepareAndBalance(Request());
        for (size_t i = 0; i < host.List.size(); ++i) {
            const FileData& file = *host.List[i];
            ASSERT_EQ(preview.Rows[i].Planned, !file.Ignored) << file.SourceFile;
            if (file.Ignored) {
                continue;
            }
            EXPECT_TRUE(file.Normalised) << file.SourceFile;
            EXPECT_EQ(preview.Rows[i].Loudness, file.Loudness) << file.SourceFile;
            EXPECT_EQ(preview.Rows[i].Loudness, MeasuredLoudness(file, file.ResultFile))
                << file.SourceFile;
        }
    }
};

TEST_F(PreviewTest, MeasuringWritesNothingAndPlansWhatEveryRunThenDoes) {
    const auto before = Listing(dir.Path().string());
    const std::optional<Measurements> measured = ops.Measure();
    ASSERT_TRUE(measured.has_value());
    EXPECT_EQ(Listing(dir.Path().string()), before)
        << "a measuring run creates and changes nothing";
    EXPECT_EQ(Passes("Scanning:"), static_cast<int>(host.List.size()));
    size_t passes = sink.Labels.size();

    // Each choice planned again on the same counts, without a read, and then run for real.
    struct Choice {
        ReferenceChoice reference;
        size_t highlighted;
        double maxcomp;
        bool finalLimit;
    };
    const Choice choices[] = {{ReferenceChoice::Quietest, 0, 3.0, false},
                              {ReferenceChoice::Loudest, 0, 3.0, false},
                              {ReferenceChoice::Loudest, 0, 1.5, true},
                              {ReferenceChoice::Highlighted, 3, 4.0, true},
                              {ReferenceChoice::Preset, 0, 4.0, false}};
    host.PresetLevel = 5000.0;
    for (const Choice& choice : choices) {
        SCOPED_TRACE(static_cast<int>(choice.reference));
        host.Choice = choice.reference;
        host.Highlighted = host.List[choice.highlighted].get();
        options.maxcompfactor = choice.maxcomp;
        options.warncompfactor = 1.1;
        options.dofinalnorm = choice.finalLimit;
        options.normaliselevel = 30000;
        const Preview preview = ops.PlanFromMeasurements(*measured, Request());
        EXPECT_EQ(sink.Labels.size(), passes) << "planning again reads no file";
        EXPECT_FALSE(preview.Rows[4].Planned) << "the silent file";
        ExpectRunGivesThePlan(*measured);
        sink.Labels.clear();
        sink.FileNames.clear();
        passes = 0;
    }
}

TEST_F(PreviewTest, AChangedGroupIsPlannedWithoutMeasuringAgain) {
    const std::optional<Measurements> measured = ops.Measure();
    ASSERT_TRUE(measured.has_value());
    host.Choice = ReferenceChoice::Loudest;
    const Preview grouped = ops.PlanFromMeasurements(*measured, Request());
    // g1 leaves its group: it is normalised by its own peak and balanced on its own.
    host.List[2]->GroupNumber = 0;
    const Preview ungrouped = ops.PlanFromMeasurements(*measured, Request());
    EXPECT_NE(grouped.Rows[2].Loudness, ungrouped.Rows[2].Loudness);
    ExpectRunGivesThePlan(*measured);
}

TEST_F(PreviewTest, RowsTellGainCompressionAndAnUnreachedTarget) {
    const std::optional<Measurements> measured = ops.Measure();
    ASSERT_TRUE(measured.has_value());
    host.Choice = ReferenceChoice::Loudest;
    options.maxcompfactor = 4.0;
    const Preview preview = ops.PlanFromMeasurements(*measured, Request());
    const PreviewRow& quiet = preview.Rows[1];
    EXPECT_GT(quiet.Compression, 1.5) << "the quiet file is compressed toward the loudest";
    EXPECT_GT(quiet.GainDb, 3.0);
    EXPECT_EQ(preview.Rows[0].Compression, 1.0);
    EXPECT_TRUE(quiet.TargetReached);
    // One pass cannot bring the quiet file up: the plan says so, as the run would.
    ops.MaxAdjustPasses = 1;
    EXPECT_FALSE(ops.PlanFromMeasurements(*measured, Request()).Rows[1].TargetReached);
    host.Choice = ReferenceChoice::Preset;
    host.PresetLevel.reset();
    EXPECT_EQ(ops.PlanFromMeasurements(*measured, Request()).Problem, messages::NoPreset);
}

TEST_F(PreviewTest, ACancelledMeasuringGivesNothing) {
    host.OnEvent = [this](const std::string& line) {
        if (line == "ShowProgressLine") {
            ops.Cancel();
        }
    };
    EXPECT_FALSE(ops.Measure().has_value());
    EXPECT_FALSE(engine.Running);
    EXPECT_EQ(host.Log.back(), "HideProgressLine");
}

}  // namespace
}  // namespace tralux::test
