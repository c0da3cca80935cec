// A disk that fills up at any write of a run: the run stops with the message, no source
// changes, and the window is back at rest, ready for the next run.

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "FileSizeLimit.h"
#include "ReliabilityBench.h"

namespace tralux::test {
namespace {

enum class RunKind { Prepare, Balance, PrepareAndBalance };

struct RunCase {
    const char* Name;
    RunKind Kind;
};

void PrintTo(const RunCase& run, std::ostream* out) {
    *out << run.Name;
}

// Three files around the highlighted middle one: the quiet one is compressed, the loud one
// reduced, and every result is limited at the end. One has a tail, so the tail is written.
class Stage : public RunStage {
public:
    Stage() {
        options.dofinalnorm = true;
        options.normaliselevel = 20000;
        host.Choice = ReferenceChoice::Highlighted;
        ListWav("quiet.wav", Alternating(4500));
        WavLayout tail;
        tail.tailBytes = 2;
        host.Highlighted = &ListWav("middle.wav", Alternating(6000), tail);
        ListWav("loud.wav", Alternating(9000));
        for (const auto& file : host.List) {
            sums.push_back(Checksum(file->SourceFile));
        }
    }

    // Prepares first when the run is a Balance; returns the writes made before the run.
    size_t Before(RunKind kind) {
        if (kind == RunKind::Balance) {
            ops.Prepare(Request());
            EXPECT_TRUE(ops.ReadyToBalance);
        }
        return files.Writes.size();
    }

    void Start(RunKind kind) {
        switch (kind) {
            case RunKind::Prepare:
                ops.Prepare(Request());
                break;
            case RunKind::Balance:
                ops.Balance(Request());
                break;
            case RunKind::PrepareAndBalance:
                ops.PrepareAndBalance(Request());
                break;
        }
    }

    void ExpectSourcesUnchanged() const {
        for (size_t i = 0; i < host.List.size(); ++i) {
            EXPECT_EQ(Checksum(host.List[i]->SourceFile), sums[i]) << host.List[i]->SourceFile;
        }
    }

    std::vector<uint64_t> sums;
};

class FullDisk : public testing::TestWithParam<RunCase> {};

TEST_P(FullDisk, EveryWriteOfTheRunCanFailSafely) {
    const RunKind kind = GetParam().Kind;
    size_t prepareWrites;
    {
        Stage dry;
        dry.Start(RunKind::Prepare);
        prepareWrites = dry.files.Writes.size();
    }
    size_t points;
    {
        Stage dry;
        const size_t before = dry.Before(kind);
        dry.Start(kind);
        ASSERT_TRUE(dry.sink.Errors.empty());
        points = dry.files.Writes.size() - before;
        ASSERT_GE(points, 7u);  // each header and data chunk, and the tail
    }
    RecordProperty("WritePoints", int(points));
    for (size_t k = 1; k <= points; ++k) {
        SCOPED_TRACE("write " + std::to_string(k) + " of " + std::to_string(points));
        Stage stage;
        const size_t before = stage.Before(kind);
        stage.files.FailWrite = int(before + k);
        stage.Start(kind);

        const std::string failedPath = stage.files.Writes.at(before + k - 1).Path;
        EXPECT_EQ(stage.sink.Errors, std::vector<std::string>{"Failed to write to output file \"" +
                                                              failedPath + "\" (disk full?)"});
        EXPECT_EQ(stage.files.Writes.size(), before + k) << "written after the failure";
        EXPECT_TRUE(stage.host.Errors.empty());
        stage.ExpectSourcesUnchanged();
        stage.ExpectIdle();
        // A Balance stopped early may be started again; a Prepare stopped early may not.
        const bool balancing =
            kind == RunKind::Balance || (kind == RunKind::PrepareAndBalance && k > prepareWrites);
        EXPECT_EQ(stage.ops.ReadyToBalance, balancing);
        for (const auto& file : stage.host.List) {
            EXPECT_NE(file->SourceFile, failedPath);
            if (file->ResultFile == failedPath && kind == RunKind::Prepare) {
                EXPECT_FALSE(file->Normalised);
            }
        }

        // With room on the disk again, the same run goes through.
        stage.files.FailWrite = 0;
        stage.sink.Errors.clear();
        stage.Start(kind);
        EXPECT_TRUE(stage.sink.Errors.empty());
        EXPECT_TRUE(stage.host.Errors.empty());
        EXPECT_EQ(stage.ops.ReadyToBalance, kind == RunKind::Prepare);
        stage.ExpectSourcesUnchanged();
        stage.ExpectIdle();
    }
}

INSTANTIATE_TEST_SUITE_P(Runs, FullDisk,
                         testing::Values(RunCase{"Prepare", RunKind::Prepare},
                                         RunCase{"Balance", RunKind::Balance},
                                         RunCase{"PrepareAndBalance", RunKind::PrepareAndBalance}),
                         [](const testing::TestParamInfo<RunCase>& info) {
                             return info.param.Name;
                         });

// The same with real files on a file system that stops taking bytes: the message names the
// result, and nothing cut short is left under its name or beside it.
class DiskFillsUp : public testing::TestWithParam<int> {};

TEST_P(DiskFillsUp, AtAnyByteOfTheFirstResult) {
    Stage stage;
    const std::string result = stage.dir.File("quiet_tralux.wav");
    {
        FileSizeLimit limit{rlim_t(GetParam())};
        ASSERT_TRUE(limit.Active());
        stage.Start(RunKind::Prepare);
    }
    EXPECT_EQ(stage.sink.Errors, std::vector<std::string>{"Failed to write to output file \"" +
                                                          result + "\" (disk full?)"});
    EXPECT_FALSE(std::filesystem::exists(result));
    EXPECT_FALSE(std::filesystem::exists(stage.dir.File("middle_tralux.wav")));
    for (const std::string& name : stage.dir.Names()) {
        EXPECT_EQ(name.find(".tmp"), std::string::npos) << name;
    }
    EXPECT_FALSE(stage.ops.ReadyToBalance);
    stage.ExpectSourcesUnchanged();
    stage.ExpectIdle();
}

// Inside and at the edges of the header, of each block, and the last byte.
INSTANTIATE_TEST_SUITE_P(Limits, DiskFillsUp,
                         testing::Values(0, 1, 43, 44, 45, 20043, 20044, 20045, 44444, 40044,
                                         48043));

// Results written to /dev/full: the device takes nothing and says the disk is full.
class DeviceFullAccess : public FileAccess {
public:
    std::unique_ptr<PassFile> OpenExisting(const std::string& path) override {
        return PosixFileAccess().OpenExisting(path);
    }
    std::unique_ptr<PassFile> Create(const std::string&, const OutputFolders*) override {
        const int fd = ::open("/dev/full", O_WRONLY | O_CLOEXEC);
        return fd < 0 ? nullptr : std::make_unique<Device>(fd);
    }

private:
    class Device : public PassFile {
    public:
        explicit Device(int fd) : fd_(fd) {}
        ~Device() override { ::close(fd_); }
        size_t Read(void*, size_t) override { return 0; }
        bool Write(const void* buffer, size_t size) override {
            // The device takes nothing: every write fails at once.
            return ::write(fd_, buffer, size) == static_cast<ssize_t>(size);
        }
        bool Seek(int64_t) override { return true; }
        FileIdentity Identity() const override { return {}; }

    private:
        int fd_;
    };
};

TEST(DeviceFull, AWriteTheDiskRefusesStopsThePass) {
    TempDir dir;
    FakeProgressSink sink;
    DeviceFullAccess full;
    AudioEngine engine(
        sink, [] { return 0.0; }, full);
    UngroupedNumbers numbers;
    const std::string source = WriteWav(dir.File("song.wav"), Alternating(3000));
    const uint64_t sum = Checksum(source);
    FileData file(source, 44, Frames, 0, numbers);
    file.ResultFile = dir.File("song_tralux.wav");
    engine.Running = true;
    engine.NormaliseFile(file, 1.0);
    EXPECT_EQ(sink.Errors, std::vector<std::string>{"Failed to write to output file \"" +
                                                    file.ResultFile + "\" (disk full?)"});
    EXPECT_FALSE(engine.Running);
    EXPECT_FALSE(file.Normalised);
    EXPECT_EQ(Checksum(source), sum);
}

TEST_F(RunBench, AResultNamedByADeviceIsNotCreated) {
    struct stat before {};
    ASSERT_EQ(::stat("/dev/full", &before), 0);
    const FileData& file = ListWav("full", Alternating(3000));
    const uint64_t sum = Checksum(file.SourceFile);
    options.samefolder = 0;
    options.outputdir = "/dev";
    options.addoutputext = false;
    ops.Prepare(Request());
    EXPECT_EQ(host.Errors, std::vector<std::string>{"Cannot create file /dev/full"});
    EXPECT_EQ(Checksum(file.SourceFile), sum);
    EXPECT_FALSE(ops.ReadyToBalance);
    ExpectIdle();
    struct stat after {};
    ASSERT_EQ(::stat("/dev/full", &after), 0);
    EXPECT_TRUE(S_ISCHR(after.st_mode));
    EXPECT_EQ(after.st_rdev, before.st_rdev);
}

}  // namespace
}  // namespace tralux::test
