#include "ChunkStream.h"

#include <algorithm>
#include <cstring>

namespace tralux {

StreamWorker::StreamWorker(size_t chunkBytes) : chunkBytes_(chunkBytes > 0 ? chunkBytes : 1) {}

char* StreamWorker::Buffer(size_t index, size_t bytes) {
    if (bufferBytes_[index] < bytes) {
        // Left as the allocator gives it: every byte is read or written before it is used. The
        // shorter one goes first, so that the two are never held at once.
        buffers_[index].reset();
        buffers_[index].reset(new char[bytes]);
        bufferBytes_[index] = bytes;
    }
    return buffers_[index].get();
}

ChunkStream::ChunkStream(PassFile& input, int64_t start, int64_t length, PassFile* output,
                         StreamWorker& worker, ByteDigest* digest, size_t chunkBytes)
    : input_(input),
      output_(output),
      digest_(digest),
      start_(start),
      length_(length > 0 ? length : 0),
      chunkBytes_(chunkBytes > 0 && chunkBytes < worker.ChunkBytes() ? chunkBytes
                                                                     : worker.ChunkBytes()),
      chunkCount_(
          static_cast<uint64_t>((length_ + int64_t(chunkBytes_) - 1) / int64_t(chunkBytes_))),
      worker_(worker),
      threaded_(chunkCount_ > 1) {
    // Data of one chunk has nothing to overlap with: it is read and written as it is asked for.
    slots_.resize(threaded_ ? StreamWorker::SlotCount : 1);
    for (size_t i = 0; i < slots_.size(); ++i) {
        slots_[i].View.Data = worker_.Buffer(i, chunkBytes_);
    }
    if (threaded_) {
        worker_.Start([this] { Work(); });
    }
}

ChunkStream::~ChunkStream() {
    if (!threaded_) {
        return;
    }
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
    }
    changed_.notify_all();
    worker_.Wait();
}

ChunkStream::Chunk* ChunkStream::Next() {
    std::unique_lock<std::mutex> lock(mutex_);
    if (nextTaken_ >= chunkCount_ || writeFailed_) {
        return nullptr;
    }
    if (!threaded_) {
        Slot& only = slots_.front();
        only.Sequence = nextRead_++;
        ReadChunk(only);
        only.Now = State::Taken;
        ++nextTaken_;
        return &only.View;
    }
    Slot* ready = nullptr;
    changed_.wait(lock, [&] {
        for (Slot& slot : slots_) {
            if (slot.Now == State::Read && slot.Sequence == nextTaken_) {
                ready = &slot;
            }
        }
        return ready != nullptr || writeFailed_;
    });
    if (writeFailed_) {
        return nullptr;
    }
    ready->Now = State::Taken;
    ++nextTaken_;
    return &ready->View;
}

void ChunkStream::Put(Chunk* chunk) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        Slot* back = nullptr;
        for (Slot& slot : slots_) {
            if (&slot.View == chunk) {
                back = &slot;
            }
        }
        ++putBack_;
        if (output_ == nullptr) {
            back->Now = State::Free;
            nextWritten_ = putBack_;  // nothing to write: done as soon as it is back
        } else if (!threaded_) {
            if (WriteChunk(*back)) {
                back->Now = State::Free;
                ++nextWritten_;
            } else {
                writeFailed_ = true;
            }
        } else {
            back->Now = State::ToWrite;
        }
    }
    changed_.notify_all();
}

bool ChunkStream::Finish() {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait(lock, [&] { return nextWritten_ == putBack_ || writeFailed_; });
    return !writeFailed_;
}

void ChunkStream::ReadChunk(Slot& slot) {
    const int64_t offset = int64_t(slot.Sequence) * int64_t(chunkBytes_);
    const auto size = static_cast<size_t>(std::min<int64_t>(chunkBytes_, length_ - offset));
    // Bytes the file no longer holds (it was cut since it was measured) come as zeros, never
    // as what an earlier chunk held.
    size_t got = 0;
    try {
        if (!positioned_) {
            positioned_ = input_.Seek(start_ + offset);
        }
        if (positioned_) {
            got = input_.Read(slot.View.Data, size);
            positioned_ = got == size;
        }
    } catch (...) {
        got = 0;  // read as missing: the pass treats it as a file cut short
        positioned_ = false;
    }
    if (digest_ != nullptr) {
        digest_->Add(slot.View.Data, got);
    }
    if (got < size) {
        std::memset(slot.View.Data + got, 0, size - got);
    }
    slot.View.Size = size;
    slot.View.Got = got;
}

bool ChunkStream::WriteChunk(const Slot& slot) {
    try {
        return output_->Write(slot.View.Data, slot.View.Size);
    } catch (...) {
        return false;  // told to the pass as a failed write
    }
}

void ChunkStream::Work() {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        Slot* toWrite = nullptr;
        Slot* toRead = nullptr;
        changed_.wait(lock, [&] {
            if (stopping_) {
                return true;
            }
            if (writeFailed_) {
                return false;  // nothing more to do until the stream is dropped
            }
            for (Slot& slot : slots_) {
                if (slot.Now == State::ToWrite && slot.Sequence == nextWritten_) {
                    toWrite = &slot;
                } else if (slot.Now == State::Free && toRead == nullptr) {
                    toRead = &slot;
                }
            }
            // Writes first: each one frees a buffer for the reads.
            if (toWrite != nullptr) {
                toRead = nullptr;
                return true;
            }
            return toRead != nullptr && nextRead_ < chunkCount_;
        });
        if (stopping_) {
            return;
        }

        if (toWrite != nullptr) {
            lock.unlock();
            const bool written = WriteChunk(*toWrite);
            lock.lock();
            if (written) {
                toWrite->Now = State::Free;
                ++nextWritten_;
            } else {
                writeFailed_ = true;
            }
        } else {
            toRead->Now = State::Reading;
            toRead->Sequence = nextRead_++;
            lock.unlock();
            ReadChunk(*toRead);
            lock.lock();
            toRead->Now = State::Read;
        }
        lock.unlock();
        changed_.notify_all();
        lock.lock();
    }
}

}  // namespace tralux
