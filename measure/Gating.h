#pragma once

#include <cstddef>
#include <optional>
#include <span>
#include <vector>

// The statistics over the energies of the 100 ms segments a meter collects: the gated
// integrated loudness and the loudness range. Energies are mean squares of the K-weighted
// samples, summed over the channels with their weights; full scale sine on one channel of
// weight 1 gives about -3 LUFS.

namespace tralux {

// LUFS of an energy; minus infinity for zero.
double EnergyToLoudness(double energy);

// The energies of the windows of window segments (each segment holding segmentFrames
// frames), one ending at each segment from the window-th on.
std::vector<double> WindowEnergies(std::span<const double> segmentEnergies, size_t window,
                                   size_t segmentFrames);

// Integrated loudness of 400 ms blocks: those above -70 LUFS, then of those the ones above
// the loudness of their mean energy less 10 LU. None when no block passes.
std::optional<double> GatedLoudness(std::span<const double> blockEnergies);

// Loudness range of 3 s windows: those at or above -70 LUFS, then those at or above the
// loudness of their mean energy less 20 LU; the spread from the 10th to the 95th percentile
// (nearest rank). None when no window passes.
std::optional<double> GatedLoudnessRange(std::span<const double> shortTermEnergies);

}  // namespace tralux
