#include "Gating.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace tralux {
namespace {

double LoudnessToEnergy(double lufs) {
    return std::pow(10.0, (lufs + 0.691) / 10.0);
}

const double kAbsoluteGate = LoudnessToEnergy(-70.0);

// The mean of the energies that pass test, and their count.
template <typename Pass>
std::pair<double, size_t> MeanOf(std::span<const double> energies, Pass pass) {
    double sum = 0.0;
    size_t count = 0;
    for (double e : energies) {
        if (pass(e)) {
            sum += e;
            ++count;
        }
    }
    return {count == 0 ? 0.0 : sum / static_cast<double>(count), count};
}

}  // namespace

double EnergyToLoudness(double energy) {
    if (energy <= 0.0) {
        return -std::numeric_limits<double>::infinity();
    }
    return -0.691 + 10.0 * std::log10(energy);
}

std::vector<double> WindowEnergies(std::span<const double> segmentEnergies, size_t window,
                                   size_t segmentFrames) {
    std::vector<double> energies;
    if (window == 0 || segmentEnergies.size() < window) {
        return energies;
    }
    const double frames = static_cast<double>(window * segmentFrames);
    energies.reserve(segmentEnergies.size() - window + 1);
    // Each window is summed afresh, so that no rounding carries from one to the next.
    for (size_t end = window; end <= segmentEnergies.size(); ++end) {
        double sum = 0.0;
        for (size_t i = end - window; i < end; ++i) {
            sum += segmentEnergies[i];
        }
        energies.push_back(sum / frames);
    }
    return energies;
}

std::optional<double> GatedLoudness(std::span<const double> blockEnergies) {
    const auto [absoluteMean, audible] =
        MeanOf(blockEnergies, [](double e) { return e > kAbsoluteGate; });
    if (audible == 0) {
        return std::nullopt;
    }
    const double relativeGate = absoluteMean * 0.1;
    const auto [mean, passed] =
        MeanOf(blockEnergies, [=](double e) { return e > kAbsoluteGate && e > relativeGate; });
    if (passed == 0) {
        return std::nullopt;
    }
    return EnergyToLoudness(mean);
}

std::optional<double> GatedLoudnessRange(std::span<const double> shortTermEnergies) {
    const auto [absoluteMean, audible] =
        MeanOf(shortTermEnergies, [](double e) { return e >= kAbsoluteGate; });
    if (audible == 0) {
        return std::nullopt;
    }
    const double relativeGate = absoluteMean * 0.01;
    std::vector<double> kept;
    for (double e : shortTermEnergies) {
        if (e >= kAbsoluteGate && e >= relativeGate) {
            kept.push_back(e);
        }
    }
    if (kept.empty()) {
        return std::nullopt;
    }
    std::sort(kept.begin(), kept.end());
    const auto rank = [&](double share) {
        return kept[static_cast<size_t>(static_cast<double>(kept.size() - 1) * share + 0.5)];
    };
    return EnergyToLoudness(rank(0.95)) - EnergyToLoudness(rank(0.10));
}

}  // namespace tralux
