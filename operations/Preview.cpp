#include "operations/Preview.h"

#include <cmath>

#include "engine/WideValues.h"
#include "operations/Operations.h"

namespace tralux {
namespace {

constexpr double FullScale = 32767.0;

// One file as Prepare & Balance knows it once its Prepare phase has ended.
struct Normalised {
    double Gain = 1.0;
    double Loudness = 0.0;
    double LoudestRatio = 1.0;
    double QuietestRatio = 1.0;
};

// The Prepare phase's arithmetic on the counts: each file goes to full scale by its own
// peak, or its group's, and grouped files keep their ratio to the group's loudest and
// quietest (the earlier file on equal loudness).
std::vector<Normalised> NormaliseAll(const Measurements& measured, const BalancePlanner& planner) {
    std::vector<Normalised> result(measured.size());
    const auto groupOf = [&](size_t i) { return measured[i].File->GroupNumber; };
    const auto usable = [&](size_t i) { return !measured[i].Ignored && measured[i].Peak > 0; };
    const std::vector<double> gains = NormalisingGains(measured);
    for (size_t i = 0; i < measured.size(); ++i) {
        if (!usable(i)) {
            continue;
        }
        BalanceRequest request;
        request.Frames = measured[i].Frames;
        request.Channels = measured[i].Channels;
        request.NormalisingGain = gains[i];
        result[i].Gain = *request.NormalisingGain;
        result[i].Loudness = measured[i].Values
                                 ? planner.Plan(*measured[i].Values, request).Loudness
                                 : planner.Plan(*measured[i].GridValues, request).Loudness;
    }
    for (size_t i = 0; i < measured.size(); ++i) {
        if (!usable(i) || groupOf(i) <= 0) {
            continue;
        }
        double loudest = -1.0;
        double quietest = -1.0;
        for (size_t j = 0; j < measured.size(); ++j) {
            if (!usable(j) || groupOf(j) != groupOf(i)) {
                continue;
            }
            if (loudest < 0.0 || result[j].Loudness > loudest) {
                loudest = result[j].Loudness;
            }
            if (quietest < 0.0 || result[j].Loudness < quietest) {
                quietest = result[j].Loudness;
            }
        }
        result[i].LoudestRatio = result[i].Loudness / loudest;
        result[i].QuietestRatio = result[i].Loudness / quietest;
    }
    return result;
}

double TargetGain(const MeasuredFile& file, const Normalised& normalised, bool anchorAtLoudest) {
    if (file.File->GroupNumber > 0) {
        return anchorAtLoudest ? normalised.LoudestRatio : normalised.QuietestRatio;
    }
    return 1.0;
}

}  // namespace

std::vector<double> NormalisingGains(const Measurements& measured) {
    std::vector<double> gains(measured.size(), 1.0);
    const auto groupOf = [&](size_t i) { return measured[i].File->GroupNumber; };
    for (size_t i = 0; i < measured.size(); ++i) {
        if (measured[i].Ignored || !(measured[i].Peak > 0)) {
            continue;
        }
        double peak = measured[i].Peak;
        if (groupOf(i) > 0) {
            for (size_t j = 0; j < measured.size(); ++j) {
                if (!measured[j].Ignored && groupOf(j) == groupOf(i) && measured[j].Peak > peak) {
                    peak = measured[j].Peak;
                }
            }
        }
        gains[i] = FullScale / peak;
    }
    return gains;
}

double PlannedLoudness(const MeasuredFile& measured, const std::vector<TransformStep>& chain,
                       const TransformSet& transforms) {
    const double samples = static_cast<double>(measured.Frames * measured.Channels);
    if (!(samples > 0.0)) {
        return 0.0;
    }
    if (measured.Values) {
        ValueTable table;
        for (const TransformStep& step : chain) {
            table.Apply(transforms, step);
        }
        return std::sqrt(static_cast<double>(MappedSumOfSquares(*measured.Values, table)) /
                         samples);
    }
    if (!measured.GridValues) {
        return 0.0;
    }
    const GridCounts& counts = *measured.GridValues;
    if (WideFormat(counts.Format)) {
        // Each kept value through the chain, measured as the write measures what it writes.
        const WideGrid wide(counts.Format);
        std::vector<uint64_t> mapped;
        mapped.reserve(counts.Wide.size());
        for (const WideValue& value : counts.Wide) {
            mapped.push_back(value.Bits);
        }
        for (const TransformStep& step : chain) {
            wide.Apply(step, mapped.data(), mapped.size());
        }
        WideMeasure measure;
        wide.MeasureValues(mapped.data(), counts.Wide.data(), counts.Wide.size(), measure);
        return wide.Loudness(measure.Squares.Total().Value(), measured.Frames * measured.Channels);
    }
    const SampleGrid grid(measured.GridValues->Format);
    GridTable table = IdentityTable(*measured.GridValues);
    for (const TransformStep& step : chain) {
        ApplyStep(grid, step, table);
    }
    return grid.Loudness(MeasureTable(grid, *measured.GridValues, table).Sum,
                         measured.Frames * measured.Channels);
}

Preview PlanPreview(const Measurements& measured, const RunRequest& request,
                    const BalancePlanner& planner, int maxAdjustSteps) {
    Preview preview;
    preview.Rows.resize(measured.size());
    for (const MeasuredFile& file : measured) {
        if (!file.Ignored && !file.Values && !file.GridValues) {
            preview.Problem = messages::PreviewTooLarge;  // their counts were not kept
            return preview;
        }
    }
    const std::vector<Normalised> normalised = NormaliseAll(measured, planner);
    const auto balanceable = [&](size_t i) {
        return !measured[i].Ignored && normalised[i].Loudness > 0.0;
    };

    double loudest = 0.0;
    double quietest = 40000.0;
    for (size_t i = 0; i < measured.size(); ++i) {
        if (balanceable(i)) {
            loudest = std::max(loudest, normalised[i].Loudness);
            quietest = std::min(quietest, normalised[i].Loudness);
        }
    }

    double reference = 0.0;
    switch (request.reference) {
        case ReferenceChoice::Highlighted: {
            preview.Problem = messages::NoHighlightedFile;
            for (size_t i = 0; i < measured.size(); ++i) {
                if (request.highlighted != nullptr && measured[i].File == request.highlighted) {
                    preview.Problem = balanceable(i) ? "" : messages::SilentReference;
                    reference = normalised[i].Loudness;
                }
            }
            break;
        }
        case ReferenceChoice::Quietest:
            reference = quietest;
            break;
        case ReferenceChoice::Loudest:
            reference = loudest;
            break;
        case ReferenceChoice::Preset:
            if (!request.presetLevel || !(*request.presetLevel > 0.0)) {
                preview.Problem = messages::NoPreset;
            } else {
                reference = *request.presetLevel;
            }
            break;
    }
    if (!preview.Problem.empty()) {
        return preview;
    }

    const Options& options = request.options;
    const bool anchorAtLoudest = reference > quietest;
    for (size_t i = 0; i < measured.size(); ++i) {
        if (!balanceable(i)) {
            continue;
        }
        const double gain = TargetGain(measured[i], normalised[i], anchorAtLoudest);
        if (reference * gain / normalised[i].Loudness > options.maxcompfactor) {
            reference = options.maxcompfactor * normalised[i].Loudness / gain;
            preview.ReferenceLowered = true;
        }
    }
    preview.Reference = reference;

    const bool finalLimiting =
        options.dofinalnorm && options.normaliselevel > 0 && options.normaliselevel < 32767;
    for (size_t i = 0; i < measured.size(); ++i) {
        if (!balanceable(i)) {
            continue;
        }
        BalanceRequest plan;
        plan.Frames = measured[i].Frames;
        plan.Channels = measured[i].Channels;
        plan.NormalisingGain = normalised[i].Gain;
        plan.Loudness = normalised[i].Loudness;
        plan.Target = reference * TargetGain(measured[i], normalised[i], anchorAtLoudest);
        if (finalLimiting) {
            plan.FinalGain = static_cast<double>(options.normaliselevel) / FullScale;
        }
        plan.MaxAdjustSteps = maxAdjustSteps;
        PreviewRow& row = preview.Rows[i];
        const auto show = [&](const auto& planned) {
            row.Planned = true;
            row.Loudness = planned.Loudness;
            row.Target = plan.Target;
            row.GainDb = measured[i].SourceLoudness > 0.0 && planned.Loudness > 0.0
                             ? 20.0 * std::log10(planned.Loudness / measured[i].SourceLoudness)
                             : 0.0;
            row.Compression =
                planned.Compressions > 0 ? planned.AdjustedLoudness / normalised[i].Loudness : 1.0;
            row.TargetReached = !planned.ShortOfTarget();
        };
        if (!measured[i].Values) {
            show(planner.Plan(*measured[i].GridValues, plan));
            continue;
        }
        const BalancePlan planned = planner.Plan(*measured[i].Values, plan);
        show(planned);
        row.Table = std::make_shared<const ValueTable>(planned.Table);
    }
    return preview;
}

std::optional<Measurements> Operations::Measure() {
    const std::vector<FileData*> files = host_.Files();
    if (engine_.Running || files.empty()) {
        return std::nullopt;
    }
    engine_.Running = true;
    AttachMeter();
    double frames = 0.0;
    std::vector<std::string> names;
    for (const FileData* file : files) {
        frames += file->FrameCount;
        names.push_back(FileNamePart(file->SourceFile, Paths));
    }
    // One read of each source; nothing is written, so no output folder is checked or held.
    engine_.Estimator.ResetEstimate(frames);
    host_.ShowProgressLine(names);
    engine_.Estimator.StartTiming();
    Measurements measured;
    size_t gridBytes = 0;
    try {
        for (FileData* file : files) {
            if (!engine_.Running) {
                break;
            }
            std::shared_ptr<SampleHistogram> values;
            std::shared_ptr<GridCounts> gridValues;
            if (file->IsPlain16Bit()) {
                values = std::make_shared<SampleHistogram>();
            } else {
                gridValues = std::make_shared<GridCounts>();
            }
            // A scan leaves the result as not written (Normalised false): its measures go too.
            ForgetBroadcast(*file, SweepSide::Source);
            ForgetBroadcast(*file, SweepSide::Result);
            engine_.ScanFile(*file, values.get(), gridValues.get());
            if (gridValues) {
                gridBytes += gridValues->HeldBytes();
                // More than a preview may hold; or values that would be read again for each
                // pass, too slow to plan again at every change of the request.
                if (gridBytes > PreviewGridBytes || gridValues->Samples) {
                    gridValues.reset();
                }
            }
            if (engine_.Running && file->Peak == 0) {
                host_.ShowWarning("File \"" + file->SourceFile +
                                  "\" is completely silent and will be ignored");
                file->Ignored = true;
            }
            measured.push_back({file, file->FrameCount, file->Peak, file->ScanLoudness,
                                file->Ignored, values, file->Channels(), gridValues});
        }
    } catch (const PassOpenError& error) {
        // A source gone or unreadable: told, and the run ends as a Cancel would.
        host_.ShowOpenError(error.what(), error.Reason());
        Cancel();
    }
    const bool whole = engine_.Running;
    if (whole) {
        // The sources' values are measured; the results' are planned, not written.
        SourceLoudnessShown = true;
        ResultLoudnessShown = true;
        host_.LoudnessChanged();
    }
    FinishOperation();
    if (!whole) {
        return std::nullopt;
    }
    return measured;
}

Preview Operations::PlanFromMeasurements(const Measurements& measured,
                                         const RunRequest& request) const {
    return PlanPreview(measured, request, planner_, MaxAdjustPasses);
}

}  // namespace tralux
