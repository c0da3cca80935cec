#pragma once

#include <cstddef>
#include <cstdint>

namespace tralux {

class FileData;

// Which samples of a file a sweep hands on: the source's as read, or the result's as written
// (or read back).
enum class SweepSide { Source, Result };

// How the samples a sweep hands on are laid out: interleaved frames of this many channels.
struct SweepFormat {
    int Channels = 2;
    int SampleRate = 44100;
};

// Watches the samples of the sweeps it is given to: called on the sweep's thread with every
// block, in order, between SweepBegun and SweepEnded. The blocks are only lent: an observer
// that keeps them copies them. Samples come as 16-bit integers (full scale 32768) or as
// decoded values on the -1..1 scale, whichever the sweep holds.
class BlockObserver {
public:
    virtual ~BlockObserver() = default;

    virtual void SweepBegun(const FileData& file, SweepSide side, const SweepFormat& format) = 0;
    virtual void Frames(const int16_t* interleaved, size_t frames) = 0;
    virtual void Frames(const double* interleaved, size_t frames) = 0;
    // whole: every sample of the side went by (a result: it stands whole under its name);
    // otherwise what went by is to be forgotten.
    virtual void SweepEnded(bool whole) = 0;
};

}  // namespace tralux
