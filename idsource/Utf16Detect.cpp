#include "idsource/Utf16Detect.h"

#include <algorithm>

namespace ts {

Utf16Evidence GatherUtf16Evidence(const uint8_t* data, size_t size) {
    Utf16Evidence ev;
    if (data == nullptr) return ev;
    ev.oddLength = (size % 2) != 0;
    const size_t all = size / 2;
    ev.units = std::min(all, kUtf16DetectUnits);
    for (size_t k = 0; k < ev.units; ++k) {
        const unsigned u = data[2 * k] | (data[2 * k + 1] << 8);
        switch (u) {
            case 0x0000:
                // One NUL ending the data is a terminator, not a sign of
                // 8-bit text.
                if (k + 1 != all) ev.nullUnit = true;
                break;
            case 0x0A00:
            case 0x0D00:
            case 0x0900:
            case 0x2000:
                ++ev.reverseControls;
                break;
            default:
                if (u <= 0x00FF) ++ev.latinUnits;
                break;
        }
    }
    return ev;
}

bool LooksLikeUtf16Le(const uint8_t* data, size_t size) {
    // One unit alone is not taken: the platform's test drops a final 0 byte
    // before counting units, which leaves nothing to look at ("A" then 0,
    // or 0A 00, is 8-bit text there).
    if (data == nullptr || size <= 2) return false;
    const Utf16Evidence ev = GatherUtf16Evidence(data, size);
    if (ev.oddLength || ev.nullUnit || ev.reverseControls > 0) return false;
    return ev.latinUnits > 0;
}

}  // namespace ts
