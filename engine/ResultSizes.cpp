// The sizes a result's header says, rewritten to what a cut-short result holds.

#include "ResultSizes.h"

#include <cstdint>

namespace tralux {
namespace {

// Puts a little-endian 32-bit size field at file offset fieldAt into the part of the header
// held in piece (the bytes from pieceStart on), as far as the field falls inside it. A size
// past 4 GiB cannot be said in the field and is given as its largest value.
void PutSizeField(char* piece, int64_t pieceStart, size_t pieceSize, int64_t fieldAt,
                  int64_t size) {
    const auto value = static_cast<uint32_t>(size > int64_t{UINT32_MAX} ? UINT32_MAX : size);
    for (int k = 0; k < 4; ++k) {
        const int64_t at = fieldAt + k - pieceStart;
        if (at >= 0 && at < int64_t(pieceSize)) {
            piece[at] = static_cast<char>((value >> (8 * k)) & 0xFFu);
        }
    }
}

void PutSize64Field(char* piece, int64_t pieceStart, size_t pieceSize, int64_t fieldAt,
                    uint64_t value) {
    for (int k = 0; k < 8; ++k) {
        const int64_t at = fieldAt + k - pieceStart;
        if (at >= 0 && at < int64_t(pieceSize)) {
            piece[at] = static_cast<char>((value >> (8 * k)) & 0xFFu);
        }
    }
}

}  // namespace

void PutResultSizes(char* piece, int64_t pieceStart, size_t pieceSize, const FileData& file,
                    int64_t dataBytes) {
    const int64_t riffSize = file.HeaderSize - 8 + dataBytes;
    if (file.Format.Container == WavContainer::Riff) {
        PutSizeField(piece, pieceStart, pieceSize, 4, riffSize);
        PutSizeField(piece, pieceStart, pieceSize, file.HeaderSize - 4, dataBytes);
        return;
    }
    constexpr int64_t Ds64Fields = 20;  // after "RF64", its size, "WAVE", "ds64" and its size
    PutSize64Field(piece, pieceStart, pieceSize, Ds64Fields, uint64_t(riffSize));
    PutSize64Field(piece, pieceStart, pieceSize, Ds64Fields + 8, uint64_t(dataBytes));
    PutSize64Field(piece, pieceStart, pieceSize, Ds64Fields + 16, uint64_t(file.FrameCount));
    if (!file.DataSizeInDs64) {
        PutSizeField(piece, pieceStart, pieceSize, file.HeaderSize - 4, dataBytes);
    }
}

}  // namespace tralux
