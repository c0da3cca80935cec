#include "GridValues.h"

#include <malloc.h>
#include <sys/mman.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <new>
#include <type_traits>

#ifdef __SSE2__
#include <emmintrin.h>
#endif

namespace tralux {
namespace {

// Samples between a look-up in a dense table and the fetch of its entry.
constexpr size_t LookAhead = 24;
constexpr size_t CountLookAhead = 64;
// Keys taken through a step at once before they are measured.
constexpr size_t KeysAtOnce = 4096;

// A stored sample of a container of Bytes bytes as its key, as SampleGrid::Read gives it; the
// per-sample loops below are made for each width so that this inlines.
template <int Bytes>
inline int64_t KeyAt(const unsigned char* bytes) {
    if constexpr (Bytes == 1) {
        return int64_t{bytes[0]} - 128;
    } else if constexpr (Bytes == 2) {
        return int16_t(uint16_t(bytes[0] | bytes[1] << 8));
    } else {
        return int32_t(uint32_t{bytes[0]} << 8 | uint32_t{bytes[1]} << 16 |
                       uint32_t{bytes[2]} << 24) >>
               8;
    }
}

template <int Bytes>
inline void PutKey(int64_t key, unsigned char* bytes) {
    if constexpr (Bytes == 1) {
        bytes[0] = static_cast<unsigned char>(key + 128);
    } else {
        const auto bits = static_cast<uint64_t>(key);
        for (int i = 0; i < Bytes; ++i) {
            bytes[i] = static_cast<unsigned char>(bits >> (8 * i));
        }
    }
}

// Calls body with the container width as a constant.
template <typename Body>
inline void ForWidth(int bytes, Body&& body) {
    switch (bytes) {
        case 1:
            body(std::integral_constant<int, 1>{});
            break;
        case 2:
            body(std::integral_constant<int, 2>{});
            break;
        default:
            body(std::integral_constant<int, 3>{});
            break;
    }
}

}  // namespace

void* AllocateHugePages(size_t bytes) {
    constexpr size_t HugePage = size_t{2} << 20;
    if (bytes < HugePage) {
        void* small = std::malloc(bytes == 0 ? 1 : bytes);
        if (small == nullptr) {
            throw std::bad_alloc();
        }
        return small;
    }
    const size_t rounded = (bytes + HugePage - 1) / HugePage * HugePage;
    void* at = std::aligned_alloc(HugePage, rounded);
    if (at == nullptr) {
        throw std::bad_alloc();
    }
#ifdef MADV_HUGEPAGE
    // Only advice: without huge pages the table works as well, if more slowly.
    madvise(at, rounded, MADV_HUGEPAGE);
#endif
    return at;
}

namespace {

// Blocks of a megabyte and more (the counts and tables of a file of another grid) are mapped
// from the system and given back to it when freed. Left to itself the allocator raises that
// threshold to the largest block freed, and then keeps the freed counts of every file a
// worker's thread has held in its arena: a run's memory would grow with its workers.
void GiveLargeBlocksBack() {
#ifdef M_MMAP_THRESHOLD
    static std::once_flag once;
    std::call_once(once, [] { mallopt(M_MMAP_THRESHOLD, 1 << 20); });
#endif
}

}  // namespace

DenseLease::DenseLease() : shared_(std::make_shared<Shared>()) {
    GiveLargeBlocksBack();
}

void DenseLease::Take() {
    if (held_) {
        return;
    }
    std::unique_lock<std::mutex> lock(shared_->Lock);
    auto free = [&] {
        if (!shared_->Held[slot_]) {
            return true;
        }
        for (size_t slot = 0; slot < Tables; ++slot) {
            if (!shared_->Held[slot]) {
                slot_ = slot;
                return true;
            }
        }
        return false;
    };
    shared_->Given.wait(lock, free);
    shared_->Held[slot_] = true;
    held_ = true;
}

void DenseLease::Give() {
    if (!held_) {
        return;
    }
    {
        std::lock_guard<std::mutex> lock(shared_->Lock);
        shared_->Held[slot_] = false;
        held_ = false;
    }
    shared_->Given.notify_one();
}

void DenseLease::Free() {
    std::lock_guard<std::mutex> lock(shared_->Lock);
    for (size_t slot = 0; slot < Tables; ++slot) {
        if (!shared_->Held[slot] || (held_ && slot == slot_)) {
            shared_->Keys[slot] = DenseKeys();
        }
    }
}

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
    return WithTransformKind(
        step, [&](auto kind) { return TransformScaleValueAs<decltype(kind)::value>(step, s); });
}

uint64_t GridCounts::SampleCount() const {
    uint64_t total = 0;
    for (uint8_t count : Counts) {
        total += count;
    }
    for (const CountAbove& above : Above) {
        total += above.High << CountAbove::Shift;
    }
    for (const WideValue& value : Wide) {
        total += value.Count;
    }
    return total;
}

size_t GridCounts::HeldBytes() const {
    return Keys.size() * sizeof(int32_t) + Present.size() * sizeof(uint64_t) +
           Counts.size() * sizeof(uint8_t) + Above.size() * sizeof(CountAbove) +
           Wide.size() * sizeof(WideValue);
}

WideMeasure MeasureMapped(const SampleFormat& format, const GridCounts& counts,
                          const GridTable& table) {
    WideMeasure measure;
    WideGrid(format).MeasureValues(table.WideMapped.data(), counts.Wide.data(),
                                   std::min(counts.Wide.size(), table.WideMapped.size()), measure);
    return measure;
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
    if (counts.Present.empty()) {
        table.Mapped.assign(counts.Keys.begin(), counts.Keys.end());
        return table;
    }
    // Filled as listed, not cleared first: millions of keys.
    table.Mapped.reserve(counts.KeyCount());
    counts.ForEachKey([&](size_t, int32_t key) { table.Mapped.push_back(key); });
    return table;
}

namespace {

// The measure of mapped keys taken a piece at a time, with their counts. No sum or key waits
// on the one before: the squares go into four sums and the state key into four lanes, by the
// key's index, folded together at the end (equal tables still give equal keys, however they
// are cut into pieces of a multiple of four keys).
class KeysMeasure {
public:
    explicit KeysMeasure(const SampleGrid& grid) : grid_(grid) {}

    // count keys of the table (at most KeysAtOnce, from an index that is a multiple of four),
    // counts[i] the low bits of the count of the key that maps to mapped[i].
    void Add(const int32_t* mapped, const uint8_t* counts, size_t count) {
        // Each square is below 2^46, times a count below 2^8: a lane's sum of a quarter of a
        // piece stays within 64 bits.
        static_assert(KeysAtOnce / 4 <= (size_t{1} << 10));
        // Held in locals, four keys a round: lanes in an array would wait on memory.
        uint64_t sum0 = 0, sum1 = 0, sum2 = 0, sum3 = 0;
        uint64_t key0 = stateKeys_[0], key1 = stateKeys_[1], key2 = stateKeys_[2],
                 key3 = stateKeys_[3];
        int64_t peak = peak_;
        const auto lane = [&](size_t i, uint64_t& sum, uint64_t& key) {
            const int64_t value = mapped[i];
            const auto folded = static_cast<uint64_t>(grid_.Folded(value));
            sum += folded * folded * counts[i];
            peak = static_cast<int64_t>(folded) > peak ? static_cast<int64_t>(folded) : peak;
            key = (key ^ static_cast<uint32_t>(value)) * Prime;
        };
        size_t i = 0;
        for (; i + 4 <= count; i += 4) {
            lane(i, sum0, key0);
            lane(i + 1, sum1, key1);
            lane(i + 2, sum2, key2);
            lane(i + 3, sum3, key3);
        }
        // The last keys of the table (only the last piece is not a multiple of four).
        uint64_t* const sums[] = {&sum0, &sum1, &sum2, &sum3};
        uint64_t* const keys[] = {&key0, &key1, &key2, &key3};
        for (; i < count; ++i) {
            lane(i, *sums[i % 4], *keys[i % 4]);
        }
        stateKeys_[0] = key0, stateKeys_[1] = key1, stateKeys_[2] = key2, stateKeys_[3] = key3;
        peak_ = peak;
        sum_ += static_cast<unsigned __int128>(sum0) + sum1 + sum2 + sum3;
    }
    // The part past a byte of the count of a key that maps to mapped.
    void AddAbove(int32_t mapped, uint64_t high) {
        const auto folded = static_cast<uint64_t>(grid_.Folded(mapped));
        sum_ += (static_cast<unsigned __int128>(folded * folded) * high) << CountAbove::Shift;
    }
    GridMeasure Done() const {
        GridMeasure measure;
        measure.Sum = sum_;
        measure.Peak = peak_;
        for (uint64_t lane : stateKeys_) {
            measure.StateKey = (measure.StateKey ^ lane) * Prime;
        }
        return measure;
    }

private:
    static constexpr uint64_t Prime = 1099511628211ull;
    const SampleGrid& grid_;
    unsigned __int128 sum_ = 0;
    int64_t peak_ = 0;
    uint64_t stateKeys_[4] = {14695981039346656037ull, 14695981039346656037ull,
                              14695981039346656037ull, 14695981039346656037ull};
};

// Every mapped key through a step (none for Scan and Map), stored on the grid; with Measures,
// what they become measured as they are made.
template <bool Measures>
GridMeasure MapKeys(const SampleGrid& grid, const TransformStep& step, const uint8_t* counts,
                    std::span<const CountAbove> above, int32_t* mapped, size_t count) {
    KeysMeasure measure(grid);
    // A piece at a time: stepped, then measured while it is still in the cache.
    for (size_t start = 0; start < count; start += KeysAtOnce) {
        const size_t end = std::min(count, start + KeysAtOnce);
        StepKeys(grid, step, mapped + start, end - start);
        if constexpr (Measures) {
            measure.Add(mapped + start, counts + start, end - start);
        }
    }
    if constexpr (Measures) {
        for (const CountAbove& part : above) {
            measure.AddAbove(mapped[part.Index], part.High);
        }
    }
    return measure.Done();
}

// The counted keys through one step, measured, a piece at a time as MapKeys takes them; into
// holds what they become, or none: each key is then mapped as it is measured, into a piece
// that is used again.
GridMeasure MapCountedKeys(const SampleGrid& grid, const TransformStep& step,
                           const GridCounts& counts, int32_t* into) {
    KeysMeasure measure(grid);
    std::vector<int32_t> reused;
    if (into == nullptr) {
        reused.resize(KeysAtOnce);
    }
    size_t first = 0;
    size_t filled = 0;
    int32_t* piece = into == nullptr ? reused.data() : into;
    size_t next = 0;  // the first count past a byte not yet measured
    const auto measurePiece = [&] {
        StepKeys(grid, step, piece, filled);
        measure.Add(piece, counts.Counts.data() + first, filled);
        for (; next < counts.Above.size() && counts.Above[next].Index < first + filled; ++next) {
            measure.AddAbove(piece[counts.Above[next].Index - first], counts.Above[next].High);
        }
        first += filled;
        filled = 0;
        piece = into == nullptr ? reused.data() : into + first;
    };
    counts.ForEachKey([&](size_t, int32_t counted) {
        piece[filled++] = counted;
        if (filled == KeysAtOnce) {
            measurePiece();
        }
    });
    measurePiece();
    return measure.Done();
}

}  // namespace

namespace {

// A table keeps the steps that change its keys, by which a write may map each sample instead.
void KeepStep(const TransformStep& step, GridTable& table) {
    WithTransformKind(step, [&](auto kind) {
        if constexpr (decltype(kind)::value != BlockTransform::Map) {
            table.Steps.push_back(step);
        }
    });
}

}  // namespace

void ApplyStep(const SampleGrid& grid, const TransformStep& step, GridTable& table) {
    MapKeys<false>(grid, step, nullptr, {}, table.Mapped.data(), table.Mapped.size());
    KeepStep(step, table);
}

GridMeasure ApplyStepMeasured(const SampleGrid& grid, const TransformStep& step,
                              const GridCounts& counts, GridTable& table) {
    const GridMeasure measure = MapKeys<true>(grid, step, counts.Counts.data(), counts.Above,
                                              table.Mapped.data(), table.Mapped.size());
    KeepStep(step, table);
    return measure;
}

GridMeasure StartTableMeasured(const SampleGrid& grid, const TransformStep& step,
                               const GridCounts& counts, GridTable& table) {
    table = GridTable();
    table.Mapped.resize(counts.KeyCount());  // not cleared: written as the keys are listed
    const GridMeasure measure = MapCountedKeys(grid, step, counts, table.Mapped.data());
    KeepStep(step, table);
    return measure;
}

GridMeasure MeasureTable(const SampleGrid& grid, const GridCounts& counts, const GridTable& table) {
    // Nothing is written through the pointer without a transform.
    return MapKeys<true>(grid, TransformStep{}, counts.Counts.data(), counts.Above,
                         const_cast<int32_t*>(table.Mapped.data()), table.Mapped.size());
}

GridMeasure MeasureStep(const SampleGrid& grid, const TransformStep& step,
                        const GridCounts& counts) {
    return MapCountedKeys(grid, step, counts, nullptr);
}

GridMeasure MeasureCounts(const SampleGrid& grid, const GridCounts& counts) {
    return MapCountedKeys(grid, TransformStep{}, counts, nullptr);
}

void GridCounter::Start(const SampleFormat& format) {
    format_ = format;
    grid_ = SampleGrid(format);
    auto& entries = dense_->Entries;
    const size_t keys = grid_.KeyCount();
    // Made as large as a map of the same grid needs: grown later, it would be copied.
    if (entries.size() < keys) {
        entries.resize(keys);
    }
    if (dense_->ZeroBytes < keys) {
        std::memset(entries.data(), 0, keys);
    }
    zeroAfterTake_ = std::max(dense_->ZeroBytes, keys);
    dense_->ZeroBytes = 0;  // until a Take clears what the count used
    pages_.clear();
    pages_.resize((keys >> PageBits) + 1);
    wrapped_.clear();
    added_ = 0;
}

void GridCounter::Wrapped(size_t index) {
    auto& page = pages_[index >> PageBits];
    if (!page) {
        page = std::make_unique<uint32_t[]>(size_t{1} << PageBits);  // zeroed
    }
    if (++page[index & ((size_t{1} << PageBits) - 1)] == 0) {
        ++wrapped_[index];
    }
}

uint64_t GridCounter::WrapsOf(size_t index) const {
    const auto& page = pages_[index >> PageBits];
    if (!page) {
        return 0;
    }
    uint64_t wraps = page[index & ((size_t{1} << PageBits) - 1)];
    if (!wrapped_.empty()) {
        const auto more = wrapped_.find(index);
        wraps += more == wrapped_.end() ? 0 : more->second << 32;
    }
    return wraps;
}

namespace {

// The index in a dense table of the key of each of count samples of Bytes bytes.
template <int Bytes>
void DenseIndexes(const unsigned char* bytes, size_t count, uint32_t* indexes) {
    constexpr int64_t Offset = int64_t{1} << (8 * Bytes - 1);  // the grid's KeyOffset()
    for (size_t i = 0; i < count; ++i, bytes += Bytes) {
        indexes[i] = static_cast<uint32_t>(KeyAt<Bytes>(bytes) + Offset);
    }
}

}  // namespace

void GridCounter::Add(const unsigned char* bytes, size_t count) {
    auto* const dense = reinterpret_cast<uint8_t*>(dense_->Entries.data());
    added_ += count;
    // The table is too large for the caches: the entry of a sample a little ahead is fetched
    // while this one is counted. The samples' indexes are worked out a piece at a time first.
    constexpr size_t Piece = 1024;
    uint32_t indexes[Piece + CountLookAhead];
    ForWidth(grid_.Bytes(), [&](auto width) {
        constexpr int Width = decltype(width)::value;
        for (size_t start = 0; start < count; start += Piece) {
            const size_t n = std::min(Piece, count - start);
            const size_t ahead = std::min(Piece + CountLookAhead, count - start);
            DenseIndexes<Width>(bytes + start * Width, ahead, indexes);
            for (size_t i = 0; i < n; ++i) {
                if (i + CountLookAhead < ahead) {
                    __builtin_prefetch(&dense[indexes[i + CountLookAhead]], 1);
                }
                if (++dense[indexes[i]] == 0) {
                    Wrapped(indexes[i]);
                }
            }
        }
    });
}

namespace {

// A bit for each of the 64 bytes at bytes that is not 0.
inline uint64_t NonZeroBytes(const uint8_t* bytes) {
#ifdef __SSE2__
    const __m128i zero = _mm_setzero_si128();
    uint64_t zeros = 0;
    for (int part = 0; part < 4; ++part) {
        const __m128i sixteen = _mm_loadu_si128(reinterpret_cast<const __m128i*>(bytes) + part);
        const auto mask = static_cast<uint16_t>(_mm_movemask_epi8(_mm_cmpeq_epi8(sixteen, zero)));
        zeros |= uint64_t{mask} << (16 * part);
    }
    return ~zeros;
#else
    uint64_t bits = 0;
    for (int i = 0; i < 64; ++i) {
        bits |= uint64_t{bytes[i] != 0} << i;
    }
    return bits;
#endif
}

}  // namespace

GridCounts GridCounter::Take() {
    GridCounts counts;
    counts.Format = format_;
    auto* const dense = reinterpret_cast<uint8_t*>(dense_->Entries.data());
    const size_t keys = grid_.KeyCount();
    // Every grid has a multiple of 64 keys, and a word of them lies in one page.
    static_assert((size_t{1} << PageBits) % 64 == 0);
    // The keys are marked first, and listed after only if they are few: a list of many would
    // be held beside the counts for as long as the file is planned. Room for as many counts as
    // there can be, in one read of the table: the room no key takes is never touched, and
    // takes no memory.
    counts.Present.assign((keys + 63) / 64, 0);
    counts.Counts.reserve(static_cast<size_t>(std::min<uint64_t>(added_, keys)));
    for (size_t word = 0; word < counts.Present.size(); ++word) {
        const size_t at = 64 * word;
        if (pages_[at >> PageBits] != nullptr) {
            // Some count of these keys passed a byte, and may have come back to 0.
            for (size_t i = at; i < at + 64; ++i) {
                const uint64_t wraps = WrapsOf(i);
                if (dense[i] != 0 || wraps != 0) {
                    counts.Present[word] |= uint64_t{1} << (i - at);
                    if (wraps != 0) {
                        counts.Above.push_back({counts.Counts.size(), wraps});
                    }
                    counts.Counts.push_back(dense[i]);
                    dense[i] = 0;
                }
            }
            continue;
        }
        // Most of a large table is empty: 64 entries are tried at once.
        const uint64_t present = NonZeroBytes(dense + at);
        if (present == 0) {
            continue;
        }
        counts.Present[word] = present;
        for (uint64_t bits = present; bits != 0; bits &= bits - 1) {
            counts.Counts.push_back(dense[at + static_cast<size_t>(__builtin_ctzll(bits))]);
        }
        std::memset(dense + at, 0, 64);
    }
    dense_->ZeroBytes = zeroAfterTake_;
    pages_.clear();
    wrapped_.clear();
    added_ = 0;
    if (counts.KeyCount() <= KeysListedUpTo) {
        counts.Keys.reserve(counts.KeyCount());
        counts.ForEachKey([&](size_t, int32_t key) { counts.Keys.push_back(key); });
        counts.Present = {};
    }
    return counts;
}

void GridMap::Build(const GridCounts& counts, const GridTable& table) {
    grid_ = SampleGrid(counts.Format);
    bySteps_ = false;
    const int64_t offset = grid_.KeyOffset();
    auto& dense = dense_->Entries;
    dense_->ZeroBytes = 0;
    dense.resize(grid_.KeyCount());
    for (size_t i = 0; i < dense.size(); ++i) {
        dense[i] = static_cast<uint32_t>(static_cast<int64_t>(i) - offset);
    }
    counts.ForEachKey([&](size_t i, int32_t key) {
        dense[static_cast<size_t>(key + offset)] = static_cast<uint32_t>(table.Mapped[i]);
    });
}

void GridMap::Build(const SampleFormat& format, const TransformStep& step) {
    Build(format, std::span<const TransformStep>(&step, 1));
}

namespace {

// A key through each step in turn, stored on the grid after each.
int64_t ThroughChain(const SampleGrid& grid, int64_t key, std::span<const TransformStep> chain) {
    for (const TransformStep& step : chain) {
        key = grid.FromScale(TransformScaleValue(step, grid.ToScale(key)));
    }
    return key;
}

}  // namespace

void GridMap::Build(const SampleFormat& format, std::span<const TransformStep> chain) {
    grid_ = SampleGrid(format);
    bySteps_ = false;
    const int64_t offset = grid_.KeyOffset();
    auto& dense = dense_->Entries;
    dense_->ZeroBytes = 0;
    dense.resize(grid_.KeyCount());
    for (size_t i = 0; i < dense.size(); ++i) {
        dense[i] =
            static_cast<uint32_t>(ThroughChain(grid_, static_cast<int64_t>(i) - offset, chain));
    }
}

void GridMap::Extend(std::span<const TransformStep> steps) {
    if (steps.empty()) {
        return;
    }
    dense_->ZeroBytes = 0;
    for (uint32_t& entry : dense_->Entries) {
        entry = static_cast<uint32_t>(ThroughChain(grid_, static_cast<int32_t>(entry), steps));
    }
}

void GridMap::MapBlock(unsigned char* bytes, size_t count, unsigned __int128& sum) const {
    // A block's squares (at most 2^46 each) sum within 64 bits.
    uint64_t blockSum = 0;
    Map<true>(bytes, count, blockSum);
    sum += blockSum;
}

void GridMap::MapOnly(unsigned char* bytes, size_t count) const {
    uint64_t unused = 0;
    Map<false>(bytes, count, unused);
}

void GridMap::UseSteps(const SampleFormat& format, std::span<const TransformStep> chain) {
    grid_ = SampleGrid(format);
    steps_.assign(chain.begin(), chain.end());
    bySteps_ = true;
}

template <bool Sum>
void GridMap::MapBySteps(unsigned char* bytes, size_t count, uint64_t& sum) const {
    // A piece at a time through each step in turn, as ThroughChain takes each key.
    int32_t keys[KeysAtOnce];
    ForWidth(grid_.Bytes(), [&](auto width) {
        constexpr int Step = decltype(width)::value;
        for (size_t start = 0; start < count; start += KeysAtOnce) {
            const size_t n = std::min(KeysAtOnce, count - start);
            unsigned char* const at = bytes + start * Step;
            for (size_t i = 0; i < n; ++i) {
                keys[i] = static_cast<int32_t>(KeyAt<Step>(at + i * Step));
            }
            for (const TransformStep& step : steps_) {
                StepKeys(grid_, step, keys, n);
            }
            for (size_t i = 0; i < n; ++i) {
                PutKey<Step>(keys[i], at + i * Step);
                if constexpr (Sum) {
                    const auto folded = static_cast<uint64_t>(grid_.Folded(keys[i]));
                    sum += folded * folded;
                }
            }
        }
    });
}

template <bool Sum>
void GridMap::Map(unsigned char* bytes, size_t count, uint64_t& sum) const {
    if (bySteps_) {
        MapBySteps<Sum>(bytes, count, sum);
        return;
    }
    const int64_t offset = grid_.KeyOffset();
    const uint32_t* const dense = dense_->Entries.data();
    ForWidth(grid_.Bytes(), [&](auto width) {
        constexpr int Step = decltype(width)::value;
        unsigned char* at = bytes;
        for (size_t i = 0; i < count; ++i, at += Step) {
            if (i + LookAhead < count) {
                __builtin_prefetch(
                    &dense[static_cast<size_t>(KeyAt<Step>(at + LookAhead * Step) + offset)]);
            }
            const int64_t key =
                static_cast<int32_t>(dense[static_cast<size_t>(KeyAt<Step>(at) + offset)]);
            PutKey<Step>(key, at);
            if constexpr (Sum) {
                const auto folded = static_cast<uint64_t>(grid_.Folded(key));
                sum += folded * folded;
            }
        }
    });
}

void ScanGridBlock(const SampleGrid& grid, const unsigned char* bytes, size_t count, int64_t& peak,
                   unsigned __int128& sum) {
    uint64_t blockSum = 0;
    int64_t blockPeak = peak;
    ForWidth(grid.Bytes(), [&](auto width) {
        constexpr int Step = decltype(width)::value;
        const unsigned char* at = bytes;
        for (size_t i = 0; i < count; ++i, at += Step) {
            const int64_t folded = grid.Folded(KeyAt<Step>(at));
            blockPeak = folded > blockPeak ? folded : blockPeak;
            blockSum += static_cast<uint64_t>(folded * folded);
        }
    });
    peak = blockPeak;
    sum += blockSum;
}

}  // namespace tralux
