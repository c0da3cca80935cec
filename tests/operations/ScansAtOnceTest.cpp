// Sources scanned at once, each on a thread of its own: the run gives what scanning them one
// after the other gives, and stops as that would.

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "RunFixture.h"

namespace tralux::test {
namespace {

namespace fs = std::filesystem;

class ScansAtOnce : public RunFixture {
protected:
    std::vector<std::string> sources;

    void MakeSources() {
        const std::vector<Samples> samples{LevelSignal(3000), Noise(TestFrames, 20000, 5),
                                           Samples(2 * TestFrames, 0), LevelSignal(9000),
                                           PeakSignal(12000)};
        for (size_t i = 0; i < samples.size(); ++i) {
            sources.push_back(WriteWav(dir.File("s" + std::to_string(i) + ".wav"), samples[i]));
        }
    }
    // The sources listed afresh, with no result yet; the third and fourth in one group.
    void ListAfresh() {
        host.List.clear();
        for (size_t i = 0; i < sources.size(); ++i) {
            FileData& file = AddPath(sources[i], i == 2 || i == 3 ? 1 : 0);
            fs::remove(fs::path(file.SourceFile).replace_extension("").string() + "_tralux.wav");
        }
        host.Warnings.clear();
        sink.Labels.clear();
        sink.FileNames.clear();
    }
    FileData& File(size_t i) { return *host.List[i]; }
};

struct ScanRecord {
    std::vector<std::vector<uint8_t>> Results;
    std::vector<double> Peaks, Loudness;
    std::vector<std::string> Warnings, Labels, FileNames;
};

TEST_F(ScansAtOnce, GiveTheSameResultsRecordsAndMessagesAsOneAtATime) {
    MakeSources();
    const auto run = [&](int atOnce) {
        ListAfresh();
        ops.FilesAtOnce = atOnce;
        ops.PrepareAndBalance(Request());
        ScanRecord record;
        for (const auto& file : host.List) {
            const bool written = fs::exists(file->ResultFile);
            record.Results.push_back(written ? ReadFile(file->ResultFile) : std::vector<uint8_t>());
            record.Peaks.push_back(file->Peak);
            record.Loudness.push_back(file->Loudness);
        }
        record.Warnings = host.Warnings;
        record.Labels = sink.Labels;
        record.FileNames = sink.FileNames;
        return record;
    };
    const ScanRecord one = run(1);
    const ScanRecord three = run(3);

    ASSERT_EQ(one.Warnings.size(), 1u);  // the silent file
    EXPECT_EQ(three.Warnings, one.Warnings);
    EXPECT_EQ(three.Labels, one.Labels);
    EXPECT_EQ(three.FileNames, one.FileNames);
    EXPECT_EQ(three.Peaks, one.Peaks);
    EXPECT_EQ(three.Loudness, one.Loudness);
    for (size_t i = 0; i < one.Results.size(); ++i) {
        EXPECT_EQ(three.Results[i], one.Results[i]) << i;
        EXPECT_EQ(one.Results[i].empty(), i == 2) << i;
    }
}

// Cancel during the second file's scan: no file after it takes anything from a scan, even one a
// worker had begun, and nothing is written.
TEST_F(ScansAtOnce, CancelStopsEveryWorkerAndNoLaterFileIsChanged) {
    MakeSources();
    ListAfresh();
    ops.FilesAtOnce = 2;
    sink.OnPump = [&] {
        if (sink.Labels.back() == "Scanning:" && sink.FileNames.back() == "s1.wav") {
            ops.Cancel();
        }
    };
    ops.PrepareAndBalance(Request());

    EXPECT_FALSE(ops.Running());
    EXPECT_GT(File(0).Peak, 0.0);
    for (size_t i = 2; i < host.List.size(); ++i) {
        EXPECT_EQ(File(i).Peak, 0.0) << i;
        EXPECT_EQ(File(i).ScanDigest, 0u) << i;
    }
    for (const auto& file : host.List) {
        EXPECT_FALSE(fs::exists(file->ResultFile)) << file->ResultFile;
    }
    EXPECT_EQ(std::count(sink.Labels.begin(), sink.Labels.end(), "Scanning:"), 2);
}

// A source gone before its scan is told in its turn, after the files before it were scanned,
// and the files after it are left as they were.
TEST_F(ScansAtOnce, ASourceThatCannotBeOpenedIsToldInItsTurn) {
    MakeSources();
    ListAfresh();
    fs::remove(sources[3]);
    ops.FilesAtOnce = 2;
    ops.PrepareAndBalance(Request());

    EXPECT_FALSE(ops.Running());
    ASSERT_EQ(host.Errors.size(), 1u);
    EXPECT_NE(host.Errors[0].find(sources[3]), std::string::npos);
    EXPECT_GT(File(0).Peak, 0.0);
    EXPECT_GT(File(1).Peak, 0.0);
    EXPECT_EQ(File(4).Peak, 0.0);
    EXPECT_EQ(host.Warnings.size(), 1u);  // the silent third file, before the failure
    for (const auto& file : host.List) {
        EXPECT_FALSE(fs::exists(file->ResultFile)) << file->ResultFile;
    }
}

}  // namespace
}  // namespace tralux::test
