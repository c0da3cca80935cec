#pragma once

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include "LargeBuffer.h"
#include "SampleTable.h"
#include "files/WavFormat.h"

namespace tralux {

// The formats too wide for a table of every value: 32-bit integers (any valid bits) and
// 32 and 64-bit floats. Their samples are worked on as the container's stored bits.
bool WideFormat(const SampleFormat& format);

// Float samples count as at most this far above full scale (+120 dBFS), as SampleFormats
// holds them.
inline constexpr double FloatHeld = 1e6;

// A float sample's value on the scale: a NaN is silence, an infinity full scale, anything
// else held to FloatHeld.
inline double FloatToScale(double x) {
    if (std::isnan(x)) {
        return 0.0;
    }
    if (std::isinf(x)) {
        return std::copysign(32767.0, x);
    }
    return std::clamp(x, -FloatHeld, FloatHeld) * 32767.0;
}

// The nearest Float of a value on the scale, held to full scale; a NaN falls to silence.
template <typename Float>
inline Float FloatFromScale(double value) {
    return static_cast<Float>(std::clamp(std::isnan(value) ? 0.0 : value / 32767.0, -1.0, 1.0));
}

// One distinct stored value of a wide file and how often it occurs.
struct WideValue {
    uint64_t Bits = 0;
    uint64_t Count = 0;
    bool operator==(const WideValue&) const = default;
};

// An exact sum of squares of doubles of at most a million (every sample counts no more): each
// square is added exactly into a fixed-point number wide enough for any such square times any
// count, so that the sum is the same whatever the order or the chunks it was taken in, and it
// becomes a double once, correctly rounded.
class ExactSquares {
public:
    // Adds value^2 x count.
    void Add(double value, uint64_t count = 1);
    void Add(const ExactSquares& other);
    double Value() const;
    bool operator==(const ExactSquares&) const = default;
    // Adds (high x 2^128 + low) x 2^power.
    void AddScaled(int power, unsigned __int128 low, uint64_t high) {
        AddAt(power + Offset, low, high);
    }

private:
    // Bit i of the limbs counts 2^(i - Offset): the square of the smallest subnormal double
    // (2^-2148) lies above bit 0, the largest square held to +120 dBFS times 2^64 samples below
    // the top.
    static constexpr int Offset = 2304;
    static constexpr int Limbs = 40;
    void AddAt(int bit, unsigned __int128 low, uint64_t high);
    std::array<uint64_t, Limbs> limbs_{};
};

// The same sum, faster: the squared mantissas are summed in 128 bits by the double's exponent,
// with a count of the times each sum wrapped, and the sums go into an ExactSquares at the end.
class SquareSum {
public:
    void Add(double value) {
        const uint64_t bits = std::bit_cast<uint64_t>(value) & ~(uint64_t{1} << 63);
        const auto exponent = size_t(bits >> 52);
        const uint64_t mantissa =
            exponent == 0 ? bits : (bits & ((uint64_t{1} << 52) - 1)) | uint64_t{1} << 52;
        const unsigned __int128 square = static_cast<unsigned __int128>(mantissa) * mantissa;
        const size_t bin = exponent == 0 ? 1 : exponent;
        low_[bin] += square;
        wraps_[bin] += low_[bin] < square ? 1 : 0;
    }
    void Add(double value, uint64_t count);
    // Adds sum x 2^power, a sum of squares taken exactly as integers.
    void AddScaledSquares(int power, unsigned __int128 sum) { large_.AddScaled(power, sum, 0); }
    ExactSquares Total() const;

private:
    std::array<unsigned __int128, 2048> low_{};
    std::array<uint64_t, 2048> wraps_{};
    ExactSquares large_;  // squares of large counts
};

struct WideMeasure;
class WideMap;

// A key of stored values in order, each folded in by its bits: equal values give equal keys.
inline uint64_t FoldStateKey(uint64_t key, uint64_t bits) {
    key = (key ^ static_cast<uint32_t>(bits)) * 1099511628211ull;
    return (key ^ (bits >> 32)) * 1099511628211ull;
}

// The same key of a long run of samples: equal runs give equal keys however they are split
// among calls. Every fourth value goes to one of four folds, so that a fold need not wait for
// the one before it, the multiplications of which take longer than the rest of a sample's work.
class SampleStateKey {
public:
    void Add(uint64_t bits) {
        uint64_t& lane = lanes_[size_t(count_++ & 3)];
        lane = FoldStateKey(lane, bits);
    }
    // Each value's 32 bits, in order.
    void Add(const uint32_t* values, size_t count);
    uint64_t Value() const;

private:
    static constexpr uint64_t Basis = 14695981039346656037ull;
    std::array<uint64_t, 4> lanes_{Basis, Basis, Basis, Basis};
    uint64_t count_ = 0;
};

// A wide format's grid on the one scale, with the arithmetic of SampleFormats: an integer s
// counts s x 32767 / (L x 2^pad), a float x counts x x 32767 (NaN as silence, an infinity as
// full scale, held to +120 dBFS). A value on the scale is stored as the nearest integer,
// halves to even, or as the nearest float held to -1.0 ... 1.0.
class WideGrid {
public:
    explicit WideGrid(const SampleFormat& format);

    uint64_t Read(const unsigned char* bytes) const;
    void Write(uint64_t bits, unsigned char* bytes) const;
    double ToScale(uint64_t bits) const;
    uint64_t FromScale(double value) const;
    // The magnitude a sample's square and peak are measured from, in the format's own unit
    // (the integer, the most negative counted as full scale; the float as it counts).
    double Measured(uint64_t bits) const;
    // The scale value of a measured magnitude; the loudness of an exact sum of squares of them.
    double Level(double magnitude) const { return magnitude * 32767.0 / divisor_; }
    double Loudness(double sumOfSquares, int64_t samples) const;
    // Stored bits through each step in turn, each stored on the grid.
    uint64_t Through(const std::vector<TransformStep>& steps, uint64_t bits) const;
    int Bytes() const { return bytes_; }

    // The same over many values at once: count stored values through one step, in place;
    // count samples in the format's bytes through every step, in place, measuring what they
    // become; the measure of count samples, or of distinct values with their counts.
    void Apply(const TransformStep& step, uint64_t* bits, size_t count) const;
    // With stateKey, each value written is added to it, in order.
    void MapSamples(const std::vector<TransformStep>& steps, unsigned char* bytes, size_t count,
                    WideMeasure& measure, SampleStateKey* stateKey = nullptr) const;
    // The same, each sample looked up in map first.
    void MapSamples(const WideMap& map, const std::vector<TransformStep>& steps,
                    unsigned char* bytes, size_t count, WideMeasure& measure) const;
    // The same without measuring what they become, for a write whose kept values give it.
    void MapSamplesOnly(const WideMap& map, const std::vector<TransformStep>& steps,
                        unsigned char* bytes, size_t count) const;
    void MeasureSamples(const unsigned char* bytes, size_t count, WideMeasure& measure) const;
    // Reads count samples' stored bits into bits and measures them, in one walk.
    void ReadMeasured(const unsigned char* bytes, size_t count, uint64_t* bits,
                      WideMeasure& measure) const;
    void MeasureValues(const uint64_t* bits, const WideValue* counts, size_t count,
                       WideMeasure& measure) const;

private:
    // Runs body with the arithmetic of the grid's format (see WideValues.cpp).
    template <typename Body>
    auto WithKind(Body body) const;
    // MapSamples of 32-bit integers: a piece at a time, each step over the whole piece, four
    // samples at a time where the processor can, and the squares summed as integers.
    void MapIntegers(const std::vector<TransformStep>& steps, unsigned char* bytes, size_t count,
                     WideMeasure& measure, SampleStateKey* stateKey) const;
    // The same for 32-bit floats, their measure taken as the samples' own.
    void MapFloats(const std::vector<TransformStep>& steps, unsigned char* bytes, size_t count,
                   WideMeasure& measure, SampleStateKey* stateKey) const;
    template <bool Measures>
    void MapThrough(const WideMap& map, const std::vector<TransformStep>& steps,
                    unsigned char* bytes, size_t count, WideMeasure* measure) const;

    bool float_;
    int bytes_;
    int padding_ = 0;
    double largest_ = 1.0;  // L for integers
    double divisor_ = 1.0;  // L x 2^pad for integers, 1 for floats
    double fullKey_ = 0.0;
};

// A wide file's measure: the peak magnitude and the exact sum of squares (see WideGrid).
struct WideMeasure {
    double Peak = 0.0;
    SquareSum Squares;
    void Add(const WideGrid& grid, const unsigned char* bytes, size_t count);
    void Add(double magnitude) {
        Peak = magnitude > Peak ? magnitude : Peak;
        Squares.Add(magnitude);
    }
    void Add(double magnitude, uint64_t count) {
        Peak = magnitude > Peak ? magnitude : Peak;
        Squares.Add(magnitude, count);
    }
    // As the totals of a pass keep it: bit patterns, compared for equality.
    int64_t PeakKey() const;
    unsigned __int128 SumKey() const;
};
double WidePeakOfKey(int64_t key);
double WideSumOfKey(unsigned __int128 key);

// What each distinct value of a plan becomes, looked up by its stored bits, so that a write
// need not take each sample through every step: an open-addressed table at most half full.
class WideMap {
public:
    // Maps values[i] to mapped[i]; none when there are more values than atMost.
    void Build(const std::vector<WideValue>& values, const std::vector<uint64_t>& mapped,
               size_t atMost);
    void Clear();
    bool Empty() const { return keys_.empty(); }
    // What bits becomes; false when it is not in the table.
    bool Find(uint64_t bits, uint64_t& mapped) const {
        for (size_t at = Slot(bits);; at = (at + 1) & mask_) {
            if (keys_[at] == bits && bits != Vacant) {
                mapped = mapped_[at];
                return true;
            }
            if (keys_[at] == Vacant) {
                return false;
            }
        }
    }

private:
    // Marks a vacant slot; a value with these bits (a NaN of a 64-bit float) is never stored,
    // and is taken through the steps instead.
    static constexpr uint64_t Vacant = ~uint64_t{0};
    size_t Slot(uint64_t bits) const {
        return size_t((bits * 0x9E3779B97F4A7C15ull) >> shift_) & mask_;
    }
    std::vector<uint64_t> keys_;
    std::vector<uint64_t> mapped_;
    size_t mask_ = 0;
    int shift_ = 0;
};

// Reads a file's samples again, block by block: a plan whose file holds more distinct values
// than may be kept follows its passes over the samples themselves.
class SampleSweep {
public:
    virtual ~SampleSweep() = default;
    // Gives every block of samples to take; false when the read failed or was stopped.
    virtual bool Run(const std::function<void(const unsigned char*, size_t)>& take) const = 0;
    // The bytes a plan may hold of the samples as its passes leave them, so that a pass need
    // not read them all again.
    size_t MayHold = 0;
};

// Counts a wide file's distinct values by sorting them a piece at a time and merging the
// pieces, as long as they are at most budget values; past it, it counts no more.
class WideCounter {
public:
    void Start(const SampleFormat& format, size_t budget);
    void Add(const unsigned char* bytes, size_t count);
    // The same, measuring the samples into measure as they are counted (and past the budget).
    void Add(const unsigned char* bytes, size_t count, WideMeasure& measure);
    // The distinct values, ascending; false when there were more than the budget.
    bool Take(std::vector<WideValue>& values);

private:
    // A distinct value and its count, in room that is written only as it is used.
    struct Counted {
        uint64_t Bits;
        uint64_t Count;
    };
    void Flush();
    WideGrid grid_{SampleFormat{SampleCoding::Float, 4, 32}};
    size_t budget_ = 0;
    bool over_ = false;
    // The values read since the last flush, the sort's second buffer and their distinct
    // values, each a piece long; the distinct values so far, ascending.
    LargeBuffer<uint64_t> pending_;
    LargeBuffer<uint64_t> scratch_;
    LargeBuffer<Counted> run_;
    LargeBuffer<Counted> counted_;
    size_t pendingCount_ = 0;
    size_t countedCount_ = 0;
};

}  // namespace tralux
