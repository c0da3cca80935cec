// The sample codecs: every format on the one scale and back onto its own grid.

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <vector>

#include "TestFormats.h"
#include "files/SampleFormats.h"

namespace tralux {
namespace {

using namespace test;

constexpr SampleFormat I20In24{SampleCoding::Integer, 3, 20};

// The container of an integer format holding stored (already offset for 8 bits), little-endian.
std::vector<unsigned char> Stored(const SampleFormat& format, int64_t stored) {
    std::vector<unsigned char> bytes(size_t(format.ContainerBytes));
    for (size_t i = 0; i < bytes.size(); ++i) {
        bytes[i] = static_cast<unsigned char>(uint64_t(stored) >> (8 * i));
    }
    return bytes;
}

std::vector<unsigned char> Encoded(const SampleFormat& format, double value) {
    std::vector<unsigned char> bytes(size_t(format.ContainerBytes), 0xEE);
    EncodeSample(format, value, bytes.data());
    return bytes;
}

// A signed sample of the format's valid bits, placed in its container.
double Decoded(const SampleFormat& format, int64_t sample) {
    const int64_t stored = sample * (int64_t{1} << (format.ContainerBytes * 8 - format.ValidBits));
    return DecodeSample(format,
                        Stored(format, format.ContainerBytes == 1 ? stored + 128 : stored).data());
}

// s * 32767 / (2^(b-1) - 1) worked out in long double, apart from the codec's own arithmetic.
long double Expected(int validBits, int64_t sample) {
    return static_cast<long double>(sample) * 32767.0L / (std::ldexp(1.0L, validBits - 1) - 1.0L);
}

TEST(SampleFormats, EightAndSixteenBitValuesRoundTripExactly) {
    for (int v = 0; v < 256; ++v) {
        const std::vector<unsigned char> bytes = {static_cast<unsigned char>(v)};
        ASSERT_EQ(Encoded(U8, DecodeSample(U8, bytes.data())), bytes) << v;
    }
    for (int s = -32768; s <= 32767; ++s) {
        const auto bytes = Stored(I16, s);
        const double value = DecodeSample(I16, bytes.data());
        ASSERT_EQ(value, double(s)) << "a 16-bit sample counts as itself";
        ASSERT_EQ(Encoded(I16, value), bytes) << s;
    }
}

TEST(SampleFormats, EveryTwentyFourBitValueRoundTrips) {
    for (uint32_t s = 0; s < (1u << 24); ++s) {
        const unsigned char bytes[3] = {static_cast<unsigned char>(s),
                                        static_cast<unsigned char>(s >> 8),
                                        static_cast<unsigned char>(s >> 16)};
        unsigned char back[3];
        EncodeSample(I24, DecodeSample(I24, bytes), back);
        ASSERT_EQ(std::memcmp(back, bytes, 3), 0) << s;
    }
}

TEST(SampleFormats, ThirtyTwoBitValuesRoundTrip) {
    std::mt19937 random(20);
    std::uniform_int_distribution<int64_t> any(INT32_MIN, INT32_MAX);
    std::vector<int64_t> values = {INT32_MIN, INT32_MIN + 1, -1, 0, 1, INT32_MAX - 1, INT32_MAX};
    for (int i = 0; i < 1000000; ++i) {
        values.push_back(any(random));
    }
    for (const int64_t s : values) {
        const auto bytes = Stored(I32, s);
        ASSERT_EQ(Encoded(I32, DecodeSample(I32, bytes.data())), bytes) << s;
    }
}

TEST(SampleFormats, PaddedSamplesRoundTripOnTheirOwnGrid) {
    for (int64_t s = -(1 << 19); s < (1 << 19); s += 7) {
        const auto bytes = Stored(I20In24, s * 16);
        ASSERT_EQ(Encoded(I20In24, DecodeSample(I20In24, bytes.data())), bytes) << s;
    }
    // Padding bits that are not zero count as the fraction they are; a result rounds them off.
    const auto half = Stored(I20In24, 1000 * 16 + 8);
    EXPECT_DOUBLE_EQ(DecodeSample(I20In24, half.data()), double(Expected(20, 1000) * 1.0005L));
    EXPECT_EQ(Encoded(I20In24, DecodeSample(I20In24, half.data())), Stored(I20In24, 1000 * 16));
}

TEST(SampleFormats, IntegersMapOntoTheScaleAsComputedApart) {
    std::mt19937 random(7);
    for (const SampleFormat& format : {U8, I24, I20In24, I32}) {
        const int64_t largest = (int64_t{1} << (format.ValidBits - 1)) - 1;
        std::uniform_int_distribution<int64_t> any(-largest - 1, largest);
        for (int i = 0; i < 10000; ++i) {
            const int64_t s = any(random);
            ASSERT_DOUBLE_EQ(Decoded(format, s), double(Expected(format.ValidBits, s)))
                << format.ValidBits << "-bit " << s;
        }
    }
    // 8 bits are unsigned: 128 is silence.
    EXPECT_EQ(DecodeSample(U8, Stored(U8, 128).data()), 0.0);
    EXPECT_DOUBLE_EQ(DecodeSample(U8, Stored(U8, 0).data()), -128.0 * 32767.0 / 127.0);
    EXPECT_DOUBLE_EQ(DecodeSample(U8, Stored(U8, 1).data()), -32767.0);
}

TEST(SampleFormats, FullScaleAndTheMostNegativeValue) {
    for (const SampleFormat& format : {U8, I16, I24, I20In24, I32}) {
        SCOPED_TRACE(format.ValidBits);
        const int64_t largest = (int64_t{1} << (format.ValidBits - 1)) - 1;
        EXPECT_EQ(Decoded(format, largest), 32767.0);
        EXPECT_EQ(Decoded(format, -largest), -32767.0);
        const double lowest = Decoded(format, -largest - 1);
        EXPECT_LT(lowest, -32767.0);
        EXPECT_EQ(PeakOf(format, lowest), 32767.0) << "the most negative value is full scale";
        EXPECT_EQ(PeakOf(format, Decoded(format, -largest + 1)), -Decoded(format, -largest + 1));
        // Full scale comes back as the largest value, beyond it as the ends of the range.
        EXPECT_EQ(Encoded(format, 32767.0), Encoded(format, Decoded(format, largest)));
        EXPECT_EQ(Encoded(format, -32767.0), Encoded(format, Decoded(format, -largest)));
        EXPECT_EQ(Encoded(format, 1e9), Encoded(format, Decoded(format, largest)));
        EXPECT_EQ(Encoded(format, -1e300), Encoded(format, Decoded(format, -largest - 1)));
        EXPECT_EQ(Encoded(format, std::nan("")), Encoded(format, 0.0));
    }
    EXPECT_EQ(Encoded(U8, 0.0), std::vector<unsigned char>{128});
}

TEST(SampleFormats, IntegersRoundHalvesToEven) {
    EXPECT_EQ(Encoded(I16, 2.5), Stored(I16, 2));
    EXPECT_EQ(Encoded(I16, 3.5), Stored(I16, 4));
    EXPECT_EQ(Encoded(I16, -2.5), Stored(I16, -2));
    EXPECT_EQ(Encoded(I16, 2.5000001), Stored(I16, 3));
    // On the other grids a half step is no exact value of the scale: the nearest step wins.
    const double step = 32767.0 / 127.0;
    EXPECT_EQ(Encoded(U8, 2.4 * step), Stored(U8, 130));
    EXPECT_EQ(Encoded(U8, 2.6 * step), Stored(U8, 131));
    EXPECT_EQ(Encoded(I24, Decoded(I24, -5000) + 0.4 * 32767.0 / 8388607.0), Stored(I24, -5000));
}

float FloatOf(uint32_t bits) {
    return std::bit_cast<float>(bits);
}

TEST(SampleFormats, FloatsCountTheirValueAtFullScale) {
    const float values[] = {0.0f, 1.0f, -1.0f, 0.5f, -0.25f, 1e-30f, 1.5f};
    for (const float x : values) {
        uint32_t raw = std::bit_cast<uint32_t>(x);
        EXPECT_EQ(DecodeSample(F32, reinterpret_cast<unsigned char*>(&raw)), double(x) * 32767.0);
        double wide = x;
        EXPECT_EQ(DecodeSample(F64, reinterpret_cast<unsigned char*>(&wide)), double(x) * 32767.0);
    }
    double over = 1.5;
    EXPECT_EQ(PeakOf(F64, DecodeSample(F64, reinterpret_cast<unsigned char*>(&over))),
              1.5 * 32767.0)
        << "a float above full scale keeps its peak";
    // A damaged sample cannot make a level meaningless.
    for (const float odd :
         {std::numeric_limits<float>::quiet_NaN(), std::numeric_limits<float>::infinity(),
          -std::numeric_limits<float>::infinity()}) {
        uint32_t raw = std::bit_cast<uint32_t>(odd);
        const double value = DecodeSample(F32, reinterpret_cast<unsigned char*>(&raw));
        EXPECT_TRUE(std::isfinite(value));
        EXPECT_LE(std::fabs(value), 32767.0);
    }
    // The largest doubles are finite but would overflow on the scale and in any sum of squares.
    for (const double huge : {std::numeric_limits<double>::max(), -1e300, 1e7}) {
        double wide = huge;
        const double value = DecodeSample(F64, reinterpret_cast<unsigned char*>(&wide));
        EXPECT_EQ(value, std::copysign(1e6 * 32767.0, huge)) << huge;
        EXPECT_TRUE(std::isfinite(value * value * 1e12));
    }
}

TEST(SampleFormats, FloatsRoundTripAndNeverPassFullScale) {
    std::mt19937 random(3);
    std::uniform_int_distribution<uint32_t> any;
    int tried = 0;
    while (tried < 1000000) {
        const float x = FloatOf(any(random));
        if (!(std::fabs(x) <= 1.0f)) {
            continue;
        }
        ++tried;
        uint32_t raw = std::bit_cast<uint32_t>(x);
        const auto* bytes = reinterpret_cast<unsigned char*>(&raw);
        const auto back = Encoded(F32, DecodeSample(F32, bytes));
        ASSERT_EQ(std::memcmp(back.data(), bytes, 4), 0) << x;
    }
    // 64-bit floats: x * 32767 is rounded, so the way back may land one step away.
    std::uniform_real_distribution<double> unit(-1.0, 1.0);
    for (int i = 0; i < 100000; ++i) {
        double x = unit(random);
        const auto back = Encoded(F64, DecodeSample(F64, reinterpret_cast<unsigned char*>(&x)));
        double y;
        std::memcpy(&y, back.data(), 8);
        ASSERT_LE(std::fabs(y - x), std::nextafter(std::fabs(x), 2.0) - std::fabs(x)) << x;
    }
    for (const SampleFormat& format : {F32, F64}) {
        for (const double value : {32767.0, 32767.000001, 1e9, -1e9, -32767.5}) {
            const auto bytes = Encoded(format, value);
            double stored;
            if (format.ContainerBytes == 4) {
                float narrow;
                std::memcpy(&narrow, bytes.data(), 4);
                stored = narrow;
            } else {
                std::memcpy(&stored, bytes.data(), 8);
            }
            EXPECT_EQ(std::fabs(stored), 1.0) << value;
        }
        EXPECT_EQ(Encoded(format, std::nan("")), Encoded(format, 0.0));
    }
}

TEST(SampleFormats, InterleavedRunsMatchSampleBySample) {
    for (const SampleFormat& format : {U8, I16, I24, I32, F32, F64}) {
        const auto width = size_t(format.ContainerBytes);
        std::vector<double> values = {0.0, 32767.0, -32767.0, 1234.5, -0.25, 20000.0, -3.0};
        std::vector<unsigned char> bytes(values.size() * width);
        EncodeSamples(format, values.data(), values.size(), bytes.data());
        std::vector<double> decoded(values.size());
        DecodeSamples(format, bytes.data(), values.size(), decoded.data());
        for (size_t i = 0; i < values.size(); ++i) {
            EXPECT_EQ(Encoded(format, values[i]),
                      std::vector<unsigned char>(bytes.begin() + long(i * width),
                                                 bytes.begin() + long((i + 1) * width)));
            EXPECT_EQ(decoded[i], DecodeSample(format, bytes.data() + i * width));
        }
    }
}

TEST(SampleFormats, FormatTextNamesTheGrid) {
    WavFormat format;
    EXPECT_EQ(FormatText(format), "16-bit 44.1 kHz stereo");
    format.Sample = {SampleCoding::Float, 4, 32};
    format.SampleRate = 96000;
    EXPECT_EQ(FormatText(format), "32-bit float 96 kHz stereo");
    format.Sample = {SampleCoding::Integer, 3, 24};
    format.SampleRate = 48000;
    format.Channels = 6;
    EXPECT_EQ(FormatText(format), "24-bit 48 kHz 6 ch");
    format.Sample = {SampleCoding::Integer, 1, 8};
    format.SampleRate = 22050;
    format.Channels = 1;
    EXPECT_EQ(FormatText(format), "8-bit 22.05 kHz mono");
    format.SampleRate = 999;
    EXPECT_EQ(FormatText(format), "8-bit 999 Hz mono");
    format.SampleRate = 44056;
    EXPECT_EQ(FormatText(format), "8-bit 44.056 kHz mono");
    EXPECT_EQ(WithArticle("8-bit"), "an 8-bit");
    EXPECT_EQ(WithArticle("11-bit"), "an 11-bit");
    EXPECT_EQ(WithArticle("16-bit"), "a 16-bit");
    EXPECT_EQ(WithArticle("RF64"), "an RF64");
}

}  // namespace
}  // namespace tralux
