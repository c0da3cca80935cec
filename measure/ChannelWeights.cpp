#include <algorithm>

#include "LoudnessMeter.h"

namespace tralux {
namespace {

constexpr double kSurround = 1.41;

// WAVE_FORMAT_EXTENSIBLE speaker bits.
constexpr uint32_t kLowFrequency = 0x8;
constexpr uint32_t kBackLeft = 0x10;
constexpr uint32_t kBackRight = 0x20;
constexpr uint32_t kSideLeft = 0x200;
constexpr uint32_t kSideRight = 0x400;

double SpeakerWeight(uint32_t speaker, bool hasSides) {
    switch (speaker) {
        case kLowFrequency:
            return 0.0;
        case kSideLeft:
        case kSideRight:
            return kSurround;
        // Behind the listener: the surrounds of a 5.1 that names them so, otherwise (7.1)
        // further back than the surround angles and weighed as the front.
        case kBackLeft:
        case kBackRight:
            return hasSides ? 1.0 : kSurround;
        default:
            return 1.0;
    }
}

}  // namespace

std::vector<double> DefaultChannelWeights(int channels, uint32_t channelMask) {
    std::vector<double> weights(static_cast<size_t>(std::max(channels, 0)), 1.0);
    if (channelMask != 0) {
        const bool hasSides = (channelMask & (kSideLeft | kSideRight)) != 0;
        size_t channel = 0;
        for (int bit = 0; bit < 32 && channel < weights.size(); ++bit) {
            const uint32_t speaker = uint32_t{1} << bit;
            if ((channelMask & speaker) != 0) {
                weights[channel++] = SpeakerWeight(speaker, hasSides);
            }
        }
    } else if (channels == 5) {
        weights[3] = weights[4] = kSurround;
    } else if (channels == 6) {
        weights[3] = 0.0;
        weights[4] = weights[5] = kSurround;
    }
    return weights;
}

}  // namespace tralux
