#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <map>
#include <random>
#include <tuple>

#include "engine/BlockTransforms.h"
#include "engine/GridValues.h"
#include "engine/SampleTable.h"
#include "files/SampleFormats.h"

namespace tralux {
namespace {

constexpr SampleFormat U8{SampleCoding::Integer, 1, 8};
constexpr SampleFormat I16{SampleCoding::Integer, 2, 16};
constexpr SampleFormat I12In16{SampleCoding::Integer, 2, 12};
constexpr SampleFormat I20In24{SampleCoding::Integer, 3, 20};
constexpr SampleFormat I24{SampleCoding::Integer, 3, 24};

std::vector<TransformStep> SomeSteps() {
    std::vector<TransformStep> steps;
    TransformStep gain{BlockTransform::Gain};
    gain.Gain = 1.7320508;
    steps.push_back(gain);
    TransformStep compress{BlockTransform::Compress};
    compress.Threshold = 4096.0;
    compress.Ratio = 2.5;
    compress.MakeUpGain = 32767.0 / (4096.0 + (32767.0 - 4096.0) / 2.5);
    steps.push_back(compress);
    TransformStep reduce{BlockTransform::Reduce};
    reduce.Gain = 0.8408964;
    steps.push_back(reduce);
    gain.Gain = 0.5;  // exact halves: rounded to even
    steps.push_back(gain);
    return steps;
}

std::vector<unsigned char> RandomSamples(const SampleFormat& format, size_t count, uint32_t seed) {
    std::mt19937 random(seed);
    std::vector<unsigned char> bytes(count * size_t(format.ContainerBytes));
    for (auto& byte : bytes) {
        byte = static_cast<unsigned char>(random());
    }
    return bytes;
}

// On the 16-bit grid the key path makes exactly what the int16 tables make, value for value,
// and measures exactly what they measure: one arithmetic for every grid.
TEST(GridValues, SixteenBitGridIsTheInt16Arithmetic) {
    const std::vector<unsigned char> bytes = RandomSamples(I16, 40000, 7);
    std::vector<int16_t> samples(40000);
    std::memcpy(samples.data(), bytes.data(), bytes.size());
    SampleHistogram histogram;
    histogram.Add(samples.data(), samples.size());
    DenseKeys dense;
    GridCounter counter(dense);
    counter.Start(I16);
    counter.Add(bytes.data(), 40000);
    const GridCounts counts = counter.Take();
    ASSERT_EQ(counts.SampleCount(), 40000u);

    const SampleGrid grid(I16);
    ValueTable table;
    GridTable keys = IdentityTable(counts);
    for (const TransformStep& step : SomeSteps()) {
        table.Apply(RunnableTransformSets().back(), step);
        ApplyStep(grid, step, keys);
        for (size_t i = 0; i < counts.Keys.size(); ++i) {
            ASSERT_EQ(keys.Mapped[i], table[static_cast<int16_t>(counts.Keys[i])])
                << counts.Keys[i];
        }
        const GridMeasure measured = MeasureTable(grid, counts, keys);
        const unsigned __int128 sum = measured.Sum;
        EXPECT_EQ(static_cast<int64_t>(sum), MappedSumOfSquares(histogram, table));
        EXPECT_EQ(grid.Loudness(sum, 40000),
                  std::sqrt(static_cast<double>(MappedSumOfSquares(histogram, table)) / 40000.0));
        EXPECT_EQ(grid.Level(measured.Peak), MappedPeak(histogram, table));
    }
}

// The grid's reading and storing agree with the sample decoding of the file layer, which
// is written apart from it: every key's scale value, and the nearest grid value of values
// between and on the grid, halves included.
TEST(GridValues, KeysDecodeAndEncodeAsTheSampleFormatsDo) {
    for (const SampleFormat& format : {U8, I12In16, I20In24, I24}) {
        SCOPED_TRACE(format.ValidBits);
        const SampleGrid grid(format);
        const std::vector<unsigned char> bytes = RandomSamples(format, 5000, 3);
        const auto width = size_t(format.ContainerBytes);
        std::mt19937 random(5);
        std::uniform_real_distribution<double> value(-33000.0, 33000.0);
        const double largest = double((int64_t{1} << (format.ValidBits - 1)) - 1);
        for (size_t i = 0; i < 5000; ++i) {
            const unsigned char* at = bytes.data() + i * width;
            ASSERT_EQ(grid.ToScale(grid.Read(at)), DecodeSample(format, at));
            // A random value, and one half way between two grid values.
            const double half =
                (std::floor(value(random) * largest / 32767.0) + 0.5) * (32767.0 / largest);
            for (const double v : {value(random), half}) {
                unsigned char expected[4] = {}, got[4] = {};
                EncodeSample(format, v, expected);
                grid.Write(grid.FromScale(v), got);
                ASSERT_EQ(std::memcmp(expected, got, width), 0) << v;
            }
        }
    }
}

// The most negative value counts as full scale in the peak and the sum; the map writes
// each counted key as its table says and sums what it wrote.
TEST(GridValues, MostNegativeIsFullScaleAndMapsWriteTheTable) {
    const SampleGrid grid(I24);
    unsigned char bytes[9];
    grid.Write(-8388608, bytes);
    grid.Write(8388607, bytes + 3);
    grid.Write(-6, bytes + 6);
    int64_t peak = 0;
    unsigned __int128 sum = 0;
    ScanGridBlock(grid, bytes, 3, peak, sum);
    EXPECT_EQ(peak, 8388607);
    EXPECT_EQ(grid.Level(peak), 32767.0);
    EXPECT_TRUE(sum == static_cast<unsigned __int128>(2 * 8388607LL * 8388607LL + 36));

    DenseKeys dense;
    GridCounter counter(dense);
    counter.Start(I24);
    counter.Add(bytes, 3);
    const GridCounts counts = counter.Take();
    ASSERT_EQ(counts.Keys, (std::vector<int32_t>{-8388608, -6, 8388607}));
    GridTable table = IdentityTable(counts);
    TransformStep half{BlockTransform::Gain};
    half.Gain = 0.5;
    ApplyStep(grid, half, table);
    // -8388608 is held to full scale first.
    EXPECT_EQ(table.Mapped, (MappedKeys{-4194304, -3, 4194304}));
    GridMap map(dense);
    map.Build(counts, table);
    unsigned __int128 written = 0;
    map.MapBlock(bytes, 3, written);
    EXPECT_EQ(grid.Read(bytes), -4194304);
    EXPECT_EQ(grid.Read(bytes + 3), 4194304);
    EXPECT_EQ(grid.Read(bytes + 6), -3);
    EXPECT_TRUE(written == MeasureTable(grid, counts, table).Sum);

    // A map of one step over every key gives what the table gives for the keys counted.
    GridMap stepMap(dense);
    stepMap.Build(I24, half);
    grid.Write(-8388608, bytes);
    grid.Write(8388607, bytes + 3);
    grid.Write(-6, bytes + 6);
    unsigned __int128 unused = 0;
    stepMap.MapBlock(bytes, 3, unused);
    EXPECT_EQ(grid.Read(bytes), -4194304);
    EXPECT_EQ(grid.Read(bytes + 6), -3);
}

// One table serves count after count and the maps between them: each count holds only its own
// samples, whether the table was left by a count, by a map or by a count never taken.
TEST(GridValues, ATableTakesTurnsBetweenCountsAndMaps) {
    const SampleGrid grid(I24);
    DenseKeys dense;
    GridCounter counter(dense);
    auto countOf = [&](const std::vector<int32_t>& keys) {
        std::vector<unsigned char> bytes(keys.size() * 3);
        for (size_t i = 0; i < keys.size(); ++i) {
            grid.Write(keys[i], bytes.data() + 3 * i);
        }
        counter.Start(I24);
        counter.Add(bytes.data(), keys.size());
        return counter.Take();
    };
    GridCounts first = countOf({5, -7, 5, 8388607});
    EXPECT_EQ(first.Keys, (std::vector<int32_t>{-7, 5, 8388607}));
    EXPECT_EQ(first.Counts, (std::vector<uint8_t>{1, 2, 1}));
    const GridCounts second = countOf({9, 9, -8388608});
    EXPECT_EQ(second.Keys, (std::vector<int32_t>{-8388608, 9}));
    EXPECT_EQ(second.Counts, (std::vector<uint8_t>{1, 2}));

    GridMap map(dense);
    map.Build(second, IdentityTable(second));
    EXPECT_EQ(countOf({3}).Keys, std::vector<int32_t>{3});

    unsigned char bytes[3];
    grid.Write(11, bytes);
    counter.Start(I24);
    counter.Add(bytes, 1);  // never taken
    EXPECT_EQ(countOf({4, 4}).Counts, std::vector<uint8_t>{2});
    // A smaller grid after a larger one.
    counter.Start(U8);
    const unsigned char eight[2] = {128, 130};
    counter.Add(eight, 2);
    EXPECT_EQ(counter.Take().Keys, (std::vector<int32_t>{0, 2}));
}

// A key's whole count: its low 8 bits and any part past them.
uint64_t CountOf(const GridCounts& counts, size_t index) {
    uint64_t count = counts.Counts[index];
    for (const CountAbove& above : counts.Above) {
        count += above.Index == index ? above.High << CountAbove::Shift : 0;
    }
    return count;
}

// The keys of a count listed, as a count of few keys gives them.
std::vector<int32_t> KeysOf(const GridCounts& counts) {
    std::vector<int32_t> keys;
    counts.ForEachKey([&](size_t i, int32_t key) {
        EXPECT_EQ(i, keys.size());
        keys.push_back(key);
    });
    return keys;
}

// A key counted past a byte keeps its count whole, also when its low byte comes back to 0,
// and its measure counts every sample of it; with its keys listed and with them marked.
TEST(GridValues, CountsPastAByteStayWhole) {
    for (const size_t listedUpTo : {size_t{100}, size_t{0}}) {
        SCOPED_TRACE(listedUpTo);
        const SampleGrid grid(I24);
        DenseKeys dense;
        GridCounter counter(dense);
        counter.KeysListedUpTo = listedUpTo;
        counter.Start(I24);
        const std::vector<std::pair<int32_t, uint64_t>> whole{{-7, 65536}, {-2, 513},     {3, 255},
                                                              {4, 256},    {5, 70000},    {9, 2},
                                                              {12, 301},   {5000000, 300}};
        // Interleaved, as samples come.
        std::vector<int32_t> keys;
        for (uint64_t round = 0; round < 70000; ++round) {
            for (const auto& [key, count] : whole) {
                if (round < count) {
                    keys.push_back(key);
                }
            }
        }
        std::vector<unsigned char> bytes(keys.size() * 3);
        for (size_t i = 0; i < keys.size(); ++i) {
            grid.Write(keys[i], bytes.data() + 3 * i);
        }
        counter.Add(bytes.data(), keys.size());
        const GridCounts counts = counter.Take();

        EXPECT_EQ(counts.Keys.empty(), listedUpTo == 0);
        std::vector<int32_t> keysCounted;
        unsigned __int128 expected = 0;
        uint64_t samples = 0;
        for (size_t i = 0; i < whole.size(); ++i) {
            const auto [key, count] = whole[i];
            keysCounted.push_back(key);
            EXPECT_EQ(CountOf(counts, i), count) << key;
            const int64_t wide = key;
            expected += static_cast<unsigned __int128>(wide * wide) * count;
            samples += count;
        }
        EXPECT_EQ(KeysOf(counts), keysCounted);
        EXPECT_EQ(counts.SampleCount(), samples);
        const GridMeasure measured = MeasureCounts(grid, counts);
        EXPECT_TRUE(measured.Sum == expected);
        EXPECT_EQ(measured.Peak, 5000000);
        EXPECT_TRUE(MeasureTable(grid, counts, IdentityTable(counts)).Sum == expected);

        // A step that maps the keys measures the wrapped counts at their new keys.
        GridTable table = IdentityTable(counts);
        EXPECT_TRUE(std::ranges::equal(table.Mapped, KeysOf(counts)));
        TransformStep halve;
        halve.Transform = BlockTransform::Reduce;
        halve.Gain = 0.5;
        const GridMeasure stepped = ApplyStepMeasured(grid, halve, counts, table);
        unsigned __int128 sum = 0;
        for (size_t i = 0; i < counts.KeyCount(); ++i) {
            const auto folded = static_cast<uint64_t>(grid.Folded(table.Mapped[i]));
            sum += static_cast<unsigned __int128>(folded * folded) * CountOf(counts, i);
        }
        EXPECT_TRUE(stepped.Sum == sum);
        EXPECT_TRUE(stepped.Sum == MeasureTable(grid, counts, table).Sum);
        EXPECT_FALSE(std::ranges::equal(table.Mapped, KeysOf(counts)));

        // The same step made with the table, or measured with none, measures the same.
        GridTable started;
        const GridMeasure first = StartTableMeasured(grid, halve, counts, started);
        EXPECT_EQ(started, table);
        const GridMeasure alone = MeasureStep(grid, halve, counts);
        for (const GridMeasure& measure : {first, alone}) {
            EXPECT_TRUE(measure.Sum == stepped.Sum);
            EXPECT_EQ(measure.Peak, stepped.Peak);
            EXPECT_EQ(measure.StateKey, stepped.StateKey);
        }
    }
}

// Counts of many keys mark them rather than list them, in far less memory, and everything
// made of the counts is what the list makes: the measure, the tables of steps, and the map a
// write goes through.
TEST(GridValues, KeysMarkedServeAsKeysListed) {
    const SampleGrid grid(I24);
    std::mt19937 random(11);
    std::normal_distribution<double> level(0.0, 900000.0);
    std::vector<unsigned char> bytes(3 * 400000);
    for (size_t i = 0; i < bytes.size(); i += 3) {
        const double key = std::clamp(std::round(level(random)), -8388608.0, 8388607.0);
        grid.Write(static_cast<int64_t>(key), bytes.data() + i);
    }
    bytes[0] = 0x00, bytes[1] = 0x00, bytes[2] = 0x80;  // the most negative key
    DenseKeys dense;
    GridCounter counter(dense);
    const auto countOf = [&](size_t listedUpTo) {
        counter.KeysListedUpTo = listedUpTo;
        counter.Start(I24);
        counter.Add(bytes.data(), bytes.size() / 3);
        return counter.Take();
    };
    const GridCounts listed = countOf(size_t{1} << 21);
    const GridCounts marked = countOf(0);
    ASSERT_GT(listed.KeyCount(), 200000u);
    EXPECT_TRUE(marked.Keys.empty());
    EXPECT_EQ(KeysOf(marked), listed.Keys);
    EXPECT_EQ(marked.Counts, listed.Counts);
    EXPECT_EQ(marked.SampleCount(), bytes.size() / 3);
    // Four bytes a key listed against one bit for each key of the grid.
    EXPECT_EQ(listed.HeldBytes() - marked.HeldBytes(), 4 * listed.KeyCount() - grid.KeyCount() / 8);

    const GridMeasure measuredListed = MeasureCounts(grid, listed);
    const GridMeasure measuredMarked = MeasureCounts(grid, marked);
    EXPECT_TRUE(measuredMarked.Sum == measuredListed.Sum);
    EXPECT_EQ(measuredMarked.Peak, measuredListed.Peak);
    EXPECT_EQ(measuredMarked.StateKey, measuredListed.StateKey);

    GridTable tableListed = IdentityTable(listed);
    GridTable tableMarked = IdentityTable(marked);
    for (const TransformStep& step : SomeSteps()) {
        const GridMeasure a = ApplyStepMeasured(grid, step, listed, tableListed);
        const GridMeasure b = ApplyStepMeasured(grid, step, marked, tableMarked);
        EXPECT_TRUE(a.Sum == b.Sum);
        EXPECT_EQ(a.StateKey, b.StateKey);
    }
    EXPECT_EQ(tableMarked, tableListed);

    // A first step made as the table is made, over many pieces of keys, is the step applied to
    // the identity table, and replaces what the table held.
    for (const GridCounts* counts : {&listed, &marked}) {
        GridTable applied = IdentityTable(*counts);
        GridTable started = tableListed;
        const TransformStep step = SomeSteps()[1];  // a copy: the list is a temporary
        const GridMeasure a = ApplyStepMeasured(grid, step, *counts, applied);
        const GridMeasure b = StartTableMeasured(grid, step, *counts, started);
        EXPECT_EQ(started, applied);
        EXPECT_TRUE(a.Sum == b.Sum);
        EXPECT_EQ(a.Peak, b.Peak);
        EXPECT_EQ(a.StateKey, b.StateKey);
        EXPECT_NE(a.StateKey, measuredListed.StateKey);  // another mapping, another key
    }

    std::vector<unsigned char> throughListed = bytes;
    std::vector<unsigned char> throughMarked = bytes;
    GridMap map(dense);
    map.Build(listed, tableListed);
    map.MapOnly(throughListed.data(), throughListed.size() / 3);
    map.Build(marked, tableMarked);
    map.MapOnly(throughMarked.data(), throughMarked.size() / 3);
    EXPECT_TRUE(throughMarked == throughListed);
    EXPECT_FALSE(throughMarked == bytes);
}

// Padding bits below the valid bits count as the fraction they are when read, and are
// written as zeros.
TEST(GridValues, PaddingBitsAreReadAsFractionsAndWrittenAsZeros) {
    const SampleGrid grid(I20In24);
    unsigned char bytes[3];
    grid.Write(0x000017, bytes);  // 1 on the 20-bit grid, and 7/16 of it in the padding
    EXPECT_EQ(grid.ToScale(grid.Read(bytes)), 23.0 * 32767.0 / (524287.0 * 16.0));
    const int64_t stored = grid.FromScale(grid.ToScale(grid.Read(bytes)));
    EXPECT_EQ(stored, 16);  // 1.4375 on the grid rounds to 1
    DenseKeys dense;
    GridCounter counter(dense);
    counter.Start(I20In24);
    counter.Add(bytes, 1);
    const GridCounts counts = counter.Take();
    EXPECT_EQ(counts.Keys, std::vector<int32_t>{0x17});
}

// Keys taken through a step many at once, four to a vector where the processor can, come out
// as each key alone through the scale and back: for every kind of step, settings at and past
// the bounds, and keys over each grid (every key of the narrow ones, the whole range of
// 24-bit ones with their extremes and the keys near 0).
TEST(GridValues, KeysSteppedAtOnceAreEachKeyAlone) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double inf = std::numeric_limits<double>::infinity();
    std::vector<TransformStep> steps;
    for (const double gain : {1.0, 0.37, 4.78241, 1e6, 0.0, nan, inf}) {
        TransformStep step;
        step.Transform = BlockTransform::Gain;
        step.Gain = gain;
        steps.push_back(step);
        step.Transform = BlockTransform::Reduce;
        steps.push_back(step);
    }
    for (const auto& [threshold, ratio, makeUp] :
         {std::tuple{16384.0, 1.09, 1.04306}, std::tuple{23170.0, 1.01, 1.00291},
          std::tuple{0.0, 3.0, 2.5}, std::tuple{32767.0, 10.0, 1.0}, std::tuple{100.0, nan, 1.0}}) {
        TransformStep step;
        step.Transform = BlockTransform::Compress;
        step.Threshold = threshold;
        step.Ratio = ratio;
        step.MakeUpGain = makeUp;
        steps.push_back(step);
    }
    for (const SampleFormat& format : {U8, I12In16, I16, I20In24, I24}) {
        const SampleGrid grid(format);
        std::vector<int32_t> keys;
        const int64_t offset = grid.KeyOffset();
        const int64_t stride = format.ContainerBytes == 3 ? 97 : 1;
        for (int64_t key = -offset; key < offset; key += stride) {
            keys.push_back(static_cast<int32_t>(key));
        }
        for (int64_t key = -300; key <= 300; ++key) {
            keys.push_back(static_cast<int32_t>(key));
        }
        keys.push_back(static_cast<int32_t>(-offset));
        keys.push_back(static_cast<int32_t>(offset - 1));
        for (const TransformStep& step : steps) {
            SCOPED_TRACE(::testing::Message()
                         << format.ValidBits << " bits, kind " << int(step.Transform) << " gain "
                         << step.Gain << " threshold " << step.Threshold);
            std::vector<int32_t> atOnce = keys;
            std::vector<int32_t> oneByOne = keys;
            StepKeys(grid, step, atOnce.data(), atOnce.size());
            StepKeys(grid, step, oneByOne.data(), oneByOne.size(), false);
            size_t differing = 0;
            for (size_t i = 0; i < keys.size(); ++i) {
                const int64_t alone =
                    grid.FromScale(TransformScaleValue(step, grid.ToScale(keys[i])));
                differing += atOnce[i] != alone || oneByOne[i] != alone ? 1 : 0;
            }
            EXPECT_EQ(differing, 0u);
        }
    }
}

// A write that maps each sample by the steps writes what a write through the table of the same
// chain writes, padding bits and all, with the same sum of squares.
TEST(GridValues, AMapByStepsWritesWhatTheTableWrites) {
    std::vector<TransformStep> chain(3);
    chain[0].Transform = BlockTransform::Gain;
    chain[0].Gain = 2.05102;
    chain[1].Transform = BlockTransform::Compress;
    chain[1].Threshold = 16384;
    chain[1].Ratio = 1.09;
    chain[1].MakeUpGain = 1.04306;
    chain[2].Transform = BlockTransform::Reduce;
    chain[2].Gain = 0.8;
    std::mt19937 random(5);
    for (const SampleFormat& format : {I24, I20In24}) {
        std::vector<unsigned char> samples(3 * 10007);
        for (unsigned char& byte : samples) {
            byte = static_cast<unsigned char>(random());
        }
        for (size_t steps = 0; steps <= chain.size(); ++steps) {
            const std::span<const TransformStep> some(chain.data(), steps);
            DenseKeys dense;
            GridMap byTable(dense);
            byTable.Build(format, some);
            GridMap bySteps(dense);
            bySteps.UseSteps(format, some);
            std::vector<unsigned char> tabled = samples;
            std::vector<unsigned char> stepped = samples;
            unsigned __int128 tabledSum = 0;
            unsigned __int128 steppedSum = 0;
            byTable.MapBlock(tabled.data(), samples.size() / 3, tabledSum);
            bySteps.MapBlock(stepped.data(), samples.size() / 3, steppedSum);
            EXPECT_EQ(stepped, tabled) << steps;
            EXPECT_TRUE(steppedSum == tabledSum) << steps;
            EXPECT_EQ(steps == 0, stepped == samples);
        }
    }
}

}  // namespace
}  // namespace tralux
