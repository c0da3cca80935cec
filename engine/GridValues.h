#pragma once

#include <array>
#include <cmath>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <map>
#include <memory>
#include <mutex>
#include <span>
#include <type_traits>
#include <utility>
#include <vector>

#include "SampleTable.h"
#include "WideValues.h"
#include "files/WavFormat.h"

namespace tralux {

// The integer formats other than plain 16-bit that the runs take: containers of one to three
// bytes, with any valid bits. Their samples are worked on as the container's signed integer
// (a "key": one-byte samples offset by 128, padding bits as stored), so that a dense table of
// every key stays within 2^24 entries.
bool GridFormat(const SampleFormat& format);

// std::nearbyint in the default rounding mode (halves to even), without a call: a magnitude
// below 2^52 plus 2^52 has no fraction left, and the addition rounds it so.
inline double RoundHalfEven(double value) {
    const double magnitude = std::fabs(value);
    if (!(magnitude < 0x1p52)) {
        return std::nearbyint(value);  // a whole number already, an infinity or a NaN
    }
    return std::copysign((magnitude + 0x1p52) - 0x1p52, value);
}

// A format's grid on the one scale: a key k counts k x 32767 / (L x 2^pad), L = 2^(b-1) - 1
// for b valid bits; a value on the scale is stored as the nearest grid value, halves to even.
// For 16 bits both are exact and the arithmetic is that of the int16 code.
class SampleGrid {
public:
    explicit SampleGrid(const SampleFormat& format);

    double ToScale(int64_t key) const { return static_cast<double>(key) * 32767.0 / divisor_; }
    // The nearest grid value, held to the format's range, as a key (padding bits zero). As
    // SampleFormats' encoding: the factor first, then one rounding to the grid; a NaN falls
    // to 0.
    int64_t FromScale(double value) const {
        const double grid = RoundHalfEven(value * (largest_ / 32767.0));
        const double low = -largest_ - 1.0;
        const double atLeast = grid > low ? grid : low;
        const double held = std::isnan(grid) ? 0.0 : atLeast < largest_ ? atLeast : largest_;
        return static_cast<int64_t>(held) * (int64_t{1} << padding_);
    }
    // A key's magnitude with the most negative values counted as full scale.
    int64_t Folded(int64_t key) const {
        const int64_t magnitude = key < 0 ? -key : key;
        return magnitude < fullKey_ ? magnitude : fullKey_;
    }
    // The scale value of a folded magnitude.
    double Level(int64_t magnitude) const { return ToScale(magnitude); }
    // Root mean square on the scale of a sum of squared keys over samples: scaled once.
    double Loudness(unsigned __int128 sumOfSquares, int64_t samples) const;

    int64_t Read(const unsigned char* bytes) const;
    void Write(int64_t key, unsigned char* bytes) const;
    int Bytes() const { return bytes_; }
    double Largest() const { return largest_; }
    double Divisor() const { return divisor_; }
    int Padding() const { return padding_; }
    // Keys run from -KeyOffset() to KeyOffset() - 1.
    int64_t KeyOffset() const { return int64_t{1} << (8 * bytes_ - 1); }
    size_t KeyCount() const { return size_t{1} << (8 * bytes_); }

private:
    int bytes_;
    int padding_;
    double largest_;  // L
    double divisor_;  // L x 2^pad
    int64_t fullKey_;
};

// What one transform makes of a value on the scale, before it is stored on a grid: the
// arithmetic of the int16 code (see BlockTransforms.cpp) without its rounding. Scan and Map
// leave the value as it is.
double TransformScaleValue(const TransformStep& step, double value);

// The same for one kind of transform, inline, for the loops over many values that are
// compiled for each kind. Comparisons are written so that a NaN falls to the bound, as in the
// int16 code.
template <BlockTransform Kind>
inline double TransformScaleValueAs(const TransformStep& step, double s) {
    const auto atMost = [](double value, double high) { return value < high ? value : high; };
    if constexpr (Kind == BlockTransform::Gain) {
        const double low = s * step.Gain;
        return atMost(low > -32767.0 ? low : -32767.0, 32767.0);
    } else if constexpr (Kind == BlockTransform::Compress) {
        double a = std::fabs(s);
        if (a > step.Threshold) {
            a = step.Threshold + (a - step.Threshold) / step.Ratio;
        }
        const double r = atMost(a * step.MakeUpGain, 32767.0);
        return s < 0 ? -r : r;
    } else if constexpr (Kind == BlockTransform::Reduce) {
        const double r = atMost(std::fabs(s) * step.Gain, 32767.0);
        return s < 0 ? -r : r;
    } else {
        return s;
    }
}

// Calls body with the step's kind of transform as a constant (Scan and Map as Map).
template <typename Body>
inline decltype(auto) WithTransformKind(const TransformStep& step, Body&& body) {
    using K = BlockTransform;
    switch (step.Transform) {
        case K::Gain:
            return body(std::integral_constant<K, K::Gain>{});
        case K::Compress:
            return body(std::integral_constant<K, K::Compress>{});
        case K::Reduce:
            return body(std::integral_constant<K, K::Reduce>{});
        default:
            return body(std::integral_constant<K, K::Map>{});
    }
}

// Each of count keys through one step, stored on the grid, in place: what
// grid.FromScale(TransformScaleValue(step, grid.ToScale(key))) makes of each, four at a time
// where the processor can (vector false: one at a time, to compare with). Scan and Map leave
// them as they are.
void StepKeys(const SampleGrid& grid, const TransformStep& step, int32_t* keys, size_t count,
              bool vector = true);

// Each of count 32-bit float samples (their bits) through one step, stored as a float, in
// place: what the wide grid's FromScale(TransformScaleValue(step, ToScale(bits))) makes of
// each, four at a time where the processor can (vector false: one at a time).
void StepFloats(const TransformStep& step, uint32_t* bits, size_t count, bool vector = true);

// bytes of memory, in huge pages where the system gives them; freed with std::free.
void* AllocateHugePages(size_t bytes);

// Memory for tables too large for the caches, which are reached at random: asked for in huge
// pages where the system gives them, so that each look-up does not also miss the TLB. A
// resize leaves the new entries unset (numbers only): each table is written whole before it
// is read, and clearing tens of megabytes first would cost as much as writing them.
template <typename T>
struct HugePageAllocator {
    static_assert(std::is_trivial_v<T>);
    using value_type = T;
    HugePageAllocator() = default;
    template <typename U>
    HugePageAllocator(const HugePageAllocator<U>&) {}
    T* allocate(size_t count) { return static_cast<T*>(AllocateHugePages(count * sizeof(T))); }
    void deallocate(T* at, size_t) { std::free(at); }
    template <typename U>
    void construct(U* at) {
        ::new (static_cast<void*>(at)) U;
    }
    template <typename U, typename... Args>
    void construct(U* at, Args&&... args) {
        ::new (static_cast<void*>(at)) U(std::forward<Args>(args)...);
    }
    bool operator==(const HugePageAllocator&) const { return true; }
};

// A count of one key past 255: Counts[Index] holds its low 8 bits, High the rest.
struct CountAbove {
    static constexpr int Shift = 8;
    size_t Index = 0;
    uint64_t High = 0;
    bool operator==(const CountAbove&) const = default;
};

// The distinct keys a file holds, ascending, with how often each occurs. A count takes a byte,
// and the few that need more keep the rest beside: a noisy 24-bit file holds millions of keys,
// most of them a few times, and the counts are most of what its planning holds in memory
// (a byte each lets four times as many files keep theirs, rather than count them again).
struct GridCounts {
    SampleFormat Format;
    // The keys, listed when they are few. When they are many, Keys is empty and Present has a
    // bit for each key of the grid (from the lowest, bit k of word w for key 64w + k - the
    // grid's KeyOffset()): 2 MB for 24 bits, where a list of millions of keys takes tens of
    // megabytes.
    std::vector<int32_t> Keys;
    std::vector<uint64_t> Present;
    std::vector<uint8_t> Counts;    // the low 8 bits of each key's count
    std::vector<CountAbove> Above;  // the counts past 255, by ascending Index
    // The distinct keys counted.
    size_t KeyCount() const { return Counts.size(); }
    // Calls body(index, key) for each key, ascending.
    template <typename Body>
    void ForEachKey(Body&& body) const {
        if (Present.empty()) {
            for (size_t i = 0; i < Keys.size(); ++i) {
                body(i, Keys[i]);
            }
            return;
        }
        const int64_t offset = int64_t{1} << (8 * Format.ContainerBytes - 1);
        size_t index = 0;
        for (size_t word = 0; word < Present.size(); ++word) {
            for (uint64_t bits = Present[word]; bits != 0; bits &= bits - 1) {
                const auto bit = static_cast<int64_t>(__builtin_ctzll(bits));
                body(index++, static_cast<int32_t>(static_cast<int64_t>(64 * word) + bit - offset));
            }
        }
    }
    // A wide format's distinct stored values, ascending (see WideValues.h); or, when the file
    // held more than could be kept, none, and Samples reads them again for each pass planned.
    std::vector<WideValue> Wide;
    std::shared_ptr<const SampleSweep> Samples;
    uint64_t SampleCount() const;
    // The memory the counts take.
    size_t HeldBytes() const;
};

// A table's keys are millions for a noisy 24-bit file, made anew for each file planned: they
// take huge pages, as a table of small ones costs a page fault for every 4 KiB first written.
using MappedKeys = std::vector<int32_t, HugePageAllocator<int32_t>>;

// What each counted key becomes: Keys[i] of the counts maps to Mapped[i]. For a wide format,
// WideMapped[i] is what Wide[i] becomes (none when the values are read again). Steps are the
// steps that make it (those that change values), by which a write may map each sample.
struct GridTable {
    MappedKeys Mapped;
    std::vector<uint64_t> WideMapped;
    std::vector<TransformStep> Steps;
    bool operator==(const GridTable&) const = default;
};

GridTable IdentityTable(const GridCounts& counts);
void ApplyStep(const SampleGrid& grid, const TransformStep& step, GridTable& table);

// What a table makes of the counted keys, measured in one pass: the exact sum of the squared
// folded keys times their counts, the folded peak key, and a key of the mapped values in order
// (equal mappings give equal keys).
struct GridMeasure {
    unsigned __int128 Sum = 0;
    int64_t Peak = 0;
    uint64_t StateKey = 14695981039346656037ull;
};
// ApplyStep, measuring what it makes in the same pass: what ApplyStep and then MeasureTable
// give.
GridMeasure ApplyStepMeasured(const SampleGrid& grid, const TransformStep& step,
                              const GridCounts& counts, GridTable& table);
// IdentityTable and then ApplyStepMeasured, in one pass over the keys: the first step of a
// plan, most often its normalising.
GridMeasure StartTableMeasured(const SampleGrid& grid, const TransformStep& step,
                               const GridCounts& counts, GridTable& table);
GridMeasure MeasureTable(const SampleGrid& grid, const GridCounts& counts, const GridTable& table);
// The measure of the counts as counted.
GridMeasure MeasureCounts(const SampleGrid& grid, const GridCounts& counts);
// What ApplyStepMeasured gives of the counts through one step from the identity table, without
// a table: for a measure of one step, such as a normalising, of millions of keys.
GridMeasure MeasureStep(const SampleGrid& grid, const TransformStep& step,
                        const GridCounts& counts);

// The measure of a wide format's kept values with their counts as table maps them: what a
// write through table of exactly the samples counted measures.
WideMeasure MeasureMapped(const SampleFormat& format, const GridCounts& counts,
                          const GridTable& table);

// The scale value of a pass's peak key and the loudness of its sum key (see PassTotals), for
// any format but plain 16-bit.
double GridLevel(const SampleFormat& format, int64_t peakKey);
double GridLoudness(const SampleFormat& format, unsigned __int128 sumKey, int64_t samples);

// A dense table of every key of a grid, at most 2^24 entries of 32 bits (64 MB), made on first
// use and kept: the counter and the map below take turns with one. The counter uses its first
// bytes, a byte per key.
struct DenseKeys {
    std::vector<uint32_t, HugePageAllocator<uint32_t>> Entries;
    // The first ZeroBytes bytes are 0: a count of no more keys can start without clearing
    // them. A count's Take leaves them so; a map does not.
    size_t ZeroBytes = 0;
};

// Dense tables that the engines working on files at once take in turns, so that the memory
// of a run does not grow with the number of its workers: at most Tables of them, each held by
// one count or one map for the blocks of its pass only, and never while it waits for anything
// else, so that no engine waits for one for longer than a pass. Two let two workers count at
// once, which a run on two cores needs to keep both busy.
class DenseLease {
public:
    static constexpr size_t Tables = 2;

    DenseLease();
    ~DenseLease() { Give(); }
    DenseLease(const DenseLease&) = delete;
    DenseLease& operator=(const DenseLease&) = delete;

    // Takes other's tables in place of this one's; only while neither holds one.
    void Share(const DenseLease& other) {
        shared_ = other.shared_;
        slot_ = 0;
    }
    bool SharesTablesWith(const DenseLease& other) const { return shared_ == other.shared_; }
    // Waits until a table is free, then holds it (the one held last, when it is free); nothing
    // while held.
    void Take();
    // Lets the table go, if held.
    void Give();
    bool Held() const { return held_; }
    // Lets the memory go of the table held, if any, and of those that no lease holds.
    void Free();
    // The table held, or the one held last; to be used only while held.
    DenseKeys& Keys() const { return shared_->Keys[slot_]; }

private:
    struct Shared {
        std::array<DenseKeys, Tables> Keys;
        std::array<bool, Tables> Held{};
        std::mutex Lock;
        std::condition_variable Given;
    };
    std::shared_ptr<Shared> shared_;
    size_t slot_ = 0;
    bool held_ = false;
};

// Counts the keys of blocks of samples into a dense table of every key, then gives them as
// GridCounts. A key's count takes a byte of the table, a quarter of what a table of 32-bit
// counts reaches at random, so that more of it stays in the caches; a count that passes a
// byte keeps the rest in a page of the keys near it, made when one of them first needs it.
class GridCounter {
public:
    explicit GridCounter(DenseKeys& dense) : dense_(&dense) {}
    // Counts into dense from the next Start on.
    void Use(DenseKeys& dense) { dense_ = &dense; }
    void Start(const SampleFormat& format);
    void Add(const unsigned char* bytes, size_t count);
    GridCounts Take();  // the counts, ascending; the counter is cleared

    // Up to this many keys, Take lists them; past it, it marks them in GridCounts::Present.
    size_t KeysListedUpTo = size_t{1} << 21;

private:
    static constexpr int PageBits = 8;
    void Wrapped(size_t index);
    // The part past the byte of the count of key index, in units of 256.
    uint64_t WrapsOf(size_t index) const;

    SampleFormat format_;
    SampleGrid grid_{SampleFormat{}};
    DenseKeys* dense_;
    // For each page of 2^PageBits keys, none or the part of their counts past a byte, in units
    // of 256, past 2^32 of those units in wrapped_.
    std::vector<std::unique_ptr<uint32_t[]>> pages_;
    std::map<size_t, uint64_t> wrapped_;  // in units of 2^40
    uint64_t added_ = 0;                  // samples counted
    size_t zeroAfterTake_ = 0;            // the table's ZeroBytes once Take has cleared it
};

// A dense table of every key to what it becomes, for writing a file through a plan: keys
// the counts do not hold stay as they are.
class GridMap {
public:
    explicit GridMap(DenseKeys& dense) : dense_(&dense) {}
    // Maps through dense from the next Build on.
    void Use(DenseKeys& dense) { dense_ = &dense; }
    void Build(const GridCounts& counts, const GridTable& table);
    // Every key of the format through one step.
    void Build(const SampleFormat& format, const TransformStep& step);
    // Every key of the format through chain, stored on the grid after each step, as a table
    // applies its steps one after the other.
    void Build(const SampleFormat& format, std::span<const TransformStep> chain);
    // Every key's entry through further steps: Build of a chain and Extend by more steps make
    // the same map as Build of the two chains joined.
    void Extend(std::span<const TransformStep> steps);
    // Maps each sample by the steps themselves, as Build of the chain would, with no table:
    // for a few steps the arithmetic, four keys at a time, costs less than a look-up in a
    // table too large for the caches, and a write that needs no table waits for none.
    void UseSteps(const SampleFormat& format, std::span<const TransformStep> chain);
    // Whether a write through steps steps maps by them rather than by a table: for up to six
    // steps of a 24-bit grid. A table of a narrower grid stays in the caches, and is faster.
    static bool MapsBySteps(const SampleFormat& format, size_t steps) {
        return format.ContainerBytes == 3 && steps <= 6;
    }
    // Replaces each sample; adds the squares of the folded keys written to sum.
    void MapBlock(unsigned char* bytes, size_t count, unsigned __int128& sum) const;
    // The same without the sum, for a write whose counts give it whole.
    void MapOnly(unsigned char* bytes, size_t count) const;

private:
    template <bool Sum>
    void Map(unsigned char* bytes, size_t count, uint64_t& sum) const;
    template <bool Sum>
    void MapBySteps(unsigned char* bytes, size_t count, uint64_t& sum) const;

    SampleGrid grid_{SampleFormat{}};
    DenseKeys* dense_;  // each key's new key, as its 32 bits
    std::vector<TransformStep> steps_;
    bool bySteps_ = false;
};

// The folded peak key and the sum of squared folded keys of count samples, added to peak
// and sum.
void ScanGridBlock(const SampleGrid& grid, const unsigned char* bytes, size_t count, int64_t& peak,
                   unsigned __int128& sum);

}  // namespace tralux
