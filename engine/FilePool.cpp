#include "FilePool.h"

#include <pthread.h>
#include <signal.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <exception>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace tralux {
namespace {

// What a worker's engine showed or told during a job, in order, for the caller to show.
struct JobEvent {
    enum class Kind { PassStarted, PassEnded, Error, Told };
    Kind What;
    std::string Text;  // the pass's label, or the error's message
    std::string FileName;
    int Percent = 0;  // where an ended pass stopped
    std::function<void()> Told;
};

// One job as its worker did it, handed to the caller's thread.
struct JobSlot {
    std::vector<JobEvent> Events;
    int Percent = 0;     // progress of the pass under way
    double Units = 0.0;  // work done, as the worker's estimator counted it
    double Added = 0.0;  // work announced during the job
    std::unique_ptr<AudioEngine::FinishedResult> Result;
    std::exception_ptr Failure;
    bool Stopped = false;  // the worker's engine was no longer running at the job's end
    bool Done = false;
};

// What the workers and the caller's thread share; everything but the stop flag under Mutex.
struct SharedJobs {
    std::mutex Mutex;
    std::condition_variable Changed;   // a job moved on: the caller waits for it
    std::condition_variable Advanced;  // the caller moved on or the run stops: workers wait
    std::vector<std::unique_ptr<JobSlot>> Slots;
    size_t Next = 0;     // the next job to hand out
    size_t Current = 0;  // the job the caller is showing
    size_t Ahead = 0;
    // Jobs from this one on stop after their current block and are not begun: all of them on
    // Cancel, those after a job where the run ends.
    std::atomic<size_t> StopFrom{SIZE_MAX};

    void StopFromJob(size_t index) {
        size_t now = StopFrom.load();
        while (index < now && !StopFrom.compare_exchange_weak(now, index)) {
        }
        { std::lock_guard<std::mutex> lock(Mutex); }  // no worker is between test and wait
        Advanced.notify_all();
    }
};

// What a worker's engine is set up with: the caller's, taken on the caller's thread.
struct EngineModel {
    FileAccess* Files;
    TransformSet Transforms;
    const OutputFolders* Outputs;
    int FlacLevelChoice;
};

// A worker: its engine's sink, which keeps what a job shows for the caller's thread and shows
// nothing itself, and stops its engine once the caller says so.
class WorkerSide final : public ProgressSink, public FilePool::Worker {
public:
    WorkerSide(SharedJobs& shared, const EngineModel& model, int number)
        : shared_(shared), engine_(*this, SteadyClock(), *model.Files), number_(number) {
        engine_.Transforms = model.Transforms;
        engine_.Outputs = model.Outputs;
        engine_.FlacLevelChoice = model.FlacLevelChoice;
        engine_.HandsOffResults = true;
    }

    // Takes the next job, waiting while it lies too far ahead; false when none is left.
    bool TakeJob(size_t count) {
        std::unique_lock<std::mutex> lock(shared_.Mutex);
        for (;;) {
            const size_t next = shared_.Next;
            if (next >= std::min(count, shared_.StopFrom.load())) {
                return false;
            }
            if (next <= shared_.Current + shared_.Ahead) {
                index_ = shared_.Next++;
                slot_ = shared_.Slots[index_].get();
                break;
            }
            shared_.Advanced.wait_for(lock, std::chrono::milliseconds(50));
        }
        engine_.Running = true;
        engine_.Estimator.WorkDone = 0.0;
        engine_.Estimator.WorkRemaining = 0.0;
        return true;
    }

    void RunJob(const FilePool::Work& work) {
        std::exception_ptr failure;
        try {
            work(*this, index_);
        } catch (...) {
            failure = std::current_exception();
        }
        {
            std::lock_guard<std::mutex> lock(shared_.Mutex);
            TakeEstimate();
            slot_->Result = engine_.TakeFinishedResult();
            slot_->Failure = failure;
            slot_->Stopped = !engine_.Running;
            slot_->Done = true;
        }
        shared_.Changed.notify_all();
        if (failure || !engine_.Running) {
            // The run ends at this job: a later one need not be begun.
            shared_.StopFromJob(index_ + 1);
        }
    }

    AudioEngine& Engine() override { return engine_; }
    void Tell(std::function<void()> told) override {
        Add({JobEvent::Kind::Told, {}, {}, 0, std::move(told)});
    }
    int Number() const override { return number_; }

    void PassStarted(const std::string& label, const std::string& fileName) override {
        {
            std::lock_guard<std::mutex> lock(shared_.Mutex);
            slot_->Percent = 0;
        }
        Add({JobEvent::Kind::PassStarted, label, fileName, 0, nullptr});
    }
    void PassProgress(int percent) override {
        std::lock_guard<std::mutex> lock(shared_.Mutex);
        slot_->Percent = percent;
    }
    void PassEnded() override {
        int percent = 0;
        {
            std::lock_guard<std::mutex> lock(shared_.Mutex);
            percent = slot_->Percent;
        }
        Add({JobEvent::Kind::PassEnded, {}, {}, percent, nullptr});
    }
    void ShowEstimate(const std::string&, const std::string&) override {}
    void PumpEvents() override {
        {
            std::lock_guard<std::mutex> lock(shared_.Mutex);
            TakeEstimate();
        }
        if (index_ >= shared_.StopFrom.load(std::memory_order_relaxed)) {
            engine_.Running = false;
        }
    }
    void ReportError(const std::string& message) override {
        Add({JobEvent::Kind::Error, message, {}, 0, nullptr});
    }

private:
    void Add(JobEvent event) {
        {
            std::lock_guard<std::mutex> lock(shared_.Mutex);
            slot_->Events.push_back(std::move(event));
        }
        shared_.Changed.notify_all();
    }
    // Under the mutex.
    void TakeEstimate() {
        slot_->Units = engine_.Estimator.WorkDone;
        slot_->Added = engine_.Estimator.WorkRemaining + engine_.Estimator.WorkDone;
    }

    SharedJobs& shared_;
    AudioEngine engine_;
    int number_;
    JobSlot* slot_ = nullptr;
    size_t index_ = 0;
};

void WorkJobs(SharedJobs& shared, size_t count, const FilePool::Work& work,
              const EngineModel& model, int number) {
    WorkerSide side(shared, model, number);
    while (side.TakeJob(count)) {
        side.RunJob(work);
    }
}

// How far the caller has shown a job.
struct ShownJob {
    size_t Events = 0;
    int Percent = -1;
    bool InPass = false;
    double Units = 0.0;
    double Added = 0.0;
};

}  // namespace

FilePool::FilePool(AudioEngine& engine, int workers, size_t ahead)
    : engine_(engine), workers_(std::max(1, workers)), ahead_(std::max<size_t>(1, ahead)) {}

void FilePool::Run(size_t count, const Work& work, const Done& done) {
    SharedJobs shared;
    shared.Ahead = ahead_;
    for (size_t i = 0; i < count; ++i) {
        shared.Slots.push_back(std::make_unique<JobSlot>());
    }
    const EngineModel model{&engine_.Files(), engine_.Transforms, engine_.Outputs,
                            engine_.FlacLevelChoice};
    std::vector<std::thread> threads;
    // Every worker is stopped and joined however the caller's part ends.
    struct Joiner {
        SharedJobs& Shared;
        std::vector<std::thread>& Threads;
        ~Joiner() {
            Shared.StopFromJob(0);
            for (std::thread& thread : Threads) {
                thread.join();
            }
        }
    } joiner{shared, threads};
    {
        // A Ctrl-C or a closing terminal goes to the caller's thread, as with no worker.
        sigset_t all, before;
        sigfillset(&all);
        pthread_sigmask(SIG_BLOCK, &all, &before);
        const size_t workers = std::min<size_t>(size_t(workers_), count);
        for (size_t w = 0; w < workers; ++w) {
            threads.emplace_back(WorkJobs, std::ref(shared), count, std::cref(work),
                                 std::cref(model), int(w));
        }
        pthread_sigmask(SIG_SETMASK, &before, nullptr);
    }

    ProgressSink& sink = engine_.Sink();
    for (size_t i = 0; i < count; ++i) {
        {
            std::lock_guard<std::mutex> lock(shared.Mutex);
            shared.Current = i;
        }
        shared.Advanced.notify_all();
        JobSlot& slot = *shared.Slots[i];
        ShownJob shown;
        for (;;) {
            std::vector<JobEvent> fresh;
            int percent = 0;
            bool done = false;
            double units = 0.0, added = 0.0;
            {
                std::unique_lock<std::mutex> lock(shared.Mutex);
                shared.Changed.wait_for(lock, std::chrono::milliseconds(20), [&] {
                    return slot.Done || slot.Events.size() > shown.Events;
                });
                for (size_t e = shown.Events; e < slot.Events.size(); ++e) {
                    fresh.push_back(std::move(slot.Events[e]));
                }
                shown.Events = slot.Events.size();
                percent = slot.Percent;
                done = slot.Done;
                units = slot.Units;
                added = slot.Added;
            }
            // The estimate counts the job's work as the worker does it.
            engine_.Estimator.WorkRemaining += added - shown.Added;
            shown.Added = added;
            if (units > shown.Units) {
                engine_.Estimator.UpdateEstimate(static_cast<int32_t>(units - shown.Units), false);
                shown.Units = units;
            }
            for (JobEvent& event : fresh) {
                switch (event.What) {
                    case JobEvent::Kind::PassStarted:
                        sink.PassStarted(event.Text, event.FileName);
                        sink.PumpEvents();
                        shown.InPass = true;
                        shown.Percent = -1;
                        break;
                    case JobEvent::Kind::PassEnded:
                        if (event.Percent != shown.Percent) {
                            sink.PassProgress(event.Percent);
                        }
                        sink.PassEnded();
                        sink.PumpEvents();
                        shown.InPass = false;
                        break;
                    case JobEvent::Kind::Error:
                        sink.ReportError(event.Text);
                        engine_.Running = false;
                        break;
                    case JobEvent::Kind::Told:
                        if (engine_.Running) {
                            event.Told();
                        }
                        break;
                }
            }
            if (!engine_.Running) {
                shared.StopFromJob(0);  // each worker stops after its current block
            }
            if (done) {
                break;
            }
            if (shown.InPass && percent != shown.Percent) {
                sink.PassProgress(percent);
                shown.Percent = percent;
            }
            sink.PumpEvents();
            if (!engine_.Running) {
                shared.StopFromJob(0);
            }
        }
        if (slot.Failure) {
            // A failure of the result before is told first, as it came first.
            engine_.SettleResults();
            std::rethrow_exception(slot.Failure);
        }
        if (slot.Stopped) {
            engine_.Running = false;
        }
        std::unique_ptr<AudioEngine::FinishedResult> result = std::move(slot.Result);
        if (!engine_.Running) {
            result.reset();  // dropped: its new file never takes its name
        }
        done(i, std::move(result));
        shared.Slots[i].reset();
        if (!engine_.Running) {
            return;
        }
    }
}

}  // namespace tralux
