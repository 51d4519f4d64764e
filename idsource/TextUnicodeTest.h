#pragma once
// A stand-in for the Windows test that guesses whether bytes are UTF-16 text.
#include <cstddef>
#include <cstdint>

namespace ts {

// What the test found; exposed so that tests and diagnostics can see why.
struct Utf16Evidence {
    bool oddLength = false;      // an odd byte count can't be UTF-16
    bool illegalUnit = false;    // 0x0000, 0xFFFE, 0xFFFF or CR LF packed as 0x0A0D
    size_t units = 0;            // whole 16-bit units looked at
    size_t ascii16 = 0;          // units 0x0001-0x007F (zero-extended ASCII)
    size_t controls = 0;         // CR, LF, tab, space, ideographic space
    size_t reverseControls = 0;  // the same byte-swapped (0x0D00, 0x0A00, 0x0900, 0x2000)
    uint64_t lowVariation = 0;   // sum of |change| between consecutive low bytes
    uint64_t highVariation = 0;  // the same for the high bytes
};

Utf16Evidence GatherUtf16Evidence(const uint8_t* data, size_t size);

// True when the bytes look like UTF-16 little-endian text without a mark.
// Decisions, in order:
//  1. Fewer than 2 bytes, or an odd count: not UTF-16.
//  2. An illegal unit anywhere: U+0000 (a terminator inside text), the
//     swapped mark 0xFFFE, the non-character 0xFFFF, or 0x0A0D, which is an
//     8-bit CR LF pair read as one unit: not UTF-16.
//  3. More byte-swapped control units than plain ones: the text is big-endian
//     (or not text), so not UTF-16 little-endian. The swapped ideographic
//     space would be 0x0030, the digit 0, and is therefore not counted.
//  4. Every unit zero-extended ASCII: UTF-16.
//  5. At least one plain control unit (line feed, carriage return, tab,
//     space, ideographic space): UTF-16.
//  6. Otherwise the statistical test: in UTF-16 text the high bytes stay
//     within one script block and change far less than the low bytes, so the
//     data is UTF-16 when the high bytes vary less than a third as much.
bool LooksLikeUtf16Le(const uint8_t* data, size_t size);

}  // namespace ts
