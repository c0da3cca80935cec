#include "operations/FileMeter.h"

#include <utility>

namespace tralux {

void FileMeter::SweepBegun(const FileData& file, SweepSide side, const SweepFormat& format) {
    reading_ = BroadcastReading{&file, side, {}};
    measures_.Begin(format, true, true);
}

void FileMeter::Frames(const int16_t* interleaved, size_t frames) {
    measures_.Add(interleaved, frames);
}

void FileMeter::Frames(const double* interleaved, size_t frames) {
    measures_.Add(interleaved, frames);
}

void FileMeter::SweepEnded(bool whole) {
    if (whole && measures_.Usable()) {
        measures_.TakeInto(reading_.Loudness);
        reading_.Loudness.Measured = true;
        readings_.push_back(std::move(reading_));
    }
    // Nothing more is measured until the next sweep begins.
    measures_.Begin(SweepFormat{0, 0}, false, false);
}

std::vector<BroadcastReading> FileMeter::Finish() {
    return std::exchange(readings_, {});
}

FileMeters::FileMeters(size_t count, bool metered) {
    for (size_t i = 0; metered && i < count; ++i) {
        meters_.push_back(std::make_unique<FileMeter>());
    }
}

FileMeter* FileMeters::For(size_t i) const {
    return i < meters_.size() ? meters_[i].get() : nullptr;
}

void FileMeters::Deliver(size_t i, const FileData& listed, BroadcastMeter* runMeter,
                         bool resultKept) {
    if (i >= meters_.size() || !meters_[i] || runMeter == nullptr) {
        return;
    }
    std::vector<BroadcastReading> readings = meters_[i]->Finish();
    meters_[i].reset();
    if (!resultKept && !readings.empty()) {
        readings.pop_back();
    }
    for (BroadcastReading& reading : readings) {
        reading.File = &listed;
    }
    runMeter->Add(std::move(readings));
}

}  // namespace tralux
