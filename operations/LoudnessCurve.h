#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "engine/SampleTable.h"

namespace tralux {

// The short-term loudness a file's picture shows: root-mean-square sample values on the 16-bit
// scale, over windows of three seconds that start every second (a window's level is read
// easily against the whole file's, and one a second keeps a long file's curve short).
inline constexpr int32_t CurveStepFrames = 44100;
inline constexpr int32_t CurveWindowFrames = 3 * CurveStepFrames;

// The levels of a 16-bit stereo WAV file's windows, in time order: the first window starts at
// the first frame, and the last whole window ends the curve (the frames after it, under a
// second's worth, are left out). A file shorter than a window gives one level over all of it.
// With a table each sample is taken as what the table maps it to, so the source read through
// a plan's table gives the curve of the planned result. A file that cannot be opened, is not a
// file the runs take, or holds no frame gives an empty curve. Reads in pieces of 1 MiB, under
// the same exclusive lock as the runs.
std::vector<double> ReadLoudnessCurve(const std::string& path, const ValueTable* table = nullptr);

}  // namespace tralux
