#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "FileAccess.h"

namespace tralux {

// The metadata block types a FLAC file can hold; any other number is kept as it is.
enum class FlacBlockType : uint8_t {
    StreamInfo = 0,
    Padding = 1,
    Application = 2,
    SeekTable = 3,
    VorbisComment = 4,
    CueSheet = 5,
    Picture = 6
};

// One metadata block as stored: its type and its body, without the four-byte block header.
struct FlacBlock {
    uint8_t Type = 0;  // 0 to 126
    std::vector<unsigned char> Body;

    bool Is(FlacBlockType type) const { return Type == static_cast<uint8_t>(type); }
    bool operator==(const FlacBlock&) const = default;
};

// What STREAMINFO says of the audio.
struct FlacStreamInfo {
    uint32_t MinBlockSize = 0, MaxBlockSize = 0;  // frames per block
    uint32_t SampleRate = 0;                      // Hz
    uint32_t Channels = 0;                        // 1 to 8
    uint32_t BitsPerSample = 0;                   // 8 to 32 here (the format allows 4)
    uint64_t TotalFrames = 0;                     // samples of each channel; 0 when not known
    std::array<unsigned char, 16> Md5{};          // of the decoded samples; all zeros when unset
};

// A FLAC file's header: everything before the first audio frame.
struct FlacStream {
    // An ID3v2 tag some taggers put before "fLaC", kept as it was; empty when there is none.
    std::vector<unsigned char> LeadingTag;
    FlacStreamInfo Info;
    // Every metadata block in file order, STREAMINFO first.
    std::vector<FlacBlock> Blocks;
    int64_t AudioOffset = 0;  // of the first frame byte in the file
};

// Metadata larger than this is refused rather than held in memory: it is far beyond any set of
// tags and cover pictures, and a damaged length cannot make a run take the machine's memory.
inline constexpr size_t MaxFlacMetadataBytes = size_t{128} << 20;

// What the first bytes of a file say it is, as far as FLAC goes.
enum class FlacKind {
    Native,   // "fLaC", possibly after an ID3v2 tag
    Ogg,      // FLAC in an Ogg container, which is not read
    NotFlac,  // anything else
};
FlacKind SniffFlac(const unsigned char* head, size_t size);

// Reads the header of file from its start: the marker, every metadata block and STREAMINFO's
// fields. On failure returns nothing and sets error to a message naming path ("PATH is not a
// FLAC file", "PATH is a damaged FLAC file (...)"). Leaves the file positioned anywhere.
std::optional<FlacStream> ReadFlacHeader(PassFile& file, const std::string& path,
                                         std::string& error);

// A VORBIS_COMMENT body without its REPLAYGAIN_* fields (named in any case): the vendor string,
// the other fields in their order and any bytes after them stay as they were. Nothing when the
// body is not a well-formed comment block.
std::optional<std::vector<unsigned char>> WithoutReplayGain(const std::vector<unsigned char>& body);

}  // namespace tralux
