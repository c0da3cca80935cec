#include "plan/LufsTargetPlanner.h"

#include <algorithm>
#include <cmath>

namespace tralux {
namespace {

constexpr double kCeilingMargin = LufsTargetPlanner::CeilingMargin;
// Gains smaller than this (dB) are not worth a step of their own.
constexpr double kLeastGain = 0.01;
// Gains after one compress pass: one to the target or the ceiling, and at most two more when
// rounding left the true peak over the ceiling.
constexpr int kGainTries = 3;

double Amplitude(double lufs) {
    return std::pow(10.0, lufs / 20.0);
}

bool Within(const LufsRequest& request, const LoudnessReading& reading) {
    return reading.Lufs && std::fabs(*reading.Lufs - request.Target) <= request.Tolerance &&
           reading.TruePeakDb <= request.Ceiling;
}

}  // namespace

std::vector<TransformStep> LufsPlan::Chain() const {
    std::vector<TransformStep> chain;
    chain.reserve(Steps.size());
    for (const LufsPlannedStep& planned : Steps) {
        chain.push_back(planned.Step);
    }
    return chain;
}

double LufsTargetPlanner::RoundingLift(double targetLufs, double errorPower) {
    // Integrated loudness is -0.691 + 10 log10 of the mean weighted power of the blocks the
    // gates keep; a change of power errorPower moves each block's root mean square by at most
    // the square root of it.
    const double power = std::pow(10.0, (targetLufs + 0.691) / 10.0);
    return 20.0 * std::log10(1.0 + std::sqrt(errorPower / power));
}

double LufsTargetPlanner::Aim(double lift) {
    return std::max(MeterSlack, PromisedTolerance - MeterSlack - lift);
}

TransformStep LufsTargetPlanner::GainStep(double decibels) {
    TransformStep step{BlockTransform::Gain};
    step.Gain = std::pow(10.0, decibels / 20.0);
    return step;
}

void LufsTargetPlanner::AddGain(const LufsRequest& request, ChainMeter& meter,
                                LufsPlan& plan) const {
    // A retry follows a reading that rounding left over the ceiling, and aims further under it:
    // on a coarse grid a correction smaller than a step is rounded away.
    double margin = kCeilingMargin;
    for (int attempt = 0; attempt < kGainTries && plan.Result.Lufs; ++attempt, margin *= 4.0) {
        const double toTarget = request.Target - *plan.Result.Lufs;
        const double toCeiling = request.Ceiling - margin - plan.Result.TruePeakDb;
        const bool overCeiling = plan.Result.TruePeakDb > request.Ceiling;
        double gain = std::min(toTarget, toCeiling);
        if (!overCeiling && std::fabs(gain) < kLeastGain) {
            return;
        }
        // A gain right after a gain becomes one with it, so that the samples are rounded once.
        if (!plan.Steps.empty() && plan.Steps.back().Step.Transform == BlockTransform::Gain) {
            gain += 20.0 * std::log10(plan.Steps.back().Step.Gain);
            plan.Steps.pop_back();
        }
        const TransformStep step = GainStep(gain);
        std::vector<TransformStep> chain = plan.Chain();
        chain.push_back(step);
        plan.Result = meter.Read(chain);
        plan.Steps.push_back({step, plan.Result});
        if (plan.Result.TruePeakDb <= request.Ceiling) {
            return;
        }
    }
}

LufsPlan LufsTargetPlanner::Plan(const LufsRequest& request, ChainMeter& meter) const {
    LufsPlan plan;
    plan.Result = request.Source;
    if (!request.Source.Lufs) {
        return plan;  // silence has no loudness to bring anywhere
    }
    plan.Ending = PlanEnding::OnTarget;
    AddGain(request, meter, plan);
    if (plan.Result.Lufs && *plan.Result.Lufs < request.Target - request.Tolerance) {
        plan.CompressionNeeded =
            std::max(1.0, Amplitude(request.Target) / Amplitude(*plan.Result.Lufs));
    }
    while (!Within(request, plan.Result)) {
        // Only a file still too quiet, its peaks on the ceiling, is compressed; anything else
        // (silence after the gain, a ceiling that rounding keeps crossing) cannot be mended by
        // more passes.
        if (!plan.Result.Lufs || *plan.Result.Lufs > request.Target ||
            plan.Result.TruePeakDb > request.Ceiling) {
            plan.Ending = PlanEnding::Stalled;
            return plan;
        }
        if (plan.Compressions >= request.MaxCompressions) {
            plan.Ending = PlanEnding::Bound;
            return plan;
        }
        const double before = *plan.Result.Lufs;
        // The row is the one for the ratio to the middle of the tolerance above the target: a
        // pass falls short of its row's ratio as often as not (the peaks it lifts take some of
        // the gain after it back), while one that goes over is brought down by that gain.
        const TransformStep step = steps_.AdjustStep(
            Amplitude(before), Amplitude(request.Target + 0.5 * request.Tolerance));
        std::vector<TransformStep> chain = plan.Chain();
        chain.push_back(step);
        plan.Result = meter.Read(chain);
        plan.Steps.push_back({step, plan.Result});
        ++plan.Compressions;
        AddGain(request, meter, plan);
        if (Within(request, plan.Result)) {
            break;
        }
        if (!plan.Result.Lufs || *plan.Result.Lufs < before + LeastProgress) {
            plan.Ending = PlanEnding::Stalled;
            return plan;
        }
    }
    return plan;
}

}  // namespace tralux
