#pragma once

#include <cstddef>
#include <functional>
#include <memory>
#include <vector>

#include "AudioEngine.h"

namespace tralux {

// Works on several files at once, each worker with an engine and buffers of its own, while the
// caller's thread keeps the progress line, the estimate and Cancel going through the caller's
// engine and its sink (the only ones it touches). What the caller sees is what working on the
// files one after the other, in list order, would give: each job's passes, messages and what it
// tells arrive in that order, and nothing of a job after the one where the run stopped. A
// worker's write does not make its new file whole under its name: the file is handed to the
// caller, who commits it in its turn, so a run stopped at one file changes no result after it.
class FilePool {
public:
    // What a job's work is given, on its worker's thread.
    class Worker {
    public:
        // The worker's engine, set up as the caller's (file access, transforms, output folders,
        // FLAC level) with Running set, no meter, and each whole write's new file handed off.
        virtual AudioEngine& Engine() = 0;
        // Runs told on the caller's thread, in its turn among the job's passes; not at all once
        // the run has stopped.
        virtual void Tell(std::function<void()> told) = 0;
        // Which worker this is, from 0, for scratch space kept per worker.
        virtual int Number() const = 0;

    protected:
        ~Worker() = default;
    };
    using Work = std::function<void(Worker&, size_t job)>;
    // Called on the caller's thread for each job in order, once it is done, with the new file
    // its write handed off: null when none, or when the run has stopped (the file is then
    // dropped and never takes its name).
    using Done = std::function<void(size_t job, std::unique_ptr<AudioEngine::FinishedResult>)>;

    // workers: how many jobs run at once (2 or more to gain anything), each worker with an
    // engine made here and kept, buffers and all, for every run.
    FilePool(AudioEngine& engine, int workers);
    ~FilePool();
    FilePool(const FilePool&) = delete;
    FilePool& operator=(const FilePool&) = delete;

    int Workers() const;

    // Runs work for jobs 0 to count - 1 and calls done for each in order; ahead: how far past
    // the job the caller is on a worker may begin one (what jobs done but not yet told hold).
    // Stops when the
    // caller's engine stops running (Cancel, a failure told, a told function that clears
    // Running): the job in hand ends as its work ended, and no later one is told or done. What a
    // job's work throws (a PassOpenError) is thrown here in its turn, once the result before it
    // is settled. Every worker has ended when this returns.
    void Run(size_t count, size_t ahead, const Work& work, const Done& done);

    class Side;  // a worker and its engine

private:
    AudioEngine& engine_;
    std::vector<std::unique_ptr<Side>> sides_;
};

}  // namespace tralux
