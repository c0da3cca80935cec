#pragma once

#include <cstddef>
#include <cstdint>

namespace tralux {

// A fast 64-bit digest of a stream of bytes (the rounds of XXH64), the same however the
// stream is split into pieces. A pass that writes a file compares what it read with what the
// scan of that file read. Keyed with a number drawn once per process, so that no file can be
// made to match another's digest on purpose.
class ByteDigest {
public:
    ByteDigest();
    void Add(const void* data, size_t size);
    // The digest of every byte added so far; never 0, which stands for "none taken".
    uint64_t Value() const;

private:
    void Stripe(const unsigned char* at);

    uint64_t seed_;
    uint64_t lanes_[4];
    unsigned char pending_[32];
    size_t pendingSize_ = 0;
    uint64_t total_ = 0;
};

}  // namespace tralux
