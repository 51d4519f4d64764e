#include "idsource/TextUnicodeTest.h"

namespace ts {

Utf16Evidence GatherUtf16Evidence(const uint8_t* data, size_t size) {
    Utf16Evidence ev;
    ev.oddLength = (size % 2) != 0;
    ev.units = size / 2;
    for (size_t k = 0; k < ev.units; ++k) {
        const uint8_t lo = data[2 * k];
        const uint8_t hi = data[2 * k + 1];
        const unsigned u = lo | (hi << 8);
        switch (u) {
            case 0x0000:
            case 0xFFFE:
            case 0xFFFF:
            case 0x0A0D:
                ev.illegalUnit = true;
                break;
            case 0x000A:
            case 0x000D:
            case 0x0009:
            case 0x0020:
            case 0x3000:
                ++ev.controls;
                break;
            case 0x0A00:
            case 0x0D00:
            case 0x0900:
            case 0x2000:
                ++ev.reverseControls;
                break;
            default:
                break;
        }
        if (hi == 0 && lo != 0 && lo < 0x80) ++ev.ascii16;
        if (k > 0) {
            const int dl = static_cast<int>(lo) - data[2 * k - 2];
            const int dh = static_cast<int>(hi) - data[2 * k - 1];
            ev.lowVariation += static_cast<uint64_t>(dl < 0 ? -dl : dl);
            ev.highVariation += static_cast<uint64_t>(dh < 0 ? -dh : dh);
        }
    }
    return ev;
}

bool LooksLikeUtf16Le(const uint8_t* data, size_t size) {
    if (data == nullptr || size < 2) return false;
    const Utf16Evidence ev = GatherUtf16Evidence(data, size);
    if (ev.oddLength || ev.illegalUnit) return false;
    if (ev.reverseControls > ev.controls) return false;
    if (ev.ascii16 == ev.units) return true;
    if (ev.controls > 0) return true;
    return ev.highVariation * 3 < ev.lowVariation;
}

}  // namespace ts
