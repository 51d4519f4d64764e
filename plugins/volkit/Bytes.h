#pragma once
// Little-endian fields of the on-disk FAT structures.
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

}  // namespace ts::volkit
