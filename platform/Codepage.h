#pragma once
// Text conversions. The "ANSI code page" of the station is CP936 (GBK).
// Conversions never fail: what cannot be mapped becomes a replacement
// character ('?' towards CP936, U+FFFD towards UTF-16), as the original
// platform's converters do.
#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace ts {

// False when the system has no converter for the code page (iconv's modules
// missing): every conversion would then come out empty, so the tool refuses
// to start rather than fail on every drive and file.
bool AnsiCodepageAvailable();

std::u16string AnsiToWide(std::string_view ansi);
// The same conversion, handed to `sink` in pieces of at most kAnsiPieceUnits
// units, so that a large text never needs a converted copy of itself. The
// pieces joined equal AnsiToWide(ansi): a character is never split between
// two pieces. False when the sink returned false, which ends the conversion.
constexpr size_t kAnsiPieceUnits = 16384;
bool AnsiToWidePieces(std::string_view ansi, const std::function<bool(std::u16string_view)>& sink);
std::string WideToAnsi(std::u16string_view wide);
// The conversion that refuses instead of replacing: nothing when a byte
// sequence is not a character of the code page.
std::optional<std::u16string> AnsiToWideExact(std::string_view ansi);
std::u16string Utf8ToWide(std::string_view utf8);
std::string WideToUtf8(std::u16string_view wide);

// Convenience for literals and tests.
inline std::u16string W(std::string_view utf8) { return Utf8ToWide(utf8); }
inline std::string U8(std::u16string_view wide) { return WideToUtf8(wide); }

}  // namespace ts
