#pragma once
// Guesses whether bytes without a byte-order mark are UTF-16 text. It
// follows what the Windows check does as seen from outside, so that a list
// loads the same way on every station.
#include <cstddef>
#include <cstdint>

namespace ts {

// The check looks at this many 16-bit units from the start, no more.
constexpr size_t kUtf16DetectUnits = 256;

// What the check found; exposed so that tests and diagnostics can see why.
struct Utf16Evidence {
    bool oddLength = false;      // an odd byte count can't be UTF-16
    size_t units = 0;            // units looked at: at most kUtf16DetectUnits
    bool nullUnit = false;       // U+0000 among them (a final one is not counted)
    size_t reverseControls = 0;  // LF, CR, tab, space byte-swapped (0x0A00, 0x0D00, 0x0900, 0x2000)
    size_t latinUnits = 0;       // units 0x0001-0x00FF, each holding a 0 byte
};

Utf16Evidence GatherUtf16Evidence(const uint8_t* data, size_t size);

// True when the bytes look like UTF-16 little-endian text without a mark.
// Decisions, in order:
//  1. Fewer than 4 bytes (one unit at most), or an odd count: not UTF-16.
//  2. Only the first kUtf16DetectUnits units are looked at; whatever follows
//     them never changes the answer.
//  3. A U+0000 unit among them, other than the very last unit of the data (a
//     list saved with one terminating NUL): not UTF-16.
//  4. A byte-swapped line feed, carriage return, tab or space among them:
//     big-endian text, or no text at all, so not UTF-16 little-endian.
//  5. At least one unit in 0x0001-0x00FF among them: UTF-16. Plain 8-bit
//     text holds no 0 byte, so none of its byte pairs is such a unit and it
//     stays 8-bit; pairs of ASCII or code-page bytes ("12", a Chinese
//     character) would otherwise read as CJK units.
//  6. Otherwise: not UTF-16.
// Detection only asks when the first byte is not 0 and the second is, so
// there rule 5 always holds and only rules 1-4 can reject.
bool LooksLikeUtf16Le(const uint8_t* data, size_t size);

}  // namespace ts
