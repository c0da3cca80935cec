#include <filesystem>
#include <string>

#include "RunFixture.h"

namespace tralux::test {
namespace {

namespace fs = std::filesystem;

class CheckOutputFilesTest : public RunFixture {
protected:
    // A short valid WAV file at dir/relative, folders made as needed.
    FileData& AddSource(const std::string& relative) {
        const fs::path path = dir.Path() / relative;
        fs::create_directories(path.parent_path());
        return AddPath(WriteWav(path.string(), Constant(10, 100, -100)));
    }
    std::string Folder(const std::string& relative) const {
        const fs::path path = dir.Path() / relative;
        fs::create_directories(path);
        return path.string();
    }
    void Touch(const std::string& path) const { WriteFile(path, {1, 2, 3}); }

    // Every ResultFile as it stands, in list order.
    std::vector<std::string> Results() const {
        std::vector<std::string> results;
        for (const auto& file : host.List) {
            results.push_back(file->ResultFile);
        }
        return results;
    }
    // Gives every file a result path as an earlier Prepare would have left it.
    std::vector<std::string> SetEarlierResults() {
        for (auto& file : host.List) {
            file->ResultFile = file->SourceFile + ".earlier";
        }
        return Results();
    }
};

TEST_F(CheckOutputFilesTest, SameFolderAddsTheNameExtension) {
    FileData& a = AddSource("m/Song.WAV");
    FileData& b = AddSource("m/take");
    EXPECT_TRUE(ops.CheckOutputFiles(Request()));
    EXPECT_EQ(a.ResultFile, dir.File("m/Song_tralux.WAV"));
    EXPECT_EQ(b.ResultFile, dir.File("m/take_tralux"));
    EXPECT_EQ(host.Count("ResultNamesChanged"), 1);
    EXPECT_TRUE(host.Errors.empty());
}

TEST_F(CheckOutputFilesTest, FixedFolderWithOrWithoutTrailingSeparator) {
    FileData& a = AddSource("m/Song.wav");
    const std::string out = Folder("out");
    for (const std::string& folder : {out, out + "/"}) {
        options.samefolder = 0;
        options.outputdir = folder;
        EXPECT_TRUE(ops.CheckOutputFiles(Request()));
        EXPECT_EQ(a.ResultFile, out + "/Song_tralux.wav");
    }
}

TEST_F(CheckOutputFilesTest, NoNameExtensionInTheSameFolderListsEveryFile) {
    FileData& a = AddSource("m/a.wav");
    FileData& b = AddSource("m/b.wav");
    a.Ignored = true;  // silent files take part too
    const auto earlier = SetEarlierResults();
    options.addoutputext = false;
    EXPECT_FALSE(ops.CheckOutputFiles(Request()));
    ASSERT_EQ(host.Errors.size(), 1u);
    EXPECT_EQ(host.Errors[0], "Source and Result files are the same for:\r\r   " + a.SourceFile +
                                  "\r   " + b.SourceFile);
    EXPECT_EQ(Results(), earlier);
}

// Every other spelling of a source is a conflict too, not only the same text.
class ResultNamesASource : public CheckOutputFilesTest,
                           public ::testing::WithParamInterface<const char*> {};

TEST_P(ResultNamesASource, IsRefusedAndLeavesTheResultsAsTheyWere) {
    const std::string how = GetParam();
    FileData& a = AddSource("m/Song.wav");
    FileData& b = AddSource("m/Other.wav");
    const auto earlier = SetEarlierResults();
    options.overwritewarn = true;
    options.addoutputext = false;
    options.samefolder = 0;
    if (how == std::string("case")) {
        options.outputdir = dir.File("M");
    } else if (how == std::string("relative part")) {
        options.outputdir = Folder("x") + "/../m";
    } else if (how == std::string("symbolic link")) {
        fs::create_directory_symlink(dir.File("m"), dir.File("link"));
        options.outputdir = dir.File("link");
    } else if (how == std::string("hard link")) {
        options.outputdir = Folder("out");
        fs::create_hard_link(a.SourceFile, dir.File("out/Song.wav"));
    }
    EXPECT_FALSE(ops.CheckOutputFiles(Request()));
    ASSERT_EQ(host.Errors.size(), 1u);
    EXPECT_EQ(host.Errors[0], std::string(messages::SameFiles) + "\r   " + a.SourceFile +
                                  (how == std::string("hard link") ? "" : "\r   " + b.SourceFile));
    EXPECT_EQ(Results(), earlier);
    EXPECT_TRUE(host.Confirms.empty()) << "no overwrite question after a conflict";
}

INSTANTIATE_TEST_SUITE_P(Forms, ResultNamesASource,
                         ::testing::Values("case", "relative part", "symbolic link", "hard link"),
                         [](const auto& info) {
                             std::string name = info.param;
                             for (char& c : name) {
                                 c = c == ' ' ? '_' : c;
                             }
                             return name;
                         });

TEST_F(CheckOutputFilesTest, ResultThatIsAnotherFilesSourceIsAConflict) {
    // x.wav's result would be x_tralux.wav, which is itself listed.
    FileData& x = AddSource("m/x.wav");
    AddSource("m/x_tralux.wav");
    EXPECT_FALSE(ops.CheckOutputFiles(Request()));
    ASSERT_EQ(host.Errors.size(), 1u);
    EXPECT_EQ(host.Errors[0], std::string(messages::SameFiles) + "\r   " + x.SourceFile);
}

TEST_F(CheckOutputFilesTest, TwoFilesWritingOneResultAreRefused) {
    FileData& a = AddSource("a/Song.wav");
    AddSource("b/Other.wav");
    FileData& c = AddSource("c/song.wav");  // differs in letter case only
    const auto earlier = SetEarlierResults();
    options.samefolder = 0;
    options.outputdir = Folder("out");
    EXPECT_FALSE(ops.CheckOutputFiles(Request()));
    ASSERT_EQ(host.Errors.size(), 1u);
    EXPECT_EQ(host.Errors[0], std::string(messages::SharedResults) + "\r   " + a.SourceFile +
                                  "\r   " + c.SourceFile);
    EXPECT_EQ(Results(), earlier);
}

TEST_F(CheckOutputFilesTest, EmptyFixedFolderIsRefusedWithAMessage) {
    AddSource("m/a.wav");
    const auto earlier = SetEarlierResults();
    options.samefolder = 0;
    options.outputdir = "";
    EXPECT_FALSE(ops.CheckOutputFiles(Request()));
    EXPECT_EQ(host.Errors, std::vector<std::string>{messages::NoOutputFolder});
    EXPECT_EQ(Results(), earlier);
}

TEST_F(CheckOutputFilesTest, PromptedFolderIsUsedAndACancelChangesNothing) {
    FileData& a = AddSource("m/a.wav");
    const auto earlier = SetEarlierResults();
    options.samefolder = 2;
    host.PromptFolder = std::nullopt;
    EXPECT_FALSE(ops.CheckOutputFiles(Request()));
    EXPECT_EQ(host.Log, std::vector<std::string>{"FolderPrompt"});
    EXPECT_EQ(Results(), earlier);

    host.PromptFolder = Folder("chosen");
    EXPECT_TRUE(ops.CheckOutputFiles(Request()));
    EXPECT_EQ(a.ResultFile, dir.File("chosen/a_tralux.wav"));
}

TEST_F(CheckOutputFilesTest, OverwriteQuestionsComeInListOrderAndTheFirstNoStops) {
    AddSource("m/a.wav");
    AddSource("m/b.wav");
    AddSource("m/c.wav");
    Touch(dir.File("m/a_tralux.wav"));
    Touch(dir.File("m/c_tralux.wav"));
    const auto earlier = SetEarlierResults();
    options.overwritewarn = true;

    host.ConfirmAnswers = {Answer::No};
    EXPECT_FALSE(ops.CheckOutputFiles(Request()));
    EXPECT_EQ(host.Confirms, std::vector<std::string>{"Output file " + dir.File("m/a_tralux.wav") +
                                                      " already exists. Overwrite?"});
    EXPECT_EQ(Results(), earlier);

    host.Confirms.clear();
    host.ConfirmAnswers = {Answer::None, Answer::No};  // a closed box goes on
    EXPECT_FALSE(ops.CheckOutputFiles(Request()));
    EXPECT_EQ(host.Confirms.size(), 2u);
    EXPECT_EQ(Results(), earlier);

    host.Confirms.clear();
    host.ConfirmAnswers = {Answer::Yes, Answer::Yes};
    EXPECT_TRUE(ops.CheckOutputFiles(Request()));
    ASSERT_EQ(host.Confirms.size(), 2u);
    EXPECT_EQ(host.Confirms[1],
              "Output file " + dir.File("m/c_tralux.wav") + " already exists. Overwrite?");
    EXPECT_EQ(host.List[1]->ResultFile, dir.File("m/b_tralux.wav"));
}

TEST_F(CheckOutputFilesTest, RequestAnsweringYesTellsEachQuestionInsteadOfAskingIt) {
    AddSource("m/a.wav");
    AddSource("m/b.wav");
    Touch(dir.File("m/a_tralux.wav"));
    Touch(dir.File("m/b_tralux.wav"));
    options.overwritewarn = true;
    host.ConfirmAnswers = {Answer::No};
    host.AnswerYes = true;

    EXPECT_TRUE(ops.CheckOutputFiles(Request()));
    EXPECT_EQ(host.ConfirmAnswers.size(), 1u) << "no box was asked";
    for (const char* name : {"m/a_tralux.wav", "m/b_tralux.wav"}) {
        EXPECT_EQ(host.Count("Answered Yes: Output file " + dir.File(name) +
                             " already exists. Overwrite?"),
                  1);
    }
}

TEST_F(CheckOutputFilesTest, NoQuestionWithoutTheOverwriteWarning) {
    AddSource("m/a.wav");
    Touch(dir.File("m/a_tralux.wav"));
    EXPECT_TRUE(ops.CheckOutputFiles(Request()));
    EXPECT_TRUE(host.Confirms.empty());
}

}  // namespace
}  // namespace tralux::test
