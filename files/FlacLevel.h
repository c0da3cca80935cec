#pragma once

#include <cstdint>

namespace tralux {

// The flac tool's default compression level, taken when a source's frames say too little.
inline constexpr int DefaultFlacLevel = 5;

// What a stream's frames show of the settings they were encoded with, gathered as they are
// decoded.
struct FlacEncodingTraits {
    uint64_t Frames = 0;               // frames (blocks) seen
    uint32_t FirstBlockSize = 0;       // samples of each channel in the first frame
    bool StereoDecorrelation = false;  // some frame coded left/side, right/side or mid/side
    bool Predicted = false;            // some subframe is FIXED or LPC
    uint32_t MaxLpcOrder = 0;          // 0 when no subframe is LPC
    uint32_t MaxPartitionOrder = 0;    // of the residual coding, over FIXED and LPC subframes
};

// The compression level (0 to 8) of libFLAC's presets that most likely made a stream with these
// traits. Each preset caps the LPC order (0, 6, 8 or 12), the residual partition order (3 to 6)
// and whether channels may be decorrelated; a long stream of music reaches the caps of its
// preset, so the lowest preset whose caps hold what was seen is taken. Presets that differ only
// in what frames do not show are not told apart: 1 is taken as 2 (both decorrelate channels),
// 7 as 8 (both reach order 12). Without predicted subframes (silence, or samples stored as they
// are) the level is DefaultFlacLevel.
int GuessFlacLevel(const FlacEncodingTraits& traits, uint32_t channels);

}  // namespace tralux
