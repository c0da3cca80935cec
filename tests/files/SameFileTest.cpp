#include "files/SameFile.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "TempDir.h"

namespace tralux {
namespace {

namespace fs = std::filesystem;

// Paths relative to a folder holding a.wav, b.wav, A.wav (another file), hard.wav (a hard
// link to a.wav), link.wav (a symbolic link to a.wav), the folder sub and linkdir (a symbolic
// link to sub). new.wav exists nowhere.
struct SameFileCase {
    const char* name;
    const char* first;
    const char* second;
    bool listing;  // the same file when listing
    bool writing;  // the same file when writing a result or the export
};

void PrintTo(const SameFileCase& c, std::ostream* os) {
    *os << c.name;
}

class SameFileRules : public testing::TestWithParam<SameFileCase> {
protected:
    test::TempDir dir;

    void SetUp() override {
        for (const char* name : {"a.wav", "b.wav", "A.wav"}) {
            std::ofstream(dir.File(name)) << name;
        }
        fs::create_hard_link(dir.File("a.wav"), dir.File("hard.wav"));
        fs::create_symlink(dir.File("a.wav"), dir.File("link.wav"));
        fs::create_directory(dir.File("sub"));
        fs::create_directory_symlink(dir.File("sub"), dir.File("linkdir"));
    }
};

TEST_P(SameFileRules, BothRulesAnswerAsTheTableSays) {
    const SameFileCase& c = GetParam();
    for (const SameFileRule rule : {SameFileRule::Listing, SameFileRule::Writing}) {
        const bool expected = rule == SameFileRule::Listing ? c.listing : c.writing;
        const PathIdentity first = IdentityOf(dir.File(c.first), rule);
        const PathIdentity second = IdentityOf(dir.File(c.second), rule);
        EXPECT_EQ(SameFile(first, second, rule), expected);
        EXPECT_EQ(SameFile(second, first, rule), expected);
        // The index answers as the comparison does, whichever path came first.
        SameFileIndex index(rule);
        index.Add(first, 7);
        EXPECT_EQ(index.Find(second), expected ? std::optional<size_t>(7) : std::nullopt);
        EXPECT_EQ(SameFileIndex::Clashes({first, second}, rule),
                  (std::vector<bool>{expected, expected}));
    }
}

INSTANTIATE_TEST_SUITE_P(
    Paths, SameFileRules,
    testing::Values(SameFileCase{"IdenticalText", "a.wav", "a.wav", true, true},
                    SameFileCase{"TwoFiles", "a.wav", "b.wav", false, false},
                    SameFileCase{"HardLink", "a.wav", "hard.wav", true, true},
                    SameFileCase{"SymbolicLink", "link.wav", "a.wav", true, true},
                    SameFileCase{"DotDotSegment", "sub/../a.wav", "a.wav", true, true},
                    // Two files on this file system, one on a case-insensitive one.
                    SameFileCase{"CaseOfTwoFiles", "a.wav", "A.wav", false, true},
                    SameFileCase{"CaseOfNoFile", "new.wav", "NEW.WAV", false, true},
                    SameFileCase{"NoFileSameText", "new.wav", "new.wav", true, true},
                    SameFileCase{"NoFileThroughDotDot", "sub/../new.wav", "new.wav", false, true},
                    SameFileCase{"NoFileThroughLinkedFolder", "linkdir/new.wav", "sub/new.wav",
                                 false, true},
                    SameFileCase{"NoFileBesideAFile", "new.wav", "a.wav", false, false}),
    [](const testing::TestParamInfo<SameFileCase>& info) { return info.param.name; });

TEST(SameFileIndex, KeepsTheFirstIndexOfAFileAndTellsEveryMemberOfAClash) {
    test::TempDir dir;
    for (const char* name : {"a.wav", "b.wav"}) {
        std::ofstream(dir.File(name)) << name;
    }
    fs::create_hard_link(dir.File("a.wav"), dir.File("hard.wav"));

    SameFileIndex listed(SameFileRule::Listing);
    listed.Add(dir.File("a.wav"), 0);
    listed.Add(dir.File("b.wav"), 1);
    listed.Add(dir.File("hard.wav"), 2);  // another name of 0: 0 keeps the file
    EXPECT_EQ(listed.Find(dir.File("./hard.wav")), std::optional<size_t>(0));
    EXPECT_EQ(listed.Find(dir.File("hard.wav")), std::optional<size_t>(2));  // its own text
    EXPECT_EQ(listed.Find(dir.File("b.wav")), std::optional<size_t>(1));
    EXPECT_EQ(listed.Find(dir.File("c.wav")), std::nullopt);

    const std::vector<bool> clashes =
        SameFileIndex::Clashes({IdentityOf(dir.File("a.wav")), IdentityOf(dir.File("b.wav")),
                                IdentityOf(dir.File("HARD.WAV")), IdentityOf(dir.File("hard.wav"))},
                               SameFileRule::Writing);
    EXPECT_EQ(clashes, (std::vector<bool>{true, false, true, true}));
}

}  // namespace
}  // namespace tralux
