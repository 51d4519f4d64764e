#pragma once
// Uninitialised buffers for whole ID files and their text. Blocks of several
// megabytes are backed by huge pages where the system allows it: a million
// IDs otherwise cost tens of thousands of page faults per load.
#include <sys/mman.h>

#include <cstddef>
#include <cstdlib>
#include <memory>
#include <new>

namespace ts {

struct FreeDeleter {
    void operator()(void* p) const noexcept { std::free(p); }
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
    size_t bytes = count * sizeof(T);
    void* p = nullptr;
    if (bytes >= 2 * kHuge) {
        bytes = (bytes + kHuge - 1) / kHuge * kHuge;
        p = std::aligned_alloc(kHuge, bytes);
        if (p) ::madvise(p, bytes, MADV_HUGEPAGE);  // a hint: failure is harmless
    } else {
        p = std::malloc(bytes);
    }
    if (granted) *granted = p ? bytes / sizeof(T) : 0;
    return LargeBuffer<T>(static_cast<T*>(p));
}

}  // namespace ts
