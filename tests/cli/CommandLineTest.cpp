#include <gtest/gtest.h>

#include "CommandLine.h"
#include "Program.h"

namespace tralux::cli {
namespace {

TEST(CommandLine, OptionsMayStandAnywhereAndTakeTheirValueEitherWay) {
    const CommandLine line =
        ParseCommandLine({"balance", "a.wav", "--reference=file:2", "--group", "a.wav,b.wav",
                          "b.wav", "--units", "db", "-y", "--", "--c.wav"});
    EXPECT_EQ(line.command, Command::Balance);
    EXPECT_EQ(line.files, (std::vector<std::string>{"a.wav", "b.wav", "--c.wav"}));
    EXPECT_EQ(line.reference.choice, ReferenceChoice::Highlighted);
    EXPECT_EQ(line.reference.fileNumber, 2);
    ASSERT_EQ(line.groups.size(), 1u);
    EXPECT_EQ(line.groups[0], (std::vector<std::string>{"a.wav", "b.wav"}));
    EXPECT_EQ(line.units, 1);
    EXPECT_TRUE(line.yes);
    EXPECT_FALSE(line.quiet);
}

TEST(CommandLine, UnsetOptionsLeaveTheSettingsFileInForce) {
    const CommandLine line = ParseCommandLine({"prepare", "a.wav"});
    EXPECT_FALSE(line.outputDir || line.suffix || line.units || line.csvFile);
    EXPECT_FALSE(line.noSuffix);
    EXPECT_EQ(line.reference.choice, ReferenceChoice::Quietest);
}

TEST(CommandLine, FlacLevelIsALevelOfTheEncoderOrSource) {
    EXPECT_EQ(ParseCommandLine({"balance", "--flac-level", "0", "a.flac"}).flacLevel, 0);
    EXPECT_EQ(ParseCommandLine({"prepare", "--flac-level=8", "a.flac"}).flacLevel, 8);
    EXPECT_EQ(ParseCommandLine({"balance", "--flac-level=source", "a.flac"}).flacLevel,
              FlacLevelAsTheSource);
    EXPECT_FALSE(ParseCommandLine({"balance", "a.flac"}).flacLevel);
    EXPECT_THROW(ParseCommandLine({"balance", "--flac-level", "9", "a.flac"}), UsageError);
    EXPECT_THROW(ParseCommandLine({"balance", "--flac-level", "best", "a.flac"}), UsageError);
    // analyse writes nothing, so it has no level to take.
    EXPECT_THROW(ParseCommandLine({"analyse", "--flac-level", "5", "a.flac"}), UsageError);
}

TEST(CommandLine, PresetNamesKeepTheirColonsAndBlanks) {
    const CommandLine line =
        ParseCommandLine({"balance", "--reference", "preset:Radio: loud ", "a.wav"});
    EXPECT_EQ(line.reference.choice, ReferenceChoice::Preset);
    EXPECT_EQ(line.reference.presetName, "Radio: loud ");
}

TEST(CommandLine, NumbersAcceptEitherDecimalMarkButNothingElse) {
    EXPECT_EQ(ParseNumber("1.5"), 1.5);
    EXPECT_EQ(ParseNumber("1,5"), 1.5);
    EXPECT_EQ(ParseNumber("+2"), 2.0);
    EXPECT_FALSE(ParseNumber(""));
    EXPECT_FALSE(ParseNumber("2x"));
    EXPECT_FALSE(ParseNumber("1e400"));
    EXPECT_FALSE(ParseNumber("nan"));
    const CommandLine line = ParseCommandLine(
        {"balance", "--max-compression", "2,5", "--reference", "level:2810.5", "a.wav"});
    EXPECT_EQ(line.maxCompression, 2.5);
    EXPECT_EQ(line.reference.level, 2810.5);
}

TEST(CommandLine, HelpNeedsNoCommandOrFiles) {
    EXPECT_TRUE(ParseCommandLine({"--help"}).help);
    EXPECT_TRUE(ParseCommandLine({"-V"}).version);
    EXPECT_THROW(ParseCommandLine({}), UsageError);
}

TEST(AbsolutePathTest, DropsDotSegmentsAndDoubledSlashesButKeepsParents) {
    EXPECT_EQ(AbsolutePath("/music/./a//b.wav"), "/music/a/b.wav");
    EXPECT_EQ(AbsolutePath("/music/../b.wav"), "/music/../b.wav");
    const std::string relative = AbsolutePath("x.wav");
    EXPECT_EQ(relative.front(), '/');
    EXPECT_TRUE(relative.ends_with("/x.wav"));
}

}  // namespace
}  // namespace tralux::cli
