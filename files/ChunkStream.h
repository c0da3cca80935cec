#pragma once

#include <array>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

#include "ByteDigest.h"
#include "FileAccess.h"
#include "SerialWorker.h"

namespace tralux {

// The thread and the buffers the chunk streams of a run share, made once: each stream in turn
// borrows them, so that no pass starts a thread or fills a megabyte with zeros before it
// reads into it. One stream at a time uses a worker.
class StreamWorker {
public:
    // One buffer being read, one being worked on and one being written.
    static constexpr size_t SlotCount = 3;

    explicit StreamWorker(size_t chunkBytes);
    StreamWorker(const StreamWorker&) = delete;
    StreamWorker& operator=(const StreamWorker&) = delete;

    // The longest chunk a stream may ask for.
    size_t ChunkBytes() const { return chunkBytes_; }
    // Buffer index of at least bytes (1 to ChunkBytes()), made on first use and kept, and made
    // again only for a longer chunk than it holds: runs whose streams all ask for short chunks
    // never hold long ones. Its bytes are what the last stream left there.
    char* Buffer(size_t index, size_t bytes);

    // Runs job on the thread (started on first use) and returns at once.
    void Start(std::function<void()> job) { thread_.Post(std::move(job)); }
    // Returns once the job started last has returned.
    void Wait() { thread_.Wait(); }

private:
    const size_t chunkBytes_;
    std::array<std::unique_ptr<char[]>, SlotCount> buffers_;
    std::array<size_t, SlotCount> bufferBytes_{};
    SerialWorker thread_;
};

// Moves the sample data of one pass through large reads and writes on a thread of its own,
// so that the disk work of one chunk overlaps the per-sample work of the one before it. The
// pass still takes its data block by block from each chunk; only the system calls are fewer
// and happen beside it.
//
// Reads cover [start, start + length) of input in order, each into one of a few buffers; the
// caller takes them in order with Next(), changes the bytes as it likes and hands each back
// with Put(), which writes it to output (when there is one) in the same order. Input and
// output are used only by the stream's thread between its construction and Finish() or its
// destruction. A range of one chunk has nothing to overlap: it is read in Next() and written
// in Put(), with no thread.
class ChunkStream {
public:
    struct Chunk {
        char* Data = nullptr;
        size_t Size = 0;  // bytes of the range this chunk holds
        size_t Got = 0;   // of those, how many the file gave; the rest are zeros
    };

    // Chunks are chunkBytes long (worker.ChunkBytes() when 0 or more), in the worker's buffers,
    // moved on its thread. digest, when given, takes every byte read, in order, on the thread
    // that reads them.
    ChunkStream(PassFile& input, int64_t start, int64_t length, PassFile* output,
                StreamWorker& worker, ByteDigest* digest = nullptr, size_t chunkBytes = 0);
    ~ChunkStream();  // stops reading ahead and waits for the worker's job to end; writes still
                     // queued are dropped unless Finish() was called
    ChunkStream(const ChunkStream&) = delete;
    ChunkStream& operator=(const ChunkStream&) = delete;

    // The next chunk of the range, once read; nullptr after the last one or once a write has
    // failed. The chunk stays the caller's until it is put back.
    Chunk* Next();
    // Gives the chunk back: written next, in order, or free for the next read.
    void Put(Chunk* chunk);
    // Waits for every chunk put back to be written. False if a write failed (also one of an
    // earlier chunk, which Next() then stopped at).
    bool Finish();

private:
    enum class State { Free, Reading, Read, Taken, ToWrite };
    struct Slot {
        Chunk View;
        State Now = State::Free;
        uint64_t Sequence = 0;  // the chunk's place in the range
    };

    void Work();
    // The actual system calls, made without the lock: by the thread, or by the caller when
    // the range is one chunk.
    void ReadChunk(Slot& slot);
    bool WriteChunk(const Slot& slot);

    PassFile& input_;
    PassFile* output_;
    ByteDigest* digest_;
    const int64_t start_;
    const int64_t length_;
    const size_t chunkBytes_;
    std::vector<Slot> slots_;

    std::mutex mutex_;
    std::condition_variable changed_;
    bool positioned_ = false;  // input stands where the next read starts
    uint64_t chunkCount_;
    uint64_t nextRead_ = 0;     // the next chunk the thread reads
    uint64_t nextTaken_ = 0;    // the next chunk Next() hands out
    uint64_t nextWritten_ = 0;  // the next chunk the thread writes
    uint64_t putBack_ = 0;      // chunks handed back so far
    bool writeFailed_ = false;
    bool stopping_ = false;
    StreamWorker& worker_;
    bool threaded_;  // the worker's thread runs Work() for this stream
};

}  // namespace tralux
