#pragma once
// Uninitialised blocks of several megabytes (whole ID files and their
// text), backed by huge pages where the system allows it: a million IDs
// otherwise cost tens of thousands of page faults per load.
#include <cstddef>

namespace ts {

// At least `bytes` bytes; `*granted` receives the size actually usable
// (rounded up for huge pages). Null when memory is exhausted.
void* AllocateLargeBytes(size_t bytes, size_t* granted);
void ReleaseLarge(void* p) noexcept;

}  // namespace ts
