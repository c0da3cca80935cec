#include "plan/BalancePlanner.h"

#include <cmath>
#include <memory>
#include <unordered_map>

namespace tralux {
namespace {

// What the table makes of the values the file holds, folded into 64 bits: equal mappings of
// those values give equal keys.
uint64_t StateKey(const SampleHistogram& values, const ValueTable& table) {
    uint64_t key = 14695981039346656037ull;
    for (size_t i = 0; i < SampleValueCount; ++i) {
        if (values.Counts[i] != 0) {
            key = (key ^ static_cast<uint16_t>(table.Values[i])) * 1099511628211ull;
        }
    }
    return key;
}

bool SameState(const SampleHistogram& values, const ValueTable& a, const ValueTable& b) {
    for (size_t i = 0; i < SampleValueCount; ++i) {
        if (values.Counts[i] != 0 && a.Values[i] != b.Values[i]) {
            return false;
        }
    }
    return true;
}

// The states the compress and reduce passes have left the file in. A state is what the file's
// values have become: the loudness follows from it, and so does the next pass. (Whether a
// reduction came first matters only below the target, where the planning of a file that has
// only been reduced ends.) So a state that comes back proves a cycle. Only keys are kept; a
// key met again is confirmed by replaying the steps that first led to it.
class StatesSeen {
public:
    StatesSeen(const SampleHistogram& values, const ValueTable& start, const TransformSet& set)
        : values_(values), start_(std::make_unique<ValueTable>(start)), set_(set) {
        Repeats(start, {});
    }

    // Remembers the state the steps have led to; true when it was there before.
    bool Repeats(const ValueTable& table, const std::vector<PlannedStep>& steps) {
        const uint64_t key = StateKey(values_, table);
        const auto [first, last] = firstSteps_.equal_range(key);
        for (auto at = first; at != last; ++at) {
            auto earlier = std::make_unique<ValueTable>(*start_);
            for (size_t k = 0; k < at->second; ++k) {
                earlier->Apply(set_, steps[k].Step);
            }
            if (SameState(values_, *earlier, table)) {
                return true;
            }
        }
        firstSteps_.emplace(key, steps.size());
        return false;
    }

private:
    const SampleHistogram& values_;
    std::unique_ptr<const ValueTable> start_;  // the state before the first pass
    const TransformSet& set_;
    std::unordered_multimap<uint64_t, size_t> firstSteps_;  // key -> steps that led to it
};

}  // namespace

double BalancePlanner::Loudness(int64_t sumOfSquares, int64_t frames, int64_t channels) {
    if (frames <= 0) {
        return 0.0;  // nothing measured: silent
    }
    return std::sqrt(static_cast<double>(sumOfSquares) / static_cast<double>(frames * channels));
}

bool BalancePlanner::OnTarget(double loudness, double target, int compressions, int reductions) {
    if (target > loudness) {
        if (target / loudness < OnTargetTolerance) {
            return true;
        }
        return reductions >= 1 && compressions == 0;
    }
    return loudness / target < OnTargetTolerance;
}

TransformStep BalancePlanner::AdjustStep(double loudness, double target) const {
    const double x = target / loudness;
    if (x > 1.0) {
        return CompressStep(SelectCompressFactor(tables_.CompressFactors, x));
    }
    return ReduceStep(SelectReduceFactor(tables_.ReduceFactors, x));
}

ValueTable BalancePlanner::GainTable(double gain) const {
    ValueTable table;
    TransformStep step{BlockTransform::Gain};
    step.Gain = gain;
    table.Apply(transforms_, step);
    return table;
}

PlannedStep BalancePlanner::Measure(const TransformStep& step, const SampleHistogram& values,
                                    const ValueTable& table, const BalanceRequest& request) const {
    return PlannedStep{
        step, Loudness(MappedSumOfSquares(values, table), request.Frames, request.Channels),
        MappedPeak(values, table)};
}

BalancePlan BalancePlanner::Plan(const SampleHistogram& values,
                                 const BalanceRequest& request) const {
    BalancePlan plan;
    plan.Loudness = request.Loudness;
    if (request.NormalisingGain) {
        TransformStep step{BlockTransform::Gain};
        step.Gain = *request.NormalisingGain;
        plan.Table.Apply(transforms_, step);
        plan.Normalising = Measure(step, values, plan.Table, request);
        plan.Loudness = plan.Normalising->Loudness;
    }
    plan.Peak = MappedPeak(values, plan.Table);
    PlanAdjusting(values, request, plan);
    plan.AdjustedLoudness = plan.Loudness;
    if (request.FinalGain) {
        TransformStep step{BlockTransform::Gain};
        step.Gain = *request.FinalGain;
        plan.Table.Apply(transforms_, step);
        plan.Steps.push_back(Measure(step, values, plan.Table, request));
        plan.Loudness = plan.Steps.back().Loudness;
        plan.Peak = plan.Steps.back().Peak;
    }
    return plan;
}

void BalancePlanner::PlanAdjusting(const SampleHistogram& values, const BalanceRequest& request,
                                   BalancePlan& plan) const {
    const double target = request.Target;
    // A target of 0 can never be reached: every pass would only take the file further toward
    // silence.
    if (!(target > 0.0)) {
        plan.Ending = PlanEnding::NoTarget;
        return;
    }
    plan.Ending = PlanEnding::OnTarget;
    StatesSeen seen(values, plan.Table, transforms_);
    while (!OnTarget(plan.Loudness, target, plan.Compressions, plan.Reductions)) {
        // A silent file cannot be brought to any loudness; the ratio would be undefined.
        if (!(plan.Loudness > 0.0)) {
            plan.Ending = PlanEnding::Stalled;
            return;
        }
        const TransformStep step = AdjustStep(plan.Loudness, target);
        plan.Table.Apply(transforms_, step);
        ++(step.Transform == BlockTransform::Compress ? plan.Compressions : plan.Reductions);
        plan.Steps.push_back(Measure(step, values, plan.Table, request));
        plan.Loudness = plan.Steps.back().Loudness;
        plan.Peak = plan.Steps.back().Peak;
        if (OnTarget(plan.Loudness, target, plan.Compressions, plan.Reductions)) {
            return;
        }
        // A state that comes back would repeat for ever: the file stays as it now is.
        if (seen.Repeats(plan.Table, plan.Steps)) {
            plan.Ending = PlanEnding::Stalled;
            return;
        }
        if (static_cast<int64_t>(plan.Steps.size()) >= request.MaxAdjustSteps) {
            plan.Ending = PlanEnding::Bound;
            return;
        }
    }
}

}  // namespace tralux
