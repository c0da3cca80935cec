// Files planned and written at once, one per worker: the run gives what working on them one
// after the other gives (bytes, records, messages, passes), and stops as that would, with no
// result after the file where it stopped.

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <iterator>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "../files/FlacTestFiles.h"
#include "FakeFileAccess.h"
#include "RunFixture.h"
#include "operations/Intake.h"

namespace tralux::test {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

// What a run left, to compare one at a time with at once.
struct WriteRecord {
    std::vector<std::vector<uint8_t>> Results;  // empty: no result file
    std::vector<double> Loudness;
    std::vector<bool> Normalised, IdentityKnown;
    std::vector<std::string> Warnings, Errors, Labels, FileNames;
    // Every call of the sink (but PumpEvents, which a run at once also makes while it waits)
    // and of the host, in order: passes, each step of progress, messages.
    std::vector<std::string> SinkCalls, HostLog;
    int ShortOfTarget = 0;
    int PlanningReads = 0;
    size_t Created = 0;           // results created
    size_t CreatedByWorkers = 0;  // of which on a thread other than the run's
    size_t OpenedByWorkers = 0;   // files opened (to scan, count or write) the same way
    std::vector<BroadcastLoudness> SourceMeasures, ResultMeasures;
};

void ExpectSameMeasures(const BroadcastLoudness& a, const BroadcastLoudness& b,
                        const std::string& what) {
    EXPECT_EQ(a.Measured, b.Measured) << what;
    EXPECT_EQ(a.IntegratedLufs, b.IntegratedLufs) << what;
    EXPECT_EQ(a.TruePeakDbtp, b.TruePeakDbtp) << what;
    EXPECT_EQ(a.RangeLu, b.RangeLu) << what;
    EXPECT_EQ(a.SamplePeak, b.SamplePeak) << what;
    EXPECT_EQ(a.GroupLufs, b.GroupLufs) << what;
    EXPECT_EQ(a.SegmentEnergies, b.SegmentEnergies) << what;
    EXPECT_EQ(a.SegmentFrames, b.SegmentFrames) << what;
}

class WritesAtOnce : public ::testing::Test {
protected:
    TempDir dir;
    FakeProgressSink sink;
    FakeFileAccess files;
    AudioEngine engine{sink, [] { return 0.0; }, files};
    Options options;
    FakeRunHost host;
    Operations ops{engine, host};
    UngroupedNumbers numbers;
    std::vector<std::string> sources;
    std::vector<int32_t> groups;
    size_t createdSeen = 0;  // the creates an earlier Record counted
    size_t openedSeen = 0;

    WritesAtOnce() {
        files.Shared = true;
        options.maxcompfactor = 20.0;
        options.warncompfactor = 20.0;
    }

    void AddSource(const std::string& path, int32_t group = 0) {
        sources.push_back(path);
        groups.push_back(group);
    }
    // 16-bit files (two of them a track group), a 24-bit file and a FLAC file.
    void MakeMixedSources() {
        AddSource(WriteWav(dir.File("a.wav"), LevelSignal(3000)));
        AddSource(WriteWav(dir.File("b.wav"), Noise(TestFrames, 20000, 5)));
        AddSource(WriteWav(dir.File("c.wav"), LevelSignal(9000)), 1);
        AddSource(WriteWav(dir.File("d.wav"), PeakSignal(12000)), 1);
        AnyWavLayout wide;
        wide.bitsPerSample = 24;
        wide.sampleRate = 48000;
        const std::string deep = dir.File("e24.wav");
        WriteFile(deep, MakeAnyWav(FrameBytes(wide, TestFrames), wide));
        AddSource(deep);
        FlacShape shape;
        shape.Frames = 23000;
        shape.Scale = 0.4;
        const std::string flac = dir.File("f.flac");
        MakeFlacFile(flac, shape);
        AddSource(flac);
        AddSource(WriteWav(dir.File("g.wav"), LevelSignal(6000)));
    }
    // Half a second of noise each (long enough for the loudness gates), two of them a track group,
    // and a short 8-bit file (metered on its decoded samples).
    void MakeMeteredSources() {
        AddSource(WriteWav(dir.File("m0.wav"), Noise(22050, 3000, 1)));
        AddSource(WriteWav(dir.File("m1.wav"), Noise(22050, 20000, 2)));
        AddSource(WriteWav(dir.File("m2.wav"), Noise(22050, 9000, 3)), 1);
        AddSource(WriteWav(dir.File("m3.wav"), Noise(22050, 12000, 4)), 1);
        AnyWavLayout narrow;
        narrow.bitsPerSample = 8;
        const std::string coarse = dir.File("m8.wav");
        WriteFile(coarse, MakeAnyWav(FrameBytes(narrow, TestFrames), narrow));
        AddSource(coarse);
    }
    void MakePlainSources(int count) {
        for (int i = 0; i < count; ++i) {
            AddSource(WriteWav(dir.File("p" + std::to_string(i) + ".wav"),
                               LevelSignal(2000.0 + 1500.0 * i)));
        }
    }

    // The sources listed afresh, no result left from a run before.
    void ListAfresh() {
        host.List.clear();
        SameFileIndex listed(SameFileRule::Listing);
        for (size_t i = 0; i < sources.size(); ++i) {
            Intake intake = TakeIn(sources[i], listed, numbers);
            ASSERT_TRUE(intake.record) << intake.refusal;
            FileData& file = host.Add(std::move(intake.record));
            file.GroupNumber = groups[i];
        }
        ClearMessages();
    }
    void ClearMessages() {
        host.Warnings.clear();
        host.Errors.clear();
        sink.Labels.clear();
        sink.FileNames.clear();
        sink.Errors.clear();
        sink.Calls.clear();
        host.Log.clear();
    }
    void RemoveResults() {
        for (const auto& file : host.List) {
            fs::remove(file->ResultFile);
        }
    }
    FileData& File(size_t i) { return *host.List[i]; }

    WriteRecord Record() {
        WriteRecord record;
        for (const auto& file : host.List) {
            const bool written = fs::exists(file->ResultFile);
            record.Results.push_back(written ? ReadFile(file->ResultFile) : std::vector<uint8_t>());
            record.Loudness.push_back(file->Loudness);
            record.Normalised.push_back(file->Normalised);
            record.IdentityKnown.push_back(file->ResultIdentity.Known);
            record.SourceMeasures.push_back(file->SourceBroadcast);
            record.ResultMeasures.push_back(file->ResultBroadcast);
        }
        record.Warnings = host.Warnings;
        record.Errors = sink.Errors;
        record.Labels = sink.Labels;
        record.FileNames = sink.FileNames;
        record.ShortOfTarget = ops.FilesShortOfTarget;
        record.PlanningReads = ops.PlanningReads;
        record.CreatedByWorkers = size_t(
            std::count_if(files.CreatedBy.begin() + createdSeen, files.CreatedBy.end(),
                          [](std::thread::id id) { return id != std::this_thread::get_id(); }));
        record.Created = files.CreatedBy.size() - createdSeen;
        createdSeen = files.CreatedBy.size();
        record.OpenedByWorkers = size_t(
            std::count_if(files.OpenedBy.begin() + openedSeen, files.OpenedBy.end(),
                          [](std::thread::id id) { return id != std::this_thread::get_id(); }));
        openedSeen = files.OpenedBy.size();
        std::copy_if(sink.Calls.begin(), sink.Calls.end(), std::back_inserter(record.SinkCalls),
                     [](const std::string& call) { return call != "PumpEvents"; });
        record.HostLog = host.Log;
        return record;
    }

    // A Prepare & Balance of the sources listed afresh whose write of failing fails.
    WriteRecord RunWithAFailedWrite(int atOnce, const std::string& failing) {
        ListAfresh();
        files.FailWritesTo = dir.File(failing);
        ops.FilesAtOnce = atOnce;
        ops.PrepareAndBalance(host.Request(options));
        WriteRecord record = Record();
        RemoveResults();
        return record;
    }

    // A Prepare & Balance of the sources listed afresh, with how often each source was opened.
    std::pair<WriteRecord, std::vector<int>> RunCountingReads(int atOnce, size_t kept,
                                                              size_t bytes) {
        ListAfresh();
        ops.FilesAtOnce = atOnce;
        ops.HistogramsKept = kept;
        ops.HistogramBytesKept = bytes;
        const size_t openedBefore = files.Opened.size();
        ops.PrepareAndBalance(host.Request(options));
        std::vector<int> reads;
        for (const std::string& source : sources) {
            reads.push_back(int(
                std::count(files.Opened.begin() + long(openedBefore), files.Opened.end(), source)));
        }
        WriteRecord record = Record();
        RemoveResults();
        return {record, reads};
    }

    bool TemporaryFilesLeft() const {
        for (const auto& entry : fs::directory_iterator(dir.Path())) {
            if (entry.path().filename().string().rfind(".tralux-", 0) == 0) {
                return true;
            }
        }
        return false;
    }

    // Long lists, told from where they part.
    static void ExpectSameCalls(const std::vector<std::string>& atOnce,
                                const std::vector<std::string>& inTurn) {
        const auto parted =
            std::mismatch(atOnce.begin(), atOnce.end(), inTurn.begin(), inTurn.end());
        const size_t at = size_t(parted.first - atOnce.begin());
        const auto from = [at](const std::vector<std::string>& calls) {
            std::string text;
            for (size_t i = at; i < std::min(calls.size(), at + 6); ++i) {
                text += calls[i] + "; ";
            }
            return text;
        };
        EXPECT_TRUE(atOnce == inTurn) << "from call " << at << ": at once " << from(atOnce)
                                      << "\none at a time " << from(inTurn);
    }
    static void ExpectSame(const WriteRecord& atOnce, const WriteRecord& inTurn) {
        EXPECT_EQ(atOnce.Warnings, inTurn.Warnings);
        EXPECT_EQ(atOnce.Errors, inTurn.Errors);
        EXPECT_EQ(atOnce.Labels, inTurn.Labels);
        ExpectSameCalls(atOnce.SinkCalls, inTurn.SinkCalls);
        ExpectSameCalls(atOnce.HostLog, inTurn.HostLog);
        EXPECT_EQ(atOnce.FileNames, inTurn.FileNames);
        EXPECT_EQ(atOnce.Loudness, inTurn.Loudness);
        EXPECT_EQ(atOnce.Normalised, inTurn.Normalised);
        EXPECT_EQ(atOnce.IdentityKnown, inTurn.IdentityKnown);
        EXPECT_EQ(atOnce.ShortOfTarget, inTurn.ShortOfTarget);
        EXPECT_EQ(atOnce.PlanningReads, inTurn.PlanningReads);
        ASSERT_EQ(atOnce.Results.size(), inTurn.Results.size());
        for (size_t i = 0; i < inTurn.Results.size(); ++i) {
            EXPECT_TRUE(atOnce.Results[i] == inTurn.Results[i]) << "file " << i;
            ExpectSameMeasures(atOnce.SourceMeasures[i], inTurn.SourceMeasures[i],
                               "source " + std::to_string(i));
            ExpectSameMeasures(atOnce.ResultMeasures[i], inTurn.ResultMeasures[i],
                               "result " + std::to_string(i));
        }
    }
};

// The quietest reference compresses every other file; one adjust step leaves some short of
// their targets, each told in its turn. Past the first two files the sources' values are
// counted again, by the workers.
TEST_F(WritesAtOnce, PrepareAndBalanceGiveTheSameAsOneAtATime) {
    MakeMixedSources();
    ops.HistogramsKept = 2;
    ops.MaxAdjustPasses = 1;
    const auto run = [&](int atOnce) {
        ListAfresh();
        ops.FilesAtOnce = atOnce;
        RunRequest request = host.Request(options);
        request.reference = ReferenceChoice::Quietest;
        ops.PrepareAndBalance(request);
        WriteRecord record = Record();
        RemoveResults();
        return record;
    };
    const WriteRecord inTurn = run(1);
    const WriteRecord atOnce = run(3);
    // Every file of another grid balanced alone, beside no other such file.
    ops.GridBytesAtOnce = 0;
    const WriteRecord gridAlone = run(3);

    EXPECT_EQ(inTurn.CreatedByWorkers, 0u);
    EXPECT_EQ(atOnce.CreatedByWorkers, inTurn.Results.size());
    // Each source scanned, and those past the first two counted again, on workers.
    EXPECT_GE(atOnce.OpenedByWorkers, 2 * inTurn.Results.size() + 4);
    ExpectSame(gridAlone, inTurn);
    EXPECT_GT(inTurn.ShortOfTarget, 0);
    EXPECT_TRUE(inTurn.Errors.empty());
    for (size_t i = 0; i < inTurn.Results.size(); ++i) {
        EXPECT_FALSE(inTurn.Results[i].empty()) << i;
    }
    ExpectSame(atOnce, inTurn);
    EXPECT_FALSE(TemporaryFilesLeft());
}

// Prepare writes the normalised copies; Balance rewrites each through a new file.
TEST_F(WritesAtOnce, PrepareThenBalanceGiveTheSameAsOneAtATime) {
    MakeMixedSources();
    const auto run = [&](int atOnce) {
        ListAfresh();
        ops.FilesAtOnce = atOnce;
        RunRequest request = host.Request(options);
        request.reference = ReferenceChoice::Loudest;
        ops.Prepare(request);
        std::vector<WriteRecord> records{Record()};
        ClearMessages();
        ops.Balance(request);
        records.push_back(Record());
        RemoveResults();
        return records;
    };
    const std::vector<WriteRecord> inTurn = run(1);
    const std::vector<WriteRecord> atOnce = run(2);

    EXPECT_TRUE(inTurn[1].Errors.empty());
    EXPECT_EQ(atOnce[0].CreatedByWorkers, inTurn[0].Results.size());
    EXPECT_GE(atOnce[0].OpenedByWorkers, 2 * inTurn[0].Results.size());
    EXPECT_GT(inTurn[1].Created, 0u);
    EXPECT_EQ(atOnce[1].CreatedByWorkers, inTurn[1].Created);
    ExpectSame(atOnce[0], inTurn[0]);
    ExpectSame(atOnce[1], inTurn[1]);
    EXPECT_FALSE(TemporaryFilesLeft());
}

// Cancel while the second file's result is written: a worker may have written the third file's
// whole by then, but it never takes its name; the first result stays whole.
TEST_F(WritesAtOnce, CancelStopsEveryWorkerAndKeepsOnlyTheResultsBeforeIt) {
    MakePlainSources(5);
    const auto run = [&](int atOnce) {
        ListAfresh();
        ops.FilesAtOnce = atOnce;
        bool cancelled = false;
        const size_t createdBefore = files.CreatedCount();
        sink.OnPump = [&] {
            if (cancelled || sink.Labels.back() == "Scanning:" ||
                sink.FileNames.back() != "p1.wav") {
                return;
            }
            // Gives the worker on the third file the time to write it whole.
            for (int k = 0; k < 100 && atOnce > 1 && files.CreatedCount() < createdBefore + 3;
                 ++k) {
                std::this_thread::sleep_for(10ms);
            }
            std::this_thread::sleep_for(atOnce > 1 ? 200ms : 0ms);
            ops.Cancel();
            cancelled = true;
        };
        ops.PrepareAndBalance(host.Request(options));
        sink.OnPump = nullptr;
        WriteRecord record = Record();
        RemoveResults();
        return record;
    };
    const WriteRecord inTurn = run(1);
    const size_t createdInTurn = files.Created.size();
    const WriteRecord atOnce = run(2);

    EXPECT_FALSE(ops.Running());
    EXPECT_GE(files.Created.size() - createdInTurn, 3u);  // the third file's write was begun
    ExpectSame(atOnce, inTurn);
    EXPECT_FALSE(atOnce.Results[0].empty());
    EXPECT_TRUE(atOnce.Normalised[0]);
    for (size_t i = 1; i < atOnce.Results.size(); ++i) {
        EXPECT_TRUE(atOnce.Results[i].empty()) << i;
        EXPECT_FALSE(atOnce.Normalised[i]) << i;
    }
    EXPECT_FALSE(TemporaryFilesLeft());
}

// A write that fails in one worker stops the run there, told once, as one at a time would.
TEST_F(WritesAtOnce, AFailedWriteInOneWorkerStopsTheRunAndIsTold) {
    MakePlainSources(5);
    const WriteRecord inTurn = RunWithAFailedWrite(1, "p2_tralux.wav");
    const WriteRecord atOnce = RunWithAFailedWrite(2, "p2_tralux.wav");

    EXPECT_FALSE(ops.Running());
    ASSERT_EQ(atOnce.Errors.size(), 1u);
    EXPECT_EQ(atOnce.Errors[0],
              "Failed to write to output file \"" + File(2).ResultFile + "\" (disk full?)");
    ExpectSame(atOnce, inTurn);
    EXPECT_FALSE(atOnce.Results[1].empty());
    for (size_t i = 2; i < atOnce.Results.size(); ++i) {
        EXPECT_TRUE(atOnce.Results[i].empty()) << i;
    }
    EXPECT_FALSE(TemporaryFilesLeft());
}

// Past the histograms kept, a file in no group is counted as it is scanned for its normalising,
// and read once more only to count it for its balancing, then for its write; a file in a group
// needs its group's peak first, so it is counted again for its normalising too. The results
// are those of a run that keeps every histogram.
TEST_F(WritesAtOnce, FilesPastTheHistogramsKeptAreReadOnceLessWhenInNoGroup) {
    MakePlainSources(4);
    AddSource(WriteWav(dir.File("q.wav"), LevelSignal(5000)), 1);
    AddSource(WriteWav(dir.File("r.wav"), PeakSignal(9000)), 1);
    const auto run = [&](int atOnce, size_t kept) {
        return RunCountingReads(atOnce, kept, ops.HistogramBytesKept);
    };
    const auto all = run(1, 256);
    const auto inTurn = run(1, 1);
    const auto atOnce = run(2, 1);

    EXPECT_EQ(all.second, (std::vector<int>{2, 2, 2, 2, 2, 2}));
    EXPECT_EQ(inTurn.second, (std::vector<int>{2, 3, 3, 3, 4, 4}));
    EXPECT_EQ(atOnce.second, inTurn.second);
    EXPECT_EQ(inTurn.first.Results, all.first.Results);
    EXPECT_EQ(inTurn.first.Loudness, all.first.Loudness);
    ExpectSame(atOnce.first, inTurn.first);
}

// However many files a run takes, each 16-bit source is read for its scan and for its write
// only: its counts are kept, packed, from the one to the other, in a group or not. A run with
// no room to keep them reads them again and gives the same results.
TEST_F(WritesAtOnce, PastTwoHundredAndFiftySixFilesEachSourceIsReadTwice) {
    for (int i = 0; i < 260; ++i) {
        AddSource(WriteWav(dir.File("n" + std::to_string(i) + ".wav"),
                           Noise(600, 2000 + 100 * i, uint32_t(i))),
                  i % 5 == 0 ? 1 + (i / 5) % 3 : 0);
    }
    const size_t keptByDefault = ops.HistogramsKept;
    const size_t bytesByDefault = ops.HistogramBytesKept;
    const auto inTurn = RunCountingReads(1, keptByDefault, bytesByDefault);
    const auto atOnce = RunCountingReads(2, keptByDefault, bytesByDefault);
    const auto noRoom = RunCountingReads(1, keptByDefault, 1);

    EXPECT_EQ(inTurn.second, std::vector<int>(sources.size(), 2));
    EXPECT_EQ(atOnce.second, inTurn.second);
    EXPECT_EQ(noRoom.second[1], 3);  // in no group: counted again for its balancing
    EXPECT_EQ(noRoom.second[0], 4);  // in a group: for its normalising too
    EXPECT_TRUE(inTurn.first.Errors.empty());
    EXPECT_EQ(inTurn.first.Results, noRoom.first.Results);
    EXPECT_EQ(inTurn.first.Loudness, noRoom.first.Loudness);
    ExpectSame(atOnce.first, inTurn.first);
}

// Metered runs (the broadcast measures shown, or balancing by LUFS) scan, plan and write at once
// too, each file with meters of its own: every measure, the group's loudness over its members'
// blocks included, is the one a run one file at a time takes, bit for bit.
TEST_F(WritesAtOnce, MeteredRunsGiveTheSameMeasuresAsOneAtATime) {
    MakeMeteredSources();
    const auto run = [&](int atOnce, BalanceMeasure measure, bool prepareFirst) {
        ListAfresh();
        ops.FilesAtOnce = atOnce;
        ops.MeasureBroadcast = true;
        RunRequest request = host.Request(options);
        // By LUFS the loudest reference: the quieter files are compressed, each pass read.
        request.reference =
            measure == BalanceMeasure::Lufs ? ReferenceChoice::Loudest : ReferenceChoice::Quietest;
        request.measure = measure;
        std::vector<WriteRecord> records;
        if (prepareFirst) {
            ops.Prepare(request);
            records.push_back(Record());
            ClearMessages();
            ops.Balance(request);
        } else {
            ops.PrepareAndBalance(request);
        }
        records.push_back(Record());
        RemoveResults();
        return records;
    };
    const std::pair<BalanceMeasure, bool> runs[] = {{BalanceMeasure::Rms, false},
                                                    {BalanceMeasure::Rms, true},
                                                    {BalanceMeasure::Lufs, false},
                                                    {BalanceMeasure::Lufs, true}};
    for (const auto& [measure, prepareFirst] : runs) {
        SCOPED_TRACE(std::string(measure == BalanceMeasure::Rms ? "rms" : "lufs") +
                     (prepareFirst ? ", Prepare then Balance" : ", Prepare & Balance"));
        const std::vector<WriteRecord> inTurn = run(1, measure, prepareFirst);
        const std::vector<WriteRecord> atOnce = run(2, measure, prepareFirst);
        const WriteRecord& first = atOnce.front();
        // Every source scanned on a worker; by RMS, every result written on one too; by LUFS,
        // those of the files alone that have a loudness (the group's on the run's thread, the
        // 8-bit file's, too short for the gates, normalised there).
        EXPECT_GE(first.OpenedByWorkers, sources.size());
        const WriteRecord& written = atOnce.back();
        EXPECT_GT(written.Created, 2u);
        EXPECT_EQ(written.CreatedByWorkers, measure == BalanceMeasure::Rms ? written.Created : 2u);
        const WriteRecord& last = inTurn.back();
        EXPECT_EQ(last.PlanningReads > 0, measure == BalanceMeasure::Lufs);
        EXPECT_TRUE(last.Errors.empty());
        for (size_t i = 0; i < sources.size(); ++i) {
            EXPECT_TRUE(last.SourceMeasures[i].Measured) << i;
            EXPECT_TRUE(last.ResultMeasures[i].Measured) << i;
        }
        EXPECT_TRUE(last.ResultMeasures[2].GroupLufs.has_value());
        EXPECT_TRUE(last.SourceMeasures[0].IntegratedLufs.has_value());
        for (size_t k = 0; k < inTurn.size(); ++k) {
            ExpectSame(atOnce[k], inTurn[k]);
        }
    }
    ops.MeasureBroadcast = false;
}

// A metered write that fails in one worker leaves no measure of the result it did not make,
// as one at a time.
TEST_F(WritesAtOnce, AFailedMeteredWriteLeavesTheMeasuresOfOneAtATime) {
    MakeMeteredSources();
    ops.MeasureBroadcast = true;
    const WriteRecord inTurn = RunWithAFailedWrite(1, "m1_tralux.wav");
    const WriteRecord atOnce = RunWithAFailedWrite(2, "m1_tralux.wav");
    ops.MeasureBroadcast = false;

    ASSERT_EQ(atOnce.Errors.size(), 1u);
    EXPECT_TRUE(inTurn.ResultMeasures[0].Measured);
    EXPECT_FALSE(inTurn.ResultMeasures[1].Measured);
    ExpectSame(atOnce, inTurn);
}

}  // namespace
}  // namespace tralux::test
