#pragma once

#include <string>
#include <vector>

#include "engine/AudioEngine.h"
#include "engine/FileData.h"
#include "operations/BroadcastMeter.h"
#include "plan/LufsTargetPlanner.h"

namespace tralux {

// What a meter left of one input, enough to say its integrated loudness and true peak after
// any further gain: its 100 ms segment energies and its true peak.
struct SegmentReading {
    std::vector<double> Energies;
    size_t SegmentFrames = 0;
    double TruePeakDb = -200.0;
};

// The samples one member of a plan reads: a file, the path its write will read (the source
// in Prepare & Balance, the result in Balance) and what the meter last found of them.
struct ChainMember {
    FileData* File = nullptr;
    std::string Path;
    SegmentReading Measured;
};

// The integrated loudness and highest true peak of the members taken as one programme, after
// a further gain of decibels. Integrated loudness is gated in time, so a gain is applied to
// the segment energies, not to the loudness: the absolute gate may keep other blocks.
LoudnessReading ReadingAfterGain(const std::vector<SegmentReading>& members, double decibels);

// Reads one member through chain and meters what the write through chain would write, in
// the member's own format; false when the read was stopped. The one place that maps a file's
// samples for the meter.
bool MeterMapped(AudioEngine& engine, const ChainMember& member,
                 const std::vector<TransformStep>& chain, ReadingObserver& meter,
                 SegmentReading& reading);

// A ChainMeter over the files of one plan (a file, or a track group's members together). The
// steps are applied after lead, the steps every write of theirs begins with (the normalising
// gain in Prepare & Balance). A chain of gains alone is not read where the grids are fine
// enough: what a gain does to the loudness and true peak is then known from what was last
// measured, to well within the ceiling's margin, so only a chain with a compress pass (whose
// reading is then kept for the gains after it) reads the files, each a "Measuring" pass the user
// sees. A read that is stopped reads as silence, which ends the planning.
class MappedChainMeter final : public ChainMeter {
public:
    // readGains: gains are read too, as every other step, where the members' grids are too
    // coarse for a gain's effect to be known from the reading before it.
    MappedChainMeter(AudioEngine& engine, ReadingObserver& meter, std::vector<ChainMember> members,
                     std::vector<TransformStep> lead, bool readGains = false);

    LoudnessReading Read(const std::vector<TransformStep>& steps) override;
    // Reading through no further step.
    LoudnessReading Unchanged() const;
    // Each member's own reading after steps (Read, one member at a time): a group's members
    // each as the chain leaves it.
    std::vector<LoudnessReading> MemberReadings(const std::vector<TransformStep>& steps);
    // The chain a member's write goes through for steps: lead, then steps.
    std::vector<TransformStep> Chain(const std::vector<TransformStep>& steps) const;
    // Files read so far, for the progress estimate and the tests.
    int FilesRead() const { return filesRead_; }

private:
    // The steps of a chain that are read: all, or up to its last one that is not a gain.
    size_t ReadLength(const std::vector<TransformStep>& steps) const;

    AudioEngine& engine_;
    ReadingObserver& meter_;
    std::vector<ChainMember> members_;
    std::vector<TransformStep> lead_;
    bool readGains_;
    // The steps of the last chain that were read (see ReadLength), and what they read.
    std::vector<TransformStep> readHead_;
    std::vector<SegmentReading> headReadings_;
    int filesRead_ = 0;
};

}  // namespace tralux
