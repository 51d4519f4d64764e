#pragma once
// Uninitialised buffers for whole ID files and their text, from the
// platform's large-block memory.
#include <cstddef>
#include <memory>

#include "platform/LargeMemory.h"

namespace ts {

struct FreeDeleter {
    void operator()(void* p) const noexcept { ReleaseLarge(p); }
};

template <typename T>
using LargeBuffer = std::unique_ptr<T[], FreeDeleter>;

// Room for at least `count` elements; `*granted` receives the count actually
// usable (rounded up for huge pages). Null when memory is exhausted.
template <typename T>
LargeBuffer<T> AllocateLarge(size_t count, size_t* granted = nullptr) {
    constexpr size_t kHuge = size_t{2} << 20;
    if (count == 0) count = 1;
    if (count > static_cast<size_t>(-1) / sizeof(T) - kHuge) return nullptr;
    size_t bytes = 0;
    void* p = AllocateLargeBytes(count * sizeof(T), &bytes);
    if (granted) *granted = bytes / sizeof(T);
    return LargeBuffer<T>(static_cast<T*>(p));
}

}  // namespace ts
