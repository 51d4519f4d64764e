#include <sys/mman.h>

#include <cstdlib>

#include "platform/LargeMemory.h"

namespace ts {

void* AllocateLargeBytes(size_t bytes, size_t* granted) {
    constexpr size_t kHuge = size_t{2} << 20;
    void* p = nullptr;
    if (bytes >= 2 * kHuge) {
        bytes = (bytes + kHuge - 1) / kHuge * kHuge;
        p = std::aligned_alloc(kHuge, bytes);
        if (p) ::madvise(p, bytes, MADV_HUGEPAGE);  // a hint: failure is harmless
    } else {
        p = std::malloc(bytes);
    }
    *granted = p ? bytes : 0;
    return p;
}

void ReleaseLarge(void* p) noexcept { std::free(p); }

}  // namespace ts
