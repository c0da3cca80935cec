// The sweeps of a chain of steps: what balancing by LUFS measures and then writes, the one way
// a chain reaches a file's samples in each format.

#include <algorithm>
#include <span>

#include "AudioEngine.h"
#include "GridValues.h"
#include "WideValues.h"

namespace tralux {

const ValueTable* AudioEngine::LoadChain(const FileData& file,
                                         const std::vector<TransformStep>& chain) {
    if (file.IsPlain16Bit()) {
        chainTable_ = std::make_unique<ValueTable>();
        for (const TransformStep& step : chain) {
            chainTable_->Apply(Transforms, step);
        }
        return chainTable_.get();
    }
    const SampleFormat& format = file.Format.Sample;
    if (WideFormat(format)) {
        // No table of every value fits these formats: each sample goes through the chain.
        wideSteps_ = chain;
        wideMap_.Clear();
        return nullptr;
    }
    const bool extends = chainFormat_ == format && chain.size() >= chainSteps_.size() &&
                         std::equal(chainSteps_.begin(), chainSteps_.end(), chain.begin());
    const std::span<const TransformStep> steps(chain);
    chainFormat_.reset();  // until the map is whole
    if (extends) {
        chainMap_.Extend(steps.subspan(chainSteps_.size()));
    } else {
        chainMap_.Build(format, steps);
    }
    chainFormat_ = format;
    chainSteps_ = chain;
    return nullptr;
}

bool AudioEngine::MeasureChain(const FileData& file, const std::string& path,
                               const std::vector<TransformStep>& chain, BlockObserver& observer) {
    const ValueTable* const table = LoadChain(file, chain);
    BlockObserver* const runObserver = Observer;
    Observer = &observer;
    Totals = PassTotals{};
    observedSide_ = SweepSide::Result;
    chainMapsGrid_ = table == nullptr;
    // The meter is all this pass is for: no totals of the mapped samples, no digest.
    mapOnly_ = true;
    const auto restore = [&] {
        Observer = runObserver;
        observedSide_.reset();
        chainMapsGrid_ = false;
        mapOnly_ = false;
    };
    try {
        RunPass(file, path, std::string(), table, "Measuring", 1.0);
    } catch (...) {
        restore();
        throw;
    }
    restore();
    return Running;
}

bool AudioEngine::WriteChain(FileData& file, const std::string& source,
                             const std::string& destination,
                             const std::vector<TransformStep>& chain, const std::string& label,
                             const PassTotals& expectedInput, const SampleHistogram* inputValues) {
    const ValueTable* const table = LoadChain(file, chain);
    if (table != nullptr) {
        return WriteMapped(file, source, destination, *table, label, expectedInput, inputValues);
    }
    chainMapsGrid_ = true;
    try {
        const bool whole =
            WriteThrough(file, source, destination, nullptr, label, expectedInput, false);
        chainMapsGrid_ = false;
        return whole;
    } catch (...) {
        chainMapsGrid_ = false;
        throw;
    }
}

}  // namespace tralux
