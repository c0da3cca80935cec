#include "ScanPool.h"

#include <algorithm>
#include <memory>
#include <optional>
#include <vector>

namespace tralux {

void ScanPool::Run(const std::vector<Job>& jobs,
                   const std::function<void(size_t, const SampleHistogram*)>& scanned) {
    // Each worker scans a copy of its file's record, which takes the file's place in its turn.
    std::vector<std::optional<FileData>> copies(jobs.size());
    std::vector<std::unique_ptr<SampleHistogram>> aside(jobs.size());
    // A scan done ahead holds its record and its counts until its turn. The keys of a 24-bit
    // file can take a hundred megabytes and more: of such files, no scan runs more than one
    // file ahead.
    const bool keysCounted =
        std::any_of(jobs.begin(), jobs.end(), [](const Job& job) { return job.Grid != nullptr; });
    pool_.Run(
        jobs.size(), keysCounted ? 1 : 2 * size_t(pool_.Workers()),
        [&](FilePool::Worker& worker, size_t i) {
            copies[i].emplace(*jobs[i].File);
            SampleHistogram* counts = jobs[i].Counts;
            if (counts == nullptr && jobs[i].CountAside) {
                aside[i] = std::make_unique<SampleHistogram>();
                counts = aside[i].get();
            }
            AudioEngine& engine = worker.Engine();
            engine.Observer = jobs[i].Observer;
            try {
                engine.ScanFile(*copies[i], counts, jobs[i].Grid);
            } catch (...) {
                engine.Observer = nullptr;
                throw;
            }
            engine.Observer = nullptr;
        },
        [&](size_t i, std::unique_ptr<AudioEngine::FinishedResult>) {
            *jobs[i].File = std::move(*copies[i]);
            copies[i].reset();
            scanned(i, aside[i].get());
            aside[i].reset();
        });
}

}  // namespace tralux
