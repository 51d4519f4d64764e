#pragma once
// Shared helpers of the plug-in tests: building images through the plug-in's
// table and reading files back out of them.
#include <cerrno>
#include <filesystem>
#include <optional>
#include <string>

#include "VolkitCore.h"
#include "tests/support/TestSupport.h"

namespace ts::test {

inline const VolkitApi& Vk() { return *ts::volkit::Api(); }

constexpr uint32_t kRead = 0x80000000u;
constexpr uint32_t kReadWrite = 0xC0000000u;
constexpr uint32_t kOpenExisting = 3;

// Formats `image` with `sectors` sectors and copies `staging` (if any) into it.
// Returns the import's result (0 when it all went in).
inline int BuildImage(const std::filesystem::path& image, uint32_t sectors,
                      const std::filesystem::path& staging = {}) {
    VolHandle h = Vk().VolOpen(image.c_str());
    if (h < 0) return -100;
    int r = Vk().VolFormat(h, 2, sectors, "MIDINFO");
    if (r == 0 && !staging.empty()) r = Vk().VolImportDir(h, staging.c_str(), "\\");
    Vk().VolClose(h);
    return r;
}

struct ReadResult {
    int err = 0;  // errno of the first failing step, 0 when all went well
    std::string bytes;
};

// Opens `inner` the way the read flow does (open, seek to end for the size,
// back to the start, read) and reads it whole.
inline ReadResult ReadInner(const std::filesystem::path& image, const std::string& inner) {
    ReadResult out;
    VolHandle h = Vk().VolOpen(image.c_str());
    if (h < 0) {
        out.err = errno;
        return out;
    }
    VolHandle f = Vk().VolCreateFile(h, inner.c_str(), kRead, 3, nullptr, kOpenExisting, 0x80, 0);
    if (f < 0) {
        out.err = errno;
        Vk().VolClose(h);
        return out;
    }
    uint32_t size = Vk().VolSetFilePointer(h, f, 0, nullptr, 2);
    Vk().VolSetFilePointer(h, f, 0, nullptr, 0);
    out.bytes.resize(size);
    size_t got = 0;
    while (got < size) {
        int32_t n =
            Vk().VolReadFile(h, f, out.bytes.data() + got, static_cast<uint32_t>(size - got));
        if (n <= 0) {
            out.err = n < 0 ? errno : EIO;
            break;
        }
        got += static_cast<size_t>(n);
    }
    out.bytes.resize(got);
    Vk().VolCloseFile(h, f);
    Vk().VolClose(h);
    return out;
}

// Deterministic bytes of the given length, different per seed.
inline std::string Pattern(size_t n, unsigned seed) {
    std::string s(n, '\0');
    uint32_t x = 2463534242u ^ seed;
    for (auto& c : s) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        c = static_cast<char>(x);
    }
    return s;
}

inline void Put(const std::filesystem::path& p, const std::string& bytes) {
    std::filesystem::create_directories(p.parent_path());
    WriteFile(p, bytes);
}

}  // namespace ts::test
