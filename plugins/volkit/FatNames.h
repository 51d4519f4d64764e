#pragma once
// Names in a FAT folder: 8.3 short names, long (VFAT) names in UTF-16, and
// the conversions between them and the bytes the callers use: ANSI (CP936)
// for paths inside an image, UTF-8 for the names of local files.
#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace ts::volkit {

using ShortName = std::array<uint8_t, 11>;  // 8 + 3 bytes, space padded

// CP936 bytes to UTF-16; nothing when the bytes are not valid CP936.
std::optional<std::u16string> AnsiToUtf16(std::string_view ansi);
// Lenient form for names read from an image: bad bytes become U+FFFD.
std::u16string AnsiToUtf16Lenient(std::string_view ansi);
// UTF-8 bytes to UTF-16; nothing for anything but well-formed UTF-8
// (overlong forms, surrogates and cut-off sequences included).
std::optional<std::u16string> Utf8ToUtf16(std::string_view utf8);

// Case folding for lookups: ASCII letters only, as names here are ASCII or CJK.
std::u16string FoldCase(std::u16string_view name);

// Drops trailing dots and spaces, as the desktop system does, and checks the
// name may be stored: nothing for an empty name, one of more than 255
// characters, or one holding a control character or any of "*/:<>?\|.
std::optional<std::u16string> CleanLongName(std::u16string_view name);

// The short name when `name` is already a valid upper-case 8.3 name.
std::optional<ShortName> ExactShortName(std::u16string_view name);

// A short alias for a long name, unique by `taken`: the basis (upper case,
// invalid and non-ASCII characters as '_') with a ~N tail, or without one when
// the name was only lower or mixed case.
std::optional<ShortName> MakeShortAlias(std::u16string_view name,
                                        const std::function<bool(const ShortName&)>& taken);

// "NAME.EXT" as it is shown, from the 11 stored bytes.
std::string ShortNameText(const ShortName& s);

uint8_t LfnChecksum(const ShortName& s);

// The 32-byte long-name entries that precede a short entry, in on-disk order.
std::vector<std::array<uint8_t, 32>> EncodeLfnEntries(std::u16string_view name,
                                                      const ShortName& alias);

}  // namespace ts::volkit
