#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <map>
#include <memory>
#include <random>
#include <vector>

#include <gtest/gtest.h>

#include "EngineFixture.h"
#include "engine/SampleTable.h"

namespace tralux {
namespace {

using Samples = std::vector<int16_t>;

// Random values with every extreme and the compression thresholds' neighbours among them.
Samples RandomBlock(uint32_t seed, size_t count = 4000) {
    Samples samples = {-32768, -32767, 32767, 0, 1, -1, 23170, 23171, -16384, 5793, -5792};
    std::mt19937 random(seed);
    std::uniform_int_distribution<int> any(-32768, 32767);
    while (samples.size() < count) {
        samples.push_back(static_cast<int16_t>(any(random)));
    }
    return samples;
}

// Every step the runs can take: each row of both tables, normalising gains and final limits.
std::vector<TransformStep> EveryStep() {
    const FactorTables tables = BuildFactorTables();
    std::vector<TransformStep> steps;
    for (const CompressFactor& row : tables.CompressFactors) {
        steps.push_back(CompressStep(row));
    }
    for (const ReduceFactor& row : tables.ReduceFactors) {
        steps.push_back(ReduceStep(row));
    }
    for (double gain : {1.0, 32767.0 / 12345.0, 32767.0 / 32767.0, 30000.0 / 32767.0, 0.5}) {
        TransformStep step{BlockTransform::Gain};
        step.Gain = gain;
        steps.push_back(step);
    }
    steps.push_back(TransformStep{BlockTransform::Scan});
    return steps;
}

class TableOfValues : public testing::TestWithParam<TransformSet> {};

// A table of one gain over the identity maps with the gain's own code, any other by look-up:
// both give every value and the sum as the table holds them.
TEST_P(TableOfValues, MapsEveryValueAsItHoldsItWhateverTheSteps) {
    TransformStep half{BlockTransform::Gain};
    half.Gain = 0.5;
    TransformStep twice{BlockTransform::Gain};
    twice.Gain = 2.0;
    const FactorTables tables = BuildFactorTables();
    const std::vector<std::vector<TransformStep>> cases = {
        {twice}, {half, twice}, {ReduceStep(tables.ReduceFactors[40]), twice}, {twice, half}};
    for (const auto& steps : cases) {
        ValueTable table;
        for (const TransformStep& step : steps) {
            table.Apply(GetParam(), step);
        }
        Samples every(SampleValueCount);
        int64_t expectedSum = 0;
        for (size_t i = 0; i < every.size(); ++i) {
            every[i] = static_cast<int16_t>(static_cast<int32_t>(i) - 32768);
            expectedSum += int64_t{table.Values[i]} * table.Values[i];
        }
        EXPECT_EQ(table.MapSamples(every.data(), every.size()), expectedSum);
        EXPECT_TRUE(std::equal(every.begin(), every.end(), table.Values.begin()))
            << steps.size() << " steps, the first of gain " << steps.front().Gain;
    }
}

TEST_P(TableOfValues, MapsEachSampleAsTheBlockTransformDoes) {
    const Samples input = RandomBlock(GetParam().Name[0]);
    for (const TransformStep& step : EveryStep()) {
        Samples block = input;
        int16_t peak = 0;
        ApplyTransform(GetParam(), step, block.data(), block.size(), peak);

        ValueTable table;
        table.Apply(GetParam(), step);
        Samples mapped = input;
        table.MapSamples(mapped.data(), mapped.size());
        ASSERT_EQ(mapped, block) << "transform " << int(step.Transform) << " gain " << step.Gain
                                 << " ratio " << step.Ratio << " threshold " << step.Threshold;
        // Without the sum, in pieces that start and end anywhere.
        Samples only = input;
        table.MapOnly(only.data(), 3);
        table.MapOnly(only.data() + 3, 13);
        table.MapOnly(only.data() + 16, only.size() - 16);
        ASSERT_EQ(only, block) << "transform " << int(step.Transform) << " gain " << step.Gain;
    }
}

TEST_P(TableOfValues, HistogramGivesTheBlockSumsAfterEveryStep) {
    const Samples input = RandomBlock(99);
    SampleHistogram histogram;
    histogram.Add(input.data(), input.size());
    ASSERT_EQ(histogram.SampleCount(), input.size());
    for (const TransformStep& step : EveryStep()) {
        Samples block = input;
        int16_t peak = 0;
        const int64_t sum = ApplyTransform(GetParam(), step, block.data(), block.size(), peak);
        ValueTable table;
        table.Apply(GetParam(), step);
        ASSERT_EQ(MappedSumOfSquares(histogram, table), sum);
        if (step.Transform == BlockTransform::Scan) {
            EXPECT_EQ(MappedPeak(histogram, table), peak);
        }
    }
}

INSTANTIATE_TEST_SUITE_P(EverySet, TableOfValues, testing::ValuesIn(RunnableTransformSets()),
                         [](const auto& info) {
                             std::string name = info.param.Name;
                             return name == "sse4.1" ? std::string("sse41") : name;
                         });

// Samples are counted several at a time: every start and length, the extremes included, counts
// each sample once, at its own value.
TEST(SampleHistogram, CountsEverySampleOnceWhereverARunStartsAndEnds) {
    const Samples samples{-32768, 32767, 0, -1, 1, 5, 5, 5, -32768, 12345, -12345, 32767, 7};
    for (size_t from = 0; from < 4; ++from) {
        for (size_t count = 0; from + count <= samples.size(); ++count) {
            SampleHistogram histogram;
            histogram.Add(samples.data() + from, count);
            std::map<int16_t, uint32_t> expected;
            for (size_t i = from; i < from + count; ++i) {
                ++expected[samples[i]];
            }
            ASSERT_EQ(histogram.SampleCount(), count);
            for (const auto& [value, times] : expected) {
                ASSERT_EQ(histogram.Counts[ValueIndex(value)], times)
                    << "value " << value << " from " << from << " count " << count;
            }
        }
    }
}

TEST(SampleHistogram, LargestDataChunkSumsWithoutOverflow) {
    // A 4 GiB data chunk of full-scale samples: the largest sum a file can give.
    SampleHistogram histogram;
    const uint32_t samples = 0xFFFFFFFFu / 2;
    histogram.Counts[ValueIndex(-32767)] = samples / 2;
    histogram.Counts[ValueIndex(32767)] = samples - samples / 2;
    const ValueTable identity;
    const auto expected = static_cast<unsigned __int128>(samples) * 32767u * 32767u;
    EXPECT_EQ(static_cast<unsigned __int128>(MappedSumOfSquares(histogram, identity)), expected);
    EXPECT_EQ(MappedPeak(histogram, identity), 32767);
}

// Made alone, a histogram or a table is on pages of its own, counted from zero, and those
// pages are given back when it goes, so that no allocator keeps them for the run.
TEST(SampleHistogram, MadeAloneItTakesPagesOfItsOwnAndGivesThemBack) {
    const auto pageSize = static_cast<uintptr_t>(::sysconf(_SC_PAGESIZE));
    auto histogram = std::make_unique<SampleHistogram>();
    auto table = std::make_unique<ValueTable>();
    // Kept as a number only: the test looks at the range, never at the object.
    volatile uintptr_t histogramAt = reinterpret_cast<uintptr_t>(histogram.get());
    const size_t histogramBytes = sizeof(SampleHistogram);
    EXPECT_EQ(histogramAt % pageSize, 0u);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(table.get()) % pageSize, 0u);
    EXPECT_EQ(histogram->SampleCount(), 0u);
    EXPECT_EQ((*table)[-32768], -32768);
    EXPECT_EQ((*table)[32767], 32767);

    histogram.reset();
    // The range is no longer mapped at all.
    errno = 0;
    EXPECT_NE(::msync(reinterpret_cast<void*>(histogramAt), histogramBytes, MS_ASYNC), 0);
    EXPECT_EQ(errno, ENOMEM);
}

TEST(SampleHistogram, PeakOfOnlyTheValuesThatOccur) {
    SampleHistogram histogram;
    const ValueTable identity;
    EXPECT_EQ(MappedPeak(histogram, identity), 0);
    const Samples samples = {3, -700, 12};
    histogram.Add(samples.data(), samples.size());
    EXPECT_EQ(MappedPeak(histogram, identity), 700);
    const Samples lowest = {-32768};
    histogram.Add(lowest.data(), lowest.size());
    EXPECT_EQ(MappedPeak(histogram, identity), 32767);
}

}  // namespace

namespace test {
namespace {

using CountingScan = EngineTest;

TEST_F(CountingScan, ScanCountsTheValuesAsReadAndAgreesWithItsTotals) {
    Samples samples = Noise(12345, 32767, 5);
    samples[17] = -32768;
    FileData file = Add("a.wav", samples);
    SampleHistogram histogram;
    histogram.Counts[3] = 99;  // counted afresh
    engine.ScanFile(file, &histogram);

    SampleHistogram expected;
    expected.Add(samples.data(), samples.size());
    EXPECT_EQ(histogram.Counts, expected.Counts);
    ValueTable scanned;
    scanned.Apply(engine.Transforms, TransformStep{BlockTransform::Scan});
    EXPECT_EQ(MappedSumOfSquares(histogram, scanned), engine.Totals.SumOfSquares);
    EXPECT_EQ(MappedPeak(histogram, scanned), file.Peak);

    // Counted again, afresh, with the scan's totals.
    const PassTotals counted = engine.CountValues(file, file.SourceFile, histogram);
    EXPECT_EQ(histogram.Counts, expected.Counts);
    EXPECT_EQ(counted.Peak, file.Peak);
    EXPECT_EQ(counted.SumOfSquares, file.ScanSumOfSquares);
    EXPECT_EQ(sink.Labels, (std::vector<std::string>{"Scanning:", "Scanning:"}));
}

}  // namespace
}  // namespace test
}  // namespace tralux

namespace tralux {
namespace {

// A packed histogram gives back every count exactly, whatever the counts: none, each value
// once, the largest counts, the values at both ends, and a file's noise, which packs small.
TEST(PackedHistogram, GivesBackEveryCountExactly) {
    std::vector<std::unique_ptr<SampleHistogram>> cases;
    cases.push_back(std::make_unique<SampleHistogram>());  // empty
    auto every = std::make_unique<SampleHistogram>();
    every->Counts.fill(1);
    cases.push_back(std::move(every));
    auto ends = std::make_unique<SampleHistogram>();
    ends->Counts.front() = 0xFFFFFFFFu;
    ends->Counts[128] = 0x80;
    ends->Counts.back() = 0x10000000u;
    cases.push_back(std::move(ends));
    auto noise = std::make_unique<SampleHistogram>();
    std::mt19937 random(3);
    std::normal_distribution<double> level(0.0, 3000.0);
    std::vector<int16_t> samples(2'000'000);
    for (int16_t& sample : samples) {
        sample = static_cast<int16_t>(std::clamp(std::round(level(random)), -32768.0, 32767.0));
    }
    noise->Add(samples.data(), samples.size());
    cases.push_back(std::move(noise));

    for (const auto& histogram : cases) {
        const PackedHistogram packed(*histogram);
        auto back = std::make_unique<SampleHistogram>();
        back->Counts.fill(7);  // whatever it held before
        packed.Unpack(*back);
        EXPECT_TRUE(back->Counts == histogram->Counts);
    }
    EXPECT_EQ(PackedHistogram(*cases[0]).HeldBytes(), 0u);
    EXPECT_LT(PackedHistogram(*cases[3]).HeldBytes(), sizeof(SampleHistogram) / 4);
}

}  // namespace
}  // namespace tralux
