#pragma once
// Hexadecimal ID texts: digits 0-9 and A-F (a-f accepted where noted), an
// optional "0x"/"0X" prefix, any length. IDs are never turned into integers,
// so these work character by character from the last (least significant)
// digit towards the first.
#include <string>
#include <string_view>

namespace ts {

// The longest ID the write flow accepts, in characters; a longer one is
// refused before it is reserved, so no ledger holds one.
constexpr size_t kMaxIdLength = 1024;

// True when every character after an optional prefix is 0-9 or A-F (upper
// case only). The prefix counts only when the text is longer than 2, so "0x"
// alone is invalid while an empty text is valid. Null (missing) is invalid.
bool IsHexId(const std::u16string* text);

// Drops the prefix (recognised from length 2 on) and leading zeros; "0" when
// nothing is left. Letters keep their case; other characters are kept as
// they stand.
void NormalizeHex(std::u16string& text);

// A copy of `raw` with white space (space, \t, \r, \n, \v, \f) trimmed at both
// ends, then normalised.
std::u16string ParseHexCounter(std::u16string_view raw);

// Adds one, keeping width and leading zeros; upper-cases the text (the prefix
// becomes "0X"). Exactly "0x" becomes "0x1", "0X" becomes "0X1", an empty
// text stays empty. A text holding anything but hexadecimal digits after the
// prefix is left unchanged.
std::u16string& IncrementHex(std::u16string& text);

// Subtracts one and normalises the result (upper case, no prefix, no leading
// zeros). Zero, an empty text and a bare prefix give "0": it never wraps. A
// text holding anything but hexadecimal digits after the prefix is left
// unchanged.
std::u16string& DecrementHex(std::u16string& text);

}  // namespace ts
