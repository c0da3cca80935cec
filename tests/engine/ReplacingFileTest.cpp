#include "engine/ReplacingFile.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <cerrno>
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

}  // namespace
}  // namespace tralux
