#include "GridValues.h"

#include <algorithm>
#include <cmath>

namespace tralux {
namespace {

// Comparisons written so that a NaN falls to the bound, as in the int16 code.
inline double AtLeast(double value, double low) {
    return value > low ? value : low;
}
inline double AtMost(double value, double high) {
    return value < high ? value : high;
}

// Samples between a look-up in a dense table and the fetch of its entry.
constexpr size_t LookAhead = 24;

}  // namespace

bool GridFormat(const SampleFormat& format) {
    return format.Coding == SampleCoding::Integer && format.ContainerBytes >= 1 &&
           format.ContainerBytes <= 3 && format.ValidBits >= 2 &&
           format.ValidBits <= format.ContainerBytes * 8;
}

SampleGrid::SampleGrid(const SampleFormat& format)
    : bytes_(format.ContainerBytes),
      padding_(format.ContainerBytes * 8 - format.ValidBits),
      largest_(static_cast<double>((int64_t{1} << (format.ValidBits - 1)) - 1)),
      divisor_(largest_ * static_cast<double>(int64_t{1} << padding_)),
      fullKey_(((int64_t{1} << (format.ValidBits - 1)) - 1) << padding_) {}

int64_t SampleGrid::FromScale(double value) const {
    // As SampleFormats' encoding: the factor first, then one rounding to the grid.
    const double grid = std::nearbyint(value * (largest_ / 32767.0));
    const double held = std::isnan(grid) ? 0.0 : AtMost(AtLeast(grid, -largest_ - 1.0), largest_);
    return static_cast<int64_t>(held) * (int64_t{1} << padding_);
}

double SampleGrid::Loudness(unsigned __int128 sumOfSquares, int64_t samples) const {
    if (samples <= 0) {
        return 0.0;
    }
    return std::sqrt(static_cast<double>(sumOfSquares) / static_cast<double>(samples)) *
           (32767.0 / divisor_);
}

int64_t SampleGrid::Read(const unsigned char* bytes) const {
    switch (bytes_) {
        case 1:
            return int64_t{bytes[0]} - 128;
        case 2:
            return int16_t(uint16_t(bytes[0] | bytes[1] << 8));
        default:
            return int32_t(uint32_t{bytes[0]} << 8 | uint32_t{bytes[1]} << 16 |
                           uint32_t{bytes[2]} << 24) >>
                   8;
    }
}

void SampleGrid::Write(int64_t key, unsigned char* bytes) const {
    if (bytes_ == 1) {
        bytes[0] = static_cast<unsigned char>(key + 128);
        return;
    }
    const auto bits = static_cast<uint64_t>(key);
    for (int i = 0; i < bytes_; ++i) {
        bytes[i] = static_cast<unsigned char>(bits >> (8 * i));
    }
}

double TransformScaleValue(const TransformStep& step, double s) {
    switch (step.Transform) {
        case BlockTransform::Gain:
            return AtMost(AtLeast(s * step.Gain, -32767.0), 32767.0);
        case BlockTransform::Compress: {
            double a = std::fabs(s);
            if (a > step.Threshold) {
                a = step.Threshold + (a - step.Threshold) / step.Ratio;
            }
            const double r = AtMost(a * step.MakeUpGain, 32767.0);
            return s < 0 ? -r : r;
        }
        case BlockTransform::Reduce: {
            const double r = AtMost(std::fabs(s) * step.Gain, 32767.0);
            return s < 0 ? -r : r;
        }
        case BlockTransform::Scan:
        case BlockTransform::Map:
            break;
    }
    return s;
}

uint64_t GridCounts::SampleCount() const {
    uint64_t total = 0;
    for (uint64_t count : Counts) {
        total += count;
    }
    for (const WideValue& value : Wide) {
        total += value.Count;
    }
    return total;
}

size_t GridCounts::HeldBytes() const {
    return Keys.size() * (sizeof(int32_t) + sizeof(uint64_t)) + Wide.size() * sizeof(WideValue);
}

double GridLevel(const SampleFormat& format, int64_t peakKey) {
    if (WideFormat(format)) {
        return WideGrid(format).Level(WidePeakOfKey(peakKey));
    }
    return SampleGrid(format).Level(peakKey);
}

double GridLoudness(const SampleFormat& format, unsigned __int128 sumKey, int64_t samples) {
    if (WideFormat(format)) {
        return WideGrid(format).Loudness(WideSumOfKey(sumKey), samples);
    }
    return SampleGrid(format).Loudness(sumKey, samples);
}

GridTable IdentityTable(const GridCounts& counts) {
    GridTable table;
    table.Mapped = counts.Keys;
    return table;
}

void ApplyStep(const SampleGrid& grid, const TransformStep& step, GridTable& table) {
    for (int32_t& key : table.Mapped) {
        key = static_cast<int32_t>(grid.FromScale(TransformScaleValue(step, grid.ToScale(key))));
    }
}

unsigned __int128 GridSumOfSquares(const GridCounts& counts, const GridTable& table,
                                   const SampleGrid& grid) {
    unsigned __int128 sum = 0;
    for (size_t i = 0; i < counts.Counts.size(); ++i) {
        const auto folded = static_cast<uint64_t>(grid.Folded(table.Mapped[i]));
        sum += static_cast<unsigned __int128>(folded * folded) * counts.Counts[i];
    }
    return sum;
}

int64_t GridPeak(const GridCounts& counts, const GridTable& table, const SampleGrid& grid) {
    int64_t peak = 0;
    for (size_t i = 0; i < counts.Counts.size(); ++i) {
        const int64_t folded = grid.Folded(table.Mapped[i]);
        peak = folded > peak ? folded : peak;
    }
    return peak;
}

void GridCounter::Start(const SampleFormat& format) {
    format_ = format;
    grid_ = SampleGrid(format);
    dense_.resize(grid_.KeyCount());
    std::fill(dense_.begin(), dense_.end(), 0u);
    wrapped_.clear();
}

void GridCounter::Add(const unsigned char* bytes, size_t count) {
    const int step = grid_.Bytes();
    const int64_t offset = grid_.KeyOffset();
    for (size_t i = 0; i < count; ++i, bytes += step) {
        // The table is too large for the caches: the entry of a sample a little ahead is
        // fetched while this one is counted.
        if (i + LookAhead < count) {
            __builtin_prefetch(
                &dense_[static_cast<size_t>(grid_.Read(bytes + LookAhead * step) + offset)], 1);
        }
        const auto index = static_cast<size_t>(grid_.Read(bytes) + offset);
        if (++dense_[index] == 0) {
            ++wrapped_[index];
        }
    }
}

GridCounts GridCounter::Take() {
    GridCounts counts;
    counts.Format = format_;
    const int64_t offset = grid_.KeyOffset();
    const size_t keys = grid_.KeyCount();
    for (size_t i = 0; i < keys; ++i) {
        if (dense_[i] != 0) {
            counts.Keys.push_back(static_cast<int32_t>(static_cast<int64_t>(i) - offset));
            counts.Counts.push_back(dense_[i]);
        }
    }
    // A count that wrapped past 2^32 (and perhaps to 0) gets its high part back.
    for (const auto& [index, high] : wrapped_) {
        const auto key = static_cast<int32_t>(static_cast<int64_t>(index) - offset);
        const auto at = std::lower_bound(counts.Keys.begin(), counts.Keys.end(), key);
        const auto k = static_cast<size_t>(at - counts.Keys.begin());
        if (at == counts.Keys.end() || *at != key) {
            counts.Keys.insert(at, key);
            counts.Counts.insert(counts.Counts.begin() + static_cast<std::ptrdiff_t>(k), 0);
        }
        counts.Counts[k] += high << 32;
    }
    counts.Keys.shrink_to_fit();
    counts.Counts.shrink_to_fit();
    wrapped_.clear();
    return counts;
}

void GridMap::Build(const GridCounts& counts, const GridTable& table) {
    grid_ = SampleGrid(counts.Format);
    const int64_t offset = grid_.KeyOffset();
    dense_.resize(grid_.KeyCount());
    for (size_t i = 0; i < dense_.size(); ++i) {
        dense_[i] = static_cast<uint32_t>(static_cast<int64_t>(i) - offset);
    }
    for (size_t i = 0; i < counts.Keys.size(); ++i) {
        dense_[static_cast<size_t>(counts.Keys[i] + offset)] =
            static_cast<uint32_t>(table.Mapped[i]);
    }
}

void GridMap::Build(const SampleFormat& format, const TransformStep& step) {
    grid_ = SampleGrid(format);
    const int64_t offset = grid_.KeyOffset();
    dense_.resize(grid_.KeyCount());
    for (size_t i = 0; i < dense_.size(); ++i) {
        const double value = grid_.ToScale(static_cast<int64_t>(i) - offset);
        dense_[i] = static_cast<uint32_t>(grid_.FromScale(TransformScaleValue(step, value)));
    }
}

void GridMap::MapBlock(unsigned char* bytes, size_t count, unsigned __int128& sum) const {
    const int step = grid_.Bytes();
    const int64_t offset = grid_.KeyOffset();
    // A block's squares (at most 2^46 each) sum within 64 bits.
    uint64_t blockSum = 0;
    for (size_t i = 0; i < count; ++i, bytes += step) {
        if (i + LookAhead < count) {
            __builtin_prefetch(
                &dense_[static_cast<size_t>(grid_.Read(bytes + LookAhead * step) + offset)]);
        }
        const int64_t key =
            static_cast<int32_t>(dense_[static_cast<size_t>(grid_.Read(bytes) + offset)]);
        grid_.Write(key, bytes);
        const auto folded = static_cast<uint64_t>(grid_.Folded(key));
        blockSum += folded * folded;
    }
    sum += blockSum;
}

void ScanGridBlock(const SampleGrid& grid, const unsigned char* bytes, size_t count, int64_t& peak,
                   unsigned __int128& sum) {
    const int step = grid.Bytes();
    uint64_t blockSum = 0;
    for (size_t i = 0; i < count; ++i, bytes += step) {
        const int64_t folded = grid.Folded(grid.Read(bytes));
        peak = folded > peak ? folded : peak;
        blockSum += static_cast<uint64_t>(folded * folded);
    }
    sum += blockSum;
}

}  // namespace tralux
