#include "files/ByteDigest.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

namespace tralux {
namespace {

uint64_t DigestInPieces(const std::vector<uint8_t>& bytes, size_t piece) {
    ByteDigest digest;
    for (size_t at = 0; at < bytes.size(); at += piece) {
        digest.Add(bytes.data() + at, std::min(piece, bytes.size() - at));
    }
    return digest.Value();
}

// A scan and a write read one file in pieces of different sizes (a header, 1 MB chunks,
// 20000-byte pieces after the data): the digest must not depend on where the pieces end.
TEST(ByteDigest, IsTheSameHoweverTheBytesAreSplit) {
    std::vector<uint8_t> bytes(100003);
    for (size_t i = 0; i < bytes.size(); ++i) {
        bytes[i] = static_cast<uint8_t>(i * 7 + i / 251);
    }
    const uint64_t whole = DigestInPieces(bytes, bytes.size());
    for (size_t piece : {1, 3, 31, 32, 33, 44, 20000}) {
        EXPECT_EQ(DigestInPieces(bytes, piece), whole) << piece;
    }
}

TEST(ByteDigest, TellsEveryChangeOfContentsOrLength) {
    std::vector<uint8_t> bytes(4099, 0);
    const uint64_t zeros = DigestInPieces(bytes, 64);
    EXPECT_NE(zeros, 0u);
    for (size_t at : {size_t{0}, size_t{31}, size_t{2048}, size_t{4096}, size_t{4098}}) {
        std::vector<uint8_t> changed = bytes;
        changed[at] = 1;
        EXPECT_NE(DigestInPieces(changed, 64), zeros) << at;
    }
    // Zeros cut off or added are a change too.
    EXPECT_NE(DigestInPieces(std::vector<uint8_t>(4098, 0), 64), zeros);
    EXPECT_NE(DigestInPieces(std::vector<uint8_t>(4100, 0), 64), zeros);
    EXPECT_NE(ByteDigest().Value(), DigestInPieces(std::vector<uint8_t>(1, 0), 1));
}

}  // namespace
}  // namespace tralux
