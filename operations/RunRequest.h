#pragma once

#include <optional>

#include "engine/FileData.h"
#include "settings/Options.h"

namespace tralux {

// What the user asked of one run, taken as a value when it starts: the run never asks the
// window (or the terminal) again for its reference, its options or its answers.
struct RunRequest {
    // Result naming and folders, the compression limits, the final limiting and the unit of
    // the loudness values in messages, as the options stood when the run was asked for.
    Options options;
    ReferenceChoice reference = ReferenceChoice::Quietest;
    // The file of the highlighted row (Highlighted); nullptr when the list is empty.
    const FileData* highlighted = nullptr;
    // The level of the chosen preset (Preset): on the sample scale, or in LUFS when balancing
    // by LUFS; nullopt when none is chosen.
    std::optional<double> presetLevel;
    // What Balance brings the files to: their RMS (as always) or their integrated loudness,
    // under options.truepeaklimit.
    BalanceMeasure measure = BalanceMeasure::Rms;
    // By LUFS: a loudness given directly (LUFS), which takes the place of reference.
    std::optional<double> lufsTarget;
    // Every question the run would ask is answered Yes without asking (tralux-cli's --yes);
    // the host is still told each one and its answer.
    bool answerYes = false;
};

}  // namespace tralux
