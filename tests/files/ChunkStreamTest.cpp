#include "files/ChunkStream.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

namespace tralux {
namespace {

// The reads and writes made on each thread so far, counted per thread.
thread_local int callsOnThisThread = 0;

// A file in memory whose reads note which thread made them (by the count that thread had
// made before) and whose writes collect what they get.
class MemoryFile : public PassFile {
public:
    explicit MemoryFile(std::string bytes = {}) : bytes_(std::move(bytes)) {}

    size_t Read(void* buffer, size_t size) override {
        CallsBefore.push_back(callsOnThisThread++);
        const size_t got = at_ < bytes_.size() ? std::min(size, bytes_.size() - at_) : 0;
        std::memcpy(buffer, bytes_.data() + at_, got);
        at_ += got;
        return got;
    }
    bool Write(const void* buffer, size_t size) override {
        ++callsOnThisThread;
        Written.append(static_cast<const char*>(buffer), size);
        return true;
    }
    bool Seek(int64_t offset) override {
        at_ = size_t(offset);
        return true;
    }
    FileIdentity Identity() const override { return {}; }

    std::vector<int> CallsBefore;
    std::string Written;

private:
    std::string bytes_;
    size_t at_ = 0;
};

// Copies the whole range through the stream, each chunk unchanged.
std::string CopyThrough(MemoryFile& input, int64_t length, StreamWorker& worker) {
    MemoryFile output;
    {
        ChunkStream stream(input, 0, length, &output, worker);
        while (ChunkStream::Chunk* chunk = stream.Next()) {
            stream.Put(chunk);
        }
        EXPECT_TRUE(stream.Finish());
    }
    return output.Written;
}

TEST(ChunkStream, StreamsOfOneWorkerShareItsThread) {
    const int callsHereBefore = callsOnThisThread;
    StreamWorker worker(4);
    MemoryFile first(std::string(12, 'a'));
    MemoryFile second(std::string(12, 'b'));
    EXPECT_EQ(CopyThrough(first, 12, worker), std::string(12, 'a'));
    EXPECT_EQ(CopyThrough(second, 12, worker), std::string(12, 'b'));
    // A thread of its own per stream would start its count again at 0.
    ASSERT_EQ(first.CallsBefore.size(), 3u);
    ASSERT_EQ(second.CallsBefore.size(), 3u);
    EXPECT_GT(second.CallsBefore.front(), first.CallsBefore.back());
    EXPECT_EQ(callsOnThisThread, callsHereBefore);  // all of it on the worker's thread
}

TEST(ChunkStream, ShortFileGivesZerosNotWhatAnEarlierStreamLeft) {
    StreamWorker worker(4);
    MemoryFile loud(std::string(12, 'x'));
    CopyThrough(loud, 12, worker);
    // Cut short since it was measured: 6 of the 12 bytes are there.
    MemoryFile cut(std::string(6, 'y'));
    const std::string copied = CopyThrough(cut, 12, worker);
    EXPECT_EQ(copied, std::string(6, 'y') + std::string(6, '\0'));
    // The same with a range of one chunk, read without the thread.
    MemoryFile loudOne(std::string(4, 'x'));
    CopyThrough(loudOne, 4, worker);
    MemoryFile cutOne(std::string(1, 'y'));
    EXPECT_EQ(CopyThrough(cutOne, 4, worker), std::string("y") + std::string(3, '\0'));
}

// A worker's buffers hold the longest chunk asked of them so far: a stream of longer chunks
// after shorter ones gets buffers that hold them, and one of shorter chunks after it reuses them.
TEST(ChunkStream, LongerChunksAfterShorterOnesFitTheirBuffers) {
    StreamWorker worker(64);
    std::string bytes(200, '\0');
    for (size_t i = 0; i < bytes.size(); ++i) {
        bytes[i] = char('a' + i % 26);
    }
    for (const size_t chunk : {size_t{4}, size_t{64}, size_t{16}, size_t{100}}) {
        SCOPED_TRACE(chunk);
        MemoryFile input(bytes);
        MemoryFile output;
        {
            ChunkStream stream(input, 0, int64_t(bytes.size()), &output, worker, nullptr, chunk);
            while (ChunkStream::Chunk* next = stream.Next()) {
                ASSERT_LE(next->Size, std::min<size_t>(chunk, 64));
                stream.Put(next);
            }
            EXPECT_TRUE(stream.Finish());
        }
        EXPECT_EQ(output.Written, bytes);
    }
}

}  // namespace
}  // namespace tralux
