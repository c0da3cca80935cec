// The folder results go into, while a run holds it: swapped for a link to the sources' folder,
// left with the temporary files of killed runs, written by a second run, holding a read-only
// result or asked for the longest names.

#include <fcntl.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "ReliabilityBench.h"
#include "operations/ResultFolders.h"

namespace tralux::test {
namespace {

namespace fs = std::filesystem;

Samples Level(int16_t level) {
    Samples samples = Constant(Frames, level, int16_t(-level));
    samples[7] = 20000;
    return samples;
}

std::vector<std::string> NamesIn(const std::string& folder) {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(folder)) {
        names.push_back(entry.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
}

// A process number that no process holds: a child that has ended and been reaped.
pid_t EndedProcess() {
    const pid_t child = ::fork();
    if (child == 0) {
        ::_exit(0);
    }
    ::waitpid(child, nullptr, 0);
    return child;
}

class OutputFolder : public RunBench {
protected:
    OutputFolder() {
        fs::create_directory(dir.File("src"));
        fs::create_directory(dir.File("out"));
        options.samefolder = 0;
        options.outputdir = dir.File("out");
        options.overwritewarn = false;
    }
    FileData& ListSource(const std::string& name, int16_t level) {
        return List(WriteWav(dir.File("src/" + name), Level(level)));
    }
    // The folder renamed away and a link to the sources' folder put under its name.
    void SwapOutputFolder() {
        fs::rename(dir.File("out"), dir.File("out.old"));
        fs::create_directory_symlink(dir.File("src"), dir.File("out"));
    }
};

// Sources S, A and A_tralux.wav, a source whose name is A's result name: with the output
// folder swapped for a link to the sources, A's result would be renamed over it.
struct SwapMoment {
    const char* Name;
    bool BeforeTheRename;  // false: during the first scan
    bool Balance;          // Prepare & Balance; false: Prepare
};

void PrintTo(const SwapMoment& value, std::ostream* out) {
    *out << value.Name;
}

class SwappedOutputFolder : public OutputFolder, public testing::WithParamInterface<SwapMoment> {};

TEST_P(SwappedOutputFolder, NoSourceIsReachedAndTheRunFails) {
    FileData& s = ListSource("S.wav", 3000);
    FileData& a = ListSource("A.wav", 5000);
    FileData& sourceAtResultName = ListSource("A_tralux.wav", 7000);
    const std::vector<uint8_t> before = ReadFile(sourceAtResultName.SourceFile);
    std::vector<uint64_t> sums;
    for (const auto& file : host.List) {
        sums.push_back(Checksum(file->SourceFile));
    }
    bool swapped = false;
    if (GetParam().BeforeTheRename) {
        files.BeforeCommit = [&](const std::string& path) {
            if (!swapped && path == dir.File("out/A_tralux.wav")) {
                SwapOutputFolder();
                swapped = true;
            }
        };
    } else {
        sink.OnPump = [&] {
            if (!swapped && sink.Labels.back() == "Scanning:" && sink.FileNames.back() == "S.wav") {
                SwapOutputFolder();
                swapped = true;
            }
        };
    }
    if (GetParam().Balance) {
        ops.PrepareAndBalance(Request());
    } else {
        ops.Prepare(Request());
    }

    ASSERT_TRUE(swapped);
    EXPECT_EQ(ReadFile(sourceAtResultName.SourceFile), before) << "a source was replaced";
    for (size_t i = 0; i < host.List.size(); ++i) {
        EXPECT_EQ(Checksum(host.List[i]->SourceFile), sums[i]);
    }
    EXPECT_EQ(NamesIn(dir.File("src")),
              (std::vector<std::string>{"A.wav", "A_tralux.wav", "S.wav"}));
    // The run says what happened and does not end as a success.
    const std::string written = GetParam().BeforeTheRename ? a.ResultFile : s.ResultFile;
    EXPECT_EQ(sink.Errors, std::vector<std::string>{
                               "Failed to write to output file \"" + written +
                               "\" (its folder has been moved, removed or replaced since the run "
                               "began)"});
    EXPECT_FALSE(a.Normalised);
    EXPECT_FALSE(ops.ReadyToBalance);
    // No temporary file stays in the folder that was moved.
    const std::vector<std::string> left = GetParam().BeforeTheRename
                                              ? std::vector<std::string>{"S_tralux.wav"}
                                              : std::vector<std::string>{};
    EXPECT_EQ(NamesIn(dir.File("out.old")), left);
    ExpectIdle();
}

INSTANTIATE_TEST_SUITE_P(Moments, SwappedOutputFolder,
                         testing::Values(SwapMoment{"PrepareDuringTheScan", false, false},
                                         SwapMoment{"PrepareBeforeTheRename", true, false},
                                         SwapMoment{"BalanceDuringTheScan", false, true},
                                         SwapMoment{"BalanceBeforeTheRename", true, true}),
                         [](const testing::TestParamInfo<SwapMoment>& info) {
                             return info.param.Name;
                         });

// Temporary files of runs that were killed: those of ended processes go at the start of the
// next run into the folder; another process's, and files that only look alike, stay.
TEST_F(OutputFolder, TemporariesOfKilledRunsAreRemovedAtTheNextRun) {
    ListSource("A.wav", 5000);
    const std::string ended = std::to_string(EndedProcess());
    const std::string living = std::to_string(::getppid());
    const std::vector<std::string> stale = {".tralux-" + ended + "-1.tmp",
                                            ".A_tralux.wav.tmp-" + ended + "-2"};
    const std::vector<std::string> kept = {
        ".tralux-" + living + "-1.tmp",         // a process that is still there
        ".other.wav.tmp-" + ended + "-3",       // not the temporary of a result of this run
        ".tralux-" + ended + "-x.tmp", "notes"  // not this program's names
    };
    for (const std::string& name : stale) {
        WriteFile(dir.File("out/" + name), {1, 2, 3});
    }
    for (const std::string& name : kept) {
        WriteFile(dir.File("out/" + name), {1, 2, 3});
    }

    ops.Prepare(Request());

    ASSERT_TRUE(ops.ReadyToBalance);
    std::vector<std::string> expected = kept;
    expected.push_back("A_tralux.wav");
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(NamesIn(dir.File("out")), expected);
}

// A result name of 251 bytes, whose temporary file's name could not be 13 bytes longer.
TEST_F(OutputFolder, TheLongestResultNamesAreWritten) {
    const FileData& file = ListSource(std::string(240, 'x') + ".wav", 5000);
    ops.Prepare(Request());
    ASSERT_TRUE(ops.ReadyToBalance) << (sink.Errors.empty() ? "" : sink.Errors[0]);
    EXPECT_EQ(fs::path(file.ResultFile).filename().string().size(), 251u);
    EXPECT_TRUE(fs::exists(file.ResultFile));
    EXPECT_EQ(NamesIn(dir.File("out")).size(), 1u);
}

TEST_F(OutputFolder, AReadOnlyResultIsRefusedBeforeTheRun) {
    const FileData& a = ListSource("A.wav", 5000);
    ListSource("B.wav", 6000);
    const std::string result = dir.File("out/A_tralux.wav");
    WriteFile(result, {1, 2, 3});
    fs::permissions(result, fs::perms::owner_read | fs::perms::group_read);

    ops.Prepare(Request());

    EXPECT_EQ(host.Errors, std::vector<std::string>{std::string(messages::ReadOnlyResults) +
                                                    "\r   " + a.SourceFile});
    EXPECT_EQ(ReadFile(result), (std::vector<uint8_t>{1, 2, 3}));
    EXPECT_TRUE(files.Created.empty());
    EXPECT_TRUE(sink.Labels.empty());
    EXPECT_EQ(NamesIn(dir.File("out")), std::vector<std::string>{"A_tralux.wav"});

    // Made read-only after the Prepare that wrote it, it is not rewritten by Balance either.
    fs::permissions(result, fs::perms::owner_write, fs::perm_options::add);
    host.Errors.clear();
    ops.Prepare(Request());
    ASSERT_TRUE(ops.ReadyToBalance);
    fs::permissions(result, fs::perms::owner_write, fs::perm_options::remove);
    const std::vector<uint8_t> prepared = ReadFile(result);
    sink.Labels.clear();
    ops.Balance(Request());
    EXPECT_EQ(host.Errors, std::vector<std::string>{std::string(messages::ReadOnlyResults) +
                                                    "\r   " + a.SourceFile});
    EXPECT_EQ(ReadFile(result), prepared);
    EXPECT_TRUE(sink.Labels.empty());
}

// Two runs into one folder: the second is refused while the first runs, and may run after it.
TEST_F(OutputFolder, ASecondRunIntoTheSameFolderIsRefusedWhileTheFirstRuns) {
    ListSource("A.wav", 5000);
    RunStage second;
    second.options = options;
    second.List(WriteWav(second.dir.File("B.wav"), Level(6000)));
    bool tried = false;
    sink.OnPump = [&] {
        if (!tried) {
            tried = true;
            second.ops.Prepare(second.Request());
        }
    };

    ops.Prepare(Request());

    ASSERT_TRUE(tried);
    EXPECT_TRUE(ops.ReadyToBalance);
    EXPECT_EQ(second.host.Errors,
              std::vector<std::string>{messages::OutputFolderBusy(dir.File("out") + "/")});
    EXPECT_TRUE(second.files.Created.empty());
    EXPECT_FALSE(second.ops.ReadyToBalance);

    second.host.Errors.clear();
    second.ops.Prepare(second.Request());
    EXPECT_TRUE(second.host.Errors.empty());
    EXPECT_TRUE(second.ops.ReadyToBalance);
    EXPECT_EQ(NamesIn(dir.File("out")), (std::vector<std::string>{"A_tralux.wav", "B_tralux.wav"}));
}

// One folder named in two spellings is one folder of this run, not one another run holds.
TEST_F(OutputFolder, OneFolderInTwoSpellingsIsWrittenByOneRun) {
    options.samefolder = 1;
    List(WriteWav(dir.File("src/A.wav"), Level(3000)));
    List(WriteWav(dir.File("src/./B.wav"), Level(5000)));
    ops.Prepare(Request());
    EXPECT_TRUE(host.Errors.empty()) << host.Errors[0];
    EXPECT_TRUE(ops.ReadyToBalance);
    EXPECT_EQ(NamesIn(dir.File("src")),
              (std::vector<std::string>{"A.wav", "A_tralux.wav", "B.wav", "B_tralux.wav"}));
}

// Results beside their sources in as many folders as files, more than the limit on open files
// the run started with.
TEST_F(OutputFolder, ResultsInMoreFoldersThanTheOpenFileLimitAreWritten) {
    options.samefolder = 1;
    for (int i = 0; i < 80; ++i) {
        const std::string folder = dir.File("album" + std::to_string(i));
        fs::create_directory(folder);
        List(WriteWav(folder + "/track.wav", Level(3000)));
    }
    rlimit before{};
    ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &before), 0);
    rlimit low = before;
    low.rlim_cur = 48;
    ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &low), 0);
    ops.Prepare(Request());
    ::setrlimit(RLIMIT_NOFILE, &before);

    EXPECT_TRUE(host.Errors.empty()) << host.Errors[0];
    EXPECT_TRUE(sink.Errors.empty()) << sink.Errors[0];
    EXPECT_TRUE(ops.ReadyToBalance);
    for (const auto& file : host.List) {
        EXPECT_TRUE(fs::exists(file->ResultFile)) << file->ResultFile;
    }
}

}  // namespace
}  // namespace tralux::test
