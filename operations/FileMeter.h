#pragma once

#include <memory>
#include <vector>

#include "engine/AudioEngine.h"
#include "operations/BroadcastMeter.h"

namespace tralux {

// Takes the broadcast measures of the sweeps it watches on the thread that runs them, the
// same measures a BroadcastMeter takes of the same samples: for a run that works on several
// files at once, each file with a meter of its own, so that the measuring spreads over the
// cores with the files. Holds no meter between sweeps, only the readings.
class FileMeter final : public ReadingObserver {
public:
    void SweepBegun(const FileData& file, SweepSide side, const SweepFormat& format) override;
    void Frames(const int16_t* interleaved, size_t frames) override;
    void Frames(const double* interleaved, size_t frames) override;
    void SweepEnded(bool whole) override;

    std::vector<BroadcastReading> Finish() override;

private:
    friend class FileMeters;
    SweepMeasures measures_;
    BroadcastReading reading_;
    std::vector<BroadcastReading> readings_;
};

// A meter for each of a run's files when the run meters, else none: what a run working on
// several files at once gives each file's work to watch.
class FileMeters {
public:
    FileMeters(size_t count, bool metered);

    // File i's meter; null when the run does not meter.
    FileMeter* For(size_t i) const;
    // Hands what file i's meter read to the run's meter, as if it had watched those sweeps
    // itself, for listed (the record of the copy the sweeps ran on), and lets the meter go.
    // resultKept false: the last sweep was a write whose new file, handed off whole, did not
    // take its name, and its reading is dropped, as a write that fails is not measured.
    void Deliver(size_t i, const FileData& listed, BroadcastMeter* runMeter,
                 bool resultKept = true);

private:
    std::vector<std::unique_ptr<FileMeter>> meters_;
};

// Shows an engine's sweeps to observer for as long as it lives, then to none again: a worker's
// engine is kept from run to run, and must not keep a meter that is gone.
class ObservedBy {
public:
    ObservedBy(AudioEngine& engine, BlockObserver* observer) : engine_(engine) {
        engine_.Observer = observer;
    }
    ~ObservedBy() { engine_.Observer = nullptr; }
    ObservedBy(const ObservedBy&) = delete;
    ObservedBy& operator=(const ObservedBy&) = delete;

private:
    AudioEngine& engine_;
};

}  // namespace tralux
