#pragma once
// Small helpers shared by the device flows.
#include <algorithm>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>

#include "platform/Codepage.h"
#include "platform/DebugOut.h"

namespace ts::flow {

constexpr uint32_t kBlock = 32768;
constexpr uint32_t kSectorsPerBlock = 64;
constexpr uint32_t kMaxImage = 1048576;

struct FileCloser {
    void operator()(FILE* f) const {
        if (f) std::fclose(f);
    }
};
// A local file closed on every path out of a flow.
using File = std::unique_ptr<FILE, FileCloser>;

// A debugger line in the wide form (the flows' lines); the text is UTF-8.
__attribute__((format(printf, 1, 2))) inline void DebugW(const char* format, ...) {
    char line[1024];
    va_list args;
    va_start(args, format);
    std::vsnprintf(line, sizeof line, format, args);
    va_end(args);
    OutputDebugStringW(Utf8ToWide(line));
}

// printf-style text with one %s replaced by a UTF-16 argument.
inline std::u16string FormatWithText(std::u16string_view format, std::u16string_view text) {
    std::u16string out(format);
    auto pos = out.find(u"%s");
    if (pos != std::u16string::npos) out.replace(pos, 2, text);
    return out;
}

// The bytes of the block at `sector` that lie on a device that reported
// `deviceSectors` in its handshake (0: not known, the whole block). A device
// refuses any transfer that reaches past its end, so a block that crosses it
// is sent or fetched only up to it.
inline uint32_t BlockBytesOnDevice(uint32_t sector, uint32_t deviceSectors) {
    if (deviceSectors == 0) return kBlock;
    if (sector >= deviceSectors) return 0;
    return static_cast<uint32_t>(
        std::min<uint64_t>(kBlock, uint64_t{deviceSectors - sector} * 512));
}

}  // namespace ts::flow
