#include "operations/Intake.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>

#include "TempDir.h"
#include "TestWav.h"
#include "files/WaveHeader.h"

namespace tralux {
namespace {

namespace fs = std::filesystem;

class IntakeTest : public testing::Test {
protected:
    test::TempDir dir;
    SameFileIndex listed{SameFileRule::Listing};
    UngroupedNumbers numbers;

    std::string Wav(const std::string& name, int32_t frames = 100) {
        return test::WriteWav(dir.File(name), test::Samples(2 * static_cast<size_t>(frames), 1000));
    }
};

TEST_F(IntakeTest, AWavFileBecomesANewRecord) {
    const std::string path = Wav("a.wav");
    const Intake intake = TakeIn(path, listed, numbers);
    ASSERT_EQ(intake.outcome, Intake::Outcome::Added);
    ASSERT_NE(intake.record, nullptr);
    EXPECT_EQ(intake.record->SourceFile, path);
    EXPECT_EQ(intake.record->FrameCount, 100);
    EXPECT_FALSE(intake.shorterThanHeader);
}

TEST_F(IntakeTest, AListedFileInAnotherSpellingGivesItsPosition) {
    const std::string a = Wav("a.wav");
    const std::string b = Wav("b.wav");
    listed.Add(a, 0);
    listed.Add(b, 1);
    fs::create_symlink(b, dir.File("link.wav"));

    for (const std::string& path : {b, dir.File("link.wav"), dir.File("./b.wav")}) {
        const Intake intake = TakeIn(path, listed, numbers);
        EXPECT_EQ(intake.outcome, Intake::Outcome::Listed) << path;
        EXPECT_EQ(intake.listedAt, std::optional<size_t>(1)) << path;
        EXPECT_EQ(intake.record, nullptr);
    }
}

TEST_F(IntakeTest, ARefusalCarriesTheMessageOfItsOwnReason) {
    const std::string text = dir.File("notes.wav");
    std::ofstream(text) << "not a wave file at all";
    const std::string missing = dir.File("missing.wav");
    const std::string folder = dir.File("folder.wav");
    fs::create_directory(folder);
    const std::string pipe = dir.File("pipe.wav");
    ASSERT_EQ(::mkfifo(pipe.c_str(), 0600), 0);
    const std::pair<std::string, std::string> cases[] = {
        {text, RefusedFileMessage(ReadWaveHeader(text), text)},
        {missing, "\"" + missing + "\" does not exist"},
        {dir.File("no-folder/a.wav"), "\"" + dir.File("no-folder/a.wav") + "\" does not exist"},
        {folder, "\"" + folder + "\" is a folder, not a WAV file"},
        {pipe, "\"" + pipe + "\" is a device or a pipe, not a WAV file"},
    };
    for (const auto& [path, message] : cases) {
        const Intake intake = TakeIn(path, listed, numbers);
        ASSERT_EQ(intake.outcome, Intake::Outcome::Refused) << path;
        EXPECT_EQ(intake.record, nullptr);
        EXPECT_EQ(intake.refusal, message);
    }
}

TEST_F(IntakeTest, AFileShorterThanItsHeaderIsAddedAndSaysSo) {
    // The header claims 200 frames; the file holds the first 100.
    std::vector<uint8_t> bytes = test::MakeWav(test::Samples(400, 1000));
    bytes.resize(bytes.size() - 400);
    const std::string path = dir.File("short.wav");
    test::WriteFile(path, bytes);
    const Intake intake = TakeIn(path, listed, numbers);
    ASSERT_EQ(intake.outcome, Intake::Outcome::Added);
    EXPECT_TRUE(intake.shorterThanHeader);
    EXPECT_EQ(intake.record->FrameCount, 100);
}

}  // namespace
}  // namespace tralux
