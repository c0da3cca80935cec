#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <limits>
#include <map>
#include <random>

#include "engine/GridValues.h"
#include "engine/WideValues.h"
#include "files/SampleFormats.h"

namespace tralux {
namespace {

constexpr SampleFormat I32{SampleCoding::Integer, 4, 32};
constexpr SampleFormat I24In32{SampleCoding::Integer, 4, 24};
constexpr SampleFormat F32{SampleCoding::Float, 4, 32};
constexpr SampleFormat F64{SampleCoding::Float, 8, 64};

// Float samples of every kind: ordinary ones, above full scale, beyond +120 dBFS, tiny and
// subnormal ones, zeros of both signs, infinities and NaNs.
std::vector<unsigned char> WideSamples(const SampleFormat& format, size_t count, uint32_t seed) {
    std::mt19937_64 random(seed);
    std::vector<unsigned char> bytes(count * size_t(format.ContainerBytes));
    const double specials[] = {0.0,
                               -0.0,
                               1.0,
                               -1.0,
                               3.5,
                               -2e7,
                               1e-300,
                               5e-324,
                               std::numeric_limits<double>::infinity(),
                               -std::numeric_limits<double>::infinity(),
                               std::numeric_limits<double>::quiet_NaN(),
                               1e-40};
    std::uniform_real_distribution<double> unit(-1.0, 1.0);
    for (size_t i = 0; i < count; ++i) {
        unsigned char* at = bytes.data() + i * size_t(format.ContainerBytes);
        if (format.Coding == SampleCoding::Integer) {
            const auto raw = static_cast<uint32_t>(random());
            std::memcpy(at, &raw, 4);
            continue;
        }
        const double x = i % 7 == 0 ? specials[(i / 7) % std::size(specials)] : unit(random);
        if (format.ContainerBytes == 4) {
            const auto f = static_cast<float>(x);
            std::memcpy(at, &f, 4);
        } else {
            std::memcpy(at, &x, 8);
        }
    }
    return bytes;
}

// The wide grids read and store as the sample decoding of the file layer, which is written
// apart from them: every value's scale value and peak, and the stored value of values
// between and on the grid, halves, NaN and values past full scale included.
TEST(WideValues, GridsDecodeAndEncodeAsTheSampleFormatsDo) {
    for (const SampleFormat& format : {I32, I24In32, F32, F64}) {
        SCOPED_TRACE(std::to_string(format.ValidBits) +
                     (format.Coding == SampleCoding::Float ? " float" : " integer"));
        ASSERT_TRUE(WideFormat(format));
        const WideGrid grid(format);
        const std::vector<unsigned char> bytes = WideSamples(format, 6000, 9);
        const auto width = size_t(format.ContainerBytes);
        std::mt19937 random(4);
        std::uniform_real_distribution<double> value(-40000.0, 40000.0);
        const double largest = std::ldexp(1.0, format.ValidBits - 1) - 1.0;
        for (size_t i = 0; i < 6000; ++i) {
            const unsigned char* at = bytes.data() + i * width;
            const double decoded = DecodeSample(format, at);
            ASSERT_EQ(std::bit_cast<uint64_t>(grid.ToScale(grid.Read(at))),
                      std::bit_cast<uint64_t>(decoded));
            ASSERT_EQ(grid.Level(grid.Measured(grid.Read(at))), PeakOf(format, decoded));
            const double half =
                (std::floor(value(random) * largest / 32767.0) + 0.5) * (32767.0 / largest);
            for (const double v :
                 {value(random), half, decoded, 1e300, std::numeric_limits<double>::quiet_NaN()}) {
                unsigned char expected[8] = {}, got[8] = {};
                EncodeSample(format, v, expected);
                grid.Write(grid.FromScale(v), got);
                ASSERT_EQ(std::memcmp(expected, got, width), 0) << v;
            }
        }
    }
    EXPECT_FALSE(WideFormat(SampleFormat{SampleCoding::Integer, 3, 24}));
}

// The exact sum against an independent one: float samples are whole numbers of 2^-24, so
// their squares are whole numbers of 2^-48 and sum exactly in 128 bits. The sum is the same
// bits in any order and taken in chunks, where plain double sums differ.
TEST(WideValues, ExactSquaresAreExactAndIndependentOfOrder) {
    std::mt19937_64 random(17);
    std::vector<double> values;
    unsigned __int128 whole = 0;
    for (int i = 0; i < 200000; ++i) {
        // Loud and very quiet samples mixed, so that a plain sum loses the quiet ones.
        const int64_t m = i % 3 == 0 ? int64_t(random() % (1u << 24)) : int64_t(random() % 300);
        values.push_back(std::ldexp(double(i % 2 == 0 ? m : -m), -24));
        whole += static_cast<unsigned __int128>(m * m);
    }
    ExactSquares exact;
    double plain = 0.0;
    for (double v : values) {
        exact.Add(v);
        plain += v * v;
    }
    const double expected = std::ldexp(static_cast<double>(whole), -48);
    EXPECT_EQ(exact.Value(), expected);

    std::shuffle(values.begin(), values.end(), random);
    ExactSquares shuffled, chunked;
    double plainShuffled = 0.0;
    for (size_t start = 0; start < values.size(); start += 7919) {
        ExactSquares chunk;
        for (size_t i = start; i < std::min(values.size(), start + 7919); ++i) {
            chunk.Add(values[i]);
            shuffled.Add(values[i]);
            plainShuffled += values[i] * values[i];
        }
        chunked.Add(chunk);
    }
    EXPECT_TRUE(shuffled == exact);
    EXPECT_TRUE(chunked == exact);
    EXPECT_EQ(chunked.Value(), expected);
    EXPECT_NE(plain, plainShuffled);  // what the exact sum is for

    // Counts are squares added that many times; extremes of the range neither crash nor wrap.
    ExactSquares counted, repeated;
    counted.Add(0.3, 5);
    for (int i = 0; i < 5; ++i) {
        repeated.Add(0.3);
    }
    EXPECT_TRUE(counted == repeated);
    ExactSquares extremes;
    extremes.Add(5e-324, uint64_t{1} << 63);
    extremes.Add(1e6, uint64_t{1} << 63);
    EXPECT_EQ(extremes.Value(), std::ldexp(1e12, 63));
    ExactSquares tiny;
    tiny.Add(std::ldexp(1.0, -500), 3);
    EXPECT_EQ(tiny.Value(), 3.0 * std::ldexp(1.0, -1000));
}

// The binned sum is the exact sum: squares of every size, subnormals, whole numbers of a
// 32-bit grid, counts small and large, and bins that wrap past 128 bits.
TEST(WideValues, SquareSumIsTheExactSum) {
    std::mt19937_64 random(23);
    std::uniform_real_distribution<double> unit(-1.0, 1.0);
    ExactSquares exact;
    SquareSum binned;
    const auto add = [&](double value, uint64_t count) {
        exact.Add(value, count);
        count == 1 ? binned.Add(value) : binned.Add(value, count);
    };
    for (int i = 0; i < 100000; ++i) {
        add(unit(random), 1);
        add(std::ldexp(unit(random), -1060), 1);           // subnormal
        add(double(int32_t(random())), 1 + random() % 9);  // a 32-bit integer
    }
    add(1e6, uint64_t{1} << 40);
    add(0.75, 12345678);
    for (int i = 0; i < (1 << 23); ++i) {
        binned.Add(0.9999999999999999);  // the largest mantissa: the bin wraps
    }
    exact.Add(0.9999999999999999, uint64_t{1} << 23);
    EXPECT_TRUE(binned.Total() == exact);
    EXPECT_EQ(binned.Total().Value(), exact.Value());
}

// The counter's distinct values and counts are those of a plain count, across the pieces it
// sorts apart; past its budget it says so and keeps nothing.
TEST(WideValues, CounterCountsAcrossPiecesAndStopsAtItsBudget) {
    std::vector<unsigned char> bytes;
    std::map<uint64_t, uint64_t> expected;
    std::mt19937 random(2);
    const size_t count = (size_t{3} << 20) / 2;  // a piece and a half
    bytes.resize(count * 8);
    for (size_t i = 0; i < count; ++i) {
        // The second piece also holds values the first does not, below, between and above.
        const uint32_t range = i < (size_t{1} << 20) ? 5000 : 10000;
        const double x = double(random() % range) / 5000.0 - 0.5;
        std::memcpy(bytes.data() + 8 * i, &x, 8);
        ++expected[std::bit_cast<uint64_t>(x)];
    }
    WideCounter counter;
    counter.Start(F64, 10000);
    counter.Add(bytes.data(), count / 3);
    counter.Add(bytes.data() + 8 * (count / 3), count - count / 3);
    std::vector<WideValue> values;
    ASSERT_TRUE(counter.Take(values));
    ASSERT_EQ(values.size(), expected.size());
    size_t i = 0;
    for (const auto& [bits, n] : expected) {
        ASSERT_EQ(values[i].Bits, bits);
        ASSERT_EQ(values[i].Count, n);
        ++i;
    }

    counter.Start(F64, expected.size() - 1);
    counter.Add(bytes.data(), count);
    EXPECT_FALSE(counter.Take(values));
    EXPECT_TRUE(values.empty());
}

// Many samples mapped at once are each sample through the steps one at a time, measured as
// each alone, whatever the format and however the samples are split among calls; their state
// key is that of the values added one by one, and tells a changed value.
TEST(WideValues, SamplesMappedAtOnceAreEachSampleAlone) {
    const TransformStep gain{.Transform = BlockTransform::Gain, .Gain = 0.83};
    const TransformStep compress{.Transform = BlockTransform::Compress,
                                 .Threshold = 9000.0,
                                 .Ratio = 1.7,
                                 .MakeUpGain = 1.9};
    const TransformStep reduce{.Transform = BlockTransform::Reduce, .Gain = 0.97};
    const std::vector<std::vector<TransformStep>> chains{{compress}, {gain, compress, reduce}, {}};
    for (const SampleFormat& format : {I32, I24In32, F32}) {
        const WideGrid grid(format);
        const size_t width = size_t(format.ContainerBytes);
        const size_t count = 17 * 1024 + 7;  // past the pieces whose squares are summed apart
        std::vector<unsigned char> source = WideSamples(format, count, 17);
        if (format.Coding == SampleCoding::Integer) {
            const auto lowest = static_cast<uint32_t>(std::numeric_limits<int32_t>::min());
            std::memcpy(source.data() + 5 * width, &lowest, 4);  // counted as full scale
        }
        for (const auto& steps : chains) {
            SCOPED_TRACE(testing::Message() << format.ContainerBytes << " bytes, "
                                            << format.ValidBits << " bits, " << steps.size());
            WideMeasure alone;
            SampleStateKey aloneKey;
            std::vector<unsigned char> expected = source;
            for (size_t i = 0; i < count; ++i) {
                const uint64_t bits = grid.Through(steps, grid.Read(&source[i * width]));
                grid.Write(bits, &expected[i * width]);
                alone.Add(grid.Measured(bits));
                aloneKey.Add(bits);
            }
            for (const size_t split : {count, size_t{3}, size_t{1025}}) {
                std::vector<unsigned char> bytes = source;
                WideMeasure measure;
                SampleStateKey key;
                grid.MapSamples(steps, bytes.data(), split, measure, &key);
                grid.MapSamples(steps, bytes.data() + split * width, count - split, measure, &key);
                ASSERT_EQ(bytes, expected) << split;
                EXPECT_EQ(measure.Peak, alone.Peak);
                EXPECT_TRUE(measure.Squares.Total() == alone.Squares.Total());
                EXPECT_EQ(key.Value(), aloneKey.Value());
            }
            SampleStateKey changed;
            for (size_t i = 0; i < count; ++i) {
                changed.Add(grid.Read(&expected[i * width]) ^ (i == count - 2 ? 1 : 0));
            }
            EXPECT_NE(changed.Value(), aloneKey.Value());
        }
    }
}

// A step stores its result on the grid: padding bits of an integer are written as zeros, a
// float result is never above full scale, and a NaN becomes silence.
TEST(WideValues, StepsStoreOnTheGrid) {
    TransformStep unity{BlockTransform::Gain};
    const WideGrid integers(I24In32);
    EXPECT_EQ(integers.Through({unity}, 0x1F0), 0x200u);  // 1.9375 on the 24-bit grid
    EXPECT_EQ(integers.Through({unity}, 0x70), 0u);

    TransformStep loud{BlockTransform::Gain};
    loud.Gain = 4.0;
    const WideGrid floats(F32);
    EXPECT_EQ(floats.Through({loud}, std::bit_cast<uint32_t>(0.75f)),
              std::bit_cast<uint32_t>(1.0f));
    EXPECT_EQ(floats.Through({loud, loud}, std::bit_cast<uint32_t>(-0.75f)),
              std::bit_cast<uint32_t>(-1.0f));
    const uint64_t nan = std::bit_cast<uint32_t>(std::numeric_limits<float>::quiet_NaN());
    EXPECT_EQ(floats.Through({loud}, nan), std::bit_cast<uint32_t>(0.0f));
}

// The write's table gives each counted value what the plan made of it, tells a value it does
// not hold, and keeps out the one pattern it uses to mark a vacant slot.
TEST(WideValues, MapFindsEveryCountedValue) {
    std::vector<WideValue> values;
    std::vector<uint64_t> mapped;
    std::mt19937_64 random(31);
    for (int i = 0; i < 5000; ++i) {
        values.push_back({random(), 1});
        mapped.push_back(random());
    }
    values.push_back({~uint64_t{0}, 3});  // a 64-bit NaN with every bit set
    mapped.push_back(7);
    WideMap map;
    map.Build(values, mapped, values.size() - 1);
    EXPECT_TRUE(map.Empty());  // more than it may hold
    map.Build(values, mapped, values.size());
    ASSERT_FALSE(map.Empty());
    for (size_t i = 0; i + 1 < values.size(); ++i) {
        uint64_t found = 0;
        ASSERT_TRUE(map.Find(values[i].Bits, found));
        ASSERT_EQ(found, mapped[i]);
    }
    uint64_t found = 0;
    EXPECT_FALSE(map.Find(~uint64_t{0}, found));
    EXPECT_FALSE(map.Find(values[0].Bits ^ 1, found));
}

}  // namespace
}  // namespace tralux
