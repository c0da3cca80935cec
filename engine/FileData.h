#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "files/FileIdentity.h"
#include "files/FlacLevel.h"
#include "files/WaveHeader.h"

namespace tralux {

// A pass works on sample data in blocks of about this many samples (5000 stereo frames), with
// progress after each.
inline constexpr int32_t SamplesPerBlock = 10000;
// The blocks of a 16-bit stereo file, the format every pass was first written for.
inline constexpr int32_t FramesPerBlock = SamplesPerBlock / 2;
inline constexpr int32_t BytesPerFrame = 4;

// Whole frames in one block of a file with this many channels: at least one.
inline int32_t BlockFramesFor(uint32_t channels) {
    return channels >= uint32_t(SamplesPerBlock) ? 1 : SamplesPerBlock / int32_t(channels);
}

// Hands out the negative group numbers of files that belong to no track group. Numbers are
// never reused while the program runs, so a file removed and added again gets a new one.
class UngroupedNumbers {
public:
    int32_t Take() { return --NextUngroupedNumber; }
    int32_t NextUngroupedNumber = 0;
};

// The broadcast measures of one side (source or result) of a file, as the last pass over it
// that was metered left them. Shown beside the root-mean-square loudness the runs balance by.
struct BroadcastLoudness {
    bool Measured = false;                 // a metered pass went over every sample of it
    std::optional<double> IntegratedLufs;  // none for silence (nothing passes the gates)
    std::optional<double> TruePeakDbtp;    // none for silence
    std::optional<double> RangeLu;         // none below 3 s or for silence
    double SamplePeak = 0.0;               // the largest sample magnitude, 0 to 32767
    // The integrated loudness of the file's track group, all members taken as one programme;
    // none outside a group or while a member of it is not measured.
    std::optional<double> GroupLufs;
    // The meter's 100 ms segment energies and their length in frames: what the group's
    // loudness is gated from.
    std::vector<double> SegmentEnergies;
    size_t SegmentFrames = 0;
};

// One listed WAV file: where it is, what its header says and what the passes measured.
// Loudness values are root-mean-square sample values on the 16-bit scale (0 to 32767).
class FileData {
public:
    // A 16-bit stereo 44.1 kHz file unless format says otherwise.
    FileData(std::string sourceFile, int64_t headerSize, int64_t frameCount, int32_t tailBytes,
             UngroupedNumbers& numbers, const WavFormat& format = WavFormat{});
    // As intake makes it from a header that ReadWaveHeader found Valid.
    FileData(std::string sourceFile, const WaveHeaderInfo& header, UngroupedNumbers& numbers);

    std::string SourceFile;
    std::string ResultFile;  // empty until the output check names it
    // Offset of the first sample frame. 64 bits: skipped chunks may add up past 2 GiB.
    int64_t HeaderSize;
    // What the format chunk says: the sample grid, channels, rate and container. Results
    // keep it.
    WavFormat Format;
    int64_t FrameCount;  // whole frames in the data chunk (64 bits: RF64 holds more than 4 GiB)
    int32_t TailBytes;   // data chunk bytes after the last whole frame (less than one frame)
    // The data chunk claims more bytes than the file holds: only the frames present are
    // counted, and a result says in its header what it really holds.
    bool ShorterThanHeader = false;
    // RF64 and BW64: the data chunk's size field says "see ds64", so a cut-short result says
    // its size there only.
    bool DataSizeInDs64 = false;
    double ScanLoudness = 0.0;
    // The scan's exact sum of squares: the pass that writes the result measures what it reads
    // against it, so a source changed since its scan is noticed.
    int64_t ScanSumOfSquares = 0;
    // The same for a file of another integer grid (see GridValues.h): the exact sum of its
    // squared keys and its peak key, folded.
    unsigned __int128 ScanGridSum = 0;
    int64_t ScanGridPeak = 0;
    // The digest of every byte the scan read (see PassTotals::Digest): a change that keeps
    // the peak and the sum of squares, or one outside the samples, is noticed too. 0 until a
    // scan has run to its end.
    uint64_t ScanDigest = 0;
    double Loudness = 0.0;
    // The last pass over the result stopped before its end, so Loudness covers only part of
    // the file; it is measured anew before Balance uses it.
    bool LoudnessCutShort = false;
    // The file the last pass that wrote ResultFile created there; a result is rewritten only
    // while its name still leads to it.
    FileIdentity ResultIdentity;
    // On the scale: a whole number for 16-bit files (32767 at full scale).
    double Peak = 0.0;
    bool Normalised = false;
    int32_t BlockFrames;      // frames of a full block: 5000 for stereo
    int64_t BlockCount;       // ((FrameCount - 1) / BlockFrames) + 1
    int32_t LastBlockFrames;  // FrameCount mod BlockFrames; 0 means a full last block
    int32_t GroupNumber;      // above 0: a track group; 0 or below: no group
    double LoudestRatio = 1.0;
    double QuietestRatio = 1.0;
    bool Ignored = false;
    // The broadcast measures of the source and of the result, when metering was on.
    BroadcastLoudness SourceBroadcast;
    BroadcastLoudness ResultBroadcast;
    // A native FLAC file: its passes decode it (and encode its result) instead of reading
    // sample bytes, and Format is that of the WAV file holding the same samples.
    bool Flac = false;
    // The compression level its frames show (see GuessFlacLevel), once a scan has read them.
    int FlacLevel = DefaultFlacLevel;

    uint32_t Channels() const { return Format.Channels; }
    uint32_t FrameBytes() const { return Format.BlockAlign(); }
    // Samples of every channel: what a loudness is the root mean square over.
    int64_t SampleCount() const { return FrameCount * int64_t{Format.Channels}; }
    // The format every pass was first written for, which keeps its int16 code.
    bool IsPlain16Bit() const {
        return Format.Sample == SampleFormat{SampleCoding::Integer, 2, 16};
    }
};

// What the file holds, in words: "24-bit 48 kHz stereo WAV", "16-bit 44.1 kHz 6 ch RF64 WAV",
// "FLAC 16-bit 44.1 kHz stereo".
std::string SourceFormatText(const FileData& file);

// One track group with usable members, built by every Prepare run.
class GroupData {
public:
    GroupData(int32_t groupNumber, double peak) : GroupNumber(groupNumber), Peak(peak) {}

    int32_t GroupNumber;
    double Peak;
    const FileData* Loudest = nullptr;   // not owned
    const FileData* Quietest = nullptr;  // not owned
};

using GroupList = std::vector<std::unique_ptr<GroupData>>;

// The first group of the list with this number, or nullptr.
GroupData* FindGroup(const GroupList& groups, int32_t groupNumber);

}  // namespace tralux
