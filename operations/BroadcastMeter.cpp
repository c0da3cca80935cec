#include "operations/BroadcastMeter.h"

#include <pthread.h>
#include <signal.h>

#include <algorithm>
#include <cmath>
#include <map>
#include <optional>
#include <type_traits>
#include <utility>

#include "measure/LoudnessMeter.h"
#include "measure/PeakMeter.h"

#ifdef __SSE2__
#include <emmintrin.h>
#endif

namespace tralux {
namespace {

// About a megabyte of samples a batch: few hand-overs between the threads.
constexpr size_t BatchBytes = size_t{1} << 20;

// The largest magnitude on the 0..32767 scale; -32768 counts as 32767, as the scan takes it.
double PeakOf(const int16_t* samples, size_t count) {
    int low = 0;
    int high = 0;
    size_t i = 0;
#ifdef __SSE2__
    __m128i lows = _mm_setzero_si128();
    __m128i highs = _mm_setzero_si128();
    for (; i + 8 <= count; i += 8) {
        const __m128i s = _mm_loadu_si128(reinterpret_cast<const __m128i*>(samples + i));
        lows = _mm_min_epi16(lows, s);
        highs = _mm_max_epi16(highs, s);
    }
    alignas(16) int16_t lowLanes[8];
    alignas(16) int16_t highLanes[8];
    _mm_store_si128(reinterpret_cast<__m128i*>(lowLanes), lows);
    _mm_store_si128(reinterpret_cast<__m128i*>(highLanes), highs);
    for (int k = 0; k < 8; ++k) {
        low = std::min<int>(low, lowLanes[k]);
        high = std::max<int>(high, highLanes[k]);
    }
#endif
    for (; i < count; ++i) {
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
    uint64_t sweep = 0;   // the sweep the samples belong to
    bool begins = false;  // the sweep starts with these samples
    const FileData* file = nullptr;
    SweepSide side = SweepSide::Source;
    SweepFormat format;
    std::vector<int16_t> ints;  // the samples, in one form or the other
    std::vector<double> reals;
    bool ends = false;  // the sweep ends after them
    bool whole = false;
    int pending = 0;  // workers yet to measure the batch

    bool Empty() const { return !begins && !ends && ints.empty() && reals.empty(); }
    void Clear() {
        begins = ends = whole = false;
        ints.clear();
        reals.clear();
    }
    size_t Frames() const {
        const auto channels = static_cast<size_t>(std::max(format.Channels, 1));
        return (ints.empty() ? reals.size() : ints.size()) / channels;
    }
};

SweepMeasures::SweepMeasures() = default;
SweepMeasures::~SweepMeasures() = default;

void SweepMeasures::Begin(const SweepFormat& format, bool loudness, bool peaks) {
    samplePeak_ = 0.0;
    sixteenBit_ = false;
    peaks_ = peaks;
    loudness_.reset();
    truePeak_.reset();
    usable_ = LoudnessMeter::Supports(format.Channels, format.SampleRate);
    channels_ = format.Channels;
    // Both on one thread: the loudness meter takes the true peak of the samples it has just
    // converted, where a meter of its own would convert them again.
    if (usable_ && peaks && !loudness) {
        truePeak_ = std::make_unique<TruePeakMeter>(format.Channels, format.SampleRate);
    }
    if (usable_ && loudness) {
        loudness_ = std::make_unique<LoudnessMeter>(
            MeterSetup{format.Channels, format.SampleRate, {}, peaks});
    }
}

void SweepMeasures::Add(const int16_t* interleaved, size_t frames) {
    if (usable_) {
        Take(interleaved, frames);
    }
}

void SweepMeasures::Add(const double* interleaved, size_t frames) {
    if (usable_) {
        Take(interleaved, frames);
    }
}

template <typename Sample>
void SweepMeasures::Take(const Sample* samples, size_t frames) {
    if (frames == 0) {
        return;
    }
    // 16-bit samples reach the loudness meter's peak scan exactly, which finds their peak on
    // the way.
    sixteenBit_ = std::is_same_v<Sample, int16_t>;
    if (peaks_ && !ScanFindsPeak()) {
        samplePeak_ = std::max(samplePeak_, PeakOf(samples, frames * size_t(channels_)));
    }
    if (truePeak_) {
        truePeak_->AddFrames(samples, frames);
    }
    if (loudness_) {
        loudness_->AddFrames(samples, frames);
    }
}

void SweepMeasures::TakeInto(BroadcastLoudness& measures) {
    if (peaks_ && (truePeak_ || loudness_)) {
        measures.TruePeakDbtp = truePeak_ ? truePeak_->TruePeak() : loudness_->TruePeak();
        if (ScanFindsPeak()) {
            // On the 0..32767 scale, -32768 counting as 32767, as PeakOf counts it.
            samplePeak_ = std::min(loudness_->LargestSample() * 32768.0, 32767.0);
        }
        measures.SamplePeak = samplePeak_;
    }
    if (loudness_) {
        measures.IntegratedLufs = loudness_->IntegratedLoudness();
        measures.RangeLu = loudness_->LoudnessRange();
        measures.SegmentEnergies = loudness_->SegmentEnergies();
        measures.SegmentFrames = loudness_->SegmentFrames();
    }
    loudness_.reset();
    truePeak_.reset();
}

// One of the two threads, with the measures of the sweep it is on.
struct BroadcastMeter::Worker {
    bool peaks = false;  // takes the true and sample peaks; else the loudness
    std::deque<Batch*> queue;
    bool busy = false;
    std::thread thread;
    uint64_t sweep = 0;
    const FileData* file = nullptr;
    SweepSide side = SweepSide::Source;
    bool usable = false;
    SweepMeasures measures;

    void Begin(const Batch& batch) {
        sweep = batch.sweep;
        file = batch.file;
        side = batch.side;
        measures.Begin(batch.format, !peaks, peaks);
        usable = measures.Usable();
    }

    template <typename Sample>
    void Add(const std::vector<Sample>& samples, size_t frames) {
        if (!samples.empty()) {
            measures.Add(samples.data(), frames);
        }
    }
};

BroadcastMeter::BroadcastMeter() {
    for (size_t i = 0; i < BatchCount; ++i) {
        batches_.push_back(std::make_unique<Batch>());
        free_.push_back(batches_.back().get());
    }
}

BroadcastMeter::~BroadcastMeter() {
    {
        std::lock_guard lock(mutex_);
        quitting_ = true;
    }
    changed_.notify_all();
    for (auto& worker : workers_) {
        worker->thread.join();
    }
}

BroadcastMeter::Batch& BroadcastMeter::Filling() {
    if (filling_ == nullptr) {
        std::unique_lock lock(mutex_);
        changed_.wait(lock, [this] { return !free_.empty(); });
        filling_ = free_.back();
        free_.pop_back();
        filling_->sweep = sweeps_;
        filling_->format = format_;
    }
    return *filling_;
}

void BroadcastMeter::Hand() {
    {
        std::lock_guard lock(mutex_);
        filling_->pending = WorkerCount;
        for (auto& worker : workers_) {
            worker->queue.push_back(filling_);
        }
        filling_ = nullptr;
    }
    changed_.notify_all();
}

void BroadcastMeter::SweepBegun(const FileData& file, SweepSide side, const SweepFormat& format) {
    if (workers_.empty()) {
        // Signals (a Ctrl-C, a closing terminal) go to the thread that runs the pass, as they
        // would with no other thread: the meters' threads start with all of them blocked.
        sigset_t all, before;
        sigfillset(&all);
        pthread_sigmask(SIG_BLOCK, &all, &before);
        for (int i = 0; i < WorkerCount; ++i) {
            workers_.push_back(std::make_unique<Worker>());
            Worker& worker = *workers_.back();
            worker.peaks = i == 1;
            worker.thread = std::thread([this, &worker] { Loop(worker); });
        }
        pthread_sigmask(SIG_SETMASK, &before, nullptr);
    }
    if (filling_ != nullptr && !filling_->Empty()) {
        Hand();
    }
    ++sweeps_;
    format_ = format;
    Batch& batch = Filling();
    batch.sweep = sweeps_;
    batch.begins = true;
    batch.file = &file;
    batch.side = side;
    batch.format = format;
}

void BroadcastMeter::Frames(const int16_t* interleaved, size_t frames) {
    if (filling_ != nullptr && !filling_->reals.empty()) {
        Hand();
    }
    Batch& batch = Filling();
    const size_t channels = static_cast<size_t>(std::max(batch.format.Channels, 1));
    if (batch.ints.capacity() == 0) {
        batch.ints.reserve(BatchBytes / sizeof(int16_t) + 65536);
    }
    batch.ints.insert(batch.ints.end(), interleaved, interleaved + frames * channels);
    if (batch.ints.size() * sizeof(int16_t) >= BatchBytes) {
        Hand();
    }
}

void BroadcastMeter::Frames(const double* interleaved, size_t frames) {
    if (filling_ != nullptr && !filling_->ints.empty()) {
        Hand();
    }
    Batch& batch = Filling();
    const size_t channels = static_cast<size_t>(std::max(batch.format.Channels, 1));
    batch.reals.insert(batch.reals.end(), interleaved, interleaved + frames * channels);
    if (batch.reals.size() * sizeof(double) >= BatchBytes) {
        Hand();
    }
}

void BroadcastMeter::SweepEnded(bool whole) {
    Batch& batch = Filling();
    batch.ends = true;
    batch.whole = whole;
    Hand();
}

bool BroadcastMeter::Idle() const {
    for (const auto& worker : workers_) {
        if (worker->busy || !worker->queue.empty()) {
            return false;
        }
    }
    return true;
}

std::vector<BroadcastReading> BroadcastMeter::Finish() {
    if (filling_ != nullptr && !filling_->Empty()) {
        Hand();
    }
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [this] { return Idle(); });
    return std::exchange(readings_, {});
}

void BroadcastMeter::Add(std::vector<BroadcastReading> readings) {
    std::lock_guard lock(mutex_);
    for (BroadcastReading& reading : readings) {
        readings_.push_back(std::move(reading));
    }
}

void BroadcastMeter::Loop(Worker& worker) {
    std::unique_lock lock(mutex_);
    while (true) {
        changed_.wait(lock, [&] { return quitting_ || !worker.queue.empty(); });
        if (worker.queue.empty()) {
            return;  // quitting, with nothing left to measure
        }
        Batch* batch = worker.queue.front();
        worker.queue.pop_front();
        worker.busy = true;
        lock.unlock();
        if (batch->begins) {
            worker.Begin(*batch);
        }
        if (batch->sweep == worker.sweep) {  // not samples of a sweep whose beginning was lost
            worker.Add(batch->ints, batch->Frames());
            worker.Add(batch->reals, batch->Frames());
            if (batch->ends) {
                Complete(worker, batch->whole && worker.usable);
                worker.sweep = 0;
            }
        }
        lock.lock();
        if (--batch->pending == 0) {
            batch->Clear();
            free_.push_back(batch);
        }
        worker.busy = false;
        changed_.notify_all();
    }
}

void BroadcastMeter::Complete(Worker& worker, bool usable) {
    // The worker's own part is taken outside the lock; only the merge is under it.
    BroadcastLoudness part;
    if (usable) {
        worker.measures.TakeInto(part);
    }
    std::lock_guard lock(mutex_);
    Partial& partial = partials_[worker.sweep];
    partial.Reading.File = worker.file;
    partial.Reading.Side = worker.side;
    partial.Usable = partial.Usable && usable;
    BroadcastLoudness& into = partial.Reading.Loudness;
    if (worker.peaks) {
        into.TruePeakDbtp = part.TruePeakDbtp;
        into.SamplePeak = part.SamplePeak;
    } else {
        into.IntegratedLufs = part.IntegratedLufs;
        into.RangeLu = part.RangeLu;
        into.SegmentEnergies = std::move(part.SegmentEnergies);
        into.SegmentFrames = part.SegmentFrames;
    }
    if (++partial.Parts < WorkerCount) {
        return;
    }
    if (partial.Usable) {
        into.Measured = true;
        readings_.push_back(std::move(partial.Reading));
    }
    partials_.erase(worker.sweep);
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

namespace {

ExportMeasures ExportMeasuresOf(const BroadcastLoudness& measures) {
    return {measures.Measured, measures.IntegratedLufs, measures.TruePeakDbtp, measures.RangeLu};
}

}  // namespace

ExportRow ExportRowOf(const FileData& file) {
    return {file.SourceFile,
            file.ScanLoudness,
            file.ResultFile,
            file.Loudness,
            ExportMeasuresOf(file.SourceBroadcast),
            ExportMeasuresOf(file.ResultBroadcast)};
}

}  // namespace tralux
