#include <cstdlib>

#include "platform/LargeMemory.h"

namespace ts {

// Large pages need a privilege a station's operator does not hold: plain
// memory.
void* AllocateLargeBytes(size_t bytes, size_t* granted) {
    void* p = std::malloc(bytes);
    *granted = p ? bytes : 0;
    return p;
}

void ReleaseLarge(void* p) noexcept { std::free(p); }

}  // namespace ts
