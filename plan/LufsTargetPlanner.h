#pragma once

#include <optional>
#include <vector>

#include "engine/FactorTables.h"
#include "engine/SampleTable.h"
#include "plan/BalancePlanner.h"

namespace tralux {

// What a meter says of samples: integrated loudness (none for silence, or for material too
// short or too quiet for the gates to keep a block) and true peak.
struct LoudnessReading {
    std::optional<double> Lufs;
    double TruePeakDb = -200.0;  // dBTP; far below any ceiling for silence
};

// Measures the samples of a file, or of a track group's files together, after a chain of
// steps: what the results would measure if written through those steps. Integrated loudness
// is not a function of the sample values alone (it weights them by frequency and gates them
// in time), so each reading runs the meter over the mapped samples.
class ChainMeter {
public:
    virtual ~ChainMeter() = default;
    virtual LoudnessReading Read(const std::vector<TransformStep>& steps) = 0;
};

struct LufsRequest {
    LoudnessReading Source;  // the samples the steps apply to, unchanged
    double Target = -23.0;   // LUFS
    double Ceiling = -1.0;   // dBTP that no result may exceed
    // Results land within this many LU of the target.
    double Tolerance = 0.1;
    // Compression passes after which planning gives up.
    int MaxCompressions = 200;
};

struct LufsPlannedStep {
    TransformStep Step;
    LoudnessReading After;
};

struct LufsPlan {
    std::vector<LufsPlannedStep> Steps;  // gains and compress passes, in order
    LoudnessReading Result;              // after every step
    PlanEnding Ending = PlanEnding::NoTarget;
    int Compressions = 0;
    // Target over the loudness the first gain reached, as an amplitude ratio: the compression
    // the file needs beyond what its ceiling allows by gain alone (1 when none).
    double CompressionNeeded = 1.0;

    bool ShortOfTarget() const {
        return Ending == PlanEnding::Stalled || Ending == PlanEnding::Bound;
    }
    std::vector<TransformStep> Chain() const;
};

// Plans a file (or a group, through a meter of the group) toward an integrated loudness under
// a true-peak ceiling. A gain comes first: the exact one to the target when the ceiling allows
// it, otherwise the one that puts the true peak on the ceiling. A file that is then still too
// quiet is compressed pass by pass with the rows of the loudness tables, each pass followed by
// the gain that puts it on its target or its peak on the ceiling, and measured anew after
// each step, until it is within the tolerance. Planning ends short of the target when a pass
// no longer makes the file louder (its peaks are all the ceiling lets through) or after
// MaxCompressions passes.
class LufsTargetPlanner {
public:
    // A pass that raises loudness by less than this (LU) is taken to have stalled.
    static constexpr double LeastProgress = 0.005;
    // A gain that puts a peak on the ceiling aims this far (dB) below it, so that rounding
    // each sample to its grid cannot lift the result's true peak over the ceiling.
    static constexpr double CeilingMargin = 0.01;

    // Results are promised within this many LU of their target.
    static constexpr double PromisedTolerance = 0.1;
    // What two meters of the same samples may disagree on (LU), kept free of the promise.
    static constexpr double MeterSlack = 0.02;

    explicit LufsTargetPlanner(const BalancePlanner& steps) : steps_(steps) {}

    // The most (LU) that storing samples on their grid can lift the loudness of a programme at
    // targetLufs, where errorPower is the largest weighted power (full scale 1, summed over the
    // channels as the meter weighs them) of what the rounding changes. The change need not be
    // independent of the samples (a gain near 1 leaves a coarse grid's small values where they
    // were), so it may add to every block in step with the signal.
    static double RoundingLift(double targetLufs, double errorPower);
    // How close (LU) a plan aims to its target when the written result may read lift (LU) from
    // what was planned: what the promise leaves after the meters and the lift, and never less
    // than MeterSlack.
    static double Aim(double lift);

    LufsPlan Plan(const LufsRequest& request, ChainMeter& meter) const;

    // The gain step of decibels.
    static TransformStep GainStep(double decibels);

private:
    // Appends the gain that brings the last reading to the target, or its peak to the
    // ceiling, when it is not already within a hundredth of a decibel.
    void AddGain(const LufsRequest& request, ChainMeter& meter, LufsPlan& plan) const;

    const BalancePlanner& steps_;  // picks the compress row for a loudness ratio
};

}  // namespace tralux
