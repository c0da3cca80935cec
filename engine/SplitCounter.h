#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "SampleTable.h"
#include "files/SerialWorker.h"

namespace tralux {

// Counts part of each chunk of a long 16-bit scan on a thread of its own, into counts of its
// own that are added to the scan's once the scan is done. Counts are sums: the total is the
// same however the samples are shared out, and the scan's thread, which also shows progress
// block by block, counts only the rest of each chunk. One scan at a time.
class SplitCounter {
public:
    SplitCounter() = default;
    ~SplitCounter() { Wait(); }
    SplitCounter(const SplitCounter&) = delete;
    SplitCounter& operator=(const SplitCounter&) = delete;

    // A scan's count begins: nothing counted aside yet.
    void Begin();
    // The scan's count is over: its counts go, so that they hold no memory between scans.
    void End();
    // Counts the second half of a chunk of size bytes (blocks of blockBytes, the last one
    // perhaps shorter) on the thread, from a block's start; returns the offset where that part
    // begins. The chunk's bytes must stay as they are until Wait().
    size_t CountSecondHalf(const char* chunk, size_t size, size_t blockBytes);
    // Returns once the part in hand is counted.
    void Wait() { thread_.Wait(); }
    // After Wait(): adds everything counted aside since Begin() into counts.
    void AddTo(SampleHistogram& counts) const;

private:
    std::unique_ptr<SampleHistogram> counts_;
    SerialWorker thread_;
};

// Holds a sweep's split count, if any, and waits for its part in hand however the sweep ends:
// that part is read from a buffer the sweep's stream lends.
class SplitCountScope {
public:
    // blockBytes: the size of the sweep's blocks (the last one may be shorter).
    SplitCountScope(SplitCounter* counter, size_t blockBytes)
        : counter_(counter), blockBytes_(blockBytes) {
        if (counter_ != nullptr) {
            counter_->Begin();
        }
    }
    ~SplitCountScope() {
        if (counter_ != nullptr) {
            counter_->End();
        }
    }
    SplitCountScope(const SplitCountScope&) = delete;
    SplitCountScope& operator=(const SplitCountScope&) = delete;

    // Where in a chunk just taken the scan's thread stops counting: all of it without a split.
    size_t Take(const char* chunk, size_t size) {
        return counter_ != nullptr ? counter_->CountSecondHalf(chunk, size, blockBytes_) : size;
    }
    // Before a chunk goes back to the stream.
    void Release() {
        if (counter_ != nullptr) {
            counter_->Wait();
        }
    }
    // Once every block went by: the part counted aside joins counts (none: the sweep
    // stopped short, or counts nothing).
    void Finish(SampleHistogram* counts) {
        if (counter_ != nullptr && counts != nullptr) {
            counter_->Wait();
            counter_->AddTo(*counts);
        }
    }

private:
    SplitCounter* counter_;
    size_t blockBytes_;
};

}  // namespace tralux
