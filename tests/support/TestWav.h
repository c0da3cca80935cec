#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace tralux::test {

// Interleaved 16-bit stereo samples: left, right, left, right, ...
using Samples = std::vector<int16_t>;

// A chunk placed before or after the format chunk of a generated file.
struct ExtraChunk {
    std::string id;  // four characters
    std::vector<uint8_t> body;
};

// How a generated WAV file is laid out. The defaults give a canonical 44-byte header.
struct WavLayout {
    uint16_t formatTag = 1;
    uint16_t channels = 2;
    uint32_t sampleRate = 44100;
    uint16_t bitsPerSample = 16;
    uint32_t formatChunkSize = 16;  // bytes past 16 are written as zeros
    std::vector<ExtraChunk> chunksBeforeFormat;
    std::vector<ExtraChunk> chunksBeforeData;
    int tailBytes = 0;               // extra bytes in the data chunk after the last frame
    std::vector<uint8_t> afterData;  // bytes after the data chunk
};

// The bytes of a WAV file holding the samples.
std::vector<uint8_t> MakeWav(const Samples& samples, const WavLayout& layout = {});

// A WAV file of any sample format, each field of its header settable, so that the tests can
// write every variant and bend any one field. The defaults give a canonical 16-bit stereo
// 44.1 kHz file.
struct AnyWavLayout {
    std::string container = "RIFF";  // "RF64" and "BW64" get a ds64 chunk first
    uint16_t formatTag = 1;
    uint16_t channels = 2;
    uint32_t sampleRate = 44100;
    uint16_t bitsPerSample = 16;
    int blockAlign = -1;  // -1: channels * bitsPerSample / 8
    // Extensible (tag 0xFFFE): the fields after the first 16, written when formatTag is 0xFFFE.
    uint16_t validBits = 0;
    uint32_t channelMask = 0;
    uint16_t subFormat = 1;            // the tag the sub-format GUID holds
    bool standardGuid = true;          // false: a GUID of another family
    std::vector<uint8_t> formatExtra;  // bytes after the fields, counted in the chunk size
    std::vector<ExtraChunk> chunksBeforeFormat;
    std::vector<ExtraChunk> chunksBeforeData;
    bool dataSizeInDs64 = true;  // RF64/BW64: the data chunk's size field says "see ds64"
    std::vector<uint8_t> afterData;
};

// The bytes of such a file whose data chunk holds sampleBytes.
std::vector<uint8_t> MakeAnyWav(const std::vector<uint8_t>& sampleBytes,
                                const AnyWavLayout& layout = {});
// frames frames of the layout's block size, each byte a different value.
std::vector<uint8_t> FrameBytes(const AnyWavLayout& layout, size_t frames);

void WriteFile(const std::string& path, const std::vector<uint8_t>& bytes);
std::vector<uint8_t> ReadFile(const std::string& path);
// The whole file as text, bytes unchanged.
std::string ReadText(const std::string& path);
// Writes a WAV file of the samples; returns the path.
std::string WriteWav(const std::string& path, const Samples& samples, const WavLayout& layout = {});
// The samples stored from byte offset headerSize on, frameCount frames.
Samples ReadSamples(const std::string& path, int64_t headerSize, int32_t frameCount);

// Generated signals.
Samples Constant(int32_t frames, int16_t left, int16_t right);
// A sine of the given amplitude and frequency on both channels, rounded to whole samples.
Samples Sine(int32_t frames, double amplitude, double frequency = 441.0);
// Uniform random samples in [-limit, limit], reproducible from the seed.
Samples Noise(int32_t frames, int limit, uint32_t seed);

}  // namespace tralux::test
