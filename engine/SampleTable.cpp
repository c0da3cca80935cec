#include "SampleTable.h"

#include <sys/mman.h>

#include <cmath>
#include <cstring>
#include <new>

namespace tralux {

TransformStep CompressStep(const CompressFactor& row) {
    TransformStep step{BlockTransform::Compress};
    step.Ratio = row.Ratio;
    step.Threshold = std::nearbyint(std::pow(2.0, (90.0 - row.Threshold) / 6.0));
    step.MakeUpGain = 32767.0 / (step.Threshold + (32767.0 - step.Threshold) / step.Ratio);
    return step;
}

TransformStep ReduceStep(const ReduceFactor& row) {
    TransformStep step{BlockTransform::Reduce};
    step.Gain = std::pow(2.0, row.Decibels / 6.0);
    return step;
}

int64_t ApplyTransform(const TransformSet& set, const TransformStep& step, int16_t* samples,
                       size_t count, int16_t& peak) {
    switch (step.Transform) {
        case BlockTransform::Scan:
            return set.Scan(samples, count, peak);
        case BlockTransform::Gain:
            return set.Gain(samples, count, step.Gain);
        case BlockTransform::Compress:
            return set.Compress(samples, count, step.Threshold, step.Ratio, step.MakeUpGain);
        case BlockTransform::Reduce:
            return set.Reduce(samples, count, step.Gain);
        case BlockTransform::Map:
            break;  // needs a table: ValueTable::MapSamples
    }
    return 0;
}

ValueTable::ValueTable() {
    for (size_t i = 0; i < SampleValueCount; ++i) {
        Values[i] = static_cast<int16_t>(static_cast<int32_t>(i) - 32768);
    }
}

void ValueTable::Apply(const TransformSet& set, const TransformStep& step) {
    int16_t unusedPeak = 0;
    ApplyTransform(set, step, Values.data(), Values.size(), unusedPeak);
    const bool gainOnIdentity = identity_ && step.Transform == BlockTransform::Gain;
    gainCode_ = gainOnIdentity ? set.Gain : nullptr;
    gain_ = step.Gain;
    identity_ = false;
}

int64_t ValueTable::MapSamples(int16_t* samples, size_t count) const {
    if (gainCode_ != nullptr) {
        return gainCode_(samples, count, gain_);
    }
    int64_t sum = 0;
    for (size_t i = 0; i < count; ++i) {
        const int32_t mapped = Values[ValueIndex(samples[i])];
        samples[i] = static_cast<int16_t>(mapped);
        sum += mapped * mapped;
    }
    return sum;
}

namespace {

// Looks up eight samples' values, then stores all eight. The table and the samples are both
// 16-bit, so each store may change the table as far as the compiler knows, and a look-up
// written after a store waits for it; eight look-ups written first overlap, which takes a
// third off the time a sample takes.
inline void MapEight(const int16_t* values, int16_t* at) {
    const int16_t v0 = values[ValueIndex(at[0])];
    const int16_t v1 = values[ValueIndex(at[1])];
    const int16_t v2 = values[ValueIndex(at[2])];
    const int16_t v3 = values[ValueIndex(at[3])];
    const int16_t v4 = values[ValueIndex(at[4])];
    const int16_t v5 = values[ValueIndex(at[5])];
    const int16_t v6 = values[ValueIndex(at[6])];
    const int16_t v7 = values[ValueIndex(at[7])];
    at[0] = v0;
    at[1] = v1;
    at[2] = v2;
    at[3] = v3;
    at[4] = v4;
    at[5] = v5;
    at[6] = v6;
    at[7] = v7;
}

}  // namespace

void ValueTable::MapOnly(int16_t* samples, size_t count) const {
    if (gainCode_ != nullptr) {
        gainCode_(samples, count, gain_);
        return;
    }
    size_t i = 0;
    for (; i + 8 <= count; i += 8) {
        MapEight(Values.data(), samples + i);
    }
    for (; i < count; ++i) {
        samples[i] = Values[ValueIndex(samples[i])];
    }
}

void* OwnPages::operator new(size_t size) {
    void* const pages =
        ::mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (pages == MAP_FAILED) {
        throw std::bad_alloc();
    }
    return pages;
}

void OwnPages::operator delete(void* object, size_t size) {
    ::munmap(object, size);
}

void SampleHistogram::Add(const int16_t* samples, size_t count) {
    // Four samples a load: a quarter of the loads, and the four counts' addresses known at once
    // (a quarter less time a sample than one load each). Which of the four comes first does not
    // matter to a count.
    size_t i = 0;
    for (; i + 4 <= count; i += 4) {
        uint64_t four;
        std::memcpy(&four, samples + i, sizeof four);
        for (int k = 0; k < 4; ++k) {
            ++Counts[ValueIndex(static_cast<int16_t>(four >> (16 * k)))];
        }
    }
    for (; i < count; ++i) {
        ++Counts[ValueIndex(samples[i])];
    }
}

namespace {

void PutGroups(uint32_t value, std::vector<uint8_t>& bytes) {
    while (value >= 0x80) {
        bytes.push_back(static_cast<uint8_t>(value | 0x80));
        value >>= 7;
    }
    bytes.push_back(static_cast<uint8_t>(value));
}

uint32_t TakeGroups(const uint8_t*& at) {
    uint32_t value = 0;
    for (int shift = 0;; shift += 7) {
        const uint8_t byte = *at++;
        value |= static_cast<uint32_t>(byte & 0x7F) << shift;
        if ((byte & 0x80) == 0) {
            return value;
        }
    }
}

}  // namespace

PackedHistogram::PackedHistogram(const SampleHistogram& histogram) {
    uint32_t zeros = 0;
    for (const uint32_t count : histogram.Counts) {
        if (count == 0) {
            ++zeros;
            continue;
        }
        PutGroups(zeros, bytes_);
        PutGroups(count, bytes_);
        zeros = 0;
    }
    bytes_.shrink_to_fit();
}

void PackedHistogram::Unpack(SampleHistogram& histogram) const {
    histogram.Clear();
    const uint8_t* at = bytes_.data();
    const uint8_t* const end = at + bytes_.size();
    size_t value = 0;
    while (at < end) {
        value += TakeGroups(at);
        histogram.Counts[value++] = TakeGroups(at);
    }
}

uint64_t SampleHistogram::SampleCount() const {
    uint64_t total = 0;
    for (uint32_t count : Counts) {
        total += count;
    }
    return total;
}

int64_t MappedSumOfSquares(const SampleHistogram& histogram, const ValueTable& table) {
    uint64_t sum = 0;
    for (size_t i = 0; i < SampleValueCount; ++i) {
        const int64_t v = table.Values[i];
        sum += uint64_t{histogram.Counts[i]} * static_cast<uint64_t>(v * v);
    }
    return static_cast<int64_t>(sum);
}

int16_t MappedPeak(const SampleHistogram& histogram, const ValueTable& table) {
    int32_t peak = 0;
    for (size_t i = 0; i < SampleValueCount; ++i) {
        if (histogram.Counts[i] != 0) {
            const int32_t v = table.Values[i];
            const int32_t magnitude = v < 0 ? -v : v;
            peak = magnitude > peak ? magnitude : peak;
        }
    }
    // The scan counts -32768 as 32767; a table that still holds it says the same.
    return static_cast<int16_t>(peak > 32767 ? 32767 : peak);
}

}  // namespace tralux
