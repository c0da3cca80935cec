#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "BlockTransforms.h"
#include "FactorTables.h"

namespace tralux {

// Which per-block work a pass does.
// Map replaces each sample by a table's value for it (see AudioEngine::WriteMapped).
enum class BlockTransform { Scan, Gain, Compress, Reduce, Map };

// One transform and its parameters, as a pass or a plan applies it.
struct TransformStep {
    BlockTransform Transform = BlockTransform::Scan;
    double Gain = 1.0;  // Gain and Reduce
    double Threshold = 0.0;
    double Ratio = 1.0;
    double MakeUpGain = 1.0;
    bool operator==(const TransformStep&) const = default;
};

// The settings a compress or reduce pass takes from its table row.
TransformStep CompressStep(const CompressFactor& row);
TransformStep ReduceStep(const ReduceFactor& row);

// Runs the step over count samples in place with the given set; returns the exact sum of
// the squares left in the buffer. peak is only used (and raised) by Scan.
int64_t ApplyTransform(const TransformSet& set, const TransformStep& step, int16_t* samples,
                       size_t count, int16_t& peak);

// Every 16-bit sample value once, in ascending order (-32768 first). Each transform maps a
// sample by its value alone, so running the passes over this block, with the very code that
// runs over file blocks, gives for every value what the passes make of it.
inline constexpr size_t SampleValueCount = 65536;

inline size_t ValueIndex(int16_t value) {
    return static_cast<size_t>(static_cast<int32_t>(value) + 32768);
}

// A base for objects of a hundred kilobytes and more that runs make and drop file after file:
// each one made alone takes pages of its own, given back whole when it goes. From the
// allocator, which grows the size it serves itself after the first such object is freed,
// they would leave megabytes behind on every thread that made them.
struct OwnPages {
    static void* operator new(size_t size);
    static void operator delete(void* object, size_t size);
};

class ValueTable : public OwnPages {
public:
    ValueTable();  // the identity: every value maps to itself
    // Runs the step over every value. Values is written only here and by the constructor.
    void Apply(const TransformSet& set, const TransformStep& step);
    int16_t operator[](int16_t value) const { return Values[ValueIndex(value)]; }
    // Replaces each sample by what the table maps its value to; returns the exact sum of the
    // squares written.
    int64_t MapSamples(int16_t* samples, size_t count) const;
    // The same without the sum, for a pass whose counts give it whole.
    void MapOnly(int16_t* samples, size_t count) const;
    bool operator==(const ValueTable& other) const { return Values == other.Values; }

    alignas(64) std::array<int16_t, SampleValueCount> Values;

private:
    // Set while the table is one gain step applied to the identity (a normalising write):
    // the samples are then mapped by that step's own code, which is faster than a look-up
    // and gives the very values the table holds, and the same sum.
    int64_t (*gainCode_)(int16_t* samples, size_t count, double gain) = nullptr;
    double gain_ = 1.0;
    bool identity_ = true;
};

// How often each sample value occurs in a file's data. 32-bit counts: a data chunk holds
// fewer than 2^31 samples.
class SampleHistogram : public OwnPages {
public:
    void Clear() { Counts.fill(0); }
    void Add(const int16_t* samples, size_t count);
    uint64_t SampleCount() const;

    std::array<uint32_t, SampleValueCount> Counts{};
};

// A histogram kept from a file's scan to its write in a few bytes a value present: each
// non-zero count as the number of counts of 0 before it and the count, both in seven-bit
// groups. A file uses a fraction of the 65536 values, most of them rarely, so that it takes
// some tens of kilobytes where the histogram takes 256.
class PackedHistogram {
public:
    PackedHistogram() = default;
    explicit PackedHistogram(const SampleHistogram& histogram);
    // The counts packed, exactly, into histogram.
    void Unpack(SampleHistogram& histogram) const;
    size_t HeldBytes() const { return bytes_.size(); }

private:
    std::vector<uint8_t> bytes_;
};

// The exact sum of squares and the peak of the samples counted by histogram after mapping
// through table. At most 2^31 samples of at most 32768^2 each: below 2^61, exact in 64 bits.
int64_t MappedSumOfSquares(const SampleHistogram& histogram, const ValueTable& table);
int16_t MappedPeak(const SampleHistogram& histogram, const ValueTable& table);

}  // namespace tralux
