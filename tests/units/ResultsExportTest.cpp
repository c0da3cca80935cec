#include "units/ResultsExport.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "../reliability/FileSizeLimit.h"
#include "TempDir.h"
#include "TestWav.h"
#include "units/Loudness.h"

namespace tralux {
namespace {

using test::ReadText;

const char* const Header = "Source File,Source Loudness,Result File,Result Loudness\r\n";

TEST(ResultsText, EmptyListGivesTheHeaderOnly) {
    EXPECT_EQ(ResultsText({}, PercentUnit, "."), Header);
}

TEST(ResultsText, OneQuotedLinePerRowInTheChosenUnit) {
    const std::vector<ExportRow> rows = {
        {"/music/a,b.wav", 2810, "/music/a,b_tralux.wav", 16384},
        {"/music/new.wav", 0, "", 0},  // added, never prepared
    };
    EXPECT_EQ(ResultsText(rows, PercentUnit, "."),
              std::string(Header) +
                  "\"/music/a,b.wav\",\"8.6%\",\"/music/a,b_tralux.wav\",\"50.0%\"\r\n"
                  "\"/music/new.wav\",\"0.0%\",\"\",\"0.0%\"\r\n");
    EXPECT_EQ(ResultsText(rows, DecibelUnit, ","),
              std::string(Header) +
                  "\"/music/a,b.wav\",\"-21,3dB\",\"/music/a,b_tralux.wav\",\"-6,0dB\"\r\n"
                  "\"/music/new.wav\",\"-90,0dB\",\"\",\"-90,0dB\"\r\n");
    EXPECT_EQ(ResultsText(rows, SampleUnit, "."),
              std::string(Header) +
                  "\"/music/a,b.wav\",\"2810\",\"/music/a,b_tralux.wav\",\"16384\"\r\n" +
                  "\"/music/new.wav\",\"0\",\"\",\"0\"\r\n");
}

// The broadcast measures come as six more columns once any file has them; a side not measured,
// or a value the meter gives none of, stays an empty field.
TEST(ResultsText, BroadcastMeasuresAddTheirColumnsOnlyWhenTaken) {
    ExportRow measured{"/m/a.wav", 2810, "/m/a_t.wav", 16384};
    measured.source = {true, -23.04, -1.25, 7.0};
    measured.result = {true, -16.0, -1.0, std::nullopt};
    const ExportRow silent{"/m/s.wav", 0, "", 0, {true, std::nullopt, std::nullopt, std::nullopt}};
    const ExportRow plain{"/m/p.wav", 2810, "/m/p_t.wav", 16384};
    EXPECT_EQ(ResultsText({measured, silent, plain}, SampleUnit, ","),
              "Source File,Source Loudness,Result File,Result Loudness,Source LUFS,Source True "
              "Peak dBTP,Source LRA LU,Result LUFS,Result True Peak dBTP,Result LRA LU\r\n"
              "\"/m/a.wav\",\"2810\",\"/m/a_t.wav\",\"16384\",\"-23,0\",\"-1,3\",\"7,0\","
              "\"-16,0\",\"-1,0\",\"\"\r\n"
              "\"/m/s.wav\",\"0\",\"\",\"0\",\"\",\"\",\"\",\"\",\"\",\"\"\r\n"
              "\"/m/p.wav\",\"2810\",\"/m/p_t.wav\",\"16384\",\"\",\"\",\"\",\"\",\"\",\"\"\r\n");
    // Measures held but not taken (measured false) add nothing: the export of old.
    ExportRow unmeasured = plain;
    unmeasured.result.lufs = -16.0;
    EXPECT_EQ(ResultsText({unmeasured}, SampleUnit, "."),
              std::string(Header) + "\"/m/p.wav\",\"2810\",\"/m/p_t.wav\",\"16384\"\r\n");
}

TEST(ResultsText, QuotesInsideAFieldAreDoubled) {
    const std::vector<ExportRow> rows = {{"/m/q\"uote.wav", 0, "/m/\"\"_t.wav", 0}};
    EXPECT_EQ(ResultsText(rows, SampleUnit, "."),
              std::string(Header) + "\"/m/q\"\"uote.wav\",\"0\",\"/m/\"\"\"\"_t.wav\",\"0\"\r\n");
}

TEST(WriteResultsFile, WritesTheTextByteForByteAndReplacesAnOldFile) {
    test::TempDir dir;
    const std::string path = dir.File("results.csv");
    std::ofstream(path) << "an older, longer file that must disappear entirely\n";
    const std::vector<ExportRow> rows = {{"/x/\xc3\xa9t\xc3\xa9.wav", 1.25, "/y/out.wav", 32767}};
    ASSERT_EQ(WriteResultsFile(path, rows, PercentUnit, ","), std::nullopt);
    EXPECT_EQ(ReadText(path), ResultsText(rows, PercentUnit, ","));
    EXPECT_EQ(ReadText(path),
              std::string(Header) +
                  "\"/x/\xc3\xa9t\xc3\xa9.wav\",\"0,0%\",\"/y/out.wav\",\"100,0%\"\r\n");
}

TEST(WriteResultsFile, AFullDiskReportsAndLeavesTheOldFileWhole) {
    test::TempDir dir;
    const std::string path = dir.File("results.csv");
    std::ofstream(path) << "old";
    const std::vector<ExportRow> rows(50, ExportRow{"/music/a.wav", 1, "/music/b.wav", 2});
    {
        test::FileSizeLimit limit(100);
        ASSERT_TRUE(limit.Active());
        int error = 0;
        EXPECT_EQ(WriteResultsFile(path, rows, PercentUnit, ".", ExportGuard(), &error),
                  "Disk full");
        EXPECT_EQ(error, EFBIG);
    }
    EXPECT_EQ(ReadText(path), "old");
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.Path()), {}), 1);
}

TEST(WriteResultsFile, ADeviceIsNeverReplaced) {
    EXPECT_EQ(WriteResultsFile("/dev/full", {}, PercentUnit, "."), "Invalid filename");
    EXPECT_TRUE(std::filesystem::is_character_file("/dev/full"));
}

// The listed files an export may land on by accident, each in another spelling.
class ExportGuardTest : public testing::Test {
protected:
    void SetUp() override {
        source = dir.File("Song.wav");
        std::ofstream(source) << "samples";
        std::filesystem::create_directory(dir.File("sub"));
        rows = {{source, 1, dir.File("Song_tralux.wav"), 2}, {dir.File("new.wav"), 0, "", 0}};
    }

    test::TempDir dir;
    std::string source;
    std::vector<ExportRow> rows;
};

TEST_F(ExportGuardTest, CoversEverySpellingOfASourceOrResult) {
    const ExportGuard guard(rows);
    std::filesystem::create_symlink(source, dir.File("link.csv"));
    std::filesystem::create_hard_link(source, dir.File("hard.csv"));
    std::filesystem::create_symlink(dir.Path(), dir.File("folderlink"));
    const std::string spellings[] = {
        source,
        dir.File("./Song.wav"),
        dir.File("sub/../Song.wav"),
        dir.File("folderlink/Song.wav"),
        dir.File("link.csv"),
        dir.File("hard.csv"),
        dir.File("SONG.WAV"),
        dir.File("song_TRALUX.wav"),  // a result not yet written
        dir.File("sub/../Song_tralux.wav"),
        dir.File("new.wav"),  // listed but missing
    };
    for (const std::string& spelling : spellings) {
        EXPECT_TRUE(guard.Covers(spelling)) << spelling;
    }
    ASSERT_EQ(::chdir(dir.File("sub").c_str()), 0);
    EXPECT_TRUE(guard.Covers("../Song.wav"));
    EXPECT_FALSE(guard.Covers("../Other.csv"));
    EXPECT_FALSE(guard.Covers(dir.File("Song.wav.csv")));
    EXPECT_FALSE(guard.Covers(dir.File("sub/Song.wav")));
    ASSERT_EQ(::chdir("/"), 0);
}

TEST_F(ExportGuardTest, ARefusedExportWritesNothing) {
    std::filesystem::create_hard_link(source, dir.File("hard.csv"));
    for (const std::string& target : {source, dir.File("hard.csv"), dir.File("Song_tralux.wav")}) {
        EXPECT_EQ(WriteResultsFile(target, rows, PercentUnit, "."), RefusedExportMessage(target));
    }
    // A name the caller adds, such as a result the coming run will write.
    ExportGuard planned;
    planned.Protect(dir.File("later.wav"));
    EXPECT_EQ(WriteResultsFile(dir.File("later.wav"), {}, PercentUnit, ".", planned),
              RefusedExportMessage(dir.File("later.wav")));
    EXPECT_EQ(ReadText(source), "samples");
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.Path()), {}), 3);
}

TEST(WriteResultsFile, ReportsAFileThatCannotBeCreated) {
    test::TempDir dir;
    std::ofstream(dir.File("plain")) << "x";
    // A folder in place of the file, a regular file in place of a folder, a missing folder.
    EXPECT_EQ(WriteResultsFile(dir.Path().string(), {}, PercentUnit, "."), "File access denied");
    EXPECT_EQ(WriteResultsFile(dir.File("plain") + "/out.csv", {}, PercentUnit, "."),
              "Invalid filename");
    EXPECT_EQ(WriteResultsFile(dir.File("none") + "/out.csv", {}, PercentUnit, "."),
              "File not found");
}

TEST(ExportTargetProblem, OnlyAFileOrAFreeNameInAWritableFolderWillDo) {
    namespace fs = std::filesystem;
    test::TempDir dir;
    std::ofstream(dir.File("old.csv")) << "x";
    ASSERT_EQ(::mkfifo(dir.File("fifo").c_str(), 0600), 0);
    fs::create_symlink(dir.File("old.csv"), dir.File("tofile"));
    fs::create_symlink("tofile", dir.File("tolink"));  // a relative link to a link to a file
    fs::create_symlink(dir.File("fifo"), dir.File("tofifo"));
    fs::create_symlink(dir.File("gone"), dir.File("dangling"));
    fs::create_symlink("/proc/self/fd/1", dir.File("stdout"));
    fs::create_symlink(dir.Path(), dir.File("tofolder"));
    for (const std::string& usable :
         {dir.File("new.csv"), dir.File("old.csv"), dir.File("tofile"), dir.File("tolink")}) {
        EXPECT_EQ(ExportTargetProblem(usable), std::nullopt) << usable;
    }
    EXPECT_EQ(ExportTargetProblem(dir.Path().string()), "it is a folder");
    EXPECT_EQ(ExportTargetProblem(dir.File("tofolder")), "it is a folder");
    EXPECT_EQ(ExportTargetProblem(dir.File("new/")), "it is a folder");
    EXPECT_EQ(ExportTargetProblem("/dev/full"), "it is not a file");
    EXPECT_EQ(ExportTargetProblem(dir.File("fifo")), "it is not a file");
    for (const char* link : {"tofifo", "dangling", "stdout"}) {
        EXPECT_EQ(ExportTargetProblem(dir.File(link)),
                  "it is a link to something other than a file")
            << link;
    }
    EXPECT_EQ(ExportTargetProblem("/dev/stdout"), "it is a link to something other than a file");
    EXPECT_EQ(ExportTargetProblem(dir.File("none/out.csv")),
              "its folder " + dir.File("none") + " does not exist");
    EXPECT_EQ(ExportTargetProblem(dir.File("old.csv/out.csv")),
              "its folder " + dir.File("old.csv") + " is not a folder");
}

// A link at the export's name is replaced by the export only when it leads to a file: a link
// to a device or to an open stream, as /dev/stdout is, stays.
TEST(WriteResultsFile, ALinkThatDoesNotLeadToAFileIsNotReplaced) {
    namespace fs = std::filesystem;
    test::TempDir dir;
    fs::create_symlink("/dev/null", dir.File("null.csv"));
    fs::create_symlink("/proc/self/fd/1", dir.File("stdout.csv"));
    for (const char* link : {"null.csv", "stdout.csv"}) {
        EXPECT_EQ(WriteResultsFile(dir.File(link), {}, PercentUnit, "."), "Invalid filename");
        EXPECT_TRUE(fs::is_symlink(dir.File(link))) << link;
    }
    std::ofstream(dir.File("old.csv")) << "x";
    fs::create_symlink(dir.File("old.csv"), dir.File("file.csv"));
    EXPECT_EQ(WriteResultsFile(dir.File("file.csv"), {}, PercentUnit, "."), std::nullopt);
    EXPECT_FALSE(fs::is_symlink(dir.File("file.csv")));
    EXPECT_EQ(ReadText(dir.File("old.csv")), "x");
}

TEST(IoErrorText, CommonCasesAndTheRest) {
    EXPECT_EQ(IoErrorText(EMFILE), "Too many open files");
    EXPECT_EQ(IoErrorText(EACCES), "File access denied");
    EXPECT_EQ(IoErrorText(ENOSPC), "Disk full");
    EXPECT_EQ(IoErrorText(EIO), "I/O error " + std::to_string(EIO));
}

}  // namespace
}  // namespace tralux
