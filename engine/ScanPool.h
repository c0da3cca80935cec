#pragma once

#include <cstddef>
#include <functional>
#include <vector>

#include "AudioEngine.h"
#include "FileData.h"
#include "FilePool.h"
#include "SampleTable.h"

namespace tralux {

// Scans several sources at once, each worker with an engine and buffers of its own, while the
// caller's thread keeps the progress line, the estimate and Cancel going through the caller's
// engine and its sink (the only ones it touches). What the caller sees is what scanning the
// files one after the other, in list order, would give: each file's record and any message
// arrive in that order, and nothing of a file after the one where the run stopped.
class ScanPool {
public:
    struct Job {
        FileData* File = nullptr;
        SampleHistogram* Counts = nullptr;  // as ScanFile's counts; null: measured only
        GridCounts* Grid = nullptr;         // the same for a file of another integer grid
        // With no Counts: counted all the same into counts of the scan's own, which the caller
        // is given with the record and which are dropped after.
        bool CountAside = false;
        // Shown the scan's samples on the worker's thread (a meter of the job's own); none: the
        // scan is shown to no one.
        BlockObserver* Observer = nullptr;
    };

    // Scans through pool's workers.
    explicit ScanPool(FilePool& pool) : pool_(pool) {}

    // Scans every job's file (ScanFile), then calls scanned(i, counted aside or null) on the
    // caller's thread for each job in order, its record updated, as soon as it and every job
    // before it have been
    // scanned. Stops when the caller's engine stops running (Cancel, a failure told through the
    // caller's sink): the file in hand then ends as its scan ended, and no later one is changed
    // or reported. A file that cannot be opened throws PassOpenError here, in its turn.
    void Run(const std::vector<Job>& jobs,
             const std::function<void(size_t, const SampleHistogram*)>& scanned);

private:
    FilePool& pool_;
};

}  // namespace tralux
