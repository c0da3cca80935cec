#include <gtest/gtest.h>

#include <stdexcept>
#include <string>

#include "operations/OutputNaming.h"

namespace tralux {
namespace {

struct NamingCase {
    const char* source;
    const char* folder;  // empty: the source's own folder
    const char* nameext;
    const char* expected;
};

// Result paths under the Windows rules (backslash and colon break a path, a join adds a
// backslash) and under the native ones.
void PrintTo(const NamingCase& c, std::ostream* os) {
    *os << c.source << " -> " << c.expected;
}

std::string Result(const NamingCase& c, const PathStyle& style) {
    Options options;
    options.nameext = c.nameext;
    const std::string folder = *c.folder ? c.folder : FolderPart(c.source, style);
    return JoinPath(folder, ResultFileName(c.source, options, style), style);
}

class WindowsNaming : public ::testing::TestWithParam<NamingCase> {};

TEST_P(WindowsNaming, BuildsTheResultPath) {
    EXPECT_EQ(Result(GetParam(), WindowsPathStyle), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Table, WindowsNaming,
    ::testing::Values(
        NamingCase{R"(C:\Music\Song.WAV)", "", "_tralux", R"(C:\Music\Song_tralux.WAV)"},
        NamingCase{R"(C:\Music\a.b.wav)", "", "_tralux", R"(C:\Music\a.b_tralux.wav)"},
        NamingCase{R"(C:\Mix.old\take)", "", "_tralux", R"(C:\Mix.old\take_tralux)"},
        NamingCase{R"(C:\Music\Song.wav)", R"(D:\)", "_tralux", R"(D:\Song_tralux.wav)"},
        NamingCase{R"(C:\Music\Song.wav)", R"(D:\Out)", "_tralux", R"(D:\Out\Song_tralux.wav)"},
        // A drive alone gets a backslash: only the separator counts at the join.
        NamingCase{R"(C:\Music\Song.wav)", "D:", "_tralux", R"(D:\Song_tralux.wav)"},
        NamingCase{"C:Song.wav", "", "_tralux", R"(C:\Song_tralux.wav)"},
        NamingCase{R"(C:\Music\Song.wav)", "", "x.y", R"(C:\Music\Songx.y.wav)"}));

class PosixNaming : public ::testing::TestWithParam<NamingCase> {};

TEST_P(PosixNaming, BuildsTheResultPath) {
    EXPECT_EQ(Result(GetParam(), PosixPathStyle), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Table, PosixNaming,
    ::testing::Values(NamingCase{"/music/Song.WAV", "", "_tralux", "/music/Song_tralux.WAV"},
                      NamingCase{"/music/a.b.wav", "", "_tralux", "/music/a.b_tralux.wav"},
                      NamingCase{"/mix.old/take", "", "_tralux", "/mix.old/take_tralux"},
                      NamingCase{"/music/Song.wav", "/out/", "_tralux", "/out/Song_tralux.wav"},
                      NamingCase{"/music/Song.wav", "/out", "_tralux", "/out/Song_tralux.wav"},
                      NamingCase{"/music/.wav", "", "_t", "/music/_t.wav"},
                      // A colon is an ordinary character here.
                      NamingCase{"/music/a:b.wav", "", "_t", "/music/a:b_t.wav"},
                      NamingCase{"/music/Song.wav", "", "x.y", "/music/Songx.y.wav"}));

TEST(PathPieces, FollowTheLastBreak) {
    EXPECT_EQ(FileNamePart("song.wav"), "song.wav");
    EXPECT_EQ(FolderPart("song.wav"), "");
    EXPECT_EQ(FolderPart("/a/b/"), "/a/b/");
    EXPECT_EQ(FileNamePart("/a/b/"), "");
    EXPECT_EQ(ExtensionPart("archive.tar.gz"), ".gz");
    EXPECT_EQ(ExtensionPart("noext"), "");
    EXPECT_EQ(ExtensionPart(R"(C:\a.b\c)", WindowsPathStyle), "");
    EXPECT_EQ(FolderPart(R"(C:\a\b.wav)", WindowsPathStyle), R"(C:\a\)");
    EXPECT_EQ(FolderPart("C:b.wav", WindowsPathStyle), "C:");
}

TEST(PathPieces, NameExtensionIsLeftOutWhenNotAdded) {
    Options options;
    options.addoutputext = false;
    EXPECT_EQ(ResultFileName("/music/Song.wav", options), "Song.wav");
}

TEST(PathPieces, JoinRefusesAnEmptyFolder) {
    // Joined by the rule, an empty folder would name a file at the root.
    EXPECT_THROW(JoinPath("", "song.wav"), std::invalid_argument);
}

TEST(PathPieces, AsciiUpperFoldsOnlyAToZ) {
    EXPECT_EQ(AsciiUpper("/m\xC3\xa4x/a-z.wav"), "/M\xC3\xa4X/A-Z.WAV");
}

}  // namespace
}  // namespace tralux
