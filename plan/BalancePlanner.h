#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "engine/FactorTables.h"
#include "engine/GridValues.h"
#include "engine/SampleTable.h"

namespace tralux {

// One planned pass over a file and what its samples measure after it.
struct PlannedStep {
    TransformStep Step;
    double Loudness = 0.0;  // root mean square over the file's samples
    double Peak = 0.0;      // on the scale; a whole number for 16-bit files
};

// Why the planning of a file's compress and reduce passes ended.
enum class PlanEnding {
    NoTarget,  // no target above 0: no pass is planned
    OnTarget,  // within the tolerance, or a reduction that landed below it
    Stalled,   // a state seen before came back, or silence: more passes would repeat for ever
    Bound,     // the request's largest number of passes was reached
};

// What a file's plan is made from: numbers only.
struct BalanceRequest {
    int64_t Frames = 0;  // the loudness is taken over Frames x Channels samples
    int64_t Channels = 2;
    // The normalising gain, planned first when the counted values are the source's; without
    // it they are the result's, which measures Loudness.
    std::optional<double> NormalisingGain;
    double Loudness = 0.0;
    double Target = 0.0;              // the loudness the passes aim at
    std::optional<double> FinalGain;  // the final limiting, after the passes
    // Passes after which planning gives up. The longest converging runs seen take about 600
    // passes (a sine brought within a few units of full scale), and a pass costs well under a
    // millisecond: the default is far beyond any of them and still ends within seconds.
    int MaxAdjustSteps = 20000;
};

// Mapping: ValueTable for 16-bit files, GridTable for the other grids.
template <typename Mapping>
struct BasicBalancePlan {
    Mapping Table;  // every planned step composed: what each sample value becomes
    std::optional<PlannedStep> Normalising;
    std::vector<PlannedStep> Steps;  // the compress and reduce passes, then the final limiting
    double AdjustedLoudness = 0.0;   // when the compress and reduce passes ended
    double Loudness = 0.0;           // after every step
    double Peak = 0.0;               // after every step
    PlanEnding Ending = PlanEnding::NoTarget;
    int Compressions = 0;
    int Reductions = 0;

    // The passes ended away from the target: the file is to be told as left short of it.
    bool ShortOfTarget() const {
        return Ending == PlanEnding::Stalled || Ending == PlanEnding::Bound;
    }
};

using BalancePlan = BasicBalancePlan<ValueTable>;
using GridPlan = BasicBalancePlan<GridTable>;

// Plans a file's balancing on the counts of its sample values: each transform maps a sample
// by its value alone, so the passes are followed on a table of every value instead of over
// the file, and the result is written once through the composed table. Pure: the same
// numbers give the same plan.
class BalancePlanner {
public:
    // A file is on target when its loudness lies within this ratio of the target.
    static constexpr double OnTargetTolerance = 1.002;

    BalancePlanner(const FactorTables& tables, const TransformSet& transforms)
        : tables_(tables), transforms_(transforms) {}

    BalancePlan Plan(const SampleHistogram& values, const BalanceRequest& request) const;
    // The same on the counted keys of another integer grid: the very planning, each step
    // carried to the format's own grid.
    GridPlan Plan(const GridCounts& values, const BalanceRequest& request) const;
    // The loudness after the request's normalising gain alone (its target and final gain are
    // not looked at): what Plan gives for it, without a table as large as the keys.
    double NormalisedLoudness(const GridCounts& values, const BalanceRequest& request) const;

    // The step a compress or reduce pass takes for a file of this loudness toward target.
    TransformStep AdjustStep(double loudness, double target) const;
    // The table of one gain step: the normalising or the final limiting on its own.
    ValueTable GainTable(double gain) const;

    // Root mean square of a sum of squares over frames x channels samples; 0 with no frames.
    static double Loudness(int64_t sumOfSquares, int64_t frames, int64_t channels = 2);
    // Whether loudness is close enough to target after these passes. A reduction that
    // overshot stays where it landed, unless compression has begun.
    static bool OnTarget(double loudness, double target, int compressions, int reductions);

private:
    // The one planning, over how a format's values are held (see BalancePlanner.cpp).
    template <typename Values>
    BasicBalancePlan<typename Values::Table> PlanOn(const Values& values,
                                                    const BalanceRequest& request) const;
    template <typename Values>
    void PlanAdjusting(const Values& values, const BalanceRequest& request,
                       BasicBalancePlan<typename Values::Table>& plan) const;

    const FactorTables& tables_;
    const TransformSet& transforms_;
};

}  // namespace tralux
