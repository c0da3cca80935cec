#pragma once

// FLAC files made with libFLAC for the tests, and a reading of them that shares no code with
// the reader under test.

#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

namespace tralux::test {

// What a generated FLAC file holds.
struct FlacShape {
    uint32_t Channels = 2;
    uint32_t Bits = 16;
    uint32_t Rate = 44100;
    uint64_t Frames = 44100;
    int Level = 5;
    bool Silent = false;
    // The signal's level, the two full-scale samples aside: files of one album that differ in
    // loudness.
    double Scale = 1.0;
    // The blocks after STREAMINFO, in this order: VORBIS_COMMENT (with REPLAYGAIN_* fields in
    // both cases), SEEKTABLE (a point a second), PICTURE, APPLICATION, a block of the unknown
    // type 100, CUESHEET, PADDING.
    bool AllBlocks = true;
};

// For the names of parameterised tests.
inline void PrintTo(const FlacShape& shape, std::ostream* out) {
    *out << shape.Bits << "-bit " << shape.Channels << " ch " << shape.Rate << " Hz, "
         << shape.Frames << " frames, level " << shape.Level;
}

// The sample of channel at frame: tones, noise and a slow swell, reaching both ends of the
// bit depth once each so that the extremes are carried too.
int32_t SampleAt(const FlacShape& shape, uint64_t frame, uint32_t channel);
// Every sample, interleaved.
std::vector<int32_t> SamplesOf(const FlacShape& shape);
// Encodes a file of shape's samples and blocks with libFLAC, a piece at a time.
void MakeFlacFile(const std::string& path, const FlacShape& shape);

// A block as the file holds it, read by the test's own walk of the header.
struct RawBlock {
    int Type = 0;
    bool Last = false;
    std::vector<unsigned char> Body;
};
// The blocks of a native FLAC file (after an ID3v2 tag of tagBytes, if any), and where its
// audio starts.
std::vector<RawBlock> RawBlocksOf(const std::string& path, size_t tagBytes = 0,
                                  int64_t* audioOffset = nullptr);

std::vector<unsigned char> FileBytes(const std::string& path);
void WriteBytes(const std::string& path, const std::vector<unsigned char>& bytes);
// The file's samples as libFLAC decodes it with MD5 checking; false on any decoder error.
bool DecodeWithLibFlac(const std::string& path, std::vector<int32_t>& samples);

}  // namespace tralux::test
