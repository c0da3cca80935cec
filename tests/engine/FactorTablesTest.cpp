#include <cmath>
#include <set>

#include <gtest/gtest.h>

#include "engine/FactorTables.h"

namespace tralux {
namespace {

const FactorTables& Tables() {
    static const FactorTables tables = BuildFactorTables();
    return tables;
}

TEST(FactorTables, CompressRowsAscendAndUseKnownSettings) {
    const auto& rows = Tables().CompressFactors;
    ASSERT_EQ(rows.size(), 291u);
    const std::set<double> thresholds = {3, 6, 9, 12, 15};
    for (size_t i = 0; i < rows.size(); ++i) {
        if (i > 0) {
            EXPECT_GT(rows[i].Factor, rows[i - 1].Factor) << "row " << i + 1;
        }
        EXPECT_GT(rows[i].Factor, 1.0);
        EXPECT_TRUE(thresholds.count(rows[i].Threshold)) << "row " << i + 1;
        EXPECT_GE(rows[i].Ratio, 1.01);
        EXPECT_LE(rows[i].Ratio, 10.0);
    }
}

struct CompressRow {
    size_t Number;  // from 1
    double Factor, Ratio, Threshold;
};

TEST(FactorTables, CompressSpotRows) {
    const auto& rows = Tables().CompressFactors;
    for (const CompressRow& row : {CompressRow{1, 1.007, 1.01, 3}, CompressRow{11, 1.023, 1.07, 3},
                                   CompressRow{48, 1.174, 2, 3}, CompressRow{128, 1.495, 2.1, 12},
                                   CompressRow{129, 1.5, 3.2, 6}, CompressRow{191, 1.781, 10, 6},
                                   CompressRow{258, 2.226, 10, 9}, CompressRow{290, 2.819, 9.5, 15},
                                   CompressRow{291, 2.861, 10, 15}}) {
        const CompressFactor& got = rows.at(row.Number - 1);
        EXPECT_EQ(got.Factor, row.Factor) << "row " << row.Number;
        EXPECT_EQ(got.Ratio, row.Ratio) << "row " << row.Number;
        EXPECT_EQ(got.Threshold, row.Threshold) << "row " << row.Number;
    }
}

TEST(FactorTables, ReduceRowsFollowTheirDecibels) {
    const auto& rows = Tables().ReduceFactors;
    ASSERT_EQ(rows.size(), 95u);
    for (size_t i = 0; i < rows.size(); ++i) {
        if (i > 0) {
            EXPECT_GT(rows[i].Factor, rows[i - 1].Factor) << "row " << i + 1;
            EXPECT_GT(rows[i].Decibels, rows[i - 1].Decibels) << "row " << i + 1;
        }
        // Three decimals, not all rounded the same way.
        EXPECT_NEAR(rows[i].Factor, std::pow(2.0, rows[i].Decibels / 6.0), 0.0011)
            << "row " << i + 1;
    }
    EXPECT_EQ(rows.front().Factor, 0.099);
    EXPECT_EQ(rows.front().Decibels, -20);
    EXPECT_EQ(rows[56].Factor, 0.5);
    EXPECT_EQ(rows[56].Decibels, -6);
    EXPECT_EQ(rows[77].Decibels, -0.9);
    EXPECT_EQ(rows[82].Decibels, -0.45);
    EXPECT_EQ(rows.back().Factor, 0.999);
    EXPECT_EQ(rows.back().Decibels, -0.01);
}

struct Selection {
    double X;
    double Factor;
    friend void PrintTo(const Selection& s, std::ostream* os) { *os << "x = " << s.X; }
};

std::string SelectionName(const testing::TestParamInfo<Selection>& info) {
    std::string name = "x" + std::to_string(info.param.X);
    for (char& c : name) {
        if (c == '.') {
            c = '_';
        }
    }
    return name;
}

class CompressSelection : public testing::TestWithParam<Selection> {};
TEST_P(CompressSelection, PicksLargestFactorBelow) {
    EXPECT_EQ(SelectCompressFactor(Tables().CompressFactors, GetParam().X).Factor,
              GetParam().Factor);
}
INSTANTIATE_TEST_SUITE_P(X, CompressSelection,
                         testing::Values(Selection{1.5, 1.495}, Selection{1.005, 1.007},
                                         Selection{3, 2.861}, Selection{1.0071, 1.007},
                                         Selection{1.007, 1.007}, Selection{1.008, 1.007}),
                         SelectionName);

class ReduceSelection : public testing::TestWithParam<Selection> {};
TEST_P(ReduceSelection, PicksLargestFactorBelow) {
    EXPECT_EQ(SelectReduceFactor(Tables().ReduceFactors, GetParam().X).Factor, GetParam().Factor);
}
INSTANTIATE_TEST_SUITE_P(X, ReduceSelection,
                         testing::Values(Selection{0.5, 0.486}, Selection{0.05, 0.099},
                                         Selection{1.0, 0.999}, Selection{0.99, 0.989},
                                         Selection{0.0, 0.099}),
                         SelectionName);

}  // namespace
}  // namespace tralux
