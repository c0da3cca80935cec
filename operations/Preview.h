#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "engine/BlockTransforms.h"
#include "engine/FileData.h"
#include "engine/GridValues.h"
#include "engine/SampleTable.h"
#include "operations/RunRequest.h"
#include "plan/BalancePlanner.h"

namespace tralux {

// What a measuring run keeps of one listed file: its scan and the counts of its source's
// sample values, so that any reference, preset, grouping or option is planned again, as
// Prepare & Balance plans it, without reading the file again.
struct MeasuredFile {
    const FileData* File = nullptr;  // the listed record; its GroupNumber is read at planning
    int64_t Frames = 0;
    double Peak = 0.0;  // on the scale
    double SourceLoudness = 0.0;
    bool Ignored = false;                           // completely silent
    std::shared_ptr<const SampleHistogram> Values;  // the source's, as read (16-bit)
    int64_t Channels = 2;
    std::shared_ptr<const GridCounts> GridValues;  // the same for another integer grid
};

using Measurements = std::vector<MeasuredFile>;

// What the run would do to one file.
struct PreviewRow {
    bool Planned = false;        // false: silent, or no reference to plan for
    double Loudness = 0.0;       // the result's loudness, on the sample scale
    double GainDb = 0.0;         // result loudness over source loudness
    double Compression = 1.0;    // how far compression raises the loudness; 1 without it
    bool TargetReached = false;  // the planning ended on the target
    double Target = 0.0;         // on the sample scale; in LUFS in a preview by LUFS
    // A preview by LUFS: the result's planned integrated loudness (none when the gates keep
    // nothing) and true peak (dBTP); GainDb is then in LU.
    std::optional<double> Lufs;
    double TruePeakDb = -200.0;
    // What each source sample value becomes: the source read through it is the result.
    // Null for a file of another grid.
    std::shared_ptr<const ValueTable> Table;
};

struct Preview {
    std::vector<PreviewRow> Rows;  // by position in the measurements
    // Why nothing could be planned (no highlighted file, a silent reference, no preset);
    // empty when the plan stands.
    std::string Problem;
    double Reference = 0.0;  // after any lowering for the maximum compression
    bool ReferenceLowered = false;
    bool ByLufs = false;  // planned by integrated loudness: Reference and targets in LUFS
};

// Plans every measured file for request exactly as Prepare & Balance plans it when every
// question is answered Yes: the same normalising by file or group peak, the same reference
// and its lowering, the same targets and the same planner. Reads no file; the groups are the
// records' GroupNumber now, and request.highlighted is matched against MeasuredFile::File.
Preview PlanPreview(const Measurements& measured, const RunRequest& request,
                    const BalancePlanner& planner, int maxAdjustSteps);

// The root mean square (on the scale) of the measured file's kept values through chain: what
// a write of its source through chain measures.
double PlannedLoudness(const MeasuredFile& measured, const std::vector<TransformStep>& chain,
                       const TransformSet& transforms);

// The gain each measured file is normalised by in Prepare & Balance (its own peak, or its
// group's, to full scale); 1 for a file that is silent or not usable.
std::vector<double> NormalisingGains(const Measurements& measured);

}  // namespace tralux
