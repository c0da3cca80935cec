#pragma once

#include <sys/mman.h>

#include <cstddef>
#include <cstdlib>
#include <memory>
#include <new>
#include <type_traits>

namespace tralux {

// Room for many values that is written only as it is used, in pages of 2 MiB where the system
// offers them: a buffer of tens of megabytes made for each file would otherwise take one
// page fault for every 4 KiB it is first written to, which costs more than the writing.
struct LargeBufferFree {
    void operator()(void* room) const { std::free(room); }
};
template <typename T>
using LargeBuffer = std::unique_ptr<T[], LargeBufferFree>;

template <typename T>
LargeBuffer<T> MakeLargeBuffer(size_t count) {
    static_assert(std::is_trivially_default_constructible_v<T> &&
                  std::is_trivially_destructible_v<T>);
    constexpr size_t Page = size_t{1} << 21;
    const size_t bytes = (count * sizeof(T) + Page - 1) / Page * Page;
    void* room = std::aligned_alloc(Page, bytes == 0 ? Page : bytes);
    if (room == nullptr) {
        throw std::bad_alloc();
    }
#ifdef MADV_HUGEPAGE
    madvise(room, bytes, MADV_HUGEPAGE);  // only advice: small pages serve as well
#endif
    return LargeBuffer<T>(static_cast<T*>(room));
}

}  // namespace tralux
