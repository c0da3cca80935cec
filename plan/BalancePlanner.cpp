#include "plan/BalancePlanner.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <memory>
#include <optional>
#include <unordered_map>

namespace tralux {
namespace {

// How the planning reaches a 16-bit file's values: the histogram of every int16 value and
// tables of all 65536 values, run by the int16 code.
class HistogramValues {
public:
    using Table = ValueTable;

    HistogramValues(const SampleHistogram& values, const TransformSet& set,
                    const BalanceRequest& request)
        : values_(values), set_(set), request_(request) {}

    Table Start() const { return ValueTable(); }
    void Apply(Table& table, const TransformStep& step) const { table.Apply(set_, step); }
    double Loudness(const Table& table) const {
        return BalancePlanner::Loudness(MappedSumOfSquares(values_, table), request_.Frames,
                                        request_.Channels);
    }
    double Peak(const Table& table) const { return MappedPeak(values_, table); }
    // What the table makes of the values the file holds, folded into 64 bits: equal mappings
    // of those values give equal keys.
    uint64_t StateKey(const Table& table) const {
        uint64_t key = 14695981039346656037ull;
        for (size_t i = 0; i < SampleValueCount; ++i) {
            if (values_.Counts[i] != 0) {
                key = (key ^ static_cast<uint16_t>(table.Values[i])) * 1099511628211ull;
            }
        }
        return key;
    }
    bool SameState(const Table& a, const Table& b) const {
        for (size_t i = 0; i < SampleValueCount; ++i) {
            if (values_.Counts[i] != 0 && a.Values[i] != b.Values[i]) {
                return false;
            }
        }
        return true;
    }

private:
    const SampleHistogram& values_;
    const TransformSet& set_;
    const BalanceRequest& request_;
};

// The same for another integer grid: only the keys the file holds, each step stored on the
// format's own grid.
class GridValues {
public:
    using Table = GridTable;

    GridValues(const GridCounts& values, const BalanceRequest& request)
        : values_(values), grid_(values.Format), request_(request) {}

    Table Start() const { return IdentityTable(values_); }
    // Start() and Apply(step) in one pass over the keys.
    void StartThrough(Table& table, const TransformStep& step) const {
        const GridMeasure measure = StartTableMeasured(grid_, step, values_, table);
        last_ = {&table, table.Mapped.data(), table.Mapped.size(), measure};
    }
    // Each step is measured as it is applied, in the same pass: the planning asks for the
    // loudness, the peak and the state key of the table it last applied a step to.
    void Apply(Table& table, const TransformStep& step) const {
        const GridMeasure measure = ApplyStepMeasured(grid_, step, values_, table);
        last_ = {&table, table.Mapped.data(), table.Mapped.size(), measure};
    }
    double Loudness(const Table& table) const {
        return request_.Frames <= 0
                   ? 0.0
                   : grid_.Loudness(Measure(table).Sum, request_.Frames * request_.Channels);
    }
    double Peak(const Table& table) const { return grid_.Level(Measure(table).Peak); }
    uint64_t StateKey(const Table& table) const { return Measure(table).StateKey; }
    bool SameState(const Table& a, const Table& b) const {
        last_ = {};  // the tables replayed to compare may take the measured one's place
        return a.Mapped == b.Mapped;  // whatever steps made them
    }

private:
    struct Measured {
        const Table* Of = nullptr;
        const int32_t* Mapped = nullptr;
        size_t Keys = 0;
        GridMeasure Measures;
    };
    const GridMeasure& Measure(const Table& table) const {
        if (last_.Of != &table || last_.Mapped != table.Mapped.data() ||
            last_.Keys != table.Mapped.size()) {
            last_ = {&table, table.Mapped.data(), table.Mapped.size(),
                     MeasureTable(grid_, values_, table)};
        }
        return last_.Measures;
    }

    const GridCounts& values_;
    const SampleGrid grid_;
    const BalanceRequest& request_;
    mutable Measured last_;
};

// The same for a wide format whose distinct values were kept: each step computed on the scale
// and stored on the format's grid, value by value, the squares summed exactly.
class WideHeldValues {
public:
    using Table = GridTable;

    WideHeldValues(const GridCounts& values, const BalanceRequest& request)
        : values_(values), grid_(values.Format), request_(request) {}

    Table Start() const {
        Table table;
        table.WideMapped.reserve(values_.Wide.size());
        for (const WideValue& value : values_.Wide) {
            table.WideMapped.push_back(value.Bits);
        }
        return table;
    }
    void Apply(Table& table, const TransformStep& step) const {
        grid_.Apply(step, table.WideMapped.data(), table.WideMapped.size());
        table.Steps.push_back(step);
    }
    double Loudness(const Table& table) const { return Measure(table).Loudness; }
    double Peak(const Table& table) const { return Measure(table).Peak; }
    uint64_t StateKey(const Table& table) const {
        uint64_t key = 14695981039346656037ull;
        for (uint64_t bits : table.WideMapped) {
            key = FoldStateKey(key, bits);
        }
        return key;
    }
    bool SameState(const Table& a, const Table& b) const { return a.WideMapped == b.WideMapped; }

private:
    struct Measures {
        std::vector<TransformStep> Steps;
        double Loudness = 0.0;
        double Peak = 0.0;
    };
    // The loudness and peak of the last steps measured: the planning asks for both.
    const Measures& Measure(const Table& table) const {
        if (!last_ || last_->Steps != table.Steps) {
            WideMeasure measure;
            grid_.MeasureValues(table.WideMapped.data(), values_.Wide.data(), values_.Wide.size(),
                                measure);
            last_ = std::make_unique<Measures>();
            last_->Steps = table.Steps;
            last_->Loudness = grid_.Loudness(measure.Squares.Total().Value(),
                                             request_.Frames * request_.Channels);
            last_->Peak = grid_.Level(measure.Peak);
        }
        return *last_;
    }

    const GridCounts& values_;
    const WideGrid grid_;
    const BalanceRequest& request_;
    mutable std::unique_ptr<Measures> last_;
};

// A wide file with more distinct values than were kept: a state is the steps so far. While the
// samples fit in the memory the sweep allows, the planning holds them as the last measured
// steps left them, and a pass is one step over them; otherwise each measure reads the samples
// again and takes them through every step. Both are the kept values' arithmetic, exactly, in
// memory that does not grow past a bound with the file. The loudness, peak and state key of
// the last steps measured are kept, as the planning asks for all three after each pass. A
// read that fails measures silence, which ends the planning; the run has been stopped by then.
class WideReadValues {
public:
    using Table = GridTable;

    WideReadValues(const GridCounts& values, const BalanceRequest& request)
        : values_(values), grid_(values.Format), request_(request) {}

    Table Start() const { return Table{}; }
    void Apply(Table& table, const TransformStep& step) const { table.Steps.push_back(step); }
    double Loudness(const Table& table) const { return Measure(table).Loudness; }
    double Peak(const Table& table) const { return Measure(table).Peak; }
    uint64_t StateKey(const Table& table) const { return Measure(table).Key; }
    bool SameState(const Table& a, const Table& b) const {
        bool same = true;
        const bool read = values_.Samples->Run([&](const unsigned char* bytes, size_t count) {
            for (size_t i = 0; i < count && same; ++i, bytes += grid_.Bytes()) {
                const uint64_t bits = grid_.Read(bytes);
                same = grid_.Through(a.Steps, bits) == grid_.Through(b.Steps, bits);
            }
        });
        return read && same;
    }

private:
    struct Measures {
        std::vector<TransformStep> Steps;
        double Loudness = 0.0;
        double Peak = 0.0;
        uint64_t Key = 0;
    };

    // Whether the held samples are those of every step but the last of steps.
    bool HeldBefore(const std::vector<TransformStep>& steps) const {
        return held_ && steps.size() == heldSteps_.size() + 1 &&
               std::equal(heldSteps_.begin(), heldSteps_.end(), steps.begin());
    }

    const Measures& Measure(const Table& table) const {
        if (last_ && last_->Steps == table.Steps) {
            return *last_;
        }
        WideMeasure measure;
        SampleStateKey key;
        const size_t width = size_t(grid_.Bytes());
        const size_t bytes =
            size_t(std::max<int64_t>(0, request_.Frames * request_.Channels)) * width;
        bool read = true;
        if (HeldBefore(table.Steps)) {
            grid_.MapSamples({table.Steps.back()}, held_.get(), bytes / width, measure, &key);
            heldSteps_ = table.Steps;
        } else {
            held_.reset();
            bool holding = bytes > 0 && bytes <= values_.Samples->MayHold;
            LargeBuffer<unsigned char> held;
            if (holding) {
                held = MakeLargeBuffer<unsigned char>(bytes);
            }
            size_t heldBytes = 0;
            std::vector<unsigned char> block;
            read = values_.Samples->Run([&](const unsigned char* samples, size_t count) {
                const size_t length = count * width;
                // A file that gives more than it said is measured, not held.
                holding = holding && heldBytes + length <= bytes;
                unsigned char* into = nullptr;
                if (holding) {
                    into = held.get() + heldBytes;
                    heldBytes += length;
                } else {
                    block.resize(length);
                    into = block.data();
                }
                std::memcpy(into, samples, length);
                grid_.MapSamples(table.Steps, into, count, measure, &key);
            });
            if (holding && read && heldBytes == bytes) {
                held_ = std::move(held);
                heldSteps_ = table.Steps;
            }
        }
        last_ = std::make_unique<Measures>();
        last_->Steps = table.Steps;
        if (read) {
            last_->Loudness = grid_.Loudness(measure.Squares.Total().Value(),
                                             request_.Frames * request_.Channels);
            last_->Peak = grid_.Level(measure.Peak);
            last_->Key = key.Value();
        }
        return *last_;
    }

    const GridCounts& values_;
    const WideGrid grid_;
    const BalanceRequest& request_;
    mutable std::unique_ptr<Measures> last_;
    mutable LargeBuffer<unsigned char> held_;  // every sample, in the format's own bytes
    mutable std::vector<TransformStep> heldSteps_;
};

// The table a plan starts from: Start(), through the normalising step if there is one (which
// some values apply as they make the table, in one pass).
template <typename Values>
void StartTable(const Values& values, typename Values::Table& table,
                const std::optional<TransformStep>& normalising) {
    if (!normalising) {
        table = values.Start();
    } else if constexpr (requires { values.StartThrough(table, *normalising); }) {
        values.StartThrough(table, *normalising);
    } else {
        table = values.Start();
        values.Apply(table, *normalising);
    }
}

// The states the compress and reduce passes have left the file in. A state is what the file's
// values have become: the loudness follows from it, and so does the next pass. (Whether a
// reduction came first matters only below the target, where the planning of a file that has
// only been reduced ends.) So a state that comes back proves a cycle. Only keys are kept; a
// key met again is confirmed by replaying the steps that first led to it, from the state
// before the first pass made again (a copy of it would be one more table as large as a 24-bit
// file's keys, held for the whole planning).
template <typename Values>
class StatesSeen {
public:
    using Table = typename Values::Table;

    // start: the state before the first pass, which is Start() and then normalising, if any.
    StatesSeen(const Values& values, const Table& start,
               const std::optional<TransformStep>& normalising)
        : values_(values), normalising_(normalising) {
        Repeats(start, {});
    }

    // Remembers the state the steps have led to; true when it was there before.
    bool Repeats(const Table& table, const std::vector<PlannedStep>& steps) {
        const uint64_t key = values_.StateKey(table);
        const auto [first, last] = firstSteps_.equal_range(key);
        for (auto at = first; at != last; ++at) {
            auto earlier = std::make_unique<Table>();
            StartTable(values_, *earlier, normalising_);
            for (size_t k = 0; k < at->second; ++k) {
                values_.Apply(*earlier, steps[k].Step);
            }
            if (values_.SameState(*earlier, table)) {
                return true;
            }
        }
        firstSteps_.emplace(key, steps.size());
        return false;
    }

private:
    const Values& values_;
    std::optional<TransformStep> normalising_;
    std::unordered_multimap<uint64_t, size_t> firstSteps_;  // key -> steps that led to it
};

template <typename Values>
PlannedStep Measured(const Values& values, const TransformStep& step,
                     const typename Values::Table& table) {
    return PlannedStep{step, values.Loudness(table), values.Peak(table)};
}

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

BalancePlan BalancePlanner::Plan(const SampleHistogram& values,
                                 const BalanceRequest& request) const {
    return PlanOn(HistogramValues(values, transforms_, request), request);
}

GridPlan BalancePlanner::Plan(const GridCounts& values, const BalanceRequest& request) const {
    if (values.Samples) {
        return PlanOn(WideReadValues(values, request), request);
    }
    if (WideFormat(values.Format)) {
        return PlanOn(WideHeldValues(values, request), request);
    }
    return PlanOn(GridValues(values, request), request);
}

double BalancePlanner::NormalisedLoudness(const GridCounts& values,
                                          const BalanceRequest& request) const {
    BalanceRequest normalising;
    normalising.Frames = request.Frames;
    normalising.Channels = request.Channels;
    normalising.NormalisingGain = request.NormalisingGain;
    if (values.Samples || WideFormat(values.Format) || !request.NormalisingGain) {
        return Plan(values, normalising).Loudness;
    }
    TransformStep step{BlockTransform::Gain};
    step.Gain = *request.NormalisingGain;
    const SampleGrid grid(values.Format);
    return request.Frames <= 0 ? 0.0
                               : grid.Loudness(MeasureStep(grid, step, values).Sum,
                                               request.Frames * request.Channels);
}

template <typename Values>
BasicBalancePlan<typename Values::Table> BalancePlanner::PlanOn(
    const Values& values, const BalanceRequest& request) const {
    BasicBalancePlan<typename Values::Table> plan;
    plan.Loudness = request.Loudness;
    std::optional<TransformStep> normalising;
    if (request.NormalisingGain) {
        normalising = TransformStep{BlockTransform::Gain};
        normalising->Gain = *request.NormalisingGain;
    }
    StartTable(values, plan.Table, normalising);
    if (normalising) {
        plan.Normalising = Measured(values, *normalising, plan.Table);
        plan.Loudness = plan.Normalising->Loudness;
    }
    plan.Peak = values.Peak(plan.Table);
    PlanAdjusting(values, request, plan);
    plan.AdjustedLoudness = plan.Loudness;
    if (request.FinalGain) {
        TransformStep step{BlockTransform::Gain};
        step.Gain = *request.FinalGain;
        values.Apply(plan.Table, step);
        plan.Steps.push_back(Measured(values, step, plan.Table));
        plan.Loudness = plan.Steps.back().Loudness;
        plan.Peak = plan.Steps.back().Peak;
    }
    return plan;
}

template <typename Values>
void BalancePlanner::PlanAdjusting(const Values& values, const BalanceRequest& request,
                                   BasicBalancePlan<typename Values::Table>& plan) const {
    const double target = request.Target;
    // A target of 0 can never be reached: every pass would only take the file further toward
    // silence.
    if (!(target > 0.0)) {
        plan.Ending = PlanEnding::NoTarget;
        return;
    }
    plan.Ending = PlanEnding::OnTarget;
    std::optional<TransformStep> normalising;
    if (plan.Normalising) {
        normalising = plan.Normalising->Step;
    }
    StatesSeen<Values> seen(values, plan.Table, normalising);
    while (!OnTarget(plan.Loudness, target, plan.Compressions, plan.Reductions)) {
        // A silent file cannot be brought to any loudness; the ratio would be undefined.
        if (!(plan.Loudness > 0.0)) {
            plan.Ending = PlanEnding::Stalled;
            return;
        }
        const TransformStep step = AdjustStep(plan.Loudness, target);
        values.Apply(plan.Table, step);
        ++(step.Transform == BlockTransform::Compress ? plan.Compressions : plan.Reductions);
        plan.Steps.push_back(Measured(values, step, plan.Table));
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
