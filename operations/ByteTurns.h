#pragma once

#include <condition_variable>
#include <cstddef>
#include <mutex>

namespace tralux {

// Memory that work done side by side shares: each piece of work takes the bytes it will hold
// before it starts and gives them back at its end. Pieces start beside each other while their
// bytes together stay within the budget; one that needs more than the budget waits until no
// other holds any, and then runs alone.
class ByteTurns {
public:
    explicit ByteTurns(size_t budget) : budget_(budget) {}

    class Turn {
    public:
        Turn() = default;
        Turn(ByteTurns& turns, size_t bytes) : turns_(&turns), bytes_(bytes) { turns.Take(bytes); }
        Turn(Turn&& other) noexcept : turns_(other.turns_), bytes_(other.bytes_) {
            other.turns_ = nullptr;
        }
        Turn& operator=(Turn&& other) noexcept {
            if (this != &other) {
                End();
                turns_ = other.turns_;
                bytes_ = other.bytes_;
                other.turns_ = nullptr;
            }
            return *this;
        }
        ~Turn() { End(); }
        void End() {
            if (turns_ != nullptr) {
                turns_->Give(bytes_);
                turns_ = nullptr;
            }
        }

    private:
        ByteTurns* turns_ = nullptr;
        size_t bytes_ = 0;
    };

    size_t Held() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return held_;
    }

private:
    void Take(size_t bytes) {
        std::unique_lock<std::mutex> lock(mutex_);
        given_.wait(lock,
                    [&] { return held_ == 0 || (held_ <= budget_ && bytes <= budget_ - held_); });
        held_ += bytes;
    }
    void Give(size_t bytes) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            held_ -= bytes;
        }
        given_.notify_all();
    }

    const size_t budget_;
    mutable std::mutex mutex_;
    std::condition_variable given_;
    size_t held_ = 0;
};

}  // namespace tralux
