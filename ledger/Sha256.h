#pragma once
// SHA-256, to recognise an ID file by its content whatever its name or
// path: the same bytes give the same text as `sha256sum` prints.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace ts {

class Sha256 {
public:
    Sha256();
    void Update(const void* data, size_t size);
    // The digest as 64 lower-case hexadecimal digits; the object is spent.
    std::string HexDigest();

private:
    void Block(const uint8_t* p);

    uint32_t h_[8];
    uint8_t buf_[64];
    size_t used_ = 0;
    uint64_t total_ = 0;
};

std::string Sha256Hex(std::string_view bytes);

// The digest of a whole file; false (with `error` set) when it cannot be read.
bool Sha256OfFile(const std::string& path, std::string* hex, std::string* error);

}  // namespace ts
