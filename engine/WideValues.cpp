#include "WideValues.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <utility>

#include "GridValues.h"

namespace tralux {
namespace {

// Values sorted at once before they are merged into those counted so far.
constexpr size_t PieceValues = size_t{1} << 20;

uint64_t Low(unsigned __int128 value) {
    return static_cast<uint64_t>(value);
}
uint64_t High(unsigned __int128 value) {
    return static_cast<uint64_t>(value >> 64);
}

// Sorts count values by their stored bits, a byte at a time from the lowest (a radix sort):
// only the bytes the container has are sorted on, and the counts of every byte are taken in
// one read. Returns where the values stand sorted: values or scratch, which holds as many.
uint64_t* SortBits(uint64_t* values, uint64_t* scratch, size_t count, int bytes) {
    std::vector<std::array<size_t, 256>> starts(size_t(bytes), std::array<size_t, 256>{});
    for (size_t i = 0; i < count; ++i) {
        for (int pass = 0; pass < bytes; ++pass) {
            ++starts[size_t(pass)][(values[i] >> (8 * pass)) & 0xFF];
        }
    }
    for (int pass = 0; pass < bytes; ++pass) {
        std::array<size_t, 256>& start = starts[size_t(pass)];
        // A byte that every value shares moves nothing.
        if (std::find(start.begin(), start.end(), count) != start.end()) {
            continue;
        }
        size_t at = 0;
        for (size_t& n : start) {
            at += std::exchange(n, at);
        }
        const int shift = 8 * pass;
        for (size_t i = 0; i < count; ++i) {
            scratch[start[(values[i] >> shift) & 0xFF]++] = values[i];
        }
        std::swap(values, scratch);
    }
    return values;
}

}  // namespace

bool WideFormat(const SampleFormat& format) {
    if (format.Coding == SampleCoding::Float) {
        return format.ContainerBytes == 4 || format.ContainerBytes == 8;
    }
    return format.ContainerBytes == 4 && format.ValidBits >= 2 && format.ValidBits <= 32;
}

void ExactSquares::Add(double value, uint64_t count) {
    value = std::fabs(value);
    if (!(value > 0.0) || count == 0 || std::isinf(value)) {
        return;
    }
    int exponent = 0;
    const double fraction = std::frexp(value, &exponent);
    // value = mantissa x 2^(exponent - 53), the mantissa a whole number below 2^53.
    const auto mantissa = static_cast<uint64_t>(std::ldexp(fraction, 53));
    const unsigned __int128 square = static_cast<unsigned __int128>(mantissa) * mantissa;
    const unsigned __int128 low = static_cast<unsigned __int128>(Low(square)) * count;
    const unsigned __int128 high = static_cast<unsigned __int128>(High(square)) * count;
    // square x count = high x 2^64 + low, in three words.
    const unsigned __int128 middle = static_cast<unsigned __int128>(High(low)) + Low(high);
    const unsigned __int128 bottom = (middle << 64) | Low(low);
    AddAt(2 * (exponent - 53) + Offset, bottom, High(high) + High(middle));
}

void ExactSquares::AddAt(int bit, unsigned __int128 low, uint64_t high) {
    std::array<uint64_t, 4> words = {Low(low), High(low), high, 0};
    const int shift = bit % 64;
    if (shift != 0) {
        for (int i = 3; i > 0; --i) {
            words[size_t(i)] = words[size_t(i)] << shift | words[size_t(i) - 1] >> (64 - shift);
        }
        words[0] <<= shift;
    }
    uint64_t carry = 0;
    size_t at = size_t(bit / 64);
    for (size_t i = 0; i < words.size() || carry != 0; ++i, ++at) {
        if (at >= limbs_.size()) {
            return;  // beyond any sum of squares a file can have
        }
        const unsigned __int128 sum =
            static_cast<unsigned __int128>(limbs_[at]) + (i < words.size() ? words[i] : 0) + carry;
        limbs_[at] = Low(sum);
        carry = High(sum);
    }
}

void ExactSquares::Add(const ExactSquares& other) {
    uint64_t carry = 0;
    for (size_t i = 0; i < limbs_.size(); ++i) {
        const unsigned __int128 sum =
            static_cast<unsigned __int128>(limbs_[i]) + other.limbs_[i] + carry;
        limbs_[i] = Low(sum);
        carry = High(sum);
    }
}

double ExactSquares::Value() const {
    int top = Limbs - 1;
    while (top >= 0 && limbs_[size_t(top)] == 0) {
        --top;
    }
    if (top < 0) {
        return 0.0;
    }
    const int highest = 64 * top + 63 - std::countl_zero(limbs_[size_t(top)]);
    // The 128 bits from the highest down, with any bit below them kept as the lowest one: the
    // conversion of 128 bits to a double rounds to nearest, so this rounds the whole sum once.
    // (A sum below 2^-1022, of samples all below -3000 dB, may be rounded twice.)
    const int start = std::max(0, highest - 127);
    const size_t limb = size_t(start / 64);
    const int shift = start % 64;
    auto word = [&](size_t i) { return i < limbs_.size() ? limbs_[i] : uint64_t{0}; };
    unsigned __int128 window = static_cast<unsigned __int128>(word(limb + 1)) << 64 | word(limb);
    if (shift != 0) {
        window = window >> shift | static_cast<unsigned __int128>(word(limb + 2)) << (128 - shift);
    }
    bool sticky = shift != 0 && (word(limb) & ((uint64_t{1} << shift) - 1)) != 0;
    for (size_t i = 0; i < limb && !sticky; ++i) {
        sticky = limbs_[i] != 0;
    }
    if (sticky) {
        window |= 1;
    }
    return std::ldexp(static_cast<double>(window), start - Offset);
}

void SquareSum::Add(double value, uint64_t count) {
    if (count < (uint64_t{1} << 20)) {
        const uint64_t bits = std::bit_cast<uint64_t>(value) & ~(uint64_t{1} << 63);
        const auto exponent = size_t(bits >> 52);
        const uint64_t mantissa =
            exponent == 0 ? bits : (bits & ((uint64_t{1} << 52) - 1)) | uint64_t{1} << 52;
        // Below 2^106 x 2^20: within 128 bits.
        const unsigned __int128 square =
            static_cast<unsigned __int128>(mantissa) * mantissa * count;
        const size_t bin = exponent == 0 ? 1 : exponent;
        low_[bin] += square;
        wraps_[bin] += low_[bin] < square ? 1 : 0;
        return;
    }
    large_.Add(value, count);
}

ExactSquares SquareSum::Total() const {
    ExactSquares total = large_;
    for (size_t bin = 1; bin < low_.size(); ++bin) {
        if (low_[bin] != 0 || wraps_[bin] != 0) {
            // The mantissa counts 2^(bin - 1075); its square twice that.
            total.AddScaled(2 * (int(bin) - 1075), low_[bin], wraps_[bin]);
        }
    }
    return total;
}

namespace {

// The arithmetic of each wide format, inline, so that the loops over many values below are
// compiled once for each format.
struct IntegerKind {
    double Largest, Divisor, Full;
    int Padding;

    static uint64_t Read(const unsigned char* bytes) {
        uint32_t raw;
        std::memcpy(&raw, bytes, 4);
        return raw;
    }
    static void Write(uint64_t bits, unsigned char* bytes) {
        const auto raw = static_cast<uint32_t>(bits);
        std::memcpy(bytes, &raw, 4);
    }
    double ToScale(uint64_t bits) const {
        return static_cast<double>(static_cast<int32_t>(bits)) * 32767.0 / Divisor;
    }
    uint64_t FromScale(double value) const {
        const double grid = RoundHalfEven(value * (Largest / 32767.0));
        const double held = std::isnan(grid) ? 0.0 : std::clamp(grid, -Largest - 1.0, Largest);
        const auto sample = static_cast<int64_t>(held) * (int64_t{1} << Padding);
        return static_cast<uint32_t>(static_cast<int32_t>(sample));
    }
    double Measured(uint64_t bits) const {
        return std::min(std::fabs(static_cast<double>(static_cast<int32_t>(bits))), Full);
    }
};

template <typename Float, typename Raw>
struct FloatKind {
    static uint64_t Read(const unsigned char* bytes) {
        Raw raw;
        std::memcpy(&raw, bytes, sizeof raw);
        return raw;
    }
    static void Write(uint64_t bits, unsigned char* bytes) {
        const auto raw = static_cast<Raw>(bits);
        std::memcpy(bytes, &raw, sizeof raw);
    }
    static double Value(uint64_t bits) {
        return static_cast<double>(std::bit_cast<Float>(static_cast<Raw>(bits)));
    }
    double ToScale(uint64_t bits) const { return FloatToScale(Value(bits)); }
    uint64_t FromScale(double value) const {
        return std::bit_cast<Raw>(FloatFromScale<Float>(value));
    }
    double Measured(uint64_t bits) const {
        const double x = Value(bits);
        if (std::isnan(x)) {
            return 0.0;
        }
        return std::isinf(x) ? 1.0 : std::min(std::fabs(x), FloatHeld);
    }
};
using Float32Kind = FloatKind<float, uint32_t>;
using Float64Kind = FloatKind<double, uint64_t>;

}  // namespace

WideGrid::WideGrid(const SampleFormat& format)
    : float_(format.Coding == SampleCoding::Float), bytes_(format.ContainerBytes) {
    if (!float_) {
        padding_ = format.ContainerBytes * 8 - format.ValidBits;
        largest_ = static_cast<double>((int64_t{1} << (format.ValidBits - 1)) - 1);
        divisor_ = largest_ * static_cast<double>(int64_t{1} << padding_);
        fullKey_ = divisor_;
    }
}

template <typename Body>
auto WideGrid::WithKind(Body body) const {
    if (!float_) {
        return body(IntegerKind{largest_, divisor_, fullKey_, padding_});
    }
    return bytes_ == 4 ? body(Float32Kind{}) : body(Float64Kind{});
}

uint64_t WideGrid::Read(const unsigned char* bytes) const {
    return WithKind([&](const auto& kind) { return kind.Read(bytes); });
}

void WideGrid::Write(uint64_t bits, unsigned char* bytes) const {
    WithKind([&](const auto& kind) { kind.Write(bits, bytes); });
}

double WideGrid::ToScale(uint64_t bits) const {
    return WithKind([&](const auto& kind) { return kind.ToScale(bits); });
}

uint64_t WideGrid::FromScale(double value) const {
    return WithKind([&](const auto& kind) { return kind.FromScale(value); });
}

double WideGrid::Measured(uint64_t bits) const {
    return WithKind([&](const auto& kind) { return kind.Measured(bits); });
}

double WideGrid::Loudness(double sumOfSquares, int64_t samples) const {
    if (samples <= 0) {
        return 0.0;
    }
    return std::sqrt(sumOfSquares / static_cast<double>(samples)) * (32767.0 / divisor_);
}

uint64_t WideGrid::Through(const std::vector<TransformStep>& steps, uint64_t bits) const {
    return WithKind([&](const auto& kind) {
        for (const TransformStep& step : steps) {
            bits = kind.FromScale(TransformScaleValue(step, kind.ToScale(bits)));
        }
        return bits;
    });
}

void WideGrid::Apply(const TransformStep& step, uint64_t* bits, size_t count) const {
    WithKind([&](const auto& kind) {
        WithTransformKind(step, [&](auto transform) {
            constexpr BlockTransform Kind = decltype(transform)::value;
            for (size_t i = 0; i < count; ++i) {
                bits[i] = kind.FromScale(TransformScaleValueAs<Kind>(step, kind.ToScale(bits[i])));
            }
        });
    });
}

void SampleStateKey::Add(const uint32_t* values, size_t count) {
    size_t i = 0;
    for (; i < count && (count_ & 3) != 0; ++i) {
        Add(values[i]);
    }
    uint64_t a = lanes_[0], b = lanes_[1], c = lanes_[2], d = lanes_[3];
    for (; i + 4 <= count; i += 4) {
        a = FoldStateKey(a, values[i]);
        b = FoldStateKey(b, values[i + 1]);
        c = FoldStateKey(c, values[i + 2]);
        d = FoldStateKey(d, values[i + 3]);
        count_ += 4;
    }
    lanes_ = {a, b, c, d};
    for (; i < count; ++i) {
        Add(values[i]);
    }
}

uint64_t SampleStateKey::Value() const {
    uint64_t key = FoldStateKey(Basis, count_);
    for (const uint64_t lane : lanes_) {
        key = FoldStateKey(key, lane);
    }
    return key;
}

void WideGrid::MapIntegers(const std::vector<TransformStep>& steps, unsigned char* bytes,
                           size_t count, WideMeasure& measure, SampleStateKey* stateKey) const {
    const SampleGrid grid(SampleFormat{SampleCoding::Integer, 4, 32 - padding_});
    // Magnitudes are integers up to 2^31, the most negative held to full scale as Measured
    // holds it: four squares add up within 64 bits, every sum within 128.
    const auto full = static_cast<uint64_t>(fullKey_);
    constexpr size_t Piece = 1024;
    std::array<int32_t, Piece> values;
    uint64_t peak = 0;
    unsigned __int128 squares = 0;
    for (size_t at = 0; at < count; at += Piece) {
        const size_t n = std::min(Piece, count - at);
        unsigned char* piece = bytes + at * 4;
        std::memcpy(values.data(), piece, n * 4);
        for (const TransformStep& step : steps) {
            StepKeys(grid, step, values.data(), n);
        }
        std::memcpy(piece, values.data(), n * 4);
        size_t i = 0;
        const auto magnitude = [&](size_t k) {
            const auto m = static_cast<uint64_t>(std::abs(static_cast<int64_t>(values[k])));
            return m < full ? m : full;
        };
        for (; i + 4 <= n; i += 4) {
            uint64_t sum = 0;
            for (size_t k = i; k < i + 4; ++k) {
                const uint64_t m = magnitude(k);
                peak = m > peak ? m : peak;
                sum += m * m;
            }
            squares += sum;
        }
        for (; i < n; ++i) {
            const uint64_t m = magnitude(i);
            peak = m > peak ? m : peak;
            squares += m * m;
        }
        if (stateKey != nullptr) {
            // Signed and unsigned integers of a width may be read as each other.
            stateKey->Add(reinterpret_cast<const uint32_t*>(values.data()), n);
        }
    }
    measure.Peak = std::max(measure.Peak, static_cast<double>(peak));
    measure.Squares.AddScaledSquares(0, squares);
}

void WideGrid::MapFloats(const std::vector<TransformStep>& steps, unsigned char* bytes,
                         size_t count, WideMeasure& measure, SampleStateKey* stateKey) const {
    constexpr size_t Piece = 1024;
    std::array<uint32_t, Piece> values;
    const Float32Kind kind;
    // A float's magnitude is m x 2^(E - 150), m of 24 bits, E its exponent field (1 for the
    // subnormals): the squared m of each E are summed as integers, within 64 bits for 16
    // pieces (in four sets, so that neighbouring samples of one E do not wait on each other)
    // and 128 bits for the call, and go into the measure once.
    std::array<std::array<uint64_t, 256>, 4> pieceSquares;
    std::array<unsigned __int128, 256> squares{};
    const uint32_t heldBits = std::bit_cast<uint32_t>(static_cast<float>(FloatHeld));
    uint32_t peakBits = 0;
    for (size_t at = 0; at < count; at += Piece) {
        const size_t n = std::min(Piece, count - at);
        unsigned char* piece = bytes + at * 4;
        std::memcpy(values.data(), piece, n * 4);
        for (const TransformStep& step : steps) {
            StepFloats(step, values.data(), n);
        }
        std::memcpy(piece, values.data(), n * 4);
        const bool first = at % (16 * Piece) == 0;
        const bool last = at + n == count || (at + n) % (16 * Piece) == 0;
        if (first) {
            for (auto& set : pieceSquares) {
                set.fill(0);
            }
        }
        for (size_t i = 0; i < n; ++i) {
            const uint32_t magnitude = values[i] & 0x7FFFFFFFu;
            if (magnitude > heldBits) {
                measure.Add(kind.Measured(values[i]));  // beyond +120 dBFS, infinite or NaN
                continue;
            }
            peakBits = magnitude > peakBits ? magnitude : peakBits;
            const uint32_t exponent = magnitude >> 23;
            const uint64_t m = exponent == 0 ? magnitude : (magnitude & 0x7FFFFFu) | 0x800000u;
            pieceSquares[i & 3][exponent] += m * m;
        }
        if (last) {
            for (size_t e = 0; e < 256; ++e) {
                squares[e] += pieceSquares[0][e] + pieceSquares[1][e];
                squares[e] += pieceSquares[2][e] + pieceSquares[3][e];
            }
        }
        if (stateKey != nullptr) {
            stateKey->Add(values.data(), n);
        }
    }
    measure.Peak = std::max(measure.Peak, static_cast<double>(std::bit_cast<float>(peakBits)));
    for (int e = 0; e < 256; ++e) {
        if (squares[size_t(e)] != 0) {
            measure.Squares.AddScaledSquares(2 * (std::max(e, 1) - 150), squares[size_t(e)]);
        }
    }
}

void WideGrid::MapSamples(const std::vector<TransformStep>& steps, unsigned char* bytes,
                          size_t count, WideMeasure& measure, SampleStateKey* stateKey) const {
    const bool transformsOnly = std::all_of(steps.begin(), steps.end(), [](const auto& step) {
        return step.Transform == BlockTransform::Gain ||
               step.Transform == BlockTransform::Compress ||
               step.Transform == BlockTransform::Reduce;
    });
    if (!float_ && transformsOnly) {
        MapIntegers(steps, bytes, count, measure, stateKey);
        return;
    }
    if (bytes_ == 4 && transformsOnly) {
        MapFloats(steps, bytes, count, measure, stateKey);
        return;
    }
    WithKind([&](const auto& kind) {
        const size_t width = size_t(bytes_);
        const auto walk = [&](const auto& through) {
            for (size_t i = 0; i < count; ++i, bytes += width) {
                const uint64_t bits = through(kind.Read(bytes));
                kind.Write(bits, bytes);
                measure.Add(kind.Measured(bits));
                if (stateKey != nullptr) {
                    stateKey->Add(bits);
                }
            }
        };
        if (steps.size() == 1) {
            // One step, as a plan that holds its samples takes them: compiled for its kind.
            const TransformStep& step = steps.front();
            WithTransformKind(step, [&](auto transform) {
                constexpr BlockTransform Kind = decltype(transform)::value;
                walk([&](uint64_t bits) {
                    return kind.FromScale(TransformScaleValueAs<Kind>(step, kind.ToScale(bits)));
                });
            });
        } else {
            walk([&](uint64_t bits) {
                for (const TransformStep& step : steps) {
                    bits = kind.FromScale(TransformScaleValue(step, kind.ToScale(bits)));
                }
                return bits;
            });
        }
    });
}

void WideGrid::MapSamples(const WideMap& map, const std::vector<TransformStep>& steps,
                          unsigned char* bytes, size_t count, WideMeasure& measure) const {
    MapThrough<true>(map, steps, bytes, count, &measure);
}

void WideGrid::MapSamplesOnly(const WideMap& map, const std::vector<TransformStep>& steps,
                              unsigned char* bytes, size_t count) const {
    MapThrough<false>(map, steps, bytes, count, nullptr);
}

template <bool Measures>
void WideGrid::MapThrough(const WideMap& map, const std::vector<TransformStep>& steps,
                          unsigned char* bytes, size_t count, WideMeasure* measure) const {
    WithKind([&](const auto& kind) {
        const size_t width = size_t(bytes_);
        const bool looksUp = !map.Empty();
        for (size_t i = 0; i < count; ++i, bytes += width) {
            uint64_t bits = kind.Read(bytes);
            if (!(looksUp && map.Find(bits, bits))) {
                for (const TransformStep& step : steps) {
                    bits = kind.FromScale(TransformScaleValue(step, kind.ToScale(bits)));
                }
            }
            kind.Write(bits, bytes);
            if constexpr (Measures) {
                measure->Add(kind.Measured(bits));
            }
        }
    });
}

void WideGrid::ReadMeasured(const unsigned char* bytes, size_t count, uint64_t* bits,
                            WideMeasure& measure) const {
    WithKind([&](const auto& kind) {
        const size_t width = size_t(bytes_);
        for (size_t i = 0; i < count; ++i, bytes += width) {
            bits[i] = kind.Read(bytes);
            measure.Add(kind.Measured(bits[i]));
        }
    });
}

void WideMap::Build(const std::vector<WideValue>& values, const std::vector<uint64_t>& mapped,
                    size_t atMost) {
    Clear();
    if (values.empty() || values.size() > atMost || mapped.size() != values.size()) {
        return;
    }
    int bits = 1;
    while ((size_t{1} << bits) < 2 * values.size()) {
        ++bits;
    }
    mask_ = (size_t{1} << bits) - 1;
    shift_ = 64 - bits;
    keys_.assign(mask_ + 1, Vacant);
    mapped_.assign(mask_ + 1, 0);
    for (size_t i = 0; i < values.size(); ++i) {
        if (values[i].Bits == Vacant) {
            continue;
        }
        size_t at = Slot(values[i].Bits);
        while (keys_[at] != Vacant) {
            at = (at + 1) & mask_;
        }
        keys_[at] = values[i].Bits;
        mapped_[at] = mapped[i];
    }
}

void WideMap::Clear() {
    // Assigning {} would keep the memory: these let it go.
    std::vector<uint64_t>().swap(keys_);
    std::vector<uint64_t>().swap(mapped_);
    mask_ = 0;
}

void WideGrid::MeasureSamples(const unsigned char* bytes, size_t count,
                              WideMeasure& measure) const {
    WithKind([&](const auto& kind) {
        const size_t width = size_t(bytes_);
        for (size_t i = 0; i < count; ++i, bytes += width) {
            measure.Add(kind.Measured(kind.Read(bytes)));
        }
    });
}

void WideGrid::MeasureValues(const uint64_t* bits, const WideValue* counts, size_t count,
                             WideMeasure& measure) const {
    WithKind([&](const auto& kind) {
        for (size_t i = 0; i < count; ++i) {
            measure.Add(kind.Measured(bits[i]), counts[i].Count);
        }
    });
}

void WideMeasure::Add(const WideGrid& grid, const unsigned char* bytes, size_t count) {
    grid.MeasureSamples(bytes, count, *this);
}

int64_t WideMeasure::PeakKey() const {
    return std::bit_cast<int64_t>(Peak);
}

unsigned __int128 WideMeasure::SumKey() const {
    return std::bit_cast<uint64_t>(Squares.Total().Value());
}

double WidePeakOfKey(int64_t key) {
    return std::bit_cast<double>(key);
}

double WideSumOfKey(unsigned __int128 key) {
    return std::bit_cast<double>(static_cast<uint64_t>(key));
}

void WideCounter::Start(const SampleFormat& format, size_t budget) {
    grid_ = WideGrid(format);
    budget_ = budget;
    over_ = false;
    // Room for every value the budget allows and one more piece, asked for once and not
    // filled: a vector that grew by doubling past the budget would take twice the memory, and
    // room filled with zeros first would be written twice (untouched room takes none).
    pending_ = MakeLargeBuffer<uint64_t>(PieceValues);
    scratch_ = MakeLargeBuffer<uint64_t>(PieceValues);
    run_ = MakeLargeBuffer<Counted>(PieceValues);
    counted_ = MakeLargeBuffer<Counted>(budget + PieceValues);
    pendingCount_ = 0;
    countedCount_ = 0;
}

void WideCounter::Add(const unsigned char* bytes, size_t count) {
    const int step = grid_.Bytes();
    for (size_t i = 0; i < count && !over_; ++i, bytes += step) {
        pending_[pendingCount_++] = grid_.Read(bytes);
        if (pendingCount_ == PieceValues) {
            Flush();
        }
    }
}

void WideCounter::Add(const unsigned char* bytes, size_t count, WideMeasure& measure) {
    const auto step = size_t(grid_.Bytes());
    while (count > 0 && !over_) {
        const size_t taken = std::min(count, PieceValues - pendingCount_);
        grid_.ReadMeasured(bytes, taken, pending_.get() + pendingCount_, measure);
        pendingCount_ += taken;
        bytes += taken * step;
        count -= taken;
        if (pendingCount_ == PieceValues) {
            Flush();
        }
    }
    // Past the budget the samples are measured only.
    grid_.MeasureSamples(bytes, count, measure);
}

void WideCounter::Flush() {
    const size_t pending = std::exchange(pendingCount_, 0);
    if (over_ || pending == 0) {
        return;
    }
    const uint64_t* sorted = SortBits(pending_.get(), scratch_.get(), pending, grid_.Bytes());
    size_t runCount = 0;
    for (size_t i = 0; i < pending;) {
        size_t end = i + 1;
        while (end < pending && sorted[end] == sorted[i]) {
            ++end;
        }
        run_[runCount++] = {sorted[i], end - i};
        i = end;
    }
    // Merged from the top down into the room above the values counted so far, so that no
    // buffer is needed; two equal values become one, which leaves a gap of one below the
    // merged part for each, closed at the end.
    Counted* counted = counted_.get();
    size_t from = countedCount_, runFrom = runCount, to = countedCount_ + runCount;
    const size_t end = to;
    while (runFrom > 0) {
        const Counted& next = run_[runFrom - 1];
        if (from > 0 && counted[from - 1].Bits > next.Bits) {
            counted[--to] = counted[--from];
        } else if (from > 0 && counted[from - 1].Bits == next.Bits) {
            counted[--to] = {next.Bits, counted[--from].Count + next.Count};
            --runFrom;
        } else {
            counted[--to] = next;
            --runFrom;
        }
    }
    if (to > from) {
        std::memmove(counted + from, counted + to, (end - to) * sizeof(Counted));
    }
    countedCount_ = end - (to - from);
    if (countedCount_ > budget_) {
        over_ = true;
        counted_.reset();
        countedCount_ = 0;
    }
}

bool WideCounter::Take(std::vector<WideValue>& values) {
    Flush();
    values.clear();
    if (!over_) {
        values.reserve(countedCount_);
        for (size_t i = 0; i < countedCount_; ++i) {
            values.push_back({counted_[i].Bits, counted_[i].Count});
        }
    }
    pending_.reset();
    scratch_.reset();
    run_.reset();
    counted_.reset();
    countedCount_ = 0;
    return !over_;
}

}  // namespace tralux
