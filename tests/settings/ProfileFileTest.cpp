#include "settings/ProfileFile.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "TempDir.h"
#include "TestWav.h"
#include "settings/Settings.h"

namespace tralux {
namespace {

using test::ReadText;

TEST(ProfileFile, NamesCompareWithoutCaseAndTheFirstOfTwoWins) {
    const ProfileFile file =
        ProfileFile::Parse("[options]\r\nNameExt = _x \r\nnameext=_second\r\n[Other]\r\nkey=1\r\n");
    EXPECT_EQ(file.ReadString("Options", "nameext", "d"), "_x");
    EXPECT_EQ(file.ReadString("OPTIONS", "NAMEEXT", "d"), "_x");
    EXPECT_EQ(file.ReadString("Options", "key", "d"), "d");
    EXPECT_EQ(file.ReadString("Missing", "key", "d"), "d");
}

TEST(ProfileFile, LongValuesAreCut) {
    const std::string value(3000, 'v');
    const ProfileFile file = ProfileFile::Parse("[s]\nk=" + value + "\n");
    EXPECT_EQ(file.ReadString("s", "k", ""), value.substr(0, 2047));
}

struct IntegerCase {
    const char* text;
    int32_t value;
};

class ReadIntegerTest : public testing::TestWithParam<IntegerCase> {};

TEST_P(ReadIntegerTest, ParsesOrGivesTheDefault) {
    const ProfileFile file = ProfileFile::Parse(std::string("[s]\nk=") + GetParam().text + "\n");
    EXPECT_EQ(file.ReadInteger("s", "k", -7), GetParam().value);
}

INSTANTIATE_TEST_SUITE_P(Texts, ReadIntegerTest,
                         testing::Values(IntegerCase{"42", 42}, IntegerCase{"-3", -3},
                                         IntegerCase{"+3", 3}, IntegerCase{"0x1F", 31},
                                         IntegerCase{"0XfF", 255}, IntegerCase{"0xFFFFFFFF", -1},
                                         IntegerCase{"0x100000000", -7}, IntegerCase{"0x", -7},
                                         IntegerCase{"2147483647", 2147483647},
                                         IntegerCase{"2147483648", -7}, IntegerCase{"", -7},
                                         IntegerCase{"12a", -7}, IntegerCase{"1.5", -7},
                                         IntegerCase{"-0x5", -7}, IntegerCase{"+-1", -7}));

TEST(ProfileFile, BooleansAreIntegers) {
    const ProfileFile file = ProfileFile::Parse("[s]\na=0\nb=1\nc=-5\nd=yes\ne=0x10\n");
    EXPECT_FALSE(file.ReadBool("s", "a", true));
    EXPECT_TRUE(file.ReadBool("s", "b", false));
    EXPECT_TRUE(file.ReadBool("s", "c", false));
    EXPECT_TRUE(file.ReadBool("s", "d", true));
    EXPECT_FALSE(file.ReadBool("s", "d", false));
    EXPECT_TRUE(file.ReadBool("s", "e", false));
}

struct FloatCase {
    const char* text;
    const char* separator;
    double value;
};

class ReadFloatTest : public testing::TestWithParam<FloatCase> {};

TEST_P(ReadFloatTest, ParsesOrGivesTheDefault) {
    const ProfileFile file = ProfileFile::Parse(std::string("[s]\nk=") + GetParam().text + "\n");
    EXPECT_EQ(file.ReadFloat("s", "k", -1.0, GetParam().separator), GetParam().value);
}

INSTANTIATE_TEST_SUITE_P(Texts, ReadFloatTest,
                         testing::Values(FloatCase{"1.5", ".", 1.5}, FloatCase{"1,5", ",", 1.5},
                                         // A file written under another locale still reads.
                                         FloatCase{"1.5", ",", 1.5}, FloatCase{"1,5", ".", 1.5},
                                         FloatCase{"2810", ".", 2810.0},
                                         FloatCase{"-2.5e3", ".", -2500.0},
                                         FloatCase{"+3", ".", 3.0}, FloatCase{"abc", ".", -1.0},
                                         FloatCase{"1.5x", ".", -1.0}, FloatCase{"", ".", -1.0},
                                         FloatCase{"inf", ".", -1.0}, FloatCase{"nan", ".", -1.0},
                                         FloatCase{"1e999", ".", -1.0}));

TEST(FloatSettingText, ShortestGeneralNotationWithFifteenDigits) {
    EXPECT_EQ(FloatSettingText(3.0, "."), "3");
    EXPECT_EQ(FloatSettingText(1.5, ","), "1,5");
    EXPECT_EQ(FloatSettingText(2810.0, "."), "2810");
    EXPECT_EQ(FloatSettingText(0.1, "."), "0.1");
    EXPECT_EQ(FloatSettingText(2.0 / 3.0, "."), "0.666666666666667");
}

TEST(ProfileFile, WritesReplaceInPlaceAndAddAtTheEndOfTheSection) {
    ProfileFile file =
        ProfileFile::Parse("; a comment\r\n[A]\r\nx=1\r\ny=2\r\n\r\n[B]\r\nz=3\r\nloose line\r\n");
    file.WriteString("a", "Y", "20");
    file.WriteString("A", "new", "n");
    file.WriteInteger("C", "c", -4);
    EXPECT_EQ(file.Text(),
              "; a comment\n[A]\nx=1\nY=20\nnew=n\n\n[B]\nz=3\nloose line\n[C]\nc=-4\n");
}

TEST(ProfileFile, EraseSectionRemovesEveryCopyAndKeepsTheRest) {
    ProfileFile file = ProfileFile::Parse("top=1\n[A]\nx=1\n[b]\ny=2\n[a]\nz=3\n");
    file.EraseSection("A");
    EXPECT_EQ(file.Text(), "top=1\n[b]\ny=2\n");
}

TEST(ProfileFile, StringsWithOuterBlanksOrQuotesReadBackUnchanged) {
    for (const std::string value : {" lead", "trail ", "\"quoted\"", "in \"side\"", "", "\""}) {
        ProfileFile file;
        file.WriteString("s", "k", value);
        EXPECT_EQ(ProfileFile::Parse(file.Text()).ReadString("s", "k", "d"), value) << value;
    }
}

TEST(ProfileFile, ALineBreakEndsTheValue) {
    ProfileFile file;
    file.WriteString("s", "k", "one\ntwo=2");
    EXPECT_EQ(file.Text(), "[s]\nk=one\n");
}

TEST(ProfileFile, SaveReplacesTheFileWhole) {
    test::TempDir dir;
    const std::string path = dir.File("tralux.ini");
    std::ofstream(path) << "[Old]\r\nkey=value\r\n";
    ProfileFile file = ProfileFile::Load(path);
    file.WriteString("New", "k", "v");
    file.Save(path);
    EXPECT_EQ(ReadText(path), "[Old]\nkey=value\n[New]\nk=v\n");
    // No temporary file is left beside it.
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.Path()), {}), 1);
}

TEST(ProfileFile, SaveCreatesAMissingFolder) {
    test::TempDir dir;
    const std::string path = dir.File("Tralux/tralux.ini");
    ProfileFile file;
    file.WriteBool("s", "k", true);
    file.Save(path);
    EXPECT_EQ(ReadText(path), "[s]\nk=1\n");
}

TEST(ProfileFile, SaveIntoAnUnwritableFolderThrowsWithTheFullPath) {
    test::TempDir dir;
    std::ofstream(dir.File("notafolder")) << "x";
    const std::string path = dir.File("notafolder/tralux.ini");
    try {
        ProfileFile().Save(path);
        FAIL() << "no error";
    } catch (const SettingsError& error) {
        EXPECT_EQ(std::string(error.what()), "Unable to write to " + path);
    }
}

TEST(ProfileFile, LoadOfAMissingOrUnreadableFileIsEmpty) {
    test::TempDir dir;
    EXPECT_EQ(ProfileFile::Load(dir.File("none.ini")).Text(), "");
    EXPECT_EQ(ProfileFile::Load(dir.Path().string()).Text(), "");
    // Neither waits for a writer nor reads without end.
    ASSERT_EQ(::mkfifo(dir.File("fifo.ini").c_str(), 0600), 0);
    EXPECT_EQ(ProfileFile::Load(dir.File("fifo.ini")).Text(), "");
    EXPECT_EQ(ProfileFile::Load("/dev/zero").Text(), "");
}

}  // namespace
}  // namespace tralux
