#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <filesystem>

#include "EngineFixture.h"

namespace tralux {
namespace {

using test::Samples;
using test::WavLayout;

class RunPass : public test::EngineTest {
protected:
    std::vector<size_t> WriteSizes(const std::string& path) const {
        std::vector<size_t> sizes;
        for (const auto& write : files.Writes) {
            if (write.Path == path) {
                sizes.push_back(write.Size);
            }
        }
        return sizes;
    }
    static std::string WriteFailure(const std::string& path) {
        return "Failed to write to output file \"" + path + "\" (disk full?)";
    }
};

TEST_F(RunPass, ReadOnlyPassSplitsBlocksAndReportsProgress) {
    FileData file = Add("a.wav", test::Noise(12345, 1000, 1));
    engine.RunPass(file, file.SourceFile, "", nullptr, "Scanning", 1.0);

    EXPECT_EQ(sink.Progress, (std::vector<int>{33, 66, 100}));
    // The header, the data in one read, and a look for what follows the data: all of it goes
    // into the digest a write compares with.
    EXPECT_EQ(files.Reads, (std::vector<size_t>{44, 49380, 20000}));
    EXPECT_TRUE(files.Writes.empty());
    EXPECT_TRUE(files.Created.empty());
    EXPECT_EQ(engine.Estimator.WorkDone, 12345);
    const std::vector<std::string> expected = {"PassStarted Scanning: a.wav",
                                               "PumpEvents",
                                               "PassProgress 33",
                                               "PumpEvents",
                                               "PassProgress 66",
                                               "PumpEvents",
                                               "PassProgress 100",
                                               "PumpEvents",
                                               "PassEnded",
                                               "PumpEvents"};
    EXPECT_EQ(sink.Calls, expected);
}

TEST_F(RunPass, ExactlyOneBlock) {
    FileData file = Add("a.wav", test::Noise(5000, 1000, 1));
    engine.RunPass(file, file.SourceFile, "", nullptr, "Scanning", 1.0);
    EXPECT_EQ(sink.Progress, (std::vector<int>{100}));
    EXPECT_EQ(files.Reads, (std::vector<size_t>{44, 20000, 20000}));
}

TEST_F(RunPass, WeightedFramesGoToTheEstimate) {
    FileData file = Add("a.wav", test::Noise(7001, 1000, 1));
    const ValueTable gain = GainTable(1.0);
    engine.RunPass(file, file.SourceFile, file.ResultFile, &gain, "Normalising", 2.5);
    // 5000 x 2.5 = 12500; 2001 x 2.5 = 5002.5, rounded to the even 5002.
    EXPECT_EQ(engine.Estimator.WorkDone, 12500 + 5002);
}

TEST_F(RunPass, CopyTakesLargeHeaderInPiecesUnchanged) {
    WavLayout layout;
    layout.chunksBeforeFormat = {{"LIST", std::vector<uint8_t>(45000 - 44 - 8, 0x11)}};
    const Samples samples = test::Noise(6000, 20000, 2);
    FileData file = Add("big.wav", samples, layout);
    ASSERT_EQ(file.HeaderSize, 45000);
    const ValueTable gain = GainTable(1.0);
    engine.RunPass(file, file.SourceFile, file.ResultFile, &gain, "Normalising", 2.0);

    // The header in pieces of a block, then the data in one write.
    EXPECT_EQ(WriteSizes(file.ResultFile), (std::vector<size_t>{20000, 20000, 5000, 24000}));
    const auto source = test::ReadFile(file.SourceFile);
    const auto result = test::ReadFile(file.ResultFile);
    EXPECT_EQ(result, source);  // gain 1 and no -32768: a byte-for-byte copy
    EXPECT_EQ(sink.Labels, (std::vector<std::string>{"Normalising:"}));
}

TEST_F(RunPass, CopyEndsWithZeroedTailThenWhatFollowedTheData) {
    WavLayout layout;
    layout.tailBytes = 1;
    layout.afterData = {'L', 'I', 'S', 'T', 2, 0, 0, 0, 9, 9};
    FileData file = Add("tail.wav", test::Noise(10, 1000, 3), layout);
    const ValueTable gain = GainTable(1.0);
    engine.RunPass(file, file.SourceFile, file.ResultFile, &gain, "Normalising", 2.0);
    auto source = test::ReadFile(file.SourceFile);
    const auto result = test::ReadFile(file.ResultFile);
    ASSERT_EQ(result.size(), source.size());
    source[44 + 40] = 0;  // the tail byte
    EXPECT_EQ(result, source) << "the header and its RIFF size, the frames and the tags";
}

TEST_F(RunPass, ChunksAfterTheDataAreCopiedInPiecesAndOnlyByAFinishedCopy) {
    WavLayout layout;
    layout.tailBytes = 3;
    std::vector<uint8_t> tags = {'L', 'I', 'S', 'T', 0xC8, 0xAF, 0, 0};
    for (int i = 0; i < 45000; ++i) {
        tags.push_back(uint8_t(i * 7));
    }
    layout.afterData = tags;
    FileData file = Add("tags.wav", test::Constant(12000, 3, -3), layout);
    const ValueTable gain = GainTable(1.0);
    engine.RunPass(file, file.SourceFile, file.ResultFile, &gain, "Normalising", 2.0);
    // Header, the three blocks in one write, the tail, then what follows the data in pieces
    // of a block.
    EXPECT_EQ(WriteSizes(file.ResultFile), (std::vector<size_t>{44, 48000, 3, 20000, 20000, 5008}));
    const auto result = test::ReadFile(file.ResultFile);
    ASSERT_EQ(result.size(), 44u + 48000u + 3u + tags.size());
    EXPECT_TRUE(std::equal(tags.begin(), tags.end(), result.end() - long(tags.size())));

    // A copy cut short by Cancel is not followed by chunks that would stand inside its data,
    // and does not take the name from the whole copy.
    files.Writes.clear();
    sink.Progress.clear();
    sink.AtBlock(2, [this] { engine.Running = false; });
    engine.RunPass(file, file.SourceFile, file.ResultFile, &gain, "Normalising", 2.0);
    EXPECT_EQ(WriteSizes(file.ResultFile), (std::vector<size_t>{44}));
    EXPECT_EQ(test::ReadFile(file.ResultFile), result);
}

TEST_F(RunPass, RewriteReplacesTheResultWithANewFileAndZeroesTail) {
    WavLayout layout;
    layout.tailBytes = 3;
    layout.afterData = {1, 2, 3};
    FileData file = Add("in.wav", test::Constant(11000, 1000, -1000), layout);
    TakeAsResult(file, file.SourceFile);
    const ValueTable gain = GainTable(0.5);
    engine.RunPass(file, file.SourceFile, file.SourceFile, &gain, "Final Limiting", 2.0);
    EXPECT_TRUE(sink.Errors.empty());
    EXPECT_EQ(files.Created, std::vector<std::string>{file.SourceFile});
    EXPECT_NE(engine.CreatedIdentity, file.ResultIdentity) << "another file took the name";
    EXPECT_EQ(test::ReadSamples(file.SourceFile, 44, 11000), test::Constant(11000, 500, -500));
    const auto bytes = test::ReadFile(file.SourceFile);
    ASSERT_EQ(bytes.size(), size_t(44 + 44000 + 3 + 3));
    // The tail is zeroed; what followed the data chunk stays.
    EXPECT_EQ(std::vector<uint8_t>(bytes.end() - 6, bytes.end()),
              (std::vector<uint8_t>{0, 0, 0, 1, 2, 3}));
    EXPECT_EQ(dir.Names(), std::vector<std::string>{"in.wav"});
}

TEST_F(RunPass, CancelDuringThirdBlockOfCopyLeavesTheEarlierResult) {
    WavLayout layout;
    layout.tailBytes = 2;
    const Samples samples = test::Constant(50000, 100, -100);
    FileData file = Add("ten.wav", samples, layout);
    ASSERT_EQ(file.BlockCount, 10);
    test::WriteFile(file.ResultFile, {'o', 'l', 'd'});
    const ValueTable gain = GainTable(2.0);
    sink.AtBlock(3, [this] { engine.Running = false; });
    engine.RunPass(file, file.SourceFile, file.ResultFile, &gain, "Normalising", 2.0);

    EXPECT_EQ(sink.Progress, (std::vector<int>{10, 20, 30}));
    // The header, then the data: a chunk of eight blocks, and the two left if the stream read
    // ahead before the stop.
    ASSERT_GE(files.Reads.size(), 2u);
    EXPECT_EQ(files.Reads[0], 44u);
    EXPECT_EQ(files.Reads[1], 160000u);
    if (files.Reads.size() > 2) {
        EXPECT_EQ(files.Reads, (std::vector<size_t>{44, 160000, 40000}));
    }
    EXPECT_EQ(sink.Ended, 1);
    EXPECT_EQ(sink.Calls.back(), "PumpEvents");
    EXPECT_FALSE(engine.Running);
    // Nothing cut short under the result's name, and no temporary file behind.
    EXPECT_EQ(test::ReadText(file.ResultFile), "old");
    EXPECT_EQ(dir.Names(), (std::vector<std::string>{"out-ten.wav", "ten.wav"}));
    EXPECT_EQ(files.Commits, 0);
}

TEST_F(RunPass, CancelDuringTheLastBlockStillGivesTheWholeResult) {
    FileData file = Add("three.wav", test::Constant(12000, 100, -100));
    const ValueTable gain = GainTable(2.0);
    sink.AtBlock(3, [this] { engine.Running = false; });
    engine.RunPass(file, file.SourceFile, file.ResultFile, &gain, "Normalising", 2.0);
    EXPECT_EQ(test::ReadSamples(file.ResultFile, 44, 12000), test::Constant(12000, 200, -200));
    EXPECT_EQ(files.Commits, 1);
}

TEST_F(RunPass, ResultThatCannotBeMadeWholeIsAFailedWrite) {
    FileData file = Add("a.wav", test::Constant(100, 1, 1));
    files.FailCommit = true;
    const ValueTable gain = GainTable(1.0);
    engine.RunPass(file, file.SourceFile, file.ResultFile, &gain, "Normalising", 2.0);
    EXPECT_EQ(sink.Errors, (std::vector<std::string>{WriteFailure(file.ResultFile)}));
    EXPECT_FALSE(engine.Running);
    EXPECT_EQ(dir.Names(), (std::vector<std::string>{"a.wav"}));
}

// How a pass is stopped: by a Cancel at a block, or by a write that fails (its number).
struct Stop {
    const char* Name;
    int Block;
    int FailingWrite;
};

// A rewrite stopped by Cancel or by a failed write leaves the result as it was, whole.
TEST_F(RunPass, StoppedRewriteLeavesTheResultAsItWas) {
    for (const Stop stop : {Stop{"Cancel", 3, 0}, Stop{"failed write", 0, 2}}) {
        SCOPED_TRACE(stop.Name);
        WavLayout layout;
        layout.tailBytes = 2;
        FileData file = Add("ten.wav", test::Constant(50000, 100, -100), layout);
        const auto before = test::ReadFile(file.SourceFile);
        TakeAsResult(file, file.SourceFile);
        engine.Running = true;
        sink.Errors.clear();
        sink.Progress.clear();
        sink.OnPump = nullptr;
        files.Writes.clear();
        files.FailWrite = stop.FailingWrite;
        if (stop.Block > 0) {
            sink.AtBlock(stop.Block, [this] { engine.Running = false; });
        }
        const ValueTable gain = GainTable(2.0);
        engine.RunPass(file, file.SourceFile, file.SourceFile, &gain, "Final Limiting", 2.0);
        EXPECT_FALSE(engine.Running);
        EXPECT_EQ(sink.Errors.size(), stop.FailingWrite != 0 ? 1u : 0u);
        EXPECT_EQ(test::ReadFile(file.SourceFile), before);
        EXPECT_EQ(dir.Names(), std::vector<std::string>{"ten.wav"});
    }
}

struct WriteFailure {
    std::string Name;
    int FailingWrite;
    size_t WritesTried;
    friend void PrintTo(const WriteFailure& f, std::ostream* os) { *os << f.Name; }
};

class FailedWrite : public RunPass, public testing::WithParamInterface<WriteFailure> {};

TEST_P(FailedWrite, StopsPassReportsPathAndClearsRunning) {
    WavLayout layout;
    layout.chunksBeforeFormat = {{"LIST", std::vector<uint8_t>(25000, 0)}};
    layout.tailBytes = 1;
    FileData file = Add("w.wav", test::Constant(12000, 7, 7), layout);  // header in 2 pieces
    files.FailWrite = GetParam().FailingWrite;
    const ValueTable gain = GainTable(1.0);
    engine.RunPass(file, file.SourceFile, file.ResultFile, &gain, "Normalising", 2.0);
    EXPECT_EQ(sink.Errors, (std::vector<std::string>{WriteFailure(file.ResultFile)}));
    EXPECT_FALSE(engine.Running);
    EXPECT_EQ(files.Writes.size(), GetParam().WritesTried);
    EXPECT_EQ(sink.Ended, 1);
    EXPECT_EQ(sink.Calls.back(), "PumpEvents");
    EXPECT_EQ(dir.Names(), (std::vector<std::string>{"w.wav"}));
}

// Writes: header 20000 + 5052, the three blocks in one write of 48000, tail 1.
INSTANTIATE_TEST_SUITE_P(Where, FailedWrite,
                         testing::Values(WriteFailure{"Header", 1, 1},
                                         WriteFailure{"Samples", 3, 3}, WriteFailure{"Tail", 4, 4}),
                         [](const auto& info) { return info.param.Name; });

TEST_F(RunPass, FileSystemRefusingToGrowIsAFailedWrite) {
    // The file size limit makes the kernel take only part of a write, as a full disk does.
    FileData file = Add("limit.wav", test::Constant(20000, 7, 7));
    rlimit old{};
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &old), 0);
    rlimit small = old;
    small.rlim_cur = 30000;
    const auto oldHandler = signal(SIGXFSZ, SIG_IGN);
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
    const ValueTable gain = GainTable(1.0);
    engine.RunPass(file, file.SourceFile, file.ResultFile, &gain, "Normalising", 2.0);
    setrlimit(RLIMIT_FSIZE, &old);
    signal(SIGXFSZ, oldHandler);

    EXPECT_EQ(sink.Errors, (std::vector<std::string>{WriteFailure(file.ResultFile)}));
    EXPECT_FALSE(engine.Running);
    EXPECT_EQ(dir.Names(), (std::vector<std::string>{"limit.wav"}));
}

// The data of a long file moves in reads and writes of 8 blocks, taken and written in order,
// while progress still comes block by block.
TEST_F(RunPass, LongCopyMovesItsDataInChunksOfEightBlocksInOrder) {
    const int32_t frames = 130 * 5000 + 1234;
    const Samples samples = test::Noise(frames, 32767, 11);
    FileData file = Add("long.wav", samples);
    const ValueTable gain = GainTable(0.7);
    engine.RunPass(file, file.SourceFile, file.ResultFile, &gain, "Normalising", 2.0);

    std::vector<size_t> sizes{44};
    sizes.insert(sizes.end(), 16, 160000);
    sizes.push_back(44936);
    EXPECT_EQ(WriteSizes(file.ResultFile), sizes);
    // The last read finds nothing after the data chunk.
    sizes.push_back(20000);
    EXPECT_EQ(files.Reads, sizes);
    ASSERT_EQ(sink.Progress.size(), 131u);
    EXPECT_EQ(sink.Progress[50], 38);
    EXPECT_EQ(sink.Progress.back(), 100);
    Samples expected = samples;
    scalar::GainSamples(expected.data(), expected.size(), 0.7);
    EXPECT_EQ(test::ReadSamples(file.ResultFile, 44, frames), expected);
    EXPECT_EQ(engine.Totals.SumOfSquares,
              scalar::GainSamples(Samples(samples).data(), samples.size(), 0.7));
}

// A long count shares each chunk with a second thread: the counts, the peak and sum of squares
// taken from them and the digest are those of one thread counting alone, whatever the chunk and
// block the data ends in, and a count stopped in a later chunk still ends.
TEST_F(RunPass, LongCountSharedWithASecondThreadCountsWhatOneThreadCounts) {
    Samples samples = test::Noise(130 * 5000 + 1234, 32767, 12);
    samples[3] = -32768;  // counted as read
    samples[70000] = samples[70001] = 5;
    FileData file = Add("long.wav", samples);
    SampleHistogram alone;
    engine.LongPassFrom = SIZE_MAX;
    files.Reads.clear();
    const PassTotals aloneTotals = engine.CountValues(file, file.SourceFile, alone);
    // Counted alone in the usual chunks (an engine beside others never splits, however long).
    ASSERT_GE(files.Reads.size(), 2u);
    EXPECT_EQ(files.Reads[1], 160000u);
    SampleHistogram shared;
    engine.LongPassFrom = 0;
    files.Reads.clear();
    const PassTotals sharedTotals = engine.CountValues(file, file.SourceFile, shared);
    // Shared out, the data moves in fewer, longer chunks (32 blocks), each handed on whole.
    std::vector<size_t> sizes{44};
    sizes.insert(sizes.end(), 4, 640000);
    sizes.insert(sizes.end(), {44936, 20000});
    EXPECT_EQ(files.Reads, sizes);

    EXPECT_EQ(shared.Counts, alone.Counts);
    EXPECT_EQ(shared.SampleCount(), samples.size());
    EXPECT_EQ(sharedTotals.Peak, aloneTotals.Peak);
    EXPECT_EQ(sharedTotals.SumOfSquares, aloneTotals.SumOfSquares);
    EXPECT_EQ(sharedTotals.Digest, aloneTotals.Digest);

    sink.Progress.clear();
    sink.AtBlock(60, [this] { engine.Running = false; });
    engine.CountValues(file, file.SourceFile, shared);
    EXPECT_FALSE(engine.Running);
    EXPECT_EQ(sink.Ended, 3);

    // A long copy moves its data in long chunks too, unless its engine works beside others;
    // the bytes are the same either way.
    Samples expected = samples;
    scalar::GainSamples(expected.data(), expected.size(), 0.5);
    const ValueTable gain = GainTable(0.5);
    for (const auto& [longPassFrom, chunk] :
         {std::pair{size_t{0}, size_t{640000}}, std::pair{SIZE_MAX, size_t{160000}}}) {
        engine.Running = true;
        engine.LongPassFrom = longPassFrom;
        files.Reads.clear();
        engine.RunPass(file, file.SourceFile, file.ResultFile, &gain, "Normalising", 2.0);
        ASSERT_GE(files.Reads.size(), 2u);
        EXPECT_EQ(files.Reads[1], chunk);
        EXPECT_EQ(test::ReadSamples(file.ResultFile, 44, int32_t(samples.size() / 2)), expected);
    }
}

TEST_F(RunPass, LongCopyStoppedInItsSecondChunkLeavesTheNameAsItWas) {
    // In the usual chunks and in the long ones of an engine that has the cores to itself.
    for (const auto& [longPassFrom, stop] :
         {std::pair{SIZE_MAX, Stop{"Cancel", 60, 0}},
          std::pair{SIZE_MAX, Stop{"failed write", 0, 3}},
          std::pair{size_t{0}, Stop{"Cancel, long chunks", 60, 0}},
          std::pair{size_t{0}, Stop{"failed write, long chunks", 0, 3}}}) {
        SCOPED_TRACE(stop.Name);
        engine.LongPassFrom = longPassFrom;
        FileData file = Add("long.wav", test::Noise(200 * 5000, 30000, 4));
        test::WriteFile(file.ResultFile, {'o', 'l', 'd'});
        engine.Running = true;
        sink.Errors.clear();
        files.Writes.clear();
        files.FailWrite = stop.FailingWrite;
        sink.OnPump = nullptr;
        if (stop.Block > 0) {
            sink.AtBlock(stop.Block, [this] { engine.Running = false; });
        }
        const ValueTable gain = GainTable(1.0);
        files.Reads.clear();
        engine.RunPass(file, file.SourceFile, file.ResultFile, &gain, "Normalising", 2.0);
        ASSERT_GE(files.Reads.size(), 2u);
        EXPECT_EQ(files.Reads[1], longPassFrom == 0 ? 640000u : 160000u);
        EXPECT_FALSE(engine.Running);
        EXPECT_EQ(sink.Errors.size(), stop.FailingWrite != 0 ? 1u : 0u);
        EXPECT_EQ(test::ReadText(file.ResultFile), "old");
        EXPECT_EQ(dir.Names(), (std::vector<std::string>{"long.wav", "out-long.wav"}));
        sink.Progress.clear();
    }
}

TEST_F(RunPass, MissingSourceRaisesOpenError) {
    FileData file = Add("gone.wav", test::Constant(10, 1, 1));
    std::filesystem::remove(file.SourceFile);
    try {
        engine.RunPass(file, file.SourceFile, "", nullptr, "Scanning", 1.0);
        FAIL() << "no error raised";
    } catch (const PassOpenError& error) {
        EXPECT_EQ(std::string(error.what()), "Cannot open file " + file.SourceFile);
        EXPECT_EQ(error.Reason(), std::strerror(ENOENT));
    }
    EXPECT_TRUE(sink.Progress.empty());
    EXPECT_TRUE(engine.Running);
}

TEST_F(RunPass, DestinationThatCannotBeCreatedClosesSource) {
    FileData file = Add("a.wav", test::Constant(10, 1, 1));
    // Each failure carries the system's reason for it.
    const std::pair<std::string, int> cases[] = {{dir.Path().string(), EISDIR},
                                                 {dir.File("no-such-folder/out.wav"), ENOENT},
                                                 {"/dev/full", EINVAL}};
    const ValueTable gain;  // each value as it is
    for (const auto& [destination, reason] : cases) {
        try {
            engine.RunPass(file, file.SourceFile, destination, &gain, "Normalising", 2.0);
            FAIL() << "no error raised for " << destination;
        } catch (const PassOpenError& error) {
            EXPECT_EQ(std::string(error.what()), "Cannot create file " + destination);
            EXPECT_EQ(error.ErrorNumber, reason) << destination;
        }
        // The source's lock is gone again.
        EXPECT_EQ(ReadWaveHeader(file.SourceFile).Result, WaveCheckResult::Valid);
    }
    EXPECT_TRUE(sink.Progress.empty());
}

TEST_F(RunPass, DestinationThatIsTheSourceUnderAnotherNameReplacesOnlyThatName) {
    const Samples samples = test::Noise(100, 30000, 4);
    FileData file = Add("a.wav", samples);
    const std::string link = dir.File("link.wav");
    std::filesystem::create_hard_link(file.SourceFile, link);
    const auto before = test::ReadFile(file.SourceFile);
    const ValueTable gain = GainTable(0.5);
    engine.RunPass(file, file.SourceFile, link, &gain, "Normalising", 2.0);
    EXPECT_EQ(test::ReadFile(file.SourceFile), before);
    EXPECT_NE(test::ReadFile(link), before);
    EXPECT_EQ(std::filesystem::hard_link_count(file.SourceFile), 1u);
}

TEST_F(RunPass, SourceLockedElsewhereCannotBeOpened) {
    FileData file = Add("a.wav", test::Constant(10, 1, 1));
    auto holder = PosixFileAccess().OpenExisting(file.SourceFile);
    ASSERT_NE(holder, nullptr);
    const ValueTable gain;
    EXPECT_THROW(
        engine.RunPass(file, file.SourceFile, file.SourceFile, &gain, "Final Limiting", 2.0),
        PassOpenError);
}

TEST_F(RunPass, ShortSourceIsReadAsSilenceAndOutputKeepsStatedLayout) {
    // The data chunk claims 12000 frames; the file holds 7000.
    const Samples samples = test::Constant(7000, 300, -300);
    auto bytes = test::MakeWav(test::Constant(12000, 300, -300));
    bytes.resize(44 + 7000 * 4);
    test::WriteFile(dir.File("short.wav"), bytes);
    FileData file(dir.File("short.wav"), 44, 12000, 0, numbers);
    file.ResultFile = dir.File("out.wav");
    const ValueTable gain = GainTable(1.0);
    engine.RunPass(file, file.SourceFile, file.ResultFile, &gain, "Normalising", 2.0);
    ASSERT_EQ(std::filesystem::file_size(file.ResultFile), 44u + 48000u);
    const Samples out = test::ReadSamples(file.ResultFile, 44, 12000);
    EXPECT_EQ(Samples(out.begin(), out.begin() + 14000), samples);
    EXPECT_EQ(Samples(out.begin() + 14000, out.end()), Samples(10000, 0));
}

TEST_F(RunPass, FileWithoutWholeFrameRunsNoBlock) {
    WavLayout layout;
    layout.tailBytes = 3;
    FileData file = Add("empty.wav", {}, layout);
    ASSERT_EQ(file.FrameCount, 0);
    engine.NormaliseFile(file, 1.0);
    EXPECT_TRUE(sink.Progress.empty());
    EXPECT_EQ(WriteSizes(file.ResultFile), (std::vector<size_t>{44, 3}));
    const auto result = test::ReadFile(file.ResultFile);
    EXPECT_EQ(result.size(), 47u);
    EXPECT_EQ(result.back(), 0);
    EXPECT_EQ(file.Loudness, 0.0);

    engine.ScanFile(file);
    EXPECT_EQ(file.Peak, 0);
    EXPECT_EQ(file.ScanLoudness, 0.0);
    EXPECT_EQ(sink.Ended, 2);
}

}  // namespace
}  // namespace tralux
