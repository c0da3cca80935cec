#include "units/ResultsExport.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cerrno>
#include <fstream>
#include <sstream>

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

TEST(WriteResultsFile, ReportsAFullDisk) {
    struct stat info {};
    if (stat("/dev/full", &info) != 0) {
        GTEST_SKIP() << "/dev/full is missing";
    }
    EXPECT_EQ(WriteResultsFile("/dev/full", {}, PercentUnit, "."), "Disk full");
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

TEST(IoErrorText, CommonCasesAndTheRest) {
    EXPECT_EQ(IoErrorText(EMFILE), "Too many open files");
    EXPECT_EQ(IoErrorText(EACCES), "File access denied");
    EXPECT_EQ(IoErrorText(ENOSPC), "Disk full");
    EXPECT_EQ(IoErrorText(EIO), "I/O error " + std::to_string(EIO));
}

}  // namespace
}  // namespace tralux
