#pragma once

#include <condition_variable>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "engine/BlockObserver.h"
#include "engine/FileData.h"
#include "units/ResultsExport.h"

namespace tralux {

class LoudnessMeter;
class TruePeakMeter;

// The broadcast measures of one side of a file, taken by a BroadcastMeter.
struct BroadcastReading {
    const FileData* File = nullptr;
    SweepSide Side = SweepSide::Source;
    BroadcastLoudness Loudness;
};

// The measures of one sweep in the making, fed its samples in order on one thread: integrated
// loudness and loudness range, or true and sample peaks, or both. However the samples come in
// pieces, the same samples give the same measures.
class SweepMeasures {
public:
    SweepMeasures();
    ~SweepMeasures();
    SweepMeasures(const SweepMeasures&) = delete;
    SweepMeasures& operator=(const SweepMeasures&) = delete;

    // Starts over for a sweep of format; nothing is measured in a format the meters refuse.
    void Begin(const SweepFormat& format, bool loudness, bool peaks);
    void Add(const int16_t* interleaved, size_t frames);
    void Add(const double* interleaved, size_t frames);
    // Whether the sweep's format is one the meters take.
    bool Usable() const { return usable_; }
    // Puts what was measured (loudness, peaks or both) into measures and lets go of the meters.
    void TakeInto(BroadcastLoudness& measures);

private:
    template <typename Sample>
    void Take(const Sample* samples, size_t frames);
    // Whether the loudness meter's peak scan finds the sample peak: it reads 16-bit samples
    // exactly.
    bool ScanFindsPeak() const { return sixteenBit_ && loudness_ != nullptr; }

    bool usable_ = false;
    bool peaks_ = false;
    bool sixteenBit_ = false;  // the sweep's samples came as 16-bit integers
    int channels_ = 2;
    std::unique_ptr<LoudnessMeter> loudness_;
    std::unique_ptr<TruePeakMeter> truePeak_;
    double samplePeak_ = 0.0;
};

// A meter that hands over the readings of the sweeps it watched.
class ReadingObserver : public BlockObserver {
public:
    // Waits until every sweep ended so far is measured and hands over their readings, in the
    // order the sweeps ran; a sweep that did not end whole has none.
    virtual std::vector<BroadcastReading> Finish() = 0;
};

// Meters the sweeps it watches (integrated loudness and loudness range on one thread, true
// peak and sample peak on another), so that the metering overlaps the reads and writes, and
// itself, instead of following them. The blocks are copied into reused batches of about a
// megabyte that both threads read; the sweep waits only when every batch is still being
// measured. The threads start with the first sweep.
class BroadcastMeter final : public ReadingObserver {
public:
    BroadcastMeter();
    ~BroadcastMeter() override;
    BroadcastMeter(const BroadcastMeter&) = delete;
    BroadcastMeter& operator=(const BroadcastMeter&) = delete;

    void SweepBegun(const FileData& file, SweepSide side, const SweepFormat& format) override;
    void Frames(const int16_t* interleaved, size_t frames) override;
    void Frames(const double* interleaved, size_t frames) override;
    void SweepEnded(bool whole) override;

    std::vector<BroadcastReading> Finish() override;
    // Takes readings of sweeps that others watched (meters of files worked on at once), as if
    // those sweeps had ended now.
    void Add(std::vector<BroadcastReading> readings);

private:
    struct Batch;
    struct Worker;
    // What the two threads have found of one sweep so far.
    struct Partial {
        BroadcastReading Reading;
        int Parts = 0;
        bool Usable = true;  // whole, and of a format the meters take
    };
    static constexpr int WorkerCount = 2;  // loudness, peaks
    // The sweeps may run up to this many megabytes ahead of the meters, which catch up while
    // a result is being flushed to the disk.
    static constexpr size_t BatchCount = 16;

    // The batch being filled, taken from the free ones (waiting for one if need be).
    Batch& Filling();
    void Hand();
    void Loop(Worker& worker);
    // Adds the worker's part of the sweep it ends to its reading, which is kept once every
    // part is in; usable: the sweep went by whole, in a format the meters take.
    void Complete(Worker& worker, bool usable);
    bool Idle() const;

    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<std::unique_ptr<Batch>> batches_;
    std::vector<Batch*> free_;
    Batch* filling_ = nullptr;
    uint64_t sweeps_ = 0;  // sweeps begun
    SweepFormat format_;   // the layout of the sweep under way
    std::vector<std::unique_ptr<Worker>> workers_;
    bool quitting_ = false;
    std::map<uint64_t, Partial> partials_;
    std::vector<BroadcastReading> readings_;
};

// Puts readings into the listed files they were taken of (a file no longer listed is left
// out), then gives each track group's measured members their group's integrated loudness.
void DeliverReadings(std::vector<BroadcastReading> readings, const std::vector<FileData*>& files);

// Forgets a side's measures: the pass about to run makes them stale.
void ForgetBroadcast(FileData& file, SweepSide side);

// A listed file as the results export writes it, with the broadcast measures of each side that
// has them.
ExportRow ExportRowOf(const FileData& file);

}  // namespace tralux
