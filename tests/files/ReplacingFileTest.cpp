#include "files/ReplacingFile.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>

#include "../reliability/FileSizeLimit.h"
#include "TempDir.h"
#include "TestWav.h"

namespace tralux {
namespace {

namespace fs = std::filesystem;
using test::ReadText;

void WriteText(const std::string& path, const std::string& text) {
    std::ofstream(path, std::ios::binary) << text;
}

size_t EntriesIn(const fs::path& folder) {
    size_t count = 0;
    for ([[maybe_unused]] const auto& entry : fs::directory_iterator(folder)) {
        ++count;
    }
    return count;
}

TEST(ReplacingFile, TheTargetChangesOnlyAtCommitAndNoTemporaryStays) {
    test::TempDir dir;
    const std::string target = dir.File("out.csv");
    WriteText(target, "old");
    {
        ReplacingFile file(target);
        ASSERT_TRUE(file.Ready());
        EXPECT_EQ(fs::path(file.TemporaryPath()).parent_path(), dir.Path());
        ASSERT_TRUE(file.Write("new text", 8));
        EXPECT_EQ(ReadText(target), "old");
        ASSERT_TRUE(file.Commit());
        EXPECT_EQ(file.Error(), 0);
    }
    EXPECT_EQ(ReadText(target), "new text");
    EXPECT_EQ(EntriesIn(dir.Path()), 1u);
}

TEST(ReplacingFile, TheReplacedFileIsHandedOverStillWhole) {
    test::TempDir dir;
    const std::string target = dir.File("out.wav");
    WriteText(target, "old result");
    struct stat before {};
    ASSERT_EQ(::stat(target.c_str(), &before), 0);
    int replaced = -1;
    {
        ReplacingFile file(target);
        ASSERT_TRUE(file.Write("new", 3));
        ASSERT_TRUE(file.Commit());
        replaced = file.TakeReplaced();
        EXPECT_EQ(file.TakeReplaced(), -1);  // handed over once
    }
    // Past the writer's end, the old file is nameless but not yet freed: its last close is
    // the caller's.
    ASSERT_GE(replaced, 0);
    struct stat held {};
    ASSERT_EQ(::fstat(replaced, &held), 0);
    EXPECT_EQ(held.st_ino, before.st_ino);
    EXPECT_EQ(held.st_nlink, 0u);
    EXPECT_EQ(held.st_size, 10);
    EXPECT_EQ(ReadText(target), "new");
    ::close(replaced);

    // Nothing stood at the name: nothing to hand over.
    ReplacingFile fresh(dir.File("fresh.wav"));
    ASSERT_TRUE(fresh.Write("x", 1));
    ASSERT_TRUE(fresh.Commit());
    EXPECT_EQ(fresh.TakeReplaced(), -1);
}

TEST(ReplacingFile, AnAbandonedWriteLeavesTheTargetAsItWas) {
    test::TempDir dir;
    const std::string target = dir.File("out.csv");
    WriteText(target, "old");
    {
        ReplacingFile file(target);
        ASSERT_TRUE(file.Write("half", 4));
    }
    EXPECT_EQ(ReadText(target), "old");
    EXPECT_EQ(EntriesIn(dir.Path()), 1u);
    {
        // A new file that is never committed does not appear at all.
        ReplacingFile file(dir.File("never.csv"));
        ASSERT_TRUE(file.Write("x", 1));
    }
    EXPECT_FALSE(fs::exists(dir.File("never.csv")));
}

TEST(ReplacingFile, ALinkAtTheTargetIsReplacedNotWrittenThrough) {
    test::TempDir dir;
    const std::string precious = dir.File("precious.wav");
    WriteText(precious, "samples");
    const std::string symbolic = dir.File("symbolic.csv");
    const std::string hard = dir.File("hard.csv");
    fs::create_symlink(precious, symbolic);
    fs::create_hard_link(precious, hard);
    for (const std::string& target : {symbolic, hard}) {
        ReplacingFile file(target);
        ASSERT_TRUE(file.Write("csv", 3));
        ASSERT_TRUE(file.Commit());
        EXPECT_EQ(ReadText(target), "csv");
        EXPECT_FALSE(fs::is_symlink(target));
    }
    EXPECT_EQ(ReadText(precious), "samples");
}

TEST(ReplacingFile, FailuresKeepTheirCauseAndTheTarget) {
    test::TempDir dir;
    {
        ReplacingFile file(dir.File("missing/out.csv"));
        EXPECT_FALSE(file.Ready());
        EXPECT_EQ(file.Error(), ENOENT);
        EXPECT_FALSE(file.Write("x", 1));
        EXPECT_FALSE(file.Commit());
    }
    {
        // Neither a folder nor a device is ever replaced by a file.
        fs::create_directory(dir.File("folder"));
        ReplacingFile folder(dir.File("folder"));
        EXPECT_FALSE(folder.Ready());
        EXPECT_EQ(folder.Error(), EISDIR);
        EXPECT_TRUE(fs::is_directory(dir.File("folder")));
        ReplacingFile device("/dev/null");
        EXPECT_FALSE(device.Ready());
        EXPECT_EQ(device.Error(), EINVAL);
        EXPECT_FALSE(device.Commit());
        EXPECT_TRUE(fs::is_character_file("/dev/null"));
    }
    const std::string target = dir.File("out.csv");
    WriteText(target, "old");
    {
        test::FileSizeLimit limit(4);
        ASSERT_TRUE(limit.Active());
        ReplacingFile file(target);
        EXPECT_FALSE(file.Write("too long", 8));
        EXPECT_EQ(file.Error(), EFBIG);
        EXPECT_FALSE(file.Write("x", 1));
        EXPECT_FALSE(file.Commit());
    }
    EXPECT_EQ(ReadText(target), "old");
    EXPECT_EQ(EntriesIn(dir.Path()), 2u);
}

// A name of the longest length a folder allows: the temporary file beside it has a short
// name of its own.
TEST(ReplacingFile, TheLongestNameAFolderAllowsCanBeWritten) {
    test::TempDir dir;
    const std::string target = dir.File(std::string(251, 'n') + ".wav");
    ASSERT_EQ(fs::path(target).filename().string().size(), 255u);
    {
        ReplacingFile file(target);
        ASSERT_TRUE(file.Ready()) << std::strerror(file.Error());
        EXPECT_LT(fs::path(file.TemporaryPath()).filename().string().size(), 40u);
        ASSERT_TRUE(file.Write("whole", 5));
        ASSERT_TRUE(file.Commit());
    }
    EXPECT_EQ(ReadText(target), "whole");
    EXPECT_EQ(EntriesIn(dir.Path()), 1u);
}

// The folder is renamed away and a link to another folder put under its name between the
// temporary file's creation and its rename: nothing reaches the other folder, and the
// temporary file does not stay in the moved one.
TEST(ReplacingFile, AFolderMovedBeforeTheRenameKeepsNothingAndReachesNothing) {
    test::TempDir dir;
    fs::create_directory(dir.File("out"));
    fs::create_directory(dir.File("src"));
    WriteText(dir.File("src/a.wav"), "source");
    const HeldFolder folder(dir.File("out/"));
    ASSERT_GE(folder.Descriptor(), 0);
    ReplacingFile file(folder, dir.File("out/a.wav"), nullptr);
    ASSERT_TRUE(file.Ready());
    ASSERT_TRUE(file.Write("result", 6));
    fs::rename(dir.File("out"), dir.File("moved"));
    fs::create_directory_symlink("src", dir.File("out"));
    EXPECT_FALSE(file.Commit());
    EXPECT_EQ(file.Refusal(), CommitRefusal::FolderMoved);
    EXPECT_EQ(ReadText(dir.File("src/a.wav")), "source");
    EXPECT_EQ(EntriesIn(dir.File("src")), 1u);
    EXPECT_EQ(EntriesIn(dir.File("moved")), 0u);
}

// A kept file (a listed source) put under the name, here by a hard link, is not replaced.
TEST(ReplacingFile, AKeptFileAtTheNameIsNotReplaced) {
    test::TempDir dir;
    WriteText(dir.File("source.wav"), "source");
    const HeldFolder folder(dir.Path().string() + "/");
    struct stat info {};
    ASSERT_EQ(::stat(dir.File("source.wav").c_str(), &info), 0);
    const std::vector<FileIdentity> kept{
        {static_cast<uint64_t>(info.st_dev), static_cast<uint64_t>(info.st_ino), true}};
    ReplacingFile file(folder, dir.File("result.wav"), &kept);
    ASSERT_TRUE(file.Write("result", 6));
    fs::create_hard_link(dir.File("source.wav"), dir.File("result.wav"));
    EXPECT_FALSE(file.Commit());
    EXPECT_EQ(file.Refusal(), CommitRefusal::NameIsAKeptFile);
    EXPECT_EQ(ReadText(dir.File("result.wav")), "source");
    EXPECT_EQ(EntriesIn(dir.Path()), 2u);
}

}  // namespace
}  // namespace tralux
