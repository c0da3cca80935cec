#include "SampleFormats.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>

namespace tralux {
namespace {

// The container's bytes as a signed integer; one-byte samples are offset by 128.
int64_t ReadInteger(int containerBytes, const unsigned char* bytes) {
    switch (containerBytes) {
        case 1:
            return int64_t{bytes[0]} - 128;
        case 2:
            return int16_t(uint16_t(bytes[0] | bytes[1] << 8));
        case 3:
            // Into the top of 32 bits and back down, so that the sign spreads.
            return int32_t(uint32_t{bytes[0]} << 8 | uint32_t{bytes[1]} << 16 |
                           uint32_t{bytes[2]} << 24) >>
                   8;
        default:
            return int32_t(uint32_t{bytes[0]} | uint32_t{bytes[1]} << 8 | uint32_t{bytes[2]} << 16 |
                           uint32_t{bytes[3]} << 24);
    }
}

void WriteInteger(int containerBytes, int64_t value, unsigned char* bytes) {
    if (containerBytes == 1) {
        bytes[0] = static_cast<unsigned char>(value + 128);
        return;
    }
    const auto bits = static_cast<uint64_t>(value);
    for (int i = 0; i < containerBytes; ++i) {
        bytes[i] = static_cast<unsigned char>(bits >> (8 * i));
    }
}

// The largest sample of b valid bits, which counts as full scale.
double LargestOf(int validBits) {
    return static_cast<double>((int64_t{1} << (validBits - 1)) - 1);
}

int PaddingBits(const SampleFormat& format) {
    return format.ContainerBytes * 8 - format.ValidBits;
}

// The largest float sample taken as it is, a million times full scale (+120 dBFS).
constexpr double FloatHeld = 1e6;

double DecodeFloat(const SampleFormat& format, const unsigned char* bytes) {
    double x;
    if (format.ContainerBytes == 4) {
        uint32_t raw;
        std::memcpy(&raw, bytes, 4);
        x = std::bit_cast<float>(raw);
    } else {
        uint64_t raw;
        std::memcpy(&raw, bytes, 8);
        x = std::bit_cast<double>(raw);
    }
    if (std::isnan(x)) {
        return 0.0;
    }
    if (std::isinf(x)) {
        return std::copysign(FullScale, x);
    }
    // A 64-bit float can hold 1e308, which the scale would turn into an infinity and every sum
    // of squares after it too: a sample beyond +120 dBFS is held there, as the meter holds it.
    return std::clamp(x, -FloatHeld, FloatHeld) * FullScale;
}

void EncodeFloat(const SampleFormat& format, double value, unsigned char* bytes) {
    double x = std::isnan(value) ? 0.0 : value / FullScale;
    x = std::clamp(x, -1.0, 1.0);
    if (format.ContainerBytes == 4) {
        const auto raw = std::bit_cast<uint32_t>(static_cast<float>(x));
        std::memcpy(bytes, &raw, 4);
    } else {
        const auto raw = std::bit_cast<uint64_t>(x);
        std::memcpy(bytes, &raw, 8);
    }
}

}  // namespace

double DecodeSample(const SampleFormat& format, const unsigned char* bytes) {
    if (format.Coding == SampleCoding::Float) {
        return DecodeFloat(format, bytes);
    }
    const int64_t stored = ReadInteger(format.ContainerBytes, bytes);
    // Exact up to the one division: stored * 32767 needs at most 47 bits, the divisor 32.
    const double divisor =
        LargestOf(format.ValidBits) * static_cast<double>(int64_t{1} << PaddingBits(format));
    return static_cast<double>(stored) * FullScale / divisor;
}

void EncodeSample(const SampleFormat& format, double value, unsigned char* bytes) {
    if (format.Coding == SampleCoding::Float) {
        EncodeFloat(format, value, bytes);
        return;
    }
    const double largest = LargestOf(format.ValidBits);
    // For 16 bits the factor is exactly 1, so a value is rounded as it is.
    const double grid = std::nearbyint(value * (largest / FullScale));
    const double held = std::isnan(grid) ? 0.0 : std::clamp(grid, -largest - 1.0, largest);
    const auto sample = static_cast<int64_t>(held);
    WriteInteger(format.ContainerBytes, sample * (int64_t{1} << PaddingBits(format)), bytes);
}

void DecodeSamples(const SampleFormat& format, const unsigned char* bytes, size_t count,
                   double* values) {
    const auto step = static_cast<size_t>(format.ContainerBytes);
    for (size_t i = 0; i < count; ++i) {
        values[i] = DecodeSample(format, bytes + i * step);
    }
}

void EncodeSamples(const SampleFormat& format, const double* values, size_t count,
                   unsigned char* bytes) {
    const auto step = static_cast<size_t>(format.ContainerBytes);
    for (size_t i = 0; i < count; ++i) {
        EncodeSample(format, values[i], bytes + i * step);
    }
}

double PeakOf(const SampleFormat& format, double value) {
    const double magnitude = std::fabs(value);
    // Only the most negative integer lies past full scale.
    return format.Coding == SampleCoding::Integer ? std::min(magnitude, FullScale) : magnitude;
}

}  // namespace tralux
