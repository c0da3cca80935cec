#pragma once

#include "files/SampleFormats.h"

namespace tralux::test {

// The sample formats a WAV file may hold, as the tests name them.
constexpr SampleFormat U8{SampleCoding::Integer, 1, 8};
constexpr SampleFormat I16{SampleCoding::Integer, 2, 16};
constexpr SampleFormat I24{SampleCoding::Integer, 3, 24};
constexpr SampleFormat I32{SampleCoding::Integer, 4, 32};
constexpr SampleFormat F32{SampleCoding::Float, 4, 32};
constexpr SampleFormat F64{SampleCoding::Float, 8, 64};

}  // namespace tralux::test
