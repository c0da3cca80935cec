// What Prepare & Balance keeps of each file's counted values from its scan to its plan and
// write, within its budgets, and where a file's values come from when they were not kept.

#include <memory>
#include <utility>

#include "operations/Operations.h"

namespace tralux {

bool Operations::CountsAside(const FileData& file) const {
    // Prepare & Balance plans each 16-bit file on the counts its scan takes: kept packed while
    // they fit, rather than counted again by one more read.
    return planning_ && file.IsPlain16Bit();
}

void Operations::KeepCounted(size_t index, FileData& file, const SampleHistogram& counted) {
    // A file in no group is normalised by its own peak: planned now. A file in a group waits
    // for its group's peak, and plans on these counts again then.
    if (engine_.Running && file.Peak > 0 && file.GroupNumber <= 0) {
        PlanNormalisingOn(index, file, NormalisingGainOf(file), {&counted, nullptr});
    }
    if (!engine_.Running || index >= HistogramsKept) {
        return;  // a count cut short is not kept
    }
    PackedHistogram packed(counted);
    if (histogramBytesHeld_ + packed.HeldBytes() <= HistogramBytesKept) {
        histogramBytesHeld_ += packed.HeldBytes();
        plans_[index].Histogram = std::move(packed);
    }
}

const SampleHistogram* Operations::KeptValues(SampleHistogram& into, size_t index) const {
    if (!plans_[index].Histogram) {
        return nullptr;
    }
    plans_[index].Histogram->Unpack(into);
    return &into;
}

void Operations::KeepWithinBudget(FilePlan& plan) {
    if (!plan.Grid) {
        return;
    }
    const size_t bytes = plan.Grid->HeldBytes();
    if (gridBytesHeld_ + bytes > GridBytesKept) {
        plan.Grid.reset();
        return;
    }
    gridBytesHeld_ += bytes;
}

Operations::CountedValues Operations::SourceValues(FileWork& work, size_t index, FileData& file) {
    if (const SampleHistogram* kept = KeptValues(work.Recounted, index)) {
        return {kept, nullptr};
    }
    if (plans_[index].Grid) {
        return {nullptr, plans_[index].Grid.get()};
    }
    // Not kept: counted again, at the cost of one more read.
    work.Engine.Estimator.WorkRemaining += file.FrameCount;
    return CountValues(work, file, file.SourceFile);
}

const SampleHistogram* Operations::CountsOfWhatIsWritten(size_t index,
                                                         const SampleHistogram* values) const {
    // Balance counted the result just before its write, with the totals the write checks; a
    // kept histogram is the scan's own. A recount of a source is not proven to be what its scan
    // read, so its write sums its own squares.
    return !planning_ || plans_[index].Histogram.has_value() ? values : nullptr;
}

}  // namespace tralux
