#pragma once

#include <vector>

#include "operations/LufsChainMeter.h"
#include "operations/Operations.h"

namespace tralux {

// A file, or a track group's members, balanced as one.
struct Operations::LufsUnit {
    std::vector<size_t> Members;           // positions in the list
    std::vector<SegmentReading> Readings;  // of what each member's write reads
    LoudnessReading Base;                  // the members together, as they are read
    // The loudness gain alone reaches, its true peak just under the ceiling: what the
    // quietest, loudest and highlighted references compare.
    double Reachable = 0.0;
    // The ceiling its plan aims under: the requested one, less the margin of its coarsest grid.
    double Ceiling = 0.0;
    // The gain every member's chain begins with when it is planned on the sources: the
    // normalising, which the group's peak sets for all its members.
    double LeadGain = 1.0;
};

}  // namespace tralux
