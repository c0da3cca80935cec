#include "FilePool.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <exception>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "files/SerialWorker.h"

namespace tralux {
namespace {

// What a worker's engine showed or told during a job, in order, for the caller to show: every
// step of progress, so that the caller shows it (and lets the user act) where one file at a
// time would.
struct JobEvent {
    enum class Kind { PassStarted, PassProgress, PassEnded, Error, Told };
    Kind What;
    std::string Text;  // the pass's label, or the error's message
    std::string FileName;
    int Percent = 0;
    std::function<void()> Told;
    // The job's work so far, as the worker's estimator counted it: done, and announced.
    double Units = 0.0;
    double Added = 0.0;
    // Steps of progress after this one at the same percent, shown as many times: a pass's
    // steps take a few events however many blocks it has.
    int64_t Repeats = 0;
};

// One job as its worker did it, handed to the caller's thread.
struct JobSlot {
    std::vector<JobEvent> Events;
    double Units = 0.0;  // the job's work at its end, as in JobEvent
    double Added = 0.0;
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
    const AudioEngine* Caller;  // whose dense tables every worker takes in turns
    FileAccess* Files;
    TransformSet Transforms;
    const OutputFolders* Outputs;
    int FlacLevelChoice;
};

}  // namespace

// A worker: its engine, kept with its buffers for every run of the pool, and the engine's sink,
// which keeps what a job shows for the caller's thread and shows nothing itself, and stops the
// engine once the caller says so.
class FilePool::Side final : public ProgressSink, public FilePool::Worker {
public:
    Side(FileAccess& files, int number) : engine_(*this, SteadyClock(), files), number_(number) {
        engine_.HandsOffResults = true;
        engine_.LongPassFrom = SIZE_MAX;  // the other workers have the other cores
    }

    // Takes part in a run, its engine set up as the caller's.
    void Join(SharedJobs& shared, const EngineModel& model) {
        shared_ = &shared;
        engine_.Transforms = model.Transforms;
        engine_.Outputs = model.Outputs;
        engine_.FlacLevelChoice = model.FlacLevelChoice;
        engine_.ShareDenseKeys(*model.Caller);
    }

    // Takes the next job, waiting while it lies too far ahead; false when none is left.
    bool TakeJob(size_t count) {
        std::unique_lock<std::mutex> lock(shared_->Mutex);
        for (;;) {
            const size_t next = shared_->Next;
            if (next >= std::min(count, shared_->StopFrom.load())) {
                return false;
            }
            if (next <= shared_->Current + shared_->Ahead) {
                index_ = shared_->Next++;
                slot_ = shared_->Slots[index_].get();
                break;
            }
            shared_->Advanced.wait_for(lock, std::chrono::milliseconds(50));
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
            std::lock_guard<std::mutex> lock(shared_->Mutex);
            slot_->Units = engine_.Estimator.WorkDone;
            slot_->Added = engine_.Estimator.WorkRemaining + engine_.Estimator.WorkDone;
            slot_->Result = engine_.TakeFinishedResult();
            slot_->Failure = failure;
            slot_->Stopped = !engine_.Running;
            slot_->Done = true;
        }
        shared_->Changed.notify_all();
        if (failure || !engine_.Running) {
            // The run ends at this job: a later one need not be begun.
            shared_->StopFromJob(index_ + 1);
        }
    }

    AudioEngine& Engine() override { return engine_; }
    void Tell(std::function<void()> told) override {
        Add({JobEvent::Kind::Told, {}, {}, 0, std::move(told)});
    }
    int Number() const override { return number_; }

    void PassStarted(const std::string& label, const std::string& fileName) override {
        Add({JobEvent::Kind::PassStarted, label, fileName, 0, nullptr});
    }
    void PassProgress(int percent) override {
        Add({JobEvent::Kind::PassProgress, {}, {}, percent, nullptr});
    }
    void PassEnded() override { Add({JobEvent::Kind::PassEnded, {}, {}, 0, nullptr}); }
    void ShowEstimate(const std::string&, const std::string&) override {}
    void PumpEvents() override {
        if (index_ >= shared_->StopFrom.load(std::memory_order_relaxed)) {
            engine_.Running = false;
        }
    }
    void ReportError(const std::string& message) override {
        Add({JobEvent::Kind::Error, message, {}, 0, nullptr});
    }

private:
    void Add(JobEvent event) {
        event.Units = engine_.Estimator.WorkDone;
        event.Added = engine_.Estimator.WorkRemaining + engine_.Estimator.WorkDone;
        // Progress within a pass waits for the caller's next look (within its wait's timeout),
        // rather than waking it for every block.
        const bool wakes = event.What != JobEvent::Kind::PassProgress;
        {
            std::lock_guard<std::mutex> lock(shared_->Mutex);
            std::vector<JobEvent>& events = slot_->Events;
            if (!wakes && !events.empty() && events.back().What == event.What &&
                events.back().Percent == event.Percent) {
                JobEvent& last = events.back();
                ++last.Repeats;
                last.Units = event.Units;
                last.Added = event.Added;
            } else {
                events.push_back(std::move(event));
            }
        }
        if (wakes) {
            shared_->Changed.notify_all();
        }
    }

    SharedJobs* shared_ = nullptr;
    AudioEngine engine_;
    int number_;
    JobSlot* slot_ = nullptr;
    size_t index_ = 0;

public:
    // The worker's own thread, kept from run to run as its engine is (and, with it, what the
    // allocator keeps for the thread), and let go of first. A Ctrl-C or a closing terminal never
    // goes to it.
    SerialWorker Thread;
};

namespace {

void WorkJobs(FilePool::Side& side, SharedJobs& shared, size_t count, const FilePool::Work& work,
              const EngineModel& model) {
    side.Join(shared, model);
    while (side.TakeJob(count)) {
        side.RunJob(work);
    }
}

// Shows one job's events on the caller's sink as the job's own engine would have shown them.
class JobReplay {
public:
    explicit JobReplay(AudioEngine& engine) : engine_(engine), sink_(engine.Sink()) {}

    void Show(JobEvent& event) {
        if (stopped_) {
            ShowAfterStop(event);
            return;
        }
        switch (event.What) {
            case JobEvent::Kind::PassStarted:
                sink_.PassStarted(event.Text, event.FileName);
                sink_.PumpEvents();
                inPass_ = true;
                break;
            case JobEvent::Kind::PassProgress:
                for (int64_t step = 0; step <= event.Repeats; ++step) {
                    sink_.PassProgress(event.Percent);
                    sink_.PumpEvents();
                    last_ = event.What;
                    CheckStopped();
                    if (stopped_) {
                        break;  // the steps left would show nothing after the stop
                    }
                }
                break;
            case JobEvent::Kind::PassEnded:
                EndPass();
                break;
            case JobEvent::Kind::Error:
                sink_.ReportError(event.Text);
                engine_.Running = false;
                break;
            case JobEvent::Kind::Told:
                event.Told();
                break;
        }
        last_ = event.What;
        Estimate(event.Units, event.Added);
        CheckStopped();
    }
    // The estimate counts the job's work as the worker did it.
    void Estimate(double units, double added) {
        engine_.Estimator.WorkRemaining += added - added_;
        added_ = added;
        if (units > units_) {
            engine_.Estimator.UpdateEstimate(static_cast<int32_t>(units - units_), false);
            units_ = units;
        }
    }
    // While the caller waits for the worker, the user may still act.
    void Wait() {
        sink_.PumpEvents();
        CheckStopped();
    }
    bool Stopped() const { return stopped_; }

private:
    void EndPass() {
        sink_.PassEnded();
        sink_.PumpEvents();
        inPass_ = false;
    }
    void CheckStopped() {
        if (stopped_ || engine_.Running) {
            return;
        }
        stopped_ = true;
        // One at a time, a pass stopped as it starts still runs its first block, and a pass
        // stopped by a failure or in a block still ends.
        progressOwed_ = inPass_ && last_ == JobEvent::Kind::PassStarted;
        endOwed_ = inPass_ || last_ == JobEvent::Kind::Error;
    }
    // What the worker did past the point where the run stopped: only what one file at a time
    // would still have shown of the pass under way.
    void ShowAfterStop(const JobEvent& event) {
        if (event.What == JobEvent::Kind::PassProgress && progressOwed_) {
            sink_.PassProgress(event.Percent);
            sink_.PumpEvents();
            progressOwed_ = false;
        } else if (event.What == JobEvent::Kind::PassEnded && endOwed_) {
            EndPass();
            progressOwed_ = endOwed_ = false;
        }
    }

    AudioEngine& engine_;
    ProgressSink& sink_;
    bool inPass_ = false;
    bool stopped_ = false;
    bool progressOwed_ = false;
    bool endOwed_ = false;
    JobEvent::Kind last_ = JobEvent::Kind::PassEnded;
    double units_ = 0.0;
    double added_ = 0.0;
};

}  // namespace

FilePool::FilePool(AudioEngine& engine, int workers) : engine_(engine) {
    for (int w = 0; w < std::max(1, workers); ++w) {
        sides_.push_back(std::make_unique<Side>(engine.Files(), w));
    }
}

FilePool::~FilePool() = default;

int FilePool::Workers() const {
    return static_cast<int>(sides_.size());
}

void FilePool::Run(size_t count, size_t ahead, const Work& work, const Done& done) {
    SharedJobs shared;
    shared.Ahead = std::max<size_t>(1, ahead);
    for (size_t i = 0; i < count; ++i) {
        shared.Slots.push_back(std::make_unique<JobSlot>());
    }
    const EngineModel model{&engine_, &engine_.Files(), engine_.Transforms, engine_.Outputs,
                            engine_.FlacLevelChoice};
    const size_t workers = std::min(sides_.size(), count);
    // Every worker is stopped and done with this run however the caller's part ends.
    struct Joiner {
        SharedJobs& Shared;
        std::vector<std::unique_ptr<Side>>& Sides;
        size_t Workers;
        ~Joiner() {
            Shared.StopFromJob(0);
            for (size_t w = 0; w < Workers; ++w) {
                Sides[w]->Thread.Wait();
            }
        }
    } joiner{shared, sides_, workers};
    for (size_t w = 0; w < workers; ++w) {
        Side& side = *sides_[w];
        side.Thread.Post(
            [&side, &shared, count, &work, &model] { WorkJobs(side, shared, count, work, model); });
    }

    for (size_t i = 0; i < count; ++i) {
        {
            std::lock_guard<std::mutex> lock(shared.Mutex);
            shared.Current = i;
        }
        shared.Advanced.notify_all();
        JobSlot& slot = *shared.Slots[i];
        JobReplay replay(engine_);
        for (bool done = false; !done;) {
            // Taken whole, so that what a job keeps is only what it did since the last look.
            std::vector<JobEvent> fresh;
            bool moved = false;
            {
                std::unique_lock<std::mutex> lock(shared.Mutex);
                moved = shared.Changed.wait_for(lock, std::chrono::milliseconds(20),
                                                [&] { return slot.Done || !slot.Events.empty(); });
                fresh.swap(slot.Events);
                done = slot.Done;
            }
            if (!moved) {
                replay.Wait();
            }
            for (JobEvent& event : fresh) {
                replay.Show(event);
            }
            if (done) {
                replay.Estimate(slot.Units, slot.Added);
            }
            if (replay.Stopped()) {
                shared.StopFromJob(0);  // each worker stops after its current block
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
