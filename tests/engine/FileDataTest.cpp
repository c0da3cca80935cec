#include <gtest/gtest.h>

#include "engine/FileData.h"

namespace tralux {
namespace {

struct BlockCase {
    int32_t Frames;
    int32_t Blocks;
    int32_t LastBlockFrames;
    friend void PrintTo(const BlockCase& c, std::ostream* os) { *os << c.Frames << " frames"; }
};

class BlockSplit : public testing::TestWithParam<BlockCase> {};

TEST_P(BlockSplit, CountsBlocksAndLastBlock) {
    UngroupedNumbers numbers;
    const FileData file("/a.wav", 44, GetParam().Frames, 0, numbers);
    EXPECT_EQ(file.BlockCount, GetParam().Blocks);
    EXPECT_EQ(file.LastBlockFrames, GetParam().LastBlockFrames);
}

INSTANTIATE_TEST_SUITE_P(Frames, BlockSplit,
                         testing::Values(BlockCase{5000, 1, 0}, BlockCase{5001, 2, 1},
                                         BlockCase{4999, 1, 4999}, BlockCase{12345, 3, 2345},
                                         BlockCase{1, 1, 1}, BlockCase{0, 1, 0},
                                         BlockCase{0x3FFFFFFF, 214749, 1823}));

TEST(FileData, StartsEmptyWithFreshNegativeGroupNumbers) {
    UngroupedNumbers numbers;
    const FileData first("/a.wav", 92, 2, 2, numbers);
    const FileData second("/b.wav", 44, 10, 0, numbers);
    // The same path added again is a new record with a new number.
    const FileData again("/a.wav", 92, 2, 2, numbers);
    EXPECT_EQ(first.GroupNumber, -1);
    EXPECT_EQ(second.GroupNumber, -2);
    EXPECT_EQ(again.GroupNumber, -3);
    EXPECT_EQ(first.HeaderSize, 92);
    EXPECT_EQ(first.TailBytes, 2);
    EXPECT_TRUE(first.ResultFile.empty());
    EXPECT_EQ(first.Peak, 0);
    EXPECT_EQ(first.ScanLoudness, 0.0);
    EXPECT_EQ(first.Loudness, 0.0);
    EXPECT_FALSE(first.Normalised);
    EXPECT_FALSE(first.Ignored);
    EXPECT_EQ(first.LoudestRatio, 1.0);
    EXPECT_EQ(first.QuietestRatio, 1.0);
}

TEST(FindGroup, ReturnsFirstMatchOrNothing) {
    GroupList groups;
    groups.push_back(std::make_unique<GroupData>(3, 100));
    groups.push_back(std::make_unique<GroupData>(5, 200));
    groups.push_back(std::make_unique<GroupData>(5, 300));
    ASSERT_NE(FindGroup(groups, 5), nullptr);
    EXPECT_EQ(FindGroup(groups, 5)->Peak, 200);
    EXPECT_EQ(FindGroup(groups, 3), groups[0].get());
    EXPECT_EQ(FindGroup(groups, 4), nullptr);
    EXPECT_EQ(FindGroup(GroupList{}, 1), nullptr);
    EXPECT_EQ(groups[0]->Loudest, nullptr);
    EXPECT_EQ(groups[0]->Quietest, nullptr);
}

}  // namespace
}  // namespace tralux
