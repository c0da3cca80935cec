#include <cmath>
#include <limits>
#include <random>

#include <gtest/gtest.h>

#include "engine/BlockTransforms.h"
#include "engine/FactorTables.h"

namespace tralux {

void PrintTo(const TransformSet& set, std::ostream* os) {
    *os << set.Name;
}

namespace {

using Samples = std::vector<int16_t>;

// Inputs that stress every branch: the extremes, zero and its neighbours, each compression
// threshold and its neighbours, odd values that give halves under halving gains, and noise.
Samples EdgeAndRandomSamples() {
    Samples samples = {-32768, -32767, -32766, 32767, 32766, 0, 1, -1, 2, -2, 3, -3};
    for (int t : {23170, 16384, 11585, 8192, 5793}) {
        for (int d = -2; d <= 2; ++d) {
            samples.push_back(static_cast<int16_t>(t + d));
            samples.push_back(static_cast<int16_t>(-(t + d)));
        }
    }
    for (int v = -41; v <= 41; v += 2) {
        samples.push_back(static_cast<int16_t>(v));
    }
    std::mt19937 random(12345);
    std::uniform_int_distribution<int> any(-32768, 32767);
    while (samples.size() < 10000) {
        samples.push_back(static_cast<int16_t>(any(random)));
    }
    return samples;
}

// Counts that cover empty input, leftovers shorter than a vector, and whole blocks.
const size_t kCounts[] = {0, 1, 7, 8, 9, 15, 16, 17, 31, 32, 33, 63, 1001, 10000};

class VectorTransforms : public testing::TestWithParam<TransformSet> {
protected:
    template <typename Run>
    void ExpectSameAsScalar(Run run) {
        const Samples input = EdgeAndRandomSamples();
        for (size_t count : kCounts) {
            Samples plain = input;
            Samples fast = input;
            int16_t plainPeak = 5;
            int16_t fastPeak = 5;
            const int64_t plainSum = run(ScalarSet(), plain.data(), count, plainPeak);
            const int64_t fastSum = run(GetParam(), fast.data(), count, fastPeak);
            ASSERT_EQ(fast, plain) << "count " << count;
            ASSERT_EQ(fastSum, plainSum) << "count " << count;
            ASSERT_EQ(fastPeak, plainPeak) << "count " << count;
        }
    }
    static const TransformSet& ScalarSet() { return RunnableTransformSets().back(); }
};

TEST_P(VectorTransforms, ScanMatchesScalar) {
    ExpectSameAsScalar([](const TransformSet& set, int16_t* s, size_t n, int16_t& peak) {
        return set.Scan(s, n, peak);
    });
}

TEST_P(VectorTransforms, GainMatchesScalar) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    for (double gain : {1.0, 0.5, 1.5, 2.5, 0.25, 32767.0 / 16384.0, 32767.0 / 12345.0,
                        30000.0 / 32767.0, 3.0, 1e9, -1.0, 0.0, nan}) {
        SCOPED_TRACE(gain);
        ExpectSameAsScalar([gain](const TransformSet& set, int16_t* s, size_t n, int16_t&) {
            return set.Gain(s, n, gain);
        });
    }
}

TEST_P(VectorTransforms, CompressMatchesScalarForEveryRow) {
    for (const CompressFactor& row : BuildFactorTables().CompressFactors) {
        const double t = std::nearbyint(std::pow(2.0, (90.0 - row.Threshold) / 6.0));
        const double g = 32767.0 / (t + (32767.0 - t) / row.Ratio);
        SCOPED_TRACE(row.Factor);
        ExpectSameAsScalar([&](const TransformSet& set, int16_t* s, size_t n, int16_t&) {
            return set.Compress(s, n, t, row.Ratio, g);
        });
    }
}

TEST_P(VectorTransforms, ReduceMatchesScalarForEveryRow) {
    for (const ReduceFactor& row : BuildFactorTables().ReduceFactors) {
        const double gain = std::pow(2.0, row.Decibels / 6.0);
        SCOPED_TRACE(row.Decibels);
        ExpectSameAsScalar([gain](const TransformSet& set, int16_t* s, size_t n, int16_t&) {
            return set.Reduce(s, n, gain);
        });
    }
    ExpectSameAsScalar([](const TransformSet& set, int16_t* s, size_t n, int16_t&) {
        return set.Reduce(s, n, 1.5);  // above 1: the full-scale guard acts
    });
}

INSTANTIATE_TEST_SUITE_P(Sets, VectorTransforms, testing::ValuesIn(RunnableTransformSets()),
                         [](const auto& info) {
                             std::string name = info.param.Name;
                             return name == "sse4.1" ? std::string("sse41") : name;
                         });

TEST(TransformSets, WidestComesFirstAndScalarLast) {
    const auto& sets = RunnableTransformSets();
    ASSERT_FALSE(sets.empty());
    EXPECT_STREQ(sets.back().Name, "scalar");
    EXPECT_STREQ(WidestTransformSet().Name, sets.front().Name);
}

}  // namespace
}  // namespace tralux
