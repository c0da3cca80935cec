// The writes of a result: each kind through the engine's own write, with what every one keeps.

#include "operations/BroadcastMeter.h"
#include "operations/Operations.h"

namespace tralux {

bool Operations::WriteResultThrough(FileWork& work, FileData& file, const ResultWrite& write) {
    // What the file held when its values were counted: the source's scan, or the result's
    // count just before its plan.
    const std::string& source = planning_ ? file.SourceFile : file.ResultFile;
    const PassTotals expected = planning_ ? ScanTotalsOf(file) : work.Counted;
    // The measures of the result before describe another file; a meter gives the new one's.
    ForgetBroadcast(file, SweepSide::Result);
    const bool whole = write(work.Engine, source, expected);
    if (whole) {
        file.Loudness = work.Engine.PassLoudness(file);
        file.Normalised = true;
    }
    return whole;
}

bool Operations::WriteResult(FileWork& work, FileData& file, const ValueTable& table,
                             const std::string& label, const SampleHistogram* values) {
    return WriteResultThrough(
        work, file,
        [&](AudioEngine& engine, const std::string& source, const PassTotals& expected) {
            return engine.WriteMapped(file, source, file.ResultFile, table, label, expected,
                                      values);
        });
}

bool Operations::WriteGridResult(FileWork& work, FileData& file, const GridCounts& counts,
                                 const GridTable& table, const std::string& label,
                                 bool countsAreInput) {
    return WriteResultThrough(
        work, file,
        [&](AudioEngine& engine, const std::string& source, const PassTotals& expected) {
            return engine.WriteGridMapped(file, source, file.ResultFile, counts, table, label,
                                          expected, countsAreInput);
        });
}

}  // namespace tralux
