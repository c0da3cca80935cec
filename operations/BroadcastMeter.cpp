#include "operations/BroadcastMeter.h"

#include <algorithm>
#include <cmath>
#include <map>
#include <optional>
#include <utility>

#include "measure/LoudnessMeter.h"

namespace tralux {
namespace {

// About a megabyte of samples a batch: few hand-overs, and a few batches stay in the caches.
constexpr size_t BatchBytes = size_t{1} << 20;

// The largest magnitude on the 0..32767 scale; -32768 counts as 32767, as the scan takes it.
double PeakOf(const int16_t* samples, size_t count) {
    int low = 0;
    int high = 0;
    for (size_t i = 0; i < count; ++i) {
        low = std::min<int>(low, samples[i]);
        high = std::max<int>(high, samples[i]);
    }
    return std::min(std::max(high, -low), 32767);
}

double PeakOf(const double* samples, size_t count) {
    double peak = 0.0;
    for (size_t i = 0; i < count; ++i) {
        peak = std::max(peak, std::fabs(samples[i]));  // NaN leaves peak as it is
    }
    return std::min(peak * 32768.0, 32767.0);
}

}  // namespace

struct BroadcastMeter::Batch {
    bool begins = false;  // a sweep starts with these samples
    const FileData* file = nullptr;
    SweepSide side = SweepSide::Source;
    SweepFormat format;
    std::vector<int16_t> ints;  // the samples, in one form or the other
    std::vector<double> reals;
    bool ends = false;  // the sweep ends after them
    bool whole = false;

    bool Empty() const { return !begins && !ends && ints.empty() && reals.empty(); }
    void Clear() {
        begins = ends = whole = false;
        ints.clear();
        reals.clear();
    }
};

struct BroadcastMeter::Sweep {
    const FileData* file = nullptr;
    SweepSide side = SweepSide::Source;
    int channels = 2;
    std::unique_ptr<LoudnessMeter> meter;  // none for a format no meter takes
    double peak = 0.0;
};

BroadcastMeter::BroadcastMeter() {
    for (size_t i = 0; i < BatchCount; ++i) {
        free_.push_back(std::make_unique<Batch>());
    }
}

BroadcastMeter::~BroadcastMeter() {
    {
        std::lock_guard lock(mutex_);
        quitting_ = true;
    }
    changed_.notify_all();
    if (thread_.joinable()) {
        thread_.join();
    }
}

BroadcastMeter::Batch& BroadcastMeter::Filling() {
    if (!filling_) {
        std::unique_lock lock(mutex_);
        changed_.wait(lock, [this] { return !free_.empty(); });
        filling_ = std::move(free_.back());
        free_.pop_back();
    }
    return *filling_;
}

void BroadcastMeter::Hand(std::unique_ptr<Batch> batch) {
    {
        std::lock_guard lock(mutex_);
        queue_.push_back(std::move(batch));
    }
    changed_.notify_all();
}

void BroadcastMeter::SweepBegun(const FileData& file, SweepSide side, const SweepFormat& format) {
    if (!thread_.joinable()) {
        thread_ = std::thread([this] { Loop(); });
    }
    if (filling_ && !filling_->Empty()) {
        Hand(std::move(filling_));
    }
    Batch& batch = Filling();
    batch.begins = true;
    batch.file = &file;
    batch.side = side;
    batch.format = format;
}

void BroadcastMeter::Frames(const int16_t* interleaved, size_t frames) {
    if (filling_ && !filling_->reals.empty()) {
        Hand(std::move(filling_));
    }
    Batch& batch = Filling();
    const size_t channels = static_cast<size_t>(std::max(batch.format.Channels, 1));
    if (batch.ints.capacity() == 0) {
        batch.ints.reserve(BatchBytes / sizeof(int16_t) + 65536);
    }
    batch.ints.insert(batch.ints.end(), interleaved, interleaved + frames * channels);
    if (batch.ints.size() * sizeof(int16_t) >= BatchBytes) {
        Hand(std::move(filling_));
    }
}

void BroadcastMeter::Frames(const double* interleaved, size_t frames) {
    if (filling_ && !filling_->ints.empty()) {
        Hand(std::move(filling_));
    }
    Batch& batch = Filling();
    const size_t channels = static_cast<size_t>(std::max(batch.format.Channels, 1));
    batch.reals.insert(batch.reals.end(), interleaved, interleaved + frames * channels);
    if (batch.reals.size() * sizeof(double) >= BatchBytes) {
        Hand(std::move(filling_));
    }
}

void BroadcastMeter::SweepEnded(bool whole) {
    Batch& batch = Filling();
    batch.ends = true;
    batch.whole = whole;
    Hand(std::move(filling_));
}

std::vector<BroadcastReading> BroadcastMeter::Finish() {
    if (filling_ && !filling_->Empty()) {
        Hand(std::move(filling_));
    }
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [this] { return queue_.empty() && !busy_; });
    return std::exchange(readings_, {});
}

void BroadcastMeter::Loop() {
    std::unique_lock lock(mutex_);
    while (true) {
        changed_.wait(lock, [this] { return quitting_ || !queue_.empty(); });
        if (queue_.empty()) {
            return;  // quitting, with nothing left to measure
        }
        std::unique_ptr<Batch> batch = std::move(queue_.front());
        queue_.pop_front();
        busy_ = true;
        lock.unlock();
        Measure(*batch);
        batch->Clear();
        lock.lock();
        free_.push_back(std::move(batch));
        busy_ = false;
        changed_.notify_all();
    }
}

void BroadcastMeter::Measure(Batch& batch) {
    if (batch.begins) {
        sweep_ = std::make_unique<Sweep>();
        sweep_->file = batch.file;
        sweep_->side = batch.side;
        sweep_->channels = batch.format.Channels;
        if (LoudnessMeter::Supports(batch.format.Channels, batch.format.SampleRate)) {
            sweep_->meter = std::make_unique<LoudnessMeter>(
                MeterSetup{batch.format.Channels, batch.format.SampleRate, {}, true});
        }
    }
    if (!sweep_) {
        return;  // samples of a sweep whose beginning was not seen
    }
    const auto channels = static_cast<size_t>(std::max(sweep_->channels, 1));
    if (!batch.ints.empty()) {
        sweep_->peak = std::max(sweep_->peak, PeakOf(batch.ints.data(), batch.ints.size()));
        if (sweep_->meter) {
            sweep_->meter->AddFrames(batch.ints.data(), batch.ints.size() / channels);
        }
    }
    if (!batch.reals.empty()) {
        sweep_->peak = std::max(sweep_->peak, PeakOf(batch.reals.data(), batch.reals.size()));
        if (sweep_->meter) {
            sweep_->meter->AddFrames(batch.reals.data(), batch.reals.size() / channels);
        }
    }
    if (!batch.ends) {
        return;
    }
    if (batch.whole && sweep_->meter) {
        const LoudnessMeter& meter = *sweep_->meter;
        BroadcastReading reading{sweep_->file, sweep_->side, {}};
        BroadcastLoudness& loudness = reading.Loudness;
        loudness.Measured = true;
        loudness.IntegratedLufs = meter.IntegratedLoudness();
        loudness.TruePeakDbtp = meter.TruePeak();
        loudness.RangeLu = meter.LoudnessRange();
        loudness.SamplePeak = sweep_->peak;
        loudness.SegmentEnergies = meter.SegmentEnergies();
        loudness.SegmentFrames = meter.SegmentFrames();
        std::lock_guard lock(mutex_);
        readings_.push_back(std::move(reading));
    }
    sweep_.reset();
}

void ForgetBroadcast(FileData& file, SweepSide side) {
    (side == SweepSide::Source ? file.SourceBroadcast : file.ResultBroadcast) = BroadcastLoudness{};
}

void DeliverReadings(std::vector<BroadcastReading> readings, const std::vector<FileData*>& files) {
    for (BroadcastReading& reading : readings) {
        const auto listed = std::find(files.begin(), files.end(), reading.File);
        if (listed != files.end()) {
            FileData& file = **listed;
            (reading.Side == SweepSide::Source ? file.SourceBroadcast : file.ResultBroadcast) =
                std::move(reading.Loudness);
        }
    }
    // A group's loudness is that of its members' blocks gated together; silent members, which
    // have no result, are left out.
    std::map<int32_t, std::vector<FileData*>> groups;
    for (FileData* file : files) {
        if (file->GroupNumber > 0 && !file->Ignored) {
            groups[file->GroupNumber].push_back(file);
        }
    }
    for (const auto& [number, members] : groups) {
        for (const SweepSide side : {SweepSide::Source, SweepSide::Result}) {
            auto measures = [side](FileData* file) -> BroadcastLoudness& {
                return side == SweepSide::Source ? file->SourceBroadcast : file->ResultBroadcast;
            };
            std::vector<SegmentSeries> series;
            bool all = true;
            for (FileData* member : members) {
                const BroadcastLoudness& own = measures(member);
                all = all && own.Measured;
                series.push_back({own.SegmentEnergies, own.SegmentFrames});
            }
            const std::optional<double> group =
                all ? GroupIntegratedLoudness(std::span<const SegmentSeries>(series))
                    : std::nullopt;
            for (FileData* member : members) {
                measures(member).GroupLufs = group;
            }
        }
    }
}

}  // namespace tralux
