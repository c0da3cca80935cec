#include "FlacLevel.h"

namespace tralux {

int GuessFlacLevel(const FlacEncodingTraits& traits, uint32_t channels) {
    if (!traits.Predicted) {
        return DefaultFlacLevel;
    }
    // Decorrelation is only possible with two channels; a mono stream never shows it.
    const bool decorrelated = traits.StereoDecorrelation;
    const bool couldDecorrelate = channels == 2;
    if (traits.MaxLpcOrder == 0) {
        // Levels 0 to 2 predict with fixed polynomials only; they code mono streams alike.
        return couldDecorrelate && decorrelated ? 2 : 0;
    }
    if (traits.MaxLpcOrder <= 6 && traits.MaxPartitionOrder <= 4 && !decorrelated) {
        return 3;
    }
    if (traits.MaxLpcOrder <= 8) {
        if (traits.MaxPartitionOrder <= 4) {
            return 4;
        }
        return traits.MaxPartitionOrder == 5 ? 5 : 6;
    }
    return 8;
}

}  // namespace tralux
