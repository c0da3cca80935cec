#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

namespace tralux {

// The outer form of a WAV file. RF64 and BW64 carry 64-bit sizes in a ds64 chunk.
enum class WavContainer { Riff, Rf64, Bw64 };

enum class SampleCoding { Integer, Float };

// The grid of one sample: how it is stored and which values it can hold. Integers of one byte
// are unsigned (offset by 128), wider ones signed; all are little-endian. ValidBits below the
// container's bits are the upper bits of the container, the rest padding.
struct SampleFormat {
    SampleCoding Coding = SampleCoding::Integer;
    int ContainerBytes = 2;  // 1, 2, 3 or 4 for integers; 4 or 8 for floats
    int ValidBits = 16;      // 1 to ContainerBytes * 8; floats use the whole container

    bool operator==(const SampleFormat&) const = default;
};

// More channels than this are refused: a frame stays small enough for a block of frames to
// sit in memory, and 64 covers every speaker layout and ambisonics up to the seventh order.
inline constexpr uint32_t MaxChannels = 64;
inline constexpr uint32_t MaxSampleRate = 768000;

// What the format chunk (and, for RF64, the ds64 chunk) says.
struct WavFormat {
    WavContainer Container = WavContainer::Riff;
    uint16_t FormatTag = 1;  // as written: 1 (integer PCM), 3 (IEEE float) or 0xFFFE (extensible)
    SampleFormat Sample;
    uint32_t Channels = 2;
    uint32_t SampleRate = 44100;
    uint32_t ChannelMask = 0;  // the extensible format's speaker mask; 0 when none is given

    // Bytes of one frame: one sample of each channel.
    uint32_t BlockAlign() const { return Channels * uint32_t(Sample.ContainerBytes); }
    bool operator==(const WavFormat&) const = default;
};

// Where the samples are.
struct WavData {
    int64_t Offset = 0;          // of the first sample byte
    uint64_t DeclaredBytes = 0;  // the data size the header gives (from ds64 for RF64)
    uint64_t HeldBytes = 0;      // of those, the bytes the file holds
    uint64_t FrameCount = 0;     // whole frames held
    uint32_t TailBytes = 0;      // held bytes after the last whole frame
    bool ShorterThanHeader = false;
    // RF64 and BW64 only: the ds64 chunk's RIFF size and sample count, as written, and
    // whether the data chunk's own size field says "see ds64" (all ones).
    uint64_t Ds64RiffSize = 0;
    uint64_t Ds64SampleCount = 0;
    bool DataSizeInDs64 = false;
};

enum class WavVerdict {
    Readable,  // a whole header of a sample format this program can read
    Refused,   // a file recognised as something this program cannot read; What says what
    NotWav,    // not a WAV file, or one too damaged to tell what it holds
};

// What a walk of a file's header found.
struct WavDescription {
    WavVerdict Verdict = WavVerdict::NotWav;
    // Refused: what the file is, to follow "PATH is ", e.g. "a FLAC file, not a WAV file".
    std::string What;
    WavFormat Format;  // Readable only
    WavData Data;      // Readable only
};

// The fields of a format chunk, as written.
struct FormatChunkFields {
    uint32_t Size = 0;  // the chunk's size
    uint32_t Tag = 0, Channels = 0, SampleRate = 0, BlockAlign = 0, Bits = 0;
    // Extensible only (Size of 40 or more): valid bits, speaker mask and sub-format GUID.
    uint32_t ValidBits = 0, ChannelMask = 0;
    unsigned char SubFormat[16] = {};
};

// The format the fields describe, or what the file is when they describe nothing readable
// (a compressed format, bits that do not fit their container, a wrong block size, ...). The
// block size of a plain 16-bit stereo 44.1 kHz PCM chunk is not checked: such files were
// always taken whatever it said.
struct FormatJudgement {
    std::optional<WavFormat> Format;
    std::string What;  // when there is no format
};
FormatJudgement JudgeFormatChunk(const FormatChunkFields& fields, WavContainer container);

// What a file that is no RIFF/RF64/BW64 WAV file is, from its first bytes ("a FLAC file, not a
// WAV file"); empty when they say nothing known.
std::string OtherFileType(const unsigned char* head, size_t size);

// The sample grid in words: "24-bit 48 kHz 6 ch", "32-bit float 96 kHz stereo",
// "16-bit 44.1 kHz stereo", "8-bit 22.05 kHz mono".
std::string FormatText(const WavFormat& format);

// "a" or "an", as spoken before text.
std::string WithArticle(const std::string& text);

}  // namespace tralux
