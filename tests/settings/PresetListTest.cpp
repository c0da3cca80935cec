#include "settings/PresetList.h"

#include <gtest/gtest.h>

namespace tralux {
namespace {

PresetList ListOf(std::initializer_list<const char*> names) {
    PresetList list;
    double level = 1000;
    for (const char* name : names) {
        list.Append(Preset(name, level++));
    }
    return list;
}

struct InsertCase {
    std::vector<const char*> before;
    const char* added;
    std::vector<std::string> after;
    int index;
};

class StorePresetTest : public testing::TestWithParam<InsertCase> {};

TEST_P(StorePresetTest, InsertsBeforeTheFirstGreaterNameWithoutSorting) {
    PresetList list;
    for (const char* name : GetParam().before) {
        list.Append(Preset(name, 1));
    }
    EXPECT_EQ(list.StorePreset(GetParam().added, 5), GetParam().index);
    EXPECT_EQ(list.Names(), GetParam().after);
}

INSTANTIATE_TEST_SUITE_P(
    Examples, StorePresetTest,
    testing::Values(InsertCase{{"Alpha", "Gamma"}, "Beta", {"Alpha", "Beta", "Gamma"}, 1},
                    // Byte order: upper case sorts before lower case.
                    InsertCase{{"Alpha", "Gamma"}, "beta", {"Alpha", "Gamma", "beta"}, 2},
                    // A loaded list out of order stays as it is.
                    InsertCase{{"Zed", "Alpha"}, "Beta", {"Beta", "Zed", "Alpha"}, 0},
                    InsertCase{{}, "Only", {"Only"}, 0},
                    // A trailing blank makes another name.
                    InsertCase{{"Beta"}, "Beta ", {"Beta", "Beta "}, 1},
                    // Bytes compare unsigned: UTF-8 letters sort after ASCII.
                    InsertCase{{"\xc3\x89t\xc3\xa9", "Zed"},
                               "Alpha",
                               {"Alpha", "\xc3\x89t\xc3\xa9", "Zed"},
                               0}));

TEST(StorePreset, NewLevelsAreRoundedOverwritesKeepTheirPlaceAndTheExactLevel) {
    PresetList list = ListOf({"Zed", "Alpha"});
    EXPECT_EQ(list.StorePreset("New", 2810.5), 0);
    EXPECT_EQ(list[0].Level, 2810.0);
    EXPECT_EQ(list.StorePreset("Alpha", 1234.5678), 2);
    EXPECT_EQ(list.Names(), (std::vector<std::string>{"New", "Zed", "Alpha"}));
    EXPECT_EQ(list[2].Level, 1234.5678);
}

TEST(FindPreset, ExactCaseSensitiveFirstMatch) {
    PresetList list = ListOf({"Alpha", "alpha", "Alpha"});
    EXPECT_EQ(list.FindPreset("Alpha"), 0);
    EXPECT_EQ(list.FindPreset("alpha"), 1);
    EXPECT_EQ(list.FindPreset("ALPHA"), -1);
    EXPECT_EQ(list.FindPreset("Alpha "), -1);
}

TEST(DeletePreset, RemovesTheChosenItemAndRemembersTheBuiltInLevel) {
    PresetList list = ListOf({"A", "B"});
    list.StorePreset("Mine", 2810.0);
    bool replaygaindeleted = false;
    EXPECT_TRUE(list.DeletePreset(0, replaygaindeleted));
    EXPECT_FALSE(replaygaindeleted);
    EXPECT_FALSE(list.DeletePreset(5, replaygaindeleted));
    EXPECT_TRUE(list.DeletePreset(list.FindPreset("Mine"), replaygaindeleted));
    EXPECT_TRUE(replaygaindeleted);
    EXPECT_EQ(list.Names(), std::vector<std::string>{"B"});
}

TEST(DeletePreset, OfTwoEqualNamesTheSelectedOneGoes) {
    PresetList list;
    list.Append(Preset("Dup", 100));
    list.Append(Preset("Dup", 200));
    bool replaygaindeleted = false;
    list.DeletePreset(1, replaygaindeleted);
    ASSERT_EQ(list.Count(), 1);
    EXPECT_EQ(list[0].Level, 100);
}

TEST(ChosenPresetLevel, TheFirstPresetOfTheSelectedName) {
    PresetList list;
    list.Append(Preset("Dup", 100));
    list.Append(Preset("Dup", 200));
    EXPECT_EQ(list.ChosenPresetLevel(1), 100);
    EXPECT_EQ(list.ChosenPresetLevel(-1), std::nullopt);
    EXPECT_EQ(list.ChosenPresetLevel(2), std::nullopt);
}

}  // namespace
}  // namespace tralux
