// A run makes each result whole under its name (fsync, rename) on a thread of its own while it
// goes on with the next file: the same results, and failures and Cancel told as before.

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "RunFixture.h"

namespace tralux::test {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

// The platform's files, with each open recorded and a say over each commit, which may run on
// any thread.
class WatchedCommits : public FileAccess {
public:
    std::unique_ptr<PassFile> OpenExisting(const std::string& path) override {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            ++opens_[path];
        }
        changed_.notify_all();
        return PosixFileAccess().OpenExisting(path);
    }
    std::unique_ptr<PassFile> Create(const std::string& path,
                                     const OutputFolders* folders) override {
        return Watched(path, PosixFileAccess().Create(path, folders));
    }
    std::unique_ptr<PassFile> CreateOver(const std::string& path,
                                         const OutputFolders* folders) override {
        return Watched(path, PosixFileAccess().CreateOver(path, folders));
    }
    bool SharedByThreads() const override { return Background; }

    // Whether path has been opened at least times times, waiting up to a few seconds for it.
    bool WaitForOpens(const std::string& path, int times) {
        std::unique_lock<std::mutex> lock(mutex_);
        return changed_.wait_for(lock, 5s, [&] { return opens_[path] >= times; });
    }

    bool Background = true;
    // Runs on the committing thread before the commit of the result at path; false fails it.
    std::function<bool(const std::string&)> BeforeCommit;

    // "flush " or "commit " and the result's path, for each of those asked of a created file,
    // in order.
    std::vector<std::string> Steps() {
        std::lock_guard<std::mutex> lock(mutex_);
        return steps_;
    }

private:
    class File : public PassFile {
    public:
        File(WatchedCommits& owner, std::string path, std::unique_ptr<PassFile> real)
            : owner_(owner), path_(std::move(path)), real_(std::move(real)) {}
        size_t Read(void* buffer, size_t size) override { return real_->Read(buffer, size); }
        bool Write(const void* buffer, size_t size) override { return real_->Write(buffer, size); }
        bool Seek(int64_t offset) override { return real_->Seek(offset); }
        void StartFlush() override {
            owner_.Note("flush " + path_);
            real_->StartFlush();
        }
        bool Commit() override {
            owner_.Note("commit " + path_);
            if (owner_.BeforeCommit && !owner_.BeforeCommit(path_)) {
                return false;
            }
            return real_->Commit();
        }
        CommitRefusal Refusal() const override { return real_->Refusal(); }
        int TakeReplaced() override { return real_->TakeReplaced(); }
        FileIdentity Identity() const override { return real_->Identity(); }

    private:
        WatchedCommits& owner_;
        std::string path_;
        std::unique_ptr<PassFile> real_;
    };

    std::unique_ptr<PassFile> Watched(const std::string& path, std::unique_ptr<PassFile> real) {
        return real ? std::make_unique<File>(*this, path, std::move(real)) : nullptr;
    }

    void Note(const std::string& step) {
        std::lock_guard<std::mutex> lock(mutex_);
        steps_.push_back(step);
    }

    std::mutex mutex_;
    std::condition_variable changed_;
    std::map<std::string, int> opens_;
    std::vector<std::string> steps_;
};

class BackgroundCommit : public ::testing::Test {
protected:
    TempDir dir;
    FakeProgressSink sink;
    WatchedCommits files;
    AudioEngine engine{sink, [] { return 0.0; }, files};
    Options options;
    FakeRunHost host;
    Operations ops{engine, host};
    UngroupedNumbers numbers;

    FileData& AddWav(const std::string& name, const Samples& samples) {
        const std::string path = WriteWav(dir.File(name), samples);
        return host.Add(std::make_unique<FileData>(path, ReadWaveHeader(path), numbers));
    }
    void AddThree() {
        AddWav("A.wav", LevelSignal(3000));
        AddWav("B.wav", LevelSignal(6000));
        AddWav("C.wav", Noise(TestFrames, 20000, 3));
    }
    FileData& File(size_t i) { return *host.List[i]; }

    // The results of the same list, each committed on the run's own thread.
    std::vector<std::vector<uint8_t>> ResultsCommittedInLine() {
        files.Background = false;
        ops.PrepareAndBalance(host.Request(options));
        files.Background = true;
        std::vector<std::vector<uint8_t>> results;
        for (const auto& file : host.List) {
            results.push_back(ReadFile(file->ResultFile));
            fs::remove(file->ResultFile);
        }
        return results;
    }
    bool TemporaryFilesLeft() const {
        for (const auto& entry : fs::directory_iterator(dir.Path())) {
            if (entry.path().filename().string().rfind(".tralux-", 0) == 0) {
                return true;
            }
        }
        return false;
    }
};

// Without the committing thread, the wait below would hold up the run itself and time out.
TEST_F(BackgroundCommit, TheNextFileIsWrittenWhileAResultIsCommittedWithTheSameBytes) {
    AddThree();
    const std::vector<std::vector<uint8_t>> inLine = ResultsCommittedInLine();

    bool overlapped = false;
    files.BeforeCommit = [&](const std::string& path) {
        if (path == File(0).ResultFile) {
            // After the run in line's scan and write, once by this run's scan, once by its write.
            overlapped = files.WaitForOpens(File(1).SourceFile, 4);
        }
        return true;
    };
    ops.PrepareAndBalance(host.Request(options));

    EXPECT_TRUE(overlapped);
    EXPECT_TRUE(sink.Errors.empty());
    for (size_t i = 0; i < host.List.size(); ++i) {
        EXPECT_EQ(ReadFile(File(i).ResultFile), inLine[i]) << File(i).SourceFile;
        EXPECT_TRUE(File(i).Normalised);
        EXPECT_TRUE(File(i).ResultIdentity.Known);
    }
}

// As when the commit ran in line: told once, the old result left, and no file after it written.
TEST_F(BackgroundCommit, AFailedCommitIsToldLeavesTheOldResultAndStopsTheRun) {
    AddThree();
    const std::vector<std::vector<uint8_t>> inLine = ResultsCommittedInLine();
    const std::vector<uint8_t> old{'o', 'l', 'd'};
    { std::ofstream(File(1).ResultFile, std::ios::binary).write("old", 3); }
    const FileIdentity identityBefore = File(1).ResultIdentity;
    files.BeforeCommit = [&](const std::string& path) { return path != File(1).ResultFile; };

    ops.PrepareAndBalance(host.Request(options));

    ASSERT_EQ(sink.Errors.size(), 1u);
    EXPECT_EQ(sink.Errors[0],
              "Failed to write to output file \"" + File(1).ResultFile + "\" (disk full?)");
    EXPECT_EQ(sink.NotKept, std::vector<std::string>{"B.wav"});
    EXPECT_EQ(ReadFile(File(0).ResultFile), inLine[0]);
    EXPECT_EQ(ReadFile(File(1).ResultFile), old);
    EXPECT_FALSE(File(1).Normalised);
    EXPECT_TRUE(File(1).ResultIdentity == identityBefore);
    EXPECT_FALSE(fs::exists(File(2).ResultFile));
    EXPECT_FALSE(TemporaryFilesLeft());
}

// A whole result starts on its way to the disk as soon as it is written, so that its commit,
// behind the one before it, waits for little; a write that Cancel cuts short starts nothing.
TEST_F(BackgroundCommit, AWholeResultStartsItsFlushBeforeItsCommitAndACutShortOneNone) {
    AddThree();
    sink.OnPump = [&] {
        if (sink.FileNames.back() == "B.wav" && sink.Labels.back() != "Scanning:") {
            ops.Cancel();
        }
    };

    ops.PrepareAndBalance(host.Request(options));

    const std::vector<std::string> expected{"flush " + File(0).ResultFile,
                                            "commit " + File(0).ResultFile};
    EXPECT_EQ(files.Steps(), expected);
    EXPECT_TRUE(File(0).ResultIdentity.Known);
    EXPECT_FALSE(fs::exists(File(1).ResultFile));
}

// Cancel during the next write: the result being committed is kept whole, that one is not.
TEST_F(BackgroundCommit, CancelKeepsTheResultBeingCommittedWholeAndDropsTheNext) {
    AddThree();
    const std::vector<std::vector<uint8_t>> inLine = ResultsCommittedInLine();
    std::atomic<bool> cancelled{false};
    files.BeforeCommit = [&](const std::string& path) {
        // Still in hand when Cancel is pressed.
        for (int i = 0; i < 500 && path == File(0).ResultFile && !cancelled; ++i) {
            std::this_thread::sleep_for(10ms);
        }
        return true;
    };
    sink.OnPump = [&] {
        if (sink.FileNames.back() == "B.wav" && sink.Labels.back() != "Scanning:") {
            ops.Cancel();
            cancelled = true;
        }
    };

    ops.PrepareAndBalance(host.Request(options));

    EXPECT_TRUE(sink.Errors.empty());
    EXPECT_EQ(ReadFile(File(0).ResultFile), inLine[0]);
    EXPECT_TRUE(File(0).ResultIdentity.Known);
    EXPECT_FALSE(fs::exists(File(1).ResultFile));
    EXPECT_FALSE(fs::exists(File(2).ResultFile));
    EXPECT_FALSE(TemporaryFilesLeft());
}

}  // namespace
}  // namespace tralux::test
