#pragma once

#include <cstddef>
#include <cstdint>

#include "FileData.h"

namespace tralux {

// The only fields of a result's header ever rewritten: the sizes, to what a cut-short result
// holds (dataBytes of samples), in the part of the header held in piece (the bytes from
// pieceStart on). RF64 and BW64 say them in the ds64 chunk, which comes first, and keep "see
// ds64" in the old fields; a size past 4 GiB in a plain RIFF field is given as its largest value.
void PutResultSizes(char* piece, int64_t pieceStart, size_t pieceSize, const FileData& file,
                    int64_t dataBytes);

}  // namespace tralux
