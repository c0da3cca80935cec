// Files that are not what they seem: results that are sources under another name, sources
// that are no regular files or are held by another process, results damaged between runs, a
// settings file that cannot be written. Each is told to the user and nothing is lost.

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "LockHolder.h"
#include "ReliabilityBench.h"
#include "settings/Settings.h"

namespace tralux::test {
namespace {

namespace fs = std::filesystem;

// A listed source in dir/music and a trick that makes its result name a source.
struct ConflictCase {
    const char* Name;
    std::function<void(RunStage&, const std::string& music)> Arrange;
    int Conflicts = 1;  // listed sources in the message
};

void PrintTo(const ConflictCase& value, std::ostream* out) {
    *out << value.Name;
}

class SameFile : public testing::TestWithParam<ConflictCase>, public RunStage {};

TEST_P(SameFile, IsRefusedBeforeAnythingIsWritten) {
    const std::string music = dir.File("music");
    fs::create_directory(music);
    const std::string source = WriteWav(music + "/song.wav", Alternating(3000));
    List(source);
    GetParam().Arrange(*this, music);
    std::vector<uint64_t> sums;
    for (const auto& file : host.List) {
        sums.push_back(Checksum(file->SourceFile));
    }

    ops.Prepare(Request());

    ASSERT_EQ(host.Errors.size(), 1u);
    EXPECT_EQ(host.Errors[0].rfind(messages::SameFiles, 0), 0u) << host.Errors[0];
    EXPECT_NE(host.Errors[0].find("\r   " + source), std::string::npos) << host.Errors[0];
    size_t listed = 0;
    for (size_t at = host.Errors[0].find("\r   "); at != std::string::npos;
         at = host.Errors[0].find("\r   ", at + 1)) {
        ++listed;
    }
    EXPECT_EQ(listed, size_t(GetParam().Conflicts));
    EXPECT_TRUE(files.Created.empty());
    EXPECT_TRUE(files.Writes.empty());
    EXPECT_TRUE(sink.Labels.empty());
    EXPECT_EQ(host.Count("ShowProgressLine"), 0);
    EXPECT_FALSE(engine.Running);
    for (size_t i = 0; i < host.List.size(); ++i) {
        EXPECT_EQ(Checksum(host.List[i]->SourceFile), sums[i]);
        EXPECT_TRUE(host.List[i]->ResultFile.empty()) << "a refused check leaves no result";
    }
}

void OtherFolder(RunStage& stage, const std::string& folder) {
    stage.options.samefolder = 0;
    stage.options.outputdir = folder;
    stage.options.addoutputext = false;
}

INSTANTIATE_TEST_SUITE_P(
    Forms, SameFile,
    testing::Values(ConflictCase{"ResultIsASymbolicLinkToTheSource",
                                 [](RunStage&, const std::string& music) {
                                     fs::create_symlink("song.wav", music + "/song_tralux.wav");
                                 }},
                    ConflictCase{"ResultIsAHardLinkToTheSource",
                                 [](RunStage&, const std::string& music) {
                                     fs::create_hard_link(music + "/song.wav",
                                                          music + "/song_tralux.wav");
                                 }},
                    ConflictCase{"FolderWithDotSlash",
                                 [](RunStage& stage, const std::string& music) {
                                     OtherFolder(stage, music + "/./");
                                 }},
                    ConflictCase{"FolderWithDotDot",
                                 [](RunStage& stage, const std::string& music) {
                                     fs::create_directory(music + "/sub");
                                     OtherFolder(stage, music + "/sub/..");
                                 }},
                    ConflictCase{"RelativeFolder",
                                 [](RunStage& stage, const std::string& music) {
                                     const std::string relative =
                                         fs::relative(music, fs::current_path()).string();
                                     OtherFolder(stage, relative);
                                 }},
                    ConflictCase{"SymbolicLinkToTheSourceFolder",
                                 [](RunStage& stage, const std::string& music) {
                                     const std::string link = stage.dir.File("elsewhere");
                                     fs::create_directory_symlink(music, link);
                                     OtherFolder(stage, link);
                                 }},
                    ConflictCase{"ResultIsAnotherListedSource",
                                 [](RunStage& stage, const std::string& music) {
                                     stage.List(
                                         WriteWav(music + "/song_tralux.wav", Alternating(2000)));
                                 }},
                    ConflictCase{"ResultIsAnotherSourceListedThroughALinkedFolder",
                                 [](RunStage& stage, const std::string& music) {
                                     WriteWav(music + "/song_tralux.wav", Alternating(2000));
                                     const std::string link = stage.dir.File("linked");
                                     fs::create_directory_symlink(music, link);
                                     stage.List(link + "/song_tralux.wav");
                                 }}),
    [](const testing::TestParamInfo<ConflictCase>& info) { return info.param.Name; });

struct NotAFile {
    const char* Name;
    std::function<std::string(const TempDir&)> Make;
};

void PrintTo(const NotAFile& value, std::ostream* out) {
    *out << value.Name;
}

class NotARegularFile : public testing::TestWithParam<NotAFile> {};

TEST_P(NotARegularFile, CannotBeOpenedAndNeverBlocks) {
    TempDir dir;
    const std::string path = GetParam().Make(dir);
    EXPECT_EQ(ReadWaveHeader(path).Result, WaveCheckResult::CannotOpen);
}

INSTANTIATE_TEST_SUITE_P(
    Kinds, NotARegularFile,
    testing::Values(NotAFile{"Folder",
                             [](const TempDir& dir) {
                                 fs::create_directory(dir.File("folder.wav"));
                                 return dir.File("folder.wav");
                             }},
                    NotAFile{"Fifo",
                             [](const TempDir& dir) {
                                 EXPECT_EQ(::mkfifo(dir.File("pipe.wav").c_str(), 0600), 0);
                                 return dir.File("pipe.wav");
                             }},
                    NotAFile{"DevZero", [](const TempDir&) { return std::string("/dev/zero"); }},
                    NotAFile{"DevNull", [](const TempDir&) { return std::string("/dev/null"); }},
                    NotAFile{"Missing", [](const TempDir& dir) { return dir.File("gone.wav"); }},
                    NotAFile{"LinkToAFifo",
                             [](const TempDir& dir) {
                                 EXPECT_EQ(::mkfifo(dir.File("pipe").c_str(), 0600), 0);
                                 fs::create_symlink(dir.File("pipe"), dir.File("link.wav"));
                                 return dir.File("link.wav");
                             }}),
    [](const testing::TestParamInfo<NotAFile>& info) { return info.param.Name; });

TEST_F(RunBench, ASourceLockedByAnotherProcessCannotBeOpened) {
    const std::string path = WriteWav(dir.File("held.wav"), Alternating(3000));
    LockHolder holder(path);
    ASSERT_TRUE(holder.Held());
    EXPECT_EQ(ReadWaveHeader(path).Result, WaveCheckResult::CannotOpen);
}

// A listed source replaced after intake: the run tells which file it could not open and
// ends, writing nothing for it.
struct Replacement {
    const char* Name;
    std::function<void(const std::string& path)> Replace;
};

void PrintTo(const Replacement& value, std::ostream* out) {
    *out << value.Name;
}

class SourceReplaced : public testing::TestWithParam<Replacement>, public RunStage {};

TEST_P(SourceReplaced, StopsTheRunWithItsName) {
    const FileData& first = ListWav("first.wav", Alternating(3000));
    const FileData& second = ListWav("second.wav", Alternating(2000));
    const uint64_t firstSum = Checksum(first.SourceFile);
    GetParam().Replace(second.SourceFile);

    ops.Prepare(Request());

    EXPECT_EQ(host.Errors, std::vector<std::string>{"Cannot open file " + second.SourceFile});
    EXPECT_TRUE(sink.Errors.empty());
    EXPECT_EQ(Checksum(first.SourceFile), firstSum);
    EXPECT_FALSE(fs::exists(second.ResultFile));
    EXPECT_FALSE(ops.ReadyToBalance);
    ExpectIdle();
}

INSTANTIATE_TEST_SUITE_P(
    By, SourceReplaced,
    testing::Values(Replacement{"Fifo",
                                [](const std::string& path) {
                                    fs::remove(path);
                                    EXPECT_EQ(::mkfifo(path.c_str(), 0600), 0);
                                }},
                    Replacement{"Folder",
                                [](const std::string& path) {
                                    fs::remove(path);
                                    fs::create_directory(path);
                                }},
                    Replacement{"LinkToDevZero",
                                [](const std::string& path) {
                                    fs::remove(path);
                                    fs::create_symlink("/dev/zero", path);
                                }},
                    Replacement{"Nothing", [](const std::string& path) { fs::remove(path); }}),
    [](const testing::TestParamInfo<Replacement>& info) { return info.param.Name; });

TEST_F(RunBench, ASourceLockedDuringTheRunStopsIt) {
    const FileData& file = ListWav("song.wav", Alternating(3000));
    const uint64_t sum = Checksum(file.SourceFile);
    {
        LockHolder holder(file.SourceFile);
        ASSERT_TRUE(holder.Held());
        ops.Prepare(Request());
    }
    EXPECT_EQ(host.Errors, std::vector<std::string>{"Cannot open file " + file.SourceFile});
    EXPECT_EQ(Checksum(file.SourceFile), sum);
    EXPECT_FALSE(fs::exists(file.ResultFile));
    ExpectIdle();

    ops.Prepare(Request());  // released: the run goes through
    EXPECT_EQ(host.Errors.size(), 1u);
    EXPECT_TRUE(ops.ReadyToBalance);
}

TEST_F(RunBench, AResultLockedByAnotherProcessIsNeitherCutNorReplaced) {
    const FileData& file = ListWav("song.wav", Alternating(3000));
    const std::string result = dir.File("song_tralux.wav");
    WriteFile(result, {'k', 'e', 'e', 'p'});
    {
        LockHolder holder(result);
        ASSERT_TRUE(holder.Held());
        ops.Prepare(Request());
    }
    EXPECT_EQ(host.Errors, std::vector<std::string>{"Cannot create file " + result});
    EXPECT_EQ(ReadFile(result), (std::vector<uint8_t>{'k', 'e', 'e', 'p'}));
    EXPECT_EQ(file.ResultFile, result);
    ExpectIdle();
}

// Something other than a file where a result is to be written: the run names it and leaves
// it as it is.
struct InTheWay {
    const char* Name;
    std::function<void(const std::string& result)> Put;
    std::function<bool(const std::string& result)> Unchanged;
};

void PrintTo(const InTheWay& value, std::ostream* out) {
    *out << value.Name;
}

class ResultInTheWay : public testing::TestWithParam<InTheWay>, public RunStage {};

TEST_P(ResultInTheWay, IsNotCreated) {
    const FileData& file = ListWav("song.wav", Alternating(3000));
    const uint64_t sum = Checksum(file.SourceFile);
    const std::string result = dir.File("song_tralux.wav");
    GetParam().Put(result);
    ops.Prepare(Request());
    EXPECT_EQ(host.Errors, std::vector<std::string>{"Cannot create file " + result});
    EXPECT_TRUE(GetParam().Unchanged(result));
    EXPECT_EQ(Checksum(file.SourceFile), sum);
    EXPECT_FALSE(ops.ReadyToBalance);
    ExpectIdle();
}

INSTANTIATE_TEST_SUITE_P(
    Things, ResultInTheWay,
    testing::Values(InTheWay{"Folder",
                             [](const std::string& result) {
                                 fs::create_directory(result);
                                 WriteFile(result + "/inside", {'x'});
                             },
                             [](const std::string& result) {
                                 return fs::is_directory(result) &&
                                        ReadFile(result + "/inside").size() == 1;
                             }},
                    InTheWay{"Fifo",
                             [](const std::string& result) {
                                 EXPECT_EQ(::mkfifo(result.c_str(), 0600), 0);
                             },
                             [](const std::string& result) { return fs::is_fifo(result); }}),
    [](const testing::TestParamInfo<InTheWay>& info) { return info.param.Name; });

// A link at the result's name, even to a device, is replaced by the result and never followed.
TEST_F(RunBench, ALinkToADeviceAtTheResultIsReplacedNotFollowed) {
    const FileData& file = ListWav("song.wav", Alternating(3000));
    const std::string result = dir.File("song_tralux.wav");
    fs::create_symlink("/dev/null", result);
    ops.Prepare(Request());
    EXPECT_TRUE(host.Errors.empty());
    EXPECT_TRUE(fs::is_regular_file(fs::symlink_status(result)));
    EXPECT_EQ(fs::file_size(result), fs::file_size(file.SourceFile));
    EXPECT_TRUE(fs::is_character_file("/dev/null"));
    EXPECT_TRUE(ops.ReadyToBalance);
    ExpectIdle();
}

// A result name that is a link to a file nobody listed (a master kept elsewhere): replacing the
// result must not write into that file.
class ResultLinkedElsewhere : public testing::TestWithParam<bool>, public RunStage {};

TEST_P(ResultLinkedElsewhere, LeavesTheOtherFileAlone) {
    const FileData& file = ListWav("song.wav", Alternating(3000));
    const uint64_t sourceSum = Checksum(file.SourceFile);
    fs::create_directory(dir.File("masters"));
    const std::string master = WriteWav(dir.File("masters/master.wav"), Alternating(7000));
    const uint64_t sum = Checksum(master);
    const std::string result = dir.File("song_tralux.wav");
    if (GetParam()) {
        fs::create_symlink(master, result);
    } else {
        fs::create_hard_link(master, result);
    }
    ops.Prepare(Request());
    EXPECT_EQ(Checksum(master), sum) << "the run wrote into a file that was not listed";
    EXPECT_EQ(Checksum(file.SourceFile), sourceSum);
    // The result is a new file of its own under the name the link had.
    EXPECT_FALSE(fs::is_symlink(result));
    EXPECT_EQ(fs::hard_link_count(result), 1u);
    EXPECT_TRUE(file.Normalised);
    ExpectIdle();
}

INSTANTIATE_TEST_SUITE_P(Links, ResultLinkedElsewhere, testing::Values(true, false),
                         [](const testing::TestParamInfo<bool>& info) {
                             return std::string(info.param ? "Symbolic" : "Hard");
                         });

// Results changed behind the program's back between Prepare and Balance.
class ResultDamaged : public RunBench {
protected:
    void SetUp() override {
        host.Choice = ReferenceChoice::Highlighted;
        ListWav("quiet.wav", Alternating(4500));
        host.Highlighted = &ListWav("middle.wav", Alternating(6000));
        loud = &ListWav("loud.wav", Alternating(9000));
        for (const auto& file : host.List) {
            sums.push_back(Checksum(file->SourceFile));
        }
        ops.Prepare(Request());
        ASSERT_TRUE(ops.ReadyToBalance);
        ASSERT_TRUE(host.Errors.empty());
    }
    void ExpectSourcesUnchanged() const {
        for (size_t i = 0; i < host.List.size(); ++i) {
            EXPECT_EQ(Checksum(host.List[i]->SourceFile), sums[i]);
        }
    }

    FileData* loud = nullptr;
    std::vector<uint64_t> sums;
};

TEST_F(ResultDamaged, ADeletedResultStopsBalanceWithItsName) {
    fs::remove(loud->ResultFile);
    ops.Balance(Request());
    EXPECT_EQ(host.Errors, std::vector<std::string>{"Cannot open file " + loud->ResultFile});
    EXPECT_FALSE(fs::exists(loud->ResultFile)) << "Balance never creates a result";
    ExpectSourcesUnchanged();
    ExpectIdle();
}

TEST_F(ResultDamaged, AResultCutInItsSamplesStopsBalanceWithItsName) {
    const std::vector<uint8_t> before = ReadFile(loud->ResultFile);
    fs::resize_file(loud->ResultFile, 44 + 4 * 7000);
    ops.Balance(Request());
    EXPECT_EQ(sink.Errors,
              std::vector<std::string>{"Failed to read from file \"" + loud->ResultFile +
                                       "\" (has it been changed since it was prepared?)"});
    const std::vector<uint8_t> after = ReadFile(loud->ResultFile);
    EXPECT_EQ(after.size(), 44u + 4 * 7000) << "a cut result is not filled up again";
    EXPECT_TRUE(std::equal(after.begin(), after.begin() + 44, before.begin()));
    EXPECT_TRUE(ops.ReadyToBalance) << "a stopped Balance can be run again after a Prepare";
    ExpectSourcesUnchanged();
    ExpectIdle();
}

// A result replaced by a link to a source after Prepare: Balance rewrites results and must
// neither write through the link into the source nor take its samples. It is refused as Prepare
// refuses it.
TEST_F(ResultDamaged, AResultReplacedByALinkToASourceIsRefused) {
    for (const bool symbolic : {true, false}) {
        SCOPED_TRACE(symbolic ? "symbolic link" : "hard link");
        const std::string quietSource = host.List[0]->SourceFile;
        fs::remove(loud->ResultFile);
        if (symbolic) {
            fs::create_symlink(quietSource, loud->ResultFile);
        } else {
            fs::create_hard_link(quietSource, loud->ResultFile);
        }
        host.Errors.clear();
        ops.Balance(Request());
        EXPECT_EQ(host.Errors, std::vector<std::string>{std::string(messages::SameFiles) + "\r   " +
                                                        loud->SourceFile});
        EXPECT_TRUE(sink.Labels.empty() || sink.Labels.back() == "Normalising:") << "a pass ran";
        ExpectSourcesUnchanged();
        EXPECT_TRUE(ops.ReadyToBalance);
        // Once the link is gone, Prepare writes the result afresh and Balance goes through.
        fs::remove(loud->ResultFile);
        ops.Prepare(Request());
        ops.Balance(Request());
        EXPECT_EQ(host.Errors.size(), 1u);
        EXPECT_FALSE(ops.ReadyToBalance);
        ExpectSourcesUnchanged();
        ops.Prepare(Request());
        ASSERT_TRUE(ops.ReadyToBalance);
    }
}

// A result's name taken by a link to a source or to a file nobody listed while the run is
// going. Prepare & Balance writes each result once, at the start of which the link is put in:
// the whole result is renamed over the name, so a symbolic link is replaced and the file
// behind it untouched; a hard link to a listed source is that source, and is not replaced.
// Balance reads the result and writes it anew; a link put in while it counts the result's
// values leads its write to another file, which is refused with the result's name.
struct Swap {
    const char* Name;
    bool ToSource;
    bool Symbolic;
    bool Balance;  // the swap is made during a Balance after a Prepare
};

void PrintTo(const Swap& value, std::ostream* out) {
    *out << value.Name;
}

class ResultSwappedDuringTheRun : public testing::TestWithParam<Swap>, public RunStage {};

TEST_P(ResultSwappedDuringTheRun, NothingButResultsIsWritten) {
    ListWav("quiet.wav", Alternating(4500));
    const FileData& loud = ListWav("loud.wav", Alternating(9000));
    fs::create_directory(dir.File("masters"));
    const std::string master = WriteWav(dir.File("masters/master.wav"), Alternating(7000));
    const std::string target = GetParam().ToSource ? host.List[0]->SourceFile : master;
    std::vector<uint64_t> sums;
    for (const std::string& path : {host.List[0]->SourceFile, loud.SourceFile, master}) {
        sums.push_back(Checksum(path));
    }
    if (GetParam().Balance) {
        ops.Prepare(Request());
        ASSERT_TRUE(ops.ReadyToBalance);
        sink.Labels.clear();
        sink.FileNames.clear();
    }
    // Prepare & Balance names the source it reads for the result; Balance, the result.
    const std::string readName =
        fs::path(GetParam().Balance ? loud.ResultFile : loud.SourceFile).filename().string();
    const std::string when = GetParam().Balance ? "Scanning:" : "Reducing:";
    bool swapped = false;
    sink.OnPump = [&] {
        if (!swapped && sink.Labels.back() == when && sink.FileNames.back() == readName) {
            fs::remove(loud.ResultFile);
            if (GetParam().Symbolic) {
                fs::create_symlink(target, loud.ResultFile);
            } else {
                fs::create_hard_link(target, loud.ResultFile);
            }
            swapped = true;
        }
    };

    if (GetParam().Balance) {
        ops.Balance(Request());
    } else {
        ops.PrepareAndBalance(Request());
    }

    ASSERT_TRUE(swapped);
    EXPECT_EQ(Checksum(host.List[0]->SourceFile), sums[0]);
    EXPECT_EQ(Checksum(loud.SourceFile), sums[1]);
    EXPECT_EQ(Checksum(master), sums[2]) << "the run wrote into a file that was not listed";
    std::vector<std::string> errors = host.Errors;
    errors.insert(errors.end(), sink.Errors.begin(), sink.Errors.end());
    if (GetParam().Balance) {
        EXPECT_EQ(errors,
                  std::vector<std::string>{"Cannot write to result file \"" + loud.ResultFile +
                                           "\" (it has been replaced since it was "
                                           "prepared)"});
        EXPECT_EQ(fs::is_symlink(loud.ResultFile), GetParam().Symbolic) << "left as it was";
    } else if (GetParam().ToSource && !GetParam().Symbolic) {
        // The name now is a listed source under another name: no result is renamed over it.
        EXPECT_EQ(errors, std::vector<std::string>{
                              "Failed to write to output file \"" + loud.ResultFile +
                              "\" (its name now leads to a listed source file, which has been "
                              "left as it is)"});
        EXPECT_EQ(fs::hard_link_count(target), 2u);
        EXPECT_FALSE(loud.Normalised);
        EXPECT_EQ(dir.Names(), (std::vector<std::string>{"loud.wav", "loud_tralux.wav", "masters",
                                                         "quiet.wav", "quiet_tralux.wav"}))
            << "no temporary file is left";
    } else {
        EXPECT_TRUE(errors.empty()) << errors[0];
        EXPECT_FALSE(fs::is_symlink(loud.ResultFile));
        EXPECT_EQ(fs::hard_link_count(loud.ResultFile), 1u);
        EXPECT_EQ(fs::hard_link_count(target), 1u);
        EXPECT_TRUE(loud.Normalised);
        EXPECT_NE(Checksum(loud.ResultFile), sums[1]);
    }
    ExpectIdle();
}

INSTANTIATE_TEST_SUITE_P(Links, ResultSwappedDuringTheRun,
                         testing::Values(Swap{"HardLinkToASource", true, false, false},
                                         Swap{"SymbolicLinkToASource", true, true, false},
                                         Swap{"HardLinkToAnUnlistedFile", false, false, false},
                                         Swap{"SymbolicLinkToAnUnlistedFile", false, true, false},
                                         Swap{"BalanceHardLinkToASource", true, false, true},
                                         Swap{"BalanceSymbolicLinkToASource", true, true, true},
                                         Swap{"BalanceSymbolicLinkToAnUnlistedFile", false, true,
                                              true}),
                         [](const testing::TestParamInfo<Swap>& info) { return info.param.Name; });

// A result cut inside its header no longer says where its samples are. Rewriting it would
// leave a file whose header is partly zeros; the run should stop and say so instead.
TEST_F(ResultDamaged, AResultCutInsideItsHeaderIsNotRewritten) {
    const std::vector<uint8_t> before = ReadFile(loud->ResultFile);
    fs::resize_file(loud->ResultFile, 20);
    ops.Balance(Request());
    EXPECT_EQ(host.Errors.size() + sink.Errors.size(), 1u);
    const std::vector<uint8_t> after = ReadFile(loud->ResultFile);
    EXPECT_TRUE(after.size() <= 20 ||
                std::equal(before.begin(), before.begin() + 44, after.begin()))
        << "the result was rewritten without its header";
    ExpectSourcesUnchanged();
    ExpectIdle();
}

// Settings saved where they cannot go: the error names the file, and whatever is in the
// way is left as it was.
class SettingsInTheWay : public testing::Test {
protected:
    void Save(const std::string& path) {
        Options options;
        WindowPlacement placement;
        PresetList presets;
        SettingsWindowState state;
        try {
            SaveSettings(path, options, placement, presets, state, ".");
        } catch (const SettingsError& error) {
            message = error.what();
        }
    }

    TempDir dir;
    std::string message;
};

TEST_F(SettingsInTheWay, AFolderThatIsARegularFile) {
    const std::string blocker = dir.File("program");
    WriteFile(blocker, {'e', 'x', 'e'});
    const std::string path = blocker + "/tralux.ini";
    Save(path);
    EXPECT_EQ(message, "Unable to write to " + path);
    EXPECT_EQ(ReadFile(blocker), (std::vector<uint8_t>{'e', 'x', 'e'}));
}

TEST_F(SettingsInTheWay, AFolderWhereTheFileShouldBe) {
    const std::string path = dir.File("tralux.ini");
    fs::create_directory(path);
    WriteFile(path + "/inside", {'x'});
    Save(path);
    EXPECT_EQ(message, "Unable to write to " + path);
    EXPECT_TRUE(fs::is_directory(path));
    EXPECT_EQ(ReadFile(path + "/inside"), std::vector<uint8_t>{'x'});
    EXPECT_EQ(std::distance(fs::directory_iterator(dir.Path()), fs::directory_iterator()), 1)
        << "a half-written file was left behind";
}

}  // namespace
}  // namespace tralux::test
