#include "SplitCounter.h"

#include <algorithm>
#include <memory>

#include "AudioEngine.h"

namespace tralux {

void SplitCounter::Begin() {
    Wait();
    counts_ = std::make_unique<SampleHistogram>();
}

void SplitCounter::End() {
    Wait();
    counts_.reset();
}

size_t SplitCounter::CountSecondHalf(const char* chunk, size_t size, size_t blockBytes) {
    const size_t blocks = (size + blockBytes - 1) / blockBytes;
    const size_t from = std::min(size, (blocks + 1) / 2 * blockBytes);
    const auto* samples = reinterpret_cast<const int16_t*>(chunk + from);
    const size_t count = (size - from) / sizeof(int16_t);
    if (count > 0) {
        thread_.Post([counts = counts_.get(), samples, count] { counts->Add(samples, count); });
    }
    return from;
}

void SplitCounter::AddTo(SampleHistogram& counts) const {
    for (size_t i = 0; i < counts.Counts.size(); ++i) {
        counts.Counts[i] += counts_->Counts[i];
    }
}

SplitCounter* AudioEngine::SplitCounterFor(const FileData& file, const ValueTable* mapping,
                                           bool writes) {
    const bool splits = counts_ != nullptr && mapping == nullptr && !writes &&
                        file.IsPlain16Bit() && LongPass(file);
    if (!splits) {
        return nullptr;
    }
    if (!splitCounter_) {
        splitCounter_ = std::make_unique<SplitCounter>();
    }
    return splitCounter_.get();
}

}  // namespace tralux
