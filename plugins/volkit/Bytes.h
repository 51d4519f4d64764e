#pragma once
// Little-endian fields of the on-disk FAT structures. Every conversion
// between host integers and image bytes goes through these.
#include <cstdint>

namespace ts::volkit {

inline uint32_t Rd16(const uint8_t* p) { return p[0] | (p[1] << 8); }
inline uint32_t Rd32(const uint8_t* p) {
    return p[0] | (p[1] << 8) | (p[2] << 16) | (static_cast<uint32_t>(p[3]) << 24);
}
inline void Wr16(uint8_t* p, uint32_t v) {
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
}
inline void Wr32(uint8_t* p, uint32_t v) {
    Wr16(p, v);
    Wr16(p + 2, v >> 16);
}

// Fields of a record as they lie in the image: plain bytes, so a record has
// no alignment or byte order of the host's and a field reads the same
// wherever it sits.
struct Le16 {
    uint8_t bytes[2];
    uint32_t Get() const { return Rd16(bytes); }
    void Set(uint32_t v) { Wr16(bytes, v); }
};
struct Le32 {
    uint8_t bytes[4];
    uint32_t Get() const { return Rd32(bytes); }
    void Set(uint32_t v) { Wr32(bytes, v); }
};
static_assert(sizeof(Le16) == 2 && alignof(Le16) == 1);
static_assert(sizeof(Le32) == 4 && alignof(Le32) == 1);

}  // namespace ts::volkit
