#include "operations/LufsChainMeter.h"

#include <algorithm>
#include <cmath>

#include "measure/LoudnessMeter.h"

namespace tralux {
namespace {

// The chain's steps up to its last one that is not a gain, and the gains after them in dB.
size_t HeadLength(const std::vector<TransformStep>& steps) {
    size_t length = steps.size();
    while (length > 0 && steps[length - 1].Transform == BlockTransform::Gain) {
        --length;
    }
    return length;
}

// The gains after the first head steps, in dB.
double TrailingGainDb(const std::vector<TransformStep>& steps, size_t head) {
    double decibels = 0.0;
    for (size_t i = steps.size(); i > head; --i) {
        decibels += 20.0 * std::log10(steps[i - 1].Gain);
    }
    return decibels;
}

}  // namespace

LoudnessReading ReadingAfterGain(const std::vector<SegmentReading>& members, double decibels) {
    const double power = std::pow(10.0, decibels / 10.0);
    std::vector<std::vector<double>> scaled;
    scaled.reserve(members.size());
    std::vector<SegmentSeries> series;
    series.reserve(members.size());
    LoudnessReading reading;
    for (const SegmentReading& member : members) {
        scaled.emplace_back(member.Energies);
        for (double& energy : scaled.back()) {
            energy *= power;
        }
        series.push_back({scaled.back(), member.SegmentFrames});
        reading.TruePeakDb = std::max(reading.TruePeakDb, member.TruePeakDb + decibels);
    }
    reading.Lufs = GroupIntegratedLoudness(std::span<const SegmentSeries>(series));
    return reading;
}

bool MeterMapped(AudioEngine& engine, const ChainMember& member,
                 const std::vector<TransformStep>& chain, ReadingObserver& meter,
                 SegmentReading& reading) {
    const bool whole = engine.MeasureChain(*member.File, member.Path, chain, meter);
    std::vector<BroadcastReading> readings = meter.Finish();
    if (!whole || readings.empty()) {
        return false;
    }
    BroadcastLoudness& measured = readings.back().Loudness;
    reading.Energies = std::move(measured.SegmentEnergies);
    reading.SegmentFrames = measured.SegmentFrames;
    reading.TruePeakDb = measured.TruePeakDbtp.value_or(-200.0);
    return true;
}

MappedChainMeter::MappedChainMeter(AudioEngine& engine, ReadingObserver& meter,
                                   std::vector<ChainMember> members,
                                   std::vector<TransformStep> lead, bool readGains)
    : engine_(engine),
      meter_(meter),
      members_(std::move(members)),
      lead_(std::move(lead)),
      readGains_(readGains) {
    for (const ChainMember& member : members_) {
        headReadings_.push_back(member.Measured);
    }
}

std::vector<TransformStep> MappedChainMeter::Chain(const std::vector<TransformStep>& steps) const {
    std::vector<TransformStep> chain = lead_;
    chain.insert(chain.end(), steps.begin(), steps.end());
    return chain;
}

LoudnessReading MappedChainMeter::Unchanged() const {
    std::vector<SegmentReading> measured;
    for (const ChainMember& member : members_) {
        measured.push_back(member.Measured);
    }
    return ReadingAfterGain(measured, 0.0);
}

std::vector<LoudnessReading> MappedChainMeter::MemberReadings(
    const std::vector<TransformStep>& steps) {
    std::vector<LoudnessReading> readings;
    Read(steps);
    if (!engine_.Running) {
        return readings;  // stopped
    }
    const double trailingDb = TrailingGainDb(steps, ReadLength(steps));
    for (const SegmentReading& member : headReadings_) {
        readings.push_back(ReadingAfterGain({member}, trailingDb));
    }
    return readings;
}

size_t MappedChainMeter::ReadLength(const std::vector<TransformStep>& steps) const {
    return readGains_ ? steps.size() : HeadLength(steps);
}

LoudnessReading MappedChainMeter::Read(const std::vector<TransformStep>& steps) {
    // The chain splits into a head that is read and the gains after it, whose effect is
    // computed (none where gains are read).
    const size_t headLength = ReadLength(steps);
    const double trailingDb = TrailingGainDb(steps, headLength);
    const std::vector<TransformStep> head(steps.begin(),
                                          steps.begin() + static_cast<std::ptrdiff_t>(headLength));
    if (head != readHead_) {
        const std::vector<TransformStep> chain = Chain(head);
        std::vector<SegmentReading> readings(members_.size());
        for (size_t i = 0; i < members_.size(); ++i) {
            engine_.Estimator.WorkRemaining += members_[i].File->FrameCount;
            ++filesRead_;
            if (!engine_.Running ||
                !MeterMapped(engine_, members_[i], chain, meter_, readings[i])) {
                return LoudnessReading{};  // stopped: reads as silence, which ends the plan
            }
        }
        readHead_ = head;
        headReadings_ = std::move(readings);
    }
    return ReadingAfterGain(headReadings_, trailingDb);
}

}  // namespace tralux
