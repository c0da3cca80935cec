#pragma once

#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "engine/BlockObserver.h"
#include "engine/FileData.h"

namespace tralux {

// The broadcast measures of one side of a file, taken by a BroadcastMeter.
struct BroadcastReading {
    const FileData* File = nullptr;
    SweepSide Side = SweepSide::Source;
    BroadcastLoudness Loudness;
};

// Meters the sweeps it watches (integrated loudness, true peak, loudness range) on a thread of
// its own, so that the metering overlaps the reads and writes instead of following them. The
// blocks are copied into a few reused batches of about a megabyte; the sweep waits only when
// every batch is still queued. The thread starts with the first sweep.
class BroadcastMeter final : public BlockObserver {
public:
    BroadcastMeter();
    ~BroadcastMeter() override;
    BroadcastMeter(const BroadcastMeter&) = delete;
    BroadcastMeter& operator=(const BroadcastMeter&) = delete;

    void SweepBegun(const FileData& file, SweepSide side, const SweepFormat& format) override;
    void Frames(const int16_t* interleaved, size_t frames) override;
    void Frames(const double* interleaved, size_t frames) override;
    void SweepEnded(bool whole) override;

    // Waits until every sweep ended so far is measured and hands over their readings, in the
    // order the sweeps ran; a sweep that did not end whole has none.
    std::vector<BroadcastReading> Finish();

private:
    struct Batch;
    // The batch being filled, taken from the free ones (waiting for one if need be).
    Batch& Filling();
    void Hand(std::unique_ptr<Batch> batch);
    void Loop();
    void Measure(Batch& batch);

    static constexpr size_t BatchCount = 4;

    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<std::unique_ptr<Batch>> free_;
    std::deque<std::unique_ptr<Batch>> queue_;
    std::unique_ptr<Batch> filling_;
    bool busy_ = false;  // the thread is measuring a batch
    bool quitting_ = false;
    std::vector<BroadcastReading> readings_;
    std::thread thread_;

    // The thread's own: the sweep it is measuring.
    struct Sweep;
    std::unique_ptr<Sweep> sweep_;
};

// Puts readings into the listed files they were taken of (a file no longer listed is left
// out), then gives each track group's measured members their group's integrated loudness.
void DeliverReadings(std::vector<BroadcastReading> readings, const std::vector<FileData*>& files);

// Forgets a side's measures: the pass about to run makes them stale.
void ForgetBroadcast(FileData& file, SweepSide side);

}  // namespace tralux
