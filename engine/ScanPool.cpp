#include "ScanPool.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdint>
#include <exception>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

namespace tralux {
namespace {

// One file's scan as a worker did it, handed to the caller's thread.
struct ScanSlot {
    std::optional<FileData> Scanned;
    std::vector<std::string> Errors;  // told by the worker's engine, in order
    std::exception_ptr Failure;
    bool Stopped = false;  // the worker's engine stopped running during the scan
    bool Done = false;
    int Percent = 0;  // progress of the scan while it runs
};

// What the workers and the caller's thread share; everything but the stop flag under mutex.
struct SharedScans {
    std::mutex Mutex;
    std::condition_variable Changed;
    std::vector<std::unique_ptr<ScanSlot>> Slots;
    size_t Next = 0;  // the next job to hand out
    // Jobs from this one on stop after their current block and are not begun: all of them on
    // Cancel, those after a file where the run ends.
    std::atomic<size_t> StopFrom{SIZE_MAX};
    void StopFromJob(size_t index) {
        size_t now = StopFrom.load();
        while (index < now && !StopFrom.compare_exchange_weak(now, index)) {
        }
    }
};

// A worker engine's sink: it keeps the scan's progress and messages for the caller's thread,
// shows nothing itself, and stops its engine once the caller says so.
class FunnelSink final : public ProgressSink {
public:
    explicit FunnelSink(SharedScans& shared) : shared_(shared) {}
    void Attach(AudioEngine& engine) { engine_ = &engine; }
    void Serve(ScanSlot* slot, size_t index) {
        slot_ = slot;
        index_ = index;
    }

    void PassStarted(const std::string&, const std::string&) override {}
    void PassProgress(int percent) override {
        std::lock_guard<std::mutex> lock(shared_.Mutex);
        slot_->Percent = percent;
    }
    void PassEnded() override {}
    void ShowEstimate(const std::string&, const std::string&) override {}
    void PumpEvents() override {
        if (index_ >= shared_.StopFrom.load(std::memory_order_relaxed)) {
            engine_->Running = false;
        }
    }
    void ReportError(const std::string& message) override {
        std::lock_guard<std::mutex> lock(shared_.Mutex);
        slot_->Errors.push_back(message);
    }

private:
    SharedScans& shared_;
    AudioEngine* engine_ = nullptr;
    ScanSlot* slot_ = nullptr;
    size_t index_ = 0;
};

void ScanJobs(SharedScans& shared, const std::vector<ScanPool::Job>& jobs, FileAccess& files,
              TransformSet transforms) {
    FunnelSink sink(shared);
    AudioEngine engine(sink, SteadyClock(), files);
    engine.Transforms = transforms;
    sink.Attach(engine);
    for (;;) {
        ScanSlot* slot = nullptr;
        size_t index = 0;
        {
            std::lock_guard<std::mutex> lock(shared.Mutex);
            if (shared.Next >= std::min(jobs.size(), shared.StopFrom.load())) {
                return;
            }
            index = shared.Next++;
            slot = shared.Slots[index].get();
        }
        sink.Serve(slot, index);
        slot->Scanned.emplace(*jobs[index].File);
        engine.Running = true;
        std::exception_ptr failure;
        try {
            engine.ScanFile(*slot->Scanned, jobs[index].Counts);
        } catch (...) {
            failure = std::current_exception();
        }
        {
            std::lock_guard<std::mutex> lock(shared.Mutex);
            slot->Failure = failure;
            slot->Stopped = !engine.Running;
            slot->Done = true;
        }
        shared.Changed.notify_all();
        if (failure || !engine.Running) {
            // The run ends at this file: a later one need not be read.
            shared.StopFromJob(index + 1);
        }
    }
}

std::string NameOf(const std::string& path) {
    return std::filesystem::path(path).filename().string();
}

}  // namespace

ScanPool::ScanPool(AudioEngine& engine, int workers)
    : engine_(engine), workers_(std::max(1, workers)) {}

void ScanPool::Run(const std::vector<Job>& jobs, const std::function<void(size_t)>& scanned) {
    SharedScans shared;
    for (size_t i = 0; i < jobs.size(); ++i) {
        shared.Slots.push_back(std::make_unique<ScanSlot>());
    }
    std::vector<std::thread> threads;
    // Every worker is stopped and joined however the caller's part ends.
    struct Joiner {
        SharedScans& Shared;
        std::vector<std::thread>& Threads;
        ~Joiner() {
            Shared.StopFromJob(0);
            for (std::thread& thread : Threads) {
                thread.join();
            }
        }
    } joiner{shared, threads};
    const size_t count = std::min<size_t>(size_t(workers_), jobs.size());
    for (size_t w = 0; w < count; ++w) {
        threads.emplace_back(ScanJobs, std::ref(shared), std::cref(jobs), std::ref(engine_.Files()),
                             engine_.Transforms);
    }

    ProgressSink& sink = engine_.Sink();
    for (size_t i = 0; i < jobs.size(); ++i) {
        FileData& file = *jobs[i].File;
        sink.PassStarted("Scanning:", NameOf(file.SourceFile));
        sink.PumpEvents();
        int shown = -1;
        ScanSlot& slot = *shared.Slots[i];
        for (;;) {
            int percent = 0;
            bool done = false;
            {
                std::unique_lock<std::mutex> lock(shared.Mutex);
                shared.Changed.wait_for(lock, std::chrono::milliseconds(20),
                                        [&] { return slot.Done; });
                done = slot.Done;
                percent = slot.Percent;
            }
            if (done) {
                break;
            }
            if (percent != shown) {
                sink.PassProgress(percent);
                shown = percent;
            }
            sink.PumpEvents();
            if (!engine_.Running) {
                shared.StopFromJob(0);  // each worker stops after its current block
            }
        }
        sink.PassProgress(slot.Stopped ? slot.Percent : 100);
        sink.PassEnded();
        sink.PumpEvents();
        if (slot.Failure) {
            std::rethrow_exception(slot.Failure);
        }
        for (const std::string& message : slot.Errors) {
            sink.ReportError(message);
        }
        file = *slot.Scanned;
        // The estimate counts a scan's frames once it is in, as one read of them.
        engine_.Estimator.UpdateEstimate(static_cast<int32_t>(file.FrameCount), false);
        if (slot.Stopped || !slot.Errors.empty()) {
            engine_.Running = false;
        }
        scanned(i);
        if (!engine_.Running) {
            return;
        }
    }
}

}  // namespace tralux
