#include "ByteDigest.h"

#include <algorithm>
#include <cstring>
#include <random>

namespace tralux {
namespace {

constexpr uint64_t P1 = 11400714785074694791ull;
constexpr uint64_t P2 = 14029467366897019727ull;
constexpr uint64_t P3 = 1609587929392839161ull;
constexpr uint64_t P4 = 9650029242287828579ull;
constexpr uint64_t P5 = 2870177450012600261ull;

uint64_t RotateLeft(uint64_t value, int bits) {
    return (value << bits) | (value >> (64 - bits));
}

uint64_t Round(uint64_t lane, uint64_t input) {
    return RotateLeft(lane + input * P2, 31) * P1;
}

// Byte order does not matter here: both digests compared are taken on this machine.
uint64_t Load64(const unsigned char* at) {
    uint64_t value;
    std::memcpy(&value, at, sizeof value);
    return value;
}

uint32_t Load32(const unsigned char* at) {
    uint32_t value;
    std::memcpy(&value, at, sizeof value);
    return value;
}

uint64_t ProcessKey() {
    static const uint64_t key = [] {
        std::random_device random;
        return (uint64_t{random()} << 32) ^ uint64_t { random() };
    }();
    return key;
}

}  // namespace

ByteDigest::ByteDigest() : seed_(ProcessKey()) {
    lanes_[0] = seed_ + P1 + P2;
    lanes_[1] = seed_ + P2;
    lanes_[2] = seed_;
    lanes_[3] = seed_ - P1;
}

void ByteDigest::Stripe(const unsigned char* at) {
    lanes_[0] = Round(lanes_[0], Load64(at));
    lanes_[1] = Round(lanes_[1], Load64(at + 8));
    lanes_[2] = Round(lanes_[2], Load64(at + 16));
    lanes_[3] = Round(lanes_[3], Load64(at + 24));
}

void ByteDigest::Add(const void* data, size_t size) {
    const auto* at = static_cast<const unsigned char*>(data);
    total_ += size;
    if (pendingSize_ > 0) {
        const size_t taken = std::min(size, sizeof pending_ - pendingSize_);
        std::memcpy(pending_ + pendingSize_, at, taken);
        pendingSize_ += taken;
        at += taken;
        size -= taken;
        if (pendingSize_ < sizeof pending_) {
            return;
        }
        Stripe(pending_);
        pendingSize_ = 0;
    }
    for (; size >= sizeof pending_; at += sizeof pending_, size -= sizeof pending_) {
        Stripe(at);
    }
    std::memcpy(pending_, at, size);
    pendingSize_ = size;
}

uint64_t ByteDigest::Value() const {
    uint64_t hash;
    if (total_ >= sizeof pending_) {
        hash = RotateLeft(lanes_[0], 1) + RotateLeft(lanes_[1], 7) + RotateLeft(lanes_[2], 12) +
               RotateLeft(lanes_[3], 18);
        for (const uint64_t lane : lanes_) {
            hash = (hash ^ Round(0, lane)) * P1 + P4;
        }
    } else {
        hash = seed_ + P5;
    }
    hash += total_;
    const unsigned char* at = pending_;
    size_t left = pendingSize_;
    for (; left >= 8; at += 8, left -= 8) {
        hash = RotateLeft(hash ^ Round(0, Load64(at)), 27) * P1 + P4;
    }
    if (left >= 4) {
        hash = RotateLeft(hash ^ (uint64_t{Load32(at)} * P1), 23) * P2 + P3;
        at += 4;
        left -= 4;
    }
    for (; left > 0; ++at, --left) {
        hash = RotateLeft(hash ^ (uint64_t{*at} * P5), 11) * P1;
    }
    hash = (hash ^ (hash >> 33)) * P2;
    hash = (hash ^ (hash >> 29)) * P3;
    hash ^= hash >> 32;
    return hash != 0 ? hash : 1;
}

}  // namespace tralux
